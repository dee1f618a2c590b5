#include "layout.h"

#include "log.h"

namespace korvath {

VolumeInfo volumeInfoForSectors(uint64_t totalSec)
{
    VolumeInfo info;
    info.totalSec = totalSec;
    const uint32_t wholeClusters = static_cast<uint32_t>(totalSec >> 12);
    const uint32_t blocks = (wholeClusters + 49151u) / 49152u;
    info.dir_size = 3072u * blocks;
    info.data_offset = (6240u * blocks + 511u) & 0xFFFFFF00u;
    const uint32_t cap = ((wholeClusters >> 21) + 1u) * 262144u;
    const uint64_t quota = totalSec / 50u;
    const uint64_t reserve = quota < cap ? quota : static_cast<uint64_t>(cap);
    info.rev_clu = static_cast<uint32_t>(reserve >> 12);
    return info;
}

VolumeInfo computeVolumeInfo(const SectorSource &source)
{
    const uint64_t totalSec = static_cast<uint64_t>(source.sectors());
    KLOG << "totalSec:" << totalSec;
    const VolumeInfo info = volumeInfoForSectors(totalSec);
    KLOG << "data_offset:" << info.data_offset;
    KLOG << "dir_size:" << info.dir_size;
    KLOG << "rev_clu:" << info.rev_clu;
    return info;
}

uint64_t directoryBaseSector(const VolumeInfo &info)
{
    const bool large = static_cast<uint64_t>(info.rev_clu) * 4096u > 0x3FFFFu;
    return static_cast<uint64_t>(info.data_offset) + (large ? 0x20000u : 0x3000u);
}

uint64_t directoryStartSector(const VolumeInfo &info, uint32_t startSec)
{
    const uint64_t base = directoryBaseSector(info);
    return startSec <= 0x80u ? base + startSec : base;
}

} // namespace korvath
