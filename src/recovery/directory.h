// Placing the recorder's directory on the source and reading it whole.
#pragma once

#include "iobuffer.h"
#include "layout.h"
#include "sectorread.h"
#include "source.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace korvath {

struct DirectoryRead {
    IoBytes bytes;                       // dir_size * 512; zeros where nothing could be read
    uint64_t directorySector = 0;        // where it begins ("offset2")
    uint32_t volumeStart = 0;            // partition start found in sector 0 ("start_sec")
    bool sector0Read = true;             // false: the partition start, and so the directory's place, is unknown
    uint64_t sectorsWanted = 0;          // dir_size
    std::vector<SectorRange> unreadable; // sectors of it that could not be read
    bool allocated = true;               // false when the buffer could not be had
    bool stopped = false;                // the caller stopped the read: the directory is incomplete

    uint64_t unreadableSectors() const { return sectorCount(unreadable); }
};

// Places the directory (logging offset1, start_sec, offset2) and reads it in
// one request. When that comes back short, the rest is read again piece by
// piece, so that an unreadable sector costs only itself and is named. When
// sector 0 cannot be read, nothing is read: a directory looked for at a
// guessed place would chain other clusters under the right names.
// With `progress` or `stop`, the directory is read in pieces of a few MiB
// instead, `progress(done, total)` (sectors) told after each; `stop` is asked
// between pieces and while a read is waited for (from that thread), true
// stops the read. Each read then has a deadline: a piece whose read hangs is
// named unreadable and the read goes on; `owner` keeps the source alive for
// a read left behind.
struct DirectoryReadOptions {
    std::function<void(uint64_t done, uint64_t total)> progress;
    std::function<bool()> stop;
    int readTimeoutMs = 30000;
    std::shared_ptr<const SectorSource> owner;
};
DirectoryRead readDirectory(const SectorSource &source, const VolumeInfo &info,
                            const DirectoryReadOptions &options = {});

} // namespace korvath
