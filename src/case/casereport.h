// The case report of a job (DFXML and its page), filled as the job goes.
#pragma once

#include "casejob.h"
#include "dfxmlreport.h"

namespace korvath {

// The report's head: the source as described, the clock, the case, the program.
CaseReport startCaseReport(const JobRequest &request);
// A recording tried: its file with the runs of its loss map, or why it was not written.
void reportRecording(CaseReport &report, const Recording &recording, const RecordingExport &e, const QString &sha256);

} // namespace korvath
