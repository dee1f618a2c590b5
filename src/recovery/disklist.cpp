#include "disklist.h"

#include "probe.h"
#include "source.h"

namespace korvath {

uint64_t sizeInGigabytes(int64_t sectors)
{
    return (static_cast<uint64_t>(sectors) * 512u) >> 30;
}

QString diskRowText(int32_t number, uint64_t gigabytes, bool recorder)
{
    const QString format = recorder ? QStringLiteral("   Male disk%1---  Size:%2G") : QStringLiteral("  Disk%1---  Size:%2G");
    return format.arg(number).arg(gigabytes);
}

DiscoveredDrive probeDrive(int32_t number)
{
    DiscoveredDrive drive;
    drive.number = number;
    char path[kDrivePathBufferSize] = {};
    formatDrivePath(path, number);
    drive.path = QString::fromLocal8Bit(path);
    drive.handle = openDrive(path);
    if (!drive.handle.isValid())
        return drive;
    drive.sectors = queryDriveSectors(drive.handle);
    drive.gigabytes = sizeInGigabytes(drive.sectors);
    drive.recorder = checkRecorderSignature(DriveSource(drive.handle));
    return drive;
}

std::vector<DiscoveredDrive> discoverDrives()
{
    std::vector<DiscoveredDrive> drives;
    for (int32_t n = 0; n <= kMaxDriveNumber; ++n) {
        DiscoveredDrive d = probeDrive(n);
        if (d.handle.isValid())
            drives.push_back(d);
    }
    return drives;
}

} // namespace korvath
