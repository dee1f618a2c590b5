#include "imagebuilder.h"
#include "probe.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace korvath;
using korvath::testkit::ImageBuilder;

namespace {

QByteArray sector(std::initializer_list<std::pair<int, uint8_t>> bytes)
{
    QByteArray s(512, '\0');
    for (const auto &b : bytes)
        s[b.first] = static_cast<char>(b.second);
    return s;
}

const uint8_t *data(const QByteArray &s)
{
    return reinterpret_cast<const uint8_t *>(s.constData());
}

TEST(Signature, Variants)
{
    struct Case {
        const char *what;
        QByteArray s;
        bool ok;
    } cases[] = {
        {"recorder", sector({{0, 'W'}, {1, 'F'}, {2, 'S'}, {510, 'X'}, {511, 'M'}}), true},
        {"lower case", sector({{0, 'w'}, {1, 'f'}, {2, 's'}, {510, 'X'}, {511, 'M'}}), false},
        {"MX reversed", sector({{0, 'W'}, {1, 'F'}, {2, 'S'}, {510, 'M'}, {511, 'X'}}), false},
        {"no tail", sector({{0, 'W'}, {1, 'F'}, {2, 'S'}}), false},
        {"boot record", sector({{0, 'W'}, {1, 'F'}, {2, 'S'}, {510, 0x55}, {511, 0xAA}}), false},
        {"zeros", sector({}), false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(hasRecorderSignature(data(c.s), 512), c.ok) << c.what;
    // A buffer too short to hold the tail never passes.
    const QByteArray good = cases[0].s;
    EXPECT_FALSE(hasRecorderSignature(data(good), 511));
}

TEST(PartitionStart, Variants)
{
    struct Case {
        uint32_t start;
    } cases[] = {{63}, {2048}, {0}, {0x80000000u}, {0xFFFFFFFFu}};
    for (const Case &c : cases) {
        QByteArray s = sector({{510, 0x55}, {511, 0xAA}});
        for (int i = 0; i < 4; ++i)
            s[454 + i] = static_cast<char>((c.start >> (8 * i)) & 0xFF);
        const PartitionProbe p = probePartitionStart(data(s), 512);
        EXPECT_TRUE(p.hasMbr);
        EXPECT_EQ(p.relativeSec, c.start);
    }
    const QByteArray recorder = sector({{0, 'W'}, {1, 'F'}, {2, 'S'}, {454, 63}, {510, 'X'}, {511, 'M'}});
    EXPECT_FALSE(probePartitionStart(data(recorder), 512).hasMbr);
    EXPECT_EQ(probePartitionStart(data(recorder), 512).relativeSec, 0u);
}

DriveHandle openImage(const QString &path)
{
    return openDrive(path.toLocal8Bit().constData());
}

TEST(ProbesOnADrive, RecorderDiskLogLines)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("r.img"));
    ASSERT_TRUE(ImageBuilder(8192).recorderSignature().write(path));
    const DriveHandle h = openImage(path);
    testkit::LogCapture log;
    EXPECT_TRUE(checkRecorderSignature(h));
    EXPECT_EQ(findPartitionStart(h), 0u);
    const QStringList expected = {"\"WFS\"", "\"XM\"", "\"Check Disk OK:WFS and XM\"", "\"do not have MBR\""};
    EXPECT_EQ(log.lines(), expected);
    ::close(h.native);
}

TEST(ProbesOnADrive, BootRecordLogLines)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("m.img"));
    ASSERT_TRUE(ImageBuilder(8192).masterBootRecord(0x80000000u).write(path));
    const DriveHandle h = openImage(path);
    testkit::LogCapture log;
    EXPECT_FALSE(checkRecorderSignature(h));
    EXPECT_EQ(findPartitionStart(h), 0x80000000u);
    const QStringList lines = log.lines();
    ASSERT_GE(lines.size(), 5);
    EXPECT_EQ(lines[2], QStringLiteral("\"Check Disk failed:WFS and XM\""));
    EXPECT_EQ(lines[3], QStringLiteral("\"have MBR\""));
    EXPECT_EQ(lines.last(), QStringLiteral("RelativeSec: 2147483648"));
    ::close(h.native);
}

TEST(ProbesOnADrive, UnreadableSectorZeroReadsAsNothing)
{
    const DriveHandle invalid;
    testkit::LogCapture log;
    EXPECT_FALSE(checkRecorderSignature(invalid));
    EXPECT_EQ(findPartitionStart(invalid), 0u);
    EXPECT_TRUE(log.contains(QStringLiteral("\"do not have MBR\"")));
}

} // namespace
