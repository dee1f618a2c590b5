// Peak memory of the scan and of the export, each in a child process.
#pragma once

#include "figures.h"

namespace bench {

bool isMemoryChild(int argc, char **argv);
int runMemoryChild(int argc, char **argv);
MemoryFigures measureMemory();

} // namespace bench
