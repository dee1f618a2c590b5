#include "rescuemap.h"

#include "outputfile.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <cstdio>
#include <cstring>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace korvath {

RescueMap::RescueMap(uint64_t sizeBytes) : m_size(sizeBytes)
{
    if (sizeBytes)
        m_areas[0] = MapArea{0, sizeBytes, mapstatus::kNonTried};
}

void RescueMap::set(uint64_t pos, uint64_t size, char status)
{
    if (pos >= m_size || size == 0)
        return;
    const uint64_t end = std::min(m_size, pos + size);
    // Cut the areas at both ends of the span, then replace what lies inside.
    for (const uint64_t cut : {pos, end}) {
        auto it = m_areas.upper_bound(cut);
        if (it == m_areas.begin())
            continue;
        --it;
        MapArea &a = it->second;
        if (a.pos < cut && cut < a.pos + a.size) {
            const MapArea tail{cut, a.pos + a.size - cut, a.status};
            a.size = cut - a.pos;
            m_areas[cut] = tail;
        }
    }
    m_areas.erase(m_areas.lower_bound(pos), m_areas.lower_bound(end));
    auto it = m_areas.emplace(pos, MapArea{pos, end - pos, status}).first;
    // Neighbours of the same status become one area.
    auto next = std::next(it);
    if (next != m_areas.end() && next->second.status == status) {
        it->second.size += next->second.size;
        m_areas.erase(next);
    }
    if (it != m_areas.begin()) {
        auto prev = std::prev(it);
        if (prev->second.status == status) {
            prev->second.size += it->second.size;
            m_areas.erase(it);
        }
    }
}

char RescueMap::statusAt(uint64_t pos) const
{
    auto it = m_areas.upper_bound(pos);
    if (it == m_areas.begin() || pos >= m_size)
        return mapstatus::kNonTried;
    return std::prev(it)->second.status;
}

std::vector<MapArea> RescueMap::within(uint64_t pos, uint64_t size) const
{
    std::vector<MapArea> out;
    const uint64_t end = std::min(m_size, pos + size);
    auto it = m_areas.upper_bound(pos);
    if (it != m_areas.begin())
        --it;
    for (; it != m_areas.end() && it->second.pos < end; ++it) {
        const MapArea &a = it->second;
        const uint64_t from = std::max(a.pos, pos), to = std::min(a.pos + a.size, end);
        if (from < to)
            out.push_back({from, to - from, a.status});
    }
    return out;
}

bool RescueMap::all(uint64_t pos, uint64_t size, const char *statuses) const
{
    if (pos + size > m_size)
        return false;
    for (const MapArea &a : within(pos, size))
        if (!std::strchr(statuses, a.status))
            return false;
    return true;
}

uint64_t RescueMap::bytesWith(char status) const
{
    uint64_t n = 0;
    for (const auto &kv : m_areas)
        n += kv.second.status == status ? kv.second.size : 0;
    return n;
}

uint64_t RescueMap::settledUpTo(uint64_t from) const
{
    for (const MapArea &a : within(from, m_size - std::min(from, m_size)))
        if (a.status != mapstatus::kFinished && a.status != mapstatus::kBad)
            return a.pos;
    return m_size;
}

