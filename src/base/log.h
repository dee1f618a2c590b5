// The program's debug log: plain lines on the toolkit's debug stream, with no
// category prefix, so that they read exactly as the window has always written
// them. A caller that wants none of them (the command-line tool, a benchmark)
// switches them off as a whole.
#pragma once

#include <QDebug>

#define KLOG qDebug()

namespace korvath {

// Whether a debug line would be written; lets hot loops skip building one.
bool debugLogEnabled();
void setDebugLogEnabled(bool enabled);

} // namespace korvath
