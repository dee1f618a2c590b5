#include "clock.h"

#include <QDateTime>
#include <gtest/gtest.h>

using namespace korvath;

namespace {

struct At {
    int y, mo, d, h, mi, s;
    RecorderTime stamp() const { return packRecorderTime(y, mo, d, h, mi, s); }
    QDateTime utc() const { return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC); }
};

// Recorder = true + offset, computed by hand; both directions are checked.
struct ShiftCase {
    const char *name;
    const char *offset;
    qint64 seconds;
    At trueTime, recorder;
};

const ShiftCase kShifts[] = {
    {"ahead", "+00:03:12", 192, {2016, 3, 5, 10, 0, 0}, {2016, 3, 5, 10, 3, 12}},
    {"behind", "-00:03:12", -192, {2016, 3, 5, 10, 0, 0}, {2016, 3, 5, 9, 56, 48}},
    {"ahead_past_midnight", "+00:30:00", 1800, {2016, 3, 5, 23, 45, 0}, {2016, 3, 6, 0, 15, 0}},
    {"behind_past_midnight", "-01:00:00", -3600, {2016, 3, 6, 0, 30, 0}, {2016, 3, 5, 23, 30, 0}},
    {"month_end", "+02:00:00", 7200, {2017, 4, 30, 23, 0, 0}, {2017, 5, 1, 1, 0, 0}},
    {"year_end_behind", "-00:00:01", -1, {2019, 1, 1, 0, 0, 0}, {2018, 12, 31, 23, 59, 59}},
    {"year_end_days", "+1.00:00:00", 86400, {2019, 12, 31, 12, 0, 0}, {2020, 1, 1, 12, 0, 0}},
    {"onto_leap_day", "+1.00:00:00", 86400, {2016, 2, 28, 6, 0, 0}, {2016, 2, 29, 6, 0, 0}},
    {"no_leap_day", "+1.00:00:00", 86400, {2017, 2, 28, 6, 0, 0}, {2017, 3, 1, 6, 0, 0}},
    {"back_over_leap_day", "-2.00:00:00", -172800, {2020, 3, 1, 0, 0, 0}, {2020, 2, 28, 0, 0, 0}},
    {"leap_day_2000", "-1.00:00:00", -86400, {2000, 3, 1, 12, 0, 0}, {2000, 2, 29, 12, 0, 0}},
    {"long_offset", "+366.01:02:03", 366 * 86400 + 3723, {2016, 1, 1, 0, 0, 0}, {2017, 1, 1, 1, 2, 3}},
    {"first_stamp", "+00:00:05", 5, {2000, 1, 1, 0, 0, 0}, {2000, 1, 1, 0, 0, 5}},
    {"last_stamp", "-00:00:05", -5, {2063, 12, 31, 23, 59, 59}, {2063, 12, 31, 23, 59, 54}},
    {"last_stamp_unshifted", "+00:00:00", 0, {2063, 12, 31, 23, 59, 59}, {2063, 12, 31, 23, 59, 59}},
};

class ShiftTest : public ::testing::TestWithParam<ShiftCase> {};

TEST_P(ShiftTest, BothDirections)
{
    const ShiftCase &c = GetParam();
    qint64 parsed = 0;
    QString error;
    ASSERT_TRUE(parseClockOffset(QString::fromLatin1(c.offset), &parsed, &error)) << error.toStdString();
    EXPECT_EQ(parsed, c.seconds);

    const std::optional<RecorderTime> stamp = recorderTimeForTrueTime(c.trueTime.utc(), parsed);
    ASSERT_TRUE(stamp.has_value());
    EXPECT_EQ(recorderTimeText(*stamp), recorderTimeText(c.recorder.stamp()));

    const std::optional<QDateTime> back = trueTimeForRecorderTime(c.recorder.stamp(), parsed);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->toString(Qt::ISODate).toStdString(), c.trueTime.utc().toString(Qt::ISODate).toStdString());
    EXPECT_EQ(back->timeSpec(), Qt::UTC);
}

