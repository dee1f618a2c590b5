// The scan: filters the directory's records for a channel (or every channel)
// and a time range and walks each kept record's chain, over a buffer only.
#pragma once

#include "chain.h"
#include "directoryrecord.h"
#include "layout.h"
#include "recordertime.h"

#include <QMap>
#include <QString>
#include <cstdint>
#include <vector>

namespace korvath {

struct ScanQuery {
    uint32_t channel = 0; // counted from 0
    RecorderTime start = 0;
    RecorderTime end = 0;
    bool allChannels = false; // every channel the field can hold, in one pass
    bool unlisted = false;    // also look for the chains no start record reaches
};

// Where a recording came from: a start record's walk, a chain of records no
// walk reaches (its head overwritten), or clusters no record claims.
enum class RecordingOrigin { Listed, Unlisted, Carved };

struct Recording {
    QString name;
    ClusterList clusters;
    RecorderTime startTime = 0;
    RecorderTime endTime = 0;
    uint32_t channel = 0; // counted from 0
    uint32_t recordIndex = 0;
    RecordingOrigin origin = RecordingOrigin::Listed;
    uint32_t chainId = 0;   // unlisted: the chain id its records share
    bool timesKnown = true; // false: no record of it holds plausible stamps
    QString folder;         // below the save folder; empty for CAM<channel+1>
};

// Recordings by file name, in the order of the file list.
using RecordingMap = QMap<QString, Recording>;

// How much a scan walked, and whether it stopped at its bound.
struct ScanStats {
    uint64_t clustersWalked = 0;
    uint64_t clusterBound = 0;
    bool bounded = false;      // the bound was reached: what was listed before it is kept
    uint64_t stoppedAtRecord = 0;
};

// A recorder's chains hold each cluster once, so all the walks of one scan
// together cover at most the directory's records. A damaged or crafted
// directory can make every record start a chain of 65,536 looping clusters;
// past twice the records (and one longest chain) the scan stops listing.
uint64_t scanClusterBound(uint64_t recordCount);

// A record is kept when its start or its end lies in the range, or when it
// spans the whole range; a range that ends before it starts matches nothing.
bool recordMatchesRange(RecorderTime recordStart, RecorderTime recordEnd, RecorderTime from, RecorderTime to);

// "<start>_<end>_CAM<channel+1>.h264"
QString recordingFileName(RecorderTime start, RecorderTime end, uint32_t channel);

// Filters records rev_clu .. dir_size*16-1 of the directory bytes. Of two
// recordings with the same name the later record stays in the map; the
// earlier goes to `displaced` (when given), in record order.
RecordingMap scanDirectory(const uint8_t *directory, size_t size, const VolumeInfo &info, const ScanQuery &query,
                           ScanStats *stats = nullptr, std::vector<Recording> *displaced = nullptr);

} // namespace korvath
