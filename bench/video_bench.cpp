// Figures for playable copies and previews, outside scripts/bench (they need
// large files): the remux of a big native copy against ffmpeg's own stream
// copy, and a preview of a 3,000-cluster recording read from a file.
//   korvath_video_bench remux DIR MIB        makes DIR/master.h264 of MIB MiB (once), times both
//   korvath_video_bench preview DIR CLUSTERS  makes DIR/recording.bin (once), times a 6-frame preview
//   korvath_video_bench copy MASTER OUT.mp4   one playable copy, its figures printed
//   korvath_video_bench sheet MASTER OUT.png  a preview of a native copy (stamps 08:00:00 to 08:14:59)
#include "layout.h"
#include "preview.h"
#include "remux.h"
#include "teststream.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <cstdio>

extern "C" {
#include <libavutil/log.h>
}

using namespace korvath;
using namespace korvath::testkit;

namespace {

// A stream of 150 frames repeated to the size asked: real H.264, each copy starting with a key frame.
bool makeFile(const QString &path, qint64 bytes, bool recorderBytes)
{
    if (QFileInfo(path).size() == bytes)
        return true;
    TestStreamOptions o;
    o.frames = 150;
    o.gop = 25;
    o.detail = 40;
    TestStream s = encodeTestStream(o);
    if (recorderBytes)
        s = withRecorderBytes(s, 1);
    QFile f(path);
    if (s.bytes.isEmpty() || !f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (qint64 left = bytes; left > 0; left -= s.bytes.size())
        if (f.write(s.bytes.left(int(std::min<qint64>(left, s.bytes.size())))) < 0)
            return false;
    return true;
}

double seconds(QElapsedTimer &t) { return double(t.nsecsElapsed()) / 1e9; }

// The remux of a native copy on disk, its bytes read from the file.
RemuxResult remuxFile(const QString &master, const QString &mp4, const RemuxOptions &o)
{
    QFile f(master);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        RemuxResult r;
        r.error = QStringLiteral("%1: %2").arg(master, f.errorString());
        return r;
    }
    const RecordingBytes read = [&f](uint64_t offset, uint8_t *buffer, uint32_t size) {
        return f.seek(qint64(offset)) && f.read(reinterpret_cast<char *>(buffer), size) == qint64(size);
    };
    return remuxToMp4(read, uint64_t(f.size()), mp4, o);
}

int remuxFigures(const QString &dir, qint64 mib)
{
    const QString master = dir + QStringLiteral("/master.h264");
    if (!makeFile(master, mib << 20, true))
        return 1;
    // Warm the page cache so that both read the same way.
    QFile warm(master);
    warm.open(QIODevice::ReadOnly);
    while (!warm.read(1 << 24).isEmpty()) {
    }
    RemuxOptions o;
    o.start = packRecorderTime(2024, 3, 1, 8, 0, 0);
    o.end = addSeconds(o.start, 3600);
    o.masterName = QStringLiteral("master.h264");
    QElapsedTimer t;
    t.start();
    const RemuxResult r = remuxFile(master, dir + QStringLiteral("/korvath.mp4"), o);
    const double ours = seconds(t);
    if (!r.ok) {
        std::fprintf(stderr, "remux: %s\n", qPrintable(r.error));
        return 1;
    }
    t.restart();
    const int rc = QProcess::execute(QStringLiteral("ffmpeg"),
                                     {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-f"),
                                      QStringLiteral("h264"), QStringLiteral("-i"), master, QStringLiteral("-c"),
                                      QStringLiteral("copy"), dir + QStringLiteral("/ffmpeg.mp4")});
    const double theirs = seconds(t);
    std::printf("remux of %lld MiB (%lld frames): korvath %.2f s (%.0f MiB/s), ffmpeg -c copy %.2f s (%.0f MiB/s)%s\n",
                static_cast<long long>(mib), static_cast<long long>(r.framesWritten), ours, double(mib) / ours, theirs,
                double(mib) / theirs, rc == 0 ? "" : " (ffmpeg failed)");
    return 0;
}

int previewFigures(const QString &dir, uint32_t clusters)
{
    const QString path = dir + QStringLiteral("/recording.bin");
    if (!makeFile(path, qint64(clusters) * kClusterBytes, true))
        return 1;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return 1;
    ClusterReader read = [&](uint32_t index, uint8_t *buffer) {
        return f.seek(qint64(index) * kClusterBytes) && f.read(reinterpret_cast<char *>(buffer), kClusterBytes) == kClusterBytes;
    };
    PreviewOptions o;
    o.clusterCount = clusters;
    o.start = packRecorderTime(2024, 3, 1, 8, 0, 0);
    o.end = addSeconds(o.start, 3 * 3600);
    // Once to bring the clusters it reads into the page cache, then timed.
    writePreview(read, o, dir + QStringLiteral("/preview.png"));
    QElapsedTimer t;
    t.start();
    const PreviewResult r = writePreview(read, o, dir + QStringLiteral("/preview.png"));
    const double s = seconds(t);
    std::printf("preview of %u clusters: %.3f s, %d clusters read, %s\n", clusters, s, r.clustersRead,
                r.ok ? "ok" : qPrintable(r.error));
    return r.ok ? 0 : 1;
}

// One native copy by hand, stamps from its exported name "YYYY-MM-DD HH-MM-SS_YYYY-MM-DD HH-MM-SS_...".
int copyOne(const QString &master, const QString &mp4)
{
    const QString name = QFileInfo(master).fileName();
    auto stamp = [&](int at) {
        const QStringList d = name.mid(at, 10).split(QLatin1Char('-')), t = name.mid(at + 11, 8).split(QLatin1Char('-'));
        return d.size() == 3 && t.size() == 3 ? packRecorderTime(d[0].toInt(), d[1].toInt(), d[2].toInt(), t[0].toInt(), t[1].toInt(), t[2].toInt()) : 0;
    };
    RemuxOptions o;
    o.start = stamp(0);
    o.end = stamp(20);
    o.masterName = name;
    QElapsedTimer t;
    t.start();
    const RemuxResult r = remuxFile(master, mp4, o);
    std::printf("%s: %s%s\n  written %lld, damaged %lld, before the first key frame %lld, after the end %lld, "
                "%.3f fps (%s), %.2f s of video, in %.3f s\n",
                qPrintable(name), r.ok ? "ok" : "failed: ", qPrintable(r.error), static_cast<long long>(r.framesWritten),
                static_cast<long long>(r.framesDamaged), static_cast<long long>(r.framesBeforeKey),
                static_cast<long long>(r.framesAfterEnd), r.fps, qPrintable(r.fpsSource), r.durationSeconds, seconds(t));
    return r.ok ? 0 : 1;
}

// A preview of one native copy, its clusters read from the file.
int sheetOne(const QString &master, const QString &png)
{
    QFile f(master);
    if (!f.open(QIODevice::ReadOnly))
        return 1;
    PreviewOptions o;
    o.clusterCount = static_cast<uint32_t>((f.size() + kClusterBytes - 1) / kClusterBytes);
    o.start = packRecorderTime(2024, 3, 1, 8, 0, 0);
    o.end = addSeconds(o.start, 899);
    o.recordingName = QFileInfo(master).fileName();
    QElapsedTimer t;
    t.start();
    const PreviewResult r = writePreview(
        [&](uint32_t index, uint8_t *buffer) {
            std::fill_n(buffer, kClusterBytes, uint8_t(0));
            return f.seek(qint64(index) * kClusterBytes) && f.read(reinterpret_cast<char *>(buffer), kClusterBytes) > 0;
        },
        o, png);
    std::printf("%s: %s%s, %d clusters read, %.3f s\n", qPrintable(o.recordingName), r.ok ? "ok" : "failed: ",
                qPrintable(r.error), r.clustersRead, seconds(t));
    return r.ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    av_log_set_level(AV_LOG_FATAL);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("remux"))
        return remuxFigures(args[2], args[3].toLongLong());
    if (args.size() == 4 && args[1] == QLatin1String("preview"))
        return previewFigures(args[2], args[3].toUInt());
    if (args.size() == 4 && args[1] == QLatin1String("sheet"))
        return sheetOne(args[2], args[3]);
    if (args.size() == 4 && args[1] == QLatin1String("copy"))
        return copyOne(args[2], args[3]);
    std::fprintf(stderr, "usage: korvath_video_bench remux DIR MIB | preview DIR CLUSTERS | copy MASTER OUT.mp4 | sheet MASTER OUT.png\n");
    return 2;
}
