// What the commands of korvath-cli share: their exit codes, how they print,
// and the source they read.
#pragma once

#include "listing.h"
#include "options.h"
#include "recordertime.h"

#include <QList>
#include <QString>
#include <memory>

namespace korvath {
namespace cli {

enum Exit { ExitDone = 0, ExitLoss = 1, ExitUsage = 2 };

// One line on stderr, "korvath-cli: " first; one line on stdout.
void err(const QString &line);
void out(const QString &line);

QString stampText(RecorderTime t);
uint64_t recordingBytes(const Recording &r);
QString channelText(const Options &o);
QString noMatchText(const Options &o);

// A drive number as `disks` prints it, or the path of a device or image;
// null with the reason in `error` (a usage error).
std::shared_ptr<const SectorSource> openSource(const QString &source, QString *error);

// The signal that asked the export to stop, or 0.
int stopSignal();
const char *signalName(int signal);
void catchStopSignals();

int runDisks(const Options &o);
// What the listing could not see, on stderr; true when something was lost.
bool reportListingLosses(const Listing &listing);
int runList(const Listing &listing, const Options &o, bool lost);
int runExport(const Listing &listing, const Options &o, const QList<const Recording *> &ordered);
// Contact sheets of the listed recordings, straight from the source.
int runPreview(const Listing &listing, const Options &o, const QList<const Recording *> &ordered);

} // namespace cli
} // namespace korvath
