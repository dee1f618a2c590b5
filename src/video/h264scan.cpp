#include "h264scan.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace korvath {
namespace h264 {

const uint8_t *findStartCode(const uint8_t *p, const uint8_t *end)
{
    // Look for the 01 and check the two zeros before it: most bytes are not 01.
    const uint8_t *q = p + 2;
    while (q < end) {
        q = static_cast<const uint8_t *>(std::memchr(q, 1, static_cast<size_t>(end - q)));
        if (!q)
            return end;
        if (q[-1] == 0 && q[-2] == 0)
            return q - 2;
        q += 1;
    }
    return end;
}

namespace {

// Reads bits from a unit's payload with the emulation bytes (00 00 03) taken out.
class BitReader
{
public:
    BitReader(const uint8_t *p, size_t size, size_t limit)
    {
        size = std::min(size, limit);
        m_bytes.reserve(size);
        int zeros = 0;
        for (size_t i = 0; i < size; ++i) {
            if (zeros >= 2 && p[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = p[i] == 0 ? zeros + 1 : 0;
            m_bytes.push_back(p[i]);
        }
    }
    bool failed() const { return m_failed; }
    uint32_t bit()
    {
        if (m_pos >= m_bytes.size() * 8) {
            m_failed = true;
            return 0;
        }
        const uint32_t b = (m_bytes[m_pos / 8] >> (7 - m_pos % 8)) & 1u;
        ++m_pos;
        return b;
    }
    uint32_t bits(int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 1) | bit();
        return v;
    }
    uint32_t ue()
    {
        int zeros = 0;
        while (bit() == 0 && !m_failed)
            if (++zeros > 31) {
                m_failed = true;
                return 0;
            }
        if (m_failed)
            return 0;
        return ((1u << zeros) - 1u) + bits(zeros);
    }
    int32_t se()
    {
        const uint32_t v = ue();
        return (v & 1u) ? static_cast<int32_t>((v + 1) / 2) : -static_cast<int32_t>(v / 2);
    }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
    bool m_failed = false;
};

void skipScalingList(BitReader &r, int size)
{
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.failed(); ++j) {
        if (next != 0) {
            // delta_scale is -128..127 in a valid stream; a damaged one may hold anything.
            const int64_t sum = int64_t(last) + r.se();
            next = static_cast<int>(((sum % 256) + 256) % 256);
        }
        last = next == 0 ? last : next;
    }
}

} // namespace

Sps parseSps(const uint8_t *nal, size_t size)
{
    Sps s;
    if (size < 4 || (nal[0] & 0x1F) != kSps)
        return s;
    BitReader r(nal + 1, size - 1, 512);
    const uint32_t profile = r.bits(8);
    r.bits(16); // constraint flags, level
    const uint32_t id = r.ue();
    uint32_t chromaFormat = 1;
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83
        || profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139
        || profile == 134 || profile == 135) {
        chromaFormat = r.ue();
        if (chromaFormat == 3)
            s.separateColourPlane = r.bit();
        r.ue(); // bit depths
        r.ue();
        r.bit();
        if (r.bit())
            for (int i = 0; i < (chromaFormat != 3 ? 8 : 12); ++i)
                if (r.bit())
                    skipScalingList(r, i < 6 ? 16 : 64);
    }
    const uint32_t log2MaxFrameNumMinus4 = r.ue();
    const uint32_t pocType = r.ue();
    if (pocType == 0) {
        r.ue();
    } else if (pocType == 1) {
        r.bit();
        r.se();
        r.se();
        const uint32_t n = r.ue();
        if (n > 255)
            return s;
        for (uint32_t i = 0; i < n; ++i)
            r.se();
    }
    const uint32_t refFrames = r.ue();
    s.gapsAllowed = r.bit();
    const uint32_t widthMbs = r.ue() + 1;
    const uint32_t heightMapUnits = r.ue() + 1;
    const uint32_t frameMbsOnly = r.bit();
    if (!frameMbsOnly)
        r.bit();
    r.bit(); // direct 8x8 inference
    uint32_t crop[4] = {0, 0, 0, 0};
    if (r.bit())
        for (uint32_t &c : crop)
            c = r.ue();
    if (r.bit()) { // VUI
        if (r.bit() && r.bits(8) == 255)
            r.bits(32);
        if (r.bit())
            r.bit();
        if (r.bit()) {
            r.bits(4);
            if (r.bit())
                r.bits(24);
        }
        if (r.bit()) {
            r.ue();
            r.ue();
        }
        if (r.bit()) {
            s.unitsInTick = r.bits(32);
            s.timeScale = r.bits(32);
            s.timing = s.unitsInTick != 0 && s.timeScale != 0;
        }
    }
    if (r.failed() || id > 31 || log2MaxFrameNumMinus4 > 12 || widthMbs > 1024 || heightMapUnits > 1024)
        return s;
    const uint32_t cropX = (chromaFormat == 1 || chromaFormat == 2) && !s.separateColourPlane ? 2 : 1;
    const uint32_t cropY = ((chromaFormat == 1 && !s.separateColourPlane) ? 2 : 1) * (2 - frameMbsOnly);
    const int width = static_cast<int>(widthMbs * 16 - cropX * (crop[0] + crop[1]));
    const int height = static_cast<int>(heightMapUnits * 16 * (2 - frameMbsOnly) - cropY * (crop[2] + crop[3]));
    if (width <= 0 || height <= 0)
        return s;
    s.id = static_cast<int>(id);
    s.log2MaxFrameNum = static_cast<int>(log2MaxFrameNumMinus4 + 4);
    s.width = width;
    s.height = height;
    s.refFrames = static_cast<int>(std::min<uint32_t>(refFrames, 16));
    s.pocType = static_cast<int>(pocType);
    s.valid = true;
    return s;
}

