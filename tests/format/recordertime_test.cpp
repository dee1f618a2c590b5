#include "recordertime.h"

#include <QDateTime>
#include <gtest/gtest.h>

using namespace korvath;

namespace {

struct PackCase {
    int y, mo, d, h, mi, s;
    uint32_t packed;
    const char *text;
};

class PackTest : public ::testing::TestWithParam<PackCase> {};

TEST_P(PackTest, PacksAndPrints)
{
    const PackCase c = GetParam();
    const QDateTime dt(QDate(c.y, c.mo, c.d), QTime(c.h, c.mi, c.s));
    EXPECT_EQ(toRecorderTime(dt), c.packed);
    EXPECT_EQ(recorderTimeText(c.packed).toStdString(), c.text);
}

INSTANTIATE_TEST_SUITE_P(Stamps, PackTest,
                         ::testing::Values(PackCase{2016, 3, 5, 8, 7, 9, 0x40CA81C9u, "2016-03-05 08-07-09"},
                                           PackCase{2000, 1, 1, 0, 0, 0, 0x00420000u, "2000-01-01 00-00-00"},
                                           PackCase{2063, 12, 31, 23, 59, 59, 0xFF3F7EFBu, "2063-12-31 23-59-59"},
                                           // years outside 2000-2063 wrap modulo 64
                                           PackCase{1999, 12, 31, 23, 59, 59, 0xFF3F7EFBu, "2063-12-31 23-59-59"},
                                           PackCase{2064, 1, 1, 0, 0, 0, 0x00420000u, "2000-01-01 00-00-00"}),
                         [](const ::testing::TestParamInfo<PackCase> &info) {
                             return "year" + std::to_string(info.param.y);
                         });

TEST(RecorderTime, WrappedYearComparesBelowLaterDates)
{
    const uint32_t y2064 = toRecorderTime(QDateTime(QDate(2064, 1, 1), QTime(0, 0)));
    const uint32_t y2001 = toRecorderTime(QDateTime(QDate(2001, 1, 1), QTime(0, 0)));
    EXPECT_LT(y2064, y2001);
}

TEST(RecorderTime, MillisecondsIgnored)
{
    const QDate d(2020, 6, 7);
    EXPECT_EQ(toRecorderTime(QDateTime(d, QTime(1, 2, 3, 0))), toRecorderTime(QDateTime(d, QTime(1, 2, 3, 999))));
}

TEST(RecorderTime, ChronologicalOrderIsNumericOrder)
{
    QDateTime t(QDate(2015, 12, 31), QTime(23, 59, 58));
    uint32_t prev = toRecorderTime(t);
    for (int i = 0; i < 5000; ++i) {
        t = t.addSecs(37);
        const uint32_t next = toRecorderTime(t);
        ASSERT_LT(prev, next) << t.toString(Qt::ISODate).toStdString();
        prev = next;
    }
}

TEST(RecorderTime, FieldsPrintedAsStored)
{
    EXPECT_EQ(recorderTimeText(0).toStdString(), "2000-00-00 00-00-00");
    EXPECT_EQ(recorderTimeText(63u << 6).toStdString(), "2000-00-00 00-63-00");
}

TEST(RecorderTime, TwoDigitText)
{
    const std::pair<uint32_t, const char *> cases[] = {{0, "00"}, {7, "07"}, {9, "09"}, {10, "10"}, {63, "63"}, {2016, "2016"}};
    for (const auto &c : cases)
        EXPECT_EQ(twoDigitText(c.first).toStdString(), c.second) << c.first;
}

} // namespace
