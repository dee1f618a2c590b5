// korvath-cli carve: H.264 in the clusters no record claims, written as an
// export writes; and the same fragments for preview --carved.
#include "commands.h"

#include "progress.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

#include "videomodule.h"

namespace korvath {
namespace cli {

std::vector<Fragment> findFragments(const Listing &listing, bool *stopped)
{
    const VideoModule &video = *videoModule(nullptr);
    const std::vector<uint32_t> candidates = video.carveCandidates(listing.info, listing.claimed);
    Progress progress(static_cast<uint64_t>(candidates.size()) * kClusterBytes);
    CarveHooks hooks;
    hooks.progress = [&](uint64_t done, uint64_t) { progress.update(done * kClusterBytes); };
    hooks.stopRequested = [] { return stopSignal() != 0; };
    const CarveOutcome outcome = video.carveClusters(*listing.source, listing.info.data_offset, candidates, hooks);
    progress.finish();
    *stopped = outcome.stopped;
    err(QStringLiteral("carve: %1 no record claims, %2 examined (%3 read), %4 held H.264, %5")
            .arg(countText(candidates.size(), "cluster", "clusters"))
            .arg(outcome.examined)
            .arg(countText(outcome.bytesRead, "byte", "bytes"))
            .arg(outcome.video)
            .arg(countText(outcome.fragments.size(), "fragment", "fragments")));
    if (outcome.unreadableSectors)
        err(QStringLiteral("carve: %1 could not be read and were taken as zeros while deciding")
                .arg(countText(outcome.unreadableSectors, "sector", "sectors")));
    return outcome.fragments;
}

int runCarve(Listing &listing, const Options &o, const CaseSource &opened, const QString &directoryDigest)
{
    if (listing.unlistedBounded)
        return ExitLoss; // which clusters are claimed is not known
    bool stopped = false;
    const std::vector<Fragment> fragments = findFragments(listing, &stopped);
    if (stopped) {
        err(QStringLiteral("stopped by %1; nothing was written").arg(signalName(stopSignal())));
        return 128 + stopSignal();
    }
    const VideoModule &video = *videoModule(nullptr);
    listing.recordings.clear();
    for (const Fragment &f : fragments) {
        const Recording r = video.fragmentRecording(f);
        listing.recordings.insert(r.name, r);
    }
    if (fragments.empty()) {
        err(QStringLiteral("no H.264 found in the clusters no record claims"));
        if (o.json)
            outText(QByteArrayLiteral("[]\n"));
        return ExitDone;
    }
    if (o.command == Command::Preview)
        return runPreview(listing, o, orderedRecordings(listing), opened);
    QJsonArray array;
    for (const Fragment &f : fragments) {
        const QString path = QStringLiteral("carved/") + video.fragmentRecording(f).name;
        if (o.json)
            array.append(QJsonObject{{QStringLiteral("first_cluster"), static_cast<qint64>(f.firstCluster)},
                                     {QStringLiteral("clusters"), static_cast<qint64>(f.clusters)},
                                     {QStringLiteral("frames"), f.frames},
                                     {QStringLiteral("width"), f.width},
                                     {QStringLiteral("height"), f.height},
                                     {QStringLiteral("path"), path}});
        else
            out(QStringLiteral("%1\t%2\t%3\t%4x%5\t%6")
                    .arg(f.firstCluster)
                    .arg(f.clusters)
                    .arg(f.frames)
                    .arg(f.width)
                    .arg(f.height)
                    .arg(path));
    }
    if (o.json)
        outText(QJsonDocument(array).toJson(QJsonDocument::Indented));
    flushOut();
    return runExport(listing, o, orderedRecordings(listing), opened, directoryDigest);
}

} // namespace cli
} // namespace korvath
