#include "overview.h"

#include "clock.h"
#include "html.h"
#include "outputfile.h"

#include <QDate>
#include <QMap>
#include <algorithm>
#include <cmath>

namespace korvath {

namespace {

constexpr int kLongestGaps = 5;
constexpr int kRowsPerBlock = 500;

// One recording with its times in seconds from 2000 (none for an impossible stamp).
struct Entry {
    const Recording *rec = nullptr;
    std::optional<qint64> start, end;
    bool drawable() const { return start && end; }
    qint64 drawnEnd() const { return std::max(*start, *end); }
    std::optional<qint64> length() const
    {
        if (!drawable() || *end < *start)
            return std::nullopt;
        return *end - *start;
    }
};

// A bar of the timeline: one recording or a run of neighbours too narrow to draw apart.
struct Bar {
    RecorderTime startStamp = 0, endStamp = 0;
    qint64 start = 0, end = 0;
    int count = 0;
    int first = 0; // index into the lane's entries
    qint64 clusters = 0;
    qint64 recorded = 0;
};

struct Tick {
    qint64 at; // recorder seconds, where it is drawn
    QString label;
};

// The stamp's fields as stored, "2016-03-05 08:07:09", whether or not they form a date.
QString stampText(RecorderTime stamp)
{
    QString text = recorderTimeText(stamp);
    text[13] = QLatin1Char(':');
    text[16] = QLatin1Char(':');
    return text;
}

QString lengthText(qint64 seconds)
{
    const qint64 days = seconds / 86400;
    const qint64 rest = seconds % 86400;
    QString t = days > 0 ? QString::number(days) + QStringLiteral("d ") + twoDigitText(uint32_t(rest / 3600))
                         : QString::number(rest / 3600);
    return t + QLatin1Char(':') + twoDigitText(uint32_t(rest / 60 % 60)) + QLatin1Char(':')
           + twoDigitText(uint32_t(rest % 60));
}

QString sizeText(qint64 clusters)
{
    const qint64 mib = clusters * (kClusterBytes / (1024 * 1024));
    if (mib < 10240)
        return QString::number(mib) + QStringLiteral(" MiB");
    return QString::number(double(mib) / 1024.0, 'f', 1) + QStringLiteral(" GiB");
}

QString bytesText(quint64 bytes)
{
    return QString::number(bytes) + QStringLiteral(" bytes (")
           + QString::number(double(bytes) / (1024.0 * 1024 * 1024), 'f', 2) + QStringLiteral(" GiB)");
}

QString channelName(uint32_t channel)
{
    return QStringLiteral("CAM") + QString::number(channel + 1);
}

// The true time of a stamp as text (before 2000 or after 2063 too: the
// page only shows it), or a dash for a stamp that is no real date.
QString trueText(RecorderTime stamp, qint64 offset)
{
    const std::optional<qint64> s = recorderTimeSeconds(stamp);
    return s ? secondsText(*s - offset) : QStringLiteral("\u2014");
}

// Calendar-aligned ticks from `from` to `to` (seconds from 2000, in the
// clock being labelled), at most about a dozen; each drawn at at + shift.
QVector<Tick> ticks(qint64 from, qint64 to, qint64 shift)
{
    struct Step {
        qint64 seconds; // fixed steps
        int months;     // calendar steps, when seconds is 0
    };
    static const Step steps[] = {
        {60, 0},    {300, 0},   {600, 0},   {900, 0},    {1800, 0},  // minutes
        {3600, 0},  {7200, 0},  {10800, 0}, {21600, 0},  {43200, 0}, // hours
        {86400, 0}, {172800, 0}, {604800, 0},                        // days
        {0, 1},     {0, 3},     {0, 6},                              // months
        {0, 12},    {0, 24},    {0, 60},    {0, 120},    {0, 240},   // years
    };
    const qint64 span = std::max<qint64>(to - from, 1);
    Step step = steps[sizeof steps / sizeof steps[0] - 1];
    for (const Step &s : steps) {
        const qint64 approx = s.seconds ? s.seconds : qint64(s.months) * 2629746; // average month
        if (span / approx <= 12) {
            step = s;
            break;
        }
    }
    QVector<Tick> out;
    const auto dateOf = [](qint64 seconds) {
        return QDate(2000, 1, 1).addDays(seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400));
    };
    if (step.seconds) {
        const qint64 firstTick = (from >= 0 ? (from + step.seconds - 1) / step.seconds : -((-from) / step.seconds))
                                 * step.seconds;
        QDate lastDate;
        for (qint64 t = firstTick; t <= to; t += step.seconds) {
            const QString full = secondsText(t);
            QString label;
            if (step.seconds >= 86400)
                label = full.left(10);
            else if (dateOf(t) != lastDate)
                label = full.left(16);
            else
                label = full.mid(11, 5);
            lastDate = dateOf(t);
            out.push_back({t + shift, label});
        }
    } else {
        const QDate d = dateOf(from);
        int monthIndex = d.year() * 12 + d.month() - 1; // months since year 0
        const auto secondsAt = [](int index) {
            return QDate(2000, 1, 1).daysTo(QDate(index / 12, index % 12 + 1, 1)) * qint64(86400);
        };
        while (secondsAt(monthIndex) < from || monthIndex % step.months != 0)
            ++monthIndex;
        for (; secondsAt(monthIndex) <= to; monthIndex += step.months) {
            const QString full = secondsText(secondsAt(monthIndex));
            out.push_back({secondsAt(monthIndex) + shift, step.months >= 12 ? full.left(4) : full.left(7)});
        }
    }
    return out;
}

class Page
{
public:
    explicit Page(const OverviewInput &in) : m_in(in)
    {
        for (const Recording &r : in.recordings)
            m_lanes[r.channel].push_back({&r, recorderTimeSeconds(r.startTime), recorderTimeSeconds(r.endTime)});
        for (const Recording &r : in.unlisted) {
            m_lanes[r.channel]; // a lane even where nothing is listed
            m_unlisted[r.channel].push_back({&r, recorderTimeSeconds(r.startTime), recorderTimeSeconds(r.endTime)});
        }
        for (const QVector<Entry> &lane : m_unlisted)
            for (const Entry &e : lane)
                if (e.rec->timesKnown && e.drawable())
                    include(e);
        for (QVector<Entry> &lane : m_lanes) {
            std::sort(lane.begin(), lane.end(), [](const Entry &a, const Entry &b) {
                if (a.rec->startTime != b.rec->startTime)
                    return a.rec->startTime < b.rec->startTime;
                if (a.rec->endTime != b.rec->endTime)
                    return a.rec->endTime < b.rec->endTime;
                return a.rec->name < b.rec->name;
            });
            for (const Entry &e : lane)
                if (e.drawable())
                    include(e);
        }
        if (m_any && m_to - m_from < 60) {
            // A span of seconds would stretch one recording over the page.
            m_to = std::min(m_from + 60, kStampSecondsMax);
            m_from = m_to - 60;
            m_fromStamp = *recorderTimeAt(m_from);
            m_toStamp = *recorderTimeAt(m_to);
        }
    }

