#include "caseimage.h"

#include "casereport.h"
#include "outputfile.h"

#include <QFile>
#include <QFileInfo>

namespace korvath {

namespace {

std::vector<SectorRange> evidencePlan(const ImageRequest &q)
{
    const Listing &listing = q.job.listing;
    const uint64_t sectors = static_cast<uint64_t>(std::max<int64_t>(listing.source->sectors(), 0));
    std::vector<SectorRange> first{{0, std::min<uint64_t>(kClusterSectors, std::max<uint64_t>(listing.volumeStart + 1, 1))},
                                   {listing.directorySector, listing.directorySectors}};
    for (const Recording *r : orderedRecordings(listing))
        for (const uint32_t c : r->clusters)
            first.push_back({clusterSector(listing.info.data_offset, c), kClusterSectors});
    return evidenceOrder(sectors, first, !q.listedOnly);
}

} // namespace

uint64_t imagePlanBytes(const ImageRequest &request)
{
    uint64_t total = 0;
    for (const SectorRange &r : evidencePlan(request))
        total += r.count * kSectorSize;
    return total;
}

ImageResult acquireCaseImage(ImageRequest &q, const ImageHooks &hooks, const std::function<bool()> &abandonRead,
                             const std::function<QString()> &stoppedBy)
{
    ImageResult result;
    const SectorSource &source = *q.job.listing.source;
    RescueMap &map = q.job.map;
    const QString &out = q.imagePath;
    result.sizeBytes = static_cast<uint64_t>(std::max<int64_t>(source.sectors(), 0)) * kSectorSize;
    const std::vector<SectorRange> plan = evidencePlan(q);

    // Complete or absent: the image keeps a temporary name until every
    // sector planned is settled; with a map, that name is where a rerun goes on.
    const QString partial = partialPath(out);
    const bool finishedBefore = q.job.resume && QFileInfo(out).isFile() && !QFileInfo::exists(partial);
    const QString working = finishedBefore ? out : partial;
    // A link at the temporary name is never written through, not even to go on.
    const QFileInfo left(partial);
    if ((left.isSymLink() || (!q.job.resume && left.exists())) && !QFile::remove(partial)) {
        result.blocked = QStringLiteral("%1 is in the way and cannot be removed").arg(partial);
        return result;
    }
    ExportSettings settings;
    settings.readTimeoutMs = q.job.readTimeoutMs;
    settings.abandonRead = abandonRead;
    settings.sourceOwner = q.job.listing.source;
    settings.map = &map;
    settings.mapPath = q.job.mapPath;
    settings.resume = q.job.resume;
    CaseReport report = startCaseReport(q.job);
    report.type = QStringLiteral("Raw image of a recorder disk");
    std::vector<ReadAlready> readAlready;
    const DirectoryRead &directory = q.directory;
    if (directory.allocated && directory.bytes.size() >= directory.sectorsWanted * kSectorSize)
        readAlready.push_back({directory.directorySector, directory.bytes.data(), directory.sectorsWanted, directory.unreadable});
    const ImageOutcome &outcome = result.acquired = acquireImage(source, plan, working, settings, hooks, readAlready);

    bool named = outcome.error.isEmpty() && outcome.complete;
    if (!named && q.listedOnly && outcome.error.isEmpty() && !outcome.cancelled && !outcome.sourceGone) {
        named = true;
        for (const SectorRange &r : plan)
            named = named && map.all(r.first * kSectorSize, r.count * kSectorSize, "+-");
    }
    if (named && working != out) {
        // On the disk, then its name in one step, as every output.
        OutputFile image(out);
        if (!image.openToContinue() || !image.commit()) {
            result.namingError = QStringLiteral("the image could not be named %1: %2").arg(out, image.errorString());
            image.keep(); // removed below unless a map can go on from it
            named = false;
        }
    }
    if (!named && q.job.mapPath.isEmpty())
        QFile::remove(working); // nothing to go on from: complete or absent
    result.named = named;
    const QString why = outcome.cancelled ? QStringLiteral("stopped by %1").arg(stoppedBy())
                        : outcome.sourceGone ? QStringLiteral("the source stopped answering")
                                             : outcome.error;
    reportImage(report, out, result.sizeBytes, outcome.sha256, outcome.badSectors, named, why, &map, q.job.mapPath);
    result.reportLost = !finishCaseReport(report, q.job.reportPath, &result.reportError);
    return result;
}

} // namespace korvath
