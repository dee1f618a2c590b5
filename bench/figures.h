// The benchmarks behind each figure and the table that sets them side by side.
#pragma once

#include <QString>
#include <map>
#include <ostream>
#include <string>

namespace benchmark {
namespace internal {
class Benchmark;
}
} // namespace benchmark

namespace bench {

// Names under which the benchmarks report, product and baseline.
namespace name {
constexpr const char *kPlainPass = "plain_pass";
constexpr const char *kScan = "scan";
constexpr const char *kScanLogged = "scan_logged";
constexpr const char *kDirectoryRead = "directory_read";
constexpr const char *kDdDirectory = "dd_directory";
constexpr const char *kDdDirectoryWhole = "dd_directory_whole";
constexpr const char *kListFirst = "filelist_first";
constexpr const char *kListRefill = "filelist_refill";
constexpr const char *kExportCached = "export_cached";
constexpr const char *kDdCached = "dd_export_cached";
constexpr const char *kExportCold = "export_cold";
constexpr const char *kDdCold = "dd_export_cold";
constexpr const char *kExportShaCached = "export_sha256_cached";
constexpr const char *kExportQtHashCached = "export_qt_sha256_cached";
constexpr const char *kOpensslDigest = "openssl_dgst_sha256";
constexpr const char *kExportShaCold = "export_sha256_cold";
constexpr const char *kHostileScan = "hostile_scan";
constexpr const char *kScanAllChannels = "scan_all_channels";
constexpr const char *kOverviewPage = "overview_page";
constexpr const char *kOverviewList = "overview_plain_listing";
constexpr const char *kRemuxMp4 = "remux_mp4";
constexpr const char *kFfmpegCopy = "ffmpeg_copy";
constexpr const char *kPreview = "preview_3000_clusters";
constexpr const char *kQtCoreStart = "process_qtcore_program";
constexpr const char *kCliVersion = "process_cli_version";
constexpr const char *kCliList = "process_cli_list";
constexpr const char *kCliExport = "process_cli_export_512mib";
constexpr const char *kDdExportProcess = "process_dd_512mib";
constexpr const char *kDdFsyncExportProcess = "process_dd_fsync_512mib";
constexpr const char *kCliExportSample = "process_cli_export_sample";
constexpr const char *kCliExportSampleMp4 = "process_cli_export_mp4_sample";
constexpr const char *kScanUnlisted = "scan_unlisted";
constexpr const char *kHostileUnlisted = "hostile_unlisted";
constexpr const char *kCarveDecide = "carve_decide";
constexpr const char *kDdCarve = "dd_carve_clusters";
constexpr const char *kCaseList = "case_window_50000_shown";
constexpr const char *kCaseFrame = "case_timeline_frame";
constexpr const char *kCaseExport = "case_export_256mib";
constexpr const char *kCasePreview = "case_preview_sample";
} // namespace name

constexpr unsigned kOverviewRecordings = 50000;

// Repetitions interleave with other figures; each reports its median and its best.
void withBest(benchmark::internal::Benchmark *b);
void registerVolumeBenchmarks();
void registerWindowBenchmarks();
void registerOverviewBenchmarks();
void releaseWindow();
// korvath-case on the list image (and the sample disk, where it can be made).
void registerCaseWindowBenchmarks();
void releaseCaseWindow();
// Playable copies and previews (only where korvath_video is built): makes a
// 512 MiB native copy and a 3,000-cluster recording in `folder` first.
bool registerVideoBenchmarks(const QString &folder, QString *error);
// Whole korvath-cli processes beside a Qt Core program and dd; makes a small
// disk in `folder` first.
bool registerProcessBenchmarks(const QString &folder, QString *error);

struct Measured {
    double seconds = 0;                      // median time of one iteration
    double best = 0;                         // the fastest repetition's
    std::map<std::string, double> counters; // their medians
    std::string error;
};
using Results = std::map<std::string, Measured>;

struct MemoryFigures {
    double idleMiB = 0;     // the same child doing nothing
    double scanMiB = 0;     // above idle
    double export16MiB = 0; // above idle
    double export256MiB = 0;
    double hostileMiB = 0; // above idle and the directory buffer
    std::string error;
};

void printTable(const Results &results, const MemoryFigures &memory, std::ostream &out);

} // namespace bench
