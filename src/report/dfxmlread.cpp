// Reading a case report back (korvath-cli verify): the DFXML this program
// writes, element by element, refusing what does not hold together.
#include "dfxmlreport.h"

#include <QFile>
#include <QRegularExpression>
#include <QXmlStreamReader>

namespace korvath {

namespace {

class ReportReader
{
public:
    ReportReader(QIODevice *device, CaseReport *report) : x(device), r(*report) {}

    bool read()
    {
        if (!x.readNextStartElement() || !is(kDfxmlNamespace, "dfxml"))
            return fail(x.hasError() ? x.errorString() : QStringLiteral("not a DFXML document"));
        bool creator = false, source = false;
        while (ok() && x.readNextStartElement()) {
            if (is(kDfxmlNamespace, "creator")) {
                creator = true;
                readCreator();
            } else if (is(kDfxmlNamespace, "source")) {
                source = true;
                readSource();
            } else if (is(kKorvathNamespace, "case")) {
                readCase();
            } else if (is(kKorvathNamespace, "clock_offset")) {
                const QString text = x.readElementText();
                qint64 seconds = 0;
                QString why;
                if (!parseClockOffset(text, &seconds, &why))
                    fail(why);
                r.clockOffset = seconds;
            } else if (is(kKorvathNamespace, "clock_observation")) {
                readObservation();
            } else if (is(kDfxmlNamespace, "fileobject")) {
                readFile();
            } else if (is(kKorvathNamespace, "not_written")) {
                NotWritten n;
                n.name = x.attributes().value(QLatin1String("name")).toString();
                const qint64 line = x.lineNumber();
                n.reason = x.readElementText();
                if (n.name.isEmpty())
                    fail(QStringLiteral("a recording not written without its name"), line);
                r.notWritten.push_back(n);
            } else {
                x.skipCurrentElement();
            }
        }
        if (x.hasError())
            fail(x.errorString());
        // Nothing may follow the document.
        while (ok() && !x.atEnd())
            if (x.readNext() == QXmlStreamReader::Invalid)
                fail(x.errorString());
        if (x.hasError())
            fail(x.errorString());
        if (ok() && (!creator || !source))
            fail(QStringLiteral("a report without its %1").arg(creator ? QStringLiteral("source") : QStringLiteral("creator")));
        return ok();
    }

    QString problem;

private:
    bool ok() const { return problem.isEmpty() && !x.hasError(); }
    bool is(const char *ns, const char *name) const
    {
        return x.namespaceUri() == QLatin1String(ns) && x.name() == QLatin1String(name);
    }
    // The first fault found is the one named; one of the document itself comes first.
    bool fail(const QString &why, qint64 line = -1)
    {
        if (ok() || (problem.isEmpty() && x.hasError() && why == x.errorString()))
            problem = QStringLiteral("line %1: %2").arg(line >= 0 ? line : x.lineNumber()).arg(why);
        return false;
    }

    // A number of the element or attribute `what`; a report with anything else in its place is refused.
    uint64_t number(const QString &text, const char *what, int base = 10)
    {
        bool good = false;
        const uint64_t n = text.toULongLong(&good, base);
        if (!good)
            fail(QStringLiteral("%1 '%2' is not a number").arg(QLatin1String(what), text));
        return n;
    }
    uint64_t attrNumber(const char *name)
    {
        return number(x.attributes().value(QLatin1String(name)).toString(), name);
    }
    uint64_t textNumber(const char *what) { return number(x.readElementText(), what); }

