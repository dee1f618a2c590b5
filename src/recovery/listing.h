// The listing both front ends work from: what a source holds for a query,
// together with everything the export and a report need to know of how it
// was found (the source, the layout, the directory's place and losses).
#pragma once

#include "directory.h"
#include "layout.h"
#include "scan.h"
#include "unlisted.h"
#include "source.h"

#include <QList>
#include <QStringList>
#include <functional>
#include <memory>

namespace korvath {

struct Listing {
    std::shared_ptr<const SectorSource> source;
    VolumeInfo info;
    ScanQuery query;
    bool signature = false;                       // sector 0 carries the recorder's signatures
    bool sector0Read = true;                      // false: nothing was listed, the directory's place is unknown
    uint32_t volumeStart = 0;                     // partition start found in sector 0
    uint64_t directorySector = 0;
    uint64_t directorySectors = 0;                // dir_size
    std::vector<SectorRange> directoryUnreadable; // sectors of the directory that could not be read
    bool directoryAllocated = true;
    ScanStats scan;
    RecordingMap recordings;
    // Earlier recordings whose name a later one took (same channel and stamps,
    // other clusters), in record order; not in `recordings`.
    std::vector<Recording> displaced;
    // With query.unlisted: every unlisted recording, any channel and time, and
    // per record whether it is claimed, by a flag or a walk (for carving).
    QVector<Recording> unlisted;
    std::vector<uint8_t> claimed;
    bool unlistedBounded = false;
    bool stopped = false; // the directory's read was stopped: nothing is listed

    uint64_t directoryUnreadableSectors() const { return sectorCount(directoryUnreadable); }
    // Of those, the ones that lie on the source: the rest lie past its end
    // (a layout too large for what was given), not on damaged media.
    uint64_t directoryUnreadableOnSource() const;
    bool empty() const { return recordings.isEmpty(); }
};

// The bytes a copy of the recording holds: its clusters back to back.
uint64_t recordingBytes(const Recording &r);

// The scan of a directory already read, kept with what it was made from.
Listing scanListing(std::shared_ptr<const SectorSource> source, const VolumeInfo &info, const DirectoryRead &directory,
                    const ScanQuery &query);

// The whole way from a source to its listing: the signature, the layout from
// the source's size, the directory in one read, the scan. `onDirectory` sees
// the directory's bytes as read (a report hashes them).
// With a progress in `read`, the directory's read reports, has a deadline
// and may be stopped; a stopped listing lists nothing (Listing::stopped).
Listing listRecordings(std::shared_ptr<const SectorSource> source, const ScanQuery &query,
                       const std::function<void(const DirectoryRead &)> &onDirectory = {},
                       DirectoryReadOptions read = {});

// The name a displaced recording is kept under: its own with its first
// cluster, "<start>_<end>_CAM1_cluster25.h264". Real names never end so.
QString displacedName(const Recording &recording);

// Puts the displaced recordings into `recordings` under those names, so that
// both are listed and exported (korvath-cli). The window keeps its map.
void keepDisplaced(Listing &listing);

// The listing's recordings in the order they are exported and shown:
// channel by channel, each by name.
QList<const Recording *> orderedRecordings(const Listing &listing);

} // namespace korvath
