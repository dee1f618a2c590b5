// One table: each figure, its baseline from the same run, their ratio, the aim.
#include "corpus.h"
#include "figures.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bench {

namespace {

struct Line {
    std::string figure, measured, baseline, ratio, aim, verdict;
};

std::string format(const char *pattern, double v)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, v);
    return text;
}

std::string duration(double seconds)
{
    return seconds >= 1.0 ? format("%.2f s", seconds) : format("%.1f ms", seconds * 1e3);
}

std::string throughput(double bytes, double seconds)
{
    return format("%.0f MB/s", bytes / seconds / 1e6);
}

std::string verdict(bool met)
{
    return met ? "met" : "MISSED";
}

// Both runs must have come back without an error.
const char *failure(const Results &r, std::initializer_list<const char *> names)
{
    for (const char *n : names) {
        const auto it = r.find(n);
        if (it == r.end())
            return "not run";
        if (!it->second.error.empty())
            return it->second.error.c_str();
    }
    return nullptr;
}

// Ratios set best against best: the machine is shared, and a neighbour's
// load only ever adds time, to one side or the other.
double t(const Results &r, const char *n)
{
    return r.at(n).best;
}

double median(const Results &r, const char *n)
{
    return r.at(n).seconds;
}

void timeRatio(std::vector<Line> &out, const Results &r, const std::string &figure, const char *product,
               const char *base, const std::string &baseLabel, double aim, const std::string &aimText)
{
    if (const char *why = failure(r, {product, base})) {
        out.push_back({figure, why, baseLabel, "", aimText, "ERROR"});
        return;
    }
    const double ratio = t(r, product) / t(r, base);
    out.push_back({figure, duration(t(r, product)), baseLabel + " " + duration(t(r, base)), format("%.2fx", ratio),
                   aimText, aim > 0 ? verdict(ratio <= aim) : "-"});
}

void throughputRatio(std::vector<Line> &out, const Results &r, const std::string &figure, const char *product,
                     const char *base, double aim, const std::string &baseLabel = "dd bs=2M")
{
    const double bytes = double(kExportClusters) * korvath::kClusterBytes;
    if (const char *why = failure(r, {product, base})) {
        out.push_back({figure, why, baseLabel, "", format(">= %.2f", aim), "ERROR"});
        return;
    }
    const double ratio = t(r, base) / t(r, product); // throughputs of equal bytes
    out.push_back({figure, throughput(bytes, t(r, product)), baseLabel + " " + throughput(bytes, t(r, base)),
                   format("%.2f", ratio), format(">= %.2f", aim), verdict(ratio >= aim)});
}

void fill(std::vector<Line> &out, const Results &r, const std::string &figure, const char *press)
{
    if (const char *why = failure(r, {press})) {
        out.push_back({figure, why, "scan in the same press", "", "< 1 s", "ERROR"});
        return;
    }
    const auto scan = r.at(press).counters.find("scan_s");
    const double scanSeconds = scan == r.at(press).counters.end() ? 0 : scan->second;
    const double rows = median(r, press);
    out.push_back({figure, duration(rows), "scan in the same press " + duration(scanSeconds),
                   scanSeconds > 0 ? format("%.2fx", rows / scanSeconds) : "", "< 1 s", verdict(rows < 1.0)});
}

// Playable copies and previews; without ffmpeg the remux stands alone, with a note.
void videoLines(std::vector<Line> &out, const Results &r)
{
    const std::string remux = "6 remux of a 512 MiB native copy to MP4, page cache";
    const auto ffmpeg = r.find(name::kFfmpegCopy);
    if (ffmpeg != r.end() && ffmpeg->second.error.rfind("skipped", 0) == 0 && !failure(r, {name::kRemuxMp4}))
        out.push_back({remux, duration(t(r, name::kRemuxMp4)), "ffmpeg not found: no baseline", "", "<= 1.0", "-"});
    else
        timeRatio(out, r, remux, name::kRemuxMp4, name::kFfmpegCopy, "ffmpeg -f h264 -c copy", 1.0, "<= 1.0");
    const std::string preview = "6 preview, 6 frames of 3,000 clusters (6 GB), page cache";
    if (const char *why = failure(r, {name::kPreview})) {
        out.push_back({preview, why, "", "", "< 1 s, < 20 clusters", "ERROR"});
        return;
    }
    const auto read = r.at(name::kPreview).counters.find("clusters_read");
    const double clusters = read == r.at(name::kPreview).counters.end() ? 1e9 : read->second;
    out.push_back({preview, duration(t(r, name::kPreview)), format("%.0f of 3,000 clusters read", clusters), "",
                   "< 1 s, < 20 clusters", verdict(t(r, name::kPreview) < 1.0 && clusters < 20)});
    // Per cluster both sides read the same 64: carve's time over dd's.
    timeRatio(out, r, "6 carve decides 64 clusters (video, random, zeros, decoys), page cache", name::kCarveDecide,
              name::kDdCarve, "dd bs=2M of them", 1.0, "<= 1.0");
}

