#include "layout.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace korvath;

namespace {

struct LayoutCase {
    uint64_t totalSec;
    uint32_t dirSize, dataOffset, revClu;
};

// The recorder's own worked values, and the edges between them.
const LayoutCase kCases[] = {
    {0, 0, 256, 0},
    {8388608, 3072, 6656, 40},        // 2 % quota below the cap
    {13107200, 3072, 6656, 64},       // quota reaches the cap exactly
    {156301488, 3072, 6656, 64},
    {201326592, 3072, 6656, 64},      // one whole block
    {201326593, 3072, 6656, 64},      // a partial cluster does not count
    {201330688, 6144, 12800, 64},     // one cluster more: a second block
    {488397168, 9216, 19200, 64},
    {976773168, 15360, 31488, 64},
    {1953525168, 30720, 62720, 64},
    {3907029168, 61440, 125184, 64},
    {7814037168, 119808, 243712, 64},
    {8589934591, 132096, 268800, 64}, // one sector short of 2^33
    {8589934592, 132096, 268800, 128},
    {11721045168, 181248, 368640, 128},
};

TEST(VolumeLayout, WorkedValues)
{
    for (const LayoutCase &c : kCases) {
        const VolumeInfo v = volumeInfoForSectors(c.totalSec);
        EXPECT_EQ(v.dir_size, c.dirSize) << c.totalSec;
        EXPECT_EQ(v.data_offset, c.dataOffset) << c.totalSec;
        EXPECT_EQ(v.rev_clu, c.revClu) << c.totalSec;
        EXPECT_EQ(v.totalSec, c.totalSec);
    }
}

TEST(VolumeLayout, DataOffsetIsAPositiveMultipleOf256)
{
    for (uint64_t sectors = 0; sectors < (1ull << 36); sectors = sectors * 3 + 4099) {
        const VolumeInfo v = volumeInfoForSectors(sectors);
        ASSERT_NE(v.data_offset, 0u) << sectors;
        ASSERT_EQ(v.data_offset % 256, 0u) << sectors;
        ASSERT_GT(v.data_offset, 2 * v.dir_size) << sectors; // two directories fit before cluster 0
    }
}

TEST(VolumeLayout, DirectoryPlacement)
{
    VolumeInfo v;
    v.data_offset = 31488;
    v.rev_clu = 63;
    EXPECT_EQ(directoryBaseSector(v), 31488u + 0x3000u);
    v.rev_clu = 64;
    EXPECT_EQ(directoryBaseSector(v), 31488u + 0x20000u);
    EXPECT_EQ(directoryStartSector(v, 63), 31488u + 0x20000u + 63u);
    EXPECT_EQ(directoryStartSector(v, 128), 31488u + 0x20000u + 128u);
    EXPECT_EQ(directoryStartSector(v, 129), 31488u + 0x20000u);
    EXPECT_EQ(directoryStartSector(v, 2048), 31488u + 0x20000u);
    EXPECT_EQ(clusterSector(0xFFFFFFFFu, 0xFFFFFFFFu), 0xFFFFFFFFull + 0xFFFFFFFFull * 4096u);
}

TEST(VolumeLayout, ComputedFromTheDriveWithItsLogLines)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("d.img"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(976773168ll * 512));
    f.close();
    const DriveHandle h = openDrive(path.toLocal8Bit().constData());
    ASSERT_TRUE(h.isValid());
    testkit::LogCapture log;
    const VolumeInfo v = computeVolumeInfo(h);
    EXPECT_EQ(v.dir_size, 15360u);
    const QStringList expected = {"totalSec: 976773168", "data_offset: 31488", "dir_size: 15360", "rev_clu: 64"};
    EXPECT_EQ(log.lines(), expected);
    ::close(h.native);
}

} // namespace
