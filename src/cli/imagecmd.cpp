// korvath-cli image: the recorder's disk into a raw sparse image, the
// evidence first, with a ddrescue map to resume from.
#include "commands.h"

#include "acquire.h"
#include "casereport.h"
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
    const SectorSource &source = *listing.source;
    const uint64_t sectors = static_cast<uint64_t>(std::max<int64_t>(source.sectors(), 0));
    RescueMap map;
    bool resume = false;
    if (!openWorkMap(o, sectors * kSectorSize, &map, &resume))
        return ExitUsage;
    // The evidence first: sector 0 with the partition table, the directory,
    // then the listed recordings' clusters.
    std::vector<SectorRange> first{{0, std::min<uint64_t>(kClusterSectors, std::max<uint64_t>(listing.volumeStart + 1, 1))},
                                   {listing.directorySector, listing.directorySectors}};
    for (const Recording *r : orderedRecordings(listing))
        for (const uint32_t c : r->clusters)
            first.push_back({clusterSector(listing.info.data_offset, c), kClusterSectors});
    const std::vector<SectorRange> plan = evidenceOrder(sectors, first, !o.listedOnly);

    // Complete or absent: the image keeps a temporary name until every
    // sector planned is settled; with a map, that name is where a rerun goes on.
    const QString partial = partialPath(o.outDir);
    const bool finishedBefore = resume && QFileInfo(o.outDir).isFile() && !QFileInfo::exists(partial);
    const QString working = finishedBefore ? o.outDir : partial;
    // A link at the temporary name is never written through, not even to go on.
    const QFileInfo left(partial);
    if ((left.isSymLink() || (!resume && left.exists())) && !QFile::remove(partial)) {
        err(QStringLiteral("%1 is in the way and cannot be removed").arg(partial));
        return ExitLoss;
    }
    uint64_t total = 0;
    for (const SectorRange &r : plan)
        total += r.count * kSectorSize;
    Progress progress(total);
    ExportSettings settings;
    settings.readTimeoutMs = o.readTimeoutMs;
    settings.abandonRead = [] { return stopSignal() != 0; };
    settings.map = &map;
    settings.mapPath = o.map;
    settings.resume = resume;
    ImageHooks hooks;
    hooks.progress = [&](uint64_t done) { progress.update(done); };
    hooks.stopRequested = [] { return stopSignal() != 0; };
    CaseReport report = startCaseReport(jobRequest(o, opened, listing, directoryDigest));
    report.type = QStringLiteral("Raw image of a recorder disk");
    std::vector<ReadAlready> readAlready;
    if (directory.allocated && directory.bytes.size() >= directory.sectorsWanted * kSectorSize)
        readAlready.push_back({directory.directorySector, directory.bytes.data(), directory.sectorsWanted, directory.unreadable});
    const ImageOutcome outcome = acquireImage(source, plan, working, settings, hooks, readAlready);
    progress.finish();

    bool named = outcome.error.isEmpty() && outcome.complete;
    if (!named && o.listedOnly && outcome.error.isEmpty() && !outcome.cancelled && !outcome.sourceGone) {
        named = true;
        for (const SectorRange &r : plan)
            named = named && map.all(r.first * kSectorSize, r.count * kSectorSize, "+-");
    }
    if (named && working != o.outDir) {
        // On the disk, then its name in one step, as every output.
        OutputFile image(o.outDir);
        if (!image.openToContinue() || !image.commit()) {
            err(QStringLiteral("the image could not be named %1: %2").arg(o.outDir, image.errorString()));
            image.keep(); // removed below unless a map can go on from it
            named = false;
        }
    }
    if (!named && o.map.isEmpty())
        QFile::remove(working); // nothing to go on from: complete or absent
    const QString why = outcome.cancelled ? QStringLiteral("stopped by %1").arg(signalName(stopSignal()))
                        : outcome.sourceGone ? QStringLiteral("the source stopped answering")
                                             : outcome.error;
    reportImage(report, o.outDir, sectors * kSectorSize, outcome.sha256, outcome.badSectors, named, why, &map, o.map);
    QString error;
    const bool reportLost = !finishCaseReport(report, o.report, &error);
    if (reportLost)
        err(QStringLiteral("the report %1 could not be written: %2").arg(QDir::toNativeSeparators(o.report), error));

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
    return named && outcome.badSectors == 0 && !reportLost ? ExitDone : ExitLoss;
}

} // namespace cli
} // namespace korvath
