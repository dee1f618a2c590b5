// korvath-cli export: the case job asked for by the options, its events
// printed as they come: hash lines on stdout, the rest on stderr.
#include "commands.h"

#include "progress.h"

#include <QCoreApplication>
#include <QDir>
#include <mutex>

namespace korvath {
namespace cli {

JobRequest jobRequest(const Options &o, const CaseSource &opened, const Listing &listing, const QString &directoryDigest)
{
    JobRequest q;
    q.source = opened;
    q.listing = listing;
    q.directoryDigest = directoryDigest;
    q.folder = o.outDir;
    q.sha256 = o.sha256;
    q.mp4 = o.mp4;
    q.reportPath = o.report;
    q.caseDetails = o.caseDetails;
    q.clockOffset = o.clockOffset;
    q.clockObservation = o.clockObservation;
    q.commandLine = commandLineText(QCoreApplication::arguments());
    q.readTimeoutMs = o.readTimeoutMs;
    return q;
}

int runExport(const Listing &listing, const Options &o, const QList<const Recording *> &ordered,
              const CaseSource &opened, const QString &directoryDigest)
{
    JobRequest q = jobRequest(o, opened, listing, directoryDigest);
    QList<const Recording *> chosen;
    for (const Recording *r : ordered)
        if (o.names.isEmpty() || o.names.contains(r->name)) {
            q.entries.append({r->name, true});
            chosen << r;
        }
    if (chosen.isEmpty() && listing.sector0Read)
        err(noMatchText(o));
    if (!chosen.isEmpty()) {
        const QString clash = outputClash(o, opened, chosen);
        if (!clash.isEmpty()) {
            err(clash);
            return ExitUsage;
        }
        const uint64_t sourceBytes = static_cast<uint64_t>(std::max<int64_t>(listing.source->sectors(), 0)) * kSectorSize;
        if (!o.map.isEmpty()) {
            if (!openWorkMap(o, sourceBytes, &q.map, &q.resume))
                return ExitUsage;
            q.mapPath = o.map;
        }
        if (!o.overwrite) {
            // Files an earlier run with the same map finished are this export's own.
            const QStringList existing = existingOutputs(q);
            if (!existing.isEmpty()) {
                err(QStringLiteral("%1 exists already (%2 of the files to write exist); nothing was written; "
                                   "give --overwrite to replace them")
                        .arg(QDir::toNativeSeparators(QDir::cleanPath(existing.first())))
                        .arg(existing.size()));
                return ExitUsage;
            }
        }
    } else if (o.report.isEmpty()) {
        return ExitDone;
    }

    uint64_t total = 0;
    for (const Recording *r : chosen)
        total += recordingBytes(*r);
    Progress progress(total);
    const auto show = [&](const JobEvent &e) {
        if (e.kind == JobEvent::Progress) {
            progress.update(e.done);
            return;
        }
        if (e.kind == JobEvent::EntryReached || e.kind == JobEvent::RecordingStarted)
            return;
        progress.finish();
        if (e.kind != JobEvent::FileWritten)
            err(e.text);
        // A hash line for each file as soon as it has its name: a stopped
        // export keeps the hashes of what it finished.
        if ((e.kind == JobEvent::FileWritten || e.kind == JobEvent::DerivedCopy) && o.sha256 && !e.sha256.isEmpty()) {
            out(QStringLiteral("%1  %2").arg(e.sha256, e.shown));
            flushOut();
        }
    };
    CaseJob *running = nullptr;
    CaseJob job(std::move(q), [&](const JobEvent &e) {
        show(e);
        // A stop seen here (a closed pipe, a signal) takes effect before the next cluster or file.
        if (stopSignal())
            running->cancel(QString::fromLatin1(signalName(stopSignal())));
    });
    running = &job;
    job.start();
    // A stop signal cancels the job, which stops after the cluster in hand or
    // abandons a read that hangs.
    while (!job.wait(50))
        if (stopSignal())
            job.cancel(QString::fromLatin1(signalName(stopSignal())));
    progress.finish();
    const JobOutcome &outcome = job.outcome();
    if (chosen.isEmpty())
        return outcome.reportLost ? ExitLoss : ExitDone;
    err(outcome.summaryText());
    if (o.mp4 && outcome.playableMissing)
        err(outcome.playableText());
    if (stopSignal()) {
        err(QStringLiteral("stopped by %1").arg(signalName(stopSignal())));
        return 128 + stopSignal();
    }
    return outcome.clean() ? ExitDone : ExitLoss;
}

} // namespace cli
} // namespace korvath
