#include "scan.h"

#include "chain.h"
#include "directoryrecord.h"
#include "lereader.h"
#include "log.h"

#include <algorithm>

namespace korvath {

bool recordMatchesRange(RecorderTime recordStart, RecorderTime recordEnd, RecorderTime from, RecorderTime to)
{
    if (from > to)
        return false;
    const bool startInside = from <= recordStart && recordStart <= to;
    const bool endInside = from <= recordEnd && recordEnd <= to;
    const bool spans = recordStart <= from && recordEnd >= to;
    return startInside || endInside || spans;
}

QString recordingFileName(RecorderTime start, RecorderTime end, uint32_t channel)
{
    // Written in place and made a string once: 20,000 names cost 20,000
    // allocations, not five times as many.
    QChar text[2 * kRecorderTimeTextMax + 32];
    QChar *out = writeRecorderTimeText(text, start);
    *out++ = QLatin1Char('_');
    out = writeRecorderTimeText(out, end);
    for (const char c : {'_', 'C', 'A', 'M'})
        *out++ = QLatin1Char(c);
    char digits[24];
    uint64_t n = static_cast<uint64_t>(channel) + 1;
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10u);
        n /= 10u;
    } while (n != 0);
    while (count > 0)
        *out++ = QLatin1Char(digits[--count]);
    for (const char c : {'.', 'h', '2', '6', '4'})
        *out++ = QLatin1Char(c);
    return QString(text, static_cast<int>(out - text));
}

uint64_t scanClusterBound(uint64_t recordCount)
{
    return 2 * recordCount + 65536;
}

RecordingMap scanDirectory(const uint8_t *directory, size_t size, const VolumeInfo &info, const ScanQuery &query,
                           ScanStats *stats, std::vector<Recording> *displaced)
{
    RecordingMap found;
    const LeReader dir(directory, size);
    const uint64_t recordCount = static_cast<uint64_t>(info.dir_size) * kRecordsPerSector;
    const uint64_t present = std::min<uint64_t>(recordCount, size / kRecordSize);
    const uint64_t bound = scanClusterBound(recordCount);
    uint64_t walked = 0;
    bool bounded = false;
    const bool logging = debugLogEnabled();
    std::vector<uint32_t> scratch;
    uint64_t i = info.rev_clu;
    for (; i < present; ++i) {
        const size_t base = static_cast<size_t>(i) * kRecordSize;
        // Cheap test first: most records belong to other channels or are empty.
        const uint8_t flag = dir.u8(base + record::kFlag);
        const uint32_t channel = dir.u32(base + record::kChannel) >> record::kChannelShift;
        if ((flag != 2 && flag != 3) || (!query.allChannels && channel != query.channel))
            continue;
        if (logging)
            KLOG << "flag and channel is true";
        const DirectoryRecord r = readDirectoryRecord(dir, i);
        if (!recordMatchesRange(r.startTime, r.endTime, query.start, query.end))
            continue;
        // The walk may take chainCount + 1 clusters; past the bound nothing more is listed.
        if (walked + r.chainCount + 1 > bound) {
            bounded = true;
            break;
        }
        if (logging)
            KLOG << "time is true";
        Recording rec;
        rec.channel = query.allChannels ? channel : query.channel;
        rec.name = recordingFileName(r.startTime, r.endTime, rec.channel);
        if (logging)
            KLOG << "filename:" << rec.name;
        rec.clusters = walkChain(dir, recordCount, static_cast<uint32_t>(i), scratch);
        walked += static_cast<uint64_t>(rec.clusters.size());
        if (logging)
            KLOG << "one file end";
        rec.startTime = r.startTime;
        rec.endTime = r.endTime;
        rec.recordIndex = static_cast<uint32_t>(i);
        // Of equal names the higher index wins, and the earlier one is kept
        // aside. Recorders write in time order, so a name mostly sorts last
        // and goes in at the end without a descent.
        if (found.isEmpty() || found.lastKey() < rec.name) {
            found.insert(found.constEnd(), rec.name, rec);
            continue;
        }
        // One descent finds both an equal name and the place for a new one.
        const auto at = found.lowerBound(rec.name); // not the end: the last key is not less
        if (at.key() == rec.name) {
            if (displaced)
                displaced->push_back(std::move(at.value()));
            at.value() = std::move(rec);
        } else {
            found.insert(at, rec.name, rec);
        }
    }
    if (stats) {
        stats->clustersWalked = walked;
        stats->clusterBound = bound;
        stats->bounded = bounded;
        stats->stoppedAtRecord = bounded ? i : 0;
    }
    return found;
}

} // namespace korvath
