#include "drive.h"
#include "drivenames.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

using namespace korvath;

namespace {

// A sparse file of `bytes` with `marker` written at `markerOffset`.
QString makeImage(const QTemporaryDir &dir, const char *name, uint64_t bytes, uint64_t markerOffset = 0,
                  const QByteArray &marker = {})
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    EXPECT_TRUE(f.resize(static_cast<qint64>(bytes)));
    if (!marker.isEmpty()) {
        EXPECT_TRUE(f.seek(static_cast<qint64>(markerOffset)));
        EXPECT_EQ(f.write(marker), marker.size());
    }
    return path;
}

TEST(DrivePath, WindowsPathTexts)
{
    const std::pair<int, const char *> cases[] = {{0, "\\\\.\\PhysicalDrive0"}, {15, "\\\\.\\PhysicalDrive15"}};
    for (const auto &c : cases) {
        char buffer[kDrivePathBufferSize] = {};
        const int n = formatWindowsDrivePath(buffer, sizeof buffer, c.first);
        EXPECT_STREQ(buffer, c.second);
        EXPECT_EQ(n, static_cast<int>(std::strlen(c.second)));
    }
}

TEST(DrivePath, ResolverPointsNumbersAtFiles)
{
    testkit::DriveMap map({{0, QStringLiteral("/tmp/a.img")}, {15, QStringLiteral("/tmp/b.img")}});
    char buffer[kDrivePathBufferSize] = {};
    formatDrivePath(buffer, 0);
    EXPECT_STREQ(buffer, "/tmp/a.img");
    std::memset(buffer, 0, sizeof buffer);
    formatDrivePath(buffer, 15);
    EXPECT_STREQ(buffer, "/tmp/b.img");
    std::memset(buffer, 0, sizeof buffer);
    formatDrivePath(buffer, 3);
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(openDrive(buffer).isValid());
}

TEST(DriveOffset, SplitAndJoin)
{
    struct Case {
        uint64_t sector;
        uint32_t low, high;
    } cases[] = {{0, 0, 0}, {1, 512, 0}, {8388607, 0xFFFFFE00u, 0}, {8388608, 0, 1},
                 {4294967296ull, 0, 0x200}, {0x7FFFFFFFFFFFFFull, 0xFFFFFE00u, 0xFFFFFFFFu}};
    for (const Case &c : cases) {
        const OffsetHalves h = splitSectorOffset(c.sector);
        EXPECT_EQ(h.low, c.low) << c.sector;
        EXPECT_EQ(h.high, c.high) << c.sector;
        EXPECT_EQ(joinOffsetHalves(h.low, h.high), c.sector << 9);
    }
}

TEST(DriveHandleTest, DefaultIsInvalid)
{
    const DriveHandle h;
    EXPECT_FALSE(h.isValid());
    EXPECT_EQ(h.native, invalidNativeHandle());
    unsigned char buf[512];
    std::memset(buf, 0xAB, sizeof buf);
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(readSectors(h, buf, 1), kReadFailed);
    EXPECT_EQ(seekSector(h, 0, FILE_BEGIN_METHOD), kSeekFailed);
    for (unsigned char b : buf)
        ASSERT_EQ(b, 0);
}

TEST(DriveIo, SizesSparseImage)
{
    QTemporaryDir dir;
    const QString path = makeImage(dir, "500g.img", 500107862016ull);
    const DriveHandle h = openDrive(path.toLocal8Bit().constData());
    ASSERT_TRUE(h.isValid());
    EXPECT_EQ(queryDriveSectors(h), 976773168);
    ::close(h.native);
}

TEST(DriveIo, SeekBeyond2TiBLandsOnTheRightBytes)
{
    QTemporaryDir dir;
    const uint64_t sector = 4294967296ull;
    const QByteArray marker = QByteArray("sector 2^32 here").leftJustified(512, '#');
    const QString path = makeImage(dir, "3t.img", (sector + 8) * 512, sector * 512, marker);
    const DriveHandle h = openDrive(path.toLocal8Bit().constData());
    ASSERT_TRUE(h.isValid());
    EXPECT_EQ(seekSector(h, 0, FILE_BEGIN_METHOD), 0);
    EXPECT_EQ(seekSector(h, sector, FILE_BEGIN_METHOD), 2199023255552ll);
    std::vector<char> buf(512, 0);
    EXPECT_EQ(readSectors(h, buf.data(), 1), 512u);
    EXPECT_EQ(QByteArray(buf.data(), 512), marker);
    ::close(h.native);
}

TEST(DriveIo, ReadPastTheEndIsShortAndLeavesTheRestZero)
{
    QTemporaryDir dir;
    const QByteArray tail(1024, 'T');
    const QString path = makeImage(dir, "small.img", 10 * 512, 8 * 512, tail);
    const DriveHandle h = openDrive(path.toLocal8Bit().constData());
    ASSERT_TRUE(h.isValid());
    std::vector<unsigned char> buf(4 * 512, 0);
    seekSector(h, 8, FILE_BEGIN_METHOD);
    EXPECT_EQ(readSectors(h, buf.data(), 4), 1024u);
    for (size_t i = 0; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], i < 1024 ? 'T' : 0) << i;
    // Entirely past the end: nothing read, nothing touched.
    std::fill(buf.begin(), buf.end(), 0);
    seekSector(h, 100, FILE_BEGIN_METHOD);
    EXPECT_EQ(readSectors(h, buf.data(), 4), 0u);
    for (unsigned char b : buf)
        ASSERT_EQ(b, 0);
    ::close(h.native);
}

TEST(DriveIo, CountZeroReadsNothing)
{
    QTemporaryDir dir;
    const QString path = makeImage(dir, "z.img", 4096, 0, QByteArray(512, 'Z'));
    const DriveHandle h = openDrive(path.toLocal8Bit().constData());
    ASSERT_TRUE(h.isValid());
    unsigned char buf[512] = {};
    seekSector(h, 0, FILE_BEGIN_METHOD);
    EXPECT_EQ(readSectors(h, buf, 0), 0u);
    EXPECT_EQ(buf[0], 0);
    ::close(h.native);
}

TEST(DriveIo, OpenedReadOnly)
{
    QTemporaryDir dir;
    const QString path = makeImage(dir, "ro.img", 4096);
    const DriveHandle h = openDrive(path.toLocal8Bit().constData());
    ASSERT_TRUE(h.isValid());
    EXPECT_EQ(::fcntl(h.native, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_TRUE(::fcntl(h.native, F_GETFD) & FD_CLOEXEC);
    EXPECT_LT(::write(h.native, "x", 1), 0);
    ::close(h.native);
}

TEST(DriveNames, NaturalOrder)
{
    const std::vector<BlockDeviceEntry> entries = {
        {"sdaa", false}, {"loop10", true}, {"nvme1n1", false}, {"sdb", false}, {"sr0", false},
        {"loop2", true}, {"loop3", false}, {"dm-0", false}, {"md127", false}, {"ram0", false},
        {"zram0", false}, {"fd0", false}, {"nvme0n1", false}, {"sda", false}, {"vda", false},
        {"nvme0n10", false}, {"nvme0n2", false}, {"mmcblk0", false}, {"sdz", false}};
    const std::vector<std::string> expected = {"mmcblk0", "nvme0n1", "nvme0n2", "nvme0n10", "nvme1n1",
                                               "sda", "sdb", "sdz", "sdaa", "vda", "loop2", "loop10"};
    EXPECT_EQ(orderDriveNames(entries), expected);
}

} // namespace
