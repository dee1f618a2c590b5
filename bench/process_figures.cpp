// Whole processes, as a user runs them: start-up counts. korvath-cli beside a
// program linked to Qt Core alone, and beside dd for the same bytes; where the
// video module is built, export --mp4 of the sample disk beside its export.
#include "corpus.h"
#include "figures.h"
#include "imagebuilder.h"

#include <QDir>
#include <QFile>
#include <benchmark/benchmark.h>
#include <string>
#include <vector>

namespace bench {

namespace {

QString g_dir;
QString g_image;        // one recording of camera 1, kClusters clusters of real bytes
uint64_t g_firstByte = 0; // where its clusters begin in the image
constexpr uint32_t kClusters = 256;
constexpr uint32_t kFirstCluster = 8;

std::string dirFile(const char *name)
{
    return (g_dir + QLatin1Char('/') + QLatin1String(name)).toStdString();
}

void runs(benchmark::State &state, std::vector<std::string> argv, const char *removeAfter)
{
    for (auto _ : state) {
        if (!runProgram(argv, true)) {
            state.SkipWithError(("failed: " + argv[0] + (argv.size() > 1 ? ' ' + argv[1] : std::string())).c_str());
            break;
        }
        state.PauseTiming();
        // What a run wrote goes outside the timing, so no run pays for removing the last one's.
        if (removeAfter)
            QDir(QString::fromStdString(dirFile(removeAfter))).removeRecursively() || QFile::remove(QString::fromStdString(dirFile(removeAfter)));
        state.ResumeTiming();
    }
}

void exportRuns(benchmark::State &state)
{
    const std::string out = dirFile("export");
    runs(state, {KORVATH_CLI_PATH, "export", g_image.toStdString(), "--out", out}, "export/CAM1");
}

#ifdef KORVATH_HAVE_VIDEO
// Every recording of the sample disk (real H.264), with or without its MP4.
void sampleExportRuns(benchmark::State &state, bool mp4)
{
    std::vector<std::string> argv{KORVATH_CLI_PATH, "export", dirFile("sample-disk.img"), "--channel", "all",
                                  "--out", dirFile("sample-export")};
    if (mp4)
        argv.push_back("--mp4");
    const QString out = QString::fromStdString(argv[6]);
    for (auto _ : state) {
        state.PauseTiming();
        // A fresh folder each run, made and emptied outside the timing.
        QDir(out).removeRecursively();
        QDir().mkpath(out);
        state.ResumeTiming();
        if (!runProgram(argv, true)) {
            state.SkipWithError(mp4 ? "failed: korvath-cli export --mp4" : "failed: korvath-cli export");
            break;
        }
    }
}
#endif

void ddRuns(benchmark::State &state, bool fsync)
{
    std::vector<std::string> dd{"dd", "if=" + g_image.toStdString(), "of=" + dirFile("dd.h264"), "bs=2M", "status=none",
                                "count=" + std::to_string(kClusters), "iflag=skip_bytes",
                                "skip=" + std::to_string(g_firstByte)};
    if (fsync)
        dd.push_back("conv=fsync"); // as every output is synced before it gets its name
    runs(state, dd, "dd.h264");
}

} // namespace

bool registerProcessBenchmarks(const QString &folder, QString *error)
{
    using namespace korvath;
    g_dir = folder;
    g_image = folder + QStringLiteral("/process-disk.img");
    // A small disk, as the sample is: its directory is read in a moment, so
    // the export is the clusters and the start-up.
    testkit::ImageBuilder builder(uint64_t(kFirstCluster + kClusters + 64) * kClusterSectors);
    builder.recorderSignature();
    std::vector<uint32_t> clusters;
    for (uint32_t c = kFirstCluster; c < kFirstCluster + kClusters; ++c)
        clusters.push_back(c);
    builder.recording(0, packRecorderTime(2024, 3, 1, 8, 0, 0), packRecorderTime(2024, 3, 1, 9, 0, 0), clusters);
    g_firstByte = builder.clusterFirstSector(kFirstCluster) * kSectorSize;
    if (!builder.write(g_image)) {
        *error = QStringLiteral("cannot write %1").arg(g_image);
        return false;
    }
    if (!QDir().mkpath(folder + QStringLiteral("/export"))) {
        *error = QStringLiteral("cannot make %1/export").arg(folder);
        return false;
    }
    using benchmark::RegisterBenchmark;
    const auto often = [](benchmark::internal::Benchmark *b) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(10)->Repetitions(10)->ReportAggregatesOnly(true);
        withBest(b);
    };
    const auto large = [](benchmark::internal::Benchmark *b) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(16)->ReportAggregatesOnly(true);
        withBest(b);
    };
    often(RegisterBenchmark(name::kQtCoreStart, runs, std::vector<std::string>{KORVATH_QTCORE_PROGRAM}, nullptr));
    often(RegisterBenchmark(name::kCliVersion, runs, std::vector<std::string>{KORVATH_CLI_PATH, "--version"}, nullptr));
    often(RegisterBenchmark(name::kCliList, runs,
                            std::vector<std::string>{KORVATH_CLI_PATH, "list", g_image.toStdString(), "--channel", "all"},
                            nullptr));
    large(RegisterBenchmark(name::kCliExport, exportRuns));
    large(RegisterBenchmark(name::kDdExportProcess, ddRuns, false));
    large(RegisterBenchmark(name::kDdFsyncExportProcess, ddRuns, true));
#ifdef KORVATH_HAVE_VIDEO
    if (!runProgram({KORVATH_SAMPLE_DISK_PATH, dirFile("sample-disk.img")}, true)) {
        *error = QStringLiteral("make-sample-disk failed");
        return false;
    }
    often(RegisterBenchmark(name::kCliExportSample, sampleExportRuns, false));
    often(RegisterBenchmark(name::kCliExportSampleMp4, sampleExportRuns, true));
#endif
    return true;
}

} // namespace bench
