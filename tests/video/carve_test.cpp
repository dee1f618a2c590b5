// Carving: which cluster bytes count as H.264, and the fragments a zeroed
// stretch of the directory leaves, found on a real image.
#include "carve.h"
#include "imagebuilder.h"
#include "listing.h"
#include "teststream.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <random>
#include <tuple>

using namespace korvath;
using namespace korvath::testkit;

namespace {

constexpr int kCluster = 1 << 21;

QByteArray randomBytes(uint32_t seed, int size)
{
    std::mt19937 rng(seed);
    QByteArray b(size, '\0');
    for (char &c : b)
        c = static_cast<char>(rng());
    return b;
}

korvath::ClusterVideo examine(const QByteArray &bytes, int size)
{
    h264::ParameterSets sets;
    return examineCluster(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(size), size == kCluster, sets);
}

} // namespace

// The verdict from a cluster's first bytes: video is told from the first
// 64 KiB; a cluster without one start code in 512 KiB is given up there, one
// whose parameter sets do not parse at once; start codes alone never make video.
TEST(CarveDecision, Table)
{
    const VideoClusters stream = videoForClusters(3, 320, 240, 1);
    const TestStream recorder = withRecorderBytes(encodeTestStream({120, 25, 320, 240, 25, 40, 2, false, false}), 5);
    struct Case {
        const char *what;
        QByteArray bytes;
        int size;
        ClusterVerdict verdict;
    } cases[] = {
        {"a recording's first cluster, first 64 KiB", stream.bytes.left(kCluster), 65536, ClusterVerdict::Video},
        {"a recording's middle cluster", stream.bytes.mid(kCluster, kCluster), kCluster, ClusterVerdict::Video},
        {"recorder bytes between the frames", recorder.bytes.left(kCluster), 262144, ClusterVerdict::Video},
        {"too little to tell", stream.bytes.left(kCluster), 2000, ClusterVerdict::NeedMore},
        {"random bytes, a first look", randomBytes(1, kCluster), 65536, ClusterVerdict::NeedMore},
        {"random bytes, 512 KiB", randomBytes(2, kCluster), 524288, ClusterVerdict::NotVideo},
        {"zeros, a first look", QByteArray(kCluster, '\0'), 65536, ClusterVerdict::NotVideo},
        {"start codes and noise, whole", startCodeDecoy(3, kCluster), kCluster, ClusterVerdict::NotVideo},
        {"another such, a first look", startCodeDecoy(4, kCluster), 65536, ClusterVerdict::NotVideo},
        {"the builder's cluster pattern", ImageBuilder::clusterPattern(7), kCluster, ClusterVerdict::NotVideo},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const korvath::ClusterVideo v = examine(c.bytes, c.size);
        EXPECT_EQ(v.verdict, c.verdict);
        if (c.verdict == ClusterVerdict::Video)
            EXPECT_EQ(v.width * 1000 + v.height, 320240);
    }
}

// A zeroed stretch of the directory over records 40-50: three clusters of
// one recording (40-42), the middle of another of the same size (43), one
// begun afresh (44), random bytes, start codes and noise, zeros, one of
// another size (48-49) and the builder's pattern. A listed recording and an
// unlisted chain hold video too and must not come back.
TEST(Carve, ZeroedStretchGroundTruth)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("disk.img"));
    ImageBuilder b(2097152);
    b.recorderSignature();
    const RecorderTime t0 = packRecorderTime(2024, 3, 1, 8, 0, 0), t1 = packRecorderTime(2024, 3, 1, 9, 0, 0);
    const auto place = [&](uint32_t first, const VideoClusters &v) {
        for (int k = 0; k * kCluster < v.bytes.size(); ++k)
            b.clusterBytes(first + uint32_t(k), v.bytes.mid(k * kCluster, kCluster));
    };
    const VideoClusters x = videoForClusters(3, 320, 240, 4), w = videoForClusters(2, 320, 240, 10),
                        y = videoForClusters(1, 320, 240, 5), z = videoForClusters(2, 352, 288, 6);
    b.chain(0, t0, t1, {20, 21}, 1);
    for (const uint32_t c : {20u, 21u, 30u, 31u}) // a listed recording and an unlisted chain
        b.clusterBytes(c, x.bytes.mid(int(c % 10) * kCluster, kCluster));
    RecordFields tail;
    tail.flag = 1;
    tail.chainId = 9;
    for (const uint32_t c : {30u, 31u}) {
        tail.index = c;
        tail.nextCluster = c == 30 ? 31 : 0;
        b.record(tail);
    }

    b.chain(1, t0, t1, {40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50}, 2);
    place(40, x);
    b.clusterBytes(43, w.bytes.mid(kCluster, kCluster)); // the middle of another recording of that size
    place(44, y);
    b.clusterBytes(45, randomBytes(8, kCluster));
    b.clusterBytes(46, startCodeDecoy(9, kCluster));
    place(48, z);
    b.clusterContents(50);
    b.zeroRecords(40, 11);
    ASSERT_TRUE(b.write(path));

    ScanQuery q{0, 0, 0xFFFFFFFFu, true, true};
    const Listing l = listRecordings(std::make_shared<DriveSource>(openDrive(path.toLocal8Bit().constData())), q);
    ASSERT_EQ(l.recordings.size(), 1);
    ASSERT_EQ(l.unlisted.size(), 1);
    const std::vector<uint32_t> candidates = carveCandidates(l.info, l.claimed);
    for (const uint32_t held : {20u, 21u, 30u, 31u})
        EXPECT_EQ(std::count(candidates.begin(), candidates.end(), held), 0) << held;
    uint64_t reported = 0;
    CarveHooks hooks;
    hooks.progress = [&](uint64_t done, uint64_t total) {
        EXPECT_EQ(total, candidates.size());
        reported = done;
    };
    const CarveOutcome out = carveClusters(*l.source, l.info.data_offset, candidates, hooks);
    EXPECT_EQ(reported, candidates.size());
    // A fragment begun in the middle of a recording reads from its first key frame on.
    int wFrames = 0;
    bool keySeen = false;
    for (const TestFrame &f : w.kept) {
        keySeen = keySeen || (f.key && f.offset >= kCluster);
        wFrames += keySeen && f.offset < 2 * kCluster ? 1 : 0;
    }
    using Found = std::tuple<uint32_t, uint32_t, int, int, int>;
    std::vector<Found> found;
    for (const Fragment &f : out.fragments)
        found.emplace_back(f.firstCluster, f.clusters, f.frames, f.width, f.height);
    EXPECT_EQ(found, (std::vector<Found>{{40, 3, x.frames, 320, 240}, {43, 1, wFrames, 320, 240},
                                         {44, 1, y.frames, 320, 240}, {48, 2, z.frames, 352, 288}}));
    EXPECT_EQ(out.video, 7u);
    // The empty clusters are given up early: far less than every candidate read whole.
    EXPECT_LT(out.bytesRead, candidates.size() * uint64_t(kCluster) / 3);

    // Stopped at once, it finds nothing and says so.
    hooks.stopRequested = [] { return true; };
    const CarveOutcome stopped = carveClusters(*l.source, l.info.data_offset, candidates, hooks);
    EXPECT_TRUE(stopped.stopped);
    EXPECT_TRUE(stopped.fragments.empty());
}
