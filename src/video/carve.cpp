#include "carve.h"

#include "iobuffer.h"
#include "sectorread.h"

#include <algorithm>

namespace korvath {

ClusterVideo examineCluster(const uint8_t *bytes, size_t size, bool whole, h264::ParameterSets &sets)
{
    ClusterVideo v;
    const uint8_t *first = h264::findStartCode(bytes, bytes + size);
    v.leadingBytes = first != bytes && std::any_of(bytes, first, [](uint8_t b) { return b != 0; });
    // The cluster's own parameter sets, apart from those carried in.
    h264::ParameterSets own;
    int ownPictures = 0;
    bool havePrevious = false;
    uint32_t previous = 0;
    bool previousRef = false;
    int badSets = 0; // parameter sets that do not parse: an encoder never writes one
    h264::forEachNal(bytes, size, [&](const uint8_t *nal, size_t n, size_t) {
        if (nal[0] & 0x80)
            return true; // forbidden bit: not a unit
        const int type = nal[0] & 0x1F;
        if (type == h264::kSps || type == h264::kPps) {
            if (own.take(nal, n))
                sets.take(nal, n);
            else
                ++badSets;
            return true;
        }
        const h264::SliceHeader h = sets.slice(nal, n);
        if (!h.valid || h.firstMb != 0)
            return true;
        const h264::Sps *sps = sets.spsForPps(h.ppsId);
        const uint32_t max = 1u << sps->log2MaxFrameNum;
        if (havePrevious) {
            // After a reference picture the number goes up by one; after another, it stays.
            const bool follows = h.idr ? h.frameNum == 0 : h.frameNum == (previousRef ? (previous + 1) % max : previous);
            if (!follows)
                ++v.breaks;
        }
        if (!v.haveFirst) {
            v.haveFirst = true;
            v.firstFrameNum = h.frameNum;
            v.firstIdr = h.idr;
            v.width = sps->width;
            v.height = sps->height;
        }
        havePrevious = true;
        previous = h.frameNum;
        previousRef = h.refIdc != 0;
        v.lastFrameNum = h.frameNum;
        v.lastReference = previousRef;
        v.log2MaxFrameNum = sps->log2MaxFrameNum;
        ++v.frames;
        if (own.spsForPps(h.ppsId))
            ++ownPictures;
        return true;
    });
    if (ownPictures >= kPicturesToDecide && v.breaks == 0 && badSets == 0)
        v.verdict = ClusterVerdict::Video;
    else if (badSets >= kBadSetsToReject)
        v.verdict = ClusterVerdict::NotVideo;
    else if (whole || (first == bytes + size && size >= kNoStartCodeLimit))
        v.verdict = ClusterVerdict::NotVideo;
    else if (first == bytes + size && std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; }))
        v.verdict = ClusterVerdict::NotVideo; // a unit never holds three zeros in a row, let alone a first look of them
    return v;
}

bool continuesFrames(const ClusterVideo &before, const ClusterVideo &after)
{
    if (!before.haveFirst || !after.haveFirst || before.width != after.width || before.height != after.height)
        return false;
    if (after.firstIdr)
        return after.leadingBytes;
    const uint32_t max = 1u << before.log2MaxFrameNum;
    return after.firstFrameNum == (before.lastReference ? (before.lastFrameNum + 1) % max : before.lastFrameNum);
}

std::vector<uint32_t> carveCandidates(const VolumeInfo &info, const std::vector<uint8_t> &claimed)
{
    std::vector<uint32_t> out;
    for (uint64_t i = info.rev_clu; i < claimed.size(); ++i) {
        if (clusterSector(info.data_offset, static_cast<uint32_t>(i)) + kClusterSectors > info.totalSec)
            break;
        if (!claimed[i])
            out.push_back(static_cast<uint32_t>(i));
    }
    return out;
}

ClusterVideo decideCluster(const SectorSource &source, uint64_t firstSector, uint8_t *buffer, uint32_t *sectorsRead,
                           uint64_t *unreadable)
{
    // A first look of 64 KiB, then 512 KiB, then the whole cluster.
    static const uint32_t kSteps[] = {128, 1024, kClusterSectors};
    uint32_t have = 0;
    ClusterVideo decided;
    for (const uint32_t want : kSteps) {
        const uint32_t lost = readSpan(source, firstSector + have, want - have, buffer + size_t(have) * kSectorSize);
        if (unreadable)
            *unreadable += lost;
        have = want;
        h264::ParameterSets own;
        decided = examineCluster(buffer, size_t(have) * kSectorSize, have == kClusterSectors, own);
        if (decided.verdict != ClusterVerdict::NeedMore)
            break;
    }
    *sectorsRead = have;
    return decided;
}

CarveOutcome carveClusters(const SectorSource &source, uint32_t dataOffset, const std::vector<uint32_t> &candidates,
                           const CarveHooks &hooks)
{
    CarveOutcome out;
    IoBytes buffer(kClusterBytes);
    bool open = false;
    Fragment current;
    ClusterVideo last;
    h264::ParameterSets carried;
    const auto close = [&] {
        if (open)
            out.fragments.push_back(current);
        open = false;
    };
    for (size_t k = 0; k < candidates.size(); ++k) {
        if (hooks.stopRequested && hooks.stopRequested()) {
            out.stopped = true;
            break;
        }
        const uint32_t c = candidates[k];
        const uint64_t first = clusterSector(dataOffset, c);
        uint32_t have = 0;
        const ClusterVideo decided = decideCluster(source, first, buffer.data(), &have, &out.unreadableSectors);
        out.bytesRead += static_cast<uint64_t>(have) * kSectorSize;
        ++out.examined;
        if (decided.verdict != ClusterVerdict::Video) {
            close();
        } else {
            ++out.video;
            if (have < kClusterSectors) {
                out.unreadableSectors +=
                    readSpan(source, first + have, kClusterSectors - have, buffer.data() + have * kSectorSize);
                out.bytesRead += static_cast<uint64_t>(kClusterSectors - have) * kSectorSize;
            }
            // Again whole, beside the fragment before with what it left in force (for the
            // pictures before the cluster's own sets); a fragment begins with its own sets only.
            const bool adjacent = open && current.firstCluster + current.clusters == c;
            h264::ParameterSets sets = adjacent ? carried : h264::ParameterSets();
            ClusterVideo now = examineCluster(buffer.data(), kClusterBytes, true, sets);
            if (adjacent && continuesFrames(last, now)) {
                ++current.clusters;
                current.frames += now.frames;
            } else {
                close();
                if (adjacent) {
                    sets = h264::ParameterSets();
                    now = examineCluster(buffer.data(), kClusterBytes, true, sets);
                }
                open = true;
                current = {c, 1, now.frames, now.width, now.height};
            }
            last = now;
            carried = sets;
        }
        if (hooks.progress)
            hooks.progress(k + 1, candidates.size());
    }
    close();
    return out;
}

Recording fragmentRecording(const Fragment &f)
{
    Recording r;
    r.origin = RecordingOrigin::Carved;
    r.timesKnown = false;
    r.recordIndex = f.firstCluster;
    for (uint32_t i = 0; i < f.clusters; ++i)
        r.clusters.append(f.firstCluster + i);
    r.name = QStringLiteral("carved_clusters-%1-%2.h264").arg(f.firstCluster).arg(f.firstCluster + f.clusters - 1);
    r.folder = QStringLiteral("carved");
    return r;
}

} // namespace korvath
