#include "export.h"

#include "outputfile.h"
#include "readahead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <algorithm>
#include <cstring>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace korvath {

// Clusters past the source's end are lost to the layout, not to a failing
// drive. After a few dead clusters in a row one sector that read before is
// read again: a dead zone leaves it readable, a drive that went away does not.
void noteHealth(DeadlineReader &reader, SourceHealth &health, uint64_t first, bool dead, uint64_t sourceSectors)
{
    if (first + kClusterSectors > sourceSectors)
        return;
    if (!dead) {
        health.deadInARow = 0;
        health.goodSector = static_cast<int64_t>(first);
        return;
    }
    if (++health.deadInARow < kDeadClustersInARow)
        return;
    uint8_t probe[kSectorSize];
    const bool alive = health.goodSector >= 0
                       && reader.read(static_cast<uint64_t>(health.goodSector), probe, 1).outcome == ReadOutcome::Whole;
    if (alive)
        health.deadInARow = 0;
    else
        health.gone = true;
}

namespace {

void markMap(ExportPass *pass, uint64_t firstSector, uint64_t sectors, char status)
{
    if (pass && pass->settings && pass->settings->map)
        pass->settings->map->set(firstSector * kSectorSize, sectors * kSectorSize, status);
}

void saveMap(ExportPass *pass, uint64_t firstSector, char phase)
{
    if (!pass || !pass->settings || !pass->settings->map || pass->settings->mapPath.isEmpty())
        return;
    RescueMap &map = *pass->settings->map;
    map.currentPos = firstSector * kSectorSize;
    map.currentStatus = phase;
    map.currentPass = phase == mapstatus::kNonTried ? 1 : 2;
    QString why;
    if (!map.save(pass->settings->mapPath, &why) && pass->mapError.isEmpty())
        pass->mapError = why;
}

} // namespace

bool scrapeSpan(DeadlineReader &reader, uint64_t first, uint32_t count, uint8_t *buffer, std::vector<SectorRange> &lost,
                uint32_t *bad, RescueMap *map)
{
    std::memset(buffer, 0, static_cast<size_t>(count) * kSectorSize);
    *bad = 0;
    bool hung = false;
    for (uint32_t s = 0; s < count; ++s) {
        uint8_t *sector = buffer + static_cast<size_t>(s) * kSectorSize;
        TimedRead r{ReadOutcome::TimedOut, 0};
        if (!hung)
            r = reader.read(first + s, sector, 1);
        if (r.outcome == ReadOutcome::Cancelled)
            return false;
        if (r.outcome == ReadOutcome::Whole) {
            if (map)
                map->set((first + s) * kSectorSize, kSectorSize, mapstatus::kFinished);
            continue;
        }
        // A short answer (an image cut inside the sector) keeps the bytes it
        // delivered; the sector still counts as lost.
        std::memset(sector + r.bytes, 0, kSectorSize - r.bytes);
        hung = hung || r.outcome == ReadOutcome::TimedOut;
        ++*bad;
        addUnreadable(lost, first + s);
        if (map)
            map->set((first + s) * kSectorSize, kSectorSize, mapstatus::kBad);
    }
    return true;
}

namespace {

RescueMap *mapOf(ExportPass *pass)
{
    return pass && pass->settings ? pass->settings->map : nullptr;
}

bool scrapeCluster(DeadlineReader &reader, uint64_t first, uint8_t *buffer, std::vector<SectorRange> &lost,
                   uint32_t *bad, ExportPass *pass)
{
    return scrapeSpan(reader, first, kClusterSectors, buffer, lost, bad, mapOf(pass));
}

// Runs one job at a time on a thread of its own, so that the caller can do
// something else with the same bytes meanwhile.
class SideWork
{
public:
    explicit SideWork(std::function<void(const uint8_t *, uint32_t)> work)
        : m_work(std::move(work)), m_thread([this] { run(); })
    {
    }
    ~SideWork()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    void start(const uint8_t *bytes, uint32_t size)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bytes = bytes;
            m_size = size;
            m_pending = true;
        }
        m_changed.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_pending; });
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_pending || m_quit; });
            if (!m_pending)
                return;
            lock.unlock();
            m_work(m_bytes, m_size);
            lock.lock();
            m_pending = false;
            m_changed.notify_all();
        }
    }

    std::function<void(const uint8_t *, uint32_t)> m_work;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    const uint8_t *m_bytes = nullptr;
    uint32_t m_size = 0;
    bool m_pending = false;
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace

