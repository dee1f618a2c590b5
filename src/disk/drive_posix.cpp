// Linux raw drives and disk images: read-only descriptors, 64-bit positions.
#include "drive.h"
#include "drivenames.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/fs.h>
#endif

namespace korvath {

NativeDriveHandle invalidNativeHandle()
{
    return -1;
}

std::string platformDrivePath(int32_t driveNumber)
{
    if (driveNumber < 0)
        return {};
    const std::vector<std::string> names = orderDriveNames(listBlockDevices());
    if (static_cast<size_t>(driveNumber) >= names.size())
        return {};
    return "/dev/" + names[static_cast<size_t>(driveNumber)];
}

DriveHandle openDrive(const char *path)
{
    DriveHandle handle;
    if (!path || !*path)
        return handle;
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    handle.native = fd;
    return handle;
}

int64_t queryDriveSectors(DriveHandle handle)
{
    struct stat st;
    if (::fstat(handle.native, &st) != 0)
        return 0;
    uint64_t bytes = 0;
    if (S_ISBLK(st.st_mode)) {
#ifdef BLKGETSIZE64
        if (::ioctl(handle.native, BLKGETSIZE64, &bytes) != 0)
            bytes = 0;
#endif
    } else if (S_ISREG(st.st_mode)) {
        bytes = static_cast<uint64_t>(st.st_size);
    }
    return static_cast<int64_t>(bytes / kSectorSize);
}

int64_t seekSector(DriveHandle handle, uint64_t sector, uint32_t moveMethod)
{
    const OffsetHalves halves = splitSectorOffset(sector);
    const off_t offset = static_cast<off_t>(joinOffsetHalves(halves.low, halves.high));
    int whence = SEEK_SET;
    if (moveMethod == FILE_CURRENT_METHOD)
        whence = SEEK_CUR;
    else if (moveMethod == FILE_END_METHOD)
        whence = SEEK_END;
    const off_t pos = ::lseek(handle.native, offset, whence);
    return pos < 0 ? kSeekFailed : static_cast<int64_t>(pos);
}

uint32_t readSectors(DriveHandle handle, void *buffer, uint32_t sectorCount)
{
    const uint32_t want = sectorCount * kSectorSize;
    auto *out = static_cast<unsigned char *>(buffer);
    uint32_t done = 0;
    while (done < want) {
        const ssize_t n = ::read(handle.native, out + done, want - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return done > 0 ? done : kReadFailed;
        }
        if (n == 0)
            break; // end of the data
        done += static_cast<uint32_t>(n);
    }
    return done;
}

uint32_t readSectorsAt(DriveHandle handle, uint64_t sector, void *buffer, uint32_t sectorCount)
{
    const uint32_t want = sectorCount * kSectorSize;
    const off_t at = static_cast<off_t>(sector * kSectorSize);
    auto *out = static_cast<unsigned char *>(buffer);
    uint32_t done = 0;
    while (done < want) {
        const ssize_t n = ::pread(handle.native, out + done, want - done, at + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return done > 0 ? done : kReadFailed;
        }
        if (n == 0)
            break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

void closeDrive(DriveHandle handle)
{
    if (handle.isValid())
        ::close(handle.native);
}

} // namespace korvath