    QString build()
    {
        head();
        source();
        timeline();
        for (auto it = m_lanes.cbegin(); it != m_lanes.cend(); ++it)
            channel(it.key(), it.value());
        unlistedTable();
        carvedTable();
        m_h << "</body>\n</html>\n";
        return m_h.take();
    }

private:
    void include(const Entry &e)
    {
        if (!m_any || *e.start < m_from) {
            m_from = *e.start;
            m_fromStamp = e.rec->startTime;
        }
        if (!m_any || e.drawnEnd() > m_to) {
            m_to = e.drawnEnd();
            m_toStamp = e.rec->endTime > e.rec->startTime ? e.rec->endTime : e.rec->startTime;
        }
        m_any = true;
    }

    // Unlisted recordings: their stamps are the whole recording's, of which only the tail is left.
    void unlistedBars(uint32_t channel)
    {
        for (const Entry &e : m_unlisted.value(channel)) {
            if (!e.rec->timesKnown || !e.drawable())
                continue;
            m_h << "\n<div class=\"ubar\" data-channel=\"" << channel << "\" data-start=\"" << e.rec->startTime
                << "\" data-end=\"" << e.rec->endTime << "\" data-first=\"" << e.rec->clusters.first()
                << "\" style=\"left:";
            m_h.percent(pos(*e.start)) << "%;width:";
            m_h.percent(pos(e.drawnEnd()) - pos(*e.start))
                << "%\" title=\"unlisted: " << e.rec->name << "\n" << e.rec->clusters.size()
                << " clusters left of a recording whose first clusters were reused\"></div>";
        }
    }