// korvath-case: the time to show, a timeline frame, the event loop's longest stalls.
void caseWindowLines(std::vector<Line> &out, const Results &r)
{
    const auto counter = [&](const char *n, const char *c) {
        const auto it = r.at(n).counters.find(c);
        return it == r.at(n).counters.end() ? -1.0 : it->second;
    };
    const std::string shown = "9 korvath-case: 50,000 recordings into table and timeline";
    if (const char *why = failure(r, {name::kCaseList})) {
        out.push_back({shown, why, "", "", "< 1 s", "ERROR"});
    } else {
        const double seconds = median(r, name::kCaseList);
        out.push_back({shown, duration(seconds), "from the scan's end", "", "< 1 s", verdict(seconds < 1.0)});
        const double scan = counter(name::kCaseList, "scan_stall_ms"), all = counter(name::kCaseList, "stall_ms");
        out.push_back({"9 korvath-case: longest stall of the event loop while it scans", format("%.1f ms", scan),
                       "the scan on its own thread", "", "<= 100 ms", verdict(scan >= 0 && scan <= 100)});
        out.push_back({"9 korvath-case: longest stall, showing the 50,000", format("%.1f ms", all),
                       "filling table and timeline", "", "<= 100 ms", verdict(all >= 0 && all <= 100)});
    }
    const std::string frame = "9 korvath-case: timeline frame (zoom, pan), 50,000 recordings";
    if (const char *why = failure(r, {name::kCaseFrame}))
        out.push_back({frame, why, "", "", "< 16 ms", "ERROR"});
    else
        out.push_back({frame, duration(t(r, name::kCaseFrame)), "", "", "< 16 ms", verdict(t(r, name::kCaseFrame) < 0.016)});
    const std::string stall = "9 korvath-case: longest stall during an export, 256 MiB + SHA-256";
    if (const char *why = failure(r, {name::kCaseExport})) {
        out.push_back({stall, why, "", "", "<= 100 ms", "ERROR"});
    } else {
        const double ms = counter(name::kCaseExport, "stall_ms");
        out.push_back({stall, format("%.1f ms", ms), "export " + duration(median(r, name::kCaseExport)), "", "<= 100 ms",
                       verdict(ms >= 0 && ms <= 100)});
    }
    if (r.count(name::kCasePreview)) {
        const std::string preview = "9 korvath-case: a recording chosen to its contact sheet, sample disk";
        if (const char *why = failure(r, {name::kCasePreview}))
            out.push_back({preview, why, "", "", "< 0.5 s", "ERROR"});
        else
            out.push_back({preview, duration(t(r, name::kCasePreview)), "", "", "< 0.5 s",
                           verdict(t(r, name::kCasePreview) < 0.5)});
    }
}

std::string mib(double v)
{
    return format("%.1f MiB", v);
}

} // namespace