bool withinLevelLimits(const Sps &sps)
{
    // The decoder keeps up to the reference frames plus the one being decoded.
    return sps.valid && sps.macroblocks() <= kMaxFrameMacroblocks
           && sps.macroblocks() * (sps.refFrames + 1) <= kMaxDpbMacroblocks;
}

bool ParameterSets::take(const uint8_t *nal, size_t size)
{
    const int type = nal[0] & 0x1F;
    if (type == kSps) {
        const Sps s = parseSps(nal, size);
        if (s.valid)
            sps[s.id] = s;
        return s.valid;
    }
    if (type == kPps) {
        BitReader r(nal + 1, size - 1, 16);
        const uint32_t pps = r.ue();
        const uint32_t sp = r.ue();
        if (r.failed() || pps > 255 || sp > 31)
            return false;
        ppsToSps[static_cast<int>(pps)] = static_cast<int>(sp);
        return true;
    }
    return false;
}

const Sps *ParameterSets::spsForPps(int ppsId) const
{
    const auto p = ppsToSps.find(ppsId);
    if (p == ppsToSps.end())
        return nullptr;
    const auto s = sps.find(p->second);
    return s == sps.end() ? nullptr : &s->second;
}

SliceHeader ParameterSets::slice(const uint8_t *nal, size_t size) const
{
    SliceHeader h;
    const int type = nal[0] & 0x1F;
    if (size < 2 || (type != kNonIdrSlice && type != kIdrSlice))
        return h;
    h.refIdc = (nal[0] >> 5) & 3;
    h.idr = type == kIdrSlice;
    BitReader r(nal + 1, size - 1, 32);
    h.firstMb = static_cast<int>(r.ue());
    const uint32_t sliceType = r.ue();
    const uint32_t pps = r.ue();
    if (r.failed() || sliceType > 9 || pps > 255)
        return h;
    const Sps *s = spsForPps(static_cast<int>(pps));
    if (!s)
        return h;
    if (s->separateColourPlane)
        r.bits(2);
    h.frameNum = r.bits(s->log2MaxFrameNum);
    h.sliceType = static_cast<int>(sliceType % 5);
    h.ppsId = static_cast<int>(pps);
    h.valid = !r.failed();
    return h;
}

} // namespace h264
} // namespace korvath
