// The case report of a job (DFXML and its page), filled as the job goes.
#pragma once

#include "casejob.h"
#include "dfxmlreport.h"
#include "rescuemap.h"

namespace korvath {

// The report's head: the source as described, the clock, the case, the program.
CaseReport startCaseReport(const JobRequest &request);
// A recording tried: its file with the runs of its loss map, or why it was not written.
void reportRecording(CaseReport &report, const Recording &recording, const RecordingExport &e, const QString &sha256);

// A raw image made of the source: the file once it has its name, else why
// it has none; with a map, the map of the work at its end.
void reportImage(CaseReport &report, const QString &imagePath, uint64_t sizeBytes, const QString &sha256,
                 uint64_t badSectors, bool named, const QString &why, const RescueMap *map, const QString &mapPath);
// Stamps the end and writes the report and its page; false, with `error`, when they could not be written.
bool finishCaseReport(CaseReport &report, const QString &path, QString *error);

} // namespace korvath
