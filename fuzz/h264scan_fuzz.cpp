// The H.264 scanning the remux relies on, over arbitrary bytes: units found
// in order inside the input, parameter sets and slice headers within bounds.
#include "fuzzcheck.h"
#include "h264scan.h"

#include <cstddef>
#include <cstdint>

using namespace korvath;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    h264::ParameterSets sets;
    size_t previousEnd = 0;
    h264::forEachNal(data, size, [&](const uint8_t *nal, size_t length, size_t startCode) {
        FUZZ_CHECK(startCode + 3 <= size && nal == data + startCode + 3);
        FUZZ_CHECK(startCode >= previousEnd);
        FUZZ_CHECK(data[startCode] == 0 && data[startCode + 1] == 0 && data[startCode + 2] == 1);
        FUZZ_CHECK(length >= 1 && startCode + 3 + length <= size);
        previousEnd = startCode + 3 + length;
        const int type = nal[0] & 0x1F;
        if (type == h264::kSps) {
            const h264::Sps s = h264::parseSps(nal, length);
            if (s.valid)
                FUZZ_CHECK(s.width > 0 && s.height > 0 && s.log2MaxFrameNum >= 4 && s.log2MaxFrameNum <= 16
                           && s.id >= 0 && s.id < 32);
        }
        sets.take(nal, length);
        const h264::SliceHeader h = sets.slice(nal, length);
        if (h.valid) {
            const h264::Sps *s = sets.spsForPps(h.ppsId);
            FUZZ_CHECK(s != nullptr);
            FUZZ_CHECK(h.sliceType >= 0 && h.sliceType < 5);
            FUZZ_CHECK(h.frameNum < (1u << s->log2MaxFrameNum));
            FUZZ_CHECK(h.idr == (type == h264::kIdrSlice));
        }
        return true;
    });
    return 0;
}
