// Where each byte of an exported file came from: the one map of a copy's
// losses. The report's byte runs, the MP4's damaged stretches and the
// messages are all read from it.
#pragma once

#include "layout.h"
#include "scan.h"
#include "sectorread.h"

#include <cstdint>
#include <vector>

namespace korvath {

// `length` bytes at `fileOffset` in the file came from `imgOffset` on the
// source; a zero-filled run stands where the source could not be read, at
// the place it would have come from (DFXML's byte_run).
struct ByteRun {
    uint64_t fileOffset = 0;
    uint64_t imgOffset = 0;
    uint64_t length = 0;
    bool zeroFill = false;
    bool operator==(const ByteRun &o) const
    {
        return fileOffset == o.fileOffset && imgOffset == o.imgOffset && length == o.length && zeroFill == o.zeroFill;
    }
};
using LossMap = std::vector<ByteRun>;

// Sectors of one cluster of a recording that could not be read.
struct UnreadableSectors {
    size_t position = 0;      // of the cluster in the recording's list
    uint32_t firstSector = 0; // within the cluster, 0 .. kClusterSectors-1
    uint32_t count = 0;
};

// One run per stretch of consecutive clusters, split around the unreadable
// sectors, which become zero-filled runs. `unreadable` may come in any order
// and overlap; ranges past a cluster's end or the list's end are clipped away.
LossMap buildByteRuns(uint32_t dataOffset, const ClusterList &clusters, std::vector<UnreadableSectors> unreadable = {});

// The map of a copy of `clusters` back to back, given the absolute sectors
// on the source that could not be read.
LossMap lossMapOf(uint32_t dataOffset, const ClusterList &clusters, const std::vector<SectorRange> &lost);

// Byte stretches of the file that stand for what could not be read.
struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;
};
std::vector<ByteRange> lostBytes(const LossMap &map);

} // namespace korvath