    void carvedLane()
    {
        if (m_in.carved.isEmpty())
            return;
        m_h << "<div class=\"row\"><div class=\"nm\">Carved</div><div class=\"flane\">";
        const double count = double(std::max<uint64_t>(m_in.clusterCount, 1));
        for (const Recording &r : m_in.carved) {
            m_h << "\n<div class=\"frag\" data-first=\"" << r.clusters.first() << "\" data-clusters=\""
                << r.clusters.size() << "\" style=\"left:";
            m_h.percent(double(r.clusters.first()) * 100.0 / count) << "%;width:";
            m_h.percent(double(r.clusters.size()) * 100.0 / count) << "%\" title=\"" << r.name << "\"></div>";
        }
        m_h << "</div></div>\n<p class=\"d\">Carved fragments have no times: their lane places them by cluster "
               "across the disk, not on the time axis.</p>\n";
    }

    void unlistedTable()
    {
        if (m_in.unlisted.isEmpty())
            return;
        m_h << "<h2>Unlisted recordings</h2>\n<p class=\"d\">" << m_in.unlisted.size()
            << " chain(s) of records that no start record reaches: the tails of recordings whose first clusters "
               "were reused. Their stamps are the whole recording's; where the tail begins is not known.</p>\n"
               "<table class=\"unl\"><tr><th>Channel</th><th>Name</th><th>Clusters</th><th>Chain id</th></tr>\n";
        for (const Recording &r : m_in.unlisted)
            m_h << "<tr data-first=\"" << r.clusters.first() << "\"><td>" << channelName(r.channel) << "</td><td>"
                << r.name << "</td><td>" << r.clusters.size() << "</td><td>" << r.chainId << "</td></tr>\n";
        m_h << "</table>\n";
    }

    void carvedTable()
    {
        if (m_in.carved.isEmpty())
            return;
        m_h << "<h2>Carved fragments</h2>\n<p class=\"d\">" << m_in.carved.size()
            << " run(s) of clusters no record claims whose bytes hold H.264; no record gives their channel or "
               "times.</p>\n<table class=\"carved\"><tr><th>Name</th><th>First cluster</th><th>Clusters</th></tr>\n";
        for (const Recording &r : m_in.carved)
            m_h << "<tr><td>" << r.name << "</td><td>" << r.clusters.first() << "</td><td>" << r.clusters.size()
                << "</td></tr>\n";
        m_h << "</table>\n";
    }

    double pos(qint64 seconds) const { return double(seconds - m_from) * 100.0 / double(m_to - m_from); }
    bool hasOffset() const { return m_in.clockOffset.has_value(); }
    qint64 offset() const { return m_in.clockOffset.value_or(0); }

    void head()
    {
        m_h << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Recorder disk overview: "
            << m_in.source.givenPath << "</title>\n<style>\n"
            << kPageStyle
            << "table.rec td,table.rec th,table.gap td,table.gap th{border-bottom:1px solid #ddd}\n"
               "table.rec{table-layout:fixed;margin:0}table.rec td{overflow:hidden}\n"
               "col.ct{width:150px}col.cl{width:100px}col.cc{width:70px}col.cs{width:90px}col.cp{width:340px}\n"
               ".blk{content-visibility:auto}\n"
               "td.bad{color:#b00}img{max-width:320px;height:auto;display:block}\n"
               ".tl{margin:10px 0;min-width:700px}\n"
               ".row{display:flex;align-items:center;margin:2px 0}\n"
               ".nm{width:72px;flex:none;font-weight:bold}\n"
               ".lane{flex:1;position:relative;height:18px;background:#e6e6e6}\n"
               ".ax{flex:1;position:relative;height:16px;font-size:11px;color:#333}\n"
               ".bar{position:absolute;top:2px;bottom:2px;min-width:1px;background:#1f6feb}\n"
               ".ubar{position:absolute;top:5px;bottom:5px;min-width:1px;background:repeating-linear-gradient(45deg,#d97706 0 3px,#fde68a 3px 6px)}\n"
               ".flane{flex:1;position:relative;height:18px;background:#f1ece4}\n"
               ".frag{position:absolute;top:2px;bottom:2px;min-width:2px;background:#7c3aed}\n"
               ".g{position:absolute;top:0;bottom:0;width:0;border-left:1px solid #fff}\n"
               ".t{position:absolute;top:0;padding-left:3px;border-left:1px solid #888;white-space:nowrap}\n"
               "@media print{*{-webkit-print-color-adjust:exact;print-color-adjust:exact}.tl{break-inside:avoid}}\n"
               "</style>\n</head>\n<body>\n";
        m_h << "<h1>Recorder disk overview</h1>\n<p class=\"d\">Derived from the recorder's directory by Korvath "
            << KORVATH_VERSION
            << "; no recording data is in this page. Times are the recorder's clock unless marked true.";
        if (!m_in.generated.isEmpty())
            m_h << " " << m_in.generated;
        m_h << "</p>\n";
    }

