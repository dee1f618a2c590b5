// Figures of the core library: the scan, the directory read and the export,
// each beside the plain pass or the dd that it is measured against.
#include "corpus.h"
#include "figures.h"

#include "directory.h"
#include "export.h"
#include "scan.h"
#include "sha256.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include <QFile>
#include "log.h"
#include <benchmark/benchmark.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace bench {

namespace {

using benchmark::State;

const uint64_t kExportBytes = uint64_t(kExportClusters) * korvath::kClusterBytes;

void checkScan(State &state, const korvath::RecordingMap &found)
{
    if (found.size() != static_cast<int>(kScanRecordings))
        state.SkipWithError("the scan did not list every recording");
    else if (found.first().clusters.size() != static_cast<int>(kChainClusters)
             || found.last().clusters.size() != static_cast<int>(kChainClusters))
        state.SkipWithError("a walk did not follow its whole chain");
}

void plainPass(State &state)
{
    const Corpus &c = corpus();
    for (auto _ : state)
        benchmark::DoNotOptimize(plainSum(c.directory.data(), c.directory.size()));
}

void scan(State &state)
{
    const Corpus &c = corpus();
    for (auto _ : state) {
        korvath::RecordingMap found = korvath::scanDirectory(c.directory.data(), c.directory.size(), c.large, c.query);
        state.PauseTiming();
        checkScan(state, found);
        found = {}; // freeing the list belongs to the next scan, not to this one
        state.ResumeTiming();
    }
}

FILE *g_logFile = nullptr;

void logToFile(QtMsgType, const QMessageLogContext &, const QString &message)
{
    const QByteArray line = message.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), g_logFile);
}

// The same scan with the program's debug lines on, written to a file the
// way a message handler of an application would.
void scanLogged(State &state)
{
    const Corpus &c = corpus();
    const QString logPath = c.path("scan.log");
    g_logFile = std::fopen(QFile::encodeName(logPath).constData(), "w");
    if (!g_logFile) {
        state.SkipWithError("cannot open the log file");
        return;
    }
    long logBytes = 0;
    const QtMessageHandler previous = qInstallMessageHandler(logToFile);
    korvath::setDebugLogEnabled(true);
    for (auto _ : state) {
        korvath::RecordingMap found = korvath::scanDirectory(c.directory.data(), c.directory.size(), c.large, c.query);
        std::fflush(g_logFile);
        state.PauseTiming();
        checkScan(state, found);
        found = {};
        logBytes = std::ftell(g_logFile);
        std::rewind(g_logFile); // keeps the file at one scan's lines
        state.ResumeTiming();
    }
    korvath::setDebugLogEnabled(false);
    qInstallMessageHandler(previous);
    state.counters["log_bytes"] = static_cast<double>(logBytes);
    std::fclose(g_logFile);
    g_logFile = nullptr;
    QFile::remove(logPath);
}

void directoryRead(State &state)
{
    const Corpus &c = corpus();
    const korvath::DriveHandle handle = korvath::openDrive(QFile::encodeName(c.largeImage).constData());
    if (!handle.isValid()) {
        state.SkipWithError("cannot open the image");
        return;
    }
    const korvath::DriveSource source(handle);
    const korvath::VolumeInfo info = korvath::computeVolumeInfo(source);
    if (info.dir_size != c.large.dir_size)
        state.SkipWithError("the image's layout differs from the corpus'");
    if (!loadIntoCache(c.largeImage, c.directoryByte, c.directory.size()))
        state.SkipWithError("cannot read the directory into the page cache");
    bool checked = false;
    for (auto _ : state) {
        const korvath::DirectoryRead read = korvath::readDirectory(source, info);
        if (!checked) {
            state.PauseTiming();
            if (read.unreadableSectors() != 0 || read.bytes.size() != c.directory.size() || !std::equal(read.bytes.begin(), read.bytes.end(), c.directory.begin()))
                state.SkipWithError("the directory read differs from the image's directory");
            checked = true;
            state.ResumeTiming();
        }
    }
    ::close(handle.native);
}

