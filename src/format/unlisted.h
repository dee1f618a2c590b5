// Recordings the directory still describes but no start record reaches: a
// recorder that reuses its oldest clusters rewrites a recording's first
// records, and the rest of its chain keeps its records and its bytes.
#pragma once

#include "layout.h"
#include "scan.h"

#include <QVector>
#include <cstdint>
#include <vector>

namespace korvath {

struct UnlistedScan {
    QVector<Recording> recordings; // by first cluster
    // Per record from 0: non-zero when it has a flag or a walk reaches it. Empty when bounded.
    std::vector<uint8_t> claimed;
    uint64_t clustersWalked = 0;
    // The walks from the start records reached the scan's bound: what they
    // reach is not known, so nothing is called unlisted.
    bool bounded = false;
};

// Fields in range (a real date and time), start not after end; the year is 2000-2063 by construction.
bool plausibleStamps(RecorderTime start, RecorderTime end);

// "<start>_<end>_CAM<n>_unlisted_from-cluster-<first>.h264", or
// "unknown-time_CAM<n>_unlisted_from-cluster-<first>.h264".
QString unlistedFileName(const Recording &r);

// Every record from rev_clu on with a non-zero flag that no walk from a start
// record (any channel, any time) reaches, grouped into chains: a chain begins
// at such a record that no other of its chain id links to and follows the
// links while they stay inside the directory, reach such a record of the same
// chain id and one not taken yet. Chains whose records all link into one
// another (a loop) begin at their lowest record. The chain count is not a
// limit. Each record is looked at a bounded number of times.
UnlistedScan findUnlisted(const uint8_t *directory, size_t size, const VolumeInfo &info);

// The unlisted recordings of a channel (or every channel) in a range; those
// with unknown times match every range.
RecordingMap unlistedMatching(const QVector<Recording> &all, const ScanQuery &query);

} // namespace korvath
