// korvath-cli image: the recorder's disk into a raw sparse image, the
// evidence first, with a ddrescue map to resume from.
#include "commands.h"

#include "caseimage.h"
#include "outputfile.h"
#include "progress.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace korvath {
namespace cli {

bool openWorkMap(const Options &o, uint64_t sourceBytes, RescueMap *map, bool *resume)
{
    *resume = false;
    *map = RescueMap(sourceBytes);
    map->commandLine = commandLineText(QCoreApplication::arguments());
    if (o.map.isEmpty() || !QFileInfo::exists(o.map))
        return true;
    QString why;
    if (!RescueMap::load(o.map, sourceBytes, map, &why)) {
        err(why);
        return false;
    }
    map->commandLine = commandLineText(QCoreApplication::arguments());
    *resume = true;
    err(QStringLiteral("going on from the map %1: %2").arg(QDir::toNativeSeparators(o.map), mapSummaryText(*map)));
    return true;
}

int runImage(const Listing &listing, const Options &o, const CaseSource &opened, const QString &directoryDigest,
             const DirectoryRead &directory)
{
    ImageRequest q;
    q.job = jobRequest(o, opened, listing, directoryDigest);
    q.imagePath = o.outDir;
    q.listedOnly = o.listedOnly;
    q.directory = directory;
    const uint64_t sectors = static_cast<uint64_t>(std::max<int64_t>(listing.source->sectors(), 0));
    if (!openWorkMap(o, sectors * kSectorSize, &q.job.map, &q.job.resume))
        return ExitUsage;
    q.job.mapPath = o.map;
    Progress progress(imagePlanBytes(q));
    ImageHooks hooks;
    hooks.progress = [&](uint64_t done) { progress.update(done); };
    hooks.stopRequested = [] { return stopSignal() != 0; };
    const ImageResult result = acquireCaseImage(
        q, hooks, [] { return stopSignal() != 0; }, [] { return QString::fromLatin1(signalName(stopSignal())); });
    progress.finish();
    if (!result.blocked.isEmpty()) {
        err(result.blocked);
        return ExitLoss;
    }
    const ImageOutcome &outcome = result.acquired;
    const RescueMap &map = q.job.map;
    const bool named = result.named;
    if (!result.namingError.isEmpty())
        err(result.namingError);
    if (result.reportLost)
        err(QStringLiteral("the report %1 could not be written: %2").arg(QDir::toNativeSeparators(o.report), result.reportError));

    if (!outcome.error.isEmpty())
        err(outcome.error);
    if (outcome.sourceGone)
        err(QStringLiteral("the source stopped answering: %1 in a row could not be read at all, and a sector that "
                           "read before no longer reads; gave up")
                .arg(countText(kDeadClustersInARow, "span", "spans")));
    if (outcome.readsLeftBehind)
        err(QStringLiteral("%1 not answered within %2 s and left behind")
                .arg(countText(outcome.readsLeftBehind, "read was", "reads were"))
                .arg(o.readTimeoutMs / 1000.0));
    err(QStringLiteral("map: %1").arg(mapSummaryText(map)));
    if (named)
        err(QStringLiteral("%1 written, %2, %3")
                .arg(QDir::toNativeSeparators(o.outDir))
                .arg(countText(sectors * kSectorSize, "byte", "bytes"))
                .arg(countText(outcome.badSectors, "unreadable sector", "unreadable sectors")));
    else
        err(QStringLiteral("the image is not complete; %1")
                .arg(o.map.isEmpty() ? QStringLiteral("nothing was kept (give --map to be able to go on)")
                                     : QStringLiteral("run the same command again to go on from the map")));
    if (!outcome.sha256.isEmpty())
        out(QStringLiteral("%1  %2").arg(outcome.sha256, QFileInfo(o.outDir).fileName()));
    if (stopSignal()) {
        err(QStringLiteral("stopped by %1").arg(signalName(stopSignal())));
        return 128 + stopSignal();
    }
    return named && outcome.badSectors == 0 && !result.reportLost ? ExitDone : ExitLoss;
}

} // namespace cli
} // namespace korvath
