#include "chain.h"

#include "directoryrecord.h"

#include <algorithm>

namespace korvath {

ClusterList walkChain(const LeReader &directory, uint64_t recordCount, uint32_t firstIndex)
{
    std::vector<uint32_t> scratch;
    return walkChain(directory, recordCount, firstIndex, scratch);
}

ClusterList walkChain(const LeReader &directory, uint64_t recordCount, uint32_t firstIndex,
                      std::vector<uint32_t> &scratch)
{
    const size_t count = walkChainInto(directory, recordCount, firstIndex, scratch);
    // Sized once and copied: appending to the list reloads its size at every step.
    ClusterList clusters(static_cast<int>(count));
    std::copy(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(count), clusters.begin());
    return clusters;
}

size_t walkChainInto(const LeReader &directory, uint64_t recordCount, uint32_t firstIndex,
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
            if (!directory.contains(at, kRecordSize) || directory.u32(at + record::kChainId) != id)
                break;
            uint32_t link = directory.u32(at + record::kNextCluster);
            // Recorders chain mostly into the next cluster. Along such a run the
            // index is counted, not taken from the load, so the next record can
            // be read before this one has arrived; the walk ran at load latency.
            while (link != 0 && link == next + 1 && link < whole && remaining > 1) {
                next = next + 1;
                *out++ = next;
                --remaining;
                at += kRecordSize;
                if (directory.u32(at + record::kChainId) != id) {
                    link = 0;
                    break;
                }
                link = directory.u32(at + record::kNextCluster);
            }
            if (link == 0)
                break;
            next = link;
        }
    }
    return static_cast<size_t>(out - begin);
}

} // namespace korvath
