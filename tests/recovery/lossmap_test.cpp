// The loss map of a copy: its lost stretches as the MP4 is told of them, in
// the file's offsets, wherever the clusters lie on the source.
#include "lossmap.h"

#include <gtest/gtest.h>

using namespace korvath;

namespace {

constexpr uint32_t kData = 1000;

uint64_t sectorOf(uint32_t cluster, uint64_t within)
{
    return clusterSector(kData, cluster) + within;
}

} // namespace

TEST(LossMap, LostStretchesInTheFileWhereverTheClustersLie)
{
    constexpr uint64_t S = kSectorSize, C = kClusterBytes;
    const struct {
        const char *what;
        ClusterList clusters;
        std::vector<SectorRange> lost;
        std::vector<std::pair<uint64_t, uint64_t>> bytes; // offset, length in the file
    } cases[] = {
        {"nothing lost", {7, 3}, {}, {}},
        {"a run inside the second cluster", {7, 3}, {{sectorOf(3, 10), 5}}, {{C + 10 * S, 5 * S}}},
        // The end of one cluster and the start of the next are one stretch in
        // the file, though the clusters lie far apart on the source.
        {"across clusters apart on the source", {7, 3},
         {{sectorOf(7, kClusterSectors - 2), 2}, {sectorOf(3, 0), 3}}, {{C - 2 * S, 5 * S}}},
        {"a cluster listed twice loses twice", {5, 5}, {{sectorOf(5, 1), 1}}, {{1 * S, S}, {C + 1 * S, S}}},
        {"sectors of clusters not in the copy are not its losses", {2}, {{sectorOf(9, 0), 4096}}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const LossMap map = lossMapOf(kData, c.clusters, c.lost);
        uint64_t covered = 0;
        for (const ByteRun &r : map) {
            EXPECT_EQ(r.fileOffset, covered); // the runs cover the file, in order
            covered += r.length;
        }
        EXPECT_EQ(covered, uint64_t(c.clusters.size()) * C);
        std::vector<std::pair<uint64_t, uint64_t>> got;
        for (const ByteRange &b : lostBytes(map))
            got.emplace_back(b.offset, b.length);
        EXPECT_EQ(got, c.bytes);
    }
}
