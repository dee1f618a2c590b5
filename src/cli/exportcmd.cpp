#include "commands.h"

#include "export.h"
#include "outputfile.h"
#include "playable.h"
#include "progress.h"
#include "sha256.h"

#include <QDir>
#include <QHash>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cstdio>

namespace korvath {
namespace cli {

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

} // namespace

int runExport(const Listing &listing, const Options &o, const QList<const Recording *> &ordered,
              const OpenedSource &opened, const QString &directorySha256)
{
    QList<ExportEntry> entries;
    for (const Recording *r : ordered)
        if (o.names.isEmpty() || o.names.contains(r->name))
            entries.append({r, true});
    if (entries.isEmpty()) {
        if (listing.sector0Read)
            err(noMatchText(o));
        // The report still records what was read, and what could not be.
        if (!o.report.isEmpty()) {
            CaseReport report = startReport(listing, opened, directorySha256, o);
            if (!finishReport(report, o, {}, {}))
                return ExitLoss;
        }
        return ExitDone;
    }
    QList<const Recording *> chosen;
    for (const ExportEntry &e : entries)
        chosen << e.recording;
    const QString clash = outputClash(o, opened, chosen);
    if (!clash.isEmpty()) {
        err(clash);
        return ExitUsage;
    }
    RescueMap map;
    bool resume = false;
    const uint64_t sourceBytes = static_cast<uint64_t>(std::max<int64_t>(listing.source->sectors(), 0)) * kSectorSize;
    if (!o.map.isEmpty() && !openWorkMap(o, sourceBytes, &map, &resume))
        return ExitUsage;
    if (!o.overwrite) {
        // Files an earlier run with the same map finished are this export's own.
        QStringList existing =
            existingTargets(o.outDir, entries, resume ? &map : nullptr, listing.info.data_offset);
        if (o.mp4)
            existing += existingPlayableTargets(o.outDir, entries);
        if (!existing.isEmpty()) {
            err(QStringLiteral("%1 exists already (%2 of the files to write exist); nothing was written; "
                               "give --overwrite to replace them")
                    .arg(QDir::toNativeSeparators(QDir::cleanPath(existing.first())))
                    .arg(existing.size()));
            return ExitUsage;
        }
    }

    uint64_t total = 0;
    for (const ExportEntry &e : entries)
        total += recordingBytes(*e.recording);
    Progress progress(total);
    uint64_t before = 0;
    // The playable copy's label carries the native copy's hash, so --mp4 hashes too.
    const bool hashing = o.sha256 || o.mp4 || !o.report.isEmpty();
    Sha256 hash;
    int playableMissing = 0;
    CaseReport report;
    if (!o.report.isEmpty()) {
        report = startReport(listing, opened, directorySha256, o);
        if (o.mp4)
            addPlayableLibraries(report);
    }
    ExportHooks hooks;
    // The hash is of the bytes as written, not read back, and runs beside the write.
    if (hashing)
        hooks.digest = [&](const uint8_t *bytes, uint32_t size) { hash.update(bytes, size); };
    hooks.clusterWritten = [&](const Recording &, const uint8_t *, uint32_t, uint64_t done) {
        progress.update(before + done);
    };
    hooks.beforeEntry = [](int, const Recording &) { return stopSignal() == 0; };
    hooks.stopRequested = [] { return stopSignal() != 0; };
    hooks.digestDiscarded = [&] { hash.reset(); };
    ExportSettings settings;
    settings.readTimeoutMs = o.readTimeoutMs;
    settings.abandonRead = [] { return stopSignal() != 0; };
    if (!o.map.isEmpty()) {
        settings.map = &map;
        settings.mapPath = o.map;
        settings.resume = resume;
    }
    hooks.recordingDone = [&](const RecordingExport &e) {
        before += static_cast<uint64_t>(e.totalSectors) * kSectorSize;
        // A hash line for each file as soon as it has its name: a stopped
        // export keeps the hashes of what it finished.
        const QString digest = hashing && e.written() ? QString::fromStdString(hash.hex()) : QString();
        if (o.sha256 && e.written()) {
            progress.finish();
            out(QStringLiteral("%1  %2").arg(digest, QDir(o.outDir).relativeFilePath(QFileInfo(e.path).absoluteFilePath())));
            flushOut();
        }
        if (!o.report.isEmpty())
            reportRecording(report, listing, e, digest);
        hash.reset();
        // The playable copy once its native copy is complete; the native copy stays the evidence.
        if (o.mp4 && e.written()) {
            progress.finish();
            const auto r = listing.recordings.constFind(e.name);
            if (r == listing.recordings.constEnd()
                || !writePlayableCopy(e, *r, listing.info.data_offset, o.outDir, digest, o.sha256,
                                  o.report.isEmpty() ? nullptr : &report))
                ++playableMissing;
        }
    };
    const ExportOutcome outcome =
        exportRecordings(*listing.source, listing.info.data_offset, o.outDir, entries, hooks, settings);
    progress.finish();
    if (outcome.readsLeftBehind)
        err(QStringLiteral("%1 not answered within %2 s and left behind")
                .arg(countText(outcome.readsLeftBehind, "read was", "reads were"))
                .arg(o.readTimeoutMs / 1000.0));
    if (!outcome.mapError.isEmpty())
        err(outcome.mapError);
    if (!o.map.isEmpty())
        err(QStringLiteral("map: %1").arg(mapSummaryText(map)));

    for (const QString &problem : outcome.folderProblems) {
        // Each problem is "<folder>: <why>".
        const int colon = problem.indexOf(QStringLiteral(": "));
        err(QStringLiteral("the folder %1 could not be created: %2").arg(problem.left(colon), problem.mid(colon + 2)));
    }
    if (outcome.sourceGone)
        err(QStringLiteral("the source stopped answering: %1 in a row could not be read at all; gave up, %2 not read")
                .arg(countText(kDeadClustersInARow, "cluster", "clusters"),
                     countText(outcome.clustersNotRead, "cluster was", "clusters were")));
    for (const RecordingExport &e : outcome.results) {
        if (e.status == ExportStatus::NoFolder)
            err(QStringLiteral("%1: not written").arg(e.name));
        else if (e.status == ExportStatus::Failed)
            err(QStringLiteral("%1: not written: %2").arg(e.name, e.error));
        else if (!e.written())
            err(QStringLiteral("%1: %2").arg(e.name, e.error));
        else if (e.unreadableSectors)
            err(unreadableText(e));
    }
    for (const QString &name : outcome.notReached)
        err(QStringLiteral("%1: not written: %2")
                .arg(name, stopSignal() ? QStringLiteral("the export was stopped by %1").arg(signalName(stopSignal()))
                                    : QStringLiteral("the source had stopped answering")));
    bool reportLost = false;
    if (!o.report.isEmpty()) {
        const QString why = stopSignal() ? QStringLiteral("the export was stopped by %1").arg(signalName(stopSignal()))
                                         : QStringLiteral("the source had stopped answering");
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
        reportLost = !finishReport(report, o, outcome.notReached, why);
    }
    const int written = outcome.writtenCount();
    const int failed = entries.size() - written;
    err(QStringLiteral("%1 of %2 written, %3, %4, %5")
            .arg(written)
            .arg(countText(static_cast<uint64_t>(entries.size()), "recording", "recordings"))
            .arg(countText(outcome.bytesWritten(), "byte", "bytes"))
            .arg(countText(outcome.unreadableSectors(), "unreadable sector", "unreadable sectors"))
            .arg(countText(static_cast<uint64_t>(failed), "failure", "failures")));
    if (o.mp4 && playableMissing)
        err(QStringLiteral("%1 of %2 written")
                .arg(outcome.writtenCount() - playableMissing)
                .arg(countText(static_cast<uint64_t>(outcome.writtenCount()), "playable copy", "playable copies")));
    if (stopSignal()) {
        err(QStringLiteral("stopped by %1").arg(signalName(stopSignal())));
        return 128 + stopSignal();
    }
    return outcome.clean() && playableMissing == 0 && !reportLost && outcome.mapError.isEmpty() ? ExitDone : ExitLoss;
}

} // namespace cli
} // namespace korvath
