// korvath-cli: the window's disk list, file list and export from a terminal,
// on drives or disk images, through the library's one pipeline. The commands
// only parse, print, draw progress and hash.
#include "commands.h"
#include "log.h"

#include <QCoreApplication>
#include <csignal>

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
    // The library logs a line per record; a terminal wants none of that unless asked.
    setDebugLogEnabled(o.verbose);

    if (o.command == Command::Disks)
        return runDisks(o);

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
    if (o.command == Command::List)
        return runList(listing, o, lost);
    for (const QString &name : o.names)
        if (!listing.recordings.contains(name)) {
            err(QStringLiteral("--name '%1' is not among the recordings listed for %2 from %3 to %4")
                    .arg(name, channelText(o), stampText(o.from), stampText(o.to)));
            return ExitUsage;
        }
    catchStopSignals();
    const int status = o.command == Command::Preview ? runPreview(listing, o, orderedRecordings(listing))
                                                     : runExport(listing, o, orderedRecordings(listing));
    return status == ExitDone && lost ? ExitLoss : status;
}
