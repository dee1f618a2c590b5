// The case job on its own thread: what its events and report say of a source
// with losses, and a cancel that does not wait for a read that hangs.
#include "casejob.h"
#include "imagebuilder.h"
#include "log.h"
#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

using namespace korvath;
using namespace korvath::testkit;

namespace {

constexpr uint64_t kSectors = 80 * 4096;

RecorderTime at(int minute, int second = 0)
{
    return packRecorderTime(2024, 3, 1, 10, minute, second);
}

// Two recordings of channel 1, read from memory through `fault`, which may
// fail or hold a read; the image's own bytes otherwise.
struct Disk {
    QTemporaryDir tmp;
    ImageBuilder b{kSectors};
    QByteArray bytes;
    QStringList names;
    std::function<bool(uint64_t sector, uint32_t count)> fault; // false: the read fails

    Disk()
    {
        setDebugLogEnabled(false);
        b.recorderSignature();
        const std::vector<std::vector<uint32_t>> clusters{{4, 5}, {20, 21, 22}};
        for (int k = 0; k < 2; ++k) {
            b.recording(0, at(k), at(k, 30), clusters[k], 0x300 + k);
            names << recordingFileName(at(k), at(k, 30), 0);
        }
        const QString image = tmp.filePath("disk.img");
        EXPECT_TRUE(b.write(image));
        bytes = fileBytes(image);
    }

    JobRequest request(bool report)
    {
        CaseSource source;
        // Copies: a read left behind may end after this disk is gone.
        source.source = std::make_shared<FunctionSource>(
            [bytes = bytes, fault = fault](uint64_t sector, void *buffer, uint32_t count) -> uint32_t {
                if (fault && !fault(sector, count))
                    return count == 1 ? kReadFailed : 0;
                std::memcpy(buffer, bytes.constData() + sector * kSectorSize, count * kSectorSize);
                return count * kSectorSize;
            },
            int64_t(kSectors), "disk.img");
        source.description.givenPath = "disk.img";
        ScanQuery query;
        query.start = at(0);
        query.end = at(59);
        CaseListing listed = listCase(source, query, true);
        JobRequest q;
        q.source = source;
        q.listing = listed.listing;
        q.directoryDigest = listed.directoryDigest;
        for (const QString &name : names)
            q.entries.append({name, true});
        q.folder = tmp.filePath("out");
        QDir().mkpath(q.folder);
        q.sha256 = true;
        if (report)
            q.reportPath = tmp.filePath("case.xml");
        q.readTimeoutMs = 60000;
        return q;
    }
    QString written(int k) const { return tmp.filePath("out/CAM1/" + names[k]); }
};

} // namespace

TEST(CaseJob, EventsAndReportNameEveryLossFromOneMap)
{
    Disk d;
    const uint64_t lost = d.b.clusterFirstSector(21) + 100; // 8 sectors of the second recording's second cluster
    d.fault = [&](uint64_t sector, uint32_t count) { return sector + count <= lost || sector >= lost + 8; };
    std::vector<JobEvent> events;
    CaseJob job(d.request(true), [&](const JobEvent &e) {
        if (e.kind != JobEvent::Progress && e.kind != JobEvent::EntryReached)
            events.push_back(e);
    });
    job.start();
    ASSERT_TRUE(job.wait(60000));

    int files = 0;
    QStringList problems;
    for (const JobEvent &e : events) {
        if (e.kind == JobEvent::FileWritten) {
            EXPECT_EQ(e.sha256, sha256Hex(fileBytes(e.path))) << e.name.toStdString();
            ++files;
        } else if (e.kind == JobEvent::Problem) {
            problems << e.text;
        }
    }
    EXPECT_EQ(files, 2);
    ASSERT_EQ(problems.size(), 1) << problems.join('\n').toStdString();
    EXPECT_TRUE(problems[0].startsWith(d.names[1] + ": 8 of 12288 sectors could not be read"))
        << problems[0].toStdString();
    EXPECT_FALSE(job.outcome().clean());
    EXPECT_EQ(job.outcome().summaryText(), "2 of 2 recordings written, 10485760 bytes, 8 unreadable sectors, 0 failures");

    // The report's runs: the lost sectors as a zero-filled run where the file holds zeros.
    CaseReport report;
    QString error;
    ASSERT_TRUE(readDfxmlReport(d.tmp.filePath("case.xml"), &report, &error)) << error.toStdString();
    ASSERT_EQ(report.files.size(), 2u);
    const ReportFile &f = report.files[1];
    const uint64_t fileOffset = kClusterBytes + 100 * kSectorSize;
    std::vector<ByteRun> zero;
    for (const ByteRun &r : f.byteRuns)
        if (r.zeroFill)
            zero.push_back(r);
    ASSERT_EQ(zero.size(), 1u);
    EXPECT_EQ(zero[0], (ByteRun{fileOffset, lost * kSectorSize, 8 * kSectorSize, true}));
    EXPECT_EQ(fileBytes(d.written(1)).mid(int(fileOffset), 8 * int(kSectorSize)), QByteArray(8 * int(kSectorSize), 0));
    EXPECT_EQ(report.source.directorySha256.size(), 64);
}

TEST(CaseJob, CancelDoesNotWaitForAReadThatHangs)
{
    Disk d;
    const uint64_t held = d.b.clusterFirstSector(21);
    // Shared with the read, which is left behind and ends after the test.
    struct Hold {
        std::mutex m;
        std::condition_variable changed;
        bool holding = false, released = false;
    };
    const auto hold = std::make_shared<Hold>();
    d.fault = [hold, held](uint64_t sector, uint32_t count) {
        if (sector <= held && held < sector + count) {
            std::unique_lock<std::mutex> lock(hold->m);
            hold->holding = true;
            hold->changed.notify_all();
            hold->changed.wait(lock, [&] { return hold->released; });
        }
        return true;
    };
    {
        CaseJob job(d.request(false), {});
        job.start();
        {
            std::unique_lock<std::mutex> lock(hold->m);
            ASSERT_TRUE(hold->changed.wait_for(lock, std::chrono::seconds(60), [&] { return hold->holding; }));
        }
        job.cancel("the test");
        EXPECT_TRUE(job.wait(30000)) << "the job waited for the read";
        {
            std::lock_guard<std::mutex> lock(hold->m);
            EXPECT_FALSE(hold->released);
        }
        EXPECT_TRUE(job.outcome().cancelled);
        EXPECT_TRUE(QFile::exists(d.written(0)));
        EXPECT_FALSE(QFile::exists(d.written(1)));
        EXPECT_TRUE(QDir(d.tmp.filePath("out/CAM1")).entryList({"*.part"}, QDir::Files | QDir::Hidden).isEmpty());
    }
    // The job and its source are gone; the read left behind still reads it.
    std::lock_guard<std::mutex> lock(hold->m);
    hold->released = true;
    hold->changed.notify_all();
}