// The same bytes through dd: in 1 MiB requests into one reused buffer, or
// (whole) in one request into one buffer of the directory's size, as the product reads.
void ddDirectory(State &state, bool whole)
{
    const Corpus &c = corpus();
    if (!loadIntoCache(c.largeImage, c.directoryByte, c.directory.size()))
        state.SkipWithError("cannot read the directory into the page cache");
    std::vector<std::string> dd{"dd", "if=" + c.largeImage.toStdString(), "of=/dev/null",
                                "skip=" + std::to_string(c.directoryByte), "status=none"};
    if (whole) {
        dd.push_back("bs=" + std::to_string(c.directory.size()));
        dd.push_back("count=1");
        dd.push_back("iflag=skip_bytes,fullblock");
    } else {
        dd.push_back("bs=1M");
        dd.push_back("count=" + std::to_string(c.directory.size()));
        dd.push_back("iflag=skip_bytes,count_bytes");
    }
    for (auto _ : state)
        if (!runProgram(dd))
            state.SkipWithError("dd failed");
}

enum class Hash { None, OpenSsl, QtHash };

void exportRuns(State &state, bool cold, Hash hashing = Hash::None)
{
    const Corpus &c = corpus();
    const QString out = c.path("export.h264");
    const korvath::DriveHandle handle = korvath::openDrive(QFile::encodeName(c.largeImage).constData());
    if (!handle.isValid()) {
        state.SkipWithError("cannot open the image");
        return;
    }
    const korvath::DriveSource source(handle);
    korvath::Recording recording;
    recording.clusters = c.exportClusters;
    korvath::Sha256 sha;
    QCryptographicHash qtHash(QCryptographicHash::Sha256);
    korvath::ExportHooks hooks;
    // As korvath-cli hashes: the bytes as written, on the writing thread.
    if (hashing == Hash::OpenSsl)
        hooks.digest = [&](const uint8_t *b, uint32_t n) { sha.update(b, n); };
    else if (hashing == Hash::QtHash)
        hooks.clusterWritten = [&](const korvath::Recording &, const uint8_t *b, uint32_t n, uint64_t) {
            qtHash.addData(reinterpret_cast<const char *>(b), int(n));
        };
    if (!cold && !loadIntoCache(c.largeImage, c.exportByte(), kExportBytes))
        state.SkipWithError("cannot read the clusters into the page cache");
    bool checked = false;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            if (!dropFromCache(c.largeImage, c.exportByte(), kExportBytes))
                state.SkipWithError("cannot drop the clusters from the page cache");
            state.ResumeTiming();
        }
        korvath::SourceHealth health;
        const korvath::RecordingExport result =
            korvath::exportRecording(source, c.large.data_offset, recording, out, health, hooks);
        benchmark::DoNotOptimize(hashing == Hash::QtHash ? qtHash.result().size() : sha.hex().size());
        sha.reset();
        qtHash.reset();
        state.PauseTiming();
        if (!result.written() || result.bytesWritten != kExportBytes || result.unreadableSectors != 0)
            state.SkipWithError("the export did not write every cluster");
        if (!checked) {
            const uint64_t last = kExportBytes - korvath::kClusterBytes;
            if (!fileStartsWithCluster(out, 0, c.exportClusters.first())
                || !fileStartsWithCluster(out, last, c.exportClusters.last()))
                state.SkipWithError("the exported bytes differ from the image's clusters");
            checked = true;
        }
        QFile::remove(out); // its pages go with it, so no writeback piles up
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kExportBytes));
    ::close(handle.native);
}

void ddRuns(State &state, bool cold)
{
    const Corpus &c = corpus();
    const std::string out = c.path("dd.h264").toStdString();
    const uint64_t first = c.exportByte();
    std::vector<std::string> dd{"dd", "if=" + c.largeImage.toStdString(), "of=" + out, "bs=2M",
                                "count=" + std::to_string(kExportClusters), "status=none"};
    if (first % korvath::kClusterBytes == 0) {
        dd.push_back("skip=" + std::to_string(first / korvath::kClusterBytes));
    } else {
        dd.push_back("iflag=skip_bytes");
        dd.push_back("skip=" + std::to_string(first));
    }
    if (!cold && !loadIntoCache(c.largeImage, first, kExportBytes))
        state.SkipWithError("cannot read the clusters into the page cache");
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            if (!dropFromCache(c.largeImage, first, kExportBytes))
                state.SkipWithError("cannot drop the clusters from the page cache");
            state.ResumeTiming();
        }
        const bool ok = runProgram(dd);
        state.PauseTiming();
        if (!ok)
            state.SkipWithError("dd failed");
        std::remove(out.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kExportBytes));
}

