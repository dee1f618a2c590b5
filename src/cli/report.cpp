// The case report of an export: what was read from where, what was written,
// with which hash, and what was lost or not written.
#include "commands.h"

#include "dfxmlreport.h"
#include "driveidentity.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace korvath {
namespace cli {

namespace {

// The lost sectors of each cluster of the list, as the report's runs want them.
std::vector<UnreadableSectors> unreadableByPosition(uint32_t dataOffset, const ClusterList &clusters,
                                                    const std::vector<SectorRange> &lost)
{
    std::vector<UnreadableSectors> out;
    if (lost.empty())
        return out;
    for (int k = 0; k < clusters.size(); ++k) {
        const uint64_t first = clusterSector(dataOffset, clusters[k]);
        const uint64_t end = first + kClusterSectors;
        for (const SectorRange &r : lost) {
            const uint64_t from = std::max(first, r.first), to = std::min(end, r.first + r.count);
            if (from < to)
                out.push_back({static_cast<size_t>(k), static_cast<uint32_t>(from - first), static_cast<uint32_t>(to - from)});
        }
    }
    return out;
}

// What found footage no start record lists, said beside it.
void labelOrigin(ReportFile &f, const Recording &rec)
{
    if (rec.origin == RecordingOrigin::Unlisted) {
        f.origin = QStringLiteral("unlisted chain");
        f.originRule = QStringLiteral("records with a flag that no walk from a start record reaches, followed by "
                                      "their links while the chain id holds (chain id %1%2)")
                           .arg(rec.chainId)
                           .arg(rec.timesKnown ? QString() : QStringLiteral("; its stamps are implausible, times unknown"));
    } else if (rec.origin == RecordingOrigin::Carved) {
        f.origin = QStringLiteral("carved fragment");
        f.recordless = true;
        f.originRule = QStringLiteral("adjacent clusters with empty records that no walk reaches, each holding H.264 "
                                      "parameter sets and slices, their frame numbers going on from one to the next");
    }
}

} // namespace

CaseReport startReport(const Listing &listing, const OpenedSource &opened, const QString &directorySha256,
                       const Options &o)
{
    CaseReport report;
    report.clockOffset = o.clockOffset;
    report.clockObservation = o.clockObservation;
    report.caseDetails = o.caseDetails;
    report.folder = QFileInfo(o.report).absolutePath();
    report.commandLine = commandLineText(QCoreApplication::arguments());
    report.startTime = QDateTime::currentDateTimeUtc();
    ReportSource &s = report.source;
    s.givenPath = opened.given;
    s.devicePath = opened.devicePath;
    s.blockDevice = opened.blockDevice;
    if (opened.blockDevice) {
        const DriveIdentity id = driveIdentity(opened.devicePath);
        s.vendor = id.vendor;
        s.model = id.model;
        s.serial = id.serial;
        s.backingFile = id.backingFile;
    }
    s.sectors = static_cast<uint64_t>(std::max<int64_t>(listing.source->sectors(), 0));
    s.sizeBytes = s.sectors * kSectorSize;
    s.imageFormat = opened.kind;
    s.recorderSignature = listing.signature;
    s.sector0Read = listing.sector0Read;
    s.partitionStart = listing.volumeStart;
    s.layout = listing.info;
    s.directoryUnreadable = listing.directoryUnreadable;
    s.directorySha256 = directorySha256;
    for (const auto &h : opened.imageHashes)
        s.imageHashes.push_back({h.first, h.second});
    if (!opened.imageMap.isEmpty()) {
        s.imageMap = opened.imageMap;
        if (const auto *mapped = dynamic_cast<const MappedImageSource *>(listing.source.get()))
            s.imageMapSummary = mapSummaryText(mapped->map());
    }
    return report;
}

void reportRecording(CaseReport &report, const Listing &listing, const RecordingExport &e,
                     const QString &sha256)
{
    const Recording rec = listing.recordings.value(e.name);
    if (!e.written()) {
        report.notWritten.push_back({e.name, e.error.isEmpty() ? QStringLiteral("not written") : e.error});
        return;
    }
    ReportFile f;
    f.filename = report.fileName(e.path);
    f.filesize = e.bytesWritten;
    f.sha256 = sha256;
    f.byteRuns = buildByteRuns(listing.info.data_offset, rec.clusters,
                               unreadableByPosition(listing.info.data_offset, rec.clusters, e.unreadableRanges));
    f.channel = rec.channel;
    f.start = rec.startTime;
    f.end = rec.endTime;
    f.recordIndex = rec.recordIndex;
    f.unreadableSectors = e.unreadableSectors;
    labelOrigin(f, rec);
    report.files.push_back(f);
}

bool finishReport(CaseReport &report, const Options &o, const QStringList &notReached, const QString &why)
{
    for (const QString &name : notReached)
        report.notWritten.push_back({name, why});
    report.endTime = QDateTime::currentDateTimeUtc();
    QString error;
    if (writeCaseReports(report, o.report, &error))
        return true;
    err(QStringLiteral("the report %1 could not be written: %2").arg(QDir::toNativeSeparators(o.report), error));
    return false;
}

} // namespace cli
} // namespace korvath
