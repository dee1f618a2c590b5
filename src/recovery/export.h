// Copying recordings from a source into files: each cluster read whole where
// it can be, each file written under a temporary name and given its own name
// only when complete, every loss counted and named.
#pragma once

#include "counttext.h"
#include "deadlinereader.h"
#include "iobuffer.h"
#include "layout.h"
#include "lossmap.h"
#include "rescuemap.h"
#include "scan.h"
#include "sectorread.h"
#include "source.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace korvath {

struct UnreadableCluster {
    uint32_t cluster = 0;
    uint32_t sectors = 0; // of kClusterSectors, left as zeros
};

enum class ExportStatus {
    Written,    // complete under its name (perhaps with zeros for unreadable sectors)
    Failed,     // the file could not be made, written or named
    NoFolder,   // its camera folder could not be made
    Cancelled,  // stopped by the user during its copy
    SourceGone, // the source stopped answering during or before its copy
    Pending,    // some clusters failed whole and wait for the second pass (never in an outcome)
};

struct RecordingExport {
    QString name;
    QString path; // the final name
    uint32_t channel = 0;
    uint64_t bytesWritten = 0;
    uint64_t totalSectors = 0; // of the clusters read
    uint64_t unreadableSectors = 0;
    std::vector<UnreadableCluster> unreadableClusters;
    std::vector<SectorRange> unreadableRanges; // absolute sectors on the source
    LossMap lossMap; // of a written file: where each of its bytes came from
    uint32_t clustersNotRead = 0; // after the source stopped answering: written as zeros, counted as unreadable
    ExportStatus status = ExportStatus::Written;
    QString error; // what went wrong, as a clause after the file name; empty when written
    std::vector<uint32_t> pending; // positions of the clusters left for the second pass
    bool resumed = false;          // clusters or the whole file came from an earlier run with the same map
    bool written() const { return status == ExportStatus::Written; }
    bool complete() const { return written() && unreadableSectors == 0; }
};

// Three clusters in a row of which not one sector could be read: the source
// no longer answers (a bridge reset, a dead drive). Scattered bad sectors
// never make a whole cluster unreadable, so they never reach this.
constexpr uint32_t kDeadClustersInARow = 3;

// Whether the source still answers, across the clusters of one export.
// A dead zone fails clusters in a row too: after three, one sector that read
// before is read again, and only when it fails as well is the source gone.
struct SourceHealth {
    uint32_t deadInARow = 0;
    bool gone = false;
    int64_t goodSector = -1; // a sector read whole earlier, for that check
};

// Notes whether the cluster at `first` gave nothing at all; after
// kDeadClustersInARow such clusters, reads goodSector again to tell a dead
// zone from a source that went away (then `gone`).
void noteHealth(DeadlineReader &reader, SourceHealth &health, uint64_t first, bool dead, uint64_t sourceSectors);

// The second pass over a span: sector by sector, each sector that does not
// read stays zero, is named in `lost` and marked bad in the map (when given),
// each one that reads is marked finished. After a sector that hangs past the
// deadline the rest is not tried but marked bad: one deadline spent, not one
// per sector. False when a stop abandoned a read.
bool scrapeSpan(DeadlineReader &reader, uint64_t first, uint32_t count, uint8_t *buffer, std::vector<SectorRange> &lost,
                uint32_t *bad, RescueMap *map);

// How an export reads: with a deadline per read, in two passes as GNU
// ddrescue does (every cluster that reads whole first, the failed ones
// sector by sector only once the rest is safe), keeping a map to resume from.
struct ExportSettings {
    int readTimeoutMs = 30000;
    // Asked every few tens of milliseconds while a read is waited for, from
    // whichever thread waits: must be thread-safe. True abandons the read in
    // hand and stops the export (the window's Cancel, Ctrl-C) even while the
    // drive hangs. ExportHooks::stopRequested is still asked between clusters.
    std::function<bool()> abandonRead;
    // Held by every read thread until it ends: a read abandoned while it hangs
    // keeps the source alive after the export has let go of it.
    std::shared_ptr<const SectorSource> sourceOwner;
    RescueMap *map = nullptr; // kept as the work goes and saved to mapPath
    QString mapPath;
    bool resume = false;      // the map came from an earlier run: settled clusters are not read again
};

