// Just enough of H.264's Annex B byte stream to cut a recording: where NAL
// units start, the parameter sets' sizes and timing, and each slice's
// frame_num, so that frames of an older recording after the end can be told
// from the recording's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

namespace korvath {
namespace h264 {

enum NalType { kNonIdrSlice = 1, kIdrSlice = 5, kSei = 6, kSps = 7, kPps = 8, kAud = 9 };

// The next 00 00 01 at or after p (its first zero), or end.
const uint8_t *findStartCode(const uint8_t *p, const uint8_t *end);

// Calls f(nal, size, startCodeOffset) for every NAL unit of [data, data+size):
// nal points at the header byte; a unit runs to the next start code, so bytes
// that are not H.264 between units stay with the unit before them.
template <class F> void forEachNal(const uint8_t *data, size_t size, F f)
{
    const uint8_t *end = data + size;
    const uint8_t *sc = findStartCode(data, end);
    while (sc < end) {
        const uint8_t *nal = sc + 3;
        const uint8_t *next = findStartCode(nal, end);
        if (nal < next && !f(nal, static_cast<size_t>(next - nal), static_cast<size_t>(sc - data)))
            return;
        sc = next;
    }
}

struct Sps {
    bool valid = false;
    int id = 0;
    int log2MaxFrameNum = 4;
    bool gapsAllowed = false;
    bool separateColourPlane = false;
    int width = 0, height = 0;
    bool timing = false;
    uint32_t unitsInTick = 0, timeScale = 0;
};

struct SliceHeader {
    bool valid = false;
    int firstMb = 0;
    int sliceType = 0; // 0..4 (P, B, I, SP, SI)
    int ppsId = 0;
    uint32_t frameNum = 0;
    int refIdc = 0;
    bool idr = false;
};

// Parameter sets seen so far, by id.
struct ParameterSets {
    std::map<int, Sps> sps;
    std::map<int, int> ppsToSps;
    // Reads an SPS or PPS unit; false when it does not parse.
    bool take(const uint8_t *nal, size_t size);
    SliceHeader slice(const uint8_t *nal, size_t size) const;
    const Sps *spsForPps(int ppsId) const;
};

Sps parseSps(const uint8_t *nal, size_t size);

} // namespace h264
} // namespace korvath
