// The directory scan and the chain walk over arbitrary directory bytes and
// layout values. Input: dir_size, rev_clu, channel, range start, range end
// and a walk's first index (six little-endian u32), then the directory.
#include "fuzzcheck.h"
#include "lereader.h"
#include "scan.h"
#include "unlisted.h"

#include "log.h"
#include <QString>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

using namespace korvath;

namespace {

constexpr size_t kHeaderSize = 24;

// A file name may only hold what the time stamps and the camera number
// produce: nothing that leaves the camera folder or upsets a file system.
bool safeFileName(const QString &name)
{
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok = (u >= '0' && u <= '9') || u == '-' || u == ' ' || u == '_' || u == '.' || u == 'C'
                        || u == 'A' || u == 'M' || u == 'h';
        if (!ok)
            return false;
    }
    return !name.startsWith(QLatin1Char('.'));
}

// An unlisted recording's name says what it is in words: letters too, still
// nothing that leaves its folder.
bool safeUnlistedName(const QString &name)
{
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '-'
                        || u == ' ' || u == '_' || u == '.';
        if (!ok)
            return false;
    }
    return !name.isEmpty() && !name.startsWith(QLatin1Char('.'));
}

// Everything a walk promises, checked on its result alone.
void checkWalk(const LeReader &dir, uint64_t recordCount, uint32_t firstIndex, const ClusterList &walk)
{
    const DirectoryRecord first = readDirectoryRecord(dir, firstIndex);
    FUZZ_CHECK(!walk.isEmpty());
    FUZZ_CHECK(walk.first() == firstIndex);
    FUZZ_CHECK(static_cast<uint64_t>(walk.size()) <= static_cast<uint64_t>(first.chainCount) + 1u);
    for (int k = 1; k < walk.size(); ++k) {
        const uint32_t c = walk[k];
        FUZZ_CHECK(c != 0);                    // 0 ends a chain, it is never a link
        FUZZ_CHECK(c < recordCount);           // never outside the directory
        const DirectoryRecord prev = readDirectoryRecord(dir, walk[k - 1]);
        FUZZ_CHECK(prev.nextCluster == c);     // each cluster is its predecessor's link
        if (k > 1)
            FUZZ_CHECK(prev.chainId == first.chainId); // only same-chain records are followed
    }
    if (static_cast<uint64_t>(walk.size()) == static_cast<uint64_t>(first.chainCount) + 1u)
        return;
    // Ended before its count: the last record gave a reason to stop.
    const DirectoryRecord last = readDirectoryRecord(dir, walk.last());
    if (walk.size() == 1) {
        FUZZ_CHECK(first.chainCount == 0 || first.nextCluster == 0 || first.nextCluster >= recordCount);
    } else {
        FUZZ_CHECK(last.chainId != first.chainId || last.nextCluster == 0 || last.nextCluster >= recordCount);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Per-record debug lines would cost more than the scan itself.
    korvath::setDebugLogEnabled(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kHeaderSize)
        return 0;
    const LeReader header(data, kHeaderSize);
    VolumeInfo info;
    info.dir_size = header.u32(0);
    info.rev_clu = header.u32(4);
    const ScanQuery query{header.u32(8), header.u32(12), header.u32(16)};
    const uint32_t walkFrom = header.u32(20);

    const uint8_t *bytes = data + kHeaderSize;
    const size_t length = size - kHeaderSize;
    const LeReader dir(bytes, length);
    const uint64_t recordCount = static_cast<uint64_t>(info.dir_size) * kRecordsPerSector;
    const uint64_t present = std::min<uint64_t>(recordCount, length / kRecordSize);

    // A walk from anywhere, also from beyond the bytes present.
    checkWalk(dir, recordCount, walkFrom, walkChain(dir, recordCount, walkFrom));

    ScanStats stats;
    const RecordingMap found = scanDirectory(bytes, length, info, query, &stats);
    FUZZ_CHECK(stats.clustersWalked <= stats.clusterBound);
    uint64_t listed = 0;
    for (const Recording &rec : found)
        listed += static_cast<uint64_t>(rec.clusters.size());
    FUZZ_CHECK(listed <= stats.clustersWalked);
    const QString camera = QStringLiteral("_CAM%1.h264").arg(static_cast<uint64_t>(query.channel) + 1u);
    for (auto it = found.cbegin(); it != found.cend(); ++it) {
        const Recording &rec = it.value();
        FUZZ_CHECK(it.key() == rec.name);
        FUZZ_CHECK(rec.name.size() >= 49 && rec.name.size() <= 58);
        FUZZ_CHECK(rec.name.endsWith(camera));
        FUZZ_CHECK(safeFileName(rec.name));
        FUZZ_CHECK(rec.channel == query.channel);
        FUZZ_CHECK(rec.recordIndex >= info.rev_clu && rec.recordIndex < present);
        FUZZ_CHECK(!stats.bounded || rec.recordIndex < stats.stoppedAtRecord);
        const DirectoryRecord r = readDirectoryRecord(dir, rec.recordIndex);
        FUZZ_CHECK(r.canStart() && r.channel() == query.channel);
        FUZZ_CHECK(recordMatchesRange(r.startTime, r.endTime, query.start, query.end));
        FUZZ_CHECK(rec.startTime == r.startTime && rec.endTime == r.endTime);
        checkWalk(dir, recordCount, rec.recordIndex, rec.clusters);
    }

    // Nothing that matches is lost (before the bound, where the scan stops
    // listing), and of equal names the later record wins.
    uint64_t candidates = 0;
    const uint64_t end = stats.bounded ? stats.stoppedAtRecord : present;
    for (uint64_t i = info.rev_clu; i < end; ++i) {
        const DirectoryRecord r = readDirectoryRecord(dir, i);
        if (!r.canStart() || r.channel() != query.channel
            || !recordMatchesRange(r.startTime, r.endTime, query.start, query.end))
            continue;
        ++candidates;
        const auto it = found.constFind(recordingFileName(r.startTime, r.endTime, query.channel));
        FUZZ_CHECK(it != found.cend());
        FUZZ_CHECK(it->recordIndex >= i);
    }
    FUZZ_CHECK(static_cast<uint64_t>(found.size()) <= candidates);

    // The unlisted chains: within the bound, each record in one at most, each
    // link one the records make, every record of one carrying a flag and its id.
    const UnlistedScan u = findUnlisted(bytes, length, info);
    FUZZ_CHECK(u.clustersWalked <= scanClusterBound(recordCount));
    FUZZ_CHECK(!u.bounded || u.recordings.isEmpty());
    std::vector<uint8_t> seen(static_cast<size_t>(present), 0);
    for (const Recording &r : u.recordings) {
        FUZZ_CHECK(!r.clusters.isEmpty() && safeUnlistedName(r.name));
        for (int k = 0; k < r.clusters.size(); ++k) {
            const uint32_t c = r.clusters[k];
            FUZZ_CHECK(c >= info.rev_clu && c < present && !seen[c]);
            seen[c] = 1;
            const DirectoryRecord d = readDirectoryRecord(dir, c);
            FUZZ_CHECK(d.flag != 0 && d.chainId == r.chainId && u.claimed[c]);
            FUZZ_CHECK(k == 0 || readDirectoryRecord(dir, r.clusters[k - 1]).nextCluster == c);
        }
    }
    return 0;
}
