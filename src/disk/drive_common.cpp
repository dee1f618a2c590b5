// Parts of the drive layer that every platform shares.
#include "drive.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <utility>

namespace korvath {

std::string platformDrivePath(int32_t driveNumber); // per platform

namespace {
DrivePathResolver &resolverSlot()
{
    static DrivePathResolver resolver;
    return resolver;
}
} // namespace

void setDrivePathResolver(DrivePathResolver resolver)
{
    resolverSlot() = std::move(resolver);
}

OffsetHalves splitSectorOffset(uint64_t sector)
{
    const uint64_t bytes = sector << 9;
    return {static_cast<uint32_t>(bytes & 0xFFFFFFFFu), static_cast<uint32_t>(bytes >> 32)};
}

uint64_t joinOffsetHalves(uint32_t low, uint32_t high)
{
    return (static_cast<uint64_t>(high) << 32) | low;
}

int formatWindowsDrivePath(char *buffer, size_t size, int32_t driveNumber)
{
    return std::snprintf(buffer, size, "\\\\.\\PhysicalDrive%d", driveNumber);
}

int formatDrivePath(char *buffer, int32_t driveNumber)
{
    const DrivePathResolver &resolver = resolverSlot();
    const std::string path = resolver ? resolver(driveNumber) : platformDrivePath(driveNumber);
    const size_t n = std::min(path.size(), kDrivePathBufferSize - 1);
    std::memcpy(buffer, path.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

} // namespace korvath
