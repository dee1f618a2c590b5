// The case job: the chosen recordings of a listing copied out byte for byte,
// hashed as they are written, with playable copies and the case report when
// asked, on a thread of its own. The faces observe its events and may cancel
// it at any moment, even while a read hangs.
#pragma once

#include "casesource.h"
#include "clock.h"
#include "dfxmlreport.h"
#include "export.h"
#include "listing.h"
#include "outputfile.h"
#include "rescuemap.h"

#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>
#include <memory>
#include <optional>

namespace korvath {

struct JobEntry {
    QString name;          // of a recording in the listing
    bool selected = true;  // unselected entries are walked (EntryReached) but not written
};

struct JobRequest {
    CaseSource source;         // what is read (source.source; the listing's source when null) and described
    Listing listing;           // the job keeps its own copy
    QString directoryDigest;   // SHA-256 of the directory as read, for the report
    QVector<JobEntry> entries; // in the order they are walked
    QString folder;            // CAM<n>/ (and CAM<n>/playable/) below it
    bool sha256 = false;       // a digest for each file written
    bool mp4 = false;          // a playable copy beside each native copy
    QString reportPath;        // the DFXML case report; empty: none
    // For the report.
    CaseDetails caseDetails;
    std::optional<qint64> clockOffset;
    std::optional<ClockObservation> clockObservation;
    QString program = QStringLiteral("korvath-cli");
    QString commandLine;
    // How the source is read: deadline per read, and the map of this work.
    int readTimeoutMs = 30000;
    QString mapPath;       // empty: no map
    RescueMap map;         // loaded or new (openWorkMap)
    bool resume = false;   // the map is an earlier run's: what it finished is not read again
};

enum class JobProblem {
    Folder,      // a folder could not be made
    NotWritten,  // a recording was not written (why)
    Losses,      // written with unreadable sectors (which)
    NotReached,  // not tried: cancelled, or the source had gone
    SourceGone,  // the source stopped answering
    ReadsLeft,   // reads that hung past the deadline were left behind
    Map,         // the map could not be saved
    NoPlayable,  // no MP4 was made
    Report,      // the report could not be written
};

struct JobEvent {
    enum Kind {
        EntryReached,     // `index` of the walk, before it is looked at
        RecordingStarted, // `name`, `total` bytes
        Progress,         // `done` of `total` bytes of the whole job
        FileWritten,      // `name` at `path` (`shown` relative to the folder), `sha256` when asked
        DerivedCopy,      // a playable copy of `name` at `path`; `text` says what it holds; `sha256`
        Problem,          // `problem`: `name` (the file, when there is one) and `text` (the whole line)
        MapSummary,       // `text`: the map's summary at the end
    } kind = Progress;
    int index = -1;
    QString name;
    QString path;
    QString shown;
    QString sha256;
    QString text;
    JobProblem problem = JobProblem::NotWritten;
    uint64_t done = 0;
    uint64_t total = 0;
};

struct JobOutcome {
    ExportOutcome exported;
    int entries = 0;         // selected
    int playableMissing = 0; // native copies written without their MP4
    bool reportLost = false;
    bool cancelled = false;
    QString cancelReason;
    bool clean() const;      // everything written whole, nothing missing
    // "N of M recordings written, B bytes, U unreadable sectors, F failures"
    QString summaryText() const;
    // With MP4s asked and missing: "N of M playable copies written"; else empty.
    QString playableText() const;
};

// The files the request would write that exist already (native copies and
// playable copies); with a map to resume from, those it shows finished are its own.
QStringList existingOutputs(const JobRequest &request);

// Claims what an export of `recordings` into `folder` writes (camera
// folders, native copies and, with `mp4`, playable copies and their folders)
// for a check that nothing lands on the source or on another output.
void claimExportFiles(OutputClaims &claims, const QString &folder, const QList<const Recording *> &recordings, bool mp4);
// "'path'", as outputs are named in refusals.
QString quotedPath(const QString &path);

class CaseJob
{
public:
    using Observer = std::function<void(const JobEvent &)>;
    // `observe` is called on the job's thread, one event at a time, in order.
    CaseJob(JobRequest request, Observer observe);
    ~CaseJob(); // cancels and waits
    CaseJob(const CaseJob &) = delete;
    CaseJob &operator=(const CaseJob &) = delete;

    void start();
    // Stops after the cluster in hand, or abandons a read that hangs.
    // `stoppedBy` names the cause ("the export was stopped by SIGINT").
    void cancel(const QString &stoppedBy = QStringLiteral("the user"));
    // True once finished; waits up to `ms` (negative: for ever).
    bool wait(int ms = -1);
    const JobOutcome &outcome() const; // after wait() returned true

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace korvath
