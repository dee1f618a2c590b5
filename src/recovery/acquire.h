// A raw image of the recorder's disk, evidence first: the spans are copied in
// the order given, each read whole on a first pass, the failed ones sector by
// sector only once everything else is safe, with a ddrescue map to resume.
#pragma once

#include "export.h"
#include "rescuemap.h"
#include "sectorread.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

namespace korvath {

// Sector 0 and the partition table, the directory, the listed recordings'
// clusters, then (with `rest`) every sector not named yet, in order; cut into
// spans of at most one cluster, none twice.
std::vector<SectorRange> evidenceOrder(uint64_t sourceSectors, const std::vector<SectorRange> &first, bool rest);

struct ImageOutcome {
    bool complete = false;   // every sector of the source tried: finished or bad
    bool cancelled = false;
    bool sourceGone = false;
    QString error;           // writing or the map failed
    QString sha256;          // of the whole image, when complete
    uint64_t badSectors = 0; // of the source, as the map stands
    uint64_t readsLeftBehind = 0;
};

struct ImageHooks {
    std::function<void(uint64_t doneBytes)> progress; // on the caller's thread
    std::function<bool()> stopRequested;              // between spans
};

// Bytes read from the source before the copy began (the directory, by the
// listing): written as they are, not read a second time.
struct ReadAlready {
    uint64_t first = 0;
    const uint8_t *bytes = nullptr;
    uint64_t sectors = 0;
    std::vector<SectorRange> unreadable; // left to the passes
};

// Copies the spans of `source` into `imagePath` (made, or with a map to
// resume, gone on with), each at its own offset; areas never read stay holes.
// The hash is of the image read back in order, as far as every sector before
// is settled, on a thread of its own while the copy goes on.
ImageOutcome acquireImage(const SectorSource &source, const std::vector<SectorRange> &plan, const QString &imagePath,
                          const ExportSettings &settings, const ImageHooks &hooks = {},
                          const std::vector<ReadAlready> &readAlready = {});

} // namespace korvath
