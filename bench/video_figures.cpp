// Playable copies and previews in the one table: the remux of a 512 MiB
// native copy beside ffmpeg's own stream copy of the same file, and a
// six-frame preview of a 3,000-cluster recording from the page cache.
#include "figures.h"

#include "layout.h"
#include "preview.h"
#include "remux.h"
#include "teststream.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <benchmark/benchmark.h>

namespace bench {

namespace {

using namespace korvath;

QString g_dir;
constexpr qint64 kMasterMiB = 512;
constexpr uint32_t kPreviewClusters = 3000;

QString masterPath() { return g_dir + QStringLiteral("/master.h264"); }
QString recordingPath() { return g_dir + QStringLiteral("/recording.bin"); }

// Real H.264 of 150 frames with recorder bytes between them, repeated to the size asked.
bool makeFile(const QString &path, qint64 bytes, QString *error)
{
    testkit::TestStreamOptions o;
    o.frames = 150;
    o.gop = 25;
    o.detail = 40;
    const testkit::TestStream s = testkit::withRecorderBytes(testkit::encodeTestStream(o), 1);
    QFile f(path);
    if (s.bytes.isEmpty() || !f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    for (qint64 left = bytes; left > 0; left -= s.bytes.size())
        if (f.write(s.bytes.constData(), std::min<qint64>(left, s.bytes.size())) < 0) {
            *error = QStringLiteral("cannot write %1: %2").arg(path, f.errorString());
            return false;
        }
    return true;
}

bool warm(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    while (!f.read(1 << 24).isEmpty()) {
    }
    return true;
}

void remuxRuns(benchmark::State &state)
{
    quietVideoLibraries();
    if (!warm(masterPath())) {
        state.SkipWithError("cannot read the native copy");
        return;
    }
    RemuxOptions o;
    o.start = packRecorderTime(2024, 3, 1, 8, 0, 0);
    o.end = addSeconds(o.start, 3600);
    o.masterName = QStringLiteral("master.h264");
    const QString mp4 = g_dir + QStringLiteral("/korvath.mp4");
    for (auto _ : state) {
        // Each side writes a new file: replacing one costs the file system more.
        state.PauseTiming();
        QFile::remove(mp4);
        state.ResumeTiming();
        const RemuxResult r = remuxToMp4(masterPath(), mp4, o);
        if (!r.ok) {
            state.SkipWithError(qPrintable(r.error));
            return;
        }
        state.counters["frames"] = double(r.framesWritten);
    }
}

void ffmpegRuns(benchmark::State &state)
{
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty()) {
        state.SkipWithError("skipped: ffmpeg not found");
        return;
    }
    if (!warm(masterPath())) {
        state.SkipWithError("cannot read the native copy");
        return;
    }
    const QStringList args = {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-f"),
                              QStringLiteral("h264"), QStringLiteral("-i"), masterPath(), QStringLiteral("-c"),
                              QStringLiteral("copy"), g_dir + QStringLiteral("/ffmpeg.mp4")};
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(args.last());
        state.ResumeTiming();
        if (QProcess::execute(ffmpeg, args) != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
    }
}

void previewRuns(benchmark::State &state)
{
    quietVideoLibraries();
    QFile f(recordingPath());
    if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        state.SkipWithError("cannot open the recording");
        return;
    }
    const ClusterReader read = [&](uint32_t index, uint8_t *buffer) {
        return f.seek(qint64(index) * kClusterBytes) && f.read(reinterpret_cast<char *>(buffer), kClusterBytes) == kClusterBytes;
    };
    PreviewOptions o;
    o.clusterCount = kPreviewClusters;
    o.start = packRecorderTime(2024, 3, 1, 8, 0, 0);
    o.end = addSeconds(o.start, 3 * 3600);
    const QString png = g_dir + QStringLiteral("/preview.png");
    // Once untimed, so that the clusters it reads are in the page cache.
    if (!writePreview(read, o, png).ok) {
        state.SkipWithError("the preview failed");
        return;
    }
    for (auto _ : state) {
        const PreviewResult r = writePreview(read, o, png);
        if (!r.ok) {
            state.SkipWithError(qPrintable(r.error));
            return;
        }
        state.counters["clusters_read"] = r.clustersRead;
    }
}

} // namespace

bool registerVideoBenchmarks(const QString &folder, QString *error)
{
    g_dir = folder;
    if (!makeFile(masterPath(), kMasterMiB << 20, error)
        || !makeFile(recordingPath(), qint64(kPreviewClusters) * kClusterBytes, error))
        return false;
    using benchmark::RegisterBenchmark;
    const auto runs = [](benchmark::internal::Benchmark *b, int repetitions) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(repetitions)->ReportAggregatesOnly(true);
        withBest(b);
    };
    runs(RegisterBenchmark(name::kRemuxMp4, remuxRuns), 5);
    runs(RegisterBenchmark(name::kFfmpegCopy, ffmpegRuns), 5);
    runs(RegisterBenchmark(name::kPreview, previewRuns), 8);
    return true;
}

} // namespace bench
