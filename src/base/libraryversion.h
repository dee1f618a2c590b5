#pragma once

#include <QString>

namespace korvath {

// A library the program ran with, for a case report: the version it was
// built against and the one loaded.
struct LibraryVersion {
    QString name;
    QString built;
    QString loaded;
};

} // namespace korvath
