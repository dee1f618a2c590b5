// Contact sheets straight from a recording's clusters: few clusters read, the
// key frame after each sampled point, its pixels as the decoder gives them.
#include "layout.h"
#include "preview.h"
#include "remux.h"
#include "teststream.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <malloc.h>
#include <cstring>
#include <map>
#include <set>

using namespace korvath;
using namespace korvath::testkit;

namespace {

const RecorderTime kStart = packRecorderTime(2024, 3, 1, 8, 0, 0);

// 150 frames (about 2.7 MB) repeated as long as the recording needs.
const TestStream &pattern(int gop)
{
    static std::map<int, TestStream> made;
    if (!made.count(gop)) {
        TestStreamOptions o;
        o.frames = 150;
        o.gop = gop;
        o.detail = 40;
        made[gop] = withRecorderBytes(encodeTestStream(o), 3);
    }
    return made[gop];
}

const std::vector<QImage> &patternImages(int gop)
{
    static std::map<int, std::vector<QImage>> made;
    if (!made.count(gop))
        made[gop] = decodeImages(pattern(gop).bytes);
    return made[gop];
}

struct Row {
    const char *name;
    uint32_t clusters;
    int frames;
    std::set<uint32_t> unreadable; // clusters the reader fails on
    int maxClustersRead;
    int missingTile; // -1: every tile has its picture
    int gop = 25;
    const char *missingWhy = nullptr;
};

const Row kRows[] = {
    {"six_from_3000_clusters", 3000, 6, {}, 19, -1},
    {"four_from_40_clusters", 40, 4, {}, 12, -1},
    {"unreadable_point_leaves_a_crossed_tile", 40, 4, {20, 21}, 12, 2, 25, "the clusters there could not be read"},
    {"key_frames_more_than_a_cluster_apart", 40, 4, {}, 12, -1, 150},
    {"six_from_one_cluster", 1, 6, {}, 1, -1},
    {"five_from_7_clusters_points_inside_clusters", 7, 5, {}, 8, -1},
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

class PreviewTable : public ::testing::TestWithParam<Row>
{
};

TEST_P(PreviewTable, SheetHoldsTheKeyFrameAfterEachPoint)
{
    const Row &row = GetParam();
    const TestStream &s = pattern(row.gop);
    const std::vector<QImage> &images = patternImages(row.gop);
    ASSERT_EQ(images.size(), 150u);
    const qint64 n = s.bytes.size();
    int reads = 0;
    ClusterReader reader = [&](uint32_t index, uint8_t *buffer) {
        ++reads;
        if (row.unreadable.count(index))
            return false;
        const uint64_t base = uint64_t(index) * kClusterBytes;
        for (uint32_t i = 0; i < kClusterBytes; ++i)
            buffer[i] = static_cast<uint8_t>(s.bytes[int((base + i) % uint64_t(n))]);
        return true;
    };
    QTemporaryDir dir;
    const QString png = dir.filePath(QStringLiteral("preview.png"));
    PreviewOptions o;
    o.clusterCount = row.clusters;
    o.start = kStart;
    o.end = addSeconds(kStart, 3600);
    o.frames = row.frames;
    const PreviewResult r = writePreview(reader, o, png);
    ASSERT_TRUE(r.ok) << qPrintable(r.error);
    EXPECT_EQ(r.clustersRead, reads);
    EXPECT_LE(r.clustersRead, row.maxClustersRead);
    EXPECT_EQ(r.frameSize, QSize(s.width, s.height));

    QImage sheet(png);
    ASSERT_FALSE(sheet.isNull());
    sheet = sheet.convertToFormat(QImage::Format_RGB888);
    EXPECT_EQ(sheet.size(), r.sheetSize);
    const int columns = std::min(row.frames, 3);
    EXPECT_EQ(sheet.width(), columns * s.width + (columns + 1) * 4);
    ASSERT_EQ(int(r.tiles.size()), row.frames);

    const uint64_t total = uint64_t(row.clusters) * kClusterBytes;
    RecorderTime previous = kStart;
    for (int k = 0; k < row.frames; ++k) {
        const PreviewTile &t = r.tiles[size_t(k)];
        SCOPED_TRACE(k);
        EXPECT_EQ(t.point, uint64_t(k) * total / uint64_t(row.frames));
        EXPECT_EQ(t.cluster, t.point / kClusterBytes);
        EXPECT_GE(t.time, previous);
        previous = t.time;
        if (k == row.missingTile) {
            EXPECT_FALSE(t.found);
            EXPECT_EQ(t.missing, QLatin1String(row.missingWhy));
            continue;
        }
        EXPECT_TRUE(t.missing.isEmpty()) << qPrintable(t.missing);
        ASSERT_TRUE(t.found);
        // The first key frame after the point that is whole within the clusters read
        // (the point's and the next), else the last whole one before the point.
        const uint64_t point = t.point;
        const uint64_t first = uint64_t(t.cluster) * kClusterBytes;
        const uint64_t readEnd = std::min<uint64_t>(t.cluster + 2, row.clusters) * kClusterBytes;
        uint64_t after = UINT64_MAX, before = UINT64_MAX;
        size_t afterIndex = 0, beforeIndex = 0;
        for (uint64_t rep = first / uint64_t(n); rep * uint64_t(n) < readEnd; ++rep)
            for (size_t i = 0; i < s.frames.size(); ++i) {
                const uint64_t at = rep * uint64_t(n) + uint64_t(s.frames[i].offset);
                const uint64_t next = i + 1 < s.frames.size() ? rep * uint64_t(n) + uint64_t(s.frames[i + 1].offset)
                                                               : (rep + 1) * uint64_t(n) + uint64_t(s.frames[0].offset);
                if (!s.frames[i].key || at < first || next + 4 > readEnd)
                    continue;
                if (at < point) {
                    before = at;
                    beforeIndex = i;
                } else if (after == UINT64_MAX) {
                    after = at;
                    afterIndex = i;
                }
            }
        const uint64_t expected = after != UINT64_MAX ? after : before;
        const size_t index = after != UINT64_MAX ? afterIndex : beforeIndex;
        EXPECT_EQ(t.byteOffset, expected);
        EXPECT_EQ(t.time, addSeconds(kStart, int64_t(t.byteOffset * 3601 / total)));
        EXPECT_EQ(t.picture.size(), QSize(s.width, s.height));
        EXPECT_TRUE(sheet.copy(t.picture) == images[index]) << "tile " << k << " is not frame " << index;
        // Something is written in the label strip below it.
        const QImage label = sheet.copy(t.picture.x(), t.picture.bottom() + 1, t.picture.width(), 20);
        bool drawn = false;
        for (int y = 0; y < label.height() && !drawn; ++y)
            for (int x = 0; x < label.width() && !drawn; ++x)
                drawn = qGray(label.pixel(x, y)) > 200;
        EXPECT_TRUE(drawn);
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("preview.png")});
}

INSTANTIATE_TEST_SUITE_P(Recordings, PreviewTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &i) { return std::string(i.param.name); });