    void readCreator()
    {
        QMap<QString, QString> built;
        while (ok() && x.readNextStartElement()) {
            if (is(kDfxmlNamespace, "program")) {
                r.program = x.readElementText();
            } else if (is(kDfxmlNamespace, "version")) {
                r.version = x.readElementText();
            } else if (is(kDfxmlNamespace, "build_environment")) {
                while (ok() && x.readNextStartElement()) {
                    if (is(kDfxmlNamespace, "library"))
                        built.insert(x.attributes().value(QLatin1String("name")).toString(),
                                     x.attributes().value(QLatin1String("version")).toString());
                    x.skipCurrentElement();
                }
            } else if (is(kDfxmlNamespace, "execution_environment")) {
                while (ok() && x.readNextStartElement()) {
                    if (is(kDfxmlNamespace, "command_line"))
                        r.commandLine = x.readElementText();
                    else if (is(kDfxmlNamespace, "start_time"))
                        r.startTime = QDateTime::fromString(x.readElementText(), Qt::ISODate);
                    else if (is(kKorvathNamespace, "end_time"))
                        r.endTime = QDateTime::fromString(x.readElementText(), Qt::ISODate);
                    else
                        x.skipCurrentElement();
                }
            } else if (is(kDfxmlNamespace, "library")) {
                const QString name = x.attributes().value(QLatin1String("name")).toString();
                r.libraries.push_back({name, built.take(name), x.attributes().value(QLatin1String("version")).toString()});
                x.skipCurrentElement();
            } else {
                x.skipCurrentElement();
            }
        }
        for (auto it = built.cbegin(); it != built.cend(); ++it)
            r.libraries.push_back({it.key(), it.value(), QString()});
    }

    void readSource()
    {
        SourceDescription &s = r.source;
        while (ok() && x.readNextStartElement()) {
            if (is(kDfxmlNamespace, "image_filename"))
                s.givenPath = x.readElementText();
            else if (is(kKorvathNamespace, "device_path"))
                s.devicePath = x.readElementText();
            else if (is(kKorvathNamespace, "block_device"))
                s.blockDevice = textNumber("block_device") != 0;
            else if (is(kKorvathNamespace, "vendor"))
                s.vendor = x.readElementText();
            else if (is(kKorvathNamespace, "model"))
                s.model = x.readElementText();
            else if (is(kKorvathNamespace, "serial"))
                s.serial = x.readElementText();
            else if (is(kKorvathNamespace, "backing_file"))
                s.backingFile = x.readElementText();
            else if (is(kKorvathNamespace, "size_bytes"))
                s.sizeBytes = textNumber("size_bytes");
            else if (is(kKorvathNamespace, "sectors"))
                s.sectors = textNumber("sectors");
            else if (is(kKorvathNamespace, "recorder_signature"))
                s.recorderSignature = textNumber("recorder_signature") != 0;
            else if (is(kKorvathNamespace, "partition_start"))
                s.partitionStart = static_cast<uint32_t>(textNumber("partition_start"));
            else if (is(kKorvathNamespace, "layout")) {
                s.layout.dir_size = static_cast<uint32_t>(attrNumber("dir_size"));
                s.layout.data_offset = static_cast<uint32_t>(attrNumber("data_offset"));
                s.layout.rev_clu = static_cast<uint32_t>(attrNumber("rev_clu"));
                s.layout.totalSec = attrNumber("totalSec");
                x.skipCurrentElement();
            } else if (is(kKorvathNamespace, "directory")) {
                while (ok() && x.readNextStartElement())
                    if (is(kDfxmlNamespace, "hashdigest"))
                        s.directorySha256 = x.readElementText();
                    else
                        x.skipCurrentElement();
            } else if (is(kKorvathNamespace, "stored_image_hashes")) {
                while (ok() && x.readNextStartElement()) {
                    const QString type = x.attributes().value(QLatin1String("type")).toString();
                    s.imageHashes.push_back({type, x.readElementText()});
                }
            } else {
                x.skipCurrentElement();
            }
        }
    }

    void readCase()
    {
        CaseDetails &c = r.caseDetails;
        while (ok() && x.readNextStartElement()) {
            if (is(kKorvathNamespace, "case_number"))
                c.caseNumber = x.readElementText();
            else if (is(kKorvathNamespace, "exhibit"))
                c.exhibit = x.readElementText();
            else if (is(kKorvathNamespace, "examiner"))
                c.examiner = x.readElementText();
            else if (is(kKorvathNamespace, "note"))
                c.notes << x.readElementText();
            else
                x.skipCurrentElement();
        }
    }

    void readObservation()
    {
        const qint64 line = x.lineNumber();
        QString recorder, trueTime;
        while (ok() && x.readNextStartElement()) {
            if (is(kKorvathNamespace, "recorder_time"))
                recorder = x.readElementText();
            else if (is(kKorvathNamespace, "true_time"))
                trueTime = x.readElementText();
            else
                x.skipCurrentElement();
        }
        ClockObservation o;
        QString why;
        if (ok() && !parseClockObservation(recorder + QLatin1Char('=') + trueTime, &o, &why))
            fail(why, line);
        r.clockObservation = o;
    }

