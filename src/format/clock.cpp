#include "clock.h"

#include <QDate>
#include <QRegularExpression>
#include <QStringList>

namespace korvath {

namespace {

constexpr qint64 kJulianDay2000 = 2451545; // 2000-01-01
constexpr qint64 kDay = 86400;

// Floor division: seconds before 2000 belong to the day before.
qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

std::optional<qint64> secondsOf(const QDate &date, int hour, int minute, int second)
{
    if (!date.isValid())
        return std::nullopt;
    return (date.toJulianDay() - kJulianDay2000) * kDay + hour * 3600 + minute * 60 + second;
}

QDateTime dateTimeAt(qint64 seconds)
{
    const qint64 days = floorDiv(seconds, kDay);
    const int rest = static_cast<int>(seconds - days * kDay);
    return QDateTime(QDate::fromJulianDay(kJulianDay2000 + days), QTime(rest / 3600, rest / 60 % 60, rest % 60),
                     Qt::UTC);
}

// minCount to maxCount digits at `pos`, moving past them; -1 when fewer.
qint64 digitsAt(const QString &text, int &pos, int minCount, int maxCount)
{
    qint64 value = 0;
    int n = 0;
    while (pos < text.size() && n < maxCount && text.at(pos) >= QLatin1Char('0') && text.at(pos) <= QLatin1Char('9')) {
        value = value * 10 + (text.at(pos).unicode() - '0');
        ++pos;
        ++n;
    }
    return n >= minCount ? value : -1;
}

void put(QChar *&out, uint32_t n, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = QLatin1Char(static_cast<char>('0' + n % 10u));
        n /= 10u;
    }
    out += width;
}

} // namespace

std::optional<qint64> recorderTimeSeconds(RecorderTime stamp)
{
    const RecorderTimeFields f = unpackRecorderTime(stamp);
    if (f.month < 1 || f.month > 12 || f.hour > 23 || f.minute > 59 || f.second > 59)
        return std::nullopt;
    return secondsOf(QDate(static_cast<int>(f.year), static_cast<int>(f.month), static_cast<int>(f.day)),
                     static_cast<int>(f.hour), static_cast<int>(f.minute), static_cast<int>(f.second));
}

std::optional<RecorderTime> recorderTimeAt(qint64 seconds)
{
    if (seconds < 0 || seconds > kStampSecondsMax)
        return std::nullopt;
    return toRecorderTime(dateTimeAt(seconds));
}

bool parseClockOffset(const QString &text, qint64 *seconds, QString *error)
{
    const auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("clock offset \"%1\": %2").arg(text, why);
        return false;
    };
    const QString form = QStringLiteral("expected [+|-][D.]HH:MM:SS");
    int pos = 0;
    qint64 sign = 1;
    if (pos < text.size() && (text.at(pos) == QLatin1Char('+') || text.at(pos) == QLatin1Char('-'))) {
        sign = text.at(pos) == QLatin1Char('-') ? -1 : 1;
        ++pos;
    }
    qint64 days = 0;
    const int dotAt = text.indexOf(QLatin1Char('.'), pos);
    if (dotAt >= 0) {
        if (dotAt - pos > 5)
            return fail(QStringLiteral("at most 5 digits of days"));
        days = digitsAt(text, pos, 1, 5);
        if (days < 0 || pos != dotAt)
            return fail(form);
        ++pos;
    }
    qint64 parts[3];
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text.at(pos) != QLatin1Char(':'))
                return fail(form);
            ++pos;
        }
        parts[i] = digitsAt(text, pos, 2, 2);
        if (parts[i] < 0)
            return fail(form);
    }
    if (pos != text.size())
        return fail(form);
    if (parts[0] > 23)
        return fail(QStringLiteral("hours must be 00-23 (write days as D.)"));
    if (parts[1] > 59 || parts[2] > 59)
        return fail(QStringLiteral("minutes and seconds must be 00-59"));
    if (seconds)
        *seconds = sign * (days * kDay + parts[0] * 3600 + parts[1] * 60 + parts[2]);
    return true;
}

