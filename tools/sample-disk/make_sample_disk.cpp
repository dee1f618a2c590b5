// Writes a small sample recorder disk (a sparse image) for trying the program.
#include "imagebuilder.h"
#include "scan.h"

#include <QCoreApplication>
#include <cstdio>

#ifdef KORVATH_SAMPLE_VIDEO
#include "teststream.h"

namespace {

// A recording's clusters as a recorder leaves them: H.264 from the first byte
// (with recorder bytes between frames when asked), whole frames only, and the
// rest of the last cluster an older recording's leftovers.
QByteArray sampleVideo(size_t clusters, int variant, bool recorderBytes)
{
    using namespace korvath::testkit;
    const qint64 room = static_cast<qint64>(clusters) * korvath::kClusterBytes;
    TestStreamOptions o;
    o.gop = 25;
    o.detail = 40;
    o.variant = variant;
    o.frames = static_cast<int>(room / 18000) + 25; // frames come out at about 21 KB
    o.checksums = false;
    TestStream s = encodeTestStream(o);
    if (recorderBytes)
        s = withRecorderBytes(s, static_cast<uint32_t>(variant));
    size_t keep = 0;
    while (keep < s.frames.size() && frameSlotEnd(s, keep) <= room - 65536)
        ++keep;
    QByteArray bytes = s.bytes.left(keep ? static_cast<int>(frameSlotEnd(s, keep - 1)) : 0);
    TestStreamOptions old = o;
    old.frames = 30;
    old.gop = 30;
    old.variant = variant + 10;
    const TestStream older = encodeTestStream(old);
    const QByteArray tail = older.bytes.mid(static_cast<int>(older.frames[7].offset + older.frames[7].size / 2));
    while (bytes.size() < room && !tail.isEmpty())
        bytes.append(tail.left(static_cast<int>(room - bytes.size())));
    return bytes;
}

} // namespace
#endif

using korvath::packRecorderTime;
using korvath::testkit::ImageBuilder;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-sample-disk PATH\n");
        return 2;
    }
    // 8 GiB: a directory at cluster 32 and room for a day of short recordings.
    ImageBuilder b(16777216ull);
    b.recorderSignature();
    struct Sample {
        uint32_t channel;
        int h0, m0, h1, m1;
        std::vector<uint32_t> clusters;
    } samples[] = {
        {0, 8, 0, 8, 14, {100, 101, 102}},
        {0, 12, 30, 12, 41, {110, 111}},
        {0, 18, 5, 18, 9, {120}},
        {1, 9, 15, 9, 30, {130, 131, 132, 133}},
        {1, 21, 0, 21, 2, {140}},
        {2, 23, 50, 23, 59, {150, 152}},
    };
    uint32_t chain = 0x500;
    std::printf("sample recorder disk %s (%llu sectors):\n", argv[1], static_cast<unsigned long long>(b.sectors()));
    for (const Sample &s : samples) {
        const auto start = packRecorderTime(2024, 3, 1, s.h0, s.m0, 0);
        const auto end = packRecorderTime(2024, 3, 1, s.h1, s.m1, 59);
        b.recording(s.channel, start, end, s.clusters, chain++);
        std::printf("  channel %u  %s  %zu clusters\n", s.channel + 1,
                    qPrintable(korvath::recordingFileName(start, end, s.channel)), s.clusters.size());
#ifdef KORVATH_SAMPLE_VIDEO
        const QByteArray video = sampleVideo(s.clusters.size(), static_cast<int>(chain), chain % 2 == 0);
        for (size_t k = 0; k < s.clusters.size(); ++k)
            b.clusterBytes(s.clusters[k], video.mid(static_cast<int>(k * korvath::kClusterBytes), static_cast<int>(korvath::kClusterBytes)));
#endif
    }
    QString error;
    if (!b.write(QString::fromLocal8Bit(argv[1]), &error)) {
        std::fprintf(stderr, "make-sample-disk: %s\n", qPrintable(error));
        return 1;
    }
#ifdef KORVATH_SAMPLE_VIDEO
    std::printf("their clusters hold H.264 video (320x240, a key frame every 25), some with recorder bytes between frames\n");
#endif
    std::printf("list them with channel 1, 2 or 3 from 2024-03-01 00:00:00 to 2024-03-01 23:59:59\n");
    return 0;
}
