#include "casereport.h"

#include <QDateTime>
#include <QFileInfo>

namespace korvath {

namespace {

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

CaseReport startCaseReport(const JobRequest &request)
{
    CaseReport report;
    report.program = request.program;
    report.clockOffset = request.clockOffset;
    report.clockObservation = request.clockObservation;
    report.caseDetails = request.caseDetails;
    report.folder = QFileInfo(request.reportPath).absolutePath();
    report.commandLine = request.commandLine;
    report.startTime = QDateTime::currentDateTimeUtc();
    report.source = request.source.description;
    describeListing(report.source, request.listing, request.directoryDigest);
    return report;
}

void reportRecording(CaseReport &report, const Recording &rec, const RecordingExport &e, const QString &sha256)
{
    if (!e.written()) {
        report.notWritten.push_back({e.name, e.error.isEmpty() ? QStringLiteral("not written") : e.error});
        return;
    }
    ReportFile f;
    f.filename = report.fileName(e.path);
    f.filesize = e.bytesWritten;
    f.sha256 = sha256;
    f.byteRuns = e.lossMap;
    f.channel = rec.channel;
    f.start = rec.startTime;
    f.end = rec.endTime;
    f.recordIndex = rec.recordIndex;
    f.unreadableSectors = e.unreadableSectors;
    labelOrigin(f, rec);
    report.files.push_back(f);
}

void reportImage(CaseReport &report, const QString &imagePath, uint64_t sizeBytes, const QString &sha256,
                 uint64_t badSectors, bool named, const QString &why, const RescueMap *map, const QString &mapPath)
{
    ReportFile f;
    f.filename = report.fileName(imagePath); // relative to the report's folder, as every file it names
    f.filesize = sizeBytes;
    f.sha256 = sha256;
    f.unreadableSectors = badSectors;
    if (named)
        report.files.push_back(f);
    else
        report.notWritten.push_back({f.filename, why});
    if (map && !mapPath.isEmpty()) {
        MapRecord m;
        m.path = report.fileName(mapPath);
        m.finished = map->bytesWith(mapstatus::kFinished);
        m.nonTried = map->bytesWith(mapstatus::kNonTried);
        m.nonTrimmed = map->bytesWith(mapstatus::kNonTrimmed);
        m.nonScraped = map->bytesWith(mapstatus::kNonScraped);
        m.bad = map->bytesWith(mapstatus::kBad);
        report.map = m;
    }
}

bool finishCaseReport(CaseReport &report, const QString &path, QString *error)
{
    report.endTime = QDateTime::currentDateTimeUtc();
    return writeCaseReports(report, path, error);
}

} // namespace korvath
