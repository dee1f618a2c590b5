// Recordings copied from image files and from readers that fail on purpose.
#include "export.h"
#include "imagebuilder.h"
#include "outputfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <cstring>
#include <atomic>
#include <set>
#include <unistd.h>

using namespace korvath;
using korvath::testkit::ImageBuilder;
using korvath::testkit::readFileBytes;

namespace {

RecordingExport exportClusters(const SectorSource &source, uint32_t dataOffset, const ClusterList &clusters,
                               const QString &path)
{
    Recording rec;
    rec.clusters = clusters;
    SourceHealth health;
    return exportRecording(source, dataOffset, rec, path, health);
}

constexpr uint64_t kFirst = 1000; // where the reader's cluster begins

struct BadSectors {
    const char *name;
    std::set<uint32_t> bad; // sectors of the cluster that cannot be read
    uint32_t readable;      // sectors that exist; the rest lie past the end
    bool junkOnFailure;     // a failing read scribbles over the buffer first
};

void PrintTo(const BadSectors &p, std::ostream *os)
{
    *os << p.name;
}

class ReadClusterTest : public ::testing::TestWithParam<BadSectors>
{
};

TEST_P(ReadClusterTest, OnlyTheBadSectorsStayZero)
{
    const BadSectors &p = GetParam();
    const QByteArray disk = ImageBuilder::clusterPattern(7);
    int calls = 0;
    const SectorReader reader = [&](uint64_t sector, void *buffer, uint32_t count) -> uint32_t {
        ++calls;
        const uint32_t from = static_cast<uint32_t>(sector - kFirst);
        uint32_t good = 0;
        while (good < count && from + good < p.readable && !p.bad.count(from + good))
            ++good;
        std::memcpy(buffer, disk.constData() + from * kSectorSize, good * kSectorSize);
        if (good == count || from + good >= p.readable)
            return good * kSectorSize; // whole, or short at the end of the data
        if (p.junkOnFailure)
            std::memset(static_cast<uint8_t *>(buffer) + good * kSectorSize, 0xEE, (count - good) * kSectorSize);
        return kReadFailed;
    };
    std::vector<uint8_t> buffer(kClusterBytes, 0x77);
    const uint32_t lost = readCluster(FunctionSource(reader, 1 << 20), kFirst, buffer.data());

    QByteArray want = disk;
    uint32_t wantLost = 0;
    for (uint32_t s = 0; s < kClusterSectors; ++s)
        if (p.bad.count(s) || s >= p.readable) {
            std::memset(want.data() + s * kSectorSize, 0, kSectorSize);
            ++wantLost;
        }
    EXPECT_EQ(lost, wantLost);
    EXPECT_TRUE(std::memcmp(buffer.data(), want.constData(), kClusterBytes) == 0);
    // One request when nothing fails; otherwise one more per sector.
    EXPECT_EQ(calls, wantLost == 0 ? 1 : 1 + int(kClusterSectors));
}

INSTANTIATE_TEST_SUITE_P(Sectors, ReadClusterTest,
                         ::testing::Values(BadSectors{"clean", {}, kClusterSectors, false},
                                           BadSectors{"one", {1234}, kClusterSectors, false},
                                           BadSectors{"one_with_junk", {1234}, kClusterSectors, true},
                                           BadSectors{"first_and_last", {0, 4095}, kClusterSectors, true},
                                           BadSectors{"cut_by_the_end", {}, 1536, false}),
                         [](const auto &info) { return std::string(info.param.name); });

struct Exported {
    const char *name;
    std::vector<uint32_t> clusters;
    uint64_t lostSectors;
};

void PrintTo(const Exported &p, std::ostream *os)
{
    *os << p.name;
}

class ExportRecordingTest : public ::testing::TestWithParam<Exported>
{
};

// Clusters 0..77 lie whole on this image, 78 is cut by its end.
TEST_P(ExportRecordingTest, FileHoldsTheClustersOfTheImage)
{
    const Exported &p = GetParam();
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    ImageBuilder b(80 * 4096);
    b.recorderSignature();
    for (uint32_t c : p.clusters)
        b.clusterContents(c);
    const QString image = tmp.filePath("disk.img");
    ASSERT_TRUE(b.write(image));
    const QString out = tmp.filePath("out.h264");
    { // an older, longer file of that name is replaced
        QFile old(out);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(5 * int(kClusterBytes), 'x'));
    }

