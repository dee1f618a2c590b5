#include "clock.h"
#include "overview.h"
#include "testsupport.h"
#include "recordingset.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <algorithm>
#include <gtest/gtest.h>

using namespace korvath;

namespace {

// Seconds of a stamp worked out here, apart from the library's own arithmetic.
qint64 secs(RecorderTime stamp)
{
    const RecorderTimeFields f = unpackRecorderTime(stamp);
    return QDateTime(QDate(int(f.year), int(f.month), int(f.day)), QTime(int(f.hour), int(f.minute), int(f.second)),
                     Qt::UTC)
        .toSecsSinceEpoch();
}

RecorderTime stampOf(const char *text)
{
    return toRecorderTime(QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}

Recording recording(uint32_t channel, RecorderTime start, RecorderTime end, int clusters = 3)
{
    Recording r;
    r.channel = channel;
    r.startTime = start;
    r.endTime = end;
    r.name = recordingFileName(start, end, channel);
    for (int i = 0; i < clusters; ++i)
        r.clusters.push_back(uint32_t(100 + i));
    return r;
}

Recording recording(uint32_t channel, const char *start, const char *end, int clusters = 3)
{
    return recording(channel, stampOf(start), stampOf(end), clusters);
}

OverviewInput input(const QVector<Recording> &recordings)
{
    OverviewInput in;
    in.source.givenPath = QStringLiteral("/tmp/disk.img");
    in.source.sizeBytes = 500107862016ull;
    in.source.layout = volumeInfoForSectors(976773168ull);
    in.source.recorderSignature = true;
    in.from = stampOf("2000-01-01 00:00:00");
    in.to = stampOf("2063-12-31 23:59:59");
    in.recordings = recordings;
    return in;
}

// The page read back through its markers.
struct PageBar {
    uint32_t channel;
    RecorderTime start, end;
    int count;
    double left, width;
    QString title;
};
using Span = std::pair<RecorderTime, RecorderTime>;

struct ParsedPage {
    RecorderTime from = 0, to = 0;
    QVector<uint32_t> lanes;
    QVector<PageBar> bars;
    QMap<uint32_t, QVector<Span>> rows;
    QMap<uint32_t, QStringList> gapLengths;
    QStringList tickLabels;
    QVector<double> tickLefts;
};

QString unescape(QString s)
{
    return s.replace(QLatin1String("&lt;"), QLatin1String("<"))
        .replace(QLatin1String("&gt;"), QLatin1String(">"))
        .replace(QLatin1String("&quot;"), QLatin1String("\""))
        .replace(QLatin1String("&#39;"), QLatin1String("'"))
        .replace(QLatin1String("&amp;"), QLatin1String("&"));
}

ParsedPage parse(const QString &page)
{
    ParsedPage p;
    const QRegularExpressionMatch tl =
        QRegularExpression(QStringLiteral("<div class=\"tl\" data-from=\"(\\d+)\" data-to=\"(\\d+)\">")).match(page);
    if (tl.hasMatch()) {
        p.from = tl.captured(1).toUInt();
        p.to = tl.captured(2).toUInt();
    }
    auto it = QRegularExpression(QStringLiteral("<div class=\"lane\" data-channel=\"(\\d+)\">")).globalMatch(page);
    while (it.hasNext())
        p.lanes.push_back(it.next().captured(1).toUInt());
    // Each bar must sit inside the lane of its own channel.
    it = QRegularExpression(QStringLiteral("<div class=\"lane\" data-channel=\"(\\d+)\">(.*?)</div></div>\n"),
                            QRegularExpression::DotMatchesEverythingOption)
             .globalMatch(page);
    const QRegularExpression barRe(QStringLiteral(
        "<div class=\"bar\" data-channel=\"(\\d+)\" data-start=\"(\\d+)\" data-end=\"(\\d+)\" data-count=\"(\\d+)\" "
        "style=\"left:([0-9.]+)%;width:([0-9.]+)%\" title=\"([^\"]*)\"></div>"));
    while (it.hasNext()) {
        const QRegularExpressionMatch lane = it.next();
        auto bars = barRe.globalMatch(lane.captured(2));
        while (bars.hasNext()) {
            const QRegularExpressionMatch b = bars.next();
            EXPECT_EQ(b.captured(1), lane.captured(1));
            p.bars.push_back({b.captured(1).toUInt(), b.captured(2).toUInt(), b.captured(3).toUInt(),
                              b.captured(4).toInt(), b.captured(5).toDouble(), b.captured(6).toDouble(),
                              unescape(b.captured(7))});
        }
    }
    it = QRegularExpression(QStringLiteral("<table class=\"rec\" data-channel=\"(\\d+)\"[^>]*>(.*?)</table>"),
                            QRegularExpression::DotMatchesEverythingOption)
             .globalMatch(page);
    const QRegularExpression rowRe(QStringLiteral("<tr data-start=\"(\\d+)\" data-end=\"(\\d+)\">"));
    while (it.hasNext()) {
        const QRegularExpressionMatch table = it.next();
        QVector<Span> &rows = p.rows[table.captured(1).toUInt()];
        auto r = rowRe.globalMatch(table.captured(2));
        while (r.hasNext()) {
            const QRegularExpressionMatch row = r.next();
            rows.push_back({row.captured(1).toUInt(), row.captured(2).toUInt()});
        }
    }
    it = QRegularExpression(QStringLiteral("<table class=\"gap\" data-channel=\"(\\d+)\">(.*?)</table>"),
                            QRegularExpression::DotMatchesEverythingOption)
             .globalMatch(page);
    while (it.hasNext()) {
        const QRegularExpressionMatch table = it.next();
        auto r = QRegularExpression(QStringLiteral("<td>([^<]*)</td></tr>")).globalMatch(table.captured(2));
        while (r.hasNext())
            p.gapLengths[table.captured(1).toUInt()].push_back(r.next().captured(1));
    }
    it = QRegularExpression(QStringLiteral("<div class=\"t\" style=\"left:([0-9.]+)%\">([^<]*)</div>")).globalMatch(page);
    while (it.hasNext()) {
        const QRegularExpressionMatch t = it.next();
        p.tickLefts.push_back(t.captured(1).toDouble());
        p.tickLabels.push_back(t.captured(2));
    }
    return p;
}

QMap<uint32_t, QVector<Span>> spansByChannel(const QVector<Recording> &recordings)
{
    QMap<uint32_t, QVector<Span>> out;
    for (const Recording &r : recordings)
        out[r.channel].push_back({r.startTime, r.endTime});
    for (QVector<Span> &v : out)
        std::sort(v.begin(), v.end());
    return out;
}

// Every drawable recording lies inside a bar of its lane, the bars' counts
// add up to the recordings, and each bar sits where its times put it.
void expectBarsCover(const ParsedPage &p, const QVector<Recording> &recordings)
{
    ASSERT_LT(p.from, p.to);
    const double span = double(secs(p.to) - secs(p.from));
    QMap<uint32_t, int> counted, expected;
    for (const PageBar &b : p.bars) {
        counted[b.channel] += b.count;
        EXPECT_NEAR(b.left, double(secs(b.start) - secs(p.from)) * 100.0 / span, 0.0011);
        EXPECT_NEAR(b.width, double(secs(b.end) - secs(b.start)) * 100.0 / span, 0.0021);
    }
    for (const Recording &r : recordings) {
        ++expected[r.channel];
        const bool inside = std::any_of(p.bars.begin(), p.bars.end(), [&](const PageBar &b) {
            return b.channel == r.channel && b.start <= r.startTime && b.end >= r.endTime;
        });
        EXPECT_TRUE(inside) << r.name.toStdString();
    }
    EXPECT_EQ(counted, expected);
}

TEST(Overview, SmallPageHoldsEveryRecordingInPlace)
{
    const QVector<Recording> recs = {
        recording(0, "2016-03-05 08:00:00", "2016-03-05 09:00:00"),
        recording(0, "2016-03-05 12:30:00", "2016-03-05 13:00:10", 40),
        recording(2, "2016-03-05 06:00:00", "2016-03-05 18:00:00"),
        recording(0, "2016-03-04 23:00:00", "2016-03-05 01:00:00"),
        recording(2, "2016-03-05 20:00:00", "2016-03-05 20:00:00"), // zero length: still a bar
    };
    const ParsedPage p = parse(overviewHtml(input(recs)));
    EXPECT_EQ(p.lanes, (QVector<uint32_t>{0, 2}));
    EXPECT_EQ(p.from, stampOf("2016-03-04 23:00:00"));
    EXPECT_EQ(p.to, stampOf("2016-03-05 20:00:00"));
    ASSERT_EQ(p.bars.size(), recs.size());
    for (const PageBar &b : p.bars)
        EXPECT_EQ(b.count, 1);
    expectBarsCover(p, recs);
    EXPECT_EQ(p.rows, spansByChannel(recs));
    // The tooltip names the recording, its times, length, clusters and size.
    const auto bar = std::find_if(p.bars.begin(), p.bars.end(),
                                  [&](const PageBar &b) { return b.start == recs[1].startTime; });
    ASSERT_NE(bar, p.bars.end());
    EXPECT_EQ(bar->title.toStdString(), recs[1].name.toStdString()
                                            + "\n2016-03-05 12:30:00 \u2013 2016-03-05 13:00:10"
                                              "\nlength 0:30:10, 40 clusters, 80 MiB");
}

TEST(Overview, TablesShowTimesLengthsAndTrueTimes)
{
    OverviewInput in = input({recording(1, "2016-03-05 23:58:00", "2016-03-06 00:04:12", 7)});
    in.clockOffset = 192; // +00:03:12
    const QString page = overviewHtml(in);
    EXPECT_TRUE(page.contains(QStringLiteral(
        "<td>2016-03-05 23:58:00<td>2016-03-06 00:04:12<td>2016-03-05 23:54:48<td>2016-03-06 00:01:00"
        "<td>0:06:12<td>7<td>14 MiB\n")))
        << page.toStdString();
    EXPECT_TRUE(page.contains(QStringLiteral("+00:03:12 (recorder minus true time)")));
    // The tooltip gives the true times too, and a second axis runs in true time.
    const ParsedPage p = parse(page);
    ASSERT_EQ(p.bars.size(), 1);
    EXPECT_TRUE(p.bars[0].title.contains(QStringLiteral("true 2016-03-05 23:54:48 \u2013 2016-03-06 00:01:00")));
    EXPECT_TRUE(page.contains(QStringLiteral("<div class=\"nm\">true</div>")));
}

TEST(Overview, NarrowNeighboursMergeAndGapsStayApart)
{
    QVector<Recording> recs;
    // A year on channel 0, so one pixel of 1200 is about seven hours.
    recs.push_back(recording(0, "2016-01-01 00:00:00", "2016-02-01 00:00:00"));
    recs.push_back(recording(0, "2016-12-01 00:00:00", "2016-12-31 00:00:00"));
    // A hundred one-minute recordings within two hours: one bar.
    for (int i = 0; i < 100; ++i) {
        const QDateTime t = QDateTime(QDate(2016, 6, 1), QTime(10, 0), Qt::UTC).addSecs(i * 70);
        recs.push_back(recording(0, toRecorderTime(t), toRecorderTime(t.addSecs(60)), 1));
    }
    // Two short ones a month apart: two bars, the gap between them visible.
    recs.push_back(recording(0, "2016-08-01 00:00:00", "2016-08-01 00:10:00"));
    recs.push_back(recording(0, "2016-09-01 00:00:00", "2016-09-01 00:10:00"));
    const ParsedPage p = parse(overviewHtml(input(recs)));
    expectBarsCover(p, recs);
    QVector<int> counts;
    for (const PageBar &b : p.bars)
        counts.push_back(b.count);
    EXPECT_EQ(counts, (QVector<int>{1, 100, 1, 1, 1}));
    EXPECT_TRUE(p.bars[1].title.startsWith(QStringLiteral("100 recordings merged at this scale\n")))
        << p.bars[1].title.toStdString();
    EXPECT_TRUE(p.bars[1].title.endsWith(QStringLiteral("recorded 1:40:00, 100 clusters, 200 MiB")))
        << p.bars[1].title.toStdString();
    EXPECT_EQ(p.rows[0].size(), recs.size());
}

TEST(Overview, LongestGapsPerChannel)
{
    // Gaps of 1 to 7 hours between one-hour recordings; a recording over
    // the 7-hour gap closes it.
    QVector<Recording> recs;
    QDateTime t(QDate(2020, 2, 28), QTime(0, 0), Qt::UTC);
    for (int gap = 1; gap <= 8; ++gap) {
        recs.push_back(recording(3, toRecorderTime(t), toRecorderTime(t.addSecs(3600))));
        t = t.addSecs(3600 + gap * 3600);
    }
    recs.push_back(recording(3, recs[6].startTime, recs[7].startTime));
    const ParsedPage p = parse(overviewHtml(input(recs)));
    EXPECT_EQ(p.gapLengths.value(3),
              (QStringList{"6:00:00", "5:00:00", "4:00:00", "3:00:00", "2:00:00"}));
    EXPECT_EQ(p.rows.value(3).size(), recs.size());
}

TEST(Overview, TickSpacingFollowsTheSpan)
{
    struct Case {
        const char *start, *end, *label;
        int minTicks;
    };
    const Case cases[] = {
        {"2016-03-05 08:10:00", "2016-03-05 08:50:00", "^(\\d{4}-\\d\\d-\\d\\d )?08:\\d\\d$", 3},
        {"2016-03-05 08:10:00", "2016-03-05 18:00:00", "^(\\d{4}-\\d\\d-\\d\\d )?\\d\\d:00$", 4},
        {"2016-03-05 20:00:00", "2016-03-07 04:00:00", "^(2016-03-0[567] )?\\d\\d:00$", 4},
        {"2016-03-05 00:00:00", "2016-03-25 00:00:00", "^2016-03-\\d\\d$", 3},
        {"2016-03-05 00:00:00", "2018-01-25 00:00:00", "^201[678]-\\d\\d$", 4},
        {"2001-03-05 00:00:00", "2030-01-25 00:00:00", "^20[0-3]\\d$", 3},
    };
    for (const Case &c : cases) {
        const ParsedPage p = parse(overviewHtml(input({recording(0, c.start, c.end)})));
        EXPECT_GE(p.tickLabels.size(), c.minTicks) << c.start << " " << c.end;
        EXPECT_LE(p.tickLabels.size(), 13) << c.start << " " << c.end;
        const QRegularExpression re(QString::fromLatin1(c.label));
        for (const QString &label : p.tickLabels)
            EXPECT_TRUE(re.match(label).hasMatch()) << c.start << " -> " << label.toStdString();
        EXPECT_TRUE(std::is_sorted(p.tickLefts.begin(), p.tickLefts.end()));
        for (double left : p.tickLefts) {
            EXPECT_GE(left, 0.0);
            EXPECT_LE(left, 100.0);
        }
    }
}

TEST(Overview, ImpossibleStampsAreListedNotDrawn)
{
    const QVector<Recording> recs = {
        recording(0, "2016-03-05 08:00:00", "2016-03-05 09:00:00"),
        recording(0, packRecorderTime(2016, 2, 31, 8, 0, 0), packRecorderTime(2016, 2, 31, 9, 0, 0)),
        recording(0, "2016-03-05 12:00:00", "2016-03-05 11:00:00"), // ends before it starts
    };
    const QString page = overviewHtml(input(recs));
    const ParsedPage p = parse(page);
    EXPECT_EQ(p.rows, spansByChannel(recs));
    ASSERT_EQ(p.bars.size(), 2);
    EXPECT_EQ(p.bars[0].start, recs[0].startTime);
    EXPECT_EQ(p.bars[1].start, recs[2].startTime);
    EXPECT_TRUE(page.contains(QStringLiteral("<td class=\"bad\">2016-02-31 08:00:00<td class=\"bad\">2016-02-31 09:00:00")));
    EXPECT_TRUE(page.contains(QStringLiteral("<td class=\"bad\">no real date")));
    EXPECT_TRUE(page.contains(QStringLiteral("<td class=\"bad\">ends before start")));
    EXPECT_TRUE(page.contains(QStringLiteral("1 recording(s) with a stamp that is no real date are listed below but not drawn")));

    const ParsedPage none = parse(overviewHtml(input({recs[1]})));
    EXPECT_TRUE(none.bars.isEmpty());
    EXPECT_EQ(none.rows, spansByChannel({recs[1]}));
}

TEST(Overview, TextFromTheDiskIsEscapedAndNothingIsFetched)
{
    Recording hostile = recording(0, "2016-03-05 08:00:00", "2016-03-05 09:00:00");
    hostile.name = QStringLiteral("<img src=x onerror=alert(1)>\"'&\x01.h264");
    OverviewInput in = input({hostile, recording(1, "2016-03-05 10:00:00", "2016-03-05 11:00:00")});
    in.source.givenPath = QStringLiteral("/dev/<script>alert(1)</script>");
    in.source.model = QStringLiteral("Model \"X\" & <b>");
    in.notes = QStringList{QStringLiteral("</table><script src=\"http://example.invalid/x.js\"></script>")};
    in.generated = QStringLiteral("<style>body{background:url(http://example.invalid/)}</style>");
    const QByteArray png("\x89PNG\r\n\x1a\n" "0123456789", 18);
    in.previews.insert(hostile.name, png);
    in.previews.insert(in.recordings[1].name, QByteArray("GIF89a not a png"));
    const QString page = overviewHtml(in);

    // Markup the browser would act on: one inline style, no script, nothing from elsewhere.
    EXPECT_EQ(page.count(QLatin1String("<style>")), 1);
    for (const char *tag : {"<script", "<link", "<iframe", "<object", "<embed", "<base", "http-equiv", "<img src=x", "<b>"})
        EXPECT_FALSE(page.contains(QLatin1String(tag), Qt::CaseInsensitive)) << tag;
    EXPECT_FALSE(page.contains(QLatin1Char('\x01')));
    const QString style = page.section(QLatin1String("<style>"), 1).section(QLatin1String("</style>"), 0, 0);
    EXPECT_FALSE(style.contains(QLatin1String("url(")));
    EXPECT_FALSE(style.contains(QLatin1String("@import")));
    EXPECT_FALSE(QRegularExpression(QStringLiteral("\\shref=")).match(page).hasMatch());
    QRegularExpressionMatchIterator src = QRegularExpression(QStringLiteral("\\ssrc=\"([^\"]*)\"")).globalMatch(page);
    int embedded = 0;
    while (src.hasNext()) {
        EXPECT_TRUE(src.next().captured(1).startsWith(QLatin1String("data:image/png;base64,")));
        ++embedded;
    }
    EXPECT_EQ(embedded, 1); // the GIF is not embedded
    EXPECT_TRUE(page.contains(QLatin1String("data:image/png;base64,") + QString::fromLatin1(png.toBase64())));

    const ParsedPage p = parse(page);
    ASSERT_EQ(p.bars.size(), 2);
    EXPECT_TRUE(p.bars[0].title.startsWith(QStringLiteral("<img src=x onerror=alert(1)>\"'&\uFFFD.h264\n")))
        << p.bars[0].title.toStdString();
    EXPECT_TRUE(page.contains(QStringLiteral("/dev/&lt;script&gt;alert(1)&lt;/script&gt;")));
}

TEST(Overview, WrittenWholeOrNotAtAll)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const OverviewInput in = input({recording(0, "2016-03-05 08:00:00", "2016-03-05 09:00:00")});
    const QString path = dir.filePath(QStringLiteral("overview.html"));
    QString error;
    ASSERT_TRUE(writeOverviewHtml(in, path, &error)) << error.toStdString();
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(f.readAll()), overviewHtml(in));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"overview.html"});

    const QString missing = dir.filePath(QStringLiteral("no/such/folder/overview.html"));
    EXPECT_FALSE(writeOverviewHtml(in, missing, &error));
    EXPECT_TRUE(error.contains(missing)) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(missing));
}

