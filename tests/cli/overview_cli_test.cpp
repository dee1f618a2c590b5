// korvath-cli overview and --clock-offset as a user runs them, on images from
// the builder and on the sample disk; the page is read back through its
// markers, and opened in headless Chromium where there is one.
#include "clock.h"
#include "imagebuilder.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace korvath;
using namespace korvath::testkit;

namespace {

RecorderTime stampAt(int y, int mo, int d, int h, int mi, int s = 0)
{
    return packRecorderTime(y, mo, d, h, mi, s);
}

QString text(RecorderTime t)
{
    const RecorderTimeFields f = unpackRecorderTime(t);
    return QString::asprintf("%04u-%02u-%02u %02u:%02u:%02u", f.year, f.month, f.day, f.hour, f.minute, f.second);
}

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

struct Span {
    uint32_t channel = 0; // counted from 0, as the page's markers
    RecorderTime start = 0, end = 0;
    int count = 1;
    bool operator<(const Span &o) const
    {
        return std::tie(channel, start, end) < std::tie(o.channel, o.start, o.end);
    }
    bool operator==(const Span &o) const { return channel == o.channel && start == o.start && end == o.end; }
};

// What `list --channel C --json` says, as spans.
QVector<Span> listedSpans(const QString &source, const QStringList &extra = {}, const QString &channel = "all")
{
    const ProcessRun r = runCli(QStringList{"list", source, "--channel", channel, "--json"} + extra);
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    QVector<Span> spans;
    for (const QJsonValue &v : QJsonDocument::fromJson(r.out.toUtf8()).array()) {
        const QJsonObject o = v.toObject();
        const auto stamp = [](const QString &s) {
            return toRecorderTime(QDateTime::fromString(s, QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        };
        spans.push_back({static_cast<uint32_t>(o.value("channel").toInt() - 1), stamp(o.value("start").toString()),
                         stamp(o.value("end").toString())});
    }
    std::sort(spans.begin(), spans.end());
    return spans;
}

struct Page {
    QList<uint32_t> lanes;
    QVector<Span> bars; // each checked to sit in the lane of its channel
    QVector<Span> rows; // table rows, with their table's channel
    int images = 0;
};

Page parsePage(const QString &html)
{
    Page p;
    auto lanes = QRegularExpression(QStringLiteral("<div class=\"lane\" data-channel=\"(\\d+)\">(.*?)</div></div>\n"),
                                    QRegularExpression::DotMatchesEverythingOption)
                     .globalMatch(html);
    const QRegularExpression barRe(QStringLiteral(
        "<div class=\"bar\" data-channel=\"(\\d+)\" data-start=\"(\\d+)\" data-end=\"(\\d+)\" data-count=\"(\\d+)\""));
    while (lanes.hasNext()) {
        const QRegularExpressionMatch lane = lanes.next();
        const uint32_t channel = lane.captured(1).toUInt();
        p.lanes << channel;
        auto bars = barRe.globalMatch(lane.captured(2));
        while (bars.hasNext()) {
            const QRegularExpressionMatch b = bars.next();
            EXPECT_EQ(b.captured(1).toUInt(), channel) << "a bar outside its channel's lane";
            p.bars.push_back({channel, b.captured(2).toUInt(), b.captured(3).toUInt(), b.captured(4).toInt()});
        }
    }
    auto tables = QRegularExpression(QStringLiteral("<table class=\"rec\" data-channel=\"(\\d+)\"[^>]*>(.*?)</table>"),
                                     QRegularExpression::DotMatchesEverythingOption)
                      .globalMatch(html);
    const QRegularExpression rowRe(QStringLiteral("<tr data-start=\"(\\d+)\" data-end=\"(\\d+)\">"));
    while (tables.hasNext()) {
        const QRegularExpressionMatch t = tables.next();
        auto rows = rowRe.globalMatch(t.captured(2));
        while (rows.hasNext()) {
            const QRegularExpressionMatch r = rows.next();
            p.rows.push_back({t.captured(1).toUInt(), r.captured(1).toUInt(), r.captured(2).toUInt()});
        }
    }
    std::sort(p.rows.begin(), p.rows.end());
    p.images = html.count(QStringLiteral("<img alt=\"preview (derived)\" src=\"data:image/png;base64,"));
    return p;
}

class OverviewCli : public ::testing::Test
{
protected:
    static constexpr uint64_t kSectors = 200 * 4096;

    void SetUp() override
    {
        b.recorderSignature();
        // Channel 1: across midnight into a leap day's morning; channel 6 a
        // run of short recordings that merge on the timeline; channel 64 alone.
        b.recording(0, stampAt(2024, 2, 28, 23, 50), stampAt(2024, 2, 28, 23, 58), {5, 6});
        b.recording(0, stampAt(2024, 2, 29, 0, 5), stampAt(2024, 2, 29, 0, 10), {7});
        b.recording(0, stampAt(2024, 2, 29, 9, 0), stampAt(2024, 2, 29, 9, 30), {8, 9, 10});
        for (uint32_t i = 0; i < 40; ++i)
            b.recording(5, stampAt(2024, 2, 29, 12, static_cast<int>(i), 0), stampAt(2024, 2, 29, 12, static_cast<int>(i), 40),
                        {20 + i}, 0x100 + i);
        b.recording(63, stampAt(2024, 3, 1, 1, 0), stampAt(2024, 3, 1, 2, 0), {70, 71}, 0x200);
        ASSERT_TRUE(b.write(image));
    }

    QTemporaryDir tmp;
    QString image = tmp.filePath(QStringLiteral("disk.img"));
    ImageBuilder b{kSectors};
};

TEST_F(OverviewCli, ClockOffsetMovesTheBoundsAndShowsBothTimes)
{
    // Bounds given in true time; the recorder's names that come back.
    const struct {
        const char *offset, *from, *to;
        QStringList names;
    } cases[] = {
        // +00:10: true 23:55 is the recorder's 00:05 of the next day.
        {"+00:10:00", "2024-02-28 23:55:00", "2024-02-29 00:00:00",
         {"2024-02-29 00-05-00_2024-02-29 00-10-00_CAM1.h264"}},
        // -00:20: true 00:15 is the recorder's 23:55 of the day before.
        {"-00:20:00", "2024-02-29 00:10:00", "2024-02-29 00:15:00",
         {"2024-02-28 23-50-00_2024-02-28 23-58-00_CAM1.h264"}},
        // Days: the recorder runs a day and an hour behind.
        {"-1.01:00:00", "2024-03-01 10:00:00", "2024-03-01 10:10:00",
         {"2024-02-29 09-00-00_2024-02-29 09-30-00_CAM1.h264"}},
        // Without an offset the same bounds are the recorder's.
        {nullptr, "2024-02-28 23:55:00", "2024-02-29 00:00:00", {"2024-02-28 23-50-00_2024-02-28 23-58-00_CAM1.h264"}},
    };
    for (const auto &c : cases) {
        QStringList args{"list", image, "--channel", "1", "--json", "--from", c.from, "--to", c.to};
        if (c.offset)
            args << "--clock-offset" << c.offset;
        const ProcessRun r = runCli(args);
        ASSERT_EQ(r.code, 0) << c.offset << ": " << r.err.toStdString();
        QStringList names;
        qint64 offset = 0;
        if (c.offset)
            ASSERT_TRUE(parseClockOffset(QString::fromLatin1(c.offset), &offset, nullptr));
        for (const QJsonValue &v : QJsonDocument::fromJson(r.out.toUtf8()).array()) {
            const QJsonObject o = v.toObject();
            names << o.value("name").toString();
            if (!c.offset) {
                EXPECT_FALSE(o.contains("true_start") || o.contains("clock_offset"));
                continue;
            }
            // The recorder's stamps stay; the true ones are those minus the offset.
            const QDateTime start = QDateTime::fromString(o.value("start").toString(), "yyyy-MM-dd HH:mm:ss");
            const QDateTime end = QDateTime::fromString(o.value("end").toString(), "yyyy-MM-dd HH:mm:ss");
            EXPECT_EQ(o.value("true_start").toString(), start.addSecs(-offset).toString("yyyy-MM-dd HH:mm:ss"));
            EXPECT_EQ(o.value("true_end").toString(), end.addSecs(-offset).toString("yyyy-MM-dd HH:mm:ss"));
            EXPECT_EQ(o.value("clock_offset").toString(), QString::fromLatin1(c.offset));
        }
        EXPECT_EQ(names, c.names) << (c.offset ? c.offset : "no offset");
    }

    // The plain list gains the two true columns at its end, only with the option.
    const ProcessRun plain = runCli({"list", image, "--channel", "all", "--clock-offset", "-00:20:00"});
    const ProcessRun bare = runCli({"list", image, "--channel", "all"});
    ASSERT_EQ(plain.outLines().size(), 44);
    ASSERT_EQ(bare.outLines().size(), 44);
    EXPECT_EQ(plain.outLines().first().split('\t'),
              (QStringList{"1", "2024-02-28 23-50-00_2024-02-28 23-58-00_CAM1.h264", "2", "4194304",
                           "2024-02-29 00:10:00", "2024-02-29 00:18:00"}));
    for (int i = 0; i < 44; ++i)
        EXPECT_EQ(plain.outLines()[i].split('\t').mid(0, 4), bare.outLines()[i].split('\t'));

    // Export: the range moves, the names on disk stay the recorder's.
    const QString out = tmp.filePath("out");
    QDir().mkpath(out);
    const ProcessRun exported = runCli({"export", image, "--out", out, "--channel", "1", "--from", "2024-02-28 23:55:00", "--to",
                              "2024-02-29 00:00:00", "--clock-offset", "+00:10:00"});
    EXPECT_EQ(exported.code, 0) << exported.err.toStdString();
    EXPECT_EQ(QDir(out + "/CAM1").entryList(QDir::Files), QStringList{"2024-02-29 00-05-00_2024-02-29 00-10-00_CAM1.h264"});
}

TEST_F(OverviewCli, OffsetsOutsideTheStampYearsAreUsageErrors)
{
    const QString page = tmp.filePath("page.html");
    const struct {
        QStringList args;
        const char *says;
    } cases[] = {
        {{"list", image, "--from", "2000-01-01 00:00:10", "--clock-offset", "-00:00:11"}, "1999-12-31 23:59:59"},
        {{"list", image, "--to", "2063-12-31 23:00:00", "--clock-offset", "+01:00:00"}, "2064-01-01 00:00:00"},
        {{"list", image, "--to", "2063-12-31", "--clock-offset", "+00:00:01"}, "outside the years"},
        {{"overview", image, "--out", page, "--from", "2000-01-01", "--clock-offset", "-2.00:00:00"}, "1999-12-30"},
        {{"list", image, "--clock-offset", "00:03"}, "expected [+|-][D.]HH:MM:SS"},
        {{"list", image, "--clock-offset", "+24:00:00"}, "hours must be 00-23"},
        {{"disks", "--clock-offset", "+00:00:01"}, "does not apply to 'disks'"},
        {{"list", image, "--frames", "3"}, "does not apply to 'list'"},
        {{"overview", image}, "needs --out FILE.html"},
        {{"overview", image, "--out", tmp.path()}, "is a folder"},
        {{"overview", image, "--out", tmp.filePath("missing/page.html")}, "does not exist"},
        {{"overview", image, "--out", page, "--frames", "0"}, "from 1 to 12"},
    };
    for (const auto &c : cases) {
        const ProcessRun r = runCli(c.args);
        EXPECT_EQ(r.code, 2) << c.args.join(' ').toStdString();
        EXPECT_EQ(r.errLines().size(), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String(c.says))) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(page));
    }
    // A bound the offset keeps inside the years is fine at the very edge.
    EXPECT_EQ(runCli({"list", image, "--from", "2000-01-01 00:00:10", "--clock-offset", "-00:00:10"}).code, 0);
}

TEST_F(OverviewCli, AllChannelsIsTheUnionOfTheSixtyFourLists)
{
    const QStringList range{"--from", "2024-02-29 00:00:00", "--to", "2024-03-01 01:30:00"};
    QVector<Span> single;
    for (int channel = 1; channel <= 64; ++channel)
        single += listedSpans(image, range, QString::number(channel));
    std::sort(single.begin(), single.end());
    EXPECT_EQ(single.size(), 43);
    EXPECT_EQ(listedSpans(image, range), single);
}

TEST_F(OverviewCli, PageHoldsEveryRecordingOnceInItsLaneAndTable)
{
    const QString page = tmp.filePath("page.html");
    const ProcessRun r = runCli({"overview", image, "--out", page});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_EQ(r.errLines(), QStringList{"korvath-cli: 44 recordings of 3 channels written to " + page});
    const QString html = readText(page);
    const Page p = parsePage(html);
    const QVector<Span> listed = listedSpans(image);
    ASSERT_EQ(listed.size(), 44);

    EXPECT_EQ(p.lanes, (QList<uint32_t>{0, 5, 63}));
    EXPECT_EQ(p.rows, listed);
    // Every recording lies inside one bar of its lane; merged bars count all they hold.
    QMap<uint32_t, int> counted, expected;
    for (const Span &bar : p.bars)
        counted[bar.channel] += bar.count;
    for (const Span &rec : listed) {
        ++expected[rec.channel];
        int holding = 0;
        for (const Span &bar : p.bars)
            holding += bar.channel == rec.channel && bar.start <= rec.start && rec.end <= bar.end;
        EXPECT_EQ(holding, 1) << text(rec.start).toStdString();
    }
    EXPECT_EQ(counted, expected);
    EXPECT_LT(p.bars.size(), 44) << "forty recordings of a minute each over two days are narrower than a pixel";
    EXPECT_TRUE(html.contains("Source</td><td>" + image));
    EXPECT_TRUE(html.contains("Clock offset</td><td>none given"));

    // It is not replaced without --overwrite, and is with it.
    ASSERT_TRUE(QFile::resize(page, 10));
    const ProcessRun again = runCli({"overview", image, "--out", page, "--from", "2024-02-29"});
    EXPECT_EQ(again.code, 2);
    EXPECT_EQ(QFileInfo(page).size(), 10);
    const ProcessRun replaced = runCli({"overview", image, "--out", page, "--from", "2024-02-29 06:00:00", "--to", "2024-03-01",
                              "--clock-offset", "+00:30:00", "--overwrite"});
    ASSERT_EQ(replaced.code, 0) << replaced.err.toStdString();
    const QString offsetHtml = readText(page);
    EXPECT_EQ(parsePage(offsetHtml).rows,
              listedSpans(image, {"--from", "2024-02-29 06:00:00", "--to", "2024-03-01", "--clock-offset", "+00:30:00"}));
    EXPECT_EQ(parsePage(offsetHtml).rows.size(), 42);
    EXPECT_TRUE(offsetHtml.contains("+00:30:00 (recorder minus true time)"));
    // The range the page names is the recorder's, converted from the true bounds, and the true one.
    EXPECT_TRUE(offsetHtml.contains(QStringLiteral("2024-02-29 06:30:00 \u2013 2024-03-02 00:29:59")));
    EXPECT_TRUE(offsetHtml.contains(QStringLiteral("true 2024-02-29 06:00:00 \u2013 2024-03-01 23:59:59")));
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden).filter("page"), QStringList{"page.html"});
}

