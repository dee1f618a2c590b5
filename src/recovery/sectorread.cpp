#include "sectorread.h"

#include "layout.h"

#include <algorithm>
#include <cstring>

namespace korvath {

void addUnreadable(std::vector<SectorRange> &ranges, uint64_t s)
{
    addUnreadable(ranges, SectorRange{s, 1});
}

void addUnreadable(std::vector<SectorRange> &ranges, const SectorRange &range)
{
    if (!ranges.empty() && ranges.back().first + ranges.back().count == range.first)
        ranges.back().count += range.count;
    else
        ranges.push_back(range);
}

uint64_t sectorCount(const std::vector<SectorRange> &ranges)
{
    uint64_t n = 0;
    for (const SectorRange &r : ranges)
        n += r.count;
    return n;
}

uint32_t readSpan(const SectorSource &source, uint64_t first, uint32_t count, uint8_t *buffer,
                  std::vector<SectorRange> *unreadable)
{
    // A whole read overwrites every byte; a short one is redone below sector by
    // sector, each sector zeroed first, so no clearing is needed before it.
    const uint64_t want = static_cast<uint64_t>(count) * kSectorSize;
    if (count == 0 || source.read(first, buffer, count) == want)
        return 0;
    uint32_t bad = 0;
    for (uint32_t s = 0; s < count; ++s) {
        uint8_t *sector = buffer + static_cast<size_t>(s) * kSectorSize;
        std::memset(sector, 0, kSectorSize);
        const uint32_t got = source.read(first + s, sector, 1);
        if (got != kSectorSize) {
            // A failed read may have scribbled on the sector: nothing of it
            // survives. A short one (an image cut inside the sector) keeps
            // the bytes it delivered, and the sector still counts as lost.
            const uint32_t keep = got == kReadFailed ? 0 : std::min(got, kSectorSize);
            std::memset(sector + keep, 0, kSectorSize - keep);
            ++bad;
            if (unreadable)
                addUnreadable(*unreadable, first + s);
        }
    }
    return bad;
}

uint32_t readCluster(const SectorSource &source, uint64_t firstSector, uint8_t *buffer,
                     std::vector<SectorRange> *unreadable)
{
    return readSpan(source, firstSector, kClusterSectors, buffer, unreadable);
}

} // namespace korvath
