#include "casejob.h"

#include "casereport.h"
#include "counttext.h"
#include "outputfile.h"
#include "playable.h"
#include "sha256.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace korvath {

namespace {

QString unreadableText(const RecordingExport &e)
{
    QStringList where;
    for (size_t i = 0; i < e.unreadableClusters.size() && i < 3; ++i)
        where << QStringLiteral("cluster %1: %2")
                     .arg(e.unreadableClusters[i].cluster)
                     .arg(countText(e.unreadableClusters[i].sectors, "sector", "sectors"));
    if (e.unreadableClusters.size() > 3)
        where << countText(e.unreadableClusters.size() - 3, "more cluster", "more clusters");
    return QStringLiteral("%1: %2 of %3 could not be read and were written as zeros (%4)")
        .arg(e.name)
        .arg(e.unreadableSectors)
        .arg(countText(e.totalSectors, "sector", "sectors"))
        .arg(where.join(QStringLiteral("; ")));
}

QList<ExportEntry> exportEntries(const Listing &listing, const QVector<JobEntry> &entries)
{
    QList<ExportEntry> out;
    for (const JobEntry &e : entries) {
        const auto r = listing.recordings.constFind(e.name);
        if (r != listing.recordings.constEnd())
            out.append({&*r, e.selected});
    }
    return out;
}

constexpr int64_t kAbandonAfterMs = 500;

int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool JobOutcome::clean() const
{
    return exported.clean() && playableMissing == 0 && !reportLost && exported.mapError.isEmpty() && !cancelled;
}

QString JobOutcome::summaryText() const
{
    const int written = exported.writtenCount();
    return QStringLiteral("%1 of %2 written, %3, %4, %5")
        .arg(written)
        .arg(countText(static_cast<uint64_t>(entries), "recording", "recordings"))
        .arg(countText(exported.bytesWritten(), "byte", "bytes"))
        .arg(countText(exported.unreadableSectors(), "unreadable sector", "unreadable sectors"))
        .arg(countText(static_cast<uint64_t>(entries - written), "failure", "failures"));
}

QString JobOutcome::playableText() const
{
    if (!playableMissing)
        return {};
    const int written = exported.writtenCount();
    return QStringLiteral("%1 of %2 written")
        .arg(written - playableMissing)
        .arg(countText(static_cast<uint64_t>(written), "playable copy", "playable copies"));
}

QStringList existingOutputs(const JobRequest &request)
{
    const QList<ExportEntry> entries = exportEntries(request.listing, request.entries);
    QStringList existing = existingTargets(request.folder, entries, request.resume ? &request.map : nullptr,
                                           request.listing.info.data_offset);
    if (request.mp4)
        for (const ExportEntry &e : entries) {
            const QFileInfo info(playablePath(request.folder, *e.recording));
            if (e.selected && (info.exists() || info.isSymLink()))
                existing << info.filePath();
        }
    return existing;
}

QString quotedPath(const QString &path)
{
    return QStringLiteral("'%1'").arg(QDir::toNativeSeparators(QDir::cleanPath(path)));
}

void claimExportFiles(OutputClaims &claims, const QString &folder, const QList<const Recording *> &recordings, bool mp4)
{
    QSet<QString> folders;
    const auto claimFolder = [&](const QString &path, const QString &what) {
        if (!folders.contains(path))
            claims.addFolder(path, what.arg(quotedPath(path)));
        folders.insert(path);
    };
    for (const Recording *r : recordings) {
        claimFolder(cameraFolderPath(folder, r->channel), QStringLiteral("the camera folder %1"));
        const QString copy = recordingFolderPath(folder, *r) + QLatin1Char('/') + r->name;
        claims.addFile(copy, QStringLiteral("the native copy %1").arg(quotedPath(copy)));
        if (mp4) {
            const QString playable = playablePath(folder, *r);
            claimFolder(QFileInfo(playable).path(), QStringLiteral("the folder %1"));
            claims.addFile(playable, QStringLiteral("the playable copy %1").arg(quotedPath(playable)));
        }
    }
}

struct CaseJob::State {
    JobRequest request;
    Observer observe;
    std::thread thread;
    std::atomic<bool> cancelled{false};
    std::atomic<int64_t> cancelledAt{0}; // steady clock, ms

    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    QString cancelReason;
    JobOutcome outcome;

    void notify(JobEvent e) { if (observe) observe(e); }
    void problem(JobProblem kind, const QString &file, const QString &text)
    {
        JobEvent e;
        e.kind = JobEvent::Problem;
        e.problem = kind;
        e.name = file;
        e.text = text;
        notify(e);
    }
    QString stoppedText()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return cancelReason;
    }
    void run();
};

