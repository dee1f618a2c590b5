// Copying a recording's clusters from the drive into one file.
#pragma once

#include "drive.h"
#include "layout.h"
#include "scan.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <vector>

namespace korvath {

// Reads `count` sectors from absolute sector `sector` into `buffer`; returns
// the bytes read, or kReadFailed. Lets the cluster logic run without a disk.
using SectorReader = std::function<uint32_t(uint64_t sector, void *buffer, uint32_t count)>;

// A position the drive refuses (beyond what its file system can address)
// counts as a failed read, so the bytes at the old position are never taken.
SectorReader driveSectorReader(DriveHandle handle);

// Fills one 2 MiB buffer with the cluster that begins at `firstSector`: one
// read in the normal case; when it comes back short, the cluster is read
// again sector by sector so that only the sectors that cannot be read stay
// zero. Returns how many sectors could not be read.
uint32_t readCluster(const SectorReader &reader, uint64_t firstSector, uint8_t *buffer);

struct UnreadableCluster {
    uint32_t cluster = 0;
    uint32_t sectors = 0; // of kClusterSectors, left as zeros
};

struct RecordingExport {
    QString name;
    QString path;
    uint64_t bytesWritten = 0;
    uint64_t totalSectors = 0; // of the clusters read
    uint64_t unreadableSectors = 0;
    std::vector<UnreadableCluster> unreadableClusters;
    QString error; // what went wrong, as a clause after the file name; empty when written
    bool written() const { return error.isEmpty(); }
    bool complete() const { return written() && unreadableSectors == 0; }
};

// Writes clusters back to back into `path` (replacing any file there). On a
// failed open, write or flush the file is removed and `error` says why.
// `buffer` is one cluster long and reused; `onCluster` runs after each cluster.
RecordingExport exportRecording(const SectorReader &reader, uint32_t dataOffset, const ClusterList &clusters,
                                const QString &path, IoBytes &buffer,
                                const std::function<void(uint64_t bytesDone)> &onCluster = {});

// "<save>//CAM<channel+1>", the channel read as a signed number.
QString cameraFolderPath(const QString &savePath, uint32_t channel);

// Makes the camera folder below an existing save directory; an empty result
// means it exists now, otherwise the text says why not.
QString makeCameraFolder(const QString &folderPath);

// Everything an export could not recover, for the one warning at its end.
struct ExportReport {
    QString folder;                          // the camera folder
    QString folderProblem;                   // why it could not be made; empty when it exists
    QStringList skippedForFolder;            // recordings not written because of that
    std::vector<RecordingExport> recordings; // those not written, or written with zeros
    bool empty() const { return folderProblem.isEmpty() && recordings.empty(); }
};

// Names each affected file and what went wrong, grouped by kind.
QString exportProblemsText(const ExportReport &report);

} // namespace korvath