namespace {

// The lost sectors the map holds for a cluster read in an earlier run.
uint32_t lostFromMap(const RescueMap &map, uint64_t first, std::vector<SectorRange> &lost)
{
    uint32_t bad = 0;
    for (const MapArea &a : map.within(first * kSectorSize, kClusterBytes))
        if (a.status == mapstatus::kBad) {
            addUnreadable(lost, SectorRange{a.pos / kSectorSize, a.size / kSectorSize});
            bad += static_cast<uint32_t>(a.size / kSectorSize);
        }
    return bad;
}

void noteLoss(RecordingExport &result, uint32_t cluster, uint32_t bad, const std::vector<SectorRange> &lost)
{
    if (!bad)
        return;
    result.unreadableSectors += bad;
    result.unreadableClusters.push_back({cluster, bad});
    for (const SectorRange &range : lost)
        addUnreadable(result.unreadableRanges, range);
}

// The file read back in order, for a recording whose clusters came out of
// order or partly from an earlier run.
bool digestFile(const QString &path, const std::function<void(const uint8_t *, uint32_t)> &digest)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    IoBytes buffer(kClusterBytes);
    for (;;) {
        const qint64 n = file.read(reinterpret_cast<char *>(buffer.data()), kClusterBytes);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        digest(buffer.data(), static_cast<uint32_t>(n));
    }
}

bool keepsPartial(const ExportPass *pass, ExportStatus status)
{
    // With a map the temporary file is where a later run goes on from.
    return pass && pass->settings && pass->settings->map
           && (status == ExportStatus::Cancelled || status == ExportStatus::SourceGone || status == ExportStatus::Pending);
}

// Gives the file its name, or removes it (with a map, keeps it for the next
// run), and says what happened.
void closeOut(OutputFile &file, RecordingExport &result, bool liveDigest, const ExportHooks &hooks,
              const ExportPass *pass)
{
    if (result.written() && !liveDigest && hooks.digest && !digestFile(file.temporaryPath(), hooks.digest)) {
        result.status = ExportStatus::Failed;
        result.error = QStringLiteral("the file could not be read back for its hash");
    }
    bool renaming = false;
    if (result.written() && !file.commit()) {
        result.status = ExportStatus::Failed;
        renaming = file.failedStep() == OutputFile::Step::Rename;
        result.error = renaming ? QStringLiteral("it could not be renamed from its temporary name (%1)").arg(file.reason())
                                : QStringLiteral("the file could not be completed (%1)").arg(file.reason());
    }
    if (result.written())
        return;
    result.bytesWritten = 0;
    if (keepsPartial(pass, result.status)) {
        file.keep();
        result.error += QStringLiteral("; its temporary file %1 is kept for the next run with the same map")
                            .arg(QFileInfo(file.temporaryPath()).fileName());
        return;
    }
    const QString left = file.discard();
    // A file that failed only its rename was whole: it is no less removed.
    result.error += QStringLiteral("; ") + (renaming ? QString(left).replace(QLatin1String("incomplete"), QLatin1String("temporary")) : left);
}

QString writeFailure(const OutputFile &file, int done, int total)
{
    return done == 0 ? QStringLiteral("writing failed (%1)").arg(file.reason())
                     : QStringLiteral("writing failed after %1 of %2 clusters (%3)").arg(done).arg(total).arg(file.reason());
}

// Called in a catch block: buffers or threads that could not be had fail
// the recording, named; anything else goes on up.
void failForWant(RecordingExport &result)
{
    try {
        throw;
    } catch (const std::bad_alloc &) {
        result.status = ExportStatus::Failed;
        result.error = QStringLiteral("not enough memory for the transfer buffers");
    } catch (const std::system_error &e) {
        result.status = ExportStatus::Failed;
        result.error = QStringLiteral("a thread to read or hash with could not be started (%1)")
                           .arg(QString::fromLocal8Bit(e.what()));
    }
}

} // namespace

