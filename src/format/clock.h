// The recorder's clock against the true time. A clock offset is the
// recorder's clock minus the true time, in seconds: a recorder showing
// 10:03:12 when the true time was 10:00:00 is +00:03:12 (+192 s).
#pragma once

#include "recordertime.h"

#include <QDateTime>
#include <QString>
#include <QtGlobal>
#include <optional>

namespace korvath {

// Stamps hold 2000-01-01 00:00:00 (second 0) up to 2063-12-31 23:59:59.
constexpr qint64 kStampSecondsMax = 2019686399;

// Seconds from 2000-01-01 00:00:00, or none when the stamp's fields are no
// real date and time (month 0, 31 February, hour 24...): a disk may hold them.
std::optional<qint64> recorderTimeSeconds(RecorderTime stamp);
// The stamp of a second counted the same way; none outside 0..kStampSecondsMax.
std::optional<RecorderTime> recorderTimeAt(qint64 seconds);

// "[+|-][D.]HH:MM:SS", nothing else (no spaces, two digits each for HH, MM, SS,
// HH below 24, MM and SS below 60, at most 5 digits of days). False with the
// reason in *error otherwise.
bool parseClockOffset(const QString &text, qint64 *seconds, QString *error);
// The same form back, always signed, days only when there are any: "+00:03:12", "-1.02:00:00".
QString clockOffsetText(qint64 seconds);

// The stamp the recorder wrote at a true time (its date() and time() read as
// they are, whatever its time spec); none when the stamp falls outside the
// years a stamp holds.
std::optional<RecorderTime> recorderTimeForTrueTime(const QDateTime &trueTime, qint64 offset);
// The true time (Qt::UTC) of a stamp; none for an impossible stamp, or when
// the true time falls outside 2000-01-01 00:00:00 .. 2063-12-31 23:59:59.
std::optional<QDateTime> trueTimeForRecorderTime(RecorderTime stamp, qint64 offset);

// One reading of the recorder's clock against a reference: what the recorder
// showed and the true time at that moment, both in seconds from 2000.
struct ClockObservation {
    qint64 recorder = 0;
    qint64 trueTime = 0;
    qint64 offset() const { return recorder - trueTime; }
    bool operator==(const ClockObservation &o) const { return recorder == o.recorder && trueTime == o.trueTime; }
};

// "RECORDER_TIME=TRUE_TIME", each "YYYY-MM-DD HH:MM:SS" (or with a T), a
// real date and time from 2000 to 2063. False with the reason in *error.
bool parseClockObservation(const QString &text, ClockObservation *observation, QString *error);
// The same form back: "2024-03-01 10:03:12=2024-03-01 10:00:00".
QString clockObservationText(const ClockObservation &observation);

// "2016-03-05 08:07:09" for a second counted from 2000 within the stamp years;
// the stamp's own text where the seconds do not map to a stamp.
QString secondsText(qint64 seconds);

} // namespace korvath
