// korvath-cli: the window's disk list, file list and export from a terminal,
// on drives or disk images, through the library's one pipeline. This file
// only parses, prints, draws progress and hashes.
#include "disklist.h"
#include "export.h"
#include "listing.h"
#include "log.h"
#include "options.h"
#include "outputfile.h"
#include "progress.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#ifndef _WIN32
#include <unistd.h>
#endif

using namespace korvath;
using namespace korvath::cli;

namespace {

enum Exit { ExitDone = 0, ExitLoss = 1, ExitUsage = 2 };

volatile std::sig_atomic_t g_signal = 0;

extern "C" void onStopSignal(int signal)
{
    g_signal = signal;
}

// A stop asked from the terminal ends the export after the cluster in hand,
// so that what is finished keeps its name and its hash line.
void catchStopSignals()
{
#ifdef _WIN32
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#else
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &action, nullptr);
#endif
}

const char *signalName(int s)
{
    switch (s) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
#ifdef SIGHUP
    case SIGHUP:
        return "SIGHUP";
#endif
    }
    return "a signal";
}

void err(const QString &line)
{
    std::fprintf(stderr, "korvath-cli: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
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
std::shared_ptr<const SectorSource> openSource(const QString &source, QString *error)
{
    static const QRegularExpression digits(QStringLiteral("^\\d+$"));
    QString device = source;
    QString shown = QStringLiteral("'%1'").arg(source);
    if (digits.match(source).hasMatch()) {
        const int n = source.size() <= 2 ? source.toInt() : kMaxDriveNumber + 1;
        if (n > kMaxDriveNumber) {
            *error = QStringLiteral("drive number %1 is not one of 0 to %2").arg(source).arg(kMaxDriveNumber);
            return nullptr;
        }
        char path[kDrivePathBufferSize] = {};
        formatDrivePath(path, n);
        device = QString::fromLocal8Bit(path);
        if (device.isEmpty()) {
            *error = QStringLiteral("there is no drive %1 (see 'korvath-cli disks')").arg(n);
            return nullptr;
        }
        shown = QStringLiteral("drive %1 (%2)").arg(n).arg(device);
    } else if (QFileInfo(source).isDir()) {
        *error = QStringLiteral("'%1' is a folder, not a drive or disk image").arg(source);
        return nullptr;
    }
    const DriveHandle handle = openDrive(device.toLocal8Bit().constData());
    if (!handle.isValid()) {
        const int cause = errno;
        *error = QStringLiteral("cannot open %1 read-only: %2").arg(shown, QString::fromLocal8Bit(std::strerror(cause)));
        return nullptr;
    }
    auto opened = std::make_shared<DriveSource>(handle, device.toStdString());
    if (opened->sectors() <= 0) {
        *error = QStringLiteral("%1 has no sectors: not a block device or disk image").arg(shown);
        return nullptr;
    }
    return opened;
}

int runDisks(bool json)
{
    const std::vector<DiscoveredDrive> drives = discoverDrives();
    if (drives.empty()) {
        // An empty list alone cannot tell "nothing attached" from "not allowed".
        bool any = false, denied = false;
        for (int32_t n = 0; n <= kMaxDriveNumber; ++n) {
            char path[kDrivePathBufferSize] = {};
            formatDrivePath(path, n);
            if (!*path)
                continue;
            any = true;
#ifndef _WIN32
            denied = denied || (access(path, R_OK) != 0 && errno == EACCES);
#endif
        }
        if (!any)
            err(QStringLiteral("no drive found: no whole-disk block device is attached"));
        else if (denied)
            err(QStringLiteral("no drive could be opened: permission denied (run as root, or join the disk group)"));
        else
            err(QStringLiteral("no drive could be opened"));
    }
    if (json) {
        QJsonArray array;
        for (const DiscoveredDrive &d : drives)
            array.append(QJsonObject{{QStringLiteral("number"), d.number},
                                     {QStringLiteral("device"), d.path},
                                     {QStringLiteral("sectors"), static_cast<qint64>(d.sectors)},
                                     {QStringLiteral("gigabytes"), static_cast<qint64>(d.gigabytes)},
                                     {QStringLiteral("recorder"), d.recorder}});
        std::fputs(QJsonDocument(array).toJson(QJsonDocument::Indented).constData(), stdout);
        return ExitDone;
    }
    for (const DiscoveredDrive &d : drives)
        out(QStringLiteral("%1\t%2\t%3\t%4")
                .arg(d.number)
                .arg(d.gigabytes)
                .arg(d.recorder ? QStringLiteral("Male disk") : QStringLiteral("Disk"), d.path));
    return ExitDone;
}

QString channelText(const Options &o)
{
    return o.allChannels ? QStringLiteral("any channel") : QStringLiteral("channel %1").arg(o.channel + 1);
}

QString noMatchText(const Options &o)
{
    return QStringLiteral("no recording of %1 from %2 to %3").arg(channelText(o), stampText(o.from), stampText(o.to));
}

// What the listing could not see, on stderr; true when something was lost.
bool reportListingLosses(const Listing &listing)
{
    bool lost = false;
    if (!listing.signature)
        err(QStringLiteral("sector 0 carries no recorder signature: this may not be a recorder disk, "
                           "and the list may be empty or wrong"));
    if (!listing.directoryAllocated) {
        err(QStringLiteral("the directory of %1 could not be read: not enough memory")
                .arg(countText(listing.directorySectors, "sector", "sectors")));
        return true;
    }
    if (const uint64_t bad = listing.directoryUnreadableSectors()) {
        QStringList where;
        for (size_t i = 0; i < listing.directoryUnreadable.size() && i < 3; ++i) {
            const SectorRange &r = listing.directoryUnreadable[i];
            where << (r.count == 1 ? QStringLiteral("sector %1").arg(r.first)
                                   : QStringLiteral("sectors %1-%2").arg(r.first).arg(r.first + r.count - 1));
        }
        if (listing.directoryUnreadable.size() > 3)
            where << QStringLiteral("...");
        err(QStringLiteral("%1 of the directory's %2 could not be read (%3); recordings described there are "
                           "not listed")
                .arg(bad)
                .arg(countText(listing.directorySectors, "sector", "sectors"))
                .arg(where.join(QStringLiteral(", "))));
        lost = true;
    }
    if (listing.scan.bounded) {
        err(QStringLiteral("the directory links more clusters than the disk holds (damaged or crafted): listing "
                           "stopped at record %1 after %2; the list is incomplete")
                .arg(listing.scan.stoppedAtRecord)
                .arg(countText(listing.scan.clustersWalked, "cluster", "clusters")));
        lost = true;
    }
    return lost;
}

void printList(const QList<const Recording *> &recordings, const Options &o)
{
    if (!o.json) {
        for (const Recording *r : recordings) {
            const QString line = QStringLiteral("%1\t%2\t%3").arg(r->name).arg(r->clusters.size()).arg(recordingBytes(*r));
            out(o.allChannels ? QStringLiteral("%1\t%2").arg(r->channel + 1).arg(line) : line);
        }
        return;
    }
    QJsonArray array;
    for (const Recording *r : recordings) {
        QJsonArray clusters;
        for (const uint32_t c : r->clusters)
            clusters.append(static_cast<qint64>(c));
        array.append(QJsonObject{{QStringLiteral("name"), r->name},
                                 {QStringLiteral("channel"), static_cast<qint64>(r->channel) + 1},
                                 {QStringLiteral("start"), stampText(r->startTime)},
                                 {QStringLiteral("end"), stampText(r->endTime)},
                                 {QStringLiteral("clusters"), clusters},
                                 {QStringLiteral("bytes"), static_cast<qint64>(recordingBytes(*r))}});
    }
    std::fputs(QJsonDocument(array).toJson(QJsonDocument::Indented).constData(), stdout);
}

QString unreadableText(const RecordingExport &e)
{
    QStringList where;
    for (size_t i = 0; i < e.unreadableClusters.size() && i < 3; ++i)
        where << QStringLiteral("cluster %1: %2")
                     .arg(e.unreadableClusters[i].cluster)
                     .arg(countText(e.unreadableClusters[i].sectors, "sector", "sectors"));
    if (e.unreadableClusters.size() > 3)
        where << countText(e.unreadableClusters.size() - 3, "more cluster", "more clusters");
    return QStringLiteral("%1: %2 of %3 could not be read and were written as zeros (%4)")
        .arg(e.name)
        .arg(e.unreadableSectors)
        .arg(countText(e.totalSectors, "sector", "sectors"))
        .arg(where.join(QStringLiteral("; ")));
}

// Slows each cluster down, so that tests can stop an export in the middle
// of a recording on the real path. Never set in use.
int testClusterDelayMs()
{
    return qEnvironmentVariableIntValue("KORVATH_TEST_CLUSTER_DELAY_MS");
}

int runExport(const Listing &listing, const Options &o, const QList<const Recording *> &ordered)
{
    QList<ExportEntry> entries;
    for (const Recording *r : ordered)
        if (o.names.isEmpty() || o.names.contains(r->name))
            entries.append({r, true});
    if (entries.isEmpty()) {
        err(noMatchText(o));
        return ExitDone;
    }
    if (!o.overwrite) {
        const QStringList existing = existingTargets(o.outDir, entries);
        if (!existing.isEmpty()) {
            err(QStringLiteral("%1 exists already (%2 of the files to write exist); nothing was written; "
                               "give --overwrite to replace them")
                    .arg(QDir::toNativeSeparators(QDir::cleanPath(existing.first())))
                    .arg(existing.size()));
            return ExitUsage;
        }
    }

    uint64_t total = 0;
    for (const ExportEntry &e : entries)
        total += recordingBytes(*e.recording);
    Progress progress(total);
    uint64_t before = 0;
    const int delay = testClusterDelayMs();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    ExportHooks hooks;
    hooks.clusterWritten = [&](const Recording &, const uint8_t *bytes, uint32_t size, uint64_t done) {
        // The hash is of the bytes as written, not read back.
        if (o.sha256)
            hash.addData(reinterpret_cast<const char *>(bytes), static_cast<int>(size));
        progress.update(before + done);
        if (delay > 0)
            QThread::msleep(static_cast<unsigned long>(delay));
    };
    hooks.stopRequested = [] { return g_signal != 0; };
    hooks.recordingDone = [&](const RecordingExport &e) {
        before += static_cast<uint64_t>(e.totalSectors) * kSectorSize;
        // A hash line for each file as soon as it has its name: a stopped
        // export keeps the hashes of what it finished.
        if (o.sha256 && e.written()) {
            progress.finish();
            out(QStringLiteral("%1  CAM%2/%3").arg(QString::fromLatin1(hash.result().toHex())).arg(e.channel + 1).arg(e.name));
            std::fflush(stdout);
        }
        hash.reset();
    };
    const ExportOutcome outcome =
        exportRecordings(*listing.source, listing.info.data_offset, o.outDir, entries, hooks);
    progress.finish();

    for (const QString &problem : outcome.folderProblems)
        err(QStringLiteral("the folder %1 could not be created").arg(problem));
    if (outcome.sourceGone)
        err(QStringLiteral("the source stopped answering: %1 in a row could not be read at all; gave up, %2 not read")
                .arg(countText(kDeadClustersInARow, "cluster", "clusters"),
                     countText(outcome.clustersNotRead, "cluster was", "clusters were")));
    for (const RecordingExport &e : outcome.results) {
        if (e.status == ExportStatus::NoFolder)
            err(QStringLiteral("%1: not written").arg(e.name));
        else if (e.status == ExportStatus::Failed)
            err(QStringLiteral("%1: not written: %2").arg(e.name, e.error));
        else if (!e.written())
            err(QStringLiteral("%1: %2").arg(e.name, e.error));
        else if (e.unreadableSectors)
            err(unreadableText(e));
    }
    for (const QString &name : outcome.notReached)
        err(QStringLiteral("%1: not written: %2")
                .arg(name, g_signal ? QStringLiteral("the export was stopped by %1").arg(signalName(g_signal))
                                    : QStringLiteral("the source had stopped answering")));
    const int written = outcome.writtenCount();
    const int failed = entries.size() - written;
    err(QStringLiteral("%1 of %2 written, %3, %4, %5")
            .arg(written)
            .arg(countText(static_cast<uint64_t>(entries.size()), "recording", "recordings"))
            .arg(countText(outcome.bytesWritten(), "byte", "bytes"))
            .arg(countText(outcome.unreadableSectors(), "unreadable sector", "unreadable sectors"))
            .arg(countText(static_cast<uint64_t>(failed), "failure", "failures")));
    if (g_signal) {
        err(QStringLiteral("stopped by %1").arg(signalName(g_signal)));
        return 128 + g_signal;
    }
    return outcome.clean() ? ExitDone : ExitLoss;
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
    setDebugLogEnabled(o.verbose);

    if (o.command == Command::Disks)
        return runDisks(o.json);

    const std::shared_ptr<const SectorSource> source = openSource(o.source, &problem);
    if (!source) {
        err(problem);
        return ExitUsage;
    }
    ScanQuery query;
    query.channel = o.channel;
    query.start = o.from;
    query.end = o.to;
    query.allChannels = o.allChannels;
    const Listing listing = listRecordings(source, query);
    const bool lost = reportListingLosses(listing);
    if (!listing.directoryAllocated)
        return ExitLoss;
    const QList<const Recording *> ordered = orderedRecordings(listing);

    if (o.command == Command::List) {
        if (listing.empty())
            err(noMatchText(o));
        if (!listing.empty() || o.json)
            printList(ordered, o);
        return lost ? ExitLoss : ExitDone;
    }
    for (const QString &name : o.names)
        if (!listing.recordings.contains(name)) {
            err(QStringLiteral("--name '%1' is not among the recordings listed for %2 from %3 to %4")
                    .arg(name, channelText(o), stampText(o.from), stampText(o.to)));
            return ExitUsage;
        }
    catchStopSignals();
    const int status = runExport(listing, o, ordered);
    return status == ExitDone && lost ? ExitLoss : status;
}
