// Unlisted recordings: a recorder's overwritten recordings played out on a
// real image, and the chain rules on directories made record by record.
#include "imagebuilder.h"
#include "listing.h"
#include "unlisted.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <tuple>

using namespace korvath;
using korvath::testkit::ImageBuilder;
using korvath::testkit::PlannedRecording;
using korvath::testkit::RecordFields;

namespace {

constexpr uint64_t kSectors = 2097152; // 1 GiB: 512 clusters, 49,152 records, rev_clu 10
const RecorderTime kMorning = packRecorderTime(2024, 3, 1, 8, 0, 0);

Listing listImage(const ImageBuilder &b, QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("disk.img"));
    EXPECT_TRUE(b.write(path));
    auto source = std::make_shared<DriveSource>(openDrive(path.toLocal8Bit().constData()));
    ScanQuery q;
    q.allChannels = true;
    q.end = 0xFFFFFFFFu;
    q.unlisted = true;
    return listRecordings(source, q);
}

std::vector<std::vector<uint32_t>> clustersOf(const QVector<Recording> &recordings)
{
    std::vector<std::vector<uint32_t>> out;
    for (const Recording &r : recordings)
        out.emplace_back(r.clusters.begin(), r.clusters.end());
    return out;
}

PlannedRecording planned(uint32_t channel, int hour, uint32_t clusters, uint32_t chainId)
{
    return {channel, packRecorderTime(2024, 3, 1, hour, 0, 0), packRecorderTime(2024, 3, 1, hour, 30, 0), clusters,
            chainId};
}

} // namespace

