// Playable copies: an MP4 beside each exported native copy, in
// CAM<n>/playable/, labelled with the native copy's name and hash.
#pragma once

#include "casejob.h"
#include "dfxmlreport.h"
#include "export.h"

#include <QString>
#include <functional>

namespace korvath {

// FOLDER/CAM<n>/playable/<name without .h264>.mp4
QString playablePath(const QString &folder, const Recording &r);

// Names the video libraries in a report whose job makes playable copies.
void addPlayableLibraries(CaseReport &report);

struct PlayableRequest {
    QString folder;
    QString masterSha256;              // of the native copy, for the label
    bool hash = false;                 // the MP4's SHA-256, taken as it is written
    std::function<bool()> stop;        // true: nothing is written
    std::function<QString()> stoppedBy; // what stopped it, for the message
};

// Makes the playable copy of a written native copy from its bytes on the
// source, read through the copy's loss map (never from the copy); says what it holds (a
// DerivedCopy event) or why there is none (a Problem). With a report, the
// copy goes into it as a file derived from its native copy (or, when none
// was made, as not written). False when no MP4 was made.
bool makePlayableCopy(const SectorSource &source, const RecordingExport &e, const Recording &r, const PlayableRequest &p,
                      const std::function<void(const JobEvent &)> &notify, CaseReport *report);

} // namespace korvath
