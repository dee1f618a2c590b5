#include "dfxmlreport.h"

#include "casepage.h"
#include "clock.h"
#include "outputfile.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <QXmlStreamWriter>
#include <QtGlobal>
#include <algorithm>
#include <openssl/crypto.h>
#include <openssl/opensslv.h>

namespace korvath {

std::vector<LibraryVersion> coreLibraries()
{
    return {{QStringLiteral("Qt"), QStringLiteral(QT_VERSION_STR), QString::fromLatin1(qVersion())},
            {QStringLiteral("OpenSSL"), QStringLiteral(OPENSSL_VERSION_TEXT),
             QString::fromLatin1(OpenSSL_version(OPENSSL_VERSION))}};
}

QString commandLineText(const QStringList &arguments)
{
    QStringList out;
    for (const QString &a : arguments) {
        bool plain = !a.isEmpty();
        for (const QChar c : a)
            plain = plain && (c.isLetterOrNumber() || QStringLiteral("-_./:=,+@%").contains(c));
        out << (plain ? a : QLatin1Char('\'') + QString(a).replace(QLatin1String("'"), QLatin1String("'\\''")) + QLatin1Char('\''));
    }
    return out.join(QLatin1Char(' '));
}

namespace {

// XML 1.0 cannot carry control characters or lone surrogates, not even
// escaped; such a character (in a device's model, an odd path) is written as
// \xNN or \uNNNN so that the document stays readable and the fact visible.
// Everything else, backslashes too, is kept exactly.
QString xmlText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const ushort u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out += c;
            out += text[++i];
        } else if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || c.isSurrogate() || u == 0xFFFE
                   || u == 0xFFFF) {
            out += u < 0x100 ? QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'))
                             : QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}

QString number(uint64_t n)
{
    return QString::number(n);
}

QString utcText(const QDateTime &t)
{
    return t.isValid() ? t.toUTC().toString(Qt::ISODate) : QString();
}


class Writer
{
public:
    explicit Writer(QIODevice *device) : x(device)
    {
        x.setAutoFormatting(true);
        x.setAutoFormattingIndent(2);
    }

    void start(const char *ns, const char *name) { x.writeStartElement(QLatin1String(ns), QLatin1String(name)); }
    void end() { x.writeEndElement(); }
    void attr(const char *name, const QString &value) { x.writeAttribute(QLatin1String(name), xmlText(value)); }
    void text(const char *ns, const char *name, const QString &value)
    {
        x.writeTextElement(QLatin1String(ns), QLatin1String(name), xmlText(value));
    }
    // Optional facts are left out rather than written empty.
    void textIf(const char *ns, const char *name, const QString &value)
    {
        if (!value.isEmpty())
            text(ns, name, value);
    }
    void hash(const char *type, const QString &value)
    {
        start(kDfxmlNamespace, "hashdigest");
        attr("type", QLatin1String(type));
        x.writeCharacters(xmlText(value));
        end();
    }
    void library(const QString &name, const QString &version)
    {
        x.writeEmptyElement(QLatin1String(kDfxmlNamespace), QStringLiteral("library"));
        attr("name", name);
        attr("version", version);
    }

    QXmlStreamWriter x;
};

const char *const D = kDfxmlNamespace;
const char *const K = kKorvathNamespace;

void writeCreator(Writer &w, const CaseReport &r)
{
    w.start(D, "creator");
    w.attr("version", QStringLiteral("1.0"));
    w.text(D, "program", r.program);
    w.text(D, "version", r.version);
    w.start(D, "build_environment");
#if defined(__clang__)
    w.text(D, "compiler", QStringLiteral("clang " __clang_version__));
#elif defined(__GNUC__)
    w.text(D, "compiler", QStringLiteral("GCC " __VERSION__));
#elif defined(_MSC_VER)
    w.text(D, "compiler", QStringLiteral("MSVC %1").arg(_MSC_VER));
#endif
    for (const LibraryVersion &l : r.libraries)
        if (!l.built.isEmpty())
            w.library(l.name, l.built);
    w.end();
    w.start(D, "execution_environment");
    w.text(D, "os_sysname", QSysInfo::kernelType());
    w.text(D, "os_release", QSysInfo::kernelVersion());
    w.text(D, "os_version", QSysInfo::prettyProductName());
    w.text(D, "host", QSysInfo::machineHostName());
    w.text(D, "arch", QSysInfo::currentCpuArchitecture());
    w.text(D, "command_line", r.commandLine);
    w.textIf(D, "start_time", utcText(r.startTime));
    w.textIf(K, "end_time", utcText(r.endTime));
    w.end();
    // The libraries this run actually loaded, which may differ from the build's.
    for (const LibraryVersion &l : r.libraries)
        if (!l.loaded.isEmpty())
            w.library(l.name, l.loaded);
    w.end();
}

