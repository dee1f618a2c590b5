// The volume layout as a function of the drive length, and as computed from a drive.
#include "layout.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

// Readable failure messages.
void PrintTo(const QString &s, std::ostream *os)
{
    *os << s.toStdString();
}

using namespace korvath;

namespace {

struct LayoutCase {
    const char *what;
    uint64_t totalSec;
    uint32_t dirSize, dataOffset, revClu;
};

const LayoutCase kCases[] = {
    // The recorder's worked values.
    {"empty drive", 0, 0, 256, 0},
    {"4 GiB: 2 % quota", 8388608, 3072, 6656, 40},
    {"quota meets the cap", 13107200, 3072, 6656, 64},
    {"80 GB", 156301488, 3072, 6656, 64},
    {"one whole block", 201326592, 3072, 6656, 64},
    {"one cluster more", 201330688, 6144, 12800, 64},
    {"250 GB", 488397168, 9216, 19200, 64},
    {"500 GB", 976773168, 15360, 31488, 64},
    {"1 TB", 1953525168, 30720, 62720, 64},
    {"2 TB", 3907029168, 61440, 125184, 64},
    {"4 TB", 7814037168, 119808, 243712, 64},
    {"2^33 sectors", 8589934592, 132096, 268800, 128},
    {"6 TB", 11721045168, 181248, 368640, 128},
    // Edges between them.
    {"one sector under the cap", 13107199, 3072, 6656, 63},
    {"partial cluster past one block", 201326593, 3072, 6656, 64},
    {"one sector short of 2^33", 8589934591, 132096, 268800, 64},
    {"one sector short of 2^34", 17179869183, 264192, 537088, 128},
    {"2^34 sectors: 64 clusters more", 17179869184, 264192, 537088, 192},
    // 32-bit widths: the block count of the last whole block the sum can hold,
    // the sum wrapping one cluster later, and the cluster count itself wrapping.
    {"largest block count", 4294918144ull * 4096, 268434432, 545257728, 131072},
    {"block sum wraps", 4294918145ull * 4096, 0, 256, 131072},
    {"2^32 clusters wrap to 0", 1ull << 44, 0, 256, 64},
};

TEST(VolumeLayout, WorkedValuesAndEdges)
{
    for (const LayoutCase &c : kCases) {
        SCOPED_TRACE(c.what);
        const VolumeInfo v = volumeInfoForSectors(c.totalSec);
        EXPECT_EQ(v.dir_size, c.dirSize);
        EXPECT_EQ(v.data_offset, c.dataOffset);
        EXPECT_EQ(v.rev_clu, c.revClu);
        EXPECT_EQ(v.totalSec, c.totalSec);
    }
}

// Every block count up to where the 32-bit sum wraps: exactly h blocks, then
// 4095 sectors more (no further whole cluster), then one cluster more (a started block).
TEST(VolumeLayout, EveryBlockBoundary)
{
    const uint64_t blockSectors = 49152ull * 4096;
    for (uint64_t h = 0; h <= 87380; ++h) {
        const uint64_t exact = h * blockSectors;
        const uint64_t offset = (6240 * h + 255) / 256 * 256 + 256; // rounded up, plus 256
        for (uint64_t extra : {uint64_t(0), uint64_t(4095)}) {
            const VolumeInfo v = volumeInfoForSectors(exact + extra);
            ASSERT_EQ(v.dir_size, 3072 * h) << exact + extra;
            ASSERT_EQ(v.data_offset, offset) << exact + extra;
            ASSERT_NE(v.data_offset, 0u);
            ASSERT_EQ(v.data_offset % 256, 0u);
        }
        const VolumeInfo more = volumeInfoForSectors(exact + 4096);
        ASSERT_EQ(more.dir_size, 3072 * (h + 1)) << exact + 4096;
    }
}

TEST(VolumeLayout, DirectoryPlacement)
{
    VolumeInfo v;
    v.data_offset = 31488;
    v.rev_clu = 63;
    EXPECT_EQ(directoryBaseSector(v), 31488u + 0x3000u);
    EXPECT_EQ(directoryStartSector(v, 128), 31488u + 0x3000u + 128u);
    v.rev_clu = 64;
    EXPECT_EQ(directoryBaseSector(v), 31488u + 0x20000u);
    EXPECT_EQ(directoryStartSector(v, 63), 31488u + 0x20000u + 63u);
    EXPECT_EQ(directoryStartSector(v, 129), 31488u + 0x20000u);
    EXPECT_EQ(directoryStartSector(v, 0x80000000u), 31488u + 0x20000u);
    EXPECT_EQ(clusterSector(0xFFFFFFFFu, 0xFFFFFFFFu), 0xFFFFFFFFull + 0xFFFFFFFFull * 4096u);
}

// The drive's length is its only input; the four lines come in this order.
TEST(VolumeLayout, ComputedFromASparseImageWithItsLogLines)
{
    struct Case {
        qint64 sectors;
        QStringList lines;
    } cases[] = {
        {976773168, {"totalSec: 976773168", "data_offset: 31488", "dir_size: 15360", "rev_clu: 64"}},
        {8388608, {"totalSec: 8388608", "data_offset: 6656", "dir_size: 3072", "rev_clu: 40"}},
        {0, {"totalSec: 0", "data_offset: 256", "dir_size: 0", "rev_clu: 0"}},
    };
    QTemporaryDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sectors);
        const QString path = dir.filePath(QStringLiteral("d%1.img").arg(c.sectors));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(c.sectors * 512));
        f.close();
        const DriveHandle h = openDrive(path.toLocal8Bit().constData());
        ASSERT_TRUE(h.isValid());
        testkit::LogCapture log;
        const VolumeInfo v = computeVolumeInfo(DriveSource(h));
        EXPECT_EQ(log.lines(), c.lines);
        const VolumeInfo expected = volumeInfoForSectors(static_cast<uint64_t>(c.sectors));
        EXPECT_EQ(v.totalSec, expected.totalSec);
        EXPECT_EQ(v.dir_size, expected.dir_size);
        EXPECT_EQ(v.data_offset, expected.data_offset);
        EXPECT_EQ(v.rev_clu, expected.rev_clu);
        ::close(h.native);
    }
}

} // namespace