QString clockOffsetText(qint64 seconds)
{
    const QLatin1Char sign(seconds < 0 ? '-' : '+');
    // The magnitude as unsigned, so that the most negative value has one too.
    quint64 rest = seconds < 0 ? 0u - static_cast<quint64>(seconds) : static_cast<quint64>(seconds);
    const quint64 days = rest / kDay;
    rest %= kDay;
    QString text(sign);
    if (days > 0)
        text += QString::number(days) + QLatin1Char('.');
    return text + twoDigitText(static_cast<uint32_t>(rest / 3600)) + QLatin1Char(':')
           + twoDigitText(static_cast<uint32_t>(rest / 60 % 60)) + QLatin1Char(':')
           + twoDigitText(static_cast<uint32_t>(rest % 60));
}

std::optional<RecorderTime> recorderTimeForTrueTime(const QDateTime &trueTime, qint64 offset)
{
    const QTime t = trueTime.time();
    const std::optional<qint64> s = secondsOf(trueTime.date(), t.hour(), t.minute(), t.second());
    if (!s || !t.isValid())
        return std::nullopt;
    // Offsets come from parseClockOffset (under 100,000 days): no overflow.
    return recorderTimeAt(*s + offset);
}

std::optional<QDateTime> trueTimeForRecorderTime(RecorderTime stamp, qint64 offset)
{
    const std::optional<qint64> s = recorderTimeSeconds(stamp);
    if (!s)
        return std::nullopt;
    const qint64 trueSeconds = *s - offset;
    if (trueSeconds < 0 || trueSeconds > kStampSecondsMax)
        return std::nullopt;
    return dateTimeAt(trueSeconds);
}

bool parseClockObservation(const QString &text, ClockObservation *observation, QString *error)
{
    static const QRegularExpression moment(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})[ T](\\d{2}):(\\d{2}):(\\d{2})$"));
    const QStringList sides = text.split(QLatin1Char('='));
    qint64 at[2] = {0, 0};
    const char *names[2] = {"the recorder's time", "the true time"};
    for (int i = 0; i < 2 && sides.size() == 2; ++i) {
        const QRegularExpressionMatch m = moment.match(sides[i].trimmed());
        const std::optional<qint64> s =
            m.hasMatch() && QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt()).isValid()
                ? secondsOf(QDate(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt()),
                            m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt())
                : std::nullopt;
        if (!s || *s < 0 || *s > kStampSecondsMax) {
            if (error)
                *error = QStringLiteral("clock observation \"%1\": %2 '%3' is not a time YYYY-MM-DD HH:MM:SS from "
                                        "2000 to 2063")
                             .arg(text, QLatin1String(names[i]), sides[i]);
            return false;
        }
        at[i] = *s;
    }
    if (sides.size() != 2) {
        if (error)
            *error = QStringLiteral("clock observation \"%1\": expected RECORDER_TIME=TRUE_TIME").arg(text);
        return false;
    }
    if (observation)
        *observation = {at[0], at[1]};
    return true;
}

QString clockObservationText(const ClockObservation &observation)
{
    return secondsText(observation.recorder) + QLatin1Char('=') + secondsText(observation.trueTime);
}

QString secondsText(qint64 seconds)
{
    const qint64 days = floorDiv(seconds, kDay);
    const int rest = static_cast<int>(seconds - days * kDay);
    int y = 0, m = 0, d = 0;
    QDate::fromJulianDay(kJulianDay2000 + days).getDate(&y, &m, &d);
    if (y < 0 || y > 9999)
        return dateTimeAt(seconds).toString(Qt::ISODate);
    QChar text[19];
    QChar *out = text;
    put(out, static_cast<uint32_t>(y), 4);
    *out++ = QLatin1Char('-');
    put(out, static_cast<uint32_t>(m), 2);
    *out++ = QLatin1Char('-');
    put(out, static_cast<uint32_t>(d), 2);
    *out++ = QLatin1Char(' ');
    put(out, static_cast<uint32_t>(rest / 3600), 2);
    *out++ = QLatin1Char(':');
    put(out, static_cast<uint32_t>(rest / 60 % 60), 2);
    *out++ = QLatin1Char(':');
    put(out, static_cast<uint32_t>(rest % 60), 2);
    return QString(text, 19);
}

} // namespace korvath
