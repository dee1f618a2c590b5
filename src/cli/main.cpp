// korvath-cli: the window's listing and export from a terminal, on drives or images.
#include "disklist.h"
#include "export.h"
#include "layout.h"
#include "scan.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace korvath;

namespace {

enum Exit { ExitOk = 0, ExitLoss = 1, ExitUsage = 2 };

void err(const QString &line)
{
    std::fprintf(stderr, "korvath-cli: %s\n", qPrintable(line));
}

void out(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
}

bool parseTime(const QString &text, RecorderTime *value)
{
    static const QRegularExpression re(QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})[ T](\\d{2}):(\\d{2}):(\\d{2})$"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch())
        return false;
    const QDate d(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime t(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!d.isValid() || !t.isValid() || d.year() < 2000 || d.year() > 2063)
        return false;
    *value = packRecorderTime(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second());
    return true;
}

QString isoText(RecorderTime t)
{
    const RecorderTimeFields f = unpackRecorderTime(t);
    return QStringLiteral("%1-%2-%3 %4:%5:%6")
        .arg(f.year)
        .arg(twoDigitText(f.month), twoDigitText(f.day), twoDigitText(f.hour), twoDigitText(f.minute),
             twoDigitText(f.second));
}

// A drive number as `disks` prints it, or a path.
DriveHandle openSource(const QString &source, QString *device)
{
    bool isNumber = false;
    const int n = source.toInt(&isNumber);
    if (isNumber && n >= 0 && n <= kMaxDriveNumber) {
        char path[kDrivePathBufferSize] = {};
        formatDrivePath(path, n);
        *device = QString::fromLocal8Bit(path);
    } else {
        *device = source;
    }
    return openDrive(device->toLocal8Bit().constData());
}

int cmdDisks()
{
    for (const DiscoveredDrive &d : discoverDrives())
        out(QStringLiteral("%1\t%2\t%3\t%4")
                .arg(d.number)
                .arg(d.gigabytes)
                .arg(d.recorder ? QStringLiteral("Male disk") : QStringLiteral("Disk"), d.path));
    return ExitOk;
}

struct Listing {
    VolumeInfo info;
    RecordingMap recordings;
};

Listing listRecordings(DriveHandle h, const ScanQuery &q)
{
    Listing l;
    l.info = computeVolumeInfo(h);
    const DirectoryRead dir = readDirectory(h, l.info);
    l.recordings = scanDirectory(dir.bytes.data(), dir.bytes.size(), l.info, q);
    return l;
}

class Progress
{
public:
    explicit Progress(uint64_t total) : m_total(total), m_tty(::isatty(STDERR_FILENO) == 1) { m_clock.start(); }
    void update(uint64_t done)
    {
        if (!m_tty || m_total == 0)
            return;
        const double secs = m_clock.elapsed() / 1000.0;
        const double rate = secs > 0 ? done / secs : 0;
        const double left = rate > 0 ? (m_total - done) / rate : 0;
        const int width = 30;
        const int filled = static_cast<int>(width * done / m_total);
        std::fprintf(stderr, "\r[%s%s] %llu/%llu MiB  %.1f MiB/s  %.0f s left ", QByteArray(filled, '#').constData(),
                     QByteArray(width - filled, '.').constData(), static_cast<unsigned long long>(done >> 20),
                     static_cast<unsigned long long>(m_total >> 20), rate / 1048576.0, left);
    }
    void finish()
    {
        if (m_tty && m_total)
            std::fputc('\n', stderr);
    }

private:
    uint64_t m_total;
    bool m_tty;
    QElapsedTimer m_clock;
};

QByteArray fileSha256(const QString &path)
{
    QFile f(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!f.open(QIODevice::ReadOnly) || !hash.addData(&f))
        return {};
    return hash.result().toHex();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvath-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVATH_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Lists and exports the recordings of a video recorder's disk, read-only.\n\n"
        "  korvath-cli disks\n"
        "  korvath-cli list   SOURCE [--channel N] [--from TIME] [--to TIME] [--json]\n"
        "  korvath-cli export SOURCE --out DIR [--channel N] [--from TIME] [--to TIME] [--name NAME]... [--sha256]\n\n"
        "SOURCE is a drive number as 'disks' prints it, or the path of a block device or disk image.\n"
        "TIME is 'YYYY-MM-DD HH:MM:SS' (or with T), the recorder's wall clock."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption channelOpt(QStringLiteral("channel"), QStringLiteral("Camera channel, 1 to 64 (default 1)."), QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption fromOpt(QStringLiteral("from"), QStringLiteral("Start of the range."), QStringLiteral("TIME"), QStringLiteral("2000-01-01 00:00:00"));
    const QCommandLineOption toOpt(QStringLiteral("to"), QStringLiteral("End of the range."), QStringLiteral("TIME"), QStringLiteral("2063-12-31 23:59:59"));
    const QCommandLineOption jsonOpt(QStringLiteral("json"), QStringLiteral("list: print one JSON array."));
    const QCommandLineOption outOpt(QStringLiteral("out"), QStringLiteral("export: the folder to write into."), QStringLiteral("DIR"));
    const QCommandLineOption nameOpt(QStringLiteral("name"), QStringLiteral("export: only this recording (repeatable)."), QStringLiteral("NAME"));
    const QCommandLineOption shaOpt(QStringLiteral("sha256"), QStringLiteral("export: print each file's SHA-256 as sha256sum does."));
    const QCommandLineOption verboseOpt(QStringLiteral("verbose"), QStringLiteral("Write the debug log to stderr."));
    parser.addOptions({channelOpt, fromOpt, toOpt, jsonOpt, outOpt, nameOpt, shaOpt, verboseOpt});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("disks, list or export"));

    if (!parser.parse(QCoreApplication::arguments())) {
        err(parser.errorText());
        return ExitUsage;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(ExitOk);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.isSet(verboseOpt))
        QLoggingCategory::setFilterRules(QStringLiteral("korvath.debug=false"));

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    if (command == QLatin1String("disks")) {
        if (args.size() != 1) {
            err(QStringLiteral("'disks' takes no argument"));
            return ExitUsage;
        }
        return cmdDisks();
    }
    if (command != QLatin1String("list") && command != QLatin1String("export")) {
        err(command.isEmpty() ? QStringLiteral("no command given (disks, list or export); see --help")
                              : QStringLiteral("unknown command '%1'").arg(command));
        return ExitUsage;
    }
    const bool exporting = command == QLatin1String("export");
    if (args.size() != 2) {
        err(args.size() < 2 ? QStringLiteral("'%1' needs a SOURCE").arg(command)
                            : QStringLiteral("unexpected argument '%1'").arg(args.value(2)));
        return ExitUsage;
    }
    if (!exporting && (parser.isSet(outOpt) || parser.isSet(nameOpt) || parser.isSet(shaOpt))) {
        err(QStringLiteral("--out, --name and --sha256 belong to 'export'"));
        return ExitUsage;
    }
    if (exporting && parser.isSet(jsonOpt)) {
        err(QStringLiteral("--json belongs to 'list'"));
        return ExitUsage;
    }
    bool ok = false;
    const uint channel = parser.value(channelOpt).toUInt(&ok);
    if (!ok || channel < 1 || channel > 64) {
        err(QStringLiteral("--channel must be a number from 1 to 64, not '%1'").arg(parser.value(channelOpt)));
        return ExitUsage;
    }
    ScanQuery query;
    query.channel = channel - 1;
    if (!parseTime(parser.value(fromOpt), &query.start)) {
        err(QStringLiteral("--from '%1' is not a time YYYY-MM-DD HH:MM:SS from 2000 to 2063").arg(parser.value(fromOpt)));
        return ExitUsage;
    }
    if (!parseTime(parser.value(toOpt), &query.end)) {
        err(QStringLiteral("--to '%1' is not a time YYYY-MM-DD HH:MM:SS from 2000 to 2063").arg(parser.value(toOpt)));
        return ExitUsage;
    }
    if (exporting && parser.value(outOpt).isEmpty()) {
        err(QStringLiteral("'export' needs --out DIR"));
        return ExitUsage;
    }

    QString device;
    const DriveHandle h = openSource(args[1], &device);
    if (!h.isValid()) {
        err(QStringLiteral("cannot open '%1' read-only: %2").arg(args[1], QString::fromLocal8Bit(std::strerror(errno))));
        return ExitUsage;
    }
    const Listing listing = listRecordings(h, query);

    if (!exporting) {
        if (listing.recordings.isEmpty()) {
            err(QStringLiteral("no recording of channel %1 in that range").arg(channel));
            if (parser.isSet(jsonOpt))
                out(QStringLiteral("[]"));
            return ExitOk;
        }
        if (parser.isSet(jsonOpt)) {
            QJsonArray array;
            for (const Recording &r : listing.recordings) {
                QJsonArray clusters;
                for (uint32_t c : r.clusters)
                    clusters.append(static_cast<qint64>(c));
                array.append(QJsonObject{{QStringLiteral("name"), r.name},
                                         {QStringLiteral("channel"), static_cast<int>(r.channel + 1)},
                                         {QStringLiteral("start"), isoText(r.startTime)},
                                         {QStringLiteral("end"), isoText(r.endTime)},
                                         {QStringLiteral("clusters"), clusters},
                                         {QStringLiteral("bytes"), static_cast<qint64>(r.clusters.size()) * kClusterBytes}});
            }
            std::fputs(QJsonDocument(array).toJson(QJsonDocument::Indented).constData(), stdout);
            return ExitOk;
        }
        for (const Recording &r : listing.recordings)
            out(QStringLiteral("%1\t%2\t%3").arg(r.name).arg(r.clusters.size()).arg(static_cast<qint64>(r.clusters.size()) * kClusterBytes));
        return ExitOk;
    }

    // Export: every name asked for must be listed before anything is written.
    const QStringList names = parser.values(nameOpt);
    for (const QString &n : names)
        if (!listing.recordings.contains(n)) {
            err(QStringLiteral("--name '%1' is not among the recordings listed for channel %2 in that range").arg(n).arg(channel));
            return ExitUsage;
        }
    QList<Recording> chosen;
    for (const Recording &r : listing.recordings)
        if (names.isEmpty() || names.contains(r.name))
            chosen << r;
    const QString outDir = parser.value(outOpt);
    if (!QFileInfo(outDir).isDir()) {
        err(QStringLiteral("--out '%1' is not a folder").arg(outDir));
        return ExitUsage;
    }
    if (chosen.isEmpty()) {
        err(QStringLiteral("no recording of channel %1 in that range").arg(channel));
        return ExitOk;
    }
    const QString folder = cameraFolderPath(outDir, query.channel);
    const QString folderProblem = makeCameraFolder(folder);
    if (!folderProblem.isEmpty()) {
        err(QStringLiteral("nothing written: %1").arg(folderProblem));
        return ExitLoss;
    }

    uint64_t total = 0;
    for (const Recording &r : chosen)
        total += static_cast<uint64_t>(r.clusters.size()) * kClusterBytes;
    Progress progress(total);
    const SectorReader reader = driveSectorReader(h);
    std::vector<uint8_t> buffer;
    uint64_t doneBefore = 0, bytes = 0, unreadable = 0;
    int written = 0;
    QStringList failures, shaLines;
    for (const Recording &r : chosen) {
        const QString path = folder + QStringLiteral("//") + r.name;
        const RecordingExport e = exportRecording(reader, listing.info.data_offset, r.clusters, path, buffer,
                                                  [&](uint64_t done) { progress.update(doneBefore + done); });
        doneBefore += static_cast<uint64_t>(r.clusters.size()) * kClusterBytes;
        if (!e.written()) {
            failures << QStringLiteral("%1: not written, %2").arg(r.name, e.error);
            continue;
        }
        ++written;
        bytes += e.bytesWritten;
        if (e.unreadableSectors) {
            unreadable += e.unreadableSectors;
            failures << QStringLiteral("%1: %2 unreadable sectors left as zeros").arg(r.name).arg(e.unreadableSectors);
        }
        if (parser.isSet(shaOpt))
            shaLines << QStringLiteral("%1  %2").arg(QString::fromLatin1(fileSha256(path)),
                                                      QStringLiteral("CAM%1/%2").arg(channel).arg(r.name));
    }
    progress.finish();
    for (const QString &l : shaLines)
        out(l);
    for (const QString &f : failures)
        err(f);
    std::fprintf(stderr, "korvath-cli: %d of %d recordings written, %llu bytes, %llu unreadable sectors, %d failures\n",
                 written, static_cast<int>(chosen.size()), static_cast<unsigned long long>(bytes),
                 static_cast<unsigned long long>(unreadable), static_cast<int>(chosen.size()) - written);
    return failures.isEmpty() ? ExitOk : ExitLoss;
}