RecordingExport exportRecording(const SectorSource &source, uint32_t dataOffset, const Recording &recording,
                                const QString &path, SourceHealth &health, const ExportHooks &hooks, ExportPass *pass)
{
    RecordingExport result;
    result.path = path;
    result.name = QFileInfo(path).fileName();
    result.channel = recording.channel;
    if (health.gone) {
        result.status = ExportStatus::SourceGone;
        result.error = QStringLiteral("not read: the source had stopped answering");
        return result;
    }
    // Called alone (tests), it reads with the default deadline and finishes
    // every cluster before it returns.
    const ExportSettings defaults;
    DeadlineReader ownReader(source, defaults.readTimeoutMs);
    ExportPass own;
    own.reader = &ownReader;
    own.settings = &defaults;
    ExportPass &p = pass ? *pass : own;
    DeadlineReader &reader = *p.reader;
    const RescueMap *map = p.settings ? p.settings->map : nullptr;
    const bool resume = map && p.settings->resume;
    const uint64_t sourceSectors = static_cast<uint64_t>(std::max<int64_t>(source.sectors(), 0));
    const ClusterList &clusters = recording.clusters;
    const int total = clusters.size();

    // A temporary file left by a killed run is ours to replace, or, with the
    // same map, to go on from (only a regular file, never through a link).
    const QFileInfo left(partialPath(path));
    const bool goOn = resume && left.isFile() && !left.isSymLink();
    OutputFile file(path);
    if (!(goOn ? file.openToContinue() : file.open())) {
        result.status = ExportStatus::Failed;
        result.error = QStringLiteral("the file could not be created (%1)").arg(file.reason());
        return result;
    }
    const qint64 kept = goOn ? file.size() : 0;
    // Clusters an earlier run with the same map finished and wrote here.
    std::vector<char> settled(static_cast<size_t>(total), 0);
    for (int k = 0; k < total && resume; ++k)
        settled[static_cast<size_t>(k)] =
            kept >= static_cast<qint64>(k + 1) * kClusterBytes
            && map->all(clusterSector(dataOffset, clusters[k]) * kSectorSize, kClusterBytes, "+-");
    // The bytes go to `digest` as they are written only while every cluster
    // so far came whole, in order, in this run; otherwise from the file at the end.
    bool live = static_cast<bool>(hooks.digest) && (total == 0 || !settled[0]);
    int done = 0;
    try {
        // The reader thread reads ahead while this one hashes and writes.
        // Each cluster's lost sectors are noted by the reader before its slot
        // is handed over; the source's health is the reader's alone until
        // the ring is joined below.
        std::vector<std::vector<SectorRange>> lost(static_cast<size_t>(total));
        std::vector<char> failed(static_cast<size_t>(total), 0);
        std::vector<uint32_t> badCount(static_cast<size_t>(total), 0);
        ClusterReadAhead ring(static_cast<size_t>(total), [&](size_t k, uint8_t *buffer) {
            ClusterRead read;
            const uint64_t first = clusterSector(dataOffset, clusters[static_cast<int>(k)]);
            if (settled[k]) {
                badCount[k] = lostFromMap(*map, first, lost[k]);
                return read;
            }
            const TimedRead r = reader.read(first, buffer, kClusterSectors);
            if (r.outcome == ReadOutcome::Cancelled) {
                p.cancelled = true;
                read.stop = true;
                return read;
            }
            const bool whole = r.outcome == ReadOutcome::Whole;
            if (!whole && p.leaveFailedForLater) {
                failed[k] = 1;
                read.unreadableSectors = kClusterSectors;
            } else if (!whole && !scrapeCluster(reader, first, buffer, lost[k], &badCount[k], &p)) {
                p.cancelled = true;
                read.stop = true;
                return read;
            }
            // Only a read that gave nothing at all counts towards a dead
            // source: a short one, or a scrape that found sectors, shows it alive.
            noteHealth(reader, health, first,
                       whole ? false : failed[k] ? r.outcome != ReadOutcome::Short : badCount[k] == kClusterSectors,
                       sourceSectors);
            read.unreadableSectors = failed[k] ? kClusterSectors : badCount[k];
            read.stop = health.gone;
            return read;
        });
        std::unique_ptr<SideWork> digest;
        if (hooks.digest)
            digest.reset(new SideWork(hooks.digest));
        while (const ClusterReadAhead::Slot *slot = ring.next()) {
            const size_t k = slot->index;
            const uint32_t cluster = clusters[static_cast<int>(k)];
            const uint64_t first = clusterSector(dataOffset, cluster);
            result.totalSectors += kClusterSectors;
            if (failed[k] || settled[k]) {
                if (failed[k]) {
                    result.pending.push_back(static_cast<uint32_t>(k));
                    markMap(&p, first, kClusterSectors, mapstatus::kNonTrimmed);
                    saveMap(&p, first, mapstatus::kNonTried);
                } else {
                    result.resumed = true;
                    result.bytesWritten += kClusterBytes;
                    noteLoss(result, cluster, badCount[k], lost[k]);
                }
                if (live && hooks.digestDiscarded && k > 0)
                    hooks.digestDiscarded();
                live = false;
                continue;
            }
            noteLoss(result, cluster, badCount[k], lost[k]);
            if (live)
                digest->start(slot->bytes, kClusterBytes);
            const bool wrote = file.seek(static_cast<qint64>(k) * kClusterBytes) && file.write(slot->bytes, kClusterBytes);
            if (live)
                digest->wait(); // the slot stays ours until both are done with it
            if (!wrote) {
                result.status = ExportStatus::Failed;
                result.error = writeFailure(file, done, total);
                break;
            }
            ++done;
            result.bytesWritten += kClusterBytes;
            // The map says finished only once the bytes are in the file: a
            // kill in between costs this one cluster read again, nothing more.
            if (p.settings && p.settings->map) {
                if (badCount[k] == 0)
                    markMap(&p, first, kClusterSectors, mapstatus::kFinished);
                saveMap(&p, first, mapstatus::kNonTried);
            }
            if (hooks.clusterWritten)
                hooks.clusterWritten(recording, slot->bytes, kClusterBytes, result.bytesWritten);
            if (k + 1 < static_cast<size_t>(total) && hooks.stopRequested && hooks.stopRequested()) {
                result.status = ExportStatus::Cancelled;
                result.error = QStringLiteral("not written: the export was cancelled after %1 of %2 clusters")
                                   .arg(done)
                                   .arg(total);
                break;
            }
        }
        ring.cancel();
        if (result.written() && p.cancelled) {
            result.status = ExportStatus::Cancelled;
            result.error = QStringLiteral("not written: the export was cancelled after %1 of %2 clusters")
                               .arg(done)
                               .arg(total);
        } else if (result.written() && health.gone && map) {
            // With a map the temporary file is where the next run goes on from.
            result.status = ExportStatus::SourceGone;
            result.error = QStringLiteral("not written: the source stopped answering after %1 of %2 clusters")
                               .arg(done)
                               .arg(total);
        } else if (result.written() && health.gone) {
            // The clusters never read wait with those that failed: the second
            // pass, finding the source gone, writes them all as zeros.
            for (size_t k = ring.taken(); k < static_cast<size_t>(total); ++k) {
                result.pending.push_back(static_cast<uint32_t>(k));
                result.totalSectors += kClusterSectors;
            }
            if (live && done > 0 && hooks.digestDiscarded)
                hooks.digestDiscarded();
            live = false;
        }
    } catch (...) {
        failForWant(result);
    }
    if (result.written() && !result.pending.empty()) {
        // Left for the second pass; a source that went away cannot wait for it.
        file.keep();
        if (pass && !health.gone) {
            result.status = ExportStatus::Pending;
            return result;
        }
        return finishRecording(dataOffset, recording, std::move(result), health, hooks, p);
    }
    closeOut(file, result, live, hooks, &p);
    return result;
}

