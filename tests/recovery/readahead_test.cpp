// The read-ahead ring against a plain sequential read, with delays on both
// sides, and every way of ending early.
#include "readahead.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace korvath;

namespace {

constexpr size_t kBytes = 8192; // small buffers keep hundreds of clusters quick

// What "the disk" holds for cluster k, and how many sectors of it fail.
void fillCluster(size_t k, uint8_t *buffer)
{
    std::mt19937 gen(static_cast<uint32_t>(k) * 2654435761u + 1);
    for (size_t i = 0; i < kBytes; i += 4) {
        const uint32_t v = gen();
        std::memcpy(buffer + i, &v, 4);
    }
}

uint32_t lostSectors(size_t k)
{
    return k % 7 == 3 ? static_cast<uint32_t>(k % 11) + 1 : 0;
}

void pause(std::mt19937 &gen, int maxMicros)
{
    const int us = static_cast<int>(gen() % static_cast<uint32_t>(maxMicros + 1));
    if (us > maxMicros / 2)
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// Threads of this process. One thread made and joined first lets a
// sanitizer start its own helper thread before anything is counted.
size_t threadCount()
{
    static const bool warmed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed;
    size_t n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (const dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

struct Delays {
    const char *name;
    size_t depth;
    size_t clusters;
    int readerMicros;
    int consumerMicros;
};

void PrintTo(const Delays &d, std::ostream *os)
{
    *os << d.name;
}

class ReadAheadOrderTest : public ::testing::TestWithParam<Delays>
{
};

TEST_P(ReadAheadOrderTest, DeliversWhatASequentialReadGivesInOrder)
{
    const Delays &p = GetParam();
    const size_t threadsBefore = threadCount();
    std::atomic<size_t> calls{0};
    std::atomic<size_t> maxAhead{0};
    std::atomic<size_t> consumed{0};
    {
        std::mt19937 readerGen(1);
        ClusterReadAhead ring(
            p.clusters,
            [&](size_t k, uint8_t *buffer) {
                pause(readerGen, p.readerMicros);
                ++calls;
                const size_t ahead = k - consumed.load();
                if (ahead > maxAhead)
                    maxAhead = ahead;
                fillCluster(k, buffer);
                return ClusterRead{lostSectors(k), false};
            },
            p.depth, kBytes);

        std::mt19937 consumerGen(2);
        std::vector<uint8_t> want(kBytes);
        size_t k = 0;
        while (const ClusterReadAhead::Slot *slot = ring.next()) {
            ASSERT_EQ(slot->index, k);
            fillCluster(k, want.data());
            ASSERT_EQ(std::memcmp(slot->bytes, want.data(), kBytes), 0) << "cluster " << k;
            ASSERT_EQ(slot->unreadableSectors, lostSectors(k));
            EXPECT_EQ(reinterpret_cast<uintptr_t>(slot->bytes) % kIoAlignment, 0u);
            pause(consumerGen, p.consumerMicros);
            ++k;
            consumed = k;
        }
        EXPECT_EQ(k, p.clusters);
        EXPECT_EQ(ring.state(), ClusterReadAhead::State::Complete);
        EXPECT_EQ(ring.taken(), p.clusters);
    }
    EXPECT_EQ(calls.load(), p.clusters);
    // The reader never ran more than the ring ahead of the consumer.
    EXPECT_LT(maxAhead.load(), std::max<size_t>(p.depth, 1));
    EXPECT_EQ(threadCount(), threadsBefore);
}

INSTANTIATE_TEST_SUITE_P(Ring, ReadAheadOrderTest,
                         ::testing::Values(Delays{"depth1_both_slow", 1, 200, 300, 300},
                                           Delays{"depth2_slow_reader", 2, 300, 400, 50},
                                           Delays{"depth4_slow_consumer", 4, 400, 50, 400},
                                           Delays{"depth4_no_delay", 4, 3000, 0, 0},
                                           Delays{"depth7_both_slow", 7, 300, 300, 300},
                                           Delays{"more_buffers_than_clusters", 8, 3, 100, 100},
                                           Delays{"no_clusters", 4, 0, 0, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

// A consumer that stops after `take` clusters, by cancel() or by leaving the scope.
struct EarlyEnd {
    const char *name;
    size_t depth;
    size_t take;
    bool byDestructor;
    bool readerBlocked; // the reader is inside a slow read when the consumer stops
};

void PrintTo(const EarlyEnd &e, std::ostream *os)
{
    *os << e.name;
}

class ReadAheadCancelTest : public ::testing::TestWithParam<EarlyEnd>
{
};

TEST_P(ReadAheadCancelTest, TheReaderStopsAfterItsCurrentClusterAndIsJoined)
{
    const EarlyEnd &p = GetParam();
    constexpr size_t kClusters = 1000;
    const size_t threadsBefore = threadCount();
    std::atomic<size_t> calls{0};
    std::atomic<bool> cancelled{false};
    std::atomic<size_t> readsAfterCancel{0};
    {
        ClusterReadAhead ring(
            kClusters,
            [&](size_t k, uint8_t *buffer) {
                if (cancelled)
                    ++readsAfterCancel;
                ++calls;
                if (p.readerBlocked && k == p.take + p.depth - 1)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                fillCluster(k, buffer);
                return ClusterRead{};
            },
            p.depth, kBytes);
        for (size_t k = 0; k < p.take; ++k) {
            const ClusterReadAhead::Slot *slot = ring.next();
            ASSERT_NE(slot, nullptr);
            ASSERT_EQ(slot->index, k);
        }
        if (p.readerBlocked)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!p.byDestructor) {
            cancelled = true;
            ring.cancel();
            EXPECT_EQ(ring.next(), nullptr);
            EXPECT_EQ(ring.state(), ClusterReadAhead::State::Cancelled);
            EXPECT_EQ(ring.taken(), p.take);
            ring.cancel(); // twice is harmless
        } else {
            cancelled = true;
        }
    }
    // Held clusters count as not yet given back: at most take-1 released, so at
    // most take-1+depth clusters read, plus none once cancelled but the one in hand.
    EXPECT_LE(calls.load(), (p.take ? p.take - 1 : 0) + p.depth);
    EXPECT_LE(readsAfterCancel.load(), 1u);
    EXPECT_EQ(threadCount(), threadsBefore);
}

INSTANTIATE_TEST_SUITE_P(Ring, ReadAheadCancelTest,
                         ::testing::Values(EarlyEnd{"before_the_first", 4, 0, false, false},
                                           EarlyEnd{"after_one", 4, 1, false, false},
                                           EarlyEnd{"midway", 4, 500, false, false},
                                           EarlyEnd{"midway_reader_in_a_slow_read", 4, 37, false, true},
                                           EarlyEnd{"depth1_midway", 1, 20, false, false},
                                           EarlyEnd{"destructor_before_the_first", 4, 0, true, false},
                                           EarlyEnd{"destructor_midway", 3, 123, true, false},
                                           EarlyEnd{"destructor_reader_in_a_slow_read", 2, 10, true, true}),
                         [](const auto &info) { return std::string(info.param.name); });

struct ReaderEnd {
    const char *name;
    size_t depth;
    size_t at; // the cluster whose read stops or throws
    bool throws;
};

void PrintTo(const ReaderEnd &e, std::ostream *os)
{
    *os << e.name;
}

class ReadAheadReaderEndTest : public ::testing::TestWithParam<ReaderEnd>
{
};

TEST_P(ReadAheadReaderEndTest, EveryClusterBeforeItComesThenTheEnd)
{
    const ReaderEnd &p = GetParam();
    const size_t threadsBefore = threadCount();
    std::atomic<size_t> calls{0};
    {
        ClusterReadAhead ring(
            100,
            [&](size_t k, uint8_t *buffer) {
                ++calls;
                if (k == p.at && p.throws)
                    throw std::runtime_error("device gone");
                fillCluster(k, buffer);
                return ClusterRead{0, k == p.at};
            },
            p.depth, kBytes);
        size_t k = 0;
        bool threw = false;
        try {
            while (const ClusterReadAhead::Slot *slot = ring.next()) {
                ASSERT_EQ(slot->index, k);
                ++k;
                // A slow consumer lets the reader reach the end first.
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        } catch (const std::runtime_error &e) {
            threw = true;
            EXPECT_STREQ(e.what(), "device gone");
        }
        EXPECT_EQ(k, p.at);
        EXPECT_EQ(threw, p.throws);
        EXPECT_EQ(ring.state(), p.throws ? ClusterReadAhead::State::Failed : ClusterReadAhead::State::Stopped);
        EXPECT_EQ(ring.stopIndex(), p.at);
        EXPECT_EQ(calls.load(), p.at + 1);
    }
    EXPECT_EQ(threadCount(), threadsBefore);
}

INSTANTIATE_TEST_SUITE_P(Ring, ReadAheadReaderEndTest,
                         ::testing::Values(ReaderEnd{"stop_at_first", 4, 0, false},
                                           ReaderEnd{"stop_midway", 4, 42, false},
                                           ReaderEnd{"stop_depth1", 1, 9, false},
                                           ReaderEnd{"throw_at_first", 4, 0, true},
                                           ReaderEnd{"throw_midway", 3, 57, true},
                                           ReaderEnd{"throw_at_last", 4, 99, true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ReadAheadTest, AConsumerThatThrowsLeavesNoThreadBehind)
{
    const size_t threadsBefore = threadCount();
    std::atomic<size_t> calls{0};
    try {
        ClusterReadAhead ring(
            1000,
            [&](size_t k, uint8_t *buffer) {
                ++calls;
                fillCluster(k, buffer);
                return ClusterRead{};
            },
            4, kBytes);
        while (const ClusterReadAhead::Slot *slot = ring.next())
            if (slot->index == 10)
                throw std::runtime_error("disk full");
        FAIL() << "the consumer's exception did not leave the loop";
    } catch (const std::runtime_error &) {
    }
    EXPECT_LE(calls.load(), 10u + 4u);
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(ReadAheadTest, AnEarlyReleaseLetsTheReaderReuseTheBuffer)
{
    // Depth 1: the reader can only read cluster 1 once cluster 0 is given back.
    std::atomic<size_t> calls{0};
    ClusterReadAhead ring(
        2,
        [&](size_t k, uint8_t *buffer) {
            ++calls;
            fillCluster(k, buffer);
            return ClusterRead{};
        },
        1, kBytes);
    ASSERT_NE(ring.next(), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(calls.load(), 1u);
    ring.release();
    ring.release(); // nothing held: no effect
    for (int i = 0; i < 200 && calls.load() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(calls.load(), 2u);
    const ClusterReadAhead::Slot *slot = ring.next();
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->index, 1u);
    EXPECT_EQ(ring.next(), nullptr);
    EXPECT_EQ(ring.state(), ClusterReadAhead::State::Complete);
}

} // namespace