    const DriveHandle drive = openDrive(image.toLocal8Bit().constData());
    ASSERT_TRUE(drive.isValid());
    const RecordingExport r = exportClusters(DriveSource(drive), b.layout().data_offset,
                                             ClusterList(p.clusters.begin(), p.clusters.end()), out);

    EXPECT_TRUE(r.written()) << r.error.toStdString();
    EXPECT_EQ(r.unreadableSectors, p.lostSectors);
    QByteArray want;
    for (uint32_t c : p.clusters) {
        const QByteArray onImage = c < 1000 ? readFileBytes(image, b.clusterFirstSector(c) * kSectorSize, kClusterBytes)
                                            : QByteArray(int(kClusterBytes), '\0');
        if (c < 78) // the image holds what the builder put there
            EXPECT_TRUE(onImage == ImageBuilder::clusterPattern(c)) << c;
        want += onImage;
    }
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray got = f.readAll();
    EXPECT_EQ(uint64_t(got.size()), uint64_t(kClusterBytes) * p.clusters.size());
    EXPECT_TRUE(got == want);
}

INSTANTIATE_TEST_SUITE_P(Clusters, ExportRecordingTest,
                         ::testing::Values(Exported{"one", {5}, 0}, Exported{"three_in_chain_order", {20, 12, 17}, 0},
                                           Exported{"cluster_0_at_data_offset", {0}, 0},
                                           Exported{"cut_by_the_end", {6, 78}, 4096 - 1536},
                                           Exported{"past_the_end", {200, 8}, 4096},
                                           Exported{"beyond_any_drive", {8, 7, 0xFFFFFFFFu}, 4096}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ExportRecording, FailedWriteLeavesNoFileAndTheOlderOneWhole)
{
    QTemporaryDir tmp;
    const QString full = tmp.filePath("full.h264");
    { // an older file of the name survives a failed export
        QFile old(full);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly) && old.write("older") == 5);
    }
    ASSERT_TRUE(QDir().mkpath(partialPath(full))); // its temporary file cannot be made
    const QString missing = tmp.filePath("gone/x.h264");
    const FunctionSource zeros([](uint64_t, void *, uint32_t count) { return count * kSectorSize; }, 1 << 20);

    const RecordingExport r = exportClusters(zeros, 0, {1, 2}, full);
    EXPECT_FALSE(r.written());
    EXPECT_TRUE(r.error.startsWith("the file could not be created")) << r.error.toStdString();
    EXPECT_TRUE(QFileInfo(partialPath(full)).isDir()); // a folder is never removed
    EXPECT_EQ(readFileBytes(full, 0, 5), QByteArray("older"));
    EXPECT_EQ(QFileInfo(full).size(), 5);

    const RecordingExport m = exportClusters(zeros, 0, {1}, missing);
    EXPECT_TRUE(m.error.startsWith("the file could not be created")) << m.error.toStdString();
}

// A link at the temporary name (left behind, or planted) is removed, never
// followed, also by a run that goes on from a map: the file it points to
// stays as it was, and the recording's name ends up on a regular file of its own.
TEST(ExportRecording, LinkAtTheTemporaryNameIsNeverFollowed)
{
    const FunctionSource ones([](uint64_t, void *b, uint32_t count) {
        std::memset(b, 1, size_t(count) * kSectorSize);
        return count * kSectorSize;
    }, 1 << 20);
    for (const bool goingOn : {false, true}) {
        SCOPED_TRACE(goingOn ? "going on from a map" : "a fresh run");
        QTemporaryDir tmp;
        const QString victim = tmp.filePath("victim.txt"), out = tmp.filePath("x.h264");
        {
            QFile v(victim);
            ASSERT_TRUE(v.open(QIODevice::WriteOnly) && v.write("precious") == 8);
        }
        ASSERT_TRUE(QFile::link(victim, partialPath(out)));
        Recording rec;
        rec.clusters = {1};
        SourceHealth health;
        RescueMap map(uint64_t(1 << 20) * kSectorSize);
        ExportSettings settings;
        settings.map = &map;
        settings.resume = true;
        DeadlineReader reader(ones, settings.readTimeoutMs);
        ExportPass pass;
        pass.reader = &reader;
        pass.settings = &settings;
        const RecordingExport r = exportRecording(ones, 0, rec, out, health, {}, goingOn ? &pass : nullptr);
        ASSERT_TRUE(r.written()) << r.error.toStdString();
        EXPECT_EQ(readFileBytes(victim, 0, 8), QByteArray("precious"));
        EXPECT_EQ(QFileInfo(victim).size(), 8);
        EXPECT_FALSE(QFileInfo(out).isSymLink());
        EXPECT_EQ(QFileInfo(out).size(), qint64(kClusterBytes));
    }
}

