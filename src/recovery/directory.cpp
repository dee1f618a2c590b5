#include "directory.h"

#include "export.h"
#include "log.h"
#include "probe.h"

#include <algorithm>
#include <cstring>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace korvath {

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

DirectoryRead readDirectory(const SectorSource &source, const VolumeInfo &info, const DirectoryReadOptions &options)
{
    DirectoryRead read;
    const uint64_t offset1 = directoryBaseSector(info);
    KLOG << "offset1:" << offset1;
    read.volumeStart = findPartitionStart(source, &read.sector0Read);
    KLOG << "start_sec:" << read.volumeStart;
    read.directorySector = directoryStartSector(info, read.volumeStart);
    KLOG << "offset2:" << read.directorySector;
    read.sectorsWanted = info.dir_size;
    if (!read.sector0Read)
        return read;
    try {
        const size_t size = static_cast<size_t>(info.dir_size) * kSectorSize;
        read.bytes.reserve(size);
        preferLargePages(read.bytes.data(), size);
        read.bytes.resize(size); // not zeroed: the read fills it, and what it missed is read again below
    } catch (const std::bad_alloc &) {
        read.allocated = false;
        return read;
    }
    if (info.dir_size == 0)
        return read;
    if (options.progress || options.stop) {
        DeadlineReader reader(source, options.readTimeoutMs, options.stop, options.owner);
        // Pieces of two clusters: each one request; sector by sector only where
        // it comes back short; a piece whose read hangs is lost whole, named.
        constexpr uint64_t kPiece = 2 * kClusterSectors;
        for (uint64_t s = 0; s < info.dir_size; s += kPiece) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kPiece, info.dir_size - s));
            uint8_t *piece = read.bytes.data() + s * kSectorSize;
            const TimedRead r = reader.read(read.directorySector + s, piece, n);
            uint32_t bad = 0;
            if (r.outcome == ReadOutcome::Cancelled
                || (r.outcome != ReadOutcome::Whole && r.outcome != ReadOutcome::TimedOut
                    && !scrapeSpan(reader, read.directorySector + s, n, piece, read.unreadable, &bad, nullptr))) {
                read.stopped = true;
                break;
            }
            if (r.outcome == ReadOutcome::TimedOut) {
                std::memset(piece, 0, static_cast<size_t>(n) * kSectorSize);
                addUnreadable(read.unreadable, {read.directorySector + s, n});
            }
            if (options.progress)
                options.progress(s + n, info.dir_size);
        }
        return read;
    }
    const uint32_t got = source.read(read.directorySector, read.bytes.data(), info.dir_size);
    const uint64_t whole = got == kReadFailed ? 0 : std::min<uint64_t>(got, read.bytes.size()) / kSectorSize;
    // The rest again in cluster-sized pieces: one request each, sector by
    // sector only inside a piece that comes back short.
    for (uint64_t s = whole; s < info.dir_size; s += kClusterSectors) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kClusterSectors, info.dir_size - s));
        readSpan(source, read.directorySector + s, n, read.bytes.data() + s * kSectorSize, &read.unreadable);
    }
    return read;
}

} // namespace korvath