TEST(Preview, NoPictureAnywhereWritesNothing)
{
    QTemporaryDir dir;
    const QString png = dir.filePath(QStringLiteral("preview.png"));
    PreviewOptions o;
    o.clusterCount = 10;
    o.start = kStart;
    o.end = addSeconds(kStart, 60);
    o.recordingName = QStringLiteral("ch02_rec");
    const PreviewResult r = writePreview([](uint32_t, uint8_t *b) { std::fill_n(b, kClusterBytes, uint8_t(0x47)); return true; }, o, png);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.contains(QStringLiteral("ch02_rec"))) << qPrintable(r.error);
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

// Clusters that repeat a stream from its start.
ClusterReader repeating(const QByteArray &bytes, int *reads = nullptr)
{
    return [bytes, reads](uint32_t index, uint8_t *buffer) {
        if (reads)
            ++*reads;
        const uint64_t n = uint64_t(bytes.size());
        for (uint32_t i = 0; i < kClusterBytes;) {
            const uint64_t at = (uint64_t(index) * kClusterBytes + i) % n;
            const uint32_t k = uint32_t(std::min<uint64_t>(n - at, kClusterBytes - i));
            std::memcpy(buffer + i, bytes.constData() + at, k);
            i += k;
        }
        return true;
    };
}