// 50,000 recordings over sixteen channels and a year.
QVector<Recording> largeDisk()
{
    return testkit::busyRecorder(50000, 16);
}

TEST(Overview, FiftyThousandRecordingsStayUnderTenMegabytes)
{
    OverviewInput in = input(largeDisk());
    in.clockOffset = -(2 * 86400 + 3723);
    QElapsedTimer timer;
    timer.start();
    const QByteArray page = overviewHtml(in).toUtf8();
    std::printf("50,000 recordings: %.2f MB in %lld ms\n", page.size() / 1e6, static_cast<long long>(timer.elapsed()));
    EXPECT_LT(page.size(), 10 * 1000 * 1000);

    const ParsedPage p = parse(QString::fromUtf8(page));
    expectBarsCover(p, in.recordings);
    EXPECT_EQ(p.rows, spansByChannel(in.recordings));
    QMap<uint32_t, int> barsPerLane;
    for (const PageBar &b : p.bars)
        ++barsPerLane[b.channel];
    EXPECT_EQ(barsPerLane.size(), 16);
    for (int n : barsPerLane) // each bar or the gap after it takes a pixel
        EXPECT_LE(n, 2 * in.timelineWidth + 2);
}

// The bar colour (#1f6feb), allowing for the browser's rounding.
bool isBar(QRgb c)
{
    return std::abs(qRed(c) - 0x1f) <= 6 && std::abs(qGreen(c) - 0x6f) <= 6 && std::abs(qBlue(c) - 0xeb) <= 6;
}