TEST_F(OverviewCli, DisksNameModelSerialAndTheFileBehindALoopDevice)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "attaching a loop device needs root";
    // 3 GiB, sparse, so that the drive list keeps it.
    ImageBuilder big(3ull << 21);
    const QString bigImage = tmp.filePath("big.img");
    ASSERT_TRUE(big.recorderSignature().write(bigImage));
    const ProcessRun attached = runProgram("losetup", {"--read-only", "--find", "--show", bigImage});
    const QString device = attached.out.trimmed();
    if (attached.code != 0 || device.isEmpty())
        GTEST_SKIP() << "no loop device could be attached here";
    const ProcessRun plain = runCli({"disks"}), json = runCli({"disks", "--json"});
    runProgram("losetup", {"-d", device});

    QStringList line;
    for (const QString &l : plain.outLines())
        if (l.split('\t').value(3) == device)
            line = l.split('\t');
    // A loop device reports no model or serial: the columns are there, empty.
    EXPECT_EQ(line.mid(1), (QStringList{"3", "Male disk", device, "", ""})) << plain.out.toStdString();
    QJsonObject drive;
    for (const QJsonValue &v : QJsonDocument::fromJson(json.out.toUtf8()).array())
        if (v.toObject().value("device").toString() == device)
            drive = v.toObject();
    EXPECT_EQ(drive.value("number").toInt(-1), line.value(0).toInt());
    EXPECT_EQ(drive.value("model"), QJsonValue(QString()));
    EXPECT_EQ(drive.value("serial"), QJsonValue(QString()));
    EXPECT_EQ(drive.value("backing_file").toString(), QFileInfo(bigImage).canonicalFilePath());
}