// What the passes share across recordings.
struct ExportPass {
    DeadlineReader *reader = nullptr;
    const ExportSettings *settings = nullptr;
    bool leaveFailedForLater = false; // first pass: a cluster that fails whole is left for later
    QString mapError;                 // the first time the map could not be saved
    bool cancelled = false;           // a read was abandoned because of a stop
};

struct ExportHooks {
    // Each entry of the walk, selected or not, before it is looked at; false
    // cancels the walk there, that entry included. The only point between
    // entries where the walk stops.
    std::function<bool(int position, const Recording &recording)> beforeEntry;
    // After each cluster is written, with the bytes as written (zeros for
    // unreadable sectors) and the bytes of this recording written so far.
    std::function<void(const Recording &recording, const uint8_t *bytes, uint32_t size, uint64_t done)> clusterWritten;
    // Each cluster's bytes (zeros for unreadable sectors), in order, run on a
    // thread of its own while the same bytes are written: a hash then costs
    // no time beside the write. Its result counts only for recordings written.
    std::function<void(const uint8_t *bytes, uint32_t size)> digest;
    // Asked after each cluster but a recording's last: true stops the copy
    // there, and the recording being copied is not written.
    std::function<bool()> stopRequested;
    // Each recording that was tried, once it has its final name or has failed.
    std::function<void(const RecordingExport &result)> recordingDone;
    // The bytes given to `digest` for the recording in hand do not count: it
    // waits for the second pass, and its bytes come again, all of them, from
    // the file, before its recordingDone.
    std::function<void()> digestDiscarded;
};

// Copies the recording's clusters back to back into `path`, by way of a
// temporary file that gets the name only when every cluster is written and
// the file closed. A few clusters are read ahead on a thread of their own;
// the hooks run on the caller's thread.
// Without a pass, every cluster is finished before it returns (the failed
// ones sector by sector at the end); with one that leaves failed clusters for
// later, the result may be Pending, its temporary file kept for finishRecording.
RecordingExport exportRecording(const SectorSource &source, uint32_t dataOffset, const Recording &recording,
                                const QString &path, SourceHealth &health, const ExportHooks &hooks = {},
                                ExportPass *pass = nullptr);
// The second pass of a Pending recording: its clusters left for later are
// read sector by sector into its temporary file, which then gets its name.
RecordingExport finishRecording(uint32_t dataOffset, const Recording &recording, RecordingExport pending,
                                SourceHealth &health, const ExportHooks &hooks, ExportPass &pass);

struct ExportEntry {
    const Recording *recording = nullptr;
    bool selected = false;
};

struct ExportOutcome {
    std::vector<RecordingExport> results; // every selected entry that was reached, in order
    QStringList notReached;               // selected entries after a cancel or a lost source
    QString saveFolder;
    struct FolderProblem {
        QString folder; // as shown
        QString why;
    };
    QList<FolderProblem> folderProblems;  // once each
    bool cancelled = false;
    bool sourceGone = false;
    uint64_t clustersNotRead = 0;         // of the recordings given up for a lost source
    uint64_t readsLeftBehind = 0;         // reads that hung past the deadline
    QString mapError;                     // the map could not be saved
    int writtenCount() const;
    uint64_t bytesWritten() const;
    uint64_t unreadableSectors() const;
    bool clean() const; // everything selected written whole
};

// Walks the entries in order; each selected recording goes to
// recordingFolderPath(saveFolder, it), made when missing.
ExportOutcome exportRecordings(const SectorSource &source, uint32_t dataOffset, const QString &saveFolder,
                               const QList<ExportEntry> &entries, const ExportHooks &hooks = {},
                               const ExportSettings &settings = {});

// cameraFolderPath, or the recording's own folder below the save folder.
QString recordingFolderPath(const QString &saveFolder, const Recording &r);
// Makes that folder, level by level, each a real folder; empty, or why not.
QString makeRecordingFolder(const QString &saveFolder, const Recording &r);

// The final paths among those the selected entries would be written to that
// exist already; with a map to resume from, those it shows finished are ours.
QStringList existingTargets(const QString &saveFolder, const QList<ExportEntry> &entries,
                            const RescueMap *resumeMap = nullptr, uint32_t dataOffset = 0);

// Everything an export could not recover, for the one warning at its end:
// names each affected file and what went wrong, grouped by kind.
QString exportProblemsText(const ExportOutcome &outcome);

} // namespace korvath
