#include "probe.h"

#include "lereader.h"
#include "log.h"

#include <QString>
#include <array>

namespace korvath {

namespace {

using Sector = std::array<uint8_t, kSectorSize>;

Sector readFirstSector(const SectorSource &source, bool *readable)
{
    Sector sector{};
    const bool failed = source.read(0, sector.data(), 1) == kReadFailed;
    if (failed)
        sector.fill(0); // a failed read may have scribbled on it; a short one keeps what it delivered
    if (readable)
        *readable = !failed;
    return sector;
}

QString latin1(const LeReader &r, size_t offset)
{
    return QString(QChar::fromLatin1(static_cast<char>(r.u8(offset))));
}

} // namespace

bool hasRecorderSignature(const uint8_t *sector, size_t size)
{
    const LeReader r(sector, size);
    return r.u8(0) == 'W' && r.u8(1) == 'F' && r.u8(2) == 'S' && r.u8(510) == 'X' && r.u8(511) == 'M';
}

PartitionProbe probePartitionStart(const uint8_t *sector, size_t size)
{
    const LeReader r(sector, size);
    PartitionProbe probe;
    if (r.u8(510) == 0x55 && r.u8(511) == 0xAA) {
        probe.hasMbr = true;
        probe.relativeSec = r.u32(454);
    }
    return probe;
}

bool checkRecorderSignature(const SectorSource &source, bool *readable)
{
    const Sector s = readFirstSector(source, readable);
    const LeReader r(s.data(), s.size());
    // One pass: a chained arg() would treat a '%' and a digit read from the
    // disk as a further place marker.
    KLOG << QStringLiteral("%1%2%3").arg(latin1(r, 0), latin1(r, 1), latin1(r, 2));
    KLOG << QStringLiteral("%1%2").arg(latin1(r, 510), latin1(r, 511));
    if (hasRecorderSignature(s.data(), s.size())) {
        KLOG << QStringLiteral("Check Disk OK:WFS and XM");
        return true;
    }
    KLOG << QStringLiteral("Check Disk failed:WFS and XM");
    return false;
}

uint32_t findPartitionStart(const SectorSource &source, bool *readable)
{
    const Sector s = readFirstSector(source, readable);
    const PartitionProbe probe = probePartitionStart(s.data(), s.size());
    if (!probe.hasMbr) {
        KLOG << QStringLiteral("do not have MBR");
        return 0;
    }
    KLOG << QStringLiteral("have MBR");
    KLOG << "first partition entry:"
         << QByteArray(reinterpret_cast<const char *>(s.data()) + 446, 16).toHex(' ');
    KLOG << "RelativeSec:" << probe.relativeSec;
    return probe.relativeSec;
}

} // namespace korvath
