// Raw physical drive access: the only way the program reaches a disk.
// Kept free of Qt so the Windows implementation builds with a plain toolchain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace korvath {

constexpr uint32_t kSectorSize = 512;

#ifdef _WIN32
using NativeDriveHandle = void *;
#else
using NativeDriveHandle = int;
#endif

NativeDriveHandle invalidNativeHandle();

// A default-constructed handle is the invalid one, so that a map lookup of a
// missing key never yields a usable descriptor (0 would be standard input).
struct DriveHandle {
    NativeDriveHandle native = invalidNativeHandle();

    bool isValid() const { return native != invalidNativeHandle(); }
    friend bool operator==(const DriveHandle &a, const DriveHandle &b) { return a.native == b.native; }
    friend bool operator!=(const DriveHandle &a, const DriveHandle &b) { return !(a == b); }
};

// Move methods, with the platform's values.
constexpr uint32_t FILE_BEGIN_METHOD = 0;
constexpr uint32_t FILE_CURRENT_METHOD = 1;
constexpr uint32_t FILE_END_METHOD = 2;

constexpr int64_t kSeekFailed = -1;
constexpr uint32_t kReadFailed = 0xFFFFFFFFu;
constexpr size_t kDrivePathBufferSize = 100;

// Byte offset of a sector, split into the two 32-bit halves that a 32-bit
// positioning call takes, and joined back from them.
struct OffsetHalves {
    uint32_t low;
    uint32_t high;
};
OffsetHalves splitSectorOffset(uint64_t sector);
uint64_t joinOffsetHalves(uint32_t low, uint32_t high);

// "\\.\PhysicalDrive<n>" into a caller-zeroed buffer; returns the characters written.
int formatWindowsDrivePath(char *buffer, size_t size, int32_t driveNumber);

// The five operations. On Windows the path is \\.\PhysicalDriveN; on Linux it
// is /dev/NAME of the N-th whole-disk block device (see drivenames.h).
int formatDrivePath(char *buffer, int32_t driveNumber);
DriveHandle openDrive(const char *path);
int64_t queryDriveSectors(DriveHandle handle);
int64_t seekSector(DriveHandle handle, uint64_t sector, uint32_t moveMethod);
uint32_t readSectors(DriveHandle handle, void *buffer, uint32_t sectorCount);
// Reads at a position without moving the handle's: a read left hanging on
// another thread can then never move where the next one reads.
uint32_t readSectorsAt(DriveHandle handle, uint64_t sector, void *buffer, uint32_t sectorCount);

// Releases a handle that nothing reads any more (a refresh of the disk list
// would otherwise hold every drive once more each time).
void closeDrive(DriveHandle handle);

// Test seam: maps a drive number to the path that formatDrivePath writes.
// An empty result means the drive number does not exist. Pass an empty
// function to restore the platform's own mapping.
using DrivePathResolver = std::function<std::string(int32_t driveNumber)>;
void setDrivePathResolver(DrivePathResolver resolver);

} // namespace korvath