PreviewOptions options(uint32_t clusters, int frames)
{
    PreviewOptions o;
    o.clusterCount = clusters;
    o.start = kStart;
    o.end = addSeconds(kStart, 600);
    o.frames = frames;
    o.recordingName = QStringLiteral("ch01_rec");
    return o;
}

// An SPS that claims 16384x16000 over 320x240 pictures: no frame is decoded
// (the decoder would take hundreds of megabytes for each), and the message says why.
TEST(Preview, PicturesLargerThanAnyLevelAreNotDecoded)
{
    QTemporaryDir dir;
    const QString png = dir.filePath(QStringLiteral("preview.png"));
    const PreviewResult r = writePreview(repeating(withClaimedSize(pattern(25), 1024, 1000).bytes), options(20, 6), png);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.contains(QStringLiteral("ch01_rec")) && r.error.contains(QStringLiteral("16384x16000, more than any H.264 level allows")))
        << qPrintable(r.error);
    ASSERT_EQ(r.tiles.size(), 6u);
    for (const PreviewTile &t : r.tiles)
        EXPECT_TRUE(t.missing.contains(QStringLiteral("not decoded"))) << qPrintable(t.missing);
    EXPECT_EQ(r.framesDecoded, 0);
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

// 64 frames of 1280x720: each is scaled to its tile as it comes, so the heap
// (looked at whenever a cluster is read) never holds the 64 decoded pictures (88 MB).
TEST(Preview, LargeFramesAreScaledAsTheyCome)
{
    if (mallinfo2().uordblks == 0)
        GTEST_SKIP() << "this allocator does not report its use (a sanitizer build)";
    TestStreamOptions so;
    so.frames = 4;
    so.gop = 1;
    so.width = 1280;
    so.height = 720;
    so.detail = 4;
    so.checksums = false;
    const QByteArray bytes = encodeTestStream(so).bytes;
    ASSERT_FALSE(bytes.isEmpty());
    const ClusterReader read = repeating(bytes);
    size_t base = 0, peak = 0;
    QTemporaryDir dir;
    const PreviewResult r = writePreview(
        [&](uint32_t index, uint8_t *buffer) {
            const struct mallinfo2 m = mallinfo2();
            base = base ? base : m.uordblks + m.hblkhd;
            peak = std::max(peak, m.uordblks + m.hblkhd);
            return read(index, buffer);
        },
        options(64, 64), dir.filePath(QStringLiteral("preview.png")));
    ASSERT_TRUE(r.ok) << qPrintable(r.error);
    EXPECT_EQ(r.frameSize, QSize(1280, 720));
    for (const PreviewTile &t : r.tiles)
        EXPECT_TRUE(t.found);
    EXPECT_LT(peak - base, size_t(40) << 20);
}

// A stop asked between frames: nothing is written, and no later frame is decoded.
TEST(Preview, StopLeavesNoPicture)
{
    QTemporaryDir dir;
    PreviewOptions o = options(40, 6);
    int asked = 0;
    o.stop = [&] { return ++asked > 2; };
    const PreviewResult r = writePreview(repeating(pattern(25).bytes), o, dir.filePath(QStringLiteral("preview.png")));
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.contains(QStringLiteral("stopped"))) << qPrintable(r.error);
    EXPECT_EQ(r.framesDecoded, 2);
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

} // namespace
