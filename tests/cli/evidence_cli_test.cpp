// The case report and evidence images through the real korvath-cli: the
// report read back and checked against the image, and E01 and split raw
// sets listing and exporting exactly what the raw image does.
#include "casereport.h"
#include "faultdevice.h"
#include "scan.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QMap>
#include <QStandardPaths>
#include <QXmlStreamReader>

using namespace korvath;
using namespace korvath::testkit;

namespace {

using Evidence = ThreeRecordingDisk;

// Every byte run is where the file's bytes lie on the source; every zero
// run covers exactly the sectors that could not be read; each hash is the file's.
TEST_F(Evidence, ReportAgreesWithTheImageByteForByte)
{
    const QString out = dir("out"), report = tmp.filePath("case.xml");
    const ProcessRun r = runCli({"export", image, "--out", out, "--channel", "all", "--report", report});
    EXPECT_EQ(r.code, 1) << r.err.toStdString(); // the cut cluster is a loss
    const Report rep = readReport(report);
    ASSERT_TRUE(rep.ok);
    ASSERT_EQ(rep.files.size(), 3u);
    const uint64_t imageBytes = kSectors * kSectorSize;
    uint64_t fillBytes = 0;
    for (const FileObject &f : rep.files) {
        SCOPED_TRACE(f.filename.toStdString());
        const QByteArray bytes = fileBytes(tmp.filePath(f.filename)); // named from the report's folder
        ASSERT_EQ(uint64_t(bytes.size()), f.size);
        EXPECT_EQ(f.sha256, sha256Hex(bytes));
        uint64_t covered = 0;
        for (const ByteSpan &run : f.runs) {
            EXPECT_EQ(run.fileOffset, covered);
            covered += run.len;
            const QByteArray got = bytes.mid(int(run.fileOffset), int(run.len));
            if (run.fill) {
                fillBytes += run.len;
                EXPECT_EQ(got, QByteArray(int(run.len), '\0'));
                EXPECT_GE(run.imgOffset, imageBytes); // only what lies past the image's end was lost
            } else {
                EXPECT_LE(run.imgOffset + run.len, imageBytes);
                EXPECT_TRUE(got == readFileBytes(image, run.imgOffset, run.len));
            }
        }
        EXPECT_EQ(covered, f.size);
    }
    EXPECT_EQ(fillBytes, b.clusterFirstSector(78) * kSectorSize + kClusterBytes - imageBytes);
    // Consecutive clusters make one run: 10-12 and 30 are two.
    const auto first = std::find_if(rep.files.begin(), rep.files.end(),
                                    [](const FileObject &f) { return f.filename.contains("08-00-00"); });
    ASSERT_NE(first, rep.files.end());
    EXPECT_EQ(first->runs.size(), 2u);

    // An existing report is never replaced without --overwrite.
    const ProcessRun again = runCli({"export", image, "--out", dir("again"), "--report", report});
    EXPECT_EQ(again.code, 2);
    EXPECT_TRUE(again.err.contains("exists already")) << again.err.toStdString();
    EXPECT_TRUE(QDir(tmp.filePath("again")).isEmpty());
}

TEST_F(Evidence, ReportNamesWhatWasNotWritten)
{
    const QString out = dir("full"), report = tmp.filePath("case.xml");
    const QString victim = "2024-03-01 10-00-00_2024-03-01 10-01-00_CAM2.h264";
    ASSERT_TRUE(QDir().mkpath(out + "/CAM2") && QDir().mkpath(out + "/CAM2/" + victim + ".part"));
    const ProcessRun r = runCli({"export", image, "--out", out, "--channel", "2", "--report", report});
    EXPECT_EQ(r.code, 1);
    const Report rep = readReport(report);
    ASSERT_TRUE(rep.ok);
    EXPECT_TRUE(rep.files.empty());
    ASSERT_TRUE(rep.notWritten.contains(victim));
    EXPECT_TRUE(rep.notWritten[victim].contains("could not be created")) << rep.notWritten[victim].toStdString();
}

// With the recorder's clock offset the report gives each recording's true
// times beside its stamps; a recorder 30 s slow reads 08:00:00 at 08:00:30.
TEST_F(Evidence, ReportGivesTrueTimesWithAClockOffset)
{
    const QString out = dir("clock"), report = tmp.filePath("clock.xml");
    const ProcessRun r = runCli({"export", image, "--out", out, "--channel", "2", "--clock-offset", "-00:00:30",
                             "--report", report});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    const QString xml = QString::fromUtf8(fileBytes(report));
    EXPECT_TRUE(xml.contains("<korvath:clock_offset>-00:00:30</korvath:clock_offset>")) << xml.toStdString();
    EXPECT_TRUE(xml.contains("<korvath:true_start>2024-03-01 10:00:30</korvath:true_start>")) << xml.toStdString();
    EXPECT_TRUE(xml.contains("<korvath:true_end>2024-03-01 10:01:30</korvath:true_end>")) << xml.toStdString();
}

// E01 (uncompressed, in several segments; and compressed) and split raw:
// the same list, bytes and hashes as the raw image; a set with a segment
// missing is a usage error that names it.
TEST_F(Evidence, ImageSetsReadAsTheRawImage)
{
    if (QStandardPaths::findExecutable("ewfacquire").isEmpty())
        GTEST_SKIP() << "ewfacquire (ewf-tools) is not installed";
    const auto run = [](const QString &program, const QStringList &args) {
        QProcess p;
        p.start(program, args);
        return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    };
    ASSERT_TRUE(run("ewfacquire", {"-u", "-q", "-t", dir("plain") + "/case", "-c", "none", "-S", "64MiB", image}));
    ASSERT_TRUE(run("ewfacquire", {"-u", "-q", "-t", dir("packed") + "/case", "-c", "deflate:fast", image}));
    ASSERT_TRUE(run("split", {"-b", "50M", "-d", "-a", "3", "--numeric-suffixes=1", image, dir("split") + "/disk."}));
    ASSERT_TRUE(QFileInfo::exists(tmp.filePath("plain/case.E02")));

    const ProcessRun raw = runCli({"list", image, "--channel", "all", "--json"});
    const ProcessRun rawExport = runCli({"export", image, "--out", dir("rawout"), "--channel", "all", "--sha256"});
    ASSERT_EQ(rawExport.code, 1); // the cut cluster
    for (const QString &set : {tmp.filePath("plain/case.E01"), tmp.filePath("packed/case.E01"), tmp.filePath("split/disk.001")}) {
        SCOPED_TRACE(set.toStdString());
        const ProcessRun list = runCli({"list", set, "--channel", "all", "--json"});
        EXPECT_EQ(list.code, 0) << list.err.toStdString();
        EXPECT_EQ(list.out, raw.out);
        const QString out = dir("out" + QString::number(qHash(set)));
        const ProcessRun exported = runCli({"export", set, "--out", out, "--channel", "all", "--sha256"});
        EXPECT_EQ(exported.code, 1) << exported.err.toStdString();
        EXPECT_EQ(exported.out, rawExport.out); // the same files, the same hashes
    }

    // The acquisition's own MD5 goes into the report.
    const QString report = tmp.filePath("e01.xml");
    ASSERT_EQ(runCli({"export", tmp.filePath("plain/case.E01"), "--out", dir("rep"), "--channel", "2", "--report", report}).code, 0);
    QFile whole(image);
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    const QString md5 = QString::fromLatin1(QCryptographicHash::hash(whole.readAll(), QCryptographicHash::Md5).toHex());
    EXPECT_TRUE(readReport(report).imageHashes.filter(md5).size() == 1) << readReport(report).imageHashes.join(' ').toStdString();
    // verify reads the copies' bytes back through any form of the same disk.
    for (const QString &set : {tmp.filePath("plain/case.E01"), tmp.filePath("split/disk.001")}) {
        const ProcessRun v = runCli({"verify", report, "--source", set});
        EXPECT_EQ(v.code, 0) << v.out.toStdString() << v.err.toStdString();
        EXPECT_EQ(v.out.count("; source: OK\n"), 1) << v.out.toStdString();
    }

    // A segment missing from the middle of each set.
    ASSERT_TRUE(QFile::remove(tmp.filePath("plain/case.E02")) && QFile::remove(tmp.filePath("split/disk.002")));
    for (const auto &c : {std::make_pair(tmp.filePath("plain/case.E01"), QStringLiteral("case.E02")),
                          std::make_pair(tmp.filePath("split/disk.001"), QStringLiteral("disk.002"))}) {
        const ProcessRun r = runCli({"list", c.first});
        EXPECT_EQ(r.code, 2);
        EXPECT_TRUE(r.err.contains(c.second)) << r.err.toStdString();
    }
}

// A directory of looping chains: listed up to the scan's bound, said on stderr, exit 1.
TEST(HostileDirectory, ListedUpToTheBoundAndSaid)
{
    QTemporaryDir tmp;
    ImageBuilder b(2097152); // 1 GiB: 49,152 records
    b.recorderSignature();
    const VolumeInfo info = b.layout();
    const uint32_t records = info.dir_size * 16;
    for (uint32_t i = info.rev_clu; i < records; ++i) {
        RecordFields r;
        r.index = i;
        r.chainCount = 65535;
        r.nextCluster = i + 1 < records ? i + 1 : info.rev_clu;
        r.startTime = sampleTime(8, 0) + i;
        r.endTime = r.startTime;
        r.chainId = 9;
        b.record(r);
    }
    const QString image = tmp.filePath("hostile.img");
    ASSERT_TRUE(b.write(image));
    const ProcessRun r = runCli({"list", image});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out.count('\n'), int(scanClusterBound(records) / 65536));
    EXPECT_TRUE(r.err.contains("links more clusters than the disk holds")) << r.err.toStdString();
    EXPECT_LT(r.ms, 20000);
}

} // namespace