#ifdef KORVATH_SAMPLE_DISK_PATH
class SampleDisk : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const ProcessRun made = runProgram(QStringLiteral(KORVATH_SAMPLE_DISK_PATH), {sample});
        ASSERT_EQ(made.code, 0) << made.err.toStdString();
    }
    QTemporaryDir tmp;
    QString sample = tmp.filePath(QStringLiteral("sample-disk.img"));
};

TEST_F(SampleDisk, FramesEmbedAPreviewPerRecordingAndChromiumDrawsThePage)
{
    const QString page = tmp.filePath("sample.html");
    const ProcessRun r = runCli({"overview", sample, "--out", page, "--frames", "2"});
#ifdef KORVATH_HAVE_VIDEO
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const Page p = parsePage(readText(page));
    EXPECT_EQ(p.rows, listedSpans(sample));
    EXPECT_EQ(p.images, 6) << "each sample recording holds video";
#else
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("needs FFmpeg")) << r.err.toStdString();
    ASSERT_EQ(runCli({"overview", sample, "--out", page}).code, 0);
#endif

    if (const QString why = browserMissing(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString() << ": the page is not opened in a browser";
    const QString shot = tmp.filePath("shot.png");
    const ProcessRun browser = pageScreenshot(page, shot, "900x600");
    ASSERT_EQ(browser.code, 0) << browser.err.toStdString();
    const QImage image(shot);
    ASSERT_FALSE(image.isNull());
    // Not blank: the bars' blue is drawn, and so is text.
    int blue = 0, dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            blue += c.red() == 0x1f && c.green() == 0x6f && c.blue() == 0xeb;
            dark += c.lightness() < 60;
        }
    EXPECT_GT(blue, 50);
    EXPECT_GT(dark, 500);
}

