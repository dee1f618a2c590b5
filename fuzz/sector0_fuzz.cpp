// The two probes of sector 0 over arbitrary bytes of any length, on the
// buffer and through a drive handle, and the layout computed from the
// drive length that the first eight bytes give.
#include "drive.h"
#include "fuzzcheck.h"
#include "layout.h"
#include "lereader.h"
#include "probe.h"

#include "log.h"
#include <QString>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using namespace korvath;

namespace {

int g_image = -1;     // the bytes as a drive, written here
DriveHandle g_drive;  // and read through the program's read-only handle

void checkLayout(uint64_t totalSec)
{
    const VolumeInfo info = volumeInfoForSectors(totalSec);
    FUZZ_CHECK(info.totalSec == totalSec);
    FUZZ_CHECK(info.data_offset != 0 && info.data_offset % 256 == 0);
    FUZZ_CHECK(info.dir_size % 3072 == 0);
    // Two directory lengths fit before cluster 0.
    FUZZ_CHECK(info.data_offset >= 2ull * info.dir_size + 256);
    // The reserve is at most 2 % of the drive and 64 clusters per started 4 TiB.
    FUZZ_CHECK(static_cast<uint64_t>(info.rev_clu) * kClusterSectors <= totalSec / 50);
    FUZZ_CHECK(info.rev_clu <= (((totalSec >> 33) & 0x7FF) + 1) * 64);
    const uint64_t base = directoryBaseSector(info);
    FUZZ_CHECK(base > info.data_offset);
    for (const uint32_t startSec : {0u, 1u, 128u, 129u, 0xFFFFFFFFu}) {
        const uint64_t at = directoryStartSector(info, startSec);
        FUZZ_CHECK(at >= base && at - base <= 128);
    }
    // With the full reserve the directory, even shifted, lies inside the drive.
    if (info.rev_clu >= 64)
        FUZZ_CHECK(base + 128 + info.dir_size <= totalSec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    korvath::setDebugLogEnabled(false);
    g_image = ::memfd_create("sector0", MFD_CLOEXEC);
    FUZZ_CHECK(g_image >= 0);
    const std::string path = "/proc/self/fd/" + std::to_string(g_image);
    g_drive = openDrive(path.c_str());
    FUZZ_CHECK(g_drive.isValid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // What a sector 0 of these bytes holds: zeros where the bytes end.
    uint8_t sector[kSectorSize] = {};
    std::memcpy(sector, data, size < kSectorSize ? size : kSectorSize);
    const bool whole = size >= kSectorSize;

    const bool signature = hasRecorderSignature(data, size);
    FUZZ_CHECK(signature
               == (whole && std::memcmp(data, "WFS", 3) == 0 && data[510] == 'X' && data[511] == 'M'));
    const PartitionProbe probe = probePartitionStart(data, size);
    FUZZ_CHECK(probe.hasMbr == (whole && data[510] == 0x55 && data[511] == 0xAA));
    const LeReader r(sector, sizeof sector);
    FUZZ_CHECK(probe.relativeSec == (probe.hasMbr ? r.u32(454) : 0u));

    // Through a drive of exactly these bytes: a short first sector reads as
    // zeros past its end, so a drive gives what its padded sector gives.
    FUZZ_CHECK(::ftruncate(g_image, 0) == 0);
    FUZZ_CHECK(::pwrite(g_image, data, size, 0) == static_cast<ssize_t>(size));
    FUZZ_CHECK(queryDriveSectors(g_drive) == static_cast<int64_t>(size / kSectorSize));
    FUZZ_CHECK(checkRecorderSignature(DriveSource(g_drive)) == hasRecorderSignature(sector, sizeof sector));
    const PartitionProbe padded = probePartitionStart(sector, sizeof sector);
    FUZZ_CHECK(findPartitionStart(DriveSource(g_drive)) == (padded.hasMbr ? padded.relativeSec : 0u));

    const LeReader head(data, size);
    checkLayout(static_cast<uint64_t>(head.u32(0)) | (static_cast<uint64_t>(head.u32(4)) << 32));
    return 0;
}