// openssl dgst -sha256 over the same 512 MiB, in a file of their own kept in the page cache.
void opensslDigest(State &state)
{
    const Corpus &c = corpus();
    const QString copy = c.path("clusters.bin");
    if (!QFileInfo::exists(copy)) {
        korvath::SourceHealth health;
        korvath::Recording recording;
        recording.clusters = c.exportClusters;
        const korvath::DriveHandle handle = korvath::openDrive(QFile::encodeName(c.largeImage).constData());
        const korvath::RecordingExport r =
            korvath::exportRecording(korvath::DriveSource(handle), c.large.data_offset, recording, copy, health);
        ::close(handle.native);
        if (!r.written())
            state.SkipWithError("cannot write the clusters for openssl");
    }
    if (!loadIntoCache(copy, 0, kExportBytes))
        state.SkipWithError("cannot read the clusters into the page cache");
    const std::vector<std::string> dgst{"openssl", "dgst", "-sha256", "-out", "/dev/null", copy.toStdString()};
    for (auto _ : state)
        if (!runProgram(dgst))
            state.SkipWithError("openssl dgst failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kExportBytes));
}

// A directory every record of which starts a looping chain of 65,536
// clusters on channel 1, in range, with stamps of its own: the scan must
// stop at its bound, not walk 2.9 million loops.
void hostileScan(State &state)
{
    const std::vector<uint8_t> &dir = hostileDirectory();
    const korvath::VolumeInfo info = corpus().large;
    korvath::ScanQuery all;
    all.start = 0;
    all.end = 0xFFFFFFFFu;
    korvath::ScanStats stats;
    for (auto _ : state) {
        korvath::RecordingMap found = korvath::scanDirectory(dir.data(), dir.size(), info, all, &stats);
        state.PauseTiming();
        if (!stats.bounded || found.isEmpty())
            state.SkipWithError("the hostile scan did not stop at its bound");
        found = {};
        state.ResumeTiming();
    }
    state.counters["listed_clusters"] = double(stats.clustersWalked);
}

} // namespace

void registerVolumeBenchmarks()
{
    using benchmark::RegisterBenchmark;
    const auto quick = [](benchmark::internal::Benchmark *b) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(0.1)->Repetitions(12)->ReportAggregatesOnly(true);
        withBest(b);
    };
    const auto large = [](benchmark::internal::Benchmark *b) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(16)->ReportAggregatesOnly(true);
        withBest(b);
    };
    const auto few = [](benchmark::internal::Benchmark *b) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);
        withBest(b);
    };
    quick(RegisterBenchmark(name::kPlainPass, plainPass));
    quick(RegisterBenchmark(name::kScan, scan));
    quick(RegisterBenchmark(name::kScanLogged, scanLogged));
    quick(RegisterBenchmark(name::kDirectoryRead, directoryRead));
    quick(RegisterBenchmark(name::kDdDirectory, ddDirectory, false));
    quick(RegisterBenchmark(name::kDdDirectoryWhole, ddDirectory, true));
    large(RegisterBenchmark(name::kExportCached, exportRuns, false, Hash::None));
    large(RegisterBenchmark(name::kDdCached, ddRuns, false));
    large(RegisterBenchmark(name::kExportCold, exportRuns, true, Hash::None));
    large(RegisterBenchmark(name::kDdCold, ddRuns, true));
    large(RegisterBenchmark(name::kExportShaCached, exportRuns, false, Hash::OpenSsl));
    few(RegisterBenchmark(name::kExportQtHashCached, exportRuns, false, Hash::QtHash));
    large(RegisterBenchmark(name::kOpensslDigest, opensslDigest));
    large(RegisterBenchmark(name::kExportShaCold, exportRuns, true, Hash::OpenSsl));
    few(RegisterBenchmark(name::kHostileScan, hostileScan));
}

} // namespace bench
