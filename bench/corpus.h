// The images and buffers every figure runs on, built once per run in a
// temporary folder, and the small system helpers the baselines need.
#pragma once

#include "layout.h"
#include "scan.h"

#include <QDateTime>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// A drive of 2,899,968 whole clusters gets the largest directory class the
// figures name: 181,248 sectors, 2,899,968 records.
constexpr uint64_t kLargeSectors = uint64_t(2899968) * korvath::kClusterSectors;
constexpr uint32_t kScanRecordings = 20000;
constexpr uint32_t kChainClusters = 100;
constexpr uint32_t kExportClusters = 256;
constexpr uint32_t kExportFirstCluster = 2100000; // past the scanned chains
// 98,304 records: room for the 50,000 one-cluster recordings of the file list.
constexpr uint64_t kListSectors = uint64_t(98304) * korvath::kClusterSectors;
constexpr uint32_t kListRecordings = 50000;

struct Corpus {
    QTemporaryDir dir;

    // The large volume: its directory in memory and on an image.
    korvath::VolumeInfo large;
    std::vector<uint8_t> directory;
    korvath::ScanQuery query; // channel 1, a range holding every recording
    QString largeImage;
    uint64_t directoryByte = 0; // where the directory starts in the image
    korvath::ClusterList exportClusters;

    // The volume shown in the window, and the range that lists all of it.
    QString listImage;
    QDateTime listFrom;
    QDateTime listTo;

    explicit Corpus(const QString &base) : dir(base + QStringLiteral("/korvath-bench-XXXXXX")) {}
    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }
    uint64_t exportByte() const; // the first exported cluster in the image
};

// Builds everything under `base`; false with a reason when it cannot.
bool buildCorpus(const QString &base, QString *error);
Corpus &corpus();
void releaseCorpus();

// The large volume's directory made hostile throughout (built on first use).
const std::vector<uint8_t> &hostileDirectory();
void fillHostileDirectory(std::vector<uint8_t> &dir, const korvath::VolumeInfo &info);

// One plain pass over the bytes: the floor of any scan of them.
uint64_t plainSum(const uint8_t *bytes, size_t size);

// Runs a program (found on PATH) and waits; true when it exits with 0.
// `quiet` sends its stdout and stderr to /dev/null.
bool runProgram(const std::vector<std::string> &argv, bool quiet = false);

// The page cache of a byte range of a file: dropped, or filled by reading it.
bool dropFromCache(const QString &path, uint64_t offset, uint64_t length);
bool loadIntoCache(const QString &path, uint64_t offset, uint64_t length);

// Expected contents, to check what the product wrote.
bool fileStartsWithCluster(const QString &path, uint64_t at, uint32_t cluster);

} // namespace bench