INSTANTIATE_TEST_SUITE_P(Offsets, ShiftTest, ::testing::ValuesIn(kShifts),
                         [](const ::testing::TestParamInfo<ShiftCase> &info) { return std::string(info.param.name); });

TEST(Clock, ResultsOutsideTheStampYearsFail)
{
    // True time to stamp.
    EXPECT_FALSE(recorderTimeForTrueTime(At{2063, 12, 31, 23, 59, 59}.utc(), 1));
    EXPECT_FALSE(recorderTimeForTrueTime(At{2000, 1, 1, 0, 0, 0}.utc(), -1));
    EXPECT_FALSE(recorderTimeForTrueTime(At{2070, 6, 1, 0, 0, 0}.utc(), 0));
    EXPECT_FALSE(recorderTimeForTrueTime(QDateTime(), 0));
    // A true time before 2000 still names a stamp when the clock ran ahead.
    const std::optional<RecorderTime> early = recorderTimeForTrueTime(At{1999, 12, 31, 23, 59, 0}.utc(), 60);
    ASSERT_TRUE(early.has_value());
    EXPECT_EQ(*early, (At{2000, 1, 1, 0, 0, 0}.stamp()));
    // Stamp to true time.
    EXPECT_FALSE(trueTimeForRecorderTime(At{2000, 1, 1, 0, 0, 0}.stamp(), 1));
    EXPECT_FALSE(trueTimeForRecorderTime(At{2063, 12, 31, 23, 59, 59}.stamp(), -1));
}

TEST(Clock, ImpossibleStampsHaveNoTime)
{
    const RecorderTime stamps[] = {
        packRecorderTime(2016, 2, 31, 8, 0, 0),  packRecorderTime(2017, 2, 29, 8, 0, 0),
        packRecorderTime(2016, 0, 5, 8, 0, 0),   packRecorderTime(2016, 13, 5, 8, 0, 0),
        packRecorderTime(2016, 4, 0, 8, 0, 0),   packRecorderTime(2016, 4, 31, 8, 0, 0),
        packRecorderTime(2016, 4, 5, 24, 0, 0),  packRecorderTime(2016, 4, 5, 8, 60, 0),
        packRecorderTime(2016, 4, 5, 8, 0, 60),  0u,
    };
    for (RecorderTime s : stamps) {
        EXPECT_FALSE(recorderTimeSeconds(s)) << recorderTimeText(s).toStdString();
        EXPECT_FALSE(trueTimeForRecorderTime(s, 0)) << recorderTimeText(s).toStdString();
    }
}

TEST(Clock, SecondsFrom2000)
{
    const std::pair<At, qint64> cases[] = {
        {{2000, 1, 1, 0, 0, 0}, 0},
        {{2000, 1, 2, 0, 0, 1}, 86401},
        {{2001, 1, 1, 0, 0, 0}, 366 * 86400},          // 2000 is a leap year
        {{2063, 12, 31, 23, 59, 59}, kStampSecondsMax}, // 64 years, 16 of them leap
    };
    for (const auto &c : cases) {
        EXPECT_EQ(recorderTimeSeconds(c.first.stamp()).value_or(-1), c.second);
        EXPECT_EQ(recorderTimeAt(c.second).value_or(0), c.first.stamp());
        EXPECT_EQ(secondsText(c.second).toStdString(),
                  c.first.utc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString());
    }
    EXPECT_FALSE(recorderTimeAt(-1));
    EXPECT_FALSE(recorderTimeAt(kStampSecondsMax + 1));
    EXPECT_EQ(secondsText(-1).toStdString(), "1999-12-31 23:59:59");
}

