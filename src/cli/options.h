// What korvath-cli was asked to do, checked before anything is read or written.
#pragma once

#include "recordertime.h"

#include <QString>
#include <QStringList>
#include <cstdint>

namespace korvath {
namespace cli {

enum class Command { Disks, List, Export, Preview };

struct Options {
    Command command = Command::List;
    QString source;
    uint32_t channel = 0; // counted from 0, as the scan takes it
    bool allChannels = false;
    RecorderTime from = 0;
    RecorderTime to = 0;
    bool json = false;
    QString outDir;
    QStringList names;
    bool sha256 = false;
    bool overwrite = false;
    bool verbose = false;
    bool mp4 = false; // export: a playable copy of each
    int frames = 6;   // preview: frames per contact sheet
};

// "YYYY-MM-DD HH:MM:SS" (or with a T), a real date from 2000 to 2063, the
// years a recorder stamp can hold. A date alone is its first second, or its
// last when `endOfDay`.
bool parseTimeText(const QString &text, RecorderTime *value, bool endOfDay = false);

// Reads the arguments (argv[0] first). Shows --help or --version and exits
// with 0 itself; returns false with one line in `error` on a usage error.
bool parseOptions(const QStringList &arguments, Options *options, QString *error);

} // namespace cli
} // namespace korvath
