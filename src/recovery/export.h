// Copying recordings from a source into files: each cluster read whole where
// it can be, each file written under a temporary name and given its own name
// only when complete, every loss counted and named.
#pragma once

#include "counttext.h"
#include "iobuffer.h"
#include "layout.h"
#include "scan.h"
#include "sectorread.h"
#include "source.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
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
    SourceGone, // the source had stopped answering before its copy
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
    uint32_t clustersNotRead = 0; // after the source stopped answering: written as zeros, counted as unreadable
    ExportStatus status = ExportStatus::Written;
    QString error; // what went wrong, as a clause after the file name; empty when written
    bool written() const { return status == ExportStatus::Written; }
    bool complete() const { return written() && unreadableSectors == 0; }
};

// Three clusters in a row of which not one sector could be read: the source
// no longer answers (a bridge reset, a dead drive). Scattered bad sectors
// never make a whole cluster unreadable, so they never reach this.
constexpr uint32_t kDeadClustersInARow = 3;

// Whether the source still answers, across the clusters of one export.
struct SourceHealth {
    uint32_t deadInARow = 0;
    bool gone = false;
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
};

// Copies the recording's clusters back to back into `path`, by way of a
// temporary file that gets the name only when every cluster is written and
// the file closed. A few clusters are read ahead on a thread of their own;
// the hooks run on the caller's thread.
RecordingExport exportRecording(const SectorSource &source, uint32_t dataOffset, const Recording &recording,
                                const QString &path, SourceHealth &health, const ExportHooks &hooks = {});

struct ExportEntry {
    const Recording *recording = nullptr;
    bool selected = false;
};

struct ExportOutcome {
    std::vector<RecordingExport> results; // every selected entry that was reached, in order
    QStringList notReached;               // selected entries after a cancel or a lost source
    QString saveFolder;
    QStringList folderProblems;           // "<folder>: <why>", once each
    bool cancelled = false;
    bool sourceGone = false;
    uint64_t clustersNotRead = 0;         // of the recordings given up for a lost source
    int writtenCount() const;
    uint64_t bytesWritten() const;
    uint64_t unreadableSectors() const;
    bool clean() const; // everything selected written whole
};

// Walks the entries in order; each selected recording goes to
// recordingFolderPath(saveFolder, it), made when missing.
ExportOutcome exportRecordings(const SectorSource &source, uint32_t dataOffset, const QString &saveFolder,
                               const QList<ExportEntry> &entries, const ExportHooks &hooks = {});

// cameraFolderPath, or the recording's own folder below the save folder.
QString recordingFolderPath(const QString &saveFolder, const Recording &r);
// Makes that folder, level by level, each a real folder; empty, or why not.
QString makeRecordingFolder(const QString &saveFolder, const Recording &r);

// The final paths among those the selected entries would be written to that exist already.
QStringList existingTargets(const QString &saveFolder, const QList<ExportEntry> &entries);

// Everything an export could not recover, for the one warning at its end:
// names each affected file and what went wrong, grouped by kind.
QString exportProblemsText(const ExportOutcome &outcome);

} // namespace korvath
