#include "unlisted.h"

#include "chain.h"
#include "clock.h"
#include "directoryrecord.h"
#include "lereader.h"

#include <algorithm>

namespace korvath {

bool plausibleStamps(RecorderTime start, RecorderTime end)
{
    return recorderTimeSeconds(start) && recorderTimeSeconds(end) && start <= end;
}

QString unlistedFileName(const Recording &r)
{
    const QString tail = QStringLiteral("_unlisted_from-cluster-%1.h264").arg(r.clusters.isEmpty() ? 0 : r.clusters.first());
    if (!r.timesKnown)
        return QStringLiteral("unknown-time_CAM%1").arg(r.channel + 1) + tail;
    QString name = recordingFileName(r.startTime, r.endTime, r.channel);
    name.chop(5); // ".h264"
    return name + tail;
}

namespace {
// Per record, in one byte: the passes below read and set these.
enum : uint8_t { kReached = 1, kFlagged = 2, kLinked = 4, kTaken = 8 };
} // namespace

UnlistedScan findUnlisted(const uint8_t *directory, size_t size, const VolumeInfo &info)
{
    UnlistedScan out;
    const LeReader dir(directory, size);
    const uint64_t recordCount = static_cast<uint64_t>(info.dir_size) * kRecordsPerSector;
    const uint64_t present = std::min<uint64_t>(recordCount, size / kRecordSize);
    const uint64_t bound = scanClusterBound(recordCount);
    const auto at = [](uint64_t i) { return static_cast<size_t>(i) * kRecordSize; };
    std::vector<uint8_t> state(static_cast<size_t>(present), 0);

    // What the walks reach, from every start record as the scan makes them,
    // in the same pass that notes which records carry a flag.
    std::vector<uint32_t> scratch;
    for (uint64_t i = info.rev_clu; i < present; ++i) {
        const uint8_t flag = dir.u8(at(i) + record::kFlag);
        if (flag == 0)
            continue;
        state[i] |= kFlagged;
        if (flag != 2 && flag != 3)
            continue;
        const uint16_t count = dir.u16(at(i) + record::kChainCount);
        if (out.clustersWalked + count + 1 > bound) {
            out.bounded = true;
            return out;
        }
        const size_t n = walkChainInto(dir, recordCount, static_cast<uint32_t>(i), scratch);
        out.clustersWalked += n;
        for (size_t k = 0; k < n; ++k)
            if (scratch[k] < present)
                state[scratch[k]] |= kReached;
    }

    // Candidates: a flag, not reached (reserved records never carry kFlagged).
    const auto candidate = [&](uint64_t i) { return (state[i] & (kFlagged | kReached)) == kFlagged; };
    const auto linksTo = [&](uint64_t i) -> int64_t {
        const uint32_t next = dir.u32(at(i) + record::kNextCluster);
        if (next == 0 || next >= present || next == i || !candidate(next)
            || dir.u32(at(next) + record::kChainId) != dir.u32(at(i) + record::kChainId))
            return -1;
        return next;
    };
    for (uint64_t i = info.rev_clu; i < present; ++i)
        if (candidate(i)) {
            const int64_t n = linksTo(i);
            if (n >= 0)
                state[static_cast<size_t>(n)] |= kLinked;
        }

    const auto follow = [&](uint64_t first) {
        Recording r;
        r.origin = RecordingOrigin::Unlisted;
        r.recordIndex = static_cast<uint32_t>(first);
        uint64_t i = first;
        for (;;) {
            state[i] |= kTaken;
            r.clusters.append(static_cast<uint32_t>(i));
            const int64_t n = linksTo(i);
            if (n < 0 || (state[static_cast<size_t>(n)] & kTaken))
                break;
            i = static_cast<uint64_t>(n);
        }
        const DirectoryRecord head = readDirectoryRecord(dir, first);
        r.channel = head.channel();
        r.chainId = head.chainId;
        r.timesKnown = false;
        // The first record with plausible stamps gives the times: all of a
        // chain's records carry the recording's, and one may be damaged.
        for (const uint32_t c : r.clusters) {
            const DirectoryRecord d = readDirectoryRecord(dir, c);
            if (plausibleStamps(d.startTime, d.endTime)) {
                r.startTime = d.startTime;
                r.endTime = d.endTime;
                r.timesKnown = true;
                break;
            }
        }
        r.name = unlistedFileName(r);
        r.folder = QStringLiteral("CAM%1/unlisted").arg(r.channel + 1);
        out.recordings.append(r);
    };
    for (uint64_t i = info.rev_clu; i < present; ++i)
        if (candidate(i) && !(state[i] & (kLinked | kTaken)))
            follow(i);
    for (uint64_t i = info.rev_clu; i < present; ++i)
        if (candidate(i) && !(state[i] & kTaken))
            follow(i); // a loop: every record of it is linked to
    std::sort(out.recordings.begin(), out.recordings.end(),
              [](const Recording &a, const Recording &b) { return a.clusters.first() < b.clusters.first(); });
    // Claimed: every record with a flag (now held by a recording, listed or
    // not) and every record a walk reaches.
    out.claimed = std::move(state);
    return out;
}

RecordingMap unlistedMatching(const QVector<Recording> &all, const ScanQuery &query)
{
    RecordingMap out;
    for (const Recording &r : all) {
        if (!query.allChannels && r.channel != query.channel)
            continue;
        if (r.timesKnown && !recordMatchesRange(r.startTime, r.endTime, query.start, query.end))
            continue;
        out.insert(r.name, r);
    }
    return out;
}

} // namespace korvath
