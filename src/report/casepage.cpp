#include "casepage.h"

#include "outputfile.h"

#include "dfxmlreport.h"
#include "html.h"
#include "outputfile.h"

#include <algorithm>

namespace korvath {

namespace {

QString utc(const QDateTime &t)
{
    return t.isValid() ? t.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'")) : QStringLiteral("\u2014");
}

QString trueText(RecorderTime stamp, const std::optional<qint64> &offset)
{
    const std::optional<QDateTime> t = offset ? trueTimeForRecorderTime(stamp, *offset) : std::nullopt;
    return t ? t->toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QStringLiteral("\u2014");
}

class CasePage
{
public:
    explicit CasePage(const CaseReport &r) : m_r(r) {}

    QString build()
    {
        head();
        caseDetails();
        source();
        clock();
        files();
        derived();
        losses();
        notWritten();
        tool();
        m_h << "</body>\n</html>\n";
        return m_h.take();
    }

private:
    void row(const char *label, const QString &value)
    {
        m_h << "<tr><td>" << label << "</td><td>" << value << "</td></tr>\n";
    }
    void rowIf(const char *label, const QString &value)
    {
        if (!value.isEmpty())
            row(label, value);
    }

    void head()
    {
        const CaseDetails &c = m_r.caseDetails;
        m_h << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Recovery report"
            << (c.caseNumber.isEmpty() ? QString() : QStringLiteral(": case ") + c.caseNumber)
            << (c.exhibit.isEmpty() ? QString() : QStringLiteral(", exhibit ") + c.exhibit) << "</title>\n<style>\n"
            << kPageStyle
            << "table.l td,table.l th{border-bottom:1px solid #ddd;vertical-align:top}\n"
               "table.l td{white-space:normal}td.h{font-family:monospace;font-size:11px;word-break:break-all;white-space:normal;width:33ch}\n"
               "table.l td.t{white-space:nowrap}div.m{color:#555;font-size:11px}\n"
               "td.n{text-align:right}td.bad{color:#b00}\n"
               "@media print{body{margin:0;font-size:11px}h2{break-after:avoid}tr{break-inside:avoid}}\n"
               "</style>\n</head>\n<body>\n<h1>Recovery report</h1>\n<p class=\"d\">Recordings copied from a recorder's "
               "disk by "
            << m_r.program << " " << m_r.version
            << ", read-only. The native copies (.h264) are the evidence; derived copies are named as such. Times are "
               "the recorder's clock unless marked true. The DFXML report beside this page holds the same facts.</p>\n";
    }

    void caseDetails()
    {
        const CaseDetails &c = m_r.caseDetails;
        m_h << "<h2>Case</h2>\n<table class=\"src\" id=\"case\">\n";
        row("Case", c.caseNumber.isEmpty() ? QStringLiteral("not given") : c.caseNumber);
        row("Exhibit", c.exhibit.isEmpty() ? QStringLiteral("not given") : c.exhibit);
        row("Examiner", c.examiner.isEmpty() ? QStringLiteral("not given") : c.examiner);
        for (const QString &note : c.notes)
            row("Note", note);
        m_h << "</table>\n";
    }

    void source()
    {
        const SourceDescription &s = m_r.source;
        m_h << "<h2>Source</h2>\n<table class=\"src\" id=\"source\">\n";
        row("Given as", s.givenPath);
        row("Opened", s.devicePath + (s.blockDevice ? QStringLiteral(" (block device)") : QString()));
        rowIf("Vendor", s.vendor);
        rowIf("Model", s.model);
        rowIf("Serial", s.serial);
        rowIf("Backing file", s.backingFile);
        row("Size", QStringLiteral("%1 bytes, %2 sectors of %3 bytes").arg(s.sizeBytes).arg(s.sectors).arg(kSectorSize));
        row("Signature", s.recorderSignature ? QStringLiteral("found in sector 0") : QStringLiteral("NOT found in sector 0"));
        row("Partition start", QString::number(s.partitionStart));
        row("Layout", QStringLiteral("dir_size %1 sectors, data_offset %2, rev_clu %3, totalSec %4")
                          .arg(s.layout.dir_size)
                          .arg(s.layout.data_offset)
                          .arg(s.layout.rev_clu)
                          .arg(s.layout.totalSec));
        if (!s.directorySha256.isEmpty()) {
            m_h << "<tr><td>Directory SHA-256</td><td class=\"h\">" << s.directorySha256 << "</td></tr>\n";
        }
        for (const StoredImageHash &h : s.imageHashes)
            m_h << "<tr><td>Image's own " << h.type.toUpper() << "</td><td class=\"h\">" << h.value << "</td></tr>\n";
        m_h << "</table>\n";
    }

    void clock()
    {
        m_h << "<h2>Clock</h2>\n<table class=\"src\" id=\"clock\">\n";
        if (!m_r.clockOffset) {
            row("Offset", QStringLiteral("none given: every time is the recorder's"));
        } else {
            row("Offset", clockOffsetText(*m_r.clockOffset) + QStringLiteral(" (the recorder's clock minus the true time)"));
            if (m_r.clockObservation)
                row("Measured", QStringLiteral("the recorder showed %1 when the true time was %2")
                                    .arg(secondsText(m_r.clockObservation->recorder),
                                         secondsText(m_r.clockObservation->trueTime)));
            else
                row("Measured", QStringLiteral("not recorded (the offset was given as it is)"));
        }
        m_h << "</table>\n";
    }

