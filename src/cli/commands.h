// What the commands of korvath-cli share: their exit codes, how they print,
// and the source they read.
#pragma once

#include "casejob.h"
#include "casesource.h"
#include "dfxmlreport.h"
#include "directory.h"
#include "export.h"
#include "listing.h"
#include "scan.h"
#include "options.h"
#include "recordertime.h"
#include "rescuemap.h"

#include <QList>
#include <QPair>
#include <QStringList>
#include <QString>
#include <memory>
#include <vector>

namespace korvath {

struct Fragment;

namespace cli {

enum Exit { ExitDone = 0, ExitLoss = 1, ExitUsage = 2 };

// One line on stderr, "korvath-cli: " first; one line, or text, on stdout.
void err(const QString &line);
void out(const QString &line);
void outText(const QByteArray &text);
// Pushes stdout's lines out now; false once a write to it has failed. A
// closed pipe stops the command as a stop signal would (SIGPIPE); any other
// failure is said on stderr once, and the run then fails.
bool flushOut();
bool stdoutFailed();

QString stampText(RecorderTime t);
QString channelText(const Options &o);
QString noMatchText(const Options &o);
// The true time of a recorder stamp with the offset given; empty where there
// is none (an impossible stamp, or one that leaves the stamp years).
QString trueTimeText(RecorderTime stamp, qint64 offset);

// The signal that asked the export to stop, or 0; SIGPIPE for a closed pipe on stdout.
int stopSignal();
void requestStop(int signal);
const char *signalName(int signal);
void catchStopSignals();

// The first output of the command that would land on the source or a file of
// its set, on another output, on its temporary name or on a folder outputs go
// into, as one line; empty when there is none. Before the listing `chosen` is
// empty, and only the outputs named on the command line are checked.
QString outputClash(const Options &o, const CaseSource &opened, const QList<const Recording *> &chosen);
// preview --out: one .png for one recording, else a folder of CAM<n>/<name>.png.
bool previewIsOnePicture(const Options &o);
QString previewPath(const Options &o, const Recording &r);

int runDisks(const Options &o);
// What the listing could not see, on stderr; true when something was lost.
bool reportListingLosses(const Listing &listing);
// Recordings that share a name are all kept, the earlier ones under their
// first cluster's name; each is said on stderr.
void keepSameNamed(Listing &listing);
int runList(const Listing &listing, const Options &o, bool lost);
// The directory's SHA-256 as read, for the report; empty when none was asked.
int runExport(const Listing &listing, const Options &o, const QList<const Recording *> &ordered,
              const CaseSource &opened, const QString &directoryDigest);

// The job the options ask of the listing (entries, outputs, report details, map settings still to load).
JobRequest jobRequest(const Options &o, const CaseSource &opened, const Listing &listing, const QString &directoryDigest);
// The map of the work (--map): new, or loaded to go on from (`resume`); false
// (and a line on stderr) when it is not the map of this source.
bool openWorkMap(const Options &o, uint64_t sourceBytes, RescueMap *map, bool *resume);
// A raw image of the source, evidence first.
// `directory`: the directory as the listing read it, written without a second read.
int runImage(const Listing &listing, const Options &o, const CaseSource &opened, const QString &directoryDigest,
             const DirectoryRead &directory);
int runOverview(const Listing &listing, const Options &o, const CaseSource &opened, bool lost);
// The fragments of H.264 in the clusters no record claims, found with a
// progress bar and stoppable; nothing without FFmpeg's libraries.
std::vector<Fragment> findFragments(const Listing &listing, bool *stopped);
// carve: the fragments written to DIR/carved/ as an export writes; with
// --carved, preview: their contact sheets.
int runCarve(Listing &listing, const Options &o, const CaseSource &opened, const QString &directoryDigest);
// Contact sheets of the listed recordings, straight from the source.
int runPreview(const Listing &listing, const Options &o, const QList<const Recording *> &ordered,
               const CaseSource &opened);
// Checks the files of a case report, and with a source their bytes on it.
int runVerify(const Options &o);

} // namespace cli
} // namespace korvath