bool RescueMap::load(const QString &path, uint64_t sizeBytes, RescueMap *map, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read the map %1: %2").arg(path, file.errorString());
        return false;
    }
    RescueMap m(0);
    m.m_size = sizeBytes;
    static const QRegularExpression blank(QStringLiteral("\\s+"));
    bool haveCurrent = false;
    uint64_t expect = 0;
    int lineNo = 0;
    while (!file.atEnd()) {
        ++lineNo;
        const QString line = QString::fromLatin1(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList f = line.split(blank);
        bool okPos = false, okSize = true;
        const uint64_t pos = f.value(0).toULongLong(&okPos, 0);
        if (!haveCurrent) {
            if (!okPos || f.size() < 2 || f[1].size() != 1) {
                *error = QStringLiteral("%1 is not a ddrescue mapfile (line %2)").arg(path).arg(lineNo);
                return false;
            }
            m.currentPos = pos;
            m.currentStatus = f[1][0].toLatin1();
            m.currentPass = f.value(2, QStringLiteral("1")).toInt();
            haveCurrent = true;
            continue;
        }
        const uint64_t size = f.value(1).toULongLong(&okSize, 0);
        const char status = f.size() >= 3 && f[2].size() == 1 ? f[2][0].toLatin1() : 0;
        if (!okPos || !okSize || !status || !std::strchr("?*/-+", status) || pos != expect) {
            *error = QStringLiteral("%1: line %2 is not an area of a ddrescue mapfile in order").arg(path).arg(lineNo);
            return false;
        }
        if (size)
            m.m_areas[pos] = MapArea{pos, size, status};
        expect = pos + size;
    }
    if (expect != sizeBytes) {
        *error = QStringLiteral("the map %1 covers %2 bytes, and the source has %3: it is the map of another source")
                     .arg(path)
                     .arg(expect)
                     .arg(sizeBytes);
        return false;
    }
    *map = std::move(m);
    return true;
}

bool RescueMap::save(const QString &path, QString *error, bool durable)
{
    QString text;
    text += QStringLiteral("# Mapfile. Created by korvath-cli\n");
    if (!commandLine.isEmpty())
        text += QStringLiteral("# Command line: %1\n").arg(commandLine);
    text += QStringLiteral("# Current time: %1\n")
                .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    text += QStringLiteral("# current_pos  current_status  current_pass\n");
    text += QStringLiteral("0x%1     %2               %3\n")
                .arg(currentPos, 8, 16, QLatin1Char('0'))
                .arg(QLatin1Char(currentStatus))
                .arg(currentPass);
    text += QStringLiteral("#      pos        size  status\n");
    for (const auto &kv : m_areas)
        text += QStringLiteral("0x%1  0x%2  %3\n")
                    .arg(kv.second.pos, 8, 16, QLatin1Char('0'))
                    .arg(kv.second.size, 8, 16, QLatin1Char('0'))
                    .arg(QLatin1Char(kv.second.status));
    const QByteArray bytes = text.toLatin1();
    const QString temp = partialPath(path);
    QFile file(temp);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()
        || !file.flush()) {
        *error = QStringLiteral("cannot write the map %1: %2").arg(temp, file.errorString());
        return false;
    }
#ifndef _WIN32
    if (durable)
        ::fsync(file.handle());
#endif
    file.close();
#ifdef _WIN32
    const bool renamed = MoveFileExW(reinterpret_cast<const wchar_t *>(temp.utf16()),
                                     reinterpret_cast<const wchar_t *>(path.utf16()),
                                     MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0));
#else
    const bool renamed = std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) == 0;
#endif
    if (!renamed) {
        *error = QStringLiteral("cannot put the map in place at %1").arg(path);
        return false;
    }
    return true;
}

uint32_t MappedImageSource::read(uint64_t sector, void *buffer, uint32_t count) const
{
    // Only the finished stretch at the start of the span is read; the count
    // stops before the first sector that is not, as a disk's would.
    uint64_t good = 0;
    for (const MapArea &a : m_map.within(sector * kSectorSize, static_cast<uint64_t>(count) * kSectorSize)) {
        if (a.status != mapstatus::kFinished || a.pos != sector * kSectorSize + good * kSectorSize)
            break;
        good += a.size / kSectorSize;
    }
    if (good == 0)
        return kReadFailed;
    return m_image->read(sector, buffer, static_cast<uint32_t>(std::min<uint64_t>(good, count)));
}

QString mapSummaryText(const RescueMap &map)
{
    const struct {
        char status;
        const char *name;
    } kinds[] = {{mapstatus::kFinished, "finished"},     {mapstatus::kNonTried, "non-tried"},
                 {mapstatus::kNonTrimmed, "non-trimmed"}, {mapstatus::kNonScraped, "non-scraped"},
                 {mapstatus::kBad, "bad"}};
    QStringList parts;
    for (const auto &k : kinds)
        parts << QStringLiteral("%1 %2 bytes").arg(QLatin1String(k.name)).arg(map.bytesWith(k.status));
    return parts.join(QStringLiteral(", "));
}

} // namespace korvath
