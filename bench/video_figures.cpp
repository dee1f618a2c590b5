// Playable copies and previews in the one table: the remux of a 512 MiB
// native copy beside ffmpeg's own stream copy of the same file, and a
// six-frame preview of a 3,000-cluster recording from the page cache.
#include "figures.h"

#include "carve.h"
#include "iobuffer.h"
#include "corpus.h"
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
QString carvePath() { return g_dir + QStringLiteral("/carve.bin"); }
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

constexpr uint32_t kCarveClusters = 64;

// A quarter each: the middle of a recording, random bytes, zeros, and start
// codes among noise (the one kind read whole before it is given up).
bool makeCarveFile(QString *error)
{
    const testkit::VideoClusters video = testkit::videoForClusters(3, 320, 240, 1);
    const QByteArray middle = video.bytes.mid(kClusterBytes, kClusterBytes);
    QByteArray random(kClusterBytes, '\0');
    uint32_t x = 12345;
    for (char &c : random)
        c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    const QByteArray zeros(kClusterBytes, '\0');
    const QByteArray decoy = testkit::startCodeDecoy(7, kClusterBytes);
    QFile f(carvePath());
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write %1").arg(carvePath());
        return false;
    }
    for (uint32_t c = 0; c < kCarveClusters; ++c) {
        const QByteArray &b = c % 4 == 0 ? middle : c % 4 == 1 ? random : c % 4 == 2 ? zeros : decoy;
        if (f.write(b) != b.size()) {
            *error = QStringLiteral("cannot write %1: %2").arg(carvePath(), f.errorString());
            return false;
        }
    }
    return true;
}

// Each cluster read only as far as its verdict needs.
void carveRuns(benchmark::State &state)
{
    if (!warm(carvePath())) {
        state.SkipWithError("cannot read the carve file");
        return;
    }
    const DriveSource source(openDrive(carvePath().toLocal8Bit().constData()));
    IoBytes buffer(kClusterBytes);
    for (auto _ : state) {
        uint64_t video = 0, sectors = 0;
        for (uint32_t c = 0; c < kCarveClusters; ++c) {
            uint32_t read = 0;
            video += decideCluster(source, uint64_t(c) * kClusterSectors, buffer.data(), &read).verdict
                     == ClusterVerdict::Video;
            sectors += read;
        }
        if (video != kCarveClusters / 4) {
            state.SkipWithError("the decisions did not find every video cluster");
            return;
        }
        state.counters["MiB_read"] = double(sectors) * kSectorSize / double(1 << 20);
    }
}

void ddCarveRuns(benchmark::State &state)
{
    warm(carvePath());
    const std::vector<std::string> dd{"dd", "if=" + carvePath().toStdString(), "of=/dev/null", "bs=2M",
                                      "status=none"};
    for (auto _ : state)
        if (!runProgram(dd)) {
            state.SkipWithError("dd failed");
            return;
        }
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
    QFile master(masterPath());
    if (!master.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        state.SkipWithError("cannot open the native copy");
        return;
    }
    const RecordingBytes read = [&master](uint64_t offset, uint8_t *buffer, uint32_t size) {
        return master.seek(qint64(offset)) && master.read(reinterpret_cast<char *>(buffer), size) == qint64(size);
    };
    for (auto _ : state) {
        // Each side writes a new file: replacing one costs the file system more.
        state.PauseTiming();
        QFile::remove(mp4);
        state.ResumeTiming();
        const RemuxResult r = remuxToMp4(read, uint64_t(master.size()), mp4, o);
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
        || !makeFile(recordingPath(), qint64(kPreviewClusters) * kClusterBytes, error) || !makeCarveFile(error))
        return false;
    using benchmark::RegisterBenchmark;
    const auto runs = [](benchmark::internal::Benchmark *b, int repetitions) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(repetitions)->ReportAggregatesOnly(true);
        withBest(b);
    };
    runs(RegisterBenchmark(name::kRemuxMp4, remuxRuns), 5);
    runs(RegisterBenchmark(name::kFfmpegCopy, ffmpegRuns), 5);
    runs(RegisterBenchmark(name::kPreview, previewRuns), 8);
    runs(RegisterBenchmark(name::kCarveDecide, carveRuns), 8);
    runs(RegisterBenchmark(name::kDdCarve, ddCarveRuns), 8);
    return true;
}

} // namespace bench