RecordingExport finishRecording(uint32_t dataOffset, const Recording &recording, RecordingExport result,
                                SourceHealth &health, const ExportHooks &hooks, ExportPass &pass)
{
    const uint64_t sourceSectors = static_cast<uint64_t>(std::max<int64_t>(pass.reader->source().sectors(), 0));
    const bool mapped = mapOf(&pass) != nullptr;
    OutputFile file(result.path);
    result.status = ExportStatus::Written;
    result.error.clear();
    const int total = recording.clusters.size();
    if (!file.openToContinue()) {
        result.status = ExportStatus::Failed;
        result.error = QStringLiteral("the file could not be opened again for its second pass (%1)").arg(file.reason());
    }
    size_t i = 0;
    try {
        IoBytes buffer(kClusterBytes);
        for (; result.written() && i < result.pending.size(); ++i) {
            const uint32_t k = result.pending[i];
            const uint32_t cluster = recording.clusters[static_cast<int>(k)];
            const uint64_t first = clusterSector(dataOffset, cluster);
            std::vector<SectorRange> lost;
            uint32_t bad = 0;
            if (health.gone && mapped) {
                result.status = ExportStatus::SourceGone;
                result.error = QStringLiteral("not written: the source stopped answering before the second pass of its "
                                              "unreadable clusters");
                break;
            }
            if (health.gone) {
                // What was read is kept: this cluster is zeros, named as lost.
                std::fill(buffer.begin(), buffer.end(), uint8_t(0));
                bad = kClusterSectors;
                lost.push_back({first, kClusterSectors});
                ++result.clustersNotRead;
            } else {
                if (!scrapeCluster(*pass.reader, first, buffer.data(), lost, &bad, &pass)) {
                    pass.cancelled = true;
                    result.status = ExportStatus::Cancelled;
                    result.error = QStringLiteral("not written: the export was cancelled in the second pass of its "
                                                  "unreadable clusters");
                    break;
                }
                noteHealth(*pass.reader, health, first, bad == kClusterSectors, sourceSectors);
            }
            if (!file.seek(static_cast<qint64>(k) * kClusterBytes) || !file.write(buffer.data(), kClusterBytes)) {
                result.status = ExportStatus::Failed;
                result.error = writeFailure(file, static_cast<int>(total - result.pending.size() + i), total);
                break;
            }
            saveMap(&pass, first, mapstatus::kNonScraped);
            noteLoss(result, cluster, bad, lost);
            result.bytesWritten += kClusterBytes;
            if (hooks.clusterWritten)
                hooks.clusterWritten(recording, buffer.data(), kClusterBytes, result.bytesWritten);
            if (i + 1 < result.pending.size() && hooks.stopRequested && hooks.stopRequested()) {
                result.status = ExportStatus::Cancelled;
                result.error = QStringLiteral("not written: the export was cancelled in the second pass of its "
                                              "unreadable clusters");
                ++i;
                break;
            }
        }
    } catch (...) {
        failForWant(result);
    }
    result.pending.erase(result.pending.begin(), result.pending.begin() + static_cast<std::ptrdiff_t>(i));
    // Losses named in the recording's order, as a single pass names them.
    QHash<uint32_t, int> position;
    for (int k = total - 1; k >= 0; --k)
        position.insert(recording.clusters[k], k);
    std::stable_sort(result.unreadableClusters.begin(), result.unreadableClusters.end(),
                     [&](const UnreadableCluster &a, const UnreadableCluster &b) {
                         return position.value(a.cluster) < position.value(b.cluster);
                     });
    // The ranges too, cut at cluster edges so each piece sorts with its cluster.
    std::vector<SectorRange> pieces;
    for (const SectorRange &r : result.unreadableRanges)
        for (uint64_t s = r.first; s < r.first + r.count;) {
            const uint64_t clusterEnd = dataOffset + ((s - dataOffset) / kClusterSectors + 1) * kClusterSectors;
            const uint64_t n = std::min(r.first + r.count, clusterEnd) - s;
            pieces.push_back({s, n});
            s += n;
        }
    const auto at = [&](const SectorRange &r) {
        return position.value(static_cast<uint32_t>((r.first - dataOffset) / kClusterSectors));
    };
    std::stable_sort(pieces.begin(), pieces.end(), [&](const SectorRange &a, const SectorRange &b) {
        return at(a) != at(b) ? at(a) < at(b) : a.first < b.first;
    });
    result.unreadableRanges.clear();
    for (const SectorRange &r : pieces)
        addUnreadable(result.unreadableRanges, r);
    closeOut(file, result, false, hooks, &pass);
    return result;
}

