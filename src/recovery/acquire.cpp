#include "acquire.h"

#include "readahead.h"
#include "sha256.h"

#include <QFile>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

namespace korvath {

std::vector<SectorRange> evidenceOrder(uint64_t sourceSectors, const std::vector<SectorRange> &first, bool rest)
{
    std::vector<SectorRange> out;
    std::set<std::pair<uint64_t, uint64_t>> taken; // [first, end) already planned
    auto add = [&](uint64_t from, uint64_t end) {
        // Only what no span holds yet, a cluster at most at a time.
        from = std::min(from, sourceSectors);
        end = std::min(end, sourceSectors);
        while (from < end) {
            auto next = taken.upper_bound({from, UINT64_MAX}); // the first span starting after `from`
            if (next != taken.begin() && std::prev(next)->second > from) {
                from = std::prev(next)->second;
                continue;
            }
            const uint64_t stop = std::min({end, next == taken.end() ? end : next->first, from + kClusterSectors});
            if (stop > from) {
                out.push_back({from, stop - from});
                taken.insert({from, stop});
            }
            from = stop;
        }
    };
    for (const SectorRange &r : first)
        add(r.first, r.first + r.count);
    if (rest)
        add(0, sourceSectors);
    return out;
}

namespace {

// Hashes the image in order, as far as `upTo` allows, on a thread of its own.
class OrderedHash
{
public:
    explicit OrderedHash(const QString &path) : m_path(path), m_thread([this] { run(); }) {}
    ~OrderedHash() { finish(0); }
    void allow(uint64_t upTo)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_upTo = std::max(m_upTo, upTo);
        m_changed.notify_all();
    }
    // Waits until `size` bytes are hashed; empty when reading back failed.
    QString finish(uint64_t size)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_upTo = std::max(m_upTo, size);
            m_end = true;
            m_changed.notify_all();
        }
        if (m_thread.joinable())
            m_thread.join();
        return m_failed || m_done < size ? QString() : QString::fromStdString(m_hash.hex());
    }

private:
    void run()
    {
        QFile file(m_path);
        m_failed = !file.open(QIODevice::ReadOnly);
        IoBytes buffer(kClusterBytes);
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_failed) {
            m_changed.wait(lock, [&] { return m_done < m_upTo || m_end; });
            if (m_done >= m_upTo)
                return;
            const uint64_t n = std::min<uint64_t>(kClusterBytes, m_upTo - m_done);
            lock.unlock();
            const bool ok = file.seek(static_cast<qint64>(m_done))
                            && file.read(reinterpret_cast<char *>(buffer.data()), static_cast<qint64>(n))
                                   == static_cast<qint64>(n);
            if (ok)
                m_hash.update(buffer.data(), n);
            lock.lock();
            m_failed = !ok;
            m_done += ok ? n : 0;
        }
    }

    QString m_path;
    Sha256 m_hash;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_upTo = 0, m_done = 0;
    bool m_end = false, m_failed = false;
    std::thread m_thread;
};

bool writeAt(QFile &file, uint64_t sector, const uint8_t *bytes, uint64_t count)
{
    const qint64 size = static_cast<qint64>(count * kSectorSize);
    return file.seek(static_cast<qint64>(sector * kSectorSize))
           && file.write(reinterpret_cast<const char *>(bytes), size) == size;
}

} // namespace

