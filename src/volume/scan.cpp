#include "scan.h"

#include "lereader.h"
#include "log.h"
#include "probe.h"

#include <algorithm>
#include <cstdint>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

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

ClusterList walkChain(const LeReader &directory, uint64_t recordCount, uint32_t firstIndex)
{
    std::vector<uint32_t> scratch;
    return walkChain(directory, recordCount, firstIndex, scratch);
}

ClusterList walkChain(const LeReader &directory, uint64_t recordCount, uint32_t firstIndex,
                      std::vector<uint32_t> &scratch)
{
    const DirectoryRecord first = readDirectoryRecord(directory, firstIndex);
    // A chain holds at most chainCount + 1 clusters (a 16-bit count), so the
    // buffer is sized once and written without a capacity test per step.
    const size_t most = static_cast<size_t>(first.chainCount) + 1;
    if (scratch.size() < most)
        scratch.resize(most);
    uint32_t *const begin = scratch.data();
    uint32_t *out = begin;
    *out++ = firstIndex;
    if (first.chainCount != 0 && first.nextCluster != 0) {
        const uint32_t id = first.chainId;
        // Records below this index lie whole in the buffer and inside the directory.
        const uint64_t whole = std::min<uint64_t>(recordCount, directory.size() / kRecordSize);
        uint32_t next = first.nextCluster;
        uint32_t remaining = first.chainCount;
        for (;;) {
            if (next >= recordCount)
                break; // points outside the directory
            *out++ = next;
            if (--remaining == 0)
                break;
            // Only the two fields a link is followed by: decoding whole records
            // here was a third of a large scan. A record cut by the buffer's end ends the chain.
            size_t at = static_cast<size_t>(next) * kRecordSize;
            if (!directory.contains(at, kRecordSize) || directory.u32(at + 24) != id)
                break;
            uint32_t link = directory.u32(at + 8);
            // Recorders chain mostly into the next cluster. Along such a run the
            // index is counted, not taken from the load, so the next record can
            // be read before this one has arrived; the walk ran at load latency.
            while (link != 0 && link == next + 1 && link < whole && remaining > 1) {
                next = next + 1;
                *out++ = next;
                --remaining;
                at += kRecordSize;
                if (directory.u32(at + 24) != id) {
                    link = 0;
                    break;
                }
                link = directory.u32(at + 8);
            }
            if (link == 0)
                break;
            next = link;
        }
    }
    const size_t count = static_cast<size_t>(out - begin);
    // Sized once and copied: appending to the list reloads its size at every step.
    ClusterList clusters(static_cast<int>(count));
    std::copy(begin, out, clusters.begin());
    return clusters;
}

RecordingMap scanDirectory(const uint8_t *directory, size_t size, const VolumeInfo &info, const ScanQuery &query)
{
    RecordingMap found;
    const LeReader dir(directory, size);
    const uint64_t recordCount = static_cast<uint64_t>(info.dir_size) * kRecordsPerSector;
    const uint64_t present = std::min<uint64_t>(recordCount, size / kRecordSize);
    const bool logging = lcKorvath().isDebugEnabled();
    std::vector<uint32_t> scratch;
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
        rec.clusters = walkChain(dir, recordCount, static_cast<uint32_t>(i), scratch);
        if (logging)
            KLOG << "one file end";
        rec.startTime = r.startTime;
        rec.endTime = r.endTime;
        rec.channel = query.channel;
        rec.recordIndex = static_cast<uint32_t>(i);
        // Of equal names the higher index wins. Recorders write in time order,
        // so a name mostly sorts last: the hint spares the descent and falls
        // back to a plain insert when it is wrong.
        found.insert(found.constEnd(), rec.name, rec);
    }
    return found;
}

namespace {

// Faulting a large directory buffer in 4 KiB at a time cost more than
// reading it from the page cache (88.5 MiB: 72 ms, 30 ms with 2 MiB pages).
void preferLargePages(void *data, size_t size)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t kLarge = size_t(4) << 20;
    if (!data || size < kLarge)
        return;
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(page - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE); // advice only
#else
    (void)data;
    (void)size;
#endif
}

} // namespace

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
        const size_t size = static_cast<size_t>(info.dir_size) * kSectorSize;
        read.bytes.reserve(size);
        preferLargePages(read.bytes.data(), size);
        read.bytes.resize(size); // not zeroed: the read fills it, the tail is zeroed below
    } catch (const std::bad_alloc &) {
        read.allocated = false;
        return read;
    }
    seekSector(handle, read.startSector, FILE_BEGIN_METHOD);
    const uint32_t got = info.dir_size ? readSectors(handle, read.bytes.data(), info.dir_size) : 0;
    read.bytesRead = got == kReadFailed ? 0 : std::min<uint64_t>(got, read.bytes.size());
    // A failed or short read may leave anything past what it returned.
    std::fill(read.bytes.begin() + static_cast<std::ptrdiff_t>(read.bytesRead), read.bytes.end(), uint8_t(0));
    return read;
}

} // namespace korvath