// Two channels fill a ring of 16 clusters from 10, eight each, interleaved
// (A on 10, 12 .. 24; B on 11, 13 .. 25); a third recording then reuses the
// oldest clusters. What A and B keep comes back in order, nothing of C does.
TEST(Unlisted, OverwrittenRecordingsTails)
{
    struct Case {
        const char *what;
        uint32_t reused;
        std::vector<std::vector<uint32_t>> unlisted;
    } cases[] = {
        {"nothing overwritten", 0, {}},
        {"a quarter of each", 4, {{14, 16, 18, 20, 22, 24}, {15, 17, 19, 21, 23, 25}}},
        {"half of each", 8, {{18, 20, 22, 24}, {19, 21, 23, 25}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        ImageBuilder b(kSectors);
        b.recorderSignature();
        std::vector<std::vector<PlannedRecording>> sessions{{planned(0, 8, 8, 0xA), planned(1, 8, 8, 0xB)}};
        if (c.reused)
            sessions.push_back({planned(2, 9, c.reused, 0xC)});
        const auto played = b.playRecorder(10, 16, sessions);
        const Listing l = listImage(b, dir);
        EXPECT_EQ(clustersOf(l.unlisted), c.unlisted);
        for (const Recording &r : l.unlisted) {
            const PlannedRecording &p = played[r.clusters.first() % 2].plan; // A on even clusters, B on odd
            EXPECT_EQ(std::make_tuple(r.channel, r.chainId, r.startTime, r.endTime, r.timesKnown),
                      std::make_tuple(p.channel, p.chainId, p.start, p.end, true));
            for (const Recording &listed : l.recordings) // never a listed recording's cluster
                for (const uint32_t cl : listed.clusters)
                    EXPECT_FALSE(r.clusters.contains(cl)) << cl;
        }
        EXPECT_EQ(l.recordings.size(), c.reused ? 1 : 2); // only the newest keeps its start
    }
}

// The chain rules on records written one by one (rev_clu 10).
TEST(Unlisted, ChainRules)
{
    const RecorderTime end = packRecorderTime(2024, 3, 1, 9, 0, 0);
    auto r = [&](uint32_t index, uint32_t next, uint32_t chainId, uint8_t flag = 1, RecorderTime start = kMorning) {
        RecordFields f;
        f.index = index;
        f.flag = flag;
        f.nextCluster = next;
        f.chainId = chainId;
        f.startTime = start;
        f.endTime = end;
        f.channel = 3;
        return f;
    };
    struct Case {
        const char *what;
        std::vector<RecordFields> records;
        std::vector<std::vector<uint32_t>> unlisted;
    } cases[] = {
        {"a link to another chain id ends the chain there", {r(20, 21, 5), r(21, 22, 5), r(22, 0, 6)}, {{20, 21}, {22}}},
        {"a link out of the directory ends it", {r(30, 60000, 5)}, {{30}}},
        {"a loop begins at its lowest record", {r(40, 41, 5), r(41, 42, 5), r(42, 40, 5)}, {{40, 41, 42}}},
        {"two records linking to one: the first chain takes it", {r(50, 52, 5), r(51, 52, 5), r(52, 0, 5)},
         {{50, 52}, {51}}},
        {"a listed recording's records are not taken",
         {[&] { auto f = r(60, 61, 5, 2); f.chainCount = 1; return f; }(), r(61, 62, 5), r(62, 0, 5)},
         {{62}}},
        {"the chain count does not limit a continuation",
         {r(70, 71, 5), r(71, 72, 5), r(72, 73, 5), r(73, 0, 5)}, {{70, 71, 72, 73}}},
        {"reserved records are not recordings", {r(1, 2, 5), r(2, 0, 5)}, {}},
        {"a flag of zero is no record", {r(80, 81, 5, 0), r(81, 0, 5)}, {{81}}},
        {"links backwards are followed", {r(95, 90, 5), r(90, 0, 5)}, {{95, 90}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        ImageBuilder b(kSectors);
        b.recorderSignature();
        for (const RecordFields &f : c.records)
            b.record(f);
        const Listing l = listImage(b, dir);
        EXPECT_EQ(clustersOf(l.unlisted), c.unlisted);
        for (const Recording &u : l.unlisted)
            EXPECT_EQ(u.channel, 3u);
    }
}

// Stamps are used only where every field is real and the start not after the end.
TEST(Unlisted, PlausibleStamps)
{
    const struct {
        const char *what;
        RecorderTime start, end;
        bool known;
    } cases[] = {
        {"plausible", kMorning, kMorning + 1, true},
        {"start after end", kMorning + 1, kMorning, false},
        {"month 13", packRecorderTime(2024, 13, 1, 8, 0, 0), packRecorderTime(2024, 13, 1, 9, 0, 0), false},
        {"31 February", packRecorderTime(2024, 2, 31, 8, 0, 0), packRecorderTime(2024, 3, 1, 9, 0, 0), false},
        {"hour 24", packRecorderTime(2024, 3, 1, 24, 0, 0), packRecorderTime(2024, 3, 2, 1, 0, 0), false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(plausibleStamps(c.start, c.end), c.known) << c.what;
}

// A hostile directory: every record a start of a long loop. The walks stop
// at the scan's bound and nothing is called unlisted.
TEST(Unlisted, HostileDirectoryStopsAtTheBound)
{
    const uint32_t sectors = 3072, records = sectors * 16;
    std::vector<uint8_t> bytes(sectors * 512u, 0);
    for (uint32_t i = 64; i < records; ++i) {
        RecordFields f;
        f.index = i;
        f.chainCount = 65535;
        f.nextCluster = i + 1 < records ? i + 1 : 64;
        const QByteArray e = ImageBuilder::encodeRecord(f);
        std::copy(e.begin(), e.end(), bytes.begin() + i * 32u);
    }
    VolumeInfo info;
    info.dir_size = sectors;
    info.rev_clu = 64;
    const UnlistedScan u = findUnlisted(bytes.data(), bytes.size(), info);
    EXPECT_TRUE(u.bounded);
    EXPECT_LE(u.clustersWalked, scanClusterBound(records));
    EXPECT_TRUE(u.recordings.isEmpty());
}