    void sourceRow(const char *label, const QString &value)
    {
        m_h << "<tr><td>" << label << "</td><td>" << value << "</td></tr>\n";
    }

    void source()
    {
        const SourceDescription &s = m_in.source;
        m_h << "<table class=\"src\">\n";
        sourceRow("Source", s.givenPath);
        // What was opened, when it is not what was given, and what the system says of it.
        QStringList device;
        if (s.devicePath != s.givenPath && !s.devicePath.isEmpty())
            device << s.devicePath;
        if (!s.identityText().isEmpty())
            device << s.identityText();
        if (!device.isEmpty())
            sourceRow("Device", device.join(QStringLiteral(", ")));
        sourceRow("Size", bytesText(s.sizeBytes));
        sourceRow("Signature", s.recorderSignature ? QStringLiteral("found (\"WFS\" ... \"XM\" in sector 0)")
                                                : QStringLiteral("NOT found in sector 0"));
        if (s.layout.totalSec > 0)
            sourceRow("Layout", QStringLiteral("dir_size %1 sectors, data_offset %2, rev_clu %3, totalSec %4")
                                    .arg(s.layout.dir_size)
                                    .arg(s.layout.data_offset)
                                    .arg(s.layout.rev_clu)
                                    .arg(s.layout.totalSec));
        else
            sourceRow("Layout", QStringLiteral("unknown"));
        QString range = stampText(m_in.from) + QStringLiteral(" \u2013 ") + stampText(m_in.to);
        if (hasOffset())
            range += QStringLiteral("  (true ") + trueText(m_in.from, offset()) + QStringLiteral(" \u2013 ")
                     + trueText(m_in.to, offset()) + QLatin1Char(')');
        sourceRow("Range asked", range);
        sourceRow("Clock offset", hasOffset() ? clockOffsetText(offset()) + QStringLiteral(" (recorder minus true time)")
                                              : QStringLiteral("none given"));
        sourceRow("Recordings", QStringLiteral("%1 in %2 channel(s)").arg(m_in.recordings.size()).arg(m_lanes.size()));
        for (const QString &note : m_in.notes)
            sourceRow("Note", note);
        m_h << "</table>\n";
    }

    void axisRow(const char *label, const QVector<Tick> &marks)
    {
        m_h << "<div class=\"row\"><div class=\"nm\">" << label << "</div><div class=\"ax\">";
        for (const Tick &t : marks) {
            if (t.at < m_from || t.at > m_to)
                continue;
            m_h << "<div class=\"t\" style=\"left:";
            m_h.percent(pos(t.at)) << "%\">" << t.label << "</div>";
        }
        m_h << "</div></div>\n";
    }

    QVector<Bar> bars(const QVector<Entry> &lane) const
    {
        const double px = double(std::max(m_in.timelineWidth, 1)) / double(m_to - m_from);
        QVector<Bar> out;
        double g0 = 0, g1 = 0;
        for (int i = 0; i < lane.size(); ++i) {
            const Entry &e = lane[i];
            if (!e.drawable())
                continue;
            const double r0 = double(*e.start - m_from) * px, r1 = double(e.drawnEnd() - m_from) * px;
            const bool narrow = !out.isEmpty() && (g1 - g0 < 1.0 || r1 - r0 < 1.0);
            if (narrow && r0 < g1 + 1.0) {
                Bar &b = out.last();
                ++b.count;
                b.clusters += e.rec->clusters.size();
                b.recorded += e.length().value_or(0);
                if (e.drawnEnd() > b.end) {
                    b.end = e.drawnEnd();
                    b.endStamp = std::max(e.rec->startTime, e.rec->endTime);
                }
                g1 = std::max(g1, r1);
                continue;
            }
            Bar b;
            b.startStamp = e.rec->startTime;
            b.endStamp = std::max(e.rec->startTime, e.rec->endTime);
            b.start = *e.start;
            b.end = e.drawnEnd();
            b.count = 1;
            b.first = i;
            b.clusters = e.rec->clusters.size();
            b.recorded = e.length().value_or(0);
            out.push_back(b);
            g0 = r0;
            g1 = r1;
        }
        return out;
    }