ImageOutcome acquireImage(const SectorSource &source, const std::vector<SectorRange> &plan, const QString &imagePath,
                          const ExportSettings &settings, const ImageHooks &hooks,
                          const std::vector<ReadAlready> &readAlready)
{
    ImageOutcome outcome;
    const uint64_t sectors = static_cast<uint64_t>(std::max<int64_t>(source.sectors(), 0));
    RescueMap ownMap(sectors * kSectorSize);
    RescueMap &map = settings.map ? *settings.map : ownMap;
    DeadlineReader reader(source, settings.readTimeoutMs, settings.abandonRead, settings.sourceOwner);
    SourceHealth health;
    QString mapError;
    auto save = [&](uint64_t sector, char phase, bool durable = false) {
        if (settings.mapPath.isEmpty())
            return;
        map.currentPos = sector * kSectorSize;
        map.currentStatus = phase;
        map.currentPass = phase == mapstatus::kNonTried ? 1 : 2;
        QString why;
        if (!map.save(settings.mapPath, &why, durable) && mapError.isEmpty())
            mapError = why;
    };

    QFile file(imagePath);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)
        || (file.size() != static_cast<qint64>(sectors * kSectorSize) && !file.resize(static_cast<qint64>(sectors * kSectorSize)))) {
        outcome.error = QStringLiteral("the image %1 could not be made (%2)").arg(imagePath, file.errorString());
        return outcome;
    }
    for (const ReadAlready &r : readAlready) {
        // Runs of sectors that read and that the map has not settled yet.
        uint64_t s = 0;
        const uint64_t end = std::min(r.sectors, sectors > r.first ? sectors - r.first : 0);
        while (s < end) {
            auto usable = [&](uint64_t k) {
                const uint64_t at = r.first + k;
                for (const SectorRange &u : r.unreadable)
                    if (at >= u.first && at < u.first + u.count)
                        return false;
                return map.statusAt(at * kSectorSize) == mapstatus::kNonTried;
            };
            if (!usable(s)) {
                ++s;
                continue;
            }
            uint64_t e = s + 1;
            while (e < end && e - s < kClusterSectors && usable(e))
                ++e;
            if (!writeAt(file, r.first + s, r.bytes + s * kSectorSize, e - s)) {
                outcome.error = QStringLiteral("writing the image failed (%1)").arg(file.errorString());
                return outcome;
            }
            map.set((r.first + s) * kSectorSize, (e - s) * kSectorSize, mapstatus::kFinished);
            s = e;
        }
        save(r.first, mapstatus::kNonTried);
    }
    OrderedHash hash(imagePath);
    uint64_t settled = map.settledUpTo(0);
    hash.allow(settled);
    auto advance = [&] {
        settled = map.settledUpTo(settled);
        hash.allow(settled);
    };
    uint64_t done = 0;
    std::vector<SectorRange> todo, later;
    for (const SectorRange &r : plan) {
        if (map.all(r.first * kSectorSize, r.count * kSectorSize, "+-"))
            done += r.count * kSectorSize;
        else if (map.all(r.first * kSectorSize, r.count * kSectorSize, "?"))
            todo.push_back(r);
        else
            later.push_back(r); // an earlier run's first pass failed on it
    }
    if (hooks.progress)
        hooks.progress(done);
    bool stopped = false;
    {
        std::vector<char> failed(todo.size(), 0);
        ClusterReadAhead ring(todo.size(), [&](size_t k, uint8_t *buffer) {
            ClusterRead read;
            const TimedRead r = reader.read(todo[k].first, buffer, static_cast<uint32_t>(todo[k].count));
            if (r.outcome == ReadOutcome::Cancelled) {
                read.stop = true;
                return read;
            }
            failed[k] = r.outcome != ReadOutcome::Whole;
            noteHealth(reader, health, todo[k].first,
                       failed[k] && r.outcome != ReadOutcome::Short && todo[k].count == kClusterSectors, sectors);
            read.stop = health.gone;
            return read;
        });
        while (const ClusterReadAhead::Slot *slot = ring.next()) {
            const SectorRange &r = todo[slot->index];
            if (failed[slot->index]) {
                map.set(r.first * kSectorSize, r.count * kSectorSize, mapstatus::kNonTrimmed);
                later.push_back(r);
            } else {
                if (!writeAt(file, r.first, slot->bytes, r.count)) {
                    outcome.error = QStringLiteral("writing the image failed (%1)").arg(file.errorString());
                    break;
                }
                // Finished in the map only once the bytes are in the image.
                map.set(r.first * kSectorSize, r.count * kSectorSize, mapstatus::kFinished);
                done += r.count * kSectorSize;
                advance();
            }
            save(r.first, mapstatus::kNonTried);
            if (hooks.progress)
                hooks.progress(done);
            if (hooks.stopRequested && hooks.stopRequested()) {
                stopped = true;
                break;
            }
        }
        ring.cancel();
        stopped = stopped || ring.state() == ClusterReadAhead::State::Stopped;
    }
    // The second pass, in the plan's order: sector by sector, only what is
    // not settled yet.
    std::unordered_map<uint64_t, size_t> order;
    for (size_t i = 0; i < plan.size(); ++i)
        order.emplace(plan[i].first, i);
    std::sort(later.begin(), later.end(),
              [&](const SectorRange &a, const SectorRange &b) { return order[a.first] < order[b.first]; });
    IoBytes buffer(kClusterBytes);
    for (size_t i = 0; i < later.size() && !stopped && !health.gone && outcome.error.isEmpty(); ++i) {
        for (const MapArea &a : map.within(later[i].first * kSectorSize, later[i].count * kSectorSize)) {
            if (a.status == mapstatus::kFinished || a.status == mapstatus::kBad)
                continue;
            const uint64_t first = a.pos / kSectorSize;
            const uint32_t count = static_cast<uint32_t>(a.size / kSectorSize);
            std::vector<SectorRange> lost;
            uint32_t bad = 0;
            if (!scrapeSpan(reader, first, count, buffer.data(), lost, &bad, &map)) {
                stopped = true;
                break;
            }
            noteHealth(reader, health, first, bad == kClusterSectors, sectors);
            // The bad sectors stay holes: zeros, and named in the map.
            uint64_t s = 0;
            for (const SectorRange &l : lost) {
                if (l.first > first + s && !writeAt(file, first + s, buffer.data() + s * kSectorSize, l.first - first - s))
                    outcome.error = QStringLiteral("writing the image failed (%1)").arg(file.errorString());
                s = l.first + l.count - first;
            }
            if (s < count && !writeAt(file, first + s, buffer.data() + s * kSectorSize, count - s))
                outcome.error = QStringLiteral("writing the image failed (%1)").arg(file.errorString());
            done += a.size;
        }
        save(later[i].first, mapstatus::kNonScraped);
        advance();
        if (hooks.progress)
            hooks.progress(done);
        if (hooks.stopRequested && hooks.stopRequested())
            stopped = true;
    }
    file.close();
    save(settled / kSectorSize, settled >= map.size() ? mapstatus::kFinished : mapstatus::kNonTried, true);
    outcome.cancelled = stopped && !health.gone;
    outcome.sourceGone = health.gone;
    outcome.complete = map.settledUpTo(0) >= map.size();
    outcome.badSectors = map.bytesWith(mapstatus::kBad) / kSectorSize;
    outcome.readsLeftBehind = reader.timedOut(); // a read abandoned for a stop is no loss
    if (outcome.error.isEmpty())
        outcome.error = mapError;
    outcome.sha256 = hash.finish(outcome.complete && outcome.error.isEmpty() ? map.size() : 0);
    if (!outcome.complete)
        outcome.sha256.clear();
    return outcome;
}

} // namespace korvath
