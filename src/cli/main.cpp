// korvath-cli: the window's disk list, file list and export from a terminal,
// on drives or disk images, through the library's one pipeline. The commands
// only parse, print, draw progress and hash.
#include "clock.h"
#include "commands.h"
#include "log.h"
#include "sha256.h"

#include <QCoreApplication>
#include <QDir>
#include <csignal>
#include <functional>

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

} // namespace cli
} // namespace korvath

using namespace korvath;
using namespace korvath::cli;

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
    if (o.frames > 0 && !previewsBuiltIn()) {
        err(QStringLiteral("--frames needs previews, and this korvath-cli was built without FFmpeg's libraries "
                           "(install libavformat-dev, libavcodec-dev, libswscale-dev and build again)"));
        return ExitUsage;
    }
    // The library logs a line per record; a terminal wants none of that unless asked.
    setDebugLogEnabled(o.verbose);

    if (o.command == Command::Disks)
        return runDisks(o);

    OpenedSource opened = openSource(o.source, &problem);
    if (!opened.source) {
        err(problem);
        return ExitUsage;
    }
    if (!o.sourceMap.isEmpty()) {
        // What the map does not mark finished reads as unreadable, and is named so.
        RescueMap map;
        const uint64_t bytes = static_cast<uint64_t>(std::max<int64_t>(opened.source->sectors(), 0)) * kSectorSize;
        if (!RescueMap::load(o.sourceMap, bytes, &map, &problem)) {
            err(problem);
            return ExitUsage;
        }
        err(QStringLiteral("source: an image with its map %1 (%2); every area not finished reads as unreadable")
                .arg(QDir::toNativeSeparators(o.sourceMap), mapSummaryText(map)));
        opened.imageMap = o.sourceMap;
        opened.source = std::make_shared<MappedImageSource>(opened.source, std::move(map));
    }
    ScanQuery query;
    query.channel = o.channel;
    query.start = o.from;
    query.end = o.to;
    query.allChannels = o.allChannels;
    QString directorySha256;
    std::function<void(const DirectoryRead &)> onDirectory;
    DirectoryRead directory; // kept for the image: it is not read twice
    if (!o.report.isEmpty() || o.command == Command::Image)
        onDirectory = [&](const DirectoryRead &d) {
            directorySha256 = QString::fromStdString(Sha256::hexOf(d.bytes.data(), d.bytes.size()));
            if (o.command == Command::Image)
                directory = d;
        };
    const Listing listing = listRecordings(opened.source, query, onDirectory);
    const bool lost = reportListingLosses(listing);
    if (!listing.directoryAllocated && o.command != Command::Image)
        return ExitLoss;
    if (o.command == Command::List)
        return runList(listing, o, lost);
    if (o.command == Command::Overview)
        return runOverview(listing, o, lost);
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
    catchStopSignals();
    const int status = o.command == Command::Preview ? runPreview(listing, o, orderedRecordings(listing))
                       : o.command == Command::Image ? runImage(listing, o, opened, directorySha256, directory)
                                                     : runExport(listing, o, orderedRecordings(listing), opened, directorySha256);
    return status == ExitDone && lost ? ExitLoss : status;
}
