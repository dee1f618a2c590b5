#include "lossmap.h"

#include <algorithm>

namespace korvath {

LossMap buildByteRuns(uint32_t dataOffset, const ClusterList &clusters,
                                   std::vector<UnreadableSectors> unreadable)
{
    const size_t count = static_cast<size_t>(clusters.size());
    unreadable.erase(std::remove_if(unreadable.begin(), unreadable.end(),
                                    [&](const UnreadableSectors &u) {
                                        return u.position >= count || u.count == 0 || u.firstSector >= kClusterSectors;
                                    }),
                     unreadable.end());
    std::sort(unreadable.begin(), unreadable.end(), [](const UnreadableSectors &a, const UnreadableSectors &b) {
        return a.position != b.position ? a.position < b.position : a.firstSector < b.firstSector;
    });

    std::vector<ByteRun> runs;
    // Joins a piece to the last run when both kinds and both places continue it.
    auto append = [&runs](uint64_t fileOffset, uint64_t imgOffset, uint64_t length, bool fill) {
        if (length == 0)
            return;
        if (!runs.empty()) {
            ByteRun &last = runs.back();
            if (last.zeroFill == fill && last.fileOffset + last.length == fileOffset
                && last.imgOffset + last.length == imgOffset) {
                last.length += length;
                return;
            }
        }
        runs.push_back(ByteRun{fileOffset, imgOffset, length, fill});
    };

    size_t u = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t img = clusterSector(dataOffset, clusters[static_cast<int>(i)]) * kSectorSize;
        const uint64_t file = static_cast<uint64_t>(i) * kClusterBytes;
        uint32_t at = 0; // sectors of this cluster already placed
        for (; u < unreadable.size() && unreadable[u].position == i; ++u) {
            const uint32_t end = static_cast<uint32_t>(
                std::min<uint64_t>(uint64_t(unreadable[u].firstSector) + unreadable[u].count, kClusterSectors));
            if (end <= at)
                continue; // inside a range already placed
            const uint32_t first = std::max(unreadable[u].firstSector, at);
            append(file + uint64_t(at) * kSectorSize, img + uint64_t(at) * kSectorSize,
                   uint64_t(first - at) * kSectorSize, false);
            append(file + uint64_t(first) * kSectorSize, img + uint64_t(first) * kSectorSize,
                   uint64_t(end - first) * kSectorSize, true);
            at = end;
        }
        append(file + uint64_t(at) * kSectorSize, img + uint64_t(at) * kSectorSize,
               uint64_t(kClusterSectors - at) * kSectorSize, false);
    }
    return runs;
}

LossMap lossMapOf(uint32_t dataOffset, const ClusterList &clusters, const std::vector<SectorRange> &lost)
{
    std::vector<UnreadableSectors> positions;
    if (!lost.empty())
        for (int k = 0; k < clusters.size(); ++k) {
            const uint64_t first = clusterSector(dataOffset, clusters[k]);
            const uint64_t end = first + kClusterSectors;
            for (const SectorRange &r : lost) {
                const uint64_t from = std::max(first, r.first), to = std::min(end, r.first + r.count);
                if (from < to)
                    positions.push_back({static_cast<size_t>(k), static_cast<uint32_t>(from - first),
                                         static_cast<uint32_t>(to - from)});
            }
        }
    return buildByteRuns(dataOffset, clusters, std::move(positions));
}

std::vector<ByteRange> lostBytes(const LossMap &map)
{
    std::vector<ByteRange> out;
    for (const ByteRun &r : map)
        if (r.zeroFill) {
            if (!out.empty() && out.back().offset + out.back().length == r.fileOffset)
                out.back().length += r.length;
            else
                out.push_back({r.fileOffset, r.length});
        }
    return out;
}

} // namespace korvath
