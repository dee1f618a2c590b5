// The recorder's packed wall-clock date-time (second in bits 0-5 up to
// year-2000 in bits 26-31); compared as unsigned integers it is chronological.
#pragma once

#include <QString>
#include <cstdint>

class QDateTime;

namespace korvath {

using RecorderTime = uint32_t;

RecorderTime packRecorderTime(int year, int month, int day, int hour, int minute, int second);
RecorderTime toRecorderTime(const QDateTime &dateTime);
QString twoDigitText(uint32_t n);
QString recorderTimeText(RecorderTime value);
// "YYYY-MM-DD HH:MM:SS" (the separator between date and time may be another),
// the fields as the stamp holds them, impossible ones included.
QString recorderStampText(RecorderTime value, QChar separator = QLatin1Char(' '));
// The same text written at `out` (room for kRecorderTimeTextMax); returns its end.
constexpr int kRecorderTimeTextMax = 19;
QChar *writeRecorderTimeText(QChar *out, RecorderTime value);

struct RecorderTimeFields {
    uint32_t year, month, day, hour, minute, second;
};
RecorderTimeFields unpackRecorderTime(RecorderTime value);

} // namespace korvath