int ExportOutcome::writtenCount() const
{
    int n = 0;
    for (const RecordingExport &r : results)
        n += r.written() ? 1 : 0;
    return n;
}

uint64_t ExportOutcome::bytesWritten() const
{
    uint64_t n = 0;
    for (const RecordingExport &r : results)
        n += r.bytesWritten;
    return n;
}

uint64_t ExportOutcome::unreadableSectors() const
{
    uint64_t n = 0;
    for (const RecordingExport &r : results)
        n += r.written() ? r.unreadableSectors : 0;
    return n;
}

bool ExportOutcome::clean() const
{
    if (cancelled || sourceGone || !notReached.isEmpty())
        return false;
    for (const RecordingExport &r : results)
        if (!r.complete())
            return false;
    return true;
}

namespace {

QString filePathIn(const QString &saveFolder, const Recording &r)
{
    return recordingFolderPath(saveFolder, r) + QStringLiteral("//") + r.name;
}

uint64_t clustersLeft(const RecordingExport &r, const Recording &rec)
{
    return static_cast<uint64_t>(rec.clusters.size()) - r.totalSectors / kClusterSectors;
}

bool allSettled(const RescueMap &map, uint32_t dataOffset, const Recording &rec)
{
    for (const uint32_t c : rec.clusters)
        if (!map.all(clusterSector(dataOffset, c) * kSectorSize, kClusterBytes, "+-"))
            return false;
    return true;
}

// A file an earlier run with the same map finished: not read again, its
// losses named from the map, its hash from the file.
RecordingExport alreadyWritten(const RescueMap &map, uint32_t dataOffset, const Recording &rec, const QString &path,
                               const ExportHooks &hooks)
{
    RecordingExport result;
    result.path = path;
    result.name = rec.name;
    result.channel = rec.channel;
    result.resumed = true;
    for (const uint32_t c : rec.clusters) {
        std::vector<SectorRange> lost;
        noteLoss(result, c, lostFromMap(map, clusterSector(dataOffset, c), lost), lost);
        result.totalSectors += kClusterSectors;
        result.bytesWritten += kClusterBytes;
    }
    if (hooks.digest && !digestFile(path, hooks.digest)) {
        result.status = ExportStatus::Failed;
        result.error = QStringLiteral("the file written by the earlier run could not be read back for its hash");
    }
    return result;
}

} // namespace

