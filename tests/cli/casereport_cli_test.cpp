// The case record through the real korvath-cli: case details and an observed
// clock in both reports, the readable page as headless Chromium holds it, and
// verify against changed, missing and moved files and against two sources.
#include "dfxmlreport.h"
#include "faultdevice.h"

#include <QRegularExpression>
#include <QStandardPaths>

using namespace korvath;
using namespace korvath::testkit;

namespace {

const QString kFirst = QStringLiteral("2024-03-01 08-00-00_2024-03-01 08-10-00_CAM1.h264");
const QString kCut = QStringLiteral("2024-03-01 09-00-00_2024-03-01 09-05-00_CAM1.h264");
const QString kCam2 = QStringLiteral("2024-03-01 10-00-00_2024-03-01 10-01-00_CAM2.h264");

class CaseReportCli : public ThreeRecordingDisk
{
protected:
    // An export of every channel with its report in the folder it writes.
    ProcessRun exportCase(const QString &out, const QStringList &extra = {})
    {
        return runCli(QStringList{"export", image, "--out", out, "--channel", "all", "--report", out + "/case.xml"} + extra);
    }
    CaseReport readBack(const QString &path)
    {
        CaseReport r;
        QString error;
        EXPECT_TRUE(readDfxmlReport(path, &r, &error)) << error.toStdString();
        return r;
    }
};

// One export with everything a case record holds: case details, a clock
// reading, a loss and a recording that could not be written; both reports say
// all of it, the page as the browser shows it.
TEST_F(CaseReportCli, CaseDetailsClockLossesAndUnwrittenInBothReports)
{
    const QString out = dir("case");
    ASSERT_TRUE(QDir().mkpath(out + "/CAM2/" + kCam2 + ".part")); // in the way of its temporary file
    const ProcessRun r = exportCase(out, {"--case", "C-2024/117", "--exhibit", "EX 7", "--examiner", "A. N. Other",
                                      "--note", "seized at the shop", "--note", "recorder: 4-channel",
                                      "--clock-observed", "2024-03-01 08:01:30=2024-03-01 08:00:00"});
    EXPECT_EQ(r.code, 1) << r.err.toStdString();

    const CaseReport rep = readBack(out + "/case.xml");
    EXPECT_EQ(rep.caseDetails.caseNumber, "C-2024/117");
    EXPECT_EQ(rep.caseDetails.exhibit, "EX 7");
    EXPECT_EQ(rep.caseDetails.examiner, "A. N. Other");
    EXPECT_EQ(rep.caseDetails.notes, (QStringList{"seized at the shop", "recorder: 4-channel"}));
    EXPECT_EQ(rep.clockOffset, std::optional<qint64>(90));
    ASSERT_TRUE(rep.clockObservation);
    EXPECT_EQ(clockObservationText(*rep.clockObservation), "2024-03-01 08:01:30=2024-03-01 08:00:00");
    ASSERT_EQ(rep.files.size(), 2u);
    ASSERT_EQ(rep.notWritten.size(), 1u);
    EXPECT_EQ(rep.notWritten[0].name, kCam2);

    const QString page = out + "/case.html";
    const QString html = QString::fromUtf8(fileBytes(page));
    EXPECT_FALSE(html.contains("<script") || html.contains("src=") || html.contains("href=")) << "nothing runs or is fetched";
    EXPECT_EQ(QDir(out).entryList(QDir::Files | QDir::Hidden), (QStringList{"case.html", "case.xml"}));

    if (const QString why = browserMissing(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString() << ": the page is not opened in a browser";
    const QString dom = tmp.filePath("dom.html");
    const ProcessRun browser = pageScreenshot(page, dom);
    ASSERT_EQ(browser.code, 0) << browser.err.toStdString();
    const QString shown = QString::fromUtf8(fileBytes(dom));
    const auto has = [&](const QString &pattern) {
        EXPECT_TRUE(QRegularExpression(pattern).match(shown).hasMatch()) << pattern.toStdString();
    };
    const auto e = [](const QString &text) { return QRegularExpression::escape(text); };
    has("<td>Case</td><td>C-2024/117</td>");
    has("<td>Exhibit</td><td>EX 7</td>");
    has("<td>Examiner</td><td>A\\. N\\. Other</td>");
    has("<td>Note</td><td>seized at the shop</td>[\\s\\S]*<td>Note</td><td>recorder: 4-channel</td>");
    has("<td>Offset</td><td>\\+00:01:30 ");
    has("the recorder showed 2024-03-01 08:01:30 when the true time was 2024-03-01 08:00:00");
    // Every file with its size and the hash of its bytes, its recorder and true times.
    const struct {
        QString name;
        const char *times;
    } files[] = {{kFirst, "2024-03-01 08:00:00.*2024-03-01 08:10:00.*2024-03-01 07:58:30.*2024-03-01 08:08:30"},
                 {kCut, "2024-03-01 09:00:00.*2024-03-01 09:05:00.*2024-03-01 08:58:30.*2024-03-01 09:03:30"}};
    for (const auto &f : files) {
        const QByteArray bytes = fileBytes(out + "/CAM1/" + f.name);
        ASSERT_EQ(bytes.size(), (f.name == kFirst ? 4 : 2) * int(kClusterBytes));
        has(QStringLiteral("<tr><td>CAM1/%1</td><td class=\"n\">%2</td><td class=\"h\">%3</td>[^\n]*%4")
                .arg(e(f.name))
                .arg(bytes.size())
                .arg(sha256Hex(bytes), QLatin1String(f.times)));
    }
    // The loss: the sectors of cluster 78 past the image's end, zeros at the end of the file.
    const uint64_t lostFrom = kSectors, lostTo = b.clusterFirstSector(78) + kClusterSectors - 1;
    const uint64_t fileFrom = kClusterBytes + (lostFrom - b.clusterFirstSector(78)) * kSectorSize;
    has(QStringLiteral("<td>CAM1/%1</td><td>%2\u2013%3</td><td class=\"n\">%4</td><td>%5\u2013%6</td>")
            .arg(e(kCut))
            .arg(lostFrom)
            .arg(lostTo)
            .arg(lostTo - lostFrom + 1)
            .arg(fileFrom)
            .arg(2 * kClusterBytes - 1));
    has(QStringLiteral("<td>%1</td><td class=\"bad\">[^<]*could not be created").arg(e(kCam2)));
    has("<td>Command line</td><td class=\"h\">[^<]*--clock-observed");
    has("<td>Library</td><td>Qt ");
}

// verify: each file re-hashed where the report says it is, whatever folder the
// case was moved to; a changed byte and a missing file are each named.
TEST_F(CaseReportCli, VerifyNamesTheFileThatChangedOrIsMissing)
{
    const struct {
        const char *name;
        QString touched; // under CAM1
        int flipAt;      // -1: removed
        int code;
    } cases[] = {
        {"untouched", QString(), 0, 0},
        {"one byte changed", kCut, 3 * 512 + 7, 1},
        {"one byte changed in the zeros of the loss", kCut, int(kClusterBytes) + 4095 * 512, 1},
        {"missing", kFirst, -1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString out = dir(QString::fromLatin1(c.name));
        ASSERT_EQ(exportCase(out).code, 1); // the cut cluster is a loss, the files are whole
        // Moved as a whole: the names are relative to the report's folder.
        const QString moved = out + "-moved";
        ASSERT_TRUE(QDir().rename(out, moved));
        const QString target = moved + "/CAM1/" + c.touched;
        if (c.flipAt >= 0 && !c.touched.isEmpty()) {
            QFile f(target);
            ASSERT_TRUE(f.open(QIODevice::ReadWrite));
            ASSERT_TRUE(f.seek(c.flipAt));
            char byte = 0;
            ASSERT_TRUE(f.getChar(&byte) && f.seek(c.flipAt) && f.putChar(char(byte ^ 0x20)));
        } else if (c.flipAt < 0) {
            ASSERT_TRUE(QFile::remove(target));
        }
        const ProcessRun v = runCli({"verify", moved + "/case.xml"});
        EXPECT_EQ(v.code, c.code) << v.err.toStdString();
        QStringList expected;
        for (const QString &name : {kFirst, kCut}) {
            const char *state = name != c.touched ? "OK" : c.flipAt < 0 ? "MISSING" : "CHANGED";
            expected << QStringLiteral("CAM1/%1: %2").arg(name, QLatin1String(state));
        }
        expected << "CAM2/" + kCam2 + ": OK";
        QStringList lines = v.out.split('\n', Qt::SkipEmptyParts);
        for (QString &line : lines)
            line = line.section(QStringLiteral(" ("), 0, 0); // a changed file's hashes follow
        EXPECT_EQ(lines, expected) << v.out.toStdString();
        EXPECT_TRUE(v.err.contains(QStringLiteral("%1 of 3 files OK").arg(c.code == 0 ? 3 : 2))) << v.err.toStdString();
    }

    // A report written beside a relative --out names its files from its own folder.
    const QString rel = QDir::current().relativeFilePath(dir("relative"));
    ASSERT_TRUE(QDir().mkpath(rel + "/out"));
    ASSERT_EQ(runCli({"export", image, "--out", rel + "/out", "--channel", "2", "--report", rel + "/case.xml"}).code, 0);
    EXPECT_EQ(readBack(rel + "/case.xml").files.at(0).filename, "out/CAM2/" + kCam2);
    EXPECT_EQ(runCli({"verify", rel + "/case.xml"}).out, "out/CAM2/" + kCam2 + ": OK\n");
}

// verify --source reads each native copy's byte runs back: they give the
// recorded hash on the image exported from (zeros where it was lost), and not
// on another image that differs in one cluster of one recording.
TEST_F(CaseReportCli, VerifyAgainstTheSourceShowsWhichDiskTheFilesCameFrom)
{
    const QString out = dir("src");
    ASSERT_EQ(exportCase(out).code, 1);
    ImageBuilder other = b;
    other.clusterBytes(11, QByteArray(4096, 'x'));
    const QString otherImage = tmp.filePath("other.img");
    ASSERT_TRUE(other.write(otherImage));

    const struct {
        QString source;
        int code;
        const char *first, *cut, *cam2;
    } cases[] = {{image, 0, "OK", "OK", "OK"}, {otherImage, 1, "DIFFERENT", "OK", "OK"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.source.toStdString());
        const ProcessRun v = runCli({"verify", out + "/case.xml", "--source", c.source});
        EXPECT_EQ(v.code, c.code) << v.err.toStdString();
        QStringList lines = v.out.split('\n', Qt::SkipEmptyParts);
        for (QString &line : lines)
            line = line.section(QStringLiteral(" ("), 0, 0);
        EXPECT_EQ(lines, (QStringList{"CAM1/" + kFirst + ": OK; source: " + c.first,
                                      "CAM1/" + kCut + ": OK; source: " + c.cut,
                                      "CAM2/" + kCam2 + ": OK; source: " + c.cam2}))
            << v.out.toStdString();
    }
    // The hash the other disk gives is the one of its bytes at those places.
    QByteArray otherBytes;
    for (const uint32_t cluster : {10, 11, 12, 30})
        otherBytes += readFileBytes(otherImage, other.clusterFirstSector(cluster) * kSectorSize, kClusterBytes);
    EXPECT_TRUE(runCli({"verify", out + "/case.xml", "--source", otherImage}).out.contains(sha256Hex(otherBytes)));
}

TEST_F(CaseReportCli, UsageErrorsSayWhyAndWriteNothing)
{
    const QString out = dir("usage");
    const QString report = out + "/case.xml";
    const QString observed = "2024-03-01 10:03:12=2024-03-01 10:00:00";
    QFile junk(tmp.filePath("junk.xml"));
    const QByteArray broken = QByteArray("<dfxml xmlns=\"") + kDfxmlNamespace + "\">\n<fileobject>\n</dfxml>\n";
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly) && junk.write(broken) == broken.size());
    junk.close();
    const struct {
        QStringList args;
        const char *says;
    } cases[] = {
        {{"export", image, "--out", out, "--report", report, "--clock-offset", "+00:03:12", "--clock-observed", observed},
         "give one of them"},
        {{"export", image, "--out", out, "--clock-observed", "1999-12-31 23:59:59=2000-01-01 00:00:00"}, "from 2000 to 2063"},
        {{"export", image, "--out", out, "--clock-observed", "2024-03-01 10:03:12"}, "RECORDER_TIME=TRUE_TIME"},
        {{"list", image, "--to", "2063-12-31 23:59:00", "--clock-observed", observed}, "outside the years"},
        {{"export", image, "--out", out, "--case", "C-1"}, "give --report"},
        {{"export", image, "--out", out, "--report", out + "/case.html"}, "give a name like case.xml"},
        {{"export", image, "--out", out, "--source", image}, "does not apply to 'export'"},
        {{"verify"}, "needs the case report"},
        {{"verify", report, "--channel", "1"}, "does not apply to 'verify'"},
        {{"verify", tmp.filePath("junk.xml")}, "line 3: "},
        {{"verify", image}, "is not a case report"},
    };
    for (const auto &c : cases) {
        const ProcessRun r = runCli(c.args);
        EXPECT_EQ(r.code, 2) << c.args.join(' ').toStdString();
        EXPECT_EQ(r.errLines().size(), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String(c.says))) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_TRUE(QDir(out).isEmpty()) << c.args.join(' ').toStdString();
    }
    // The readable page is never replaced silently either.
    ASSERT_TRUE(QFile(out + "/case.html").open(QIODevice::WriteOnly));
    const ProcessRun r = exportCase(out);
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("case.html' exists already")) << r.err.toStdString();
    EXPECT_EQ(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"case.html"});
}

} // namespace
