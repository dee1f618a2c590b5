#include "imagebuilder.h"

#include <QFile>
#include <algorithm>

namespace korvath {
namespace testkit {

namespace {

void putU16(QByteArray &b, int at, uint16_t v)
{
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}

void putU32(QByteArray &b, int at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool writeAt(QFile &f, uint64_t offset, const QByteArray &bytes)
{
    return f.seek(static_cast<qint64>(offset)) && f.write(bytes) == bytes.size();
}

} // namespace

ImageBuilder::ImageBuilder(uint64_t sectors) : m_sectors(sectors) {}

ImageBuilder &ImageBuilder::recorderSignature()
{
    m_sector0 = QByteArray(512, '\0');
    m_sector0[0] = 'W';
    m_sector0[1] = 'F';
    m_sector0[2] = 'S';
    m_sector0[510] = 'X';
    m_sector0[511] = 'M';
    m_partitionStart = 0;
    return *this;
}

ImageBuilder &ImageBuilder::masterBootRecord(uint32_t partitionStart)
{
    m_sector0 = QByteArray(512, '\0');
    m_sector0[446] = static_cast<char>(0x80);
    m_sector0[450] = static_cast<char>(0x83);
    putU32(m_sector0, 454, partitionStart);
    putU32(m_sector0, 458, 0x1000);
    m_sector0[510] = static_cast<char>(0x55);
    m_sector0[511] = static_cast<char>(0xAA);
    m_partitionStart = partitionStart;
    return *this;
}

ImageBuilder &ImageBuilder::sector0(const QByteArray &bytes)
{
    m_sector0 = bytes.left(512);
    m_sector0.append(QByteArray(512 - m_sector0.size(), '\0'));
    m_partitionStart = 0;
    return *this;
}

ImageBuilder &ImageBuilder::record(const RecordFields &fields)
{
    m_records[fields.index] = fields;
    return *this;
}

ImageBuilder &ImageBuilder::chain(uint32_t channel, RecorderTime start, RecorderTime end,
                                  const std::vector<uint32_t> &clusters, uint32_t chainId)
{
    for (size_t k = 0; k < clusters.size(); ++k) {
        RecordFields r;
        r.index = clusters[k];
        r.flag = k == 0 ? 2 : 1;
        r.chainCount = k == 0 ? static_cast<uint16_t>(clusters.size() - 1) : 0;
        r.nextCluster = k + 1 < clusters.size() ? clusters[k + 1] : 0;
        r.startTime = start;
        r.endTime = end;
        r.chainId = chainId;
        r.channel = channel;
        record(r);
    }
    return *this;
}

ImageBuilder &ImageBuilder::recording(uint32_t channel, RecorderTime start, RecorderTime end,
                                      const std::vector<uint32_t> &clusters, uint32_t chainId)
{
    chain(channel, start, end, clusters, chainId);
    for (const uint32_t c : clusters)
        clusterContents(c);
    return *this;
}

std::vector<PlayedRecording> ImageBuilder::playRecorder(uint32_t first, uint32_t count,
                                                       const std::vector<std::vector<PlannedRecording>> &sessions)
{
    std::vector<PlayedRecording> played;
    std::map<uint32_t, size_t> owner; // cluster -> recording holding it now
    uint32_t next = 0;
    for (const auto &session : sessions) {
        const size_t base = played.size();
        for (const PlannedRecording &p : session)
            played.push_back({p, {}, {}});
        for (bool more = true; more;) {
            more = false;
            for (size_t k = base; k < played.size(); ++k) {
                if (played[k].written.size() >= played[k].plan.clusters)
                    continue;
                const uint32_t c = first + next;
                next = (next + 1) % count;
                played[k].written.push_back(c);
                owner[c] = k;
                more = true;
            }
        }
    }
    for (size_t k = 0; k < played.size(); ++k) {
        PlayedRecording &r = played[k];
        for (size_t i = 0; i < r.written.size(); ++i) {
            const uint32_t c = r.written[i];
            if (owner[c] != k)
                continue;
            r.kept.push_back(c);
            RecordFields f;
            f.index = c;
            f.flag = i == 0 ? 2 : 1;
            f.chainCount = i == 0 ? static_cast<uint16_t>(r.written.size() - 1) : 0;
            f.nextCluster = i + 1 < r.written.size() ? r.written[i + 1] : 0;
            f.startTime = r.plan.start;
            f.endTime = r.plan.end;
            f.chainId = r.plan.chainId;
            f.channel = r.plan.channel;
            record(f);
            clusterContents(c);
        }
    }
    return played;
}

ImageBuilder &ImageBuilder::zeroRecords(uint32_t first, uint32_t count)
{
    m_records.erase(m_records.lower_bound(first), m_records.lower_bound(first + count));
    return *this;
}

ImageBuilder &ImageBuilder::clusterContents(uint32_t cluster)
{
    m_clusters.push_back(cluster);
    return *this;
}

ImageBuilder &ImageBuilder::clusterBytes(uint32_t cluster, const QByteArray &bytes)
{
    m_clusterBytes[cluster] = bytes.left(static_cast<int>(kClusterBytes));
    return *this;
}

ImageBuilder &ImageBuilder::directoryAt(uint64_t sector)
{
    m_customDirectory = true;
    m_directorySector = sector;
    return *this;
}

uint64_t ImageBuilder::directorySector() const
{
    return m_customDirectory ? m_directorySector : directoryStartSector(layout(), m_partitionStart);
}

QByteArray ImageBuilder::encodeRecord(const RecordFields &fields)
{
    QByteArray b(32, '\0');
    b[0] = static_cast<char>(0x5A); // unused byte, kept non-zero on purpose
    b[1] = static_cast<char>(fields.flag);
    putU16(b, 2, fields.chainCount);
    putU32(b, 4, 0xDEADBEEF);
    putU32(b, 8, fields.nextCluster);
    putU32(b, 12, fields.startTime);
    putU32(b, 16, fields.endTime);
    putU32(b, 20, 0xCAFEF00D);
    putU32(b, 24, fields.chainId);
    putU32(b, 28, (fields.channel << 26) | (fields.channelLowBits & 0x03FFFFFFu));
    return b;
}

QByteArray ImageBuilder::clusterPattern(uint32_t cluster)
{
    QByteArray b(static_cast<int>(kClusterBytes), '\0');
    for (uint32_t s = 0; s < kClusterSectors; ++s) {
        const int at = static_cast<int>(s * kSectorSize);
        b[at] = 'K';
        b[at + 1] = 'V';
        b[at + 2] = 'C';
        b[at + 3] = 'L';
        putU32(b, at + 4, cluster);
        putU32(b, at + 8, s);
        const char fill = static_cast<char>((cluster * 31u + s) & 0xFF);
        std::fill(b.begin() + at + 12, b.begin() + at + static_cast<int>(kSectorSize), fill);
    }
    return b;
}

bool ImageBuilder::write(const QString &path, QString *error) const
{
    QFile f(path);
    auto fail = [&](const QString &what) {
        if (error)
            *error = what + QStringLiteral(": ") + f.errorString();
        return false;
    };
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("open"));
    if (!f.resize(static_cast<qint64>(m_sectors * kSectorSize)))
        return fail(QStringLiteral("resize"));
    if (!m_sector0.isEmpty() && !writeAt(f, 0, m_sector0))
        return fail(QStringLiteral("sector 0"));
    // Nothing is written past the image's end, so a short image stays short.
    const uint64_t end = m_sectors * kSectorSize;
    auto writeInside = [&](uint64_t offset, const QByteArray &bytes) {
        if (offset >= end)
            return true;
        return writeAt(f, offset, bytes.left(static_cast<int>(std::min<uint64_t>(bytes.size(), end - offset))));
    };
    const uint64_t dirByte = directorySector() * kSectorSize;
    for (const auto &entry : m_records)
        if (!writeInside(dirByte + static_cast<uint64_t>(entry.first) * 32u, encodeRecord(entry.second)))
            return fail(QStringLiteral("record"));
    for (uint32_t c : m_clusters)
        if (!m_clusterBytes.count(c) && !writeInside(clusterFirstSector(c) * kSectorSize, clusterPattern(c)))
            return fail(QStringLiteral("cluster"));
    for (const auto &entry : m_clusterBytes)
        if (!writeInside(clusterFirstSector(entry.first) * kSectorSize, entry.second))
            return fail(QStringLiteral("cluster"));
    return true;
}

QByteArray readFileBytes(const QString &path, uint64_t offset, uint64_t length)
{
    QByteArray out(static_cast<int>(length), '\0');
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(static_cast<qint64>(offset)))
        return out;
    const QByteArray got = f.read(static_cast<qint64>(length));
    std::copy(got.begin(), got.end(), out.begin());
    return out;
}

} // namespace testkit
} // namespace korvath
