// A listing whose directory is read in pieces: it reports its progress, a
// piece that hangs is named lost and the rest listed, and a stop ends it.
#include "imagebuilder.h"
#include "listing.h"
#include "log.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

using namespace korvath;
using namespace korvath::testkit;

TEST(Listing, TheDirectoryReadReportsHasADeadlineAndStops)
{
    setDebugLogEnabled(false);
    QTemporaryDir tmp;
    const QString image = tmp.filePath("disk.img");
    ImageBuilder b(uint64_t(1) << 30); // 512 GiB, sparse: a directory of several pieces
    b.recorderSignature();
    b.recording(0, sampleTime(10, 0), sampleTime(10, 0, 30), {100, 101}, 0x40); // past the reserved clusters
    ASSERT_TRUE(b.write(image));
    const DriveHandle drive = openDrive(image.toLocal8Bit().constData());
    ASSERT_TRUE(drive.isValid());
    const auto disk = std::make_shared<DriveSource>(drive);
    // A sector of the directory's second piece answers only when released:
    // shared with the read, which is left behind and ends after the test.
    struct Hold {
        std::mutex m;
        std::condition_variable changed;
        bool holding = false, released = false;
    };
    const uint64_t held = b.directorySector() + 2 * kClusterSectors + 5;
    ScanQuery query;
    query.allChannels = true;
    query.start = sampleTime(0, 0);
    query.end = sampleTime(23, 59, 59);

    const struct {
        const char *what;
        bool hang;
        bool stopInHang;
    } cases[] = {{"every piece answers", false, false},
                 {"a piece hangs past the deadline", true, false},
                 {"a stop while a piece hangs", true, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto hold = std::make_shared<Hold>();
        const auto source = std::make_shared<FunctionSource>(
            [disk, hold, held, hang = c.hang](uint64_t sector, void *buffer, uint32_t count) {
                if (hang && sector <= held && held < sector + count) {
                    std::unique_lock<std::mutex> lock(hold->m);
                    hold->holding = true;
                    hold->changed.notify_all();
                    hold->changed.wait(lock, [&] { return hold->released; });
                }
                return disk->read(sector, buffer, count);
            },
            disk->sectors());
        std::vector<std::pair<uint64_t, uint64_t>> told;
        DirectoryReadOptions read;
        read.progress = [&](uint64_t done, uint64_t total) { told.emplace_back(done, total); };
        read.stop = [&] {
            std::lock_guard<std::mutex> lock(hold->m);
            return c.stopInHang && hold->holding;
        };
        read.readTimeoutMs = c.stopInHang ? 60000 : 300;
        const Listing listing = listRecordings(source, query, {}, read);
        {
            std::lock_guard<std::mutex> lock(hold->m);
            hold->released = true;
            hold->changed.notify_all();
        }
        ASSERT_FALSE(told.empty());
        for (size_t i = 1; i < told.size(); ++i)
            EXPECT_GT(told[i].first, told[i - 1].first);
        if (c.stopInHang) {
            EXPECT_TRUE(listing.stopped);
            EXPECT_TRUE(listing.empty());
            EXPECT_EQ(told.back().first, 2 * kClusterSectors);
            continue;
        }
        EXPECT_FALSE(listing.stopped);
        EXPECT_EQ(told.back().first, listing.info.dir_size);
        EXPECT_EQ(listing.recordings.size(), 1); // described in the first piece
        const std::vector<SectorRange> lost =
            c.hang ? std::vector<SectorRange>{{b.directorySector() + 2 * kClusterSectors, 2 * kClusterSectors}}
                   : std::vector<SectorRange>{};
        ASSERT_EQ(listing.directoryUnreadable.size(), lost.size());
        if (!lost.empty()) {
            EXPECT_EQ(listing.directoryUnreadable[0].first, lost[0].first);
            EXPECT_EQ(listing.directoryUnreadable[0].count, lost[0].count);
        }
    }
}
