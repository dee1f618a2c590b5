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

namespace {

// The digits twoDigitText gives, written in place.
void putTwoDigits(QChar *&out, uint32_t n)
{
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10u);
        n /= 10u;
    } while (n != 0);
    if (count < 2)
        digits[count++] = '0';
    while (count > 0)
        *out++ = QLatin1Char(digits[--count]);
}

} // namespace

QChar *writeRecorderTimeText(QChar *out, RecorderTime value)
{
    const RecorderTimeFields f = unpackRecorderTime(value);
    putTwoDigits(out, f.year);
    *out++ = QLatin1Char('-');
    putTwoDigits(out, f.month);
    *out++ = QLatin1Char('-');
    putTwoDigits(out, f.day);
    *out++ = QLatin1Char(' ');
    putTwoDigits(out, f.hour);
    *out++ = QLatin1Char('-');
    putTwoDigits(out, f.minute);
    *out++ = QLatin1Char('-');
    putTwoDigits(out, f.second);
    return out;
}

QString recorderTimeText(RecorderTime value)
{
    // One allocation, not one per field: a large scan names every recording twice.
    QChar text[kRecorderTimeTextMax];
    return QString(text, static_cast<int>(writeRecorderTimeText(text, value) - text));
}

QString recorderStampText(RecorderTime value, QChar separator)
{
    const RecorderTimeFields f = unpackRecorderTime(value);
    return QStringLiteral("%1-%2-%3%4%5:%6:%7")
        .arg(f.year)
        .arg(twoDigitText(f.month), twoDigitText(f.day), QString(separator), twoDigitText(f.hour),
             twoDigitText(f.minute), twoDigitText(f.second));
}

} // namespace korvath