void printTable(const Results &r, const MemoryFigures &m, std::ostream &out)
{
    const double directoryMiB = double(corpus().large.dir_size) * korvath::kSectorSize / (1024.0 * 1024.0);
    const std::string dirText = format("%.1f MiB", directoryMiB);
    std::vector<Line> lines;
    lines.push_back({"figure", "measured", "baseline, same run", "ratio", "aim", ""});
    timeRatio(lines, r, "1 scan, 2,899,968 records, 20,000 x 100 clusters", name::kScan, name::kPlainPass,
              "plain pass of " + dirText, 3.0, "<= 3x");
    timeRatio(lines, r, "1 scan of every channel in one pass (list --channel all)", name::kScanAllChannels, name::kScan,
              "one channel's scan", 1.3, "<= 1.3x");
    timeRatio(lines, r, "1 list --unlisted: the scan, then the chains no walk reaches", name::kScanUnlisted, name::kScan,
              "one channel's scan", 2.0, "<= 2x");
    if (const char *why = failure(r, {name::kHostileUnlisted}))
        lines.push_back({"7 hostile directory, list --unlisted", why, "", "", "< 30 s", "ERROR"});
    else
        lines.push_back({"7 hostile directory, list --unlisted", duration(median(r, name::kHostileUnlisted)),
                         "stops at the scan's bound", "", "< 30 s", verdict(median(r, name::kHostileUnlisted) < 30.0)});
    timeRatio(lines, r, "1 scan, debug output to a file", name::kScanLogged, name::kPlainPass,
              "plain pass of " + dirText, 0, "(cost of the log)");
    timeRatio(lines, r, "2 directory read, " + dirText + ", page cache", name::kDirectoryRead, name::kDdDirectory,
              "dd bs=1M", 1.1, "<= 1.1");
    timeRatio(lines, r, "2 the same, against dd of one request", name::kDirectoryRead, name::kDdDirectoryWhole,
              "dd bs=" + dirText + " count=1", 1.1, "<= 1.1");
    fill(lines, r, "3 file list, 50,000 rows into an empty list", name::kListFirst);
    fill(lines, r, "3 file list, 50,000 rows replacing 50,000", name::kListRefill);
    throughputRatio(lines, r, "4 export 256 clusters (512 MiB), page cache", name::kExportCached, name::kDdCached, 0.9);
    throughputRatio(lines, r, "4 export 256 clusters, evicted before each run", name::kExportCold, name::kDdCold, 0.9);
    throughputRatio(lines, r, "4 the same without a hash, page cache, against dd", name::kExportCached, name::kDdCached, 1.0);
    const double bytes = double(kExportClusters) * korvath::kClusterBytes;
    const auto speedRatio = [&](const std::string &figure, const char *product, const char *base,
                                const std::string &baseLabel, double aim) {
        if (const char *why = failure(r, {product, base})) {
            lines.push_back({figure, why, baseLabel, "", format(">= %.2f", aim), "ERROR"});
            return;
        }
        const double ratio = t(r, base) / t(r, product);
        lines.push_back({figure, throughput(bytes, t(r, product)), baseLabel + " " + throughput(bytes, t(r, base)),
                         format("%.2f", ratio), format(">= %.2f", aim), verdict(ratio >= aim)});
    };
    speedRatio("6 export --sha256 (OpenSSL), page cache", name::kExportShaCached, name::kOpensslDigest,
               "openssl dgst -sha256", 0.85);
    speedRatio("6 the same, against the former hash (Qt)", name::kExportShaCached, name::kExportQtHashCached,
               "export + QCryptographicHash", 5.0);
    speedRatio("6 export --sha256, evicted before each run", name::kExportShaCold, name::kExportCold,
               "the same without a hash", 0.9);
    if (const char *why = failure(r, {name::kHostileScan, name::kScan})) {
        lines.push_back({"7 hostile directory scan", why, "", "", "< 30 s", "ERROR"});
    } else {
        const double hostile = median(r, name::kHostileScan);
        lines.push_back({"7 hostile directory, every record a 65,536-cluster loop", duration(hostile),
                         "real-shaped scan " + duration(t(r, name::kScan)), format("%.1fx", hostile / t(r, name::kScan)),
                         "< 30 s", verdict(hostile < 30.0)});
    }
    if (r.count(name::kRemuxMp4) || r.count(name::kPreview))
        videoLines(lines, r);
    // Start-up: the time above a program that loads Qt Core and nothing else.
    for (const auto &start : {std::make_pair("8 start-up: korvath-cli --version", name::kCliVersion),
                              std::make_pair("8 start-up: korvath-cli list --channel all, small disk", name::kCliList)}) {
        if (const char *why = failure(r, {start.second, name::kQtCoreStart})) {
            lines.push_back({start.first, why, "Qt Core program", "", "<= +15 ms", "ERROR"});
            continue;
        }
        const double above = t(r, start.second) - t(r, name::kQtCoreStart);
        lines.push_back({start.first, duration(t(r, start.second)), "Qt Core program " + duration(t(r, name::kQtCoreStart)),
                         format("%+.1f ms", above * 1000), "<= +15 ms", verdict(above <= 0.015)});
    }
    throughputRatio(lines, r, "8 korvath-cli export, 512 MiB, whole process, page cache", name::kCliExport,
                    name::kDdExportProcess, 0.95);
    throughputRatio(lines, r, "8 the same, against dd conv=fsync (the export syncs each file)", name::kCliExport,
                    name::kDdFsyncExportProcess, 0.95, "dd bs=2M conv=fsync");
    if (r.count(name::kCliExportSampleMp4))
        timeRatio(lines, r, "8 korvath-cli export --mp4, sample disk (6 recordings, 26 MiB), whole process",
                  name::kCliExportSampleMp4, name::kCliExportSample, "export alone", 1.15, "<= 1.15x");
    if (!m.error.empty()) {
        lines.push_back({"5 peak memory", m.error, "", "", "", "ERROR"});
    } else {
        const double buffer = 8.0; // the export's read-ahead ring
        lines.push_back({"5 peak memory, scan (above an idle child)", mib(m.scanMiB), "directory buffer " + dirText,
                         format("%.2fx", m.scanMiB / directoryMiB), "directory + list", "-"});
        lines.push_back({"5 peak memory, export of 16 clusters", mib(m.export16MiB), "ring of four 2 MiB buffers",
                         format("%.2fx", m.export16MiB / buffer), "<= 1.5x", verdict(m.export16MiB <= 1.5 * buffer)});
        lines.push_back({"5 peak memory, export of 256 clusters", mib(m.export256MiB), "ring of four 2 MiB buffers",
                         format("%.2fx", m.export256MiB / buffer), "<= 1.5x", verdict(m.export256MiB <= 1.5 * buffer)});
        lines.push_back({"7 peak memory, hostile directory scan", mib(m.hostileMiB), "above the directory buffer",
                         "", "< 1024 MiB", verdict(m.hostileMiB < 1024.0)});
    }
    if (const char *why = failure(r, {name::kOverviewPage, name::kOverviewList})) {
        lines.push_back({"6 overview page, 50,000 recordings", why, "plain listing", "", "< 2 s, < 10 MB", "ERROR"});
    } else {
        const auto mb = r.at(name::kOverviewPage).counters.find("MB");
        const double size = mb == r.at(name::kOverviewPage).counters.end() ? 0 : mb->second;
        const double seconds = median(r, name::kOverviewPage);
        lines.push_back({"6 overview page, 50,000 recordings", duration(seconds) + format(", %.1f MB", size),
                         "plain listing " + duration(median(r, name::kOverviewList)),
                         format("%.2fx", seconds / median(r, name::kOverviewList)), "< 2 s, < 10 MB",
                         verdict(seconds < 2.0 && size > 0 && size < 10.0)});
    }

    caseWindowLines(lines, r);

    size_t w[5] = {};
    for (const Line &l : lines) {
        w[0] = std::max(w[0], l.figure.size());
        w[1] = std::max(w[1], l.measured.size());
        w[2] = std::max(w[2], l.baseline.size());
        w[3] = std::max(w[3], l.ratio.size());
        w[4] = std::max(w[4], l.aim.size());
    }
    const auto pad = [](const std::string &s, size_t width) { return s + std::string(width - s.size() + 2, ' '); };
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line &l = lines[i];
        out << pad(l.figure, w[0]) << pad(l.measured, w[1]) << pad(l.baseline, w[2]) << pad(l.ratio, w[3])
            << pad(l.aim, w[4]) << l.verdict << '\n';
        if (i == 0)
            out << std::string(w[0] + w[1] + w[2] + w[3] + w[4] + 16, '-') << '\n';
    }
    out << "Times and throughputs are the best repetition of each side, the file list's and the page's the median.\n"
        << "File-list times run from the scan's last log line to the last row laid out;\n"
        << "their ratios are to the scan of the same press.\n"
        << "Memory: an idle child peaks at " << mib(m.idleMiB) << "; figures are above it.\n";
}

} // namespace bench
