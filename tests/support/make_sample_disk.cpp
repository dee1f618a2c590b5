// Writes a small sample recorder disk (a sparse image) for trying the program.
#include "imagebuilder.h"
#include "scan.h"

#include <QCoreApplication>
#include <cstdio>

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
    }
    QString error;
    if (!b.write(QString::fromLocal8Bit(argv[1]), &error)) {
        std::fprintf(stderr, "make-sample-disk: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("list them with channel 1, 2 or 3 from 2024-03-01 00:00:00 to 2024-03-01 23:59:59\n");
    return 0;
}
