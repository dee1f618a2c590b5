// Discovery of the attached drives, as the disk list and the command-line
// tool show them.
#pragma once

#include "drive.h"

#include <QString>
#include <cstdint>
#include <vector>

namespace korvath {

constexpr int32_t kMaxDriveNumber = 15;

struct DiscoveredDrive {
    int32_t number = 0;
    QString path;
    DriveHandle handle;
    int64_t sectors = 0;
    uint64_t gigabytes = 0;
    bool recorder = false; // sector 0 carries the recorder's signatures
};

// sectors * 512 >> 30, in unsigned 64-bit arithmetic, rounded down.
uint64_t sizeInGigabytes(int64_t sectors);

// "   Male disk<n>---  Size:<g>G" or "  Disk<n>---  Size:<g>G".
QString diskRowText(int32_t number, uint64_t gigabytes, bool recorder);

// Opens one drive number and probes it; the handle is invalid when it did not open.
DiscoveredDrive probeDrive(int32_t number);

// Drives 0 to 15 that open, in order; their handles stay open.
std::vector<DiscoveredDrive> discoverDrives();

} // namespace korvath
