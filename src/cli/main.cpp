// korvath-cli: the window's disk list, file list and export from a terminal,
// on drives or disk images, through the same library calls.
#include "disklist.h"
#include "export.h"
#include "layout.h"
#include "options.h"
#include "progress.h"
#include "scan.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace korvath;
using namespace korvath::cli;

namespace {

enum Exit { ExitDone = 0, ExitLoss = 1, ExitUsage = 2 };

void err(const QString &line)
{
    std::fprintf(stderr, "korvath-cli: %s\n", line.toLocal8Bit().constData());
}

void out(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
}

QString stampText(RecorderTime t)
{
    const RecorderTimeFields f = unpackRecorderTime(t);
    return QStringLiteral("%1-%2-%3 %4:%5:%6")
        .arg(f.year)
        .arg(twoDigitText(f.month), twoDigitText(f.day), twoDigitText(f.hour), twoDigitText(f.minute),
             twoDigitText(f.second));
}

uint64_t recordingBytes(const Recording &r)
{
    return static_cast<uint64_t>(r.clusters.size()) * kClusterBytes;
}

// All digits: a drive number, as `disks` prints it; anything else: a path.
bool openSource(const QString &source, DriveHandle *handle, QString *error)
{
    static const QRegularExpression digits(QStringLiteral("^\\d+$"));
    QString device = source;
    QString shown = QStringLiteral("'%1'").arg(source);
    if (digits.match(source).hasMatch()) {
        const int n = source.size() <= 2 ? source.toInt() : kMaxDriveNumber + 1;
        if (n > kMaxDriveNumber) {
            *error = QStringLiteral("drive number %1 is not one of 0 to %2").arg(source).arg(kMaxDriveNumber);
            return false;
        }
        char path[kDrivePathBufferSize] = {};
        formatDrivePath(path, n);
        device = QString::fromLocal8Bit(path);
        if (device.isEmpty()) {
            *error = QStringLiteral("there is no drive %1 (see 'korvath-cli disks')").arg(n);
            return false;
        }
        shown = QStringLiteral("drive %1 (%2)").arg(n).arg(device);
    } else if (QFileInfo(source).isDir()) {
        *error = QStringLiteral("'%1' is a folder, not a drive or disk image").arg(source);
        return false;
    }
    *handle = openDrive(device.toLocal8Bit().constData());
    if (!handle->isValid()) {
        const int cause = errno;
        *error = QStringLiteral("cannot open %1 read-only: %2").arg(shown, QString::fromLocal8Bit(std::strerror(cause)));
        return false;
    }
    if (queryDriveSectors(*handle) <= 0) {
        *error = QStringLiteral("%1 has no sectors: not a block device or disk image").arg(shown);
        return false;
    }
    return true;
}

int runDisks()
{
    for (const DiscoveredDrive &d : discoverDrives())
        out(QStringLiteral("%1\t%2\t%3\t%4")
                .arg(d.number)
                .arg(d.gigabytes)
                .arg(d.recorder ? QStringLiteral("Male disk") : QStringLiteral("Disk"), d.path));
    return ExitDone;
}

// What "Generate file list" lists: layout from the size, the directory in one
// read, the records of the channel in the range, by name.
bool listRecordings(DriveHandle handle, const Options &o, VolumeInfo *info, RecordingMap *recordings)
{
    *info = computeVolumeInfo(handle);
    const DirectoryRead directory = readDirectory(handle, *info);
    if (!directory.allocated) {
        err(QStringLiteral("the directory of %1 sectors could not be read: not enough memory").arg(info->dir_size));
        return false;
    }
    *recordings = scanDirectory(directory.bytes.data(), directory.bytes.size(), *info, ScanQuery{o.channel, o.from, o.to});
    return true;
}

QString noMatchText(const Options &o)
{
    return QStringLiteral("no recording of channel %1 from %2 to %3")
        .arg(o.channel + 1)
        .arg(stampText(o.from), stampText(o.to));
}

void printList(const RecordingMap &recordings, bool json)
{
    if (!json) {
        for (const Recording &r : recordings)
            out(QStringLiteral("%1\t%2\t%3").arg(r.name).arg(r.clusters.size()).arg(recordingBytes(r)));
        return;
    }
    QJsonArray array;
    for (const Recording &r : recordings) {
        QJsonArray clusters;
        for (const uint32_t c : r.clusters)
            clusters.append(static_cast<qint64>(c));
        array.append(QJsonObject{{QStringLiteral("name"), r.name},
                                 {QStringLiteral("channel"), static_cast<qint64>(r.channel) + 1},
                                 {QStringLiteral("start"), stampText(r.startTime)},
                                 {QStringLiteral("end"), stampText(r.endTime)},
                                 {QStringLiteral("clusters"), clusters},
                                 {QStringLiteral("bytes"), static_cast<qint64>(recordingBytes(r))}});
    }
    std::fputs(QJsonDocument(array).toJson(QJsonDocument::Indented).constData(), stdout);
}

QString unreadableText(const RecordingExport &e)
{
    QStringList where;
    for (size_t i = 0; i < e.unreadableClusters.size() && i < 3; ++i)
        where << QStringLiteral("cluster %1: %2 sectors").arg(e.unreadableClusters[i].cluster).arg(e.unreadableClusters[i].sectors);
    if (e.unreadableClusters.size() > 3)
        where << QStringLiteral("%1 more clusters").arg(e.unreadableClusters.size() - 3);
    return QStringLiteral("%1: %2 of %3 sectors could not be read and were written as zeros (%4)")
        .arg(e.name)
        .arg(e.unreadableSectors)
        .arg(e.totalSectors)
        .arg(where.join(QStringLiteral("; ")));
}

int runExport(DriveHandle handle, const Options &o, const VolumeInfo &info, const RecordingMap &recordings)
{
    QList<Recording> chosen;
    for (const Recording &r : recordings)
        if (o.names.isEmpty() || o.names.contains(r.name))
            chosen << r;
    if (chosen.isEmpty()) {
        err(noMatchText(o));
        return ExitDone;
    }

    const QString folder = cameraFolderPath(o.outDir, o.channel);
    const QString folderProblem = makeCameraFolder(folder);
    if (!folderProblem.isEmpty()) {
        err(QStringLiteral("the folder %1 could not be created: %2").arg(QDir::cleanPath(folder), folderProblem));
        for (const Recording &r : chosen)
            err(QStringLiteral("%1: not written").arg(r.name));
        return ExitLoss;
    }

    uint64_t total = 0;
    for (const Recording &r : chosen)
        total += recordingBytes(r);
    Progress progress(total);
    const SectorReader reader = driveSectorReader(handle);
    IoBytes buffer;
    uint64_t before = 0, bytes = 0, unreadable = 0;
    int written = 0;
    QStringList problems, sums;
    for (const Recording &r : chosen) {
        // The callback runs once per cluster just written, while the buffer
        // still holds it: the hash is of the bytes as written, not read back.
        QCryptographicHash hash(QCryptographicHash::Sha256);
        const RecordingExport e = exportRecording(reader, info.data_offset, r.clusters, folder + QStringLiteral("//") + r.name,
                                                  buffer, [&](uint64_t done) {
                                                      if (o.sha256)
                                                          hash.addData(reinterpret_cast<const char *>(buffer.data()),
                                                                       static_cast<int>(kClusterBytes));
                                                      progress.update(before + done);
                                                  });
        before += recordingBytes(r);
        progress.update(before);
        if (!e.written()) {
            problems << QStringLiteral("%1: not written: %2").arg(r.name, e.error);
            continue;
        }
        ++written;
        bytes += e.bytesWritten;
        unreadable += e.unreadableSectors;
        if (e.unreadableSectors)
            problems << unreadableText(e);
        if (o.sha256)
            sums << QStringLiteral("%1  CAM%2/%3").arg(QString::fromLatin1(hash.result().toHex())).arg(o.channel + 1).arg(r.name);
    }
    progress.finish();
    for (const QString &line : sums)
        out(line);
    std::fflush(stdout);
    for (const QString &line : problems)
        err(line);
    const int failed = chosen.size() - written;
    err(QStringLiteral("%1 of %2 recordings written, %3 bytes, %4 unreadable sectors, %5 failures")
            .arg(written)
            .arg(chosen.size())
            .arg(bytes)
            .arg(unreadable)
            .arg(failed));
    return problems.isEmpty() ? ExitDone : ExitLoss;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvath-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVATH_VERSION));

    Options o;
    QString problem;
    if (!parseOptions(QCoreApplication::arguments(), &o, &problem)) {
        err(problem);
        return ExitUsage;
    }
    // The library logs a line per record; a terminal wants none of that unless asked.
    QLoggingCategory::setFilterRules(o.verbose ? QStringLiteral("korvath.debug=true") : QStringLiteral("korvath.debug=false"));

    if (o.command == Command::Disks)
        return runDisks();

    DriveHandle handle;
    if (!openSource(o.source, &handle, &problem)) {
        err(problem);
        return ExitUsage;
    }
    VolumeInfo info;
    RecordingMap recordings;
    if (!listRecordings(handle, o, &info, &recordings))
        return ExitLoss;

    if (o.command == Command::List) {
        if (recordings.isEmpty())
            err(noMatchText(o));
        else
            printList(recordings, o.json);
        return ExitDone;
    }
    for (const QString &name : o.names)
        if (!recordings.contains(name)) {
            err(QStringLiteral("--name '%1' is not among the recordings listed for channel %2 from %3 to %4")
                    .arg(name)
                    .arg(o.channel + 1)
                    .arg(stampText(o.from), stampText(o.to)));
            return ExitUsage;
        }
    return runExport(handle, o, info, recordings);
}