ExportOutcome exportRecordings(const SectorSource &source, uint32_t dataOffset, const QString &saveFolder,
                               const QList<ExportEntry> &entries, const ExportHooks &hooks,
                               const ExportSettings &settings)
{
    ExportOutcome outcome;
    outcome.saveFolder = saveFolder;
    QMap<QString, QString> folderProblem; // folder -> why it could not be made ("" when it exists)
    SourceHealth health;
    DeadlineReader reader(source, settings.readTimeoutMs, settings.abandonRead, settings.sourceOwner);
    ExportPass pass;
    pass.reader = &reader;
    pass.settings = &settings;
    pass.leaveFailedForLater = true;
    // Recordings with clusters left for the second pass: where their result goes.
    std::vector<std::pair<size_t, const Recording *>> parked;
    int position = 0;
    for (const ExportEntry &entry : entries) {
        const Recording &rec = *entry.recording;
        // The one point between entries where a stop is heard: an entry that
        // passed it is copied (and may still be stopped between its clusters).
        if (hooks.beforeEntry && !hooks.beforeEntry(position, rec)) {
            outcome.cancelled = true;
            break;
        }
        ++position;
        if (!entry.selected)
            continue;
        const QString folder = recordingFolderPath(saveFolder, rec);
        if (!folderProblem.contains(folder)) {
            const QString why = makeRecordingFolder(saveFolder, rec);
            folderProblem.insert(folder, why);
            if (!why.isEmpty())
                outcome.folderProblems.append({QDir::toNativeSeparators(QDir::cleanPath(folder)), why});
        }
        RecordingExport result;
        const QString path = filePathIn(saveFolder, rec);
        if (!folderProblem.value(folder).isEmpty()) {
            result.name = rec.name;
            result.path = path;
            result.channel = rec.channel;
            result.status = ExportStatus::NoFolder;
            result.error = QStringLiteral("its folder could not be created");
        } else {
            const bool finishedBefore = settings.resume && settings.map && QFileInfo(path).isFile()
                                        && !QFileInfo::exists(partialPath(path));
            try {
                if (finishedBefore && allSettled(*settings.map, dataOffset, rec))
                    result = alreadyWritten(*settings.map, dataOffset, rec, path, hooks);
                else
                    result = exportRecording(source, dataOffset, rec, path, health, hooks, &pass);
            } catch (const std::bad_alloc &) {
                result.name = rec.name;
                result.path = path;
                result.status = ExportStatus::Failed;
                result.error = QStringLiteral("not enough memory for the transfer buffers");
            }
        }
        if (result.status == ExportStatus::Pending) {
            parked.emplace_back(outcome.results.size(), &rec);
            outcome.results.push_back(std::move(result));
            continue;
        }
        if (result.status == ExportStatus::SourceGone)
            outcome.clustersNotRead += clustersLeft(result, rec);
        outcome.clustersNotRead += result.clustersNotRead;
        outcome.sourceGone = outcome.sourceGone || health.gone;
        if (result.written())
            result.lossMap = lossMapOf(dataOffset, rec.clusters, result.unreadableRanges);
        if (hooks.recordingDone)
            hooks.recordingDone(result);
        // Past a source that stopped answering the later recordings are not tried.
        const bool stop = result.status == ExportStatus::Cancelled || health.gone;
        outcome.cancelled = outcome.cancelled || result.status == ExportStatus::Cancelled;
        outcome.results.push_back(std::move(result));
        if (stop)
            break;
    }
    // The second pass, once everything that reads whole is safe. A source
    // gone meanwhile leaves each its zeros, named, unless a map keeps its
    // temporary file for the next run.
    for (const auto &p : parked) {
        RecordingExport &result = outcome.results[p.first];
        if (!outcome.cancelled && !(outcome.sourceGone && settings.map)) {
            result = finishRecording(dataOffset, *p.second, std::move(result), health, hooks, pass);
        } else {
            result.status = outcome.cancelled ? ExportStatus::Cancelled : ExportStatus::SourceGone;
            result.error = QStringLiteral("not written: %1 before the second pass of its unreadable clusters")
                               .arg(outcome.cancelled ? QStringLiteral("the export was cancelled")
                                                      : QStringLiteral("the source stopped answering"));
            OutputFile left(result.path);
            if (!keepsPartial(&pass, result.status)) {
                result.error += QStringLiteral("; ") + left.discard();
            } else {
                left.keep();
                result.error += QStringLiteral("; its temporary file %1 is kept for the next run with the same map")
                                    .arg(QFileInfo(partialPath(result.path)).fileName());
            }
            result.bytesWritten = 0;
        }
        if (result.status == ExportStatus::SourceGone)
            outcome.clustersNotRead += result.pending.size();
        outcome.clustersNotRead += result.clustersNotRead;
        outcome.sourceGone = outcome.sourceGone || health.gone || result.status == ExportStatus::SourceGone;
        outcome.cancelled = outcome.cancelled || result.status == ExportStatus::Cancelled;
        if (result.written())
            result.lossMap = lossMapOf(dataOffset, p.second->clusters, result.unreadableRanges);
        if (hooks.recordingDone)
            hooks.recordingDone(result);
    }
    outcome.cancelled = outcome.cancelled || pass.cancelled;
    outcome.readsLeftBehind = reader.timedOut(); // a read abandoned for a stop is no loss
    outcome.mapError = pass.mapError;
    if (settings.map && !settings.mapPath.isEmpty()) {
        QString why;
        if (!settings.map->save(settings.mapPath, &why, true) && outcome.mapError.isEmpty())
            outcome.mapError = why;
    }
    // What was chosen and never reached, for the summary.
    for (int i = position; i < entries.size(); ++i)
        if (entries[i].selected) {
            outcome.notReached << entries[i].recording->name;
            if (outcome.sourceGone)
                outcome.clustersNotRead += static_cast<uint64_t>(entries[i].recording->clusters.size());
        }
    return outcome;
}

