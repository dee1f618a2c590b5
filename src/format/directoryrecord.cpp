#include "directoryrecord.h"

namespace korvath {

DirectoryRecord readDirectoryRecord(const LeReader &directory, uint64_t index)
{
    DirectoryRecord r;
    if (index > (SIZE_MAX / kRecordSize))
        return r;
    const size_t base = static_cast<size_t>(index) * kRecordSize;
    if (!directory.contains(base, kRecordSize))
        return r;
    r.flag = directory.u8(base + record::kFlag);
    r.chainCount = directory.u16(base + record::kChainCount);
    r.nextCluster = directory.u32(base + record::kNextCluster);
    r.startTime = directory.u32(base + record::kStartTime);
    r.endTime = directory.u32(base + record::kEndTime);
    r.chainId = directory.u32(base + record::kChainId);
    r.channelWord = directory.u32(base + record::kChannel);
    return r;
}

} // namespace korvath
