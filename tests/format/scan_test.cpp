#include "imagebuilder.h"
#include "lereader.h"
#include "directory.h"
#include "scan.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace korvath;
using korvath::testkit::ImageBuilder;
using korvath::testkit::RecordFields;

namespace {

// Keeps the compiler from dropping stores to memory that is freed next.
void keepStores(void *p)
{
    asm volatile("" : : "g"(p) : "memory");
}

// A directory buffer of `records` records built from the image builder's encoding.
class Directory
{
public:
    explicit Directory(uint32_t sectors) : m_bytes(static_cast<int>(sectors * 512), '\0') { m_info.dir_size = sectors; }
    Directory &add(const RecordFields &r)
    {
        m_bytes.replace(static_cast<int>(r.index * 32), 32, ImageBuilder::encodeRecord(r));
        return *this;
    }
    Directory &reserve(uint32_t clusters)
    {
        m_info.rev_clu = clusters;
        return *this;
    }
    RecordingMap scan(uint32_t channel, RecorderTime from, RecorderTime to, ScanStats *stats = nullptr,
                      bool allChannels = false) const
    {
        ScanQuery q{channel, from, to};
        q.allChannels = allChannels;
        return scanDirectory(reinterpret_cast<const uint8_t *>(m_bytes.constData()), m_bytes.size(), m_info, q, stats);
    }
    ClusterList walk(uint32_t first) const
    {
        const LeReader r(m_bytes.constData(), m_bytes.size());
        return walkChain(r, static_cast<uint64_t>(m_info.dir_size) * 16, first);
    }

private:
    QByteArray m_bytes;
    VolumeInfo m_info;
};

RecordFields rec(uint32_t index, uint16_t count, uint32_t next, uint32_t chainId = 7, uint8_t flag = 2)
{
    RecordFields r;
    r.index = index;
    r.flag = flag;
    r.chainCount = count;
    r.nextCluster = next;
    r.chainId = chainId;
    r.startTime = packRecorderTime(2016, 3, 5, 8, 0, 0);
    r.endTime = packRecorderTime(2016, 3, 5, 9, 0, 0);
    return r;
}

TEST(RangeMatch, Table)
{
    const RecorderTime t8 = packRecorderTime(2016, 3, 5, 8, 0, 0), t9 = packRecorderTime(2016, 3, 5, 9, 0, 0);
    const RecorderTime t10 = packRecorderTime(2016, 3, 5, 10, 0, 0), t11 = packRecorderTime(2016, 3, 5, 11, 0, 0);
    struct Case {
        const char *what;
        RecorderTime s, e, from, to;
        bool kept;
    } cases[] = {
        {"inside", t9, t10, t8, t11, true},
        {"start in range", t9, t11, t8, t10, true},
        {"end in range", t8, t10, t9, t11, true},
        {"start equals range end", t10, t11, t8, t10, true},
        {"end equals range start", t8, t9, t9, t11, true},
        {"spans the whole range", t8, t11, t9, t10, true},
        {"before", t8, t9, t10, t11, false},
        {"after", t10, t11, t8, t9, false},
        {"inverted range", t9, t10, t11, t8, false},
        {"inverted range inside a span", t8, t11, t10, t9, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(recordMatchesRange(c.s, c.e, c.from, c.to), c.kept) << c.what;
}

TEST(FileName, FromStampsAndChannel)
{
    EXPECT_EQ(recordingFileName(packRecorderTime(2016, 3, 5, 8, 7, 9), packRecorderTime(2016, 3, 5, 8, 59, 59), 0)
                  .toStdString(),
              "2016-03-05 08-07-09_2016-03-05 08-59-59_CAM1.h264");
    EXPECT_TRUE(recordingFileName(0, 0, 63).endsWith(QStringLiteral("_CAM64.h264")));
}

TEST(ChainWalk, Table)
{
    struct Case {
        const char *what;
        std::vector<RecordFields> records;
        ClusterList expected;
    } cases[] = {
        {"count 0", {rec(100, 0, 7)}, {100}},
        {"next 0", {rec(100, 5, 0)}, {100}},
        {"count 1 whatever record 7 holds", {rec(100, 1, 7), rec(7, 9, 9, 99)}, {100, 7}},
        {"count 3 on a longer chain",
         {rec(100, 3, 7), rec(7, 0, 9), rec(9, 0, 11), rec(11, 0, 13), rec(13, 0, 0)},
         {100, 7, 9, 11}},
        {"chainId change keeps the differing record last", {rec(100, 5, 7), rec(7, 0, 9, 99), rec(9, 0, 0)}, {100, 7}},
        {"link to next 0", {rec(100, 5, 7), rec(7, 0, 0)}, {100, 7}},
        {"link into the reserved clusters", {rec(100, 2, 3), rec(3, 0, 9), rec(9, 0, 0)}, {100, 3, 9}},
        {"link outside the directory ends the walk", {rec(100, 5, 7), rec(7, 0, 160000)}, {100, 7}},
        {"first link outside", {rec(100, 5, 0xFFFFFFFFu)}, {100}},
        {"consecutive run", {rec(100, 4, 101), rec(101, 0, 102), rec(102, 0, 103), rec(103, 0, 104)},
         {100, 101, 102, 103, 104}},
        {"count ends a run", {rec(100, 2, 101), rec(101, 0, 102), rec(102, 0, 103)}, {100, 101, 102}},
        {"chainId change inside a run", {rec(100, 5, 101), rec(101, 0, 102), rec(102, 0, 103, 99)}, {100, 101, 102}},
        {"next 0 inside a run", {rec(100, 5, 101), rec(101, 0, 102), rec(102, 0, 0)}, {100, 101, 102}},
        {"run, jump, run", {rec(100, 4, 101), rec(101, 0, 200), rec(200, 0, 201), rec(201, 0, 202)},
         {100, 101, 200, 201, 202}},
        {"run into the directory's end",
         {rec(100, 5, 16382), rec(16382, 0, 16383), rec(16383, 0, 16384)},
         {100, 16382, 16383}},
    };
    for (const Case &c : cases) {
        Directory d(1024); // 16,384 records
        for (const RecordFields &r : c.records)
            d.add(r);
        EXPECT_EQ(d.walk(100), c.expected) << c.what;
    }
}

TEST(ChainWalk, CycleBoundedByItsCount)
{
    Directory d(64);
    d.add(rec(100, 65535, 200)).add(rec(200, 0, 300)).add(rec(300, 0, 200));
    const ClusterList l = d.walk(100);
    ASSERT_EQ(l.size(), 65536);
    EXPECT_EQ(l[1], 200u);
    EXPECT_EQ(l[2], 300u);
    EXPECT_EQ(l.last(), 200u + 100u * ((65535 - 1) % 2)); // alternates 200, 300, ...
}

// The walk as the rule reads, one link at a time, to hold the fast walk to.
ClusterList referenceWalk(const QByteArray &dir, uint64_t recordCount, uint32_t firstIndex)
{
    const LeReader r(dir.constData(), static_cast<size_t>(dir.size()));
    const uint64_t base = uint64_t(firstIndex) * 32;
    const uint32_t id = r.u32(base + 24);
    uint32_t remaining = r.u16(base + 2), next = r.u32(base + 8);
    ClusterList out{firstIndex};
    while (remaining != 0 && next != 0 && next < recordCount) {
        out.append(next);
        if (--remaining == 0 || r.u32(uint64_t(next) * 32 + 24) != id)
            break;
        next = r.u32(uint64_t(next) * 32 + 8);
    }
    return out;
}

TEST(ChainWalk, AgreesWithOneLinkAtATimeOnMostlyConsecutiveChains)
{
    std::mt19937 random(20261207);
    const uint32_t records = 64 * 16;
    for (int round = 0; round < 300; ++round) {
        QByteArray dir(static_cast<int>(records * 32), '\0');
        // Chains that mostly step to the next cluster, with jumps, foreign
        // chain ids, zero links and links past the end sprinkled in.
        for (uint32_t i = 0; i < records; ++i) {
            RecordFields f = rec(i, static_cast<uint16_t>(random() % 40), i + 1, 7, 1);
            switch (random() % 16) {
            case 0: f.nextCluster = random() % (records + 8); break;
            case 1: f.chainId = 8; break;
            case 2: f.nextCluster = 0; break;
            default: break;
            }
            dir.replace(static_cast<int>(i * 32), 32, ImageBuilder::encodeRecord(f));
        }
        const LeReader r(dir.constData(), static_cast<size_t>(dir.size()));
        std::vector<uint32_t> scratch;
        for (uint32_t first = 0; first < records; first += 7)
            ASSERT_EQ(walkChain(r, records, first, scratch), referenceWalk(dir, records, first))
                << "round " << round << ", first " << first;
    }
}

TEST(Scan, FilterTable)
{
    Directory d(64);
    d.reserve(64);
    d.add(rec(70, 0, 0, 7, 2));
    RecordFields three = rec(71, 0, 0, 7, 3);
    three.endTime += 1;
    d.add(three);
    RecordFields one = rec(72, 0, 0, 7, 1);
    one.endTime += 2;
    d.add(one);
    RecordFields four = rec(73, 0, 0, 7, 4);
    four.endTime += 3;
    d.add(four);
    RecordFields reserved = rec(10, 0, 0, 7, 2);
    reserved.endTime += 4;
    d.add(reserved);
    RecordFields other = rec(74, 0, 0, 7, 2);
    other.channel = 1;
    other.endTime += 5;
    d.add(other);
    const RecorderTime from = packRecorderTime(2016, 1, 1, 0, 0, 0), to = packRecorderTime(2017, 1, 1, 0, 0, 0);
    const RecordingMap found = d.scan(0, from, to);
    ASSERT_EQ(found.size(), 2); // flags 2 and 3 only, outside the reserved records, channel 1 only
    QList<uint32_t> indices;
    for (const Recording &r : found)
        indices << r.recordIndex;
    EXPECT_EQ(indices, (QList<uint32_t>{70, 71}));
    EXPECT_EQ(d.scan(1, from, to).size(), 1);
    EXPECT_TRUE(d.scan(0, to, from).isEmpty());
}

TEST(Scan, EqualNamesKeepTheHigherIndex)
{
    Directory d(64);
    d.add(rec(80, 1, 90)).add(rec(85, 1, 95));
    const RecordingMap found = d.scan(0, 0, 0xFFFFFFFFu);
    ASSERT_EQ(found.size(), 1);
    EXPECT_EQ(found.first().clusters, (ClusterList{85, 95}));
}

TEST(Scan, NamesInAscendingOrder)
{
    Directory d(64);
    for (uint32_t i = 0; i < 5; ++i) {
        RecordFields r = rec(200 - i * 10, 0, 0);
        r.startTime = packRecorderTime(2016, 3, 5, 8, static_cast<int>(i), 0);
        d.add(r);
    }
    const RecordingMap found = d.scan(0, 0, 0xFFFFFFFFu);
    ASSERT_EQ(found.size(), 5);
    const QStringList names = found.keys();
    QStringList sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(names, sorted);
    EXPECT_EQ(found.first().recordIndex, 200u);
}

TEST(Scan, EmptyDirectoryFindsNothing)
{
    Directory d(0);
    EXPECT_TRUE(d.scan(0, 0, 0xFFFFFFFFu).isEmpty());
}

struct PlacementCase {
    const char *what;
    uint32_t partitionStart; // 0: recorder signature
    bool bootRecord;
    uint64_t shift;
};

TEST(ReadDirectory, PlacedByReserveAndVolumeStart)
{
    const PlacementCase cases[] = {{"recorder", 0, false, 0}, {"boot record at 63", 63, true, 63},
                                   {"boot record at 128", 128, true, 128}, {"boot record at 2048 ignored", 2048, true, 0}};
    for (const PlacementCase &c : cases) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("d.img"));
        ImageBuilder b(976773168ull); // rev_clu 64: directory at cluster 32
        if (c.bootRecord)
            b.masterBootRecord(c.partitionStart);
        else
            b.recorderSignature();
        b.recording(0, packRecorderTime(2016, 3, 5, 8, 0, 0), packRecorderTime(2016, 3, 5, 9, 0, 0), {500, 501});
        ASSERT_TRUE(b.write(path));
        EXPECT_EQ(b.directorySector(), 31488u + 0x20000u + c.shift) << c.what;
        const DriveHandle h = openDrive(path.toLocal8Bit().constData());
        const VolumeInfo info = volumeInfoForSectors(b.sectors());
        const DirectoryRead read = readDirectory(DriveSource(h), info);
        EXPECT_EQ(read.directorySector, b.directorySector()) << c.what;
        // Off a page boundary the kernel copies the directory several times slower.
        EXPECT_EQ(reinterpret_cast<uintptr_t>(read.bytes.data()) % kIoAlignment, 0u) << c.what;
        const RecordingMap found = scanDirectory(read.bytes.data(), read.bytes.size(), info, ScanQuery{0, 0, 0xFFFFFFFFu});
        ASSERT_EQ(found.size(), 1) << c.what;
        EXPECT_EQ(found.first().clusters, (ClusterList{500, 501}));
        ::close(h.native);
    }
}

// A directory cut short by the end of the image: what was read is kept, the
// rest is zeros, even where the buffer's memory held other bytes before.
TEST(ReadDirectory, ShortReadLeavesZerosBehindTheData)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("short.img"));
    ImageBuilder b(2097152); // 1 GiB: a directory of 32 sectors
    b.recorderSignature();
    const VolumeInfo info = volumeInfoForSectors(b.sectors());
    b.recording(0, packRecorderTime(2016, 3, 5, 8, 0, 0), packRecorderTime(2016, 3, 5, 9, 0, 0),
                {info.rev_clu, info.rev_clu + 1});
    ASSERT_TRUE(b.write(path));
    const uint64_t kept = uint64_t(info.rev_clu + 2) * 32 + 5; // both records and a few bytes
    ASSERT_EQ(::truncate(path.toLocal8Bit().constData(), static_cast<off_t>(b.directorySector() * 512 + kept)), 0);
    const size_t size = size_t(info.dir_size) * 512;
    {
        // Heap memory of the buffer's size, freed dirty, that the read's buffer may reuse.
        std::unique_ptr<uint8_t[]> dirty(new uint8_t[size]);
        std::memset(dirty.get(), 0xAA, size);
        keepStores(dirty.get());
    }
    const DriveHandle h = openDrive(path.toLocal8Bit().constData());
    const DirectoryRead read = readDirectory(DriveSource(h), info);
    ::close(h.native);
    // Every sector not wholly on the image is named, the cut one included.
    EXPECT_EQ(read.unreadableSectors(), info.dir_size - kept / 512);
    ASSERT_EQ(read.unreadable.size(), 1u);
    EXPECT_EQ(read.unreadable[0].first, b.directorySector() + kept / 512);
    ASSERT_EQ(read.bytes.size(), size);
    EXPECT_EQ(std::count(read.bytes.begin() + static_cast<std::ptrdiff_t>(kept), read.bytes.end(), uint8_t(0)),
              static_cast<std::ptrdiff_t>(size - kept));
    const RecordingMap found = scanDirectory(read.bytes.data(), read.bytes.size(), info, ScanQuery{0, 0, 0xFFFFFFFFu});
    ASSERT_EQ(found.size(), 1);
    EXPECT_EQ(found.first().clusters, (ClusterList{info.rev_clu, info.rev_clu + 1}));
}

