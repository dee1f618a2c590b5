// Playable copy of an exported recording: the H.264 units of the native copy
// (<name>.h264) put into an MP4 as they are, never re-encoded, timed from the
// recorder's stamps and labelled as a derived copy. The bytes come from the
// caller, never from the output folder read back.
#pragma once

#include "libraryversion.h"
#include "lossmap.h"
#include "recordertime.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

namespace korvath {

// libavformat and libavcodec, as built and as loaded, for a report.
std::vector<LibraryVersion> remuxLibraries();

struct RemuxOptions {
    RecorderTime start = 0;
    RecorderTime end = 0;
    QString masterName;   // the native copy's file name, for the label and messages
    QString masterSha256; // its SHA-256, hex
    // Stretches of the recording that could not be read on the source (byte
    // offsets in it), as the export lists them: the only damage taken from
    // outside the stream. Zeros are never guessed to be unreadable.
    std::vector<ByteRange> unreadable;
    bool sha256 = false; // hash the MP4 as it is written (RemuxResult::sha256)
    // Called as the recording is read (it is read twice: total is twice its size);
    // returning false stops the remux, and nothing is written.
    std::function<bool(uint64_t done, uint64_t total)> progress;
};

struct RemuxResult {
    bool ok = false;
    bool noVideo = false; // no H.264 key frame found: nothing written
    QString error;
    int64_t framesWritten = 0;
    int64_t framesDamaged = 0;   // dropped from a damaged stretch up to the next key frame
    int64_t framesBeforeKey = 0; // whole frames before the first key frame
    int64_t framesAfterEnd = 0;  // frames after the recording's last one (an older recording's leftovers)
    int64_t framesTooLarge = 0;  // frames whose picture size no H.264 level allows: never decoded, left out
    int tooLargeWidth = 0, tooLargeHeight = 0; // the size they claim
    int64_t framesUnchecked = 0; // the last group's frames, kept without the decode check (over its limit)
    int64_t framesDecoded = 0;   // frames decoded for the checks (the last group's, the copy's first)
    double fps = 0;
    QString fpsSource; // "recorder stamps", "stream timing" or "default"
    double durationSeconds = 0;
    QString sha256;                // of the MP4, hex, when asked for
    bool sha256AsWritten = false;  // taken as it was written, not read back
};

// The recording's bytes as exported: fills `buffer` with `size` bytes from `offset`
// (offset + size <= the recording's size); false when they cannot be had.
using RecordingBytes = std::function<bool(uint64_t offset, uint8_t *buffer, uint32_t size)>;

// Writes mp4Path (through a temporary name in its folder) from the recording's
// recordingSize bytes given by `read`. On failure, a read that fails among
// them included, nothing is left at mp4Path.
RemuxResult remuxToMp4(const RecordingBytes &read, uint64_t recordingSize, const QString &mp4Path,
                       const RemuxOptions &options);

// FFmpeg's own messages go to the debug log, so they are seen only with the
// debug log on (a damaged recording makes thousands: its parser complains at
// every frame until the first key frame); the results name every loss. Global.
void quietVideoLibraries();

// Seconds the stamps span, both ends included; 0 when end precedes start.
int64_t recorderSpanSeconds(RecorderTime start, RecorderTime end);
// The stamp plus some seconds (the recorder's calendar, no zone).
RecorderTime addSeconds(RecorderTime t, int64_t seconds);

} // namespace korvath
