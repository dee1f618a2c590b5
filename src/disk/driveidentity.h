// Who made the drive and its serial number, as Linux reports them under
// /sys; for a loop device the file behind it. Empty where unknown, and
// everywhere on other systems.
#pragma once

#include <QString>

namespace korvath {

struct DriveIdentity {
    QString kernelName;  // "sda", "nvme0n1", "loop0"; the whole disk for a partition
    QString vendor;      // SCSI/SATA vendor field, where there is one
    QString model;
    QString serial;
    QString backingFile; // loop devices
    bool known() const { return !model.isEmpty() || !serial.isEmpty() || !backingFile.isEmpty(); }
};

// `devicePath` like /dev/sda, /dev/nvme0n1p1, /dev/disk/by-id/... or /dev/loop0;
// `sysfsRoot` lets the tests lay out a tree of their own.
DriveIdentity driveIdentity(const QString &devicePath, const QString &sysfsRoot = QStringLiteral("/sys"));

// The serial in a SCSI unit serial number page (VPD page 0x80) as sysfs gives it.
QString serialFromVpdPage80(const QByteArray &page);

} // namespace korvath
