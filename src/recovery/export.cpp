#include "export.h"

#include "outputfile.h"
#include "readahead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace korvath {

namespace {

// Reads one cluster and keeps the source's health: a cluster of which no
// sector could be read counts towards the source being gone. Clusters past
// the source's end are lost to the layout, not to a failing drive.
uint32_t readClusterWatched(const SectorSource &source, uint64_t first, uint64_t sourceSectors, uint8_t *buffer,
                            std::vector<SectorRange> *unreadable, SourceHealth &health)
{
    const uint32_t bad = readCluster(source, first, buffer, unreadable);
    if (first + kClusterSectors > sourceSectors)
        return bad;
    if (bad == kClusterSectors) {
        if (++health.deadInARow >= kDeadClustersInARow)
            health.gone = true;
    } else {
        health.deadInARow = 0;
    }
    return bad;
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

RecordingExport exportRecording(const SectorSource &source, uint32_t dataOffset, const Recording &recording,
                                const QString &path, SourceHealth &health, const ExportHooks &hooks)
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
    const uint64_t sourceSectors = static_cast<uint64_t>(std::max<int64_t>(source.sectors(), 0));
    const ClusterList &clusters = recording.clusters;
    const int total = clusters.size();

    OutputFile file(path);
    if (!file.open()) {
        result.status = ExportStatus::Failed;
        result.error = QStringLiteral("the file could not be created (%1)").arg(file.reason());
        return result;
    }
    int done = 0;
    // Each cluster in order, as read or as zeros: hashed beside the write,
    // its losses counted. False when the copy ends here.
    std::unique_ptr<SideWork> digest;
    const auto put = [&](uint32_t cluster, const uint8_t *bytes, uint32_t unreadable,
                         const std::vector<SectorRange> &ranges) {
        result.totalSectors += kClusterSectors;
        if (unreadable) {
            result.unreadableSectors += unreadable;
            result.unreadableClusters.push_back({cluster, unreadable});
            for (const SectorRange &range : ranges)
                addUnreadable(result.unreadableRanges, range);
        }
        if (digest)
            digest->start(bytes, kClusterBytes);
        const bool wrote = file.write(bytes, kClusterBytes);
        if (digest)
            digest->wait(); // the bytes stay ours until both are done with them
        if (!wrote) {
            result.status = ExportStatus::Failed;
            result.error = done == 0 ? QStringLiteral("writing failed (%1)").arg(file.reason())
                                     : QStringLiteral("writing failed after %1 of %2 clusters (%3)")
                                           .arg(done)
                                           .arg(total)
                                           .arg(file.reason());
            return false;
        }
        ++done;
        result.bytesWritten += kClusterBytes;
        if (hooks.clusterWritten)
            hooks.clusterWritten(recording, bytes, kClusterBytes, result.bytesWritten);
        if (done < total && hooks.stopRequested && hooks.stopRequested()) {
            result.status = ExportStatus::Cancelled;
            result.error = QStringLiteral("not written: the export was cancelled after %1 of %2 clusters")
                               .arg(done)
                               .arg(total);
            return false;
        }
        return true;
    };
    try {
        // The reader thread reads ahead while this one hashes and writes: on
        // a real disk the read of one cluster, the hash and the write of
        // others proceed at once. Each cluster's lost sectors are noted by
        // the reader before its slot is handed over; the source's health is
        // the reader's alone until the ring is joined below.
        std::vector<std::vector<SectorRange>> lost(static_cast<size_t>(total));
        ClusterReadAhead ring(static_cast<size_t>(total), [&](size_t k, uint8_t *buffer) {
            ClusterRead read;
            read.unreadableSectors = readClusterWatched(source, clusterSector(dataOffset, clusters[static_cast<int>(k)]),
                                                        sourceSectors, buffer, &lost[k], health);
            read.stop = health.gone;
            return read;
        });
        if (hooks.digest)
            digest.reset(new SideWork(hooks.digest));
        while (const ClusterReadAhead::Slot *slot = ring.next())
            if (!put(clusters[static_cast<int>(slot->index)], slot->bytes, slot->unreadableSectors, lost[slot->index]))
                break;
        ring.cancel();
        // A source that stopped answering keeps what it gave: the clusters
        // not read are zeros, each named as lost.
        if (result.written() && health.gone && done < total) {
            IoBytes zeros(kClusterBytes);
            std::fill(zeros.begin(), zeros.end(), uint8_t(0));
            result.clustersNotRead = static_cast<uint32_t>(total - done);
            while (done < total) {
                const uint32_t cluster = clusters[done];
                if (!put(cluster, zeros.data(), kClusterSectors, {{clusterSector(dataOffset, cluster), kClusterSectors}}))
                    break;
            }
        }
    } catch (const std::bad_alloc &) {
        result.status = ExportStatus::Failed;
        result.error = QStringLiteral("not enough memory for the transfer buffers");
    } catch (const std::system_error &e) {
        result.status = ExportStatus::Failed;
        result.error = QStringLiteral("a thread to read or hash with could not be started (%1)")
                           .arg(QString::fromLocal8Bit(e.what()));
    }
    digest.reset();
    bool renaming = false;
    if (result.written() && !file.commit()) {
        result.status = ExportStatus::Failed;
        renaming = file.failedStep() == OutputFile::Step::Rename;
        result.error = renaming ? QStringLiteral("it could not be renamed from its temporary name (%1)").arg(file.reason())
                                : QStringLiteral("the file could not be completed (%1)").arg(file.reason());
    }
    if (!result.written()) {
        const QString left = file.discard();
        // A file that failed only its rename was whole: it is no less removed.
        result.error += QStringLiteral("; ") + (renaming ? QString(left).replace(QLatin1String("incomplete"), QLatin1String("temporary")) : left);
        result.bytesWritten = 0;
    }
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

} // namespace

ExportOutcome exportRecordings(const SectorSource &source, uint32_t dataOffset, const QString &saveFolder,
                               const QList<ExportEntry> &entries, const ExportHooks &hooks)
{
    ExportOutcome outcome;
    outcome.saveFolder = saveFolder;
    QMap<QString, QString> folderProblem; // folder -> why it could not be made ("" when it exists)
    SourceHealth health;
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
                outcome.folderProblems << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(QDir::cleanPath(folder)), why);
        }
        RecordingExport result;
        if (!folderProblem.value(folder).isEmpty()) {
            result.name = rec.name;
            result.path = filePathIn(saveFolder, rec);
            result.channel = rec.channel;
            result.status = ExportStatus::NoFolder;
            result.error = QStringLiteral("its folder could not be created");
        } else {
            try {
                result = exportRecording(source, dataOffset, rec, filePathIn(saveFolder, rec), health, hooks);
            } catch (const std::bad_alloc &) {
                result.name = rec.name;
                result.path = filePathIn(saveFolder, rec);
                result.status = ExportStatus::Failed;
                result.error = QStringLiteral("not enough memory for the transfer buffers");
            }
        }
        if (result.status == ExportStatus::SourceGone)
            outcome.clustersNotRead += clustersLeft(result, rec);
        outcome.clustersNotRead += result.clustersNotRead;
        outcome.sourceGone = outcome.sourceGone || health.gone;
        if (hooks.recordingDone)
            hooks.recordingDone(result);
        // Past a source that stopped answering the later recordings are not tried.
        const bool stop = result.status == ExportStatus::Cancelled || health.gone;
        outcome.cancelled = outcome.cancelled || result.status == ExportStatus::Cancelled;
        outcome.results.push_back(std::move(result));
        if (stop)
            break;
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

QStringList existingTargets(const QString &saveFolder, const QList<ExportEntry> &entries)
{
    QStringList found;
    for (const ExportEntry &e : entries) {
        if (!e.selected)
            continue;
        const QString path = filePathIn(saveFolder, *e.recording);
        const QFileInfo info(path);
        if (info.exists() || info.isSymLink())
            found << path;
    }
    return found;
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
    for (const QString &problem : outcome.folderProblems) {
        const int colon = problem.indexOf(QStringLiteral(": "));
        const QString text = QStringLiteral("The folder %1 could not be created: %2.")
                                 .arg(problem.left(colon), problem.mid(colon + 2));
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