    QString barTitle(const Bar &b, const Entry &first) const
    {
        QString t;
        if (b.count == 1)
            t = first.rec->name + QLatin1Char('\n');
        else
            t = QString::number(b.count) + QStringLiteral(" recordings merged at this scale\n");
        t += stampText(b.startStamp) + QStringLiteral(" \u2013 ") + stampText(b.endStamp);
        if (hasOffset())
            t += QStringLiteral("\ntrue ") + trueText(b.startStamp, offset()) + QStringLiteral(" \u2013 ")
                 + trueText(b.endStamp, offset());
        t += (b.count == 1 ? QStringLiteral("\nlength ") : QStringLiteral("\nrecorded ")) + lengthText(b.recorded)
             + QStringLiteral(", ") + QString::number(b.clusters) + QStringLiteral(" clusters, ") + sizeText(b.clusters);
        return t;
    }

    void timeline()
    {
        m_h << "<h2>Timeline</h2>\n";
        if (!m_any) {
            m_h << "<p>No recording with a real date to draw.</p>\n";
            return;
        }
        const QVector<Tick> recorderTicks = ticks(m_from, m_to, 0);
        m_h << "<div class=\"tl\" data-from=\"" << m_fromStamp << "\" data-to=\"" << m_toStamp << "\">\n";
        axisRow(hasOffset() ? "recorder" : "", recorderTicks);
        int notDrawn = 0;
        for (auto it = m_lanes.cbegin(); it != m_lanes.cend(); ++it) {
            const QVector<Entry> &lane = it.value();
            m_h << "<div class=\"row\"><div class=\"nm\">" << channelName(it.key())
                << "</div><div class=\"lane\" data-channel=\"" << it.key() << "\">";
            for (const Tick &t : recorderTicks) {
                m_h << "<i class=\"g\" style=\"left:";
                m_h.percent(pos(t.at)) << "%\"></i>";
            }
            for (const Bar &b : bars(lane)) {
                m_h << "\n<div class=\"bar\" data-channel=\"" << it.key() << "\" data-start=\"" << b.startStamp
                    << "\" data-end=\"" << b.endStamp << "\" data-count=\"" << b.count << "\" style=\"left:";
                m_h.percent(pos(b.start)) << "%;width:";
                m_h.percent(pos(b.end) - pos(b.start)) << "%\" title=\"" << barTitle(b, lane[b.first]) << "\"></div>";
            }
            unlistedBars(it.key());
            m_h << "</div></div>\n";
            for (const Entry &e : lane)
                notDrawn += e.drawable() ? 0 : 1;
        }
        if (hasOffset())
            axisRow("true", ticks(m_from - offset(), m_to - offset(), offset()));
        carvedLane();
        m_h << "</div>\n";
        if (notDrawn > 0)
            m_h << "<p>" << notDrawn
                << " recording(s) with a stamp that is no real date are listed below but not drawn.</p>\n";
    }

