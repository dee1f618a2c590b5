#include "scan.h"

#include "lereader.h"
#include "log.h"
#include "probe.h"

#include <algorithm>
#include <new>

namespace korvath {

DirectoryRecord readDirectoryRecord(const LeReader &directory, uint64_t index)
{
    DirectoryRecord r;
    if (index > (SIZE_MAX / kRecordSize))
        return r;
    const size_t base = static_cast<size_t>(index) * kRecordSize;
    if (!directory.contains(base, kRecordSize))
        return r;
    r.flag = directory.u8(base + 1);
    r.chainCount = directory.u16(base + 2);
    r.nextCluster = directory.u32(base + 8);
    r.startTime = directory.u32(base + 12);
    r.endTime = directory.u32(base + 16);
    r.chainId = directory.u32(base + 24);
    r.channelWord = directory.u32(base + 28);
    return r;
}

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
    return recorderTimeText(start) + QLatin1Char('_') + recorderTimeText(end) + QStringLiteral("_CAM")
           + QString::number(static_cast<uint64_t>(channel) + 1) + QStringLiteral(".h264");
}

ClusterList walkChain(const LeReader &directory, uint64_t recordCount, uint32_t firstIndex)
{
    ClusterList clusters{firstIndex};
    const DirectoryRecord first = readDirectoryRecord(directory, firstIndex);
    if (first.chainCount == 0 || first.nextCluster == 0)
        return clusters;
    uint32_t next = first.nextCluster;
    uint32_t remaining = first.chainCount;
    clusters.reserve(static_cast<int>(std::min<uint64_t>(remaining, recordCount) + 1));
    for (;;) {
        if (next >= recordCount)
            break; // points outside the directory
        clusters.append(next);
        const DirectoryRecord link = readDirectoryRecord(directory, next);
        if (--remaining == 0)
            break;
        if (link.chainId != first.chainId)
            break;
        next = link.nextCluster;
        if (next == 0)
            break;
    }
    return clusters;
}

RecordingMap scanDirectory(const uint8_t *directory, size_t size, const VolumeInfo &info, const ScanQuery &query)
{
    RecordingMap found;
    const LeReader dir(directory, size);
    const uint64_t recordCount = static_cast<uint64_t>(info.dir_size) * kRecordsPerSector;
    const uint64_t present = std::min<uint64_t>(recordCount, size / kRecordSize);
    const bool logging = lcKorvath().isDebugEnabled();
    for (uint64_t i = info.rev_clu; i < present; ++i) {
        const size_t base = static_cast<size_t>(i) * kRecordSize;
        // Cheap test first: most records belong to other channels or are empty.
        const uint8_t flag = dir.u8(base + 1);
        if ((flag != 2 && flag != 3) || (dir.u32(base + 28) >> 26) != query.channel)
            continue;
        if (logging)
            KLOG << "flag and channel is true";
        const DirectoryRecord r = readDirectoryRecord(dir, i);
        if (!recordMatchesRange(r.startTime, r.endTime, query.start, query.end))
            continue;
        if (logging)
            KLOG << "time is true";
        Recording rec;
        rec.name = recordingFileName(r.startTime, r.endTime, query.channel);
        if (logging)
            KLOG << "filename:" << rec.name;
        rec.clusters = walkChain(dir, recordCount, static_cast<uint32_t>(i));
        if (logging)
            KLOG << "one file end";
        rec.startTime = r.startTime;
        rec.endTime = r.endTime;
        rec.channel = query.channel;
        rec.recordIndex = static_cast<uint32_t>(i);
        found.insert(rec.name, rec); // of equal names the higher index wins
    }
    return found;
}

DirectoryRead readDirectory(DriveHandle handle, const VolumeInfo &info)
{
    DirectoryRead read;
    const uint64_t offset1 = directoryBaseSector(info);
    KLOG << "offset1:" << offset1;
    read.startSec = findPartitionStart(handle);
    KLOG << "start_sec:" << read.startSec;
    read.startSector = directoryStartSector(info, read.startSec);
    KLOG << "offset2:" << read.startSector;
    try {
        read.bytes.assign(static_cast<size_t>(info.dir_size) * kSectorSize, 0);
    } catch (const std::bad_alloc &) {
        read.allocated = false;
        return read;
    }
    seekSector(handle, read.startSector, FILE_BEGIN_METHOD);
    const uint32_t got = info.dir_size ? readSectors(handle, read.bytes.data(), info.dir_size) : 0;
    read.bytesRead = got == kReadFailed ? 0 : got;
    return read;
}

} // namespace korvath
