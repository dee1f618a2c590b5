// The two probes of a drive's first sector: the recorder's signatures and the
// start of the first partition of a master boot record.
#pragma once

#include "source.h"

#include <cstddef>
#include <cstdint>

namespace korvath {

// "WFS" at bytes 0-2, 'X' at 510 and 'M' at 511.
bool hasRecorderSignature(const uint8_t *sector, size_t size);

struct PartitionProbe {
    bool hasMbr = false;
    uint32_t relativeSec = 0; // start of the first partition; 0 without a boot record
};
// 0x55 0xAA at bytes 510-511; the first entry's start sector at byte 454.
PartitionProbe probePartitionStart(const uint8_t *sector, size_t size);

// The same on a source: each reads sector 0 into a zeroed buffer and logs.
// `readable` (when given) is false when sector 0 could not be read at all:
// then the signature and the partition start are unknown, not absent. A
// source shorter than a sector reads as what it holds, followed by zeros.
bool checkRecorderSignature(const SectorSource &source, bool *readable = nullptr);
uint32_t findPartitionStart(const SectorSource &source, bool *readable = nullptr);

} // namespace korvath