    void channel(uint32_t number, const QVector<Entry> &lane)
    {
        qint64 clusters = 0, recorded = 0;
        int impossible = 0;
        // The gaps between what is recorded: each start against the latest end before it.
        struct Gap {
            qint64 from, to;
        };
        QVector<Gap> gaps;
        bool seen = false;
        qint64 reach = 0;
        for (const Entry &e : lane) {
            clusters += e.rec->clusters.size();
            recorded += e.length().value_or(0);
            if (!e.drawable()) {
                ++impossible;
                continue;
            }
            if (seen && *e.start > reach)
                gaps.push_back({reach, *e.start});
            reach = seen ? std::max(reach, e.drawnEnd()) : e.drawnEnd();
            seen = true;
        }
        const int keep = std::min(kLongestGaps, gaps.size());
        std::partial_sort(gaps.begin(), gaps.begin() + keep, gaps.end(), [](const Gap &a, const Gap &b) {
            return a.to - a.from != b.to - b.from ? a.to - a.from > b.to - b.from : a.from < b.from;
        });
        gaps.resize(keep);

        m_h << "<h2>" << channelName(number) << "</h2>\n<p>" << lane.size()
            << " recording(s), recorded " << lengthText(recorded) << ", " << clusters << " clusters, "
            << sizeText(clusters);
        if (impossible > 0)
            m_h << "; " << impossible << " with a stamp that is no real date";
        m_h << ".</p>\n";
        if (!gaps.isEmpty()) {
            m_h << "<table class=\"gap\" data-channel=\"" << number << "\"><tr><th>Longest gaps: from</th><th>to</th>";
            if (hasOffset())
                m_h << "<th>true from</th><th>true to</th>";
            m_h << "<th>length</th></tr>\n";
            for (const Gap &g : gaps) {
                m_h << "<tr><td>" << secondsText(g.from) << "</td><td>" << secondsText(g.to) << "</td>";
                if (hasOffset())
                    m_h << "<td>" << secondsText(g.from - offset()) << "</td><td>" << secondsText(g.to - offset())
                        << "</td>";
                m_h << "<td>" << lengthText(g.to - g.from) << "</td></tr>\n";
            }
            m_h << "</table>\n";
        }

        bool previews = false;
        for (int i = 0; i < lane.size() && !m_in.previews.isEmpty() && !previews; ++i)
            previews = m_in.previews.contains(lane[i].rec->name);
        // Fixed columns, so that the header and every block of rows line up.
        QString cols = QStringLiteral("<colgroup><col class=\"ct\"><col class=\"ct\">");
        int width = 2 * 150 + 100 + 70 + 90;
        if (hasOffset()) {
            cols += QStringLiteral("<col class=\"ct\"><col class=\"ct\">");
            width += 2 * 150;
        }
        cols += QStringLiteral("<col class=\"cl\"><col class=\"cc\"><col class=\"cs\">");
        if (previews) {
            cols += QStringLiteral("<col class=\"cp\">");
            width += 130;
        }
        cols += QStringLiteral("</colgroup>");
        const QString open = QStringLiteral("<table class=\"rec\" data-channel=\"%1\" style=\"width:%2px\">")
                                 .arg(number)
                                 .arg(width)
                             + cols;
        m_h.raw(open) << "<thead><tr><th>start</th><th>end</th>";
        if (hasOffset())
            m_h << "<th>true start</th><th>true end</th>";
        m_h << "<th>length</th><th>clusters</th><th>size</th>";
        if (previews)
            m_h << "<th>preview (derived)</th>";
        m_h << "</tr></thead></table>\n";
        // Blocks of rows that the browser lays out only when they come into
        // view, and cells left unclosed, as HTML allows: a large disk lists
        // many thousands of rows and would otherwise take seconds to open.
        for (int first = 0; first < lane.size(); first += kRowsPerBlock) {
            const int last = std::min<int>(first + kRowsPerBlock, lane.size());
            m_h << "<div class=\"blk\" style=\"contain-intrinsic-size:auto " << (last - first) * (previews ? 52 : 21)
                << "px\">";
            m_h.raw(open) << "<tbody>\n";
            for (int i = first; i < last; ++i)
                row(lane[i], previews);
            m_h << "</tbody></table></div>\n";
        }
    }

    void row(const Entry &e, bool previews)
    {
        m_h << "<tr data-start=\"" << e.rec->startTime << "\" data-end=\"" << e.rec->endTime << "\">"
            << (e.start ? "<td>" : "<td class=\"bad\">") << stampText(e.rec->startTime)
            << (e.end ? "<td>" : "<td class=\"bad\">") << stampText(e.rec->endTime);
        if (hasOffset())
            m_h << "<td>" << trueText(e.rec->startTime, offset()) << "<td>" << trueText(e.rec->endTime, offset());
        const std::optional<qint64> length = e.length();
        if (length)
            m_h << "<td>" << lengthText(*length);
        else
            m_h << "<td class=\"bad\">" << (e.drawable() ? "ends before start" : "no real date");
        m_h << "<td>" << e.rec->clusters.size() << "<td>" << sizeText(e.rec->clusters.size());
        if (previews) {
            m_h << "<td>";
            const QByteArray png = m_in.previews.value(e.rec->name);
            if (png.startsWith("\x89PNG\r\n\x1a\n"))
                m_h << "<img alt=\"preview (derived)\" src=\"data:image/png;base64,"
                    << QString::fromLatin1(png.toBase64()) << "\">";
        }
        m_h << "\n";
    }

    const OverviewInput &m_in;
    QMap<uint32_t, QVector<Entry>> m_lanes;
    QMap<uint32_t, QVector<Entry>> m_unlisted;
    bool m_any = false;
    qint64 m_from = 0, m_to = 0;
    RecorderTime m_fromStamp = 0, m_toStamp = 0;
    Html m_h;
};

} // namespace

QString overviewHtml(const OverviewInput &in)
{
    return Page(in).build();
}

bool writeOverviewHtml(const OverviewInput &in, const QString &path, QString *error)
{
    const QString why = writeOutputFile(path, overviewHtml(in).toUtf8());
    if (error)
        *error = why;
    return why.isEmpty();
}

} // namespace korvath
