// The case report as a page a person reads and prints: one self-contained
// HTML file (inline style, no script, nothing fetched) built from the same
// model as the DFXML document it goes beside.
#pragma once

#include <QString>

namespace korvath {

struct CaseReport;

QString caseReportHtml(const CaseReport &report);

// Through a temporary name renamed when complete: whole or absent. False
// with the reason in *error.
bool writeCaseHtml(const CaseReport &report, const QString &path, QString *error);

} // namespace korvath
