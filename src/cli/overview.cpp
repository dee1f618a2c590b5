// korvath-cli overview: the listing of every channel as one HTML page, with a
// small preview of each recording when asked and the video library is built in.
#include "commands.h"

#include "clock.h"
#include "casepreview.h"
#include "export.h"
#include "overview.h"

#include "videomodule.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <vector>

namespace korvath {
namespace cli {

namespace {

// One small contact sheet per recording, read through the listing's source,
// kept in memory for the page. Returns how many recordings got none; a stop
// ends it early.
int addPreviews(const Listing &listing, int frames, OverviewInput *in)
{
    int missing = 0;
    for (const Recording &r : in->recordings) {
        if (stopSignal())
            break;
        const RecordingPreview p = previewRecording(listing, r, frames, 96, [] { return stopSignal() != 0; });
        if (p.result.ok)
            in->previews.insert(r.name, p.result.png);
        else
            ++missing;
    }
    return missing;
}

} // namespace

int runOverview(const Listing &listing, const Options &o, const CaseSource &opened, bool lost)
{
    OverviewInput in;
    in.source = opened.description;
    describeListing(in.source, listing, QString());
    if (!listing.sector0Read)
        in.notes << QStringLiteral("sector 0 could not be read: the partition start and the directory's place "
                                          "are unknown, so no recording is shown");
    if (const uint64_t bad = listing.directoryUnreadableSectors())
        in.notes << QStringLiteral("%1 of the directory's %2 could not be read; recordings described there "
                                          "are not shown")
                               .arg(bad)
                               .arg(countText(listing.directorySectors, "sector", "sectors"));
    if (listing.scan.bounded)
        in.notes << QStringLiteral("the directory links more clusters than the disk holds; listing stopped at "
                                          "record %1, the page is incomplete")
                               .arg(listing.scan.stoppedAtRecord);
    in.from = o.from;
    in.to = o.to;
    in.clockOffset = o.clockOffset;
    if (o.clockObservation)
        in.notes << QStringLiteral("clock offset measured: the recorder showed %1 when the true time was %2")
                               .arg(secondsText(o.clockObservation->recorder), secondsText(o.clockObservation->trueTime));
    in.generated = QStringLiteral("Written by korvath-cli %1 on %2 UTC.")
                       .arg(QStringLiteral(KORVATH_VERSION),
                            QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    in.recordings.reserve(listing.recordings.size());
    uint64_t renamed = 0;
    for (const Recording *r : orderedRecordings(listing)) {
        in.recordings.append(*r);
        renamed += r->name != recordingFileName(r->startTime, r->endTime, r->channel);
    }
    if (renamed)
        in.notes << QStringLiteral("%1 the name of a later recording (the same channel and times): shown "
                                          "with the first cluster in the name")
                               .arg(countText(renamed, "recording shares", "recordings share"));
    ScanQuery any = listing.query;
    any.allChannels = true;
    for (const Recording &r : unlistedMatching(listing.unlisted, any))
        in.unlisted.append(r);
    in.clusterCount = static_cast<uint64_t>(listing.info.dir_size) * kRecordsPerSector;
    if (o.carved && !listing.unlistedBounded) {
        catchStopSignals();
        bool stopped = false;
        for (const Fragment &f : findFragments(listing, &stopped))
            in.carved.append(videoModule(nullptr)->fragmentRecording(f));
        if (stopped) {
            err(QStringLiteral("stopped by %1; no page was written").arg(signalName(stopSignal())));
            return 128 + stopSignal();
        }
    }

    if (o.frames > 0) {
        if (const int missing = addPreviews(listing, o.frames, &in))
            in.notes << QStringLiteral("%1 without a preview: no picture could be decoded from their clusters")
                                   .arg(countText(static_cast<uint64_t>(missing), "recording", "recordings"));
    }
    if (stopSignal()) {
        err(QStringLiteral("stopped by %1; the page was not written").arg(signalName(stopSignal())));
        return 128 + stopSignal();
    }
    if (listing.empty() && listing.sector0Read)
        err(noMatchText(o));

    QString problem;
    if (!writeOverviewHtml(in, o.outDir, &problem)) {
        err(QStringLiteral("the page %1 could not be written: %2").arg(QDir::toNativeSeparators(o.outDir), problem));
        return ExitLoss;
    }
    QSet<uint32_t> channels;
    for (const Recording &r : in.recordings)
        channels.insert(r.channel);
    err(QStringLiteral("%1 of %2 written to %3")
            .arg(countText(static_cast<uint64_t>(in.recordings.size()), "recording", "recordings"),
                 countText(static_cast<uint64_t>(channels.size()), "channel", "channels"),
                 QDir::toNativeSeparators(o.outDir)));
    if (!in.unlisted.isEmpty() || !in.carved.isEmpty())
        err(QStringLiteral("and %1, %2").arg(countText(static_cast<uint64_t>(in.unlisted.size()), "unlisted recording", "unlisted recordings"),
                                            countText(static_cast<uint64_t>(in.carved.size()), "carved fragment", "carved fragments")));
    return lost ? ExitLoss : ExitDone;
}

} // namespace cli
} // namespace korvath
