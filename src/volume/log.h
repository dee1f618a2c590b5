// The program's debug log. One category, so that a caller (a benchmark, the
// command-line tool) can switch the per-record lines off as a whole.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcKorvath)

#define KLOG qCDebug(lcKorvath)
