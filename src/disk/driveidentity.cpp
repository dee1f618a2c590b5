#include "driveidentity.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace korvath {

namespace {

// sysfs pads with spaces and ends with a newline; drives put odd bytes in
// their fields, which a report must not carry as control characters.
QString cleanField(const QByteArray &raw)
{
    QString out;
    for (const char c : raw) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F)
            out += QLatin1Char(c);
        else if (u != 0 && u != '\n' && u != '\r')
            out += QLatin1Char(' ');
    }
    return out.simplified();
}

QByteArray readSmall(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.read(4096);
}

QString field(const QString &path)
{
    return cleanField(readSmall(path));
}

// The first of the files that holds something.
QString firstField(const QString &dir, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        const QString v = field(dir + QLatin1Char('/') + QLatin1String(name));
        if (!v.isEmpty())
            return v;
    }
    return {};
}

} // namespace

QString serialFromVpdPage80(const QByteArray &page)
{
    // Header: peripheral byte, page code 0x80, then the length (big-endian).
    if (page.size() < 4 || static_cast<unsigned char>(page[1]) != 0x80)
        return {};
    const int length = (static_cast<unsigned char>(page[2]) << 8) | static_cast<unsigned char>(page[3]);
    return cleanField(page.mid(4, length));
}

DriveIdentity driveIdentity(const QString &devicePath, const QString &sysfsRoot)
{
    DriveIdentity id;
#ifdef Q_OS_LINUX
    // /dev/disk/by-id/... and other links name the real node.
    const QFileInfo info(devicePath);
    const QString real = info.isSymLink() ? info.canonicalFilePath() : devicePath;
    QString name = QFileInfo(real).fileName();
    if (name.isEmpty())
        return id;
    QString dir = sysfsRoot + QStringLiteral("/class/block/") + name;
    if (!QFileInfo::exists(dir))
        return id;
    // A partition's identity is its disk's: the folder above it in the device tree.
    if (QFileInfo::exists(dir + QStringLiteral("/partition"))) {
        const QString disk = QFileInfo(QFileInfo(dir).canonicalFilePath()).path();
        if (disk.isEmpty())
            return id;
        dir = disk;
        name = QFileInfo(disk).fileName();
    }
    id.kernelName = name;

    if (name.startsWith(QLatin1String("loop"))) {
        id.backingFile = QString::fromLocal8Bit(readSmall(dir + QStringLiteral("/loop/backing_file"))).trimmed();
        return id;
    }
    const QString device = dir + QStringLiteral("/device");
    // NVMe: the namespace's device is the controller, with model and serial;
    // SCSI/SATA/USB disks: model and vendor, the serial in VPD page 0x80;
    // virtio: only a serial, beside the disk; MMC: name and serial.
    id.model = firstField(device, {"model", "name"});
    id.vendor = field(device + QStringLiteral("/vendor"));
    if (id.vendor.startsWith(QLatin1String("0x")))
        id.vendor.clear(); // a PCI vendor number (virtio), not a name
    id.serial = firstField(device, {"serial"});
    if (id.serial.isEmpty())
        id.serial = serialFromVpdPage80(readSmall(device + QStringLiteral("/vpd_pg80")));
    if (id.serial.isEmpty())
        id.serial = field(dir + QStringLiteral("/serial"));
#else
    Q_UNUSED(devicePath)
    Q_UNUSED(sysfsRoot)
#endif
    return id;
}

} // namespace korvath