QStringList existingTargets(const QString &saveFolder, const QList<ExportEntry> &entries, const RescueMap *resumeMap,
                            uint32_t dataOffset)
{
    QStringList found;
    for (const ExportEntry &e : entries) {
        if (!e.selected || (resumeMap && allSettled(*resumeMap, dataOffset, *e.recording)))
            continue;
        const QString path = filePathIn(saveFolder, *e.recording);
        const QFileInfo info(path);
        if (info.exists() || info.isSymLink())
            found << path;
    }
    return found;
}

QString recordingFolderPath(const QString &saveFolder, const Recording &r)
{
    return r.folder.isEmpty() ? cameraFolderPath(saveFolder, r.channel) : saveFolder + QStringLiteral("//") + r.folder;
}

// Each level of a recording's folder in turn: the first that cannot be made says why.
QString makeRecordingFolder(const QString &saveFolder, const Recording &r)
{
    if (r.folder.isEmpty())
        return makeOutputFolder(cameraFolderPath(saveFolder, r.channel));
    QString path = saveFolder;
    for (const QString &level : r.folder.split(QLatin1Char('/'))) {
        if (level.isEmpty())
            continue;
        path += QStringLiteral("//") + level;
        const QString why = makeOutputFolder(path);
        if (!why.isEmpty())
            return why;
    }
    return {};
}

