// Reading spans of sectors so that only what cannot be read is lost, and is named.
#pragma once

#include "source.h"

#include <cstdint>
#include <vector>

namespace korvath {

struct SectorRange {
    uint64_t first = 0; // absolute sector
    uint64_t count = 0;
    friend bool operator==(const SectorRange &a, const SectorRange &b) { return a.first == b.first && a.count == b.count; }
};

// Adds sector `s` to the ranges, merging with the last one when adjacent.
void addUnreadable(std::vector<SectorRange> &ranges, uint64_t s);
// Adds a range, merging with the last one when adjacent.
void addUnreadable(std::vector<SectorRange> &ranges, const SectorRange &range);
uint64_t sectorCount(const std::vector<SectorRange> &ranges);

// Fills `buffer` with `count` sectors from `first`: one request in the normal
// case; when it comes back short, the span is read again sector by sector so
// that only the sectors that cannot be read stay zero. Their numbers are
// added to `unreadable` when given. Returns how many could not be read.
uint32_t readSpan(const SectorSource &source, uint64_t first, uint32_t count, uint8_t *buffer,
                  std::vector<SectorRange> *unreadable = nullptr);

// One 2 MiB cluster beginning at `firstSector`.
uint32_t readCluster(const SectorSource &source, uint64_t firstSector, uint8_t *buffer,
                     std::vector<SectorRange> *unreadable = nullptr);

} // namespace korvath