CaseJob::CaseJob(JobRequest request, Observer observe) : d(new State)
{
    d->request = std::move(request);
    d->observe = std::move(observe);
    if (!d->request.source.source)
        d->request.source.source = d->request.listing.source;
}

CaseJob::~CaseJob()
{
    if (d->thread.joinable()) {
        cancel();
        d->thread.join();
    }
}

void CaseJob::start()
{
    const auto work = [this] {
        d->run();
        std::lock_guard<std::mutex> lock(d->mutex);
        d->finished = true;
        d->done.notify_all();
    };
    try {
        d->thread = std::thread(work);
    } catch (const std::system_error &) {
        // No thread to be had: the job runs here, and the export names the
        // threads it could not start for each recording.
        work();
    }
}

void CaseJob::cancel(const QString &stoppedBy)
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->cancelReason.isEmpty())
            d->cancelReason = stoppedBy;
    }
    if (!d->cancelled.exchange(true))
        d->cancelledAt = steadyMs();
}

bool CaseJob::wait(int ms)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    const auto finished = [this] { return d->finished; };
    if (ms < 0)
        d->done.wait(lock, finished);
    else
        d->done.wait_for(lock, std::chrono::milliseconds(ms), finished);
    if (d->finished && d->thread.joinable()) {
        lock.unlock();
        d->thread.join();
        return true;
    }
    return d->finished;
}

const JobOutcome &CaseJob::outcome() const
{
    return d->outcome;
}