void writeCase(Writer &w, const CaseDetails &c)
{
    if (c.empty())
        return;
    w.start(K, "case");
    w.textIf(K, "case_number", c.caseNumber);
    w.textIf(K, "exhibit", c.exhibit);
    w.textIf(K, "examiner", c.examiner);
    for (const QString &note : c.notes)
        w.text(K, "note", note);
    w.end();
}

void writeClock(Writer &w, const CaseReport &r)
{
    if (r.clockOffset)
        w.text(K, "clock_offset", clockOffsetText(*r.clockOffset));
    if (r.clockObservation) {
        w.start(K, "clock_observation");
        w.text(K, "recorder_time", secondsText(r.clockObservation->recorder));
        w.text(K, "true_time", secondsText(r.clockObservation->trueTime));
        w.end();
    }
}

void writeSource(Writer &w, const SourceDescription &s)
{
    w.start(D, "source");
    w.text(D, "image_filename", s.givenPath);
    w.text(K, "device_path", s.devicePath);
    w.text(K, "block_device", s.blockDevice ? QStringLiteral("1") : QStringLiteral("0"));
    w.textIf(K, "vendor", s.vendor);
    w.textIf(K, "model", s.model);
    w.textIf(K, "serial", s.serial);
    w.textIf(K, "backing_file", s.backingFile);
    w.text(K, "size_bytes", number(s.sizeBytes));
    w.text(K, "sectors", number(s.sectors));
    w.text(K, "sector_size", number(kSectorSize));
    w.textIf(K, "image_format", s.imageFormat);
    const QString unknown = QStringLiteral("unknown");
    w.text(K, "recorder_signature", !s.sector0Read ? unknown : s.recorderSignature ? QStringLiteral("1") : QStringLiteral("0"));
    w.text(K, "partition_start", s.sector0Read ? number(s.partitionStart) : unknown);
    w.start(K, "layout");
    w.attr("dir_size", number(s.layout.dir_size));
    w.attr("data_offset", number(s.layout.data_offset));
    w.attr("rev_clu", number(s.layout.rev_clu));
    w.attr("totalSec", number(s.layout.totalSec));
    w.attr("cluster_bytes", number(kClusterBytes));
    w.end();
    w.start(K, "directory");
    if (s.sector0Read)
        w.attr("img_offset", number(directoryStartSector(s.layout, s.partitionStart) * kSectorSize));
    else
        w.attr("read", QStringLiteral("0")); // its place depends on the partition start
    w.attr("len", number(uint64_t(s.layout.dir_size) * kSectorSize));
    if (!s.directorySha256.isEmpty() && s.sector0Read)
        w.hash("sha256", s.directorySha256);
    w.end();
    // What the layout and the list were read from but could not be read.
    if (!s.sector0Read || !s.directoryUnreadable.empty()) {
        w.start(K, "unreadable_sectors");
        const auto run = [&](const char *part, uint64_t first, uint64_t count) {
            w.x.writeEmptyElement(QLatin1String(K), QStringLiteral("run"));
            w.attr("part", QString::fromLatin1(part));
            w.attr("first_sector", number(first));
            w.attr("sectors", number(count));
        };
        if (!s.sector0Read)
            run("sector 0", 0, 1);
        for (const SectorRange &r : s.directoryUnreadable)
            run("directory", r.first, r.count);
        w.end();
    }
    if (!s.imageHashes.empty()) {
        w.start(K, "stored_image_hashes");
        for (const StoredImageHash &h : s.imageHashes) {
            w.start(D, "hashdigest");
            w.attr("type", h.type.toLower());
            w.x.writeCharacters(xmlText(h.value));
            w.end();
        }
        w.end();
    }
    if (!s.imageMap.isEmpty()) {
        w.start(K, "image_map");
        w.attr("summary", s.imageMapSummary);
        w.x.writeCharacters(xmlText(s.imageMap));
        w.end();
    }
    w.end();
}

void writeMap(Writer &w, const MapRecord &m)
{
    w.start(K, "rescue_map");
    w.attr("format", QStringLiteral("GNU ddrescue mapfile"));
    w.text(K, "path", m.path);
    w.text(K, "finished_bytes", number(m.finished));
    w.text(K, "non_tried_bytes", number(m.nonTried));
    w.text(K, "non_trimmed_bytes", number(m.nonTrimmed));
    w.text(K, "non_scraped_bytes", number(m.nonScraped));
    w.text(K, "bad_bytes", number(m.bad));
    w.end();
}