    RecorderTime stamp()
    {
        const QString raw = x.attributes().value(QLatin1String("raw")).toString();
        x.skipCurrentElement();
        if (!raw.startsWith(QLatin1String("0x")))
            fail(QStringLiteral("a recorder stamp without its raw value"));
        return static_cast<RecorderTime>(number(raw.mid(2), "raw", 16));
    }

    void readFile()
    {
        const qint64 line = x.lineNumber();
        ReportFile f;
        bool named = false, sized = false, runs = false;
        while (ok() && x.readNextStartElement()) {
            if (is(kDfxmlNamespace, "filename")) {
                f.filename = x.readElementText();
                named = !f.filename.isEmpty();
            } else if (is(kDfxmlNamespace, "filesize")) {
                f.filesize = textNumber("filesize");
                sized = true;
            } else if (is(kDfxmlNamespace, "byte_runs")) {
                runs = true;
                while (ok() && x.readNextStartElement()) {
                    ByteRun b;
                    b.fileOffset = attrNumber("file_offset");
                    b.imgOffset = attrNumber("img_offset");
                    b.length = attrNumber("len");
                    b.zeroFill = x.attributes().hasAttribute(QLatin1String("fill"));
                    x.skipCurrentElement();
                    f.byteRuns.push_back(b);
                }
            } else if (is(kDfxmlNamespace, "hashdigest")) {
                const bool sha = x.attributes().value(QLatin1String("type")) == QLatin1String("sha256");
                const QString value = x.readElementText();
                if (sha)
                    f.sha256 = value;
            } else if (is(kKorvathNamespace, "derived_from")) {
                DerivedFrom d;
                d.master = x.attributes().value(QLatin1String("master")).toString();
                d.masterHash = x.attributes().value(QLatin1String("master_sha256")).toString();
                while (ok() && x.readNextStartElement()) {
                    if (is(kKorvathNamespace, "method"))
                        d.method = x.readElementText();
                    else if (is(kKorvathNamespace, "frame_rate"))
                        d.frameRate = x.readElementText().toDouble();
                    else if (is(kKorvathNamespace, "frames_written"))
                        d.framesWritten = textNumber("frames_written");
                    else if (is(kKorvathNamespace, "frames_dropped"))
                        d.framesDropped = textNumber("frames_dropped");
                    else
                        x.skipCurrentElement();
                }
                if (d.master.isEmpty())
                    fail(QStringLiteral("a derived copy without the name of its native copy"));
                f.derived = d;
            } else if (is(kKorvathNamespace, "camera")) {
                f.channel = static_cast<uint32_t>(textNumber("camera") - 1);
            } else if (is(kKorvathNamespace, "recorder_start")) {
                f.start = stamp();
            } else if (is(kKorvathNamespace, "recorder_end")) {
                f.end = stamp();
            } else if (is(kKorvathNamespace, "record_index")) {
                f.recordIndex = static_cast<uint32_t>(textNumber("record_index"));
            } else if (is(kKorvathNamespace, "unreadable_sectors")) {
                f.unreadableSectors = textNumber("unreadable_sectors");
            } else {
                x.skipCurrentElement();
            }
        }
        if (!ok())
            return;
        static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
        if (!named)
            fail(QStringLiteral("a fileobject without its filename"), line);
        else if (!sized)
            fail(QStringLiteral("%1 has no filesize").arg(f.filename), line);
        else if (!hex.match(f.sha256).hasMatch())
            fail(QStringLiteral("%1 has no SHA-256 of 64 hex digits").arg(f.filename), line);
        else if (!f.derived && !runs)
            fail(QStringLiteral("%1 is a native copy without its byte runs").arg(f.filename), line);
        r.files.push_back(f);
    }

    QXmlStreamReader x;
    CaseReport &r;
};

} // namespace

bool readDfxmlReport(const QString &path, CaseReport *report, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    CaseReport read;
    read.libraries.clear();
    read.program.clear();
    read.version.clear();
    ReportReader reader(&file, &read);
    if (!reader.read()) {
        if (error)
            *error = reader.problem;
        return false;
    }
    *report = std::move(read);
    return true;
}

} // namespace korvath