TEST(Clock, ParseRejects)
{
    const char *bad[] = {"",           "+",           "0:03:12",        "00:3:12",      "00:03:12 ",
                         " 00:03:12",  "24:00:00",    "00:60:00",       "00:00:60",     "++00:00:01",
                         "1.2:00:00",  ".00:00:00",   "123456.00:00:00", "00:03",       "00:03:12:00",
                         "00:03:1x",   "1.00:00:00.5", "+-00:00:01",    "1..00:00:00",  "00-03-12",
                         "+1d00:00:00"};
    for (const char *text : bad) {
        qint64 seconds = 77;
        QString error;
        EXPECT_FALSE(parseClockOffset(QString::fromLatin1(text), &seconds, &error)) << text;
        EXPECT_EQ(seconds, 77) << text;
        EXPECT_TRUE(error.contains(QString::fromLatin1(text))) << error.toStdString();
    }
    // Digits of other scripts are not digits here.
    EXPECT_FALSE(parseClockOffset(QStringLiteral("00:0\u0663:12"), nullptr, nullptr));
}

TEST(Clock, FormatAndParseAgree)
{
    const std::pair<qint64, const char *> cases[] = {
        {0, "+00:00:00"},       {192, "+00:03:12"},        {-192, "-00:03:12"},
        {86399, "+23:59:59"},   {86400, "+1.00:00:00"},    {-93600, "-1.02:00:00"},
        {qint64(99999) * 86400 + 86399, "+99999.23:59:59"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(clockOffsetText(c.first).toStdString(), c.second);
        qint64 back = 0;
        EXPECT_TRUE(parseClockOffset(QString::fromLatin1(c.second), &back, nullptr));
        EXPECT_EQ(back, c.first) << c.second;
    }
    qint64 unsignedForm = 0;
    EXPECT_TRUE(parseClockOffset(QStringLiteral("0.00:03:12"), &unsignedForm, nullptr));
    EXPECT_EQ(unsignedForm, 192);
}

// An observation of the recorder's clock gives the same offset as the table's
// pair of times, whichever way round midnight, month ends and leap days fall.
TEST(Clock, ObservationGivesTheOffsetOfItsTwoTimes)
{
    const auto text = [](const At &a) { return a.utc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")); };
    for (const ShiftCase &c : kShifts) {
        const QString seen = text(c.recorder) + QLatin1Char('=') + text(c.trueTime);
        ClockObservation o;
        QString error;
        ASSERT_TRUE(parseClockObservation(seen, &o, &error)) << c.name << ": " << error.toStdString();
        EXPECT_EQ(o.offset(), c.seconds) << c.name;
        EXPECT_EQ(clockObservationText(o), seen) << c.name;
    }
    ClockObservation withT;
    ASSERT_TRUE(parseClockObservation(QStringLiteral("2024-03-01T10:03:12=2024-03-01T10:00:00"), &withT, nullptr));
    EXPECT_EQ(withT.offset(), 192);

    const char *bad[] = {"",
                         "2024-03-01 10:03:12",
                         "2024-03-01 10:03:12=",
                         "2024-03-01 10:03:12=2024-03-01 10:00:00=2024-03-01 10:00:00",
                         "2024-03-01=2024-03-01 10:00:00",
                         "2024-02-30 10:00:00=2024-03-01 10:00:00",
                         "2024-03-01 24:00:00=2024-03-01 10:00:00",
                         "1999-12-31 23:59:59=2000-01-01 00:00:00",
                         "2063-12-31 23:59:59=2064-01-01 00:00:00",
                         "2024-03-01 10:03=2024-03-01 10:00"};
    for (const char *t : bad) {
        ClockObservation o{5, 7};
        QString error;
        EXPECT_FALSE(parseClockObservation(QString::fromLatin1(t), &o, &error)) << t;
        EXPECT_EQ(o, (ClockObservation{5, 7})) << t;
        EXPECT_TRUE(error.contains(QString::fromLatin1(t))) << error.toStdString();
    }
}

} // namespace