void writeFile(Writer &w, const ReportFile &f, const std::optional<qint64> &clockOffset)
{
    w.start(D, "fileobject");
    w.text(D, "filename", f.filename);
    w.text(D, "filesize", number(f.filesize));
    if (!f.derived) {
        w.start(D, "byte_runs");
        for (const ByteRun &run : f.byteRuns) {
            w.x.writeEmptyElement(QLatin1String(D), QStringLiteral("byte_run"));
            w.attr("file_offset", number(run.fileOffset));
            w.attr("img_offset", number(run.imgOffset));
            w.attr("len", number(run.length));
            if (run.zeroFill)
                w.attr("fill", QStringLiteral("0"));
        }
        w.end();
    }
    if (!f.sha256.isEmpty())
        w.hash("sha256", f.sha256);
    if (f.derived) {
        const DerivedFrom &d = *f.derived;
        w.start(K, "derived_from");
        w.attr("master", d.master);
        if (!d.masterHash.isEmpty())
            w.attr("master_sha256", d.masterHash);
        w.textIf(K, "method", d.method);
        if (d.frameRate > 0)
            w.text(K, "frame_rate", QString::number(d.frameRate, 'g', 10));
        w.text(K, "frames_written", number(d.framesWritten));
        w.text(K, "frames_dropped", number(d.framesDropped));
        w.end();
    } else {
        // A carved fragment has no record to give it a camera or stamps.
        if (!f.recordless) {
            w.text(K, "camera", number(uint64_t(f.channel) + 1));
            w.start(K, "recorder_start");
            w.attr("raw", QStringLiteral("0x%1").arg(f.start, 8, 16, QLatin1Char('0')));
            w.x.writeCharacters(recorderStampText(f.start));
            w.end();
            w.start(K, "recorder_end");
            w.attr("raw", QStringLiteral("0x%1").arg(f.end, 8, 16, QLatin1Char('0')));
            w.x.writeCharacters(recorderStampText(f.end));
            w.end();
            if (clockOffset) {
                // True times, from the recorder's stamps and the offset given; none for an impossible stamp.
                for (const auto &t : {std::make_pair("true_start", f.start), std::make_pair("true_end", f.end)}) {
                    const std::optional<QDateTime> when = trueTimeForRecorderTime(t.second, *clockOffset);
                    if (when)
                        w.text(K, t.first, when->toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
                }
            }
        }
        w.text(K, "record_index", number(f.recordIndex));
        if (!f.origin.isEmpty()) {
            w.start(K, "origin");
            w.attr("rule", f.originRule);
            w.x.writeCharacters(f.origin);
            w.end();
        }
        w.text(K, "unreadable_sectors", number(f.unreadableSectors));
    }
    w.end();
}

} // namespace

QString CaseReport::fileName(const QString &path) const
{
    // Both absolute first: Qt returns a relative path as it is.
    return QDir(QFileInfo(folder).absoluteFilePath()).relativeFilePath(QFileInfo(path).absoluteFilePath());
}

QString caseHtmlPath(const QString &reportPath)
{
    const QFileInfo info(reportPath);
    const QString base = info.suffix().compare(QLatin1String("xml"), Qt::CaseInsensitive) == 0
                             ? info.completeBaseName()
                             : info.fileName();
    // The folder as it was written, so that a plain name gives a plain name.
    return reportPath.left(reportPath.size() - info.fileName().size()) + base + QStringLiteral(".html");
}

bool writeCaseReports(const CaseReport &report, const QString &reportPath, QString *error)
{
    if (!writeDfxmlReport(report, reportPath, error))
        return false;
    QString why;
    if (writeCaseHtml(report, caseHtmlPath(reportPath), &why))
        return true;
    if (error)
        *error = QStringLiteral("its readable page %1 could not be written: %2")
                     .arg(QDir::toNativeSeparators(caseHtmlPath(reportPath)), why);
    return false;
}

QByteArray dfxmlReportBytes(const CaseReport &report)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    Writer w(&buffer);
    w.x.writeStartDocument();
    w.x.writeDefaultNamespace(QLatin1String(D));
    w.x.writeNamespace(QLatin1String(kDublinCoreNamespace), QStringLiteral("dc"));
    w.x.writeNamespace(QLatin1String(K), QStringLiteral("korvath"));
    w.start(D, "dfxml");
    w.attr("version", QStringLiteral("1.2.0"));
    w.start(D, "metadata");
    w.text(kDublinCoreNamespace, "type", report.type);
    w.end();
    writeCreator(w, report);
    writeSource(w, report.source);
    writeCase(w, report.caseDetails);
    if (report.map)
        writeMap(w, *report.map);
    writeClock(w, report);
    for (const ReportFile &f : report.files)
        writeFile(w, f, report.clockOffset);
    for (const NotWritten &n : report.notWritten) {
        w.start(K, "not_written");
        w.attr("name", n.name);
        w.x.writeCharacters(xmlText(n.reason));
        w.end();
    }
    w.end();
    w.x.writeEndDocument();

    buffer.close();
    return bytes;
}

bool writeDfxmlReport(const CaseReport &report, const QString &path, QString *error)
{
    const QString why = writeOutputFile(path, dfxmlReportBytes(report));
    if (error)
        *error = why;
    return why.isEmpty();
}

} // namespace korvath
