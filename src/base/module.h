// Parts of the library that pull in large libraries (FFmpeg, The Sleuth Kit,
// libewf) are modules, loaded the first time a command needs one, so that a
// command that uses none starts as fast as a program linked to Qt Core alone.
#pragma once

#include <QString>

namespace korvath {

// The entry function `entry` of module `name` (korvath_video, korvath_image),
// looked for beside the program; null, with the reason in `error`, when the
// module is not there (a build without it) or cannot be loaded.
using ModuleEntry = void *(*)();
ModuleEntry moduleEntry(const char *name, const char *entry, QString *error);

} // namespace korvath
