// What korvath-cli was asked to do, checked before anything is read or written.
#pragma once

#include "clock.h"
#include "dfxmlreport.h"
#include "recordertime.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace korvath {
namespace cli {

enum class Command { Disks, List, Export, Overview, Preview, Verify, Carve, Image };

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
    QString report; // export: the DFXML case report to write; verify: the one to check
    // export (with --report): who handled it, for which case and exhibit.
    CaseDetails caseDetails;
    bool verbose = false;
    // --clock-offset: the recorder's clock minus the true time, in seconds.
    // With it, from/to are the recorder's stamps the true times given came to.
    std::optional<qint64> clockOffset;
    // --clock-observed: the reading the offset was worked out from.
    std::optional<ClockObservation> clockObservation;
    bool fromGiven = false, toGiven = false;
    RecorderTime trueFrom = 0; // as typed, before the offset
    RecorderTime trueTo = 0;
    int frames = 0;            // overview: preview frames per recording, 0 for none; preview: per sheet
    bool mp4 = false; // export: a playable copy of each
    bool carved = false;   // overview: carve and show the fragments
    bool unlisted = false; // list, export, preview, overview: the recordings no start record reaches
    QString map;       // export, image: the ddrescue map of this work, resumed when it exists
    QString sourceMap; // list, export, preview, overview: the map the image SOURCE was made with
    int readTimeoutMs = 30000;
    bool listedOnly = false; // image: only the evidence and the listed recordings' clusters
};

// "YYYY-MM-DD HH:MM:SS" (or with a T), a real date from 2000 to 2063, the
// years a recorder stamp can hold. A date alone is its first second, or its
// last when `endOfDay`.
bool parseTimeText(const QString &text, RecorderTime *value, bool endOfDay = false);

// Turns from/to, read as true times, into the recorder's stamps with
// o->clockOffset (nothing to do without one). A bound left at its default
// stays the whole span. False with one line in `error` when an offset moves a
// given bound outside the years a stamp can hold.
bool applyClockOffset(Options *o, QString *error);

// Reads the arguments (argv[0] first). Shows --help or --version and exits
// with 0 itself; returns false with one line in `error` on a usage error.
bool parseOptions(const QStringList &arguments, Options *options, QString *error);

} // namespace cli
} // namespace korvath
