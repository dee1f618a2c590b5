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
    int refFrames = 0;
    int pocType = 0; // 2: output order is decoding order, so no picture is ever reordered
    bool timing = false;
    uint32_t unitsInTick = 0, timeScale = 0;
    int64_t macroblocks() const { return int64_t((width + 15) / 16) * ((height + 15) / 16); }
};

// The largest picture and decoded picture buffer any H.264 level allows (level
// 6.2, in macroblocks). A stream that claims more is damaged or hostile: it is
// never decoded, since the decoder would size its memory from the claim.
constexpr int64_t kMaxFrameMacroblocks = 139264;
constexpr int64_t kMaxDpbMacroblocks = 696320;
bool withinLevelLimits(const Sps &sps);

// An H.265 VPS, SPS or PPS unit header (nal after the start code): H.265
// video is named as such instead of as "no H.264 video".
inline bool isH265ParameterSet(const uint8_t *nal, size_t size)
{
    return size > 2 && (nal[0] == 0x40 || nal[0] == 0x42 || nal[0] == 0x44) && nal[1] == 0x01;
}

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