void CaseJob::State::run()
{
    JobRequest &q = request;
    const Listing &listing = q.listing;
    const QList<ExportEntry> entries = exportEntries(listing, q.entries);
    for (const ExportEntry &e : entries)
        outcome.entries += e.selected ? 1 : 0;
    const bool reporting = !q.reportPath.isEmpty();
    CaseReport report;
    if (reporting) {
        report = startCaseReport(q);
        if (q.mp4)
            addPlayableLibraries(report);
    }
    const auto finishReport = [&](const QStringList &notReached, const QString &why) {
        for (const QString &name : notReached)
            report.notWritten.push_back({name, why});
        QString error;
        if (finishCaseReport(report, q.reportPath, &error))
            return;
        outcome.reportLost = true;
        problem(JobProblem::Report, q.reportPath,
                QStringLiteral("the report %1 could not be written: %2").arg(QDir::toNativeSeparators(q.reportPath), error));
    };
    if (outcome.entries == 0) {
        // The report still records what was read, and what could not be.
        if (reporting)
            finishReport({}, {});
        return;
    }

    uint64_t total = 0;
    for (const ExportEntry &e : entries)
        total += e.selected ? recordingBytes(*e.recording) : 0;
    uint64_t before = 0;
    // The playable copy's label carries the native copy's hash, so an MP4 hashes too.
    const bool hashing = q.sha256 || q.mp4 || reporting;
    Sha256 hash;
    ExportHooks hooks;
    // The hash is of the bytes as written, not read back, and runs beside the write.
    if (hashing)
        hooks.digest = [&](const uint8_t *bytes, uint32_t size) { hash.update(bytes, size); };
    hooks.clusterWritten = [&](const Recording &, const uint8_t *, uint32_t, uint64_t done) {
        JobEvent e;
        e.kind = JobEvent::Progress;
        e.done = before + done;
        e.total = total;
        notify(e);
    };
    hooks.beforeEntry = [&](int position, const Recording &r) {
        JobEvent e;
        e.kind = JobEvent::EntryReached;
        e.index = position;
        e.name = r.name;
        notify(e);
        if (cancelled)
            return false;
        if (position < entries.size() && entries[position].selected) {
            JobEvent s;
            s.kind = JobEvent::RecordingStarted;
            s.name = r.name;
            s.total = recordingBytes(r);
            notify(s);
        }
        return true;
    };
    hooks.stopRequested = [&] { return cancelled.load(); };
    hooks.digestDiscarded = [&] { hash.reset(); };
    ExportSettings settings;
    settings.readTimeoutMs = q.readTimeoutMs;
    // A read that answers is let finish, so that the job stops after the
    // cluster in hand; one that still hangs half a second after the cancel is
    // abandoned.
    settings.abandonRead = [this] { return cancelled && steadyMs() - cancelledAt >= kAbandonAfterMs; };
    settings.sourceOwner = q.source.source;
    if (!q.mapPath.isEmpty()) {
        settings.map = &q.map;
        settings.mapPath = q.mapPath;
        settings.resume = q.resume;
    }
    hooks.recordingDone = [&](const RecordingExport &e) {
        before += static_cast<uint64_t>(e.totalSectors) * kSectorSize;
        const QString digest = hashing && e.written() ? QString::fromStdString(hash.hex()) : QString();
        hash.reset();
        const auto r = listing.recordings.constFind(e.name);
        if (e.written()) {
            JobEvent w;
            w.kind = JobEvent::FileWritten;
            w.name = e.name;
            w.path = e.path;
            w.shown = QDir(q.folder).relativeFilePath(QFileInfo(e.path).absoluteFilePath());
            w.sha256 = digest;
            notify(w);
        }
        if (reporting && r != listing.recordings.constEnd())
            reportRecording(report, *r, e, digest);
        // The playable copy once its native copy is complete; the native copy stays the evidence.
        if (q.mp4 && e.written()) {
            PlayableRequest p;
            p.folder = q.folder;
            p.masterSha256 = digest;
            p.hash = q.sha256 || reporting;
            p.stop = [this] { return cancelled.load(); };
            p.stoppedBy = [this] { return stoppedText(); };
            if (r == listing.recordings.constEnd()
                || !makePlayableCopy(*q.source.source, e, *r, p, [this](const JobEvent &ev) { notify(ev); }, reporting ? &report : nullptr))
                ++outcome.playableMissing;
        }
    };
    outcome.exported = exportRecordings(*q.source.source, listing.info.data_offset, q.folder, entries, hooks, settings);
    const ExportOutcome &x = outcome.exported;
    outcome.cancelled = x.cancelled || cancelled;
    outcome.cancelReason = stoppedText();

    if (x.readsLeftBehind)
        problem(JobProblem::ReadsLeft, {},
                QStringLiteral("%1 not answered within %2 s and left behind")
                    .arg(countText(x.readsLeftBehind, "read was", "reads were"))
                    .arg(q.readTimeoutMs / 1000.0));
    if (!x.mapError.isEmpty())
        problem(JobProblem::Map, q.mapPath, x.mapError);
    if (!q.mapPath.isEmpty()) {
        JobEvent m;
        m.kind = JobEvent::MapSummary;
        m.text = QStringLiteral("map: %1").arg(mapSummaryText(q.map));
        notify(m);
    }
    for (const ExportOutcome::FolderProblem &f : x.folderProblems)
        problem(JobProblem::Folder, f.folder, QStringLiteral("the folder %1 could not be created: %2").arg(f.folder, f.why));
    if (x.sourceGone)
        problem(JobProblem::SourceGone, {},
                QStringLiteral("the source stopped answering: %1 in a row could not be read at all; gave up, %2 not read")
                    .arg(countText(kDeadClustersInARow, "cluster", "clusters"),
                         countText(x.clustersNotRead, "cluster was", "clusters were")));
    for (const RecordingExport &e : x.results) {
        if (e.status == ExportStatus::NoFolder)
            problem(JobProblem::NotWritten, e.name, QStringLiteral("%1: not written").arg(e.name));
        else if (e.status == ExportStatus::Failed)
            problem(JobProblem::NotWritten, e.name, QStringLiteral("%1: not written: %2").arg(e.name, e.error));
        else if (!e.written())
            problem(JobProblem::NotWritten, e.name, QStringLiteral("%1: %2").arg(e.name, e.error));
        else if (e.unreadableSectors)
            problem(JobProblem::Losses, e.name, unreadableText(e));
    }
    const QString why = outcome.cancelled ? QStringLiteral("the export was stopped by %1").arg(outcome.cancelReason)
                                          : QStringLiteral("the source had stopped answering");
    for (const QString &name : x.notReached)
        problem(JobProblem::NotReached, name, QStringLiteral("%1: not written: %2").arg(name, why));
    if (reporting) {
        // In the recordings' order, whichever pass finished them; a derived
        // copy stays after its native copy.
        QHash<QString, int> rank;
        for (int i = 0; i < entries.size(); ++i)
            rank.insert(entries[i].recording->name, i);
        const auto rankOf = [&](const ReportFile &f) {
            return rank.value(QFileInfo(f.derived ? f.derived->master : f.filename).fileName(), entries.size());
        };
        std::stable_sort(report.files.begin(), report.files.end(),
                         [&](const ReportFile &a, const ReportFile &b) { return rankOf(a) < rankOf(b); });
        finishReport(x.notReached, why);
    }
}

} // namespace korvath
