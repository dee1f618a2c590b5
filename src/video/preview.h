// Contact sheet of a recording straight from the source: a few key frames
// spread through it, decoded from the clusters around each point only, each
// labelled with its recorder time. A derived picture, never evidence itself.
// Each frame is scaled down to its tile as soon as it is decoded, and a
// picture larger than any H.264 level allows is not decoded at all.
#pragma once

#include "recordertime.h"

#include <QByteArray>
#include <QRect>
#include <QSize>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

namespace korvath {

// Fills buffer (kClusterBytes) with the recording's cluster at that index; false when it cannot be read.
using ClusterReader = std::function<bool(uint32_t indexInRecording, uint8_t *buffer)>;

struct PreviewOptions {
    uint32_t clusterCount = 0;
    RecorderTime start = 0;
    RecorderTime end = 0;
    int frames = 6;
    int maxTileWidth = 320; // wider frames are scaled down to this
    QString recordingName;  // for messages
    std::function<bool()> stop; // asked before each frame; true: nothing is written
};

struct PreviewTile {
    bool found = false;
    uint64_t point = 0;      // the sampled point, in bytes from the recording's start (k/K of it)
    uint32_t cluster = 0;    // the point's cluster
    uint64_t byteOffset = 0; // the key frame's first byte, counted from the recording's start
    RecorderTime time = 0;   // start stamp plus the key frame's share of the bytes, as share of the span
    QRect picture;           // where the frame lies in the sheet (its label is below it)
    QString missing;         // why there is no picture here (a crossed-out tile)
};

struct PreviewResult {
    bool ok = false;
    QString error;
    int clustersRead = 0;
    std::vector<PreviewTile> tiles;
    QSize sheetSize;
    QSize frameSize; // as decoded
    QByteArray png;  // the sheet as written
    int framesDecoded = 0; // key frames given to the decoder
};

// Writes one PNG contact sheet at pngPath as one output file (outputfile.h);
// with no path, the sheet is only kept in the result.
PreviewResult writePreview(const ClusterReader &read, const PreviewOptions &options, const QString &pngPath);

} // namespace korvath
