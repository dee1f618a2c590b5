// Showing later that the files of a case report are still the ones written:
// each re-hashed where the report says it is, and, given the source, each
// native copy's bytes read back from where the report says they lie on it.
#pragma once

#include "dfxmlreport.h"
#include "source.h"

#include <QString>
#include <optional>
#include <vector>

namespace korvath {

enum class FileState { Ok, Changed, Missing };
const char *fileStateText(FileState state); // "OK", "CHANGED", "MISSING"

// A native copy's byte runs read back from a source and hashed as the file
// was: zeros where the report says the source could not be read.
struct SourceCheck {
    QString sha256;                 // of the bytes read back; empty when they could not be gathered
    uint64_t unreadableSectors = 0; // now, among the runs that were read at the time
    QString problem;                // why the runs could not be followed
    bool matches = false;
};

struct FileVerdict {
    QString filename;
    FileState state = FileState::Missing;
    QString sha256; // of the file as it is now; empty when it is missing
    std::optional<SourceCheck> source; // native copies, when a source was given
    // Derived copies: the native copy they were made from, as it stands now.
    QString parent;
    std::optional<FileState> parentState; // none: the report does not name it among its files
    bool parentHashAgrees = true;         // the hash the copy was made from is the one recorded for its parent
    bool parentSourceMatches = true;
    bool ok() const;
};

// The SHA-256 of a file's bytes; empty when it cannot be read (*exists
// false when there is no such file).
QString fileSha256(const QString &path, bool *exists = nullptr);

SourceCheck checkAgainstSource(const ReportFile &file, const SectorSource &source);

// Every file of the report, in its order, relative to `folder`.
std::vector<FileVerdict> verifyCaseReport(const CaseReport &report, const QString &folder,
                                          const SectorSource *source = nullptr);

} // namespace korvath