struct Band {
    int top = -1, bottom = -1, left = 1 << 30, right = -1;
};

// Rows of bar-coloured pixels, gathered into bands of touching rows.
QVector<Band> barBands(const QImage &image)
{
    QVector<Band> bands;
    int lastRow = -10;
    for (int y = 0; y < image.height(); ++y) {
        int left = -1, right = -1;
        for (int x = 0; x < image.width(); ++x)
            if (isBar(image.pixel(x, y))) {
                if (left < 0)
                    left = x;
                right = x;
            }
        if (left < 0)
            continue;
        if (y != lastRow + 1)
            bands.push_back(Band{y, y, left, right});
        Band &b = bands.last();
        b.bottom = y;
        b.left = std::min(b.left, left);
        b.right = std::max(b.right, right);
        lastRow = y;
    }
    return bands;
}

TEST(Overview, BrowserDrawsTheTimeline)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Channel 0 records the first half of the day, channel 1 the second;
    // the first has a preview, a red picture.
    OverviewInput in = input({recording(0, "2016-03-05 00:00:00", "2016-03-05 12:00:00"),
                              recording(1, "2016-03-05 12:00:00", "2016-03-06 00:00:00")});
    QImage red(64, 32, QImage::Format_RGB32);
    red.fill(qRgb(255, 0, 0));
    QBuffer buffer;
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && red.save(&buffer, "PNG"));
    in.previews.insert(in.recordings[0].name, buffer.data());
    const QString page = dir.filePath(QStringLiteral("overview.html"));
    QString error;
    ASSERT_TRUE(writeOverviewHtml(in, page, &error)) << error.toStdString();
    if (const QString why = testkit::browserMissing(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    const QString png = dir.filePath(QStringLiteral("shot.png"));
    const testkit::ProcessRun shot = testkit::pageScreenshot(page, png);
    ASSERT_EQ(shot.code, 0) << shot.err.toStdString();
    QImage image(png);
    ASSERT_FALSE(image.isNull()) << "no screenshot";
    image = image.convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(image.width(), 1280);

    const QVector<Band> bands = barBands(image);
    ASSERT_EQ(bands.size(), 2) << "one band of bar colour per lane";
    const Band &first = bands[0], &second = bands[1];
    EXPECT_LT(first.bottom, second.top);
    EXPECT_GE(first.bottom - first.top, 8) << "bars are drawn, not hairlines";
    // The first bar ends where the second begins, and both are about as wide.
    EXPECT_NEAR(first.right, second.left, 2);
    EXPECT_NEAR(first.right - first.left, second.right - second.left, 3);
    EXPECT_GT(first.right - first.left, 400);
    // Text was drawn too: dark pixels above the timeline.
    int dark = 0;
    for (int y = 0; y < first.top; ++y)
        for (int x = 0; x < image.width(); ++x)
            dark += qGray(image.pixel(x, y)) < 80 ? 1 : 0;
    EXPECT_GT(dark, 500);
    // The preview, from its data: URI, in the table below.
    int redPixels = 0;
    for (int y = second.bottom + 1; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            redPixels += image.pixel(x, y) == qRgb(255, 0, 0) ? 1 : 0;
    EXPECT_EQ(redPixels, 64 * 32);
}

TEST(Overview, BrowserOpensTheLargePage)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const OverviewInput in = input(largeDisk());
    const QString page = dir.filePath(QStringLiteral("overview.html"));
    QString error;
    ASSERT_TRUE(writeOverviewHtml(in, page, &error)) << error.toStdString();
    if (const QString why = testkit::browserMissing(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    const QString png = dir.filePath(QStringLiteral("shot.png"));
    const testkit::ProcessRun shot = testkit::pageScreenshot(page, png);
    ASSERT_EQ(shot.code, 0) << shot.err.toStdString();
    std::printf("browser opened and drew %.1f MB in %lld ms\n", QFileInfo(page).size() / 1e6,
                static_cast<long long>(shot.ms));
    const QImage image = QImage(png).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(barBands(image).size(), 16) << "one band per channel's lane";
}

} // namespace
