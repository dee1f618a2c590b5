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
    // Footage the directory no longer lists. A channel-3 recording of 05:00 was
    // written on 150, 152, 154, 155 and 156; the recorder later reused 150 and
    // 152 for the 23:50 recording, and the rest keeps its records: an unlisted tail.
    const auto oldStart = packRecorderTime(2024, 3, 1, 5, 0, 0), oldEnd = packRecorderTime(2024, 3, 1, 5, 9, 59);
    const std::vector<uint32_t> overwritten{150, 152, 154, 155, 156};
    for (size_t k = 2; k < overwritten.size(); ++k) {
        korvath::testkit::RecordFields f;
        f.index = overwritten[k];
        f.flag = 1;
        f.nextCluster = k + 1 < overwritten.size() ? overwritten[k + 1] : 0;
        f.startTime = oldStart;
        f.endTime = oldEnd;
        f.chainId = 0x4FF;
        f.channel = 2;
        b.record(f);
        b.clusterContents(overwritten[k]);
    }
    std::printf("  unlisted: the tail of a channel 3 recording %s on clusters 154-156 (its head reused)\n",
                qPrintable(korvath::recordingFileName(oldStart, oldEnd, 2)));
#ifdef KORVATH_SAMPLE_VIDEO
    {
        const QByteArray video = sampleVideo(overwritten.size(), 40, false);
        for (size_t k = 2; k < overwritten.size(); ++k)
            b.clusterBytes(overwritten[k], video.mid(static_cast<int>(k * korvath::kClusterBytes), static_cast<int>(korvath::kClusterBytes)));
        // Clusters 170-172 and 175 hold video whose records were zeroed (a
        // deleted recording); 173 holds bytes with start codes that are no video.
        const QByteArray deleted = sampleVideo(3, 41, false);
        const QByteArray single = sampleVideo(1, 42, true);
        b.chain(0, packRecorderTime(2024, 3, 1, 3, 0, 0), packRecorderTime(2024, 3, 1, 3, 5, 0), {170, 171, 172, 175}, 0x4FE);
        for (int k = 0; k < 3; ++k)
            b.clusterBytes(170 + k, deleted.mid(k * korvath::kClusterBytes, korvath::kClusterBytes));
        b.clusterBytes(175, single);
        QByteArray noise;
        for (int k = 0; noise.size() < korvath::kClusterBytes; ++k)
            noise.append(QByteArray("\0\0\1\xBA recorder index block ", 25)).append(QByteArray::number(k));
        b.clusterBytes(173, noise.left(korvath::kClusterBytes));
        b.zeroRecords(170, 6);
        std::printf("  claimed by nobody: H.264 in clusters 170-172 and 175, whose records were zeroed\n");
    }
#endif
    QString error;
    if (!b.write(QString::fromLocal8Bit(argv[1]), &error)) {
        std::fprintf(stderr, "make-sample-disk: %s\n", qPrintable(error));
        return 1;
    }
#ifdef KORVATH_SAMPLE_VIDEO
    std::printf("their clusters hold H.264 video (320x240, a key frame every 25), some with recorder bytes between frames\n");
#endif
    std::printf("list them with channel 1, 2 or 3 from 2024-03-01 00:00:00 to 2024-03-01 23:59:59;\n"
                "korvath-cli list --unlisted and korvath-cli carve find the rest\n");
    return 0;
}