// scripts/run makes the sample disk itself here.
class RunScript : public ::testing::Test
{
protected:
    QTemporaryDir tmp;
};

TEST_F(RunScript, WithoutADisplayListsTheSampleAndWritesItsPage)
{
    // scripts/run on prebuilt programs: the build folder holds links to this build's.
    const QString dir = tmp.filePath("build");
    ASSERT_TRUE(QDir().mkpath(dir + "/tests"));
    ASSERT_TRUE(QFile::link(QStringLiteral(KORVATH_CLI_PATH), dir + "/korvath-cli"));
    ASSERT_TRUE(QFile::link(QStringLiteral(KORVATH_SAMPLE_DISK_PATH), dir + "/make-sample-disk"));
    const ProcessRun r = runProgram(QStringLiteral(KORVATH_SOURCE_DIR "/scripts/run"), {}, {"DISPLAY", "WAYLAND_DISPLAY"},
                      {{"KORVATH_BUILD_DIR", dir}, {"KORVATH_NO_BUILD", "1"}});
    ASSERT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("no display")) << r.out.toStdString();
    QStringList listed;
    for (const QString &line : r.outLines())
        if (line.contains(".h264\t"))
            listed << line.split('\t').mid(0, 2).join(' ');
    EXPECT_EQ(listed.size(), 6) << r.out.toStdString();
    EXPECT_TRUE(listed.contains("3 2024-03-01 23-50-00_2024-03-01 23-59-59_CAM3.h264"));
    const QString page = dir + "/sample-overview.html";
    EXPECT_TRUE(r.out.contains(page)) << r.out.toStdString();
    EXPECT_EQ(parsePage(readText(page)).rows.size(), 6);
}
#endif

} // namespace
