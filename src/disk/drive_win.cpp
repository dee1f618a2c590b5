// Windows raw physical drives through kernel32. No Qt here.
#include "drive.h"

#include <windows.h>
#include <winioctl.h>

namespace korvath {

NativeDriveHandle invalidNativeHandle()
{
    return INVALID_HANDLE_VALUE;
}

std::string platformDrivePath(int32_t driveNumber)
{
    char buffer[kDrivePathBufferSize] = {};
    formatWindowsDrivePath(buffer, sizeof buffer, driveNumber);
    return buffer;
}

DriveHandle openDrive(const char *path)
{
    DriveHandle handle;
    handle.native = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    return handle;
}

int64_t queryDriveSectors(DriveHandle handle)
{
    GET_LENGTH_INFORMATION info = {};
    DWORD returned = 0;
    DeviceIoControl(handle.native, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info,
                    &returned, nullptr);
    return static_cast<int64_t>(info.Length.QuadPart) / static_cast<int64_t>(kSectorSize);
}

int64_t seekSector(DriveHandle handle, uint64_t sector, uint32_t moveMethod)
{
    const OffsetHalves halves = splitSectorOffset(sector);
    LONG high = static_cast<LONG>(halves.high);
    // A stale error code would make a valid position ending in 0xFFFFFFFF look like a failure.
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(handle.native, static_cast<LONG>(halves.low), &high, moveMethod);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return kSeekFailed;
    return static_cast<int64_t>(joinOffsetHalves(low, static_cast<uint32_t>(high)));
}

uint32_t readSectors(DriveHandle handle, void *buffer, uint32_t sectorCount)
{
    DWORD done = 0;
    const DWORD bytes = sectorCount * kSectorSize;
    if (!ReadFile(handle.native, buffer, bytes, &done, nullptr))
        return kReadFailed;
    return done;
}

uint32_t readSectorsAt(DriveHandle handle, uint64_t sector, void *buffer, uint32_t sectorCount)
{
    // The offset travels with the request, so the handle's own position is not used.
    OVERLAPPED at = {};
    const uint64_t offset = sector * kSectorSize;
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    if (!ReadFile(handle.native, buffer, sectorCount * kSectorSize, &done, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : kReadFailed;
    return done;
}

void closeDrive(DriveHandle handle)
{
    if (handle.isValid())
        CloseHandle(handle.native);
}

} // namespace korvath