namespace {

constexpr int kMaxLines = 20; // keeps the box on the screen

void appendSection(QStringList &out, const QString &heading, const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    out << heading;
    for (int i = 0; i < lines.size() && i < kMaxLines; ++i)
        out << QStringLiteral("  ") + lines[i];
    if (lines.size() > kMaxLines)
        out << QStringLiteral("  ... and %1 more").arg(lines.size() - kMaxLines);
    out << QString();
}

QString clustersText(const std::vector<UnreadableCluster> &clusters)
{
    constexpr size_t kShown = 3;
    QStringList parts;
    for (size_t i = 0; i < clusters.size() && i < kShown; ++i) {
        const UnreadableCluster &c = clusters[i];
        parts << QStringLiteral("cluster %1: %2")
                     .arg(c.cluster)
                     .arg(c.sectors == kClusterSectors ? QStringLiteral("all %1 sectors").arg(kClusterSectors)
                                                       : countText(c.sectors, "sector", "sectors"));
    }
    if (clusters.size() > kShown)
        parts << countText(clusters.size() - kShown, "more cluster", "more clusters");
    return parts.join(QStringLiteral("; "));
}

} // namespace

QString exportProblemsText(const ExportOutcome &outcome)
{
    QStringList out;
    if (outcome.sourceGone)
        out << QStringLiteral("The source stopped answering: %1 in a row could not be read at all, so the export "
                              "gave up; %2 not read.")
                   .arg(countText(kDeadClustersInARow, "cluster", "clusters"),
                        countText(outcome.clustersNotRead, "cluster was", "clusters were"))
            << QString();
    QStringList noFolder;
    for (const RecordingExport &r : outcome.results)
        if (r.status == ExportStatus::NoFolder)
            noFolder << r.name;
    for (const ExportOutcome::FolderProblem &problem : outcome.folderProblems) {
        const QString text = QStringLiteral("The folder %1 could not be created: %2.").arg(problem.folder, problem.why);
        if (noFolder.isEmpty())
            out << text << QString();
        else
            appendSection(out, text.left(text.size() - 1) + QStringLiteral(". These recordings were not written:"),
                          noFolder);
    }
    QStringList failed;
    QStringList zeros;
    for (const RecordingExport &r : outcome.results) {
        if (r.status == ExportStatus::Failed || r.status == ExportStatus::Cancelled ||
            r.status == ExportStatus::SourceGone)
            failed << QStringLiteral("%1: %2.").arg(r.name, r.error);
        else if (r.written() && r.unreadableSectors)
            zeros << QStringLiteral("%1: %2 of %3 (%4).")
                         .arg(r.name)
                         .arg(r.unreadableSectors)
                         .arg(countText(r.totalSectors, "sector", "sectors"))
                         .arg(clustersText(r.unreadableClusters));
    }
    if (outcome.sourceGone)
        for (const QString &name : outcome.notReached)
            failed << QStringLiteral("%1: not read: the source had stopped answering.").arg(name);
    appendSection(out, QStringLiteral("These recordings were not written:"), failed);
    appendSection(out,
                  QStringLiteral("These recordings were written, but some sectors could not be read from the disk "
                                 "and were left as zeros:"),
                  zeros);
    while (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out.join(QLatin1Char('\n'));
}

} // namespace korvath
