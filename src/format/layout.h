// The recorder volume's layout, a pure function of the drive's length.
#pragma once

#include "source.h"

#include <cstdint>

namespace korvath {

constexpr uint32_t kClusterSectors = 4096;
constexpr uint32_t kClusterBytes = kClusterSectors * kSectorSize; // 2 MiB
constexpr uint32_t kRecordSize = 32;
constexpr uint32_t kRecordsPerSector = kSectorSize / kRecordSize; // 16

struct VolumeInfo {
    uint32_t dir_size = 0;    // directory length, sectors
    uint32_t data_offset = 0; // first sector of cluster 0
    uint32_t rev_clu = 0;     // reserved clusters
    uint64_t totalSec = 0;    // drive length, sectors
};

VolumeInfo volumeInfoForSectors(uint64_t totalSec);

// Sizes the source, computes its layout and writes the four log lines.
VolumeInfo computeVolumeInfo(const SectorSource &source);

// Where the directory begins: cluster 32 of the data area when 64 or more
// clusters are reserved, else cluster 3 ("offset1"); shifted by a volume
// start of at most 128 sectors ("offset2").
uint64_t directoryBaseSector(const VolumeInfo &info);
uint64_t directoryStartSector(const VolumeInfo &info, uint32_t startSec);

// First sector of cluster n, counted from the start of the drive.
inline uint64_t clusterSector(uint32_t dataOffset, uint32_t cluster)
{
    return static_cast<uint64_t>(dataOffset) + static_cast<uint64_t>(cluster) * kClusterSectors;
}

} // namespace korvath
