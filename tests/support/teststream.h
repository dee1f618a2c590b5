// H.264 test streams with known pictures, made with libx264 through
// libavcodec, and the damage a recorder disk does to them; plus decoding
// helpers that check what the program wrote.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QMap>
#include <QString>
#include <cstdint>
#include <vector>

namespace korvath {
namespace testkit {

struct TestFrame {
    qint64 offset = 0; // first byte of the frame's first unit (start code) in the stream
    qint64 size = 0;   // the encoder's bytes for it (recorder bytes not included)
    bool key = false;
    uint64_t checksum = 0; // of the decoded picture (Y, U, V)
};

struct TestStream {
    QByteArray bytes;
    std::vector<TestFrame> frames;
    int width = 0, height = 0;
};

struct TestStreamOptions {
    int frames = 60;
    int gop = 10;
    int width = 320, height = 240;
    int fps = 25;     // goes into the stream's own timing
    int detail = 24;  // noise amplitude: more detail, bigger frames
    int variant = 0;  // another variant gives other pictures
    bool bFrames = false;
    bool still = false;    // every frame the same picture: P-frames of a few bytes
    bool hevc = false;     // H.265 with libx265 instead (no checksums)
    bool checksums = true; // decode the result for TestFrame::checksum
};

// Frame i is a flat shade (i's own), a bit pattern of i in the top row of
// blocks and noise. Checksums come from decoding the result from its start.
TestStream encodeTestStream(const TestStreamOptions &options);

// The damage: each returns a new stream with the frames' places updated.
TestStream withRecorderBytes(const TestStream &s, uint32_t seed);         // 24..200 non-H.264 bytes before every frame
TestStream cutBefore(const TestStream &s, qint64 offset);                 // the bytes before offset are gone
TestStream withTrailing(const TestStream &s, const QByteArray &leftovers);// an older recording's bytes after the end
TestStream withZeros(const TestStream &s, qint64 offset, qint64 length);  // unreadable: the stretch reads as zeros
TestStream withParameterSetsOnlyAtStart(const TestStream &s);             // SPS and PPS before the first frame only
TestStream withClaimedSize(const TestStream &s, int widthMbs, int heightMbs); // every SPS claims this picture size

// A stream that fills about `clusters` 2 MiB clusters, cut after its last
// whole frame (the rest of the last cluster zeros), and how many frames it keeps.
struct VideoClusters {
    QByteArray bytes; // clusters * 2 MiB
    int frames = 0;
    std::vector<TestFrame> kept; // where each frame lies
    int width = 0, height = 0;
};
VideoClusters videoForClusters(int clusters, int width, int height, int variant);

// Bytes a recorder writes that hold start codes without being H.264: MPEG
// pack and PES headers, and units typed SPS, PPS and slice whose payload is noise.
QByteArray startCodeDecoy(uint32_t seed, int size);

// Bytes of a frame's slot: from its offset to the next frame's (or the stream's end).
qint64 frameSlotEnd(const TestStream &s, size_t index);
// Where the first unit of that H.264 type in a frame's slot begins (its header byte), or -1.
qint64 unitOffset(const TestStream &s, size_t frame, int type);

// A file decoded with libavformat + libavcodec.
struct DecodedVideo {
    bool opened = false;
    QString codec;
    int width = 0, height = 0;
    int errors = 0; // failed sends, corrupt pictures and decoder error messages
    std::vector<uint64_t> checksums;
    std::vector<double> ptsSeconds; // per packet, file order
    std::vector<bool> keyPackets;
    double durationSeconds = 0;
    QMap<QString, QString> metadata;
};
DecodedVideo decodeFile(const QString &path);

// Decodes an Annex B run from its start: per-picture checksums, or pictures as RGB.
std::vector<uint64_t> decodeChecksums(const QByteArray &annexB, int *errors = nullptr);
std::vector<QImage> decodeImages(const QByteArray &annexB);

QByteArray fileSha256(const QString &path);

} // namespace testkit
} // namespace korvath