    void files()
    {
        m_h << "<h2>Files written</h2>\n";
        if (std::none_of(m_r.files.begin(), m_r.files.end(), [](const ReportFile &f) { return !f.derived; })) {
            m_h << "<p>No native copy was written.</p>\n";
            return;
        }
        m_h << "<table class=\"l\" id=\"files\">\n<tr><th>File</th><th>Bytes</th><th>SHA-256</th>"
               "<th>Recorder start<br>and end</th>";
        if (m_r.clockOffset)
            m_h << "<th>True start<br>and end</th>";
        m_h << "<th>Unreadable sectors</th></tr>\n";
        for (const ReportFile &f : m_r.files) {
            if (f.derived)
                continue;
            m_h << "<tr><td>" << f.filename << "</td><td class=\"n\">" << f.filesize << "</td><td class=\"h\">"
                << f.sha256 << "</td><td class=\"t\">" << recorderStampText(f.start) << "<br>"
                << recorderStampText(f.end);
            if (m_r.clockOffset)
                m_h << "</td><td class=\"t\">" << trueText(f.start, m_r.clockOffset) << "<br>"
                    << trueText(f.end, m_r.clockOffset);
            m_h << (f.unreadableSectors ? "</td><td class=\"n bad\">" : "</td><td class=\"n\">") << f.unreadableSectors
                << "</td></tr>\n";
        }
        m_h << "</table>\n";
    }

    const ReportFile *byName(const QString &name) const
    {
        for (const ReportFile &f : m_r.files)
            if (f.filename == name)
                return &f;
        return nullptr;
    }

    void derived()
    {
        bool any = false;
        for (const ReportFile &f : m_r.files) {
            if (!f.derived)
                continue;
            if (!any)
                m_h << "<h2>Derived copies</h2>\n<p class=\"d\">Made from a native copy, not read from the source; "
                       "the native copy stays the evidence.</p>\n<table class=\"l\" id=\"derived\">\n<tr><th>File</th>"
                       "<th>Bytes</th><th>SHA-256</th><th>Made from</th><th>Its SHA-256</th></tr>\n";
            any = true;
            const DerivedFrom &d = *f.derived;
            const ReportFile *parent = byName(d.master);
            const QString parentHash = !d.masterHash.isEmpty() ? d.masterHash : parent ? parent->sha256 : QString();
            QString how = d.method;
            if (d.frameRate > 0)
                how += QStringLiteral("; %1 frames at %2 fps, %3 left out")
                           .arg(d.framesWritten)
                           .arg(d.frameRate, 0, 'g', 10)
                           .arg(d.framesDropped);
            m_h << "<tr><td>" << f.filename << "<div class=\"m\">" << how << "</div></td><td class=\"n\">" << f.filesize
                << "</td><td class=\"h\">" << f.sha256 << "</td><td>" << d.master << "</td><td class=\"h\">"
                << parentHash << "</td></tr>\n";
        }
        if (any)
            m_h << "</table>\n";
    }

    void losses()
    {
        m_h << "<h2>Losses</h2>\n";
        bool any = false;
        for (const ReportFile &f : m_r.files) {
            for (const ByteRun &run : f.byteRuns) {
                if (!run.zeroFill)
                    continue;
                if (!any)
                    m_h << "<p class=\"d\">Sectors that could not be read; the file holds zeros in their place.</p>\n"
                           "<table class=\"l\" id=\"losses\">\n<tr><th>File</th><th>Sectors of the source</th>"
                           "<th>Count</th><th>Bytes of the file</th></tr>\n";
                any = true;
                const uint64_t first = run.imgOffset / kSectorSize, count = run.length / kSectorSize;
                m_h << "<tr><td>" << f.filename << "</td><td>" << first << QStringLiteral("\u2013") << (first + count - 1)
                    << "</td><td class=\"n\">" << count << "</td><td>" << run.fileOffset << QStringLiteral("\u2013")
                    << (run.fileOffset + run.length - 1) << "</td></tr>\n";
            }
        }
        if (any)
            m_h << "</table>\n";
        else
            m_h << "<p>None: every sector of every file written was read.</p>\n";
    }

    void notWritten()
    {
        m_h << "<h2>Asked for and not written</h2>\n";
        if (m_r.notWritten.empty()) {
            m_h << "<p>None: everything asked for was written.</p>\n";
            return;
        }
        m_h << "<table class=\"l\" id=\"notwritten\">\n<tr><th>Recording</th><th>Why</th></tr>\n";
        for (const NotWritten &n : m_r.notWritten)
            m_h << "<tr><td>" << n.name << "</td><td class=\"bad\">" << n.reason << "</td></tr>\n";
        m_h << "</table>\n";
    }

    void tool()
    {
        m_h << "<h2>Tool</h2>\n<table class=\"src\" id=\"tool\">\n";
        row("Program", m_r.program + QLatin1Char(' ') + m_r.version);
        for (const LibraryVersion &l : m_r.libraries)
            m_h << "<tr><td>Library</td><td>" << l.name << " " << l.loaded
                << (l.built.isEmpty() || l.built == l.loaded ? QString() : QStringLiteral(" (built with %1)").arg(l.built))
                << "</td></tr>\n";
        m_h << "<tr><td>Command line</td><td class=\"h\">" << m_r.commandLine << "</td></tr>\n";
        row("Started", utc(m_r.startTime));
        row("Ended", utc(m_r.endTime));
        m_h << "</table>\n";
    }

    const CaseReport &m_r;
    Html m_h;
};

} // namespace

QString caseReportHtml(const CaseReport &report)
{
    return CasePage(report).build();
}

bool writeCaseHtml(const CaseReport &report, const QString &path, QString *error)
{
    const QString why = writeOutputFile(path, caseReportHtml(report).toUtf8());
    if (error)
        *error = why;
    return why.isEmpty();
}

} // namespace korvath
