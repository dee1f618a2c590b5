// korvath-cli overview: the listing of every channel as one HTML page, with a
// small preview of each recording when asked and the video library is built in.
#include "commands.h"

#ifdef KORVATH_HAVE_VIDEO
#include "carve.h"
#endif

#include "driveidentity.h"
#include "export.h"
#include "overview.h"
#include "sectorread.h"

#ifdef KORVATH_CLI_PREVIEWS
#include "preview.h"
#endif

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <vector>

namespace korvath {
namespace cli {

bool previewsBuiltIn()
{
#ifdef KORVATH_CLI_PREVIEWS
    return true;
#else
    return false;
#endif
}

namespace {

QString deviceText(const QString &path)
{
    if (!path.startsWith(QLatin1String("/dev/")))
        return {};
    const DriveIdentity id = driveIdentity(path);
    QStringList parts;
    const QString model = (id.vendor.isEmpty() || id.model.startsWith(id.vendor)) ? id.model
                                                                                 : id.vendor + QLatin1Char(' ') + id.model;
    if (!model.isEmpty())
        parts << model;
    if (!id.serial.isEmpty())
        parts << QStringLiteral("serial %1").arg(id.serial);
    if (!id.backingFile.isEmpty())
        parts << QStringLiteral("backed by %1").arg(id.backingFile);
    return parts.join(QStringLiteral(", "));
}

#ifdef KORVATH_CLI_PREVIEWS
// One small contact sheet per recording, read through the listing's source;
// the PNG goes through a temporary folder and only its bytes into the page.
// Returns how many recordings got none.
int addPreviews(const Listing &listing, int frames, OverviewInput *in)
{
    QTemporaryDir dir;
    if (!dir.isValid()) {
        err(QStringLiteral("no temporary folder for the previews: %1").arg(dir.errorString()));
        return in->recordings.size();
    }
    int missing = 0;
    const QString png = dir.filePath(QStringLiteral("preview.png"));
    for (const Recording &r : in->recordings) {
        const ClusterReader read = [&](uint32_t index, uint8_t *buffer) {
            if (index >= static_cast<uint32_t>(r.clusters.size()))
                return false;
            return readCluster(*listing.source, clusterSector(listing.info.data_offset, r.clusters[index]), buffer) == 0;
        };
        PreviewOptions options;
        options.clusterCount = static_cast<uint32_t>(r.clusters.size());
        options.start = r.startTime;
        options.end = r.endTime;
        options.frames = frames;
        options.maxTileWidth = 96;
        options.recordingName = r.name;
        const PreviewResult result = writePreview(read, options, png);
        QFile file(png);
        if (!result.ok || !file.open(QIODevice::ReadOnly)) {
            ++missing;
            continue;
        }
        in->previews.insert(r.name, file.readAll());
        file.close();
        file.remove();
    }
    return missing;
}
#endif

} // namespace

int runOverview(const Listing &listing, const Options &o, bool lost)
{
    OverviewInput in;
    in.source.path = o.source;
    const QString device = QString::fromStdString(listing.source->path());
    in.source.device = deviceText(device);
    if (device != o.source && !device.isEmpty())
        in.source.device = in.source.device.isEmpty() ? device : device + QStringLiteral(", ") + in.source.device;
    in.source.sizeBytes = static_cast<quint64>(listing.info.totalSec) * kSectorSize;
    in.source.hasLayout = listing.info.totalSec > 0;
    in.source.layout = listing.info;
    in.source.signatureFound = listing.signature;
    if (const uint64_t bad = listing.directoryUnreadableSectors())
        in.source.notes << QStringLiteral("%1 of the directory's %2 could not be read; recordings described there "
                                          "are not shown")
                               .arg(bad)
                               .arg(countText(listing.directorySectors, "sector", "sectors"));
    if (listing.scan.bounded)
        in.source.notes << QStringLiteral("the directory links more clusters than the disk holds; listing stopped at "
                                          "record %1, the page is incomplete")
                               .arg(listing.scan.stoppedAtRecord);
    in.from = o.from;
    in.to = o.to;
    in.clockOffset = o.clockOffset;
    in.generated = QStringLiteral("Written by korvath-cli %1 on %2 UTC.")
                       .arg(QStringLiteral(KORVATH_VERSION),
                            QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    in.recordings.reserve(listing.recordings.size());
    for (const Recording *r : orderedRecordings(listing))
        in.recordings.append(*r);
    ScanQuery any = listing.query;
    any.allChannels = true;
    for (const Recording &r : unlistedMatching(listing.unlisted, any))
        in.unlisted.append(r);
    in.clusterCount = static_cast<uint64_t>(listing.info.dir_size) * kRecordsPerSector;
#ifdef KORVATH_HAVE_VIDEO
    if (o.carved && !listing.unlistedBounded) {
        catchStopSignals();
        bool stopped = false;
        for (const Fragment &f : findFragments(listing, &stopped))
            in.carved.append(fragmentRecording(f));
        if (stopped) {
            err(QStringLiteral("stopped by %1; no page was written").arg(signalName(stopSignal())));
            return 128 + stopSignal();
        }
    }
#endif

    if (o.frames > 0) {
#ifdef KORVATH_CLI_PREVIEWS
        if (const int missing = addPreviews(listing, o.frames, &in))
            in.source.notes << QStringLiteral("%1 without a preview: no picture could be decoded from their clusters")
                                   .arg(countText(static_cast<uint64_t>(missing), "recording", "recordings"));
#endif
    }
    if (listing.empty())
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
