// Playable copies (export --mp4): an MP4 beside each exported native copy,
// in CAM<n>/playable/, labelled with the native copy's name and hash.
#pragma once

#include "dfxmlreport.h"
#include "export.h"
#include "options.h"
#include "scan.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace korvath {
namespace cli {

// DIR/CAM<n>/playable/<name without .h264>.mp4
QString playablePath(const QString &outDir, const Recording &r);
// The MP4s an export --mp4 would write that exist already.
QStringList existingPlayableTargets(const QString &outDir, const QList<ExportEntry> &entries);

// Names the video libraries in a report whose export makes playable copies.
void addPlayableLibraries(CaseReport &report);

// Makes the playable copy of a written native copy whose SHA-256 is
// masterSha256, saying on stderr what it holds; with `sha256`, its hash line
// on stdout. False when no MP4 was made (the reason is on stderr).
// With a report, the copy goes into it as a file derived from its native copy
// (or, when none was made, as not written).
bool writePlayableCopy(const RecordingExport &e, const Recording &r, uint32_t dataOffset, const QString &outDir,
                       const QString &masterSha256, bool sha256, CaseReport *report = nullptr);

} // namespace cli
} // namespace korvath
