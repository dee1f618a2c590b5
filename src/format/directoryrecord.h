// One 32-byte record of the recorder's directory; record n describes cluster n.
// The field offsets are written here and nowhere else.
#pragma once

#include "layout.h"
#include "lereader.h"
#include "recordertime.h"

#include <cstdint>

namespace korvath {



namespace record {
constexpr size_t kFlag = 1;        // u8: 2 or 3 starts a recording
constexpr size_t kChainCount = 2;  // u16: clusters after the first
constexpr size_t kNextCluster = 8; // u32: the next cluster of the chain, 0 for none
constexpr size_t kStartTime = 12;  // u32 RecorderTime
constexpr size_t kEndTime = 16;    // u32 RecorderTime
constexpr size_t kChainId = 24;    // u32: shared by the records of one chain
constexpr size_t kChannel = 28;    // u32: the channel in bits 26-31
constexpr unsigned kChannelShift = 26;
} // namespace record

struct DirectoryRecord {
    uint8_t flag = 0;
    uint16_t chainCount = 0;
    uint32_t nextCluster = 0;
    RecorderTime startTime = 0;
    RecorderTime endTime = 0;
    uint32_t chainId = 0;
    uint32_t channelWord = 0;

    uint32_t channel() const { return channelWord >> record::kChannelShift; }
    bool canStart() const { return flag == 2 || flag == 3; }
};

// Record `index`; all zeros when it does not lie whole inside the buffer.
DirectoryRecord readDirectoryRecord(const LeReader &directory, uint64_t index);

} // namespace korvath
