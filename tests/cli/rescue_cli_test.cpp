// korvath-cli on a dying disk through the kernel (korvath-faultfs): the first
// pass secures every cluster that reads whole before any sector-by-sector
// read, reads that hang are left behind, Ctrl-C is heard during a hung read,
// a SIGKILL then the same command reads nothing finished again, the map is
// GNU ddrescue's, and an image with its map reads like the disk it came from.
#include "faultdevice.h"

#include "rescuemap.h"
#include "scan.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <csignal>
#include <functional>

using namespace korvath;
using namespace korvath::testkit;

namespace {

// korvath-cli running, for tests that act on it while it works.
struct RunningCli {
    QProcess p;
    QString err;
    explicit RunningCli(const QStringList &args)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.remove(QStringLiteral("QT_LOGGING_RULES"));
        p.setProcessEnvironment(e);
        p.start(QStringLiteral(KORVATH_CLI_PATH), args);
        p.waitForStarted();
    }
    // Waits (up to `ms`) until `done` holds; false when it never did.
    bool waitFor(const std::function<bool()> &done, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() > ms)
                return false;
            p.waitForReadyRead(20);
            err += QString::fromLocal8Bit(p.readAllStandardError());
        }
        return true;
    }
    int finish()
    {
        p.waitForFinished(60000);
        err += QString::fromLocal8Bit(p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
};

class Rescue : public FaultDisk
{
protected:
    Rescue() : FaultDisk({20, 21, 22}) {}
    // Whole-cluster reads of `cluster` in the log (the kernel cuts each in requests).
    uint64_t wholeReads(const std::vector<ReadRequest> &reads, uint32_t cluster) const
    {
        const uint64_t first = builder.clusterFirstSector(cluster);
        uint64_t sectors = 0;
        for (const ReadRequest &r : reads)
            if (r.count > 1 && r.sector >= first && r.sector < first + kClusterSectors)
                sectors += r.count;
        return sectors / kClusterSectors;
    }
    // Whether `cluster` is being read sector by sector (the second pass).
    bool scraped(const std::vector<ReadRequest> &reads, uint32_t cluster) const
    {
        const uint64_t first = builder.clusterFirstSector(cluster);
        for (const ReadRequest &r : reads)
            if (r.count == 1 && r.sector >= first + 2048 && r.sector < first + kClusterSectors)
                return true;
        return false;
    }
    void expectFiles(const QString &out, const std::vector<SectorRange> &lost)
    {
        EXPECT_TRUE(fileBytes(out + "/CAM1/" + names[0]) == expectedBytes(builder, image, kDamaged, lost));
        EXPECT_TRUE(fileBytes(out + "/CAM1/" + names[1]) == expectedBytes(builder, image, kClean));
    }
};

// Which sectors ddrescuelog finds bad in a map, one per line.
QStringList ddrescuelogBad(const QString &map)
{
    QProcess p;
    p.start(QStringLiteral("ddrescuelog"), {QStringLiteral("-b512"), QStringLiteral("--list-blocks=-"), map});
    p.waitForFinished(10000);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return {QStringLiteral("ddrescuelog refused the map: ") + QString::fromLocal8Bit(p.readAllStandardError())};
    return QString::fromLocal8Bit(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList sectorList(const std::vector<SectorRange> &ranges)
{
    QStringList out;
    for (const SectorRange &r : ranges)
        for (uint64_t s = r.first; s <= r.last; ++s)
            out << QString::number(s);
    return out;
}

TEST_F(Rescue, FirstPassSecuresEveryGoodClusterBeforeAnySectorIsRetried)
{
    const std::vector<SectorRange> bad{inCluster(5, 100, 103), inCluster(6, 0, 4095)};
    const QString out = dir("pass"), map = tmp.filePath("pass.map");
    Faults faults{bad, {}, 0, -1};
    faults.logReads = true;
    FaultMount drive(image, faults);
    ASSERT_TRUE(drive.isMounted()) << drive.error().toStdString();
    const ProcessRun r = runCli({"export", drive.path(), "--out", out, "--map", map});
    const std::vector<ReadRequest> reads = drive.reads();
    drive.unmount();

    EXPECT_EQ(r.code, 1) << r.err.toStdString();
    expectFiles(out, bad);
    size_t firstScrape = reads.size(), lastGood = 0;
    for (size_t i = 0; i < reads.size(); ++i) {
        if (reads[i].count == 1 && firstScrape == reads.size() && reads[i].sector >= builder.clusterFirstSector(5))
            firstScrape = i;
        for (const uint32_t c : {7u, 20u, 21u, 22u})
            if (reads[i].count > 1 && reads[i].sector >= builder.clusterFirstSector(c)
                && reads[i].sector < builder.clusterFirstSector(c) + kClusterSectors)
                lastGood = i;
    }
    EXPECT_LT(lastGood, firstScrape);
    for (const uint32_t c : {7u, 20u, 21u, 22u})
        EXPECT_EQ(wholeReads(reads, c), 1u) << "cluster " << c;
    // The map is GNU ddrescue's: ddrescuelog lists exactly the bad sectors.
    EXPECT_EQ(ddrescuelogBad(map), sectorList(bad));
    EXPECT_TRUE(r.err.contains(names[0] + ": 4100 of 12288 sectors could not be read")) << r.err.toStdString();
}

TEST_F(Rescue, ReadsThatHangAreLeftBehindAndTheRestOfTheClusterMarkedBad)
{
    const std::vector<SectorRange> hang{inCluster(6, 0, 4095)};
    const QString out = dir("hang"), map = tmp.filePath("hang.map");
    Faults faults;
    faults.hang = hang;
    FaultMount drive(image, faults);
    ASSERT_TRUE(drive.isMounted()) << drive.error().toStdString();
    RunningCli cli({"export", drive.path(), "--out", out, "--map", map, "--read-timeout", "1"});
    // The hung reads keep the process from ending until they answer.
    EXPECT_TRUE(cli.waitFor([&] { return cli.err.contains("2 of 2 recordings written"); }, 60000)) << cli.err.toStdString();
    drive.release();
    EXPECT_EQ(cli.finish(), 1);
    EXPECT_TRUE(cli.err.contains("2 reads were not answered within 1 s and left behind")) << cli.err.toStdString();
    expectFiles(out, hang);
    EXPECT_EQ(ddrescuelogBad(map), sectorList(hang));
}

// A sector that answers late is read when the deadline allows it, and lost
// (the whole cluster: it hung once in the scrape too) when it does not.
TEST_F(Rescue, ASlowSectorIsReadWithinTheDeadlineAndLostPastIt)
{
    const struct {
        const char *timeout;
        uint64_t lost;
    } cases[] = {{"10", 0}, {"1", kClusterSectors}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.timeout);
        const QString out = dir(QStringLiteral("slow%1").arg(c.timeout));
        FaultMount drive(image, Faults{{}, {inCluster(6, 0, 0)}, 2500, -1});
        ASSERT_TRUE(drive.isMounted());
        const ProcessRun r = runCli({"export", drive.path(), "--out", out, "--read-timeout", c.timeout});
        EXPECT_EQ(r.code, c.lost ? 1 : 0) << r.err.toStdString();
        expectFiles(out, c.lost ? std::vector<SectorRange>{inCluster(6, 0, 4095)} : std::vector<SectorRange>{});
        EXPECT_EQ(r.err.contains("left behind"), c.lost != 0) << r.err.toStdString();
    }
}

TEST_F(Rescue, CtrlCDuringAHungReadEndsTheRunAndTheSameCommandGoesOn)
{
    const QString out = dir("ctrlc"), map = tmp.filePath("ctrlc.map");
    const QStringList args{"export", "--out", out, "--map", map, "--sha256"};
    Faults faults;
    faults.hang = {inCluster(21, 0, 0)};
    faults.logReads = true;
    FaultMount drive(image, faults);
    ASSERT_TRUE(drive.isMounted()) << drive.error().toStdString();
    RunningCli cli(QStringList{args[0], drive.path()} + args.mid(1));
    const uint64_t hung = builder.clusterFirstSector(21);
    ASSERT_TRUE(cli.waitFor([&] {
        for (const ReadRequest &r : drive.reads())
            if (r.sector == hung)
                return true;
        return false;
    }, 30000));
    ::kill(static_cast<pid_t>(cli.p.processId()), SIGINT);
    // Heard while the read still hangs: it is released only after this.
    EXPECT_TRUE(cli.waitFor([&] { return cli.err.contains("stopped by SIGINT"); }, 5000)) << cli.err.toStdString();
    drive.release();
    EXPECT_EQ(cli.finish(), 130);
    EXPECT_TRUE(QFileInfo::exists(out + "/CAM1/" + names[1] + ".part"));
    drive.unmount();

    Faults again;
    again.logReads = true;
    FaultMount healthy(image, again);
    const ProcessRun r = runCli(QStringList{args[0], healthy.path()} + args.mid(1));
    const std::vector<ReadRequest> reads = healthy.reads();
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    expectFiles(out, {});
    for (const uint32_t c : {5u, 6u, 7u, 20u})
        EXPECT_EQ(wholeReads(reads, c), 0u) << "cluster " << c;
    EXPECT_EQ(wholeReads(reads, 21), 1u);
}

// A drive that goes away: without a map the recording in hand is kept with
// its clusters not read as zeros, named; with a map its temporary file is kept
// instead, and the same command on the drive back finishes it as if never cut.
TEST_F(Rescue, ADriveThatGoesAwayKeepsWhatWasReadOrTheTemporaryFileForTheMap)
{
    for (const bool withMap : {false, true}) {
        SCOPED_TRACE(withMap ? "with a map" : "without a map");
        const QString out = dir(withMap ? "gone-map" : "gone"), map = out + ".map";
        QStringList args{"export", "--out", out};
        if (withMap)
            args << "--map" << map;
        {
            FaultMount drive(image, Faults{{}, {}, 0, int64_t(builder.clusterFirstSector(6))});
            ASSERT_TRUE(drive.isMounted()) << drive.error().toStdString();
            const ProcessRun r = runCli(QStringList{args[0], drive.path()} + args.mid(1));
            EXPECT_EQ(r.code, 1) << r.err.toStdString();
            // The first recording waits for its second pass when the drive goes
            // (at the next recording's first cluster): read, it is not lost.
            const QString first = "CAM1/" + names[0];
            if (!withMap) {
                EXPECT_EQ(partFiles(out), QStringList());
                EXPECT_TRUE(fileBytes(out + "/" + first)
                            == expectedBytes(builder, image, kDamaged, {inCluster(6, 0, 4095), inCluster(7, 0, 4095)}));
                EXPECT_TRUE(r.err.contains(names[0] + ": 8192 of 12288 sectors could not be read")) << r.err.toStdString();
                continue;
            }
            EXPECT_EQ(tree(out), (QStringList{"CAM1", first + ".part", "CAM1/" + names[1] + ".part"}));
        }
        FaultMount healthy(image, Faults{});
        const ProcessRun again = runCli(QStringList{args[0], healthy.path()} + args.mid(1));
        EXPECT_EQ(again.code, 0) << again.err.toStdString();
        expectFiles(out, {});
    }
}

// A SIGKILL at chosen points, then the same command: no finished cluster is
// read again but the one in hand, and the outputs are those of a run never stopped.
TEST_F(Rescue, KilledThenRunAgainReadsNothingFinishedTwice)
{
    const std::vector<SectorRange> bad{inCluster(6, 10, 10)};
    const struct {
        const char *what;
        bool image;
        uint64_t killAfter; // finished bytes in the map
        bool scraping;      // and the bad cluster being read sector by sector
    } cases[] = {
        {"export, first recording's first cluster", false, kClusterBytes, false},
        {"export, in the clean recording", false, 4 * kClusterBytes, false},
        {"export, in the second pass", false, kClusterBytes, true},
        {"image, after the directory", true, 3 * kClusterBytes, false},
        {"image, in the rest of the disk", true, 20 * kClusterBytes, false},
    };
    QString wholeHash;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const QString out = dir(QString::fromLatin1(c.what).replace(' ', '_').remove(','));
        const QString map = out + "/run.map", img = out + "/disk.raw";
        const QStringList args = c.image ? QStringList{"image", "--out", img, "--map", map}
                                         : QStringList{"export", "--out", out, "--map", map};
        Faults faults{bad, {}, 0, -1};
        faults.logReads = true;
        // Slowed by the device, a tenth of a second a cluster, to be killed where wanted.
        Faults slowed = faults;
        for (uint32_t cl = 0; cl < kSectors / kClusterSectors; ++cl)
            slowed.slow.push_back({uint64_t(cl) * kClusterSectors, uint64_t(cl) * kClusterSectors});
        if (c.scraping) // the bad cluster's second half too, to be killed while it is scraped
            slowed.slow.push_back(inCluster(6, 2048, 4095));
        slowed.slowMs = 100;
        std::unique_ptr<FaultMount> drive(new FaultMount(image, slowed));
        ASSERT_TRUE(drive->isMounted());
        RunningCli cli(QStringList{args[0], drive->path()} + args.mid(1));
        RescueMap seen;
        QString why;
        ASSERT_TRUE(cli.waitFor([&] {
            return RescueMap::load(map, kSectors * kSectorSize, &seen, &why)
                   && seen.bytesWith(mapstatus::kFinished) >= c.killAfter
                   && (!c.scraping || scraped(drive->reads(), 6));
        }, 60000)) << cli.err.toStdString() << why.toStdString();
        cli.p.kill();
        cli.finish();
        RescueMap atKill;
        ASSERT_TRUE(RescueMap::load(map, kSectors * kSectorSize, &atKill, &why)) << why.toStdString();
        drive.reset(new FaultMount(image, faults));
        const ProcessRun r = runCli(QStringList{args[0], drive->path()} + args.mid(1));
        const std::vector<ReadRequest> reads = drive->reads();
        EXPECT_EQ(r.code, 1) << r.err.toStdString();
        // Whole reads of clusters the map had finished at the kill: one at most.
        uint64_t again = 0;
        for (uint32_t cl = 0; cl < 70; ++cl) {
            const uint64_t at = builder.clusterFirstSector(cl) * kSectorSize;
            if (at + kClusterBytes <= atKill.size() && atKill.all(at, kClusterBytes, "+"))
                again += wholeReads(reads, cl);
        }
        EXPECT_LE(again, 1u);
        if (!c.image) {
            expectFiles(out, bad);
            continue;
        }
        QByteArray want = fileBytes(image);
        std::memset(want.data() + bad[0].first * kSectorSize, 0, kSectorSize);
        const QByteArray got = fileBytes(img);
        EXPECT_TRUE(got == want);
        const QString hash = QString::fromLatin1(QCryptographicHash::hash(got, QCryptographicHash::Sha256).toHex());
        EXPECT_EQ(r.out, hash + "  disk.raw\n");
        EXPECT_TRUE(fileBytes(img + ".xml").contains("<korvath:bad_bytes>512</korvath:bad_bytes>"));
        EXPECT_EQ(ddrescuelogBad(map), sectorList(bad));
        if (!wholeHash.isEmpty())
            EXPECT_EQ(hash, wholeHash);
        wholeHash = hash;
    }
}

// The image and its map read like the disk: what the map does not mark
// finished is named unreadable, never taken for the zeros the image holds.
TEST_F(Rescue, AnImageWithItsMapIsReadLikeTheDisk)
{
    const std::vector<SectorRange> bad{inCluster(7, 4000, 4095)};
    const QString work = dir("mapped"), img = work + "/disk.raw", map = work + "/disk.map";
    {
        FaultMount drive(image, Faults{bad, {}, 0, -1});
        ASSERT_TRUE(drive.isMounted());
        const ProcessRun r = runCli({"image", drive.path(), "--out", img, "--map", map, "--listed-only"});
        EXPECT_EQ(r.code, 1) << r.err.toStdString();
    }
    const ProcessRun fromImage = runCli({"export", img, "--source-map", map, "--out", dir("mapped/out"), "--report",
                                     work + "/report.xml"});
    EXPECT_EQ(fromImage.code, 1) << fromImage.err.toStdString();
    expectFiles(work + "/out", bad);
    EXPECT_TRUE(fromImage.err.contains(names[0] + ": 96 of 12288 sectors could not be read")) << fromImage.err.toStdString();
    EXPECT_TRUE(fromImage.err.contains("source: an image with its map")) << fromImage.err.toStdString();
    EXPECT_TRUE(fileBytes(work + "/report.xml").contains("<korvath:image_map"));
    // Without its map the same image would pass its zeros off as read.
    const ProcessRun bare = runCli({"export", img, "--out", dir("mapped/bare")});
    EXPECT_EQ(bare.code, 0) << bare.err.toStdString();
}

} // namespace
