#include "recordertime.h"

#include <QDateTime>

namespace korvath {

RecorderTime packRecorderTime(int year, int month, int day, int hour, int minute, int second)
{
    const uint32_t yearOffset = static_cast<uint32_t>(((year - 2000) % 64 + 64) % 64);
    return (static_cast<uint32_t>(second) & 0x3Fu) | (static_cast<uint32_t>(minute) & 0x3Fu) << 6
           | (static_cast<uint32_t>(hour) & 0x1Fu) << 12 | (static_cast<uint32_t>(day) & 0x1Fu) << 17
           | (static_cast<uint32_t>(month) & 0x0Fu) << 22 | yearOffset << 26;
}

RecorderTime toRecorderTime(const QDateTime &dateTime)
{
    const QDate d = dateTime.date();
    const QTime t = dateTime.time();
    return packRecorderTime(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second());
}

RecorderTimeFields unpackRecorderTime(RecorderTime v)
{
    return {(v >> 26) + 2000, (v >> 22) & 0x0Fu, (v >> 17) & 0x1Fu,
            (v >> 12) & 0x1Fu, (v >> 6) & 0x3Fu, v & 0x3Fu};
}

QString twoDigitText(uint32_t n)
{
    return n > 9 ? QString::number(n) : QStringLiteral("0") + QString::number(n);
}

QString recorderTimeText(RecorderTime value)
{
    const RecorderTimeFields f = unpackRecorderTime(value);
    const QChar dash('-');
    QString text;
    text.reserve(19);
    text += twoDigitText(f.year);
    text += dash;
    text += twoDigitText(f.month);
    text += dash;
    text += twoDigitText(f.day);
    text += QChar(' ');
    text += twoDigitText(f.hour);
    text += dash;
    text += twoDigitText(f.minute);
    text += dash;
    text += twoDigitText(f.second);
    return text;
}

} // namespace korvath
