// The case report: a DFXML 1.2.0 document naming the source, every file
// written with where its bytes lie on the source and its SHA-256, every
// unreadable stretch, and every recording asked for that was not written.
#pragma once

#include "clock.h"
#include "export.h"
#include "libraryversion.h"
#include "layout.h"
#include "lossmap.h"
#include "sourcedescription.h"
#include "recordertime.h"
#include "scan.h"
#include "sectorread.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

namespace korvath {

// The map of an acquisition: bytes of the source in each state at the end.
struct MapRecord {
    QString path;
    uint64_t finished = 0, nonTried = 0, nonTrimmed = 0, nonScraped = 0, bad = 0;
};

// A file made from a native copy (an MP4, a still) rather than read from the source.
struct DerivedFrom {
    QString master; // the native copy's filename, as in the report
    QString method; // e.g. "remuxed to MP4"
    double frameRate = 0;
    uint64_t framesWritten = 0;
    uint64_t framesDropped = 0;
    QString masterHash; // the SHA-256 of the native copy the derived copy was made from
};

struct ReportFile {
    QString filename; // relative to the report's folder
    uint64_t filesize = 0;
    QString sha256;
    // Native copies only:
    std::vector<ByteRun> byteRuns;
    uint32_t channel = 0; // counted from 0, as the recorder stores it; written as the camera number (+1)
    RecorderTime start = 0;
    RecorderTime end = 0;
    uint32_t recordIndex = 0;
    uint64_t unreadableSectors = 0;
    std::optional<DerivedFrom> derived; // set: a derived file, no byte runs of its own
    // Footage no start record lists: "unlisted chain" or "carved fragment",
    // and the rule that found it. Empty for a listed recording.
    QString origin;
    QString originRule;
    bool recordless = false; // carved: no camera, no stamps
};

struct NotWritten {
    QString name;
    QString reason;
};

// Who handled the evidence and for what, as the examiner gave it.
struct CaseDetails {
    QString caseNumber;
    QString exhibit;
    QString examiner;
    QStringList notes;
    bool empty() const { return caseNumber.isEmpty() && exhibit.isEmpty() && examiner.isEmpty() && notes.isEmpty(); }
};

// A library the program was built with and the one it ran with, which may differ.

// Qt and OpenSSL, as this program was built and as it runs.
std::vector<LibraryVersion> coreLibraries();

struct CaseReport {
    QString program = QStringLiteral("korvath-cli");
    QString version = QStringLiteral(KORVATH_VERSION);
    std::vector<LibraryVersion> libraries = coreLibraries();
    CaseDetails caseDetails;
    QString type = QStringLiteral("Recorder recordings copied from a disk");
    std::optional<MapRecord> map; // the ddrescue map kept of this work
    QString commandLine;
    QDateTime startTime; // written in UTC
    QDateTime endTime;
    SourceDescription source;
    // The recorder's clock minus the true time, when it was given: each
    // recording's true times are written beside its stamps.
    std::optional<qint64> clockOffset;
    // How the offset was measured, when it was: one reading against a reference.
    std::optional<ClockObservation> clockObservation;
    std::vector<ReportFile> files;
    std::vector<NotWritten> notWritten;
    // Where the report goes: its files are named relative to its folder, so
    // that the folder can be moved and checked as a whole.
    QString folder;
    QString fileName(const QString &path) const;
};

// The arguments as one line a POSIX shell would split back into the same
// arguments: plain ones as they are, others in single quotes.
QString commandLineText(const QStringList &arguments);

constexpr const char *kDfxmlNamespace = "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML";
constexpr const char *kDublinCoreNamespace = "http://purl.org/dc/elements/1.1/";
constexpr const char *kKorvathNamespace = "urn:korvath:dfxml:1";

// The report as a document.
QByteArray dfxmlReportBytes(const CaseReport &report);

// Writes it as one output file (outputfile.h); on failure nothing is left and
// `error` says why. Replaces a file at `path`.
bool writeDfxmlReport(const CaseReport &report, const QString &path, QString *error);

// The readable page that goes beside a report: case.xml -> case.html.
QString caseHtmlPath(const QString &reportPath);
// Both: the DFXML document at `reportPath` and its readable page beside it,
// each whole or absent. False with the reason in *error.
bool writeCaseReports(const CaseReport &report, const QString &reportPath, QString *error);

// Reads a report this program wrote back into its model. Strict: a document
// that is not well formed, or lacks what a report holds (a file without its
// name, size or SHA-256, a number that is none), is refused, with `error`
// naming the line. Facts the model does not keep (the build environment,
// directory records) are passed over.
bool readDfxmlReport(const QString &path, CaseReport *report, QString *error);

} // namespace korvath
