// korvath-cli: the window's disk list, file list and export from a terminal,
// on drives or disk images, through the library's one pipeline. The commands
// only parse, print, draw progress and hash.
#include "clock.h"
#include "commands.h"
#include "log.h"
#include "outputfile.h"
#include "videomodule.h"

#include <QCoreApplication>
#include <QDir>
#include <cerrno>
#include <csignal>
#include <functional>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace korvath {
namespace cli {

namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void onStopSignal(int signal)
{
    g_signal = signal;
}

// A stop asked from the terminal ends the export after the cluster in hand,
// so that what is finished keeps its name and its hash line.
} // namespace

int stopSignal()
{
    return g_signal;
}

void requestStop(int signal)
{
    g_signal = signal;
}

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
#ifdef SIGPIPE
    case SIGPIPE:
        return "a closed pipe on standard output";
#endif
    }
    return "a signal";
}

namespace {

// A standard descriptor closed by the caller would be handed to the next
// file opened, and hash lines would land in an output or the source. It is
// held by /dev/null read-only instead, so that writing to it fails.
void holdStandardDescriptors()
{
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int held = ::open("/dev/null", O_RDONLY);
            if (held >= 0 && held != fd) {
                ::dup2(held, fd);
                ::close(held);
            }
        }
#endif
}

// Outputs written at the end are tried now: a folder that cannot take them
// is refused before anything is read.
bool outputWritable(const QString &option, const QString &path)
{
    OutputFile probe(path);
    if (probe.open())
        return true;
    err(QStringLiteral("%1 '%2' cannot be written (%3); nothing was read or written")
            .arg(option, QDir::toNativeSeparators(path), probe.errorString()));
    return false;
}

int run(const Options &o);

} // namespace

} // namespace cli
} // namespace korvath

using namespace korvath;
using namespace korvath::cli;

int main(int argc, char **argv)
{
    holdStandardDescriptors();
#ifdef SIGPIPE
    // A closed pipe is seen as EPIPE and stops the command in order.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvath-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVATH_VERSION));

    Options o;
    QString problem;
    if (!parseOptions(QCoreApplication::arguments(), &o, &problem)) {
        err(problem);
        return ExitUsage;
    }
    int status = run(o);
    flushOut();
    if (stopSignal() == SIGPIPE && status < 128) {
        err(QStringLiteral("stopped by %1").arg(signalName(SIGPIPE)));
        return 128 + SIGPIPE;
    }
    return stdoutFailed() && status == ExitDone ? ExitLoss : status;
}

namespace korvath {
namespace cli {
namespace {

int run(const Options &o)
{
    QString problem;
    // Playable copies and previews load the video module (FFmpeg) now, before
    // anything is read; the other commands never load it.
    if (o.mp4 || o.command == Command::Preview || o.command == Command::Carve || o.carved || o.frames > 0) {
        QString why;
        if (!videoModule(&why)) {
            err(QStringLiteral("%1 needs FFmpeg's libraries, and this korvath-cli cannot load its video module: %2")
                    .arg(o.mp4             ? QStringLiteral("--mp4")
                         : o.carved        ? QStringLiteral("--carved")
                         : o.frames > 0    ? QStringLiteral("--frames")
                         : o.command == Command::Carve ? QStringLiteral("'carve'")
                                                       : QStringLiteral("'preview'"),
                         why));
            return ExitUsage;
        }
        // FFmpeg's own lines go to the debug log: a damaged recording makes thousands.
        videoModule(nullptr)->quietVideoLibraries();
    }
    // The library logs a line per record; a terminal wants none of that unless asked.
    setDebugLogEnabled(o.verbose);

    if (o.command == Command::Disks)
        return runDisks(o);
    if (o.command == Command::Verify)
        return runVerify(o);

    QStringList notes;
    CaseSource opened = openCaseSource(o.source, &problem, &notes);
    for (const QString &note : notes)
        err(note);
    if (!opened.source) {
        err(problem);
        return ExitUsage;
    }
    if (!o.sourceMap.isEmpty()) {
        // What the map does not mark finished reads as unreadable, and is named so.
        if (!readThroughImageMap(opened, o.sourceMap, &problem)) {
            err(problem);
            return ExitUsage;
        }
        err(QStringLiteral("source: an image with its map %1 (%2); every area not finished reads as unreadable")
                .arg(QDir::toNativeSeparators(o.sourceMap), opened.description.imageMapSummary));
    }
    const QString clash = outputClash(o, opened, {});
    if (!clash.isEmpty()) {
        err(clash);
        return ExitUsage;
    }
    if (!o.report.isEmpty() && !outputWritable(QStringLiteral("--report"), o.report))
        return ExitUsage;
    if (o.command == Command::Overview && !outputWritable(QStringLiteral("--out"), o.outDir))
        return ExitUsage;

    ScanQuery query;
    query.channel = o.channel;
    query.start = o.from;
    query.end = o.to;
    query.allChannels = o.allChannels;
    query.unlisted = o.unlisted || o.carved || o.command == Command::Overview || o.command == Command::Carve;
    DirectoryRead directory; // kept for the image: it is not read twice
    CaseListing listed = listCase(opened, query, !o.report.isEmpty() || o.command == Command::Image,
                                  o.command == Command::Image ? &directory : nullptr);
    const QString directoryDigest = listed.directoryDigest;
    Listing &listing = listed.listing;
    bool lost = reportListingLosses(listing);
    keepSameNamed(listing);
    // An image is made whatever the directory says: its sectors are worth keeping.
    if (!listing.directoryAllocated && o.command != Command::Image)
        return ExitLoss;
    if (query.unlisted && listing.unlistedBounded) {
        err(QStringLiteral("the walks from the start records reached the scan's bound: which records no walk "
                           "reaches is not known, so no unlisted recording is listed and nothing is carved"));
        lost = true;
    }
    if (o.unlisted)
        listing.recordings = unlistedMatching(listing.unlisted, query);
    if (o.command == Command::Carve || (o.carved && o.command == Command::Preview)) {
        catchStopSignals();
        const int status = runCarve(listing, o, opened, directoryDigest);
        return status == ExitDone && lost ? ExitLoss : status;
    }
    if (o.command == Command::List)
        return runList(listing, o, lost);
    // What writes files stops in order: nothing in hand is left behind.
    catchStopSignals();
    if (o.command == Command::Overview)
        return runOverview(listing, o, opened, lost);
    if (o.clockOffset && (o.fromGiven || o.toGiven))
        err(QStringLiteral("clock offset %1: the true times %2 to %3 are the recorder's %4 to %5")
                .arg(clockOffsetText(*o.clockOffset), stampText(o.trueFrom), stampText(o.trueTo), stampText(o.from),
                     stampText(o.to)));
    for (const QString &name : o.names)
        if (!listing.recordings.contains(name)) {
            err(QStringLiteral("--name '%1' is not among the recordings listed for %2 from %3 to %4")
                    .arg(name, channelText(o), stampText(o.from), stampText(o.to)));
            return ExitUsage;
        }
    const int status = o.command == Command::Preview ? runPreview(listing, o, orderedRecordings(listing), opened)
                       : o.command == Command::Image ? runImage(listing, o, opened, directoryDigest, directory)
                                                     : runExport(listing, o, orderedRecordings(listing), opened, directoryDigest);
    return status == ExitDone && lost ? ExitLoss : status;
}

} // namespace
} // namespace cli
} // namespace korvath
