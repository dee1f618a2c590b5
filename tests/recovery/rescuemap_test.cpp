// The ddrescue map, the evidence-first order of an image, an image read
// through its map, and reads with a deadline that are left behind.
#include "acquire.h"
#include "deadlinereader.h"
#include "rescuemap.h"

#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace korvath;

namespace {

std::string areasText(const RescueMap &m)
{
    std::string s;
    for (const MapArea &a : m.areas())
        s += std::to_string(a.pos) + ":" + std::to_string(a.size) + a.status + " ";
    return s;
}

TEST(RescueMap, AreasSplitAndMergeAndSurviveASaveAndALoad)
{
    const struct {
        const char *what;
        std::vector<MapArea> sets; // applied in order on 100 bytes
        std::string want;
    } cases[] = {
        {"nothing done", {}, "0:100? "},
        {"one in the middle", {{10, 20, '+'}}, "0:10? 10:20+ 30:70? "},
        {"neighbours of one status merge", {{10, 20, '+'}, {30, 10, '+'}, {0, 10, '+'}}, "0:40+ 40:60? "},
        {"a bad sector inside a finished area", {{0, 100, '+'}, {50, 1, '-'}}, "0:50+ 50:1- 51:49+ "},
        {"past the end is clipped", {{90, 50, '*'}}, "0:90? 90:10* "},
        {"a span over several areas", {{10, 10, '+'}, {30, 10, '-'}, {5, 40, '/'}}, "0:5? 5:40/ 45:55? "},
    };
    QTemporaryDir tmp;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        RescueMap m(100);
        for (const MapArea &a : c.sets)
            m.set(a.pos, a.size, a.status);
        EXPECT_EQ(areasText(m), c.want);
        QString why;
        const QString path = tmp.filePath(QStringLiteral("m.map"));
        ASSERT_TRUE(m.save(path, &why)) << why.toStdString();
        EXPECT_FALSE(QFile::exists(path + ".part"));
        RescueMap back;
        ASSERT_TRUE(RescueMap::load(path, 100, &back, &why)) << why.toStdString();
        EXPECT_EQ(areasText(back), c.want);
        EXPECT_FALSE(RescueMap::load(path, 101, &back, &why));
        EXPECT_TRUE(why.contains("another source")) << why.toStdString();
    }
}

TEST(EvidenceOrder, EvidenceFirstThenTheRestNoneTwiceNoSpanOverACluster)
{
    const std::vector<SectorRange> first{{0, 1}, {5000, 100}, {8192, 4096}, {5050, 4096}};
    const std::vector<SectorRange> plan = evidenceOrder(20000, first, true);
    ASSERT_GE(plan.size(), 4u);
    EXPECT_EQ(plan[0], (SectorRange{0, 1}));
    EXPECT_EQ(plan[1], (SectorRange{5000, 100}));
    EXPECT_EQ(plan[2], (SectorRange{8192, 4096}));
    EXPECT_EQ(plan[3], (SectorRange{5100, 3092})); // what the directory's span did not hold, up to the next
    std::vector<int> seen(20000, 0);
    for (const SectorRange &r : plan) {
        EXPECT_LE(r.count, kClusterSectors);
        for (uint64_t s = r.first; s < r.first + r.count; ++s)
            ++seen[s];
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 20000);
    EXPECT_EQ(evidenceOrder(20000, first, false).size(), 4u);
}

TEST(MappedImageSource, WhatTheMapDoesNotFinishReadsAsUnreadable)
{
    std::vector<uint8_t> disk(64 * kSectorSize, 0xAB);
    auto image = std::make_shared<FunctionSource>(
        [&](uint64_t sector, void *buffer, uint32_t count) -> uint32_t {
            std::memcpy(buffer, disk.data() + sector * kSectorSize, count * kSectorSize);
            return count * kSectorSize;
        },
        64);
    RescueMap map(64 * kSectorSize);
    map.set(0, 10 * kSectorSize, '+');
    map.set(12 * kSectorSize, 52 * kSectorSize, '+');
    map.set(20 * kSectorSize, kSectorSize, '-');
    const MappedImageSource mapped(image, map);
    std::vector<uint8_t> buffer(64 * kSectorSize);
    const struct {
        uint64_t sector;
        uint32_t count, want;
    } cases[] = {{0, 10, 10 * kSectorSize}, {0, 12, 10 * kSectorSize}, {10, 2, kReadFailed},
                 {12, 8, 8 * kSectorSize},  {12, 9, 8 * kSectorSize},  {20, 1, kReadFailed}, {21, 43, 43 * kSectorSize}};
    for (const auto &c : cases)
        EXPECT_EQ(mapped.read(c.sector, buffer.data(), c.count), c.want) << c.sector << "+" << c.count;
}

// A read that never answers until the test lets it: the reader gives up on
// it at the deadline or at a stop, and the next read gets a thread of its own.
TEST(DeadlineReader, AHungReadIsLeftBehindAtTheDeadlineOrAStop)
{
    // Static: the threads left behind return through the source after the test.
    static std::mutex m;
    static std::condition_variable cv;
    static bool released = false;
    static std::atomic<int> calls{0};
    static const FunctionSource source(
        [](uint64_t sector, void *buffer, uint32_t count) -> uint32_t {
            ++calls;
            if (sector == 7) {
                std::unique_lock<std::mutex> lock(m);
                cv.wait(lock, [] { return released; });
            }
            std::memset(buffer, static_cast<int>(sector), count * kSectorSize);
            return sector == 9 ? kReadFailed : count * kSectorSize;
        },
        100);
    std::atomic<bool> stop{false};
    uint8_t buffer[2 * kSectorSize];
    {
        DeadlineReader reader(source, 100, [&] { return stop.load(); });
        EXPECT_EQ(reader.read(7, buffer, 1).outcome, ReadOutcome::TimedOut);
        const TimedRead ok = reader.read(3, buffer, 2);
        EXPECT_EQ(ok.outcome, ReadOutcome::Whole);
        EXPECT_EQ(ok.bytes, 2 * kSectorSize);
        EXPECT_EQ(buffer[kSectorSize], 3);
        EXPECT_EQ(reader.read(9, buffer, 1).outcome, ReadOutcome::Failed);
        DeadlineReader patient(source, 1000000, [&] { return stop.load(); });
        std::thread stopper([&] {
            while (calls < 4)
                std::this_thread::yield();
            stop = true;
        });
        EXPECT_EQ(patient.read(7, buffer, 1).outcome, ReadOutcome::Cancelled);
        stopper.join();
        EXPECT_EQ(reader.leftBehind() + patient.leftBehind(), 2u);
        // Only the one that missed its deadline counts as timed out: a stop is no loss.
        EXPECT_EQ(reader.timedOut() + patient.timedOut(), 1u);
    }
    std::lock_guard<std::mutex> lock(m);
    released = true; // the threads left behind end now, writing only into their own buffers
    cv.notify_all();
}

} // namespace
