// korvath-cli preview: contact sheets straight from the source, nothing exported.
#include "commands.h"

#include "export.h"
#include "casepreview.h"
#include "outputfile.h"

#include <QDir>
#include <QFileInfo>
#include <cstdio>

namespace korvath {
namespace cli {

int runPreview(const Listing &listing, const Options &o, const QList<const Recording *> &ordered,
               const CaseSource &opened)
{
    QList<const Recording *> chosen;
    for (const Recording *r : ordered)
        if (o.names.isEmpty() || o.names.contains(r->name))
            chosen.append(r);
    if (chosen.isEmpty()) {
        err(noMatchText(o));
        return ExitDone;
    }
    const bool onePicture = previewIsOnePicture(o);
    if (onePicture && chosen.size() != 1) {
        err(QStringLiteral("--out %1 is one picture, but %2 are listed: give a folder, or one --name")
                .arg(o.outDir, countText(static_cast<uint64_t>(chosen.size()), "recording", "recordings")));
        return ExitUsage;
    }
    const QString clash = outputClash(o, opened, chosen);
    if (!clash.isEmpty()) {
        err(clash);
        return ExitUsage;
    }
    QStringList paths;
    for (const Recording *r : chosen)
        paths << previewPath(o, *r);
    if (!o.overwrite) {
        QStringList existing;
        for (const QString &p : paths)
            if (QFileInfo(p).exists() || QFileInfo(p).isSymLink())
                existing << p;
        if (!existing.isEmpty()) {
            err(QStringLiteral("%1 exists already (%2 of the pictures to write exist); nothing was written; "
                               "give --overwrite to replace them")
                    .arg(QDir::toNativeSeparators(QDir::cleanPath(existing.first())))
                    .arg(existing.size()));
            return ExitUsage;
        }
    }

    int failures = 0;
    for (int i = 0; i < chosen.size() && !stopSignal(); ++i) {
        const Recording &r = *chosen[i];
        const QString shown = QDir::toNativeSeparators(QDir::cleanPath(paths[i]));
        const QString folder = QFileInfo(paths[i]).absolutePath();
        const QString why = onePicture ? QString() : makeRecordingFolder(o.outDir, r);
        if (!why.isEmpty()) {
            err(QStringLiteral("%1: no preview: the folder %2 could not be created: %3")
                    .arg(r.name, QDir::toNativeSeparators(folder), why));
            ++failures;
            continue;
        }
        const RecordingPreview preview =
            previewRecording(listing, r, o.frames, PreviewOptions().maxTileWidth, [] { return stopSignal() != 0; }, paths[i]);
        const PreviewResult &result = preview.result;
        const int unreadable = preview.unreadableClusters;
        if (stopSignal())
            break;
        if (unreadable)
            err(QStringLiteral("%1: %2 could not be read whole and %3 not used for the preview")
                    .arg(r.name, countText(static_cast<uint64_t>(unreadable), "cluster", "clusters"),
                         unreadable == 1 ? QStringLiteral("was") : QStringLiteral("were")));
        if (!result.ok) {
            // The recording is named once.
            const QString why = result.error.startsWith(r.name + QStringLiteral(": ")) ? result.error.mid(r.name.size() + 2)
                                                                                     : result.error;
            err(QStringLiteral("%1: no preview: %2").arg(r.name, why));
            ++failures;
            continue;
        }
        int found = 0;
        for (size_t k = 0; k < result.tiles.size(); ++k) {
            const PreviewTile &t = result.tiles[k];
            found += t.found ? 1 : 0;
            if (!t.found)
                err(QStringLiteral("%1: frame %2 of %3 (cluster %4 of the recording): no picture: %5")
                        .arg(r.name)
                        .arg(k + 1)
                        .arg(result.tiles.size())
                        .arg(t.cluster)
                        .arg(t.missing));
        }
        out(QStringLiteral("%1: %2 of %3 frames, %4 of %5 read")
                .arg(shown)
                .arg(found)
                .arg(o.frames)
                .arg(result.clustersRead)
                .arg(countText(static_cast<uint64_t>(r.clusters.size()), "cluster", "clusters")));
        flushOut();
    }
    if (stopSignal()) {
        err(QStringLiteral("stopped by %1").arg(signalName(stopSignal())));
        return 128 + stopSignal();
    }
    return failures ? ExitLoss : ExitDone;
}

} // namespace cli
} // namespace korvath