TEST(ReadDirectory, SmallReserveUsesClusterThree)
{
    VolumeInfo v = volumeInfoForSectors(8388608); // rev_clu 40
    EXPECT_EQ(directoryBaseSector(v), v.data_offset + 0x3000u);
}

// Every record a start of a 65,536-cluster loop with stamps of its own: the
// scan stops where its walks pass twice the records plus one longest chain,
// keeps the recordings it walked before, and says so. The same with every
// channel at once, since one pass serves them all.
TEST(ScanBound, HostileDirectoryStopsAtTheBound)
{
    for (const bool all : {false, true}) {
        SCOPED_TRACE(all ? "every channel" : "channel 1");
        const uint32_t sectors = 3072, records = sectors * 16, reserved = 64;
        Directory d(sectors);
        d.reserve(reserved);
        for (uint32_t i = reserved; i < records; ++i) {
            RecordFields r = rec(i, 65535, i + 1 < records ? i + 1 : reserved);
            r.startTime = packRecorderTime(2016, 3, 5, 8, 0, 0) + i; // a stamp of its own
            r.channel = all ? i % 3 : 0;
            d.add(r);
        }
        ScanStats stats;
        const RecordingMap found = d.scan(0, 0, 0xFFFFFFFFu, &stats, all);
        const uint64_t bound = scanClusterBound(records);
        EXPECT_EQ(bound, 2u * records + 65536u);
        EXPECT_TRUE(stats.bounded);
        EXPECT_LE(stats.clustersWalked, bound);
        // Each walk takes 65,536 clusters, so bound / 65,536 walks fit; the next one stops the scan.
        const uint64_t walks = bound / 65536;
        ASSERT_EQ(uint64_t(found.size()), walks);
        EXPECT_EQ(stats.stoppedAtRecord, reserved + walks);
        for (const Recording &r : found) {
            EXPECT_LT(r.recordIndex, reserved + walks);
            EXPECT_EQ(r.clusters.size(), 65536);
        }
    }
}

// Real-shaped directories, however full, never come near the bound.
TEST(ScanBound, FullRealDirectoryIsNotBounded)
{
    const uint32_t sectors = 3072, records = sectors * 16, reserved = 64, length = 100;
    Directory d(sectors);
    d.reserve(reserved);
    uint32_t recordings = 0;
    for (uint32_t first = reserved; first + length <= records; first += length, ++recordings)
        for (uint32_t k = 0; k < length; ++k) {
            RecordFields r = rec(first + k, k == 0 ? length - 1 : 0, k + 1 < length ? first + k + 1 : 0, first, k == 0 ? 2 : 1);
            r.startTime = packRecorderTime(2016, 3, 5, 8, 0, 0) + first;
            d.add(r);
        }
    ScanStats stats;
    const RecordingMap found = d.scan(0, 0, 0xFFFFFFFFu, &stats);
    EXPECT_FALSE(stats.bounded);
    EXPECT_EQ(uint32_t(found.size()), recordings);
    EXPECT_EQ(stats.clustersWalked, uint64_t(recordings) * length);
}

} // namespace