TEST(CameraFolder, NamedAfterTheChannelReadSigned)
{
    EXPECT_EQ(cameraFolderPath("C:/rec", 0), "C:/rec//CAM1");
    EXPECT_EQ(cameraFolderPath("C:/rec", 4294967295u), "C:/rec//CAM0");
    EXPECT_EQ(cameraFolderPath("C:/rec", 4294967294u), "C:/rec//CAM-1");
}

TEST(CameraFolder, MadeOrTheReasonGiven)
{
    QTemporaryDir tmp;
    const QString save = tmp.filePath("save");
    ASSERT_TRUE(QDir().mkdir(save));
    EXPECT_EQ(makeOutputFolder(save + "//CAM1"), QString());
    EXPECT_TRUE(QFileInfo(save + "/CAM1").isDir());
    QFile(save + "/CAM2").open(QIODevice::WriteOnly);
    EXPECT_TRUE(makeOutputFolder(save + "//CAM2").contains("in the way"));
    EXPECT_TRUE(makeOutputFolder(tmp.filePath("nothing") + "//CAM1").endsWith("nothing does not exist"));
}

} // namespace

namespace {

// The read-ahead export against the image read plainly, with sectors that
// fail at the start, middle and end of a recording, a stop from the caller
// and a source that goes away for good.
struct RingCase {
    const char *name;
    std::vector<int> badOffsets; // sectors from the recording's first cluster's start (in list order: k*4096+s)
    int stopAfter;               // clusters written before the caller asks to stop; -1 never
    int vanishAt;                // list position from which every read fails; -1 never
};

void PrintTo(const RingCase &c, std::ostream *os)
{
    *os << c.name;
}

class ReadAheadExportTest : public ::testing::TestWithParam<RingCase>
{
};

TEST_P(ReadAheadExportTest, SameBytesAsAPlainReadAndEveryLossNamed)
{
    const RingCase &p = GetParam();
    QTemporaryDir tmp;
    ImageBuilder b(80 * 4096);
    b.recorderSignature();
    const std::vector<uint32_t> chain{10, 11, 12, 30, 31, 5, 6, 7, 40, 41};
    for (uint32_t c : chain)
        b.clusterContents(c);
    const QString image = tmp.filePath("disk.img");
    ASSERT_TRUE(b.write(image));
    const DriveHandle drive = openDrive(image.toLocal8Bit().constData());
    ASSERT_TRUE(drive.isValid());
    const DriveSource plain(drive);

    std::set<uint64_t> bad;
    for (int off : p.badOffsets)
        bad.insert(b.clusterFirstSector(chain[size_t(off / 4096)]) + uint64_t(off % 4096));
    const uint64_t vanish = p.vanishAt < 0 ? ~0ull : b.clusterFirstSector(chain[size_t(p.vanishAt)]);
    std::atomic<bool> gone{false};
    const FunctionSource failing(
        [&](uint64_t sector, void *buffer, uint32_t count) -> uint32_t {
            if (gone || sector + count > vanish) {
                gone = gone || sector >= vanish;
                if (gone)
                    return kReadFailed;
            }
            for (uint64_t s = sector; s < sector + count; ++s)
                if (bad.count(s) || s >= vanish)
                    return s == sector ? kReadFailed : plain.read(sector, buffer, uint32_t(s - sector));
            return plain.read(sector, buffer, count);
        },
        plain.sectors());

    Recording rec;
    rec.clusters = ClusterList(chain.begin(), chain.end());
    int written = 0;
    ExportHooks hooks;
    hooks.clusterWritten = [&](const Recording &, const uint8_t *, uint32_t, uint64_t) { ++written; };
    hooks.stopRequested = [&] { return p.stopAfter >= 0 && written >= p.stopAfter; };
    SourceHealth health;
    const QString out = tmp.filePath("out.h264");
    const RecordingExport r = exportRecording(failing, b.layout().data_offset, rec, out, health, hooks);
    ::close(drive.native);

    EXPECT_FALSE(QFileInfo::exists(partialPath(out)));
    if (p.stopAfter >= 0) {
        EXPECT_EQ(r.status, ExportStatus::Cancelled);
        EXPECT_FALSE(QFileInfo::exists(out));
        EXPECT_TRUE(r.error.contains(QStringLiteral("after %1 of 10 clusters").arg(p.stopAfter))) << r.error.toStdString();
        return;
    }
    // A source that goes away keeps what it gave: the rest is zeros, every sector of it named.
    ASSERT_TRUE(r.written()) << r.error.toStdString();
    EXPECT_EQ(health.gone, p.vanishAt >= 0);
    std::vector<int> lostOffsets = p.badOffsets;
    if (p.vanishAt >= 0)
        for (int off = p.vanishAt * 4096; off < 10 * 4096; ++off)
            lostOffsets.push_back(off);
    QByteArray want;
    for (uint32_t c : chain)
        want += ImageBuilder::clusterPattern(c);
    std::vector<SectorRange> wantRanges;
    for (int off : lostOffsets) {
        std::memset(want.data() + size_t(off) * kSectorSize, 0, kSectorSize);
        addUnreadable(wantRanges, b.clusterFirstSector(chain[size_t(off / 4096)]) + uint64_t(off % 4096));
    }
    EXPECT_EQ(QFileInfo(out).size(), want.size());
    EXPECT_TRUE(readFileBytes(out, 0, uint64_t(want.size())) == want);
    EXPECT_EQ(r.unreadableSectors, lostOffsets.size());
    EXPECT_EQ(r.unreadableRanges, wantRanges);
    // The clusters after the third dead one in a row were never asked for.
    EXPECT_EQ(r.clustersNotRead, p.vanishAt < 0 ? 0u : uint32_t(10 - p.vanishAt - int(kDeadClustersInARow - 1)));
}

INSTANTIATE_TEST_SUITE_P(
    Ring, ReadAheadExportTest,
    ::testing::Values(RingCase{"clean", {}, -1, -1}, RingCase{"first_sectors", {0, 1, 2}, -1, -1},
                      RingCase{"middle_and_cluster_edges", {4095, 4096, 5 * 4096 + 77}, -1, -1},
                      RingCase{"last_sector", {10 * 4096 - 1}, -1, -1},
                      RingCase{"stopped_by_the_caller", {}, 3, -1},
                      RingCase{"source_gone_midway", {}, -1, 4}),
    [](const auto &info) { return std::string(info.param.name); });

// A few bad sectors in many clusters never make the source count as gone.
TEST(SourceHealthRule, ScatteredBadSectorsNeverEndTheExport)
{
    const FunctionSource oneBadEach(
        [](uint64_t sector, void *buffer, uint32_t count) -> uint32_t {
            if (sector % kClusterSectors == 0)
                return kReadFailed;
            std::memset(buffer, 1, size_t(count) * kSectorSize);
            return count * kSectorSize;
        },
        int64_t(64) * kClusterSectors);
    Recording rec;
    for (uint32_t c = 0; c < 20; ++c)
        rec.clusters << c;
    QTemporaryDir tmp;
    SourceHealth health;
    const RecordingExport r = exportRecording(oneBadEach, 0, rec, tmp.filePath("x.h264"), health);
    EXPECT_TRUE(r.written()) << r.error.toStdString();
    EXPECT_EQ(r.unreadableSectors, 20u);
    EXPECT_FALSE(health.gone);
}

} // namespace
