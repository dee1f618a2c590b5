// A listing whose directory read reports its progress, and is stopped.
#include "imagebuilder.h"
#include "listing.h"
#include "log.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace korvath;
using namespace korvath::testkit;

TEST(Listing, TheDirectoryReadReportsAndStops)
{
    setDebugLogEnabled(false);
    QTemporaryDir tmp;
    const QString image = tmp.filePath("disk.img");
    ImageBuilder b(uint64_t(1) << 30); // 512 GiB, sparse: a directory of two pieces
    b.recorderSignature();
    b.recording(0, sampleTime(10, 0), sampleTime(10, 0, 30), {100, 101}, 0x40); // past the reserved clusters
    ASSERT_TRUE(b.write(image));
    const DriveHandle drive = openDrive(image.toLocal8Bit().constData());
    ASSERT_TRUE(drive.isValid());
    const auto source = std::make_shared<DriveSource>(drive);
    ScanQuery query;
    query.allChannels = true;
    query.start = sampleTime(0, 0);
    query.end = sampleTime(23, 59, 59);

    for (const int stopAfter : {0, 1}) {
        SCOPED_TRACE(stopAfter);
        std::vector<std::pair<uint64_t, uint64_t>> told;
        const Listing listing = listRecordings(source, query, {}, [&](uint64_t done, uint64_t total) {
            told.emplace_back(done, total);
            return int(told.size()) != stopAfter;
        });
        ASSERT_FALSE(told.empty());
        const uint64_t total = told.back().second;
        EXPECT_EQ(total, listing.info.dir_size);
        for (size_t i = 1; i < told.size(); ++i)
            EXPECT_GT(told[i].first, told[i - 1].first);
        if (stopAfter) {
            EXPECT_TRUE(listing.stopped);
            EXPECT_TRUE(listing.empty());
            EXPECT_LT(told.back().first, total);
        } else {
            EXPECT_FALSE(listing.stopped);
            EXPECT_GT(told.size(), 1u);
            EXPECT_EQ(told.back().first, total);
            EXPECT_EQ(listing.recordings.size(), 1);
        }
    }
    closeDrive(drive);
}
