// Video in clusters no record claims: a zeroed stretch of the directory
// leaves clusters whose bytes still hold a recording. A cluster counts as
// H.264 only when its own parameter sets parse and slices parse through them
// with frame numbers that follow each other; adjacent such clusters whose
// frames continue each other make one fragment.
#pragma once

#include "h264scan.h"
#include "layout.h"
#include "scan.h"
#include "source.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace korvath {

enum class ClusterVerdict { Video, NotVideo, NeedMore };

// What the first bytes of a cluster say.
struct ClusterVideo {
    ClusterVerdict verdict = ClusterVerdict::NeedMore;
    int width = 0, height = 0; // of its first picture
    int frames = 0;            // pictures begun in it
    int breaks = 0;            // pictures whose frame number does not follow the one before
    bool leadingBytes = false; // bytes before its first start code: it goes on from somewhere
    bool haveFirst = false;    // a picture begun in it parsed
    uint32_t firstFrameNum = 0;
    bool firstIdr = false;
    uint32_t lastFrameNum = 0;
    bool lastReference = false;
    int log2MaxFrameNum = 4;
};

// Pictures to see through a cluster's own parameter sets before it counts as video.
constexpr int kPicturesToDecide = 3;
// With no start code at all in this much, a cluster holds no H.264 (a
// first look of nothing but zeros says so at once).
constexpr size_t kNoStartCodeLimit = size_t(512) << 10;
// Parameter sets that do not parse: bytes with start codes that are no H.264
// (an encoder never writes one; the last unit of a first look may be cut).
constexpr int kBadSetsToReject = 4;

// Pure: the first `size` bytes of a cluster (`whole` when that is all of it).
// `sets` come in holding the parameter sets in force before the cluster (a
// fragment's previous cluster), or empty, and go out with the cluster's own
// added. The verdict rests only on what the cluster itself holds.
ClusterVideo examineCluster(const uint8_t *bytes, size_t size, bool whole, h264::ParameterSets &sets);

// Whether `after` (the next cluster, examined with the parameter sets `before`
// left) goes on with the same pictures: the same size, and its first frame
// number the one that follows the last of `before` (up by one after a
// reference picture, the same after another); a key picture only where the
// cluster begins inside a unit (a recording written on, not one begun).
bool continuesFrames(const ClusterVideo &before, const ClusterVideo &after);

struct Fragment {
    uint32_t firstCluster = 0;
    uint32_t clusters = 0;
    int frames = 0;
    int width = 0, height = 0;
};

// The clusters to carve: records from rev_clu on that are not `claimed` (an
// empty record that no walk reaches), lying whole on the source.
std::vector<uint32_t> carveCandidates(const VolumeInfo &info, const std::vector<uint8_t> &claimed);

struct CarveHooks {
    std::function<void(uint64_t examined, uint64_t total)> progress;
    std::function<bool()> stopRequested;
};

struct CarveOutcome {
    std::vector<Fragment> fragments;
    uint64_t examined = 0;  // clusters decided
    uint64_t video = 0;     // of them, H.264
    uint64_t bytesRead = 0;
    uint64_t unreadableSectors = 0; // read as zeros while deciding
    bool stopped = false;
};

// Reads the cluster at `firstSector` into `buffer` (2 MiB) only as far as
// its verdict needs; says how many sectors it read and adds those it could not.
ClusterVideo decideCluster(const SectorSource &source, uint64_t firstSector, uint8_t *buffer, uint32_t *sectorsRead,
                           uint64_t *unreadable = nullptr);

// Reads each candidate only as far as its verdict needs (a cluster found to
// hold video is read whole, for its frames and how the next one goes on).
CarveOutcome carveClusters(const SectorSource &source, uint32_t dataOffset, const std::vector<uint32_t> &candidates,
                           const CarveHooks &hooks = {});

// A fragment as a recording to export or preview: DIR/carved/carved_clusters-<first>-<last>.h264.
Recording fragmentRecording(const Fragment &f);

} // namespace korvath
