#include "net/dates.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

namespace kv {
namespace {

SystemTime Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                int dayOfWeek = kNoDayOfWeek) {
    SystemTime t;
    t.Year = static_cast<uint16_t>(year);
    t.Month = static_cast<uint16_t>(month);
    t.Day = static_cast<uint16_t>(day);
    t.Hour = static_cast<uint16_t>(hour);
    t.Minute = static_cast<uint16_t>(minute);
    t.Second = static_cast<uint16_t>(second);
    t.DayOfWeek = static_cast<uint16_t>(dayOfWeek);
    return t;
}

const SystemTime kNov6 = Date(1994, 11, 6, 8, 49, 37, 0);

TEST(ParseHttpDate, AcceptedAndRefusedTexts) {
    struct Row { const char* text; std::optional<SystemTime> expected; };
    const std::vector<Row> rows = {
        // the three forms of one date
        {"Sun, 06 Nov 1994 08:49:37 GMT", kNov6},
        {"Sunday, 06-Nov-94 08:49:37 GMT", kNov6},
        {"Sun Nov  6 08:49:37 1994", kNov6},
        {"Sun Nov 06 08:49:37 1994", kNov6},
        // names in any case, leading white space, line end left on
        {"sun, 06 NOV 1994 08:49:37 gmt", kNov6},
        {"  \tSun, 06 Nov 1994 08:49:37 GMT\r", kNov6},
        {"SUNDAY, 06-nov-94 08:49:37 Gmt", kNov6},
        // the day of week comes from the name, not from the date
        {"Wed, 06 Nov 1994 08:49:37 GMT", Date(1994, 11, 6, 8, 49, 37, 3)},
        {"Wednesday, 09-Nov-94 23:59:60 GMT", Date(1994, 11, 9, 23, 59, 60, 3)},
        {"Sat Dec 31 00:00:00 2039", Date(2039, 12, 31, 0, 0, 0, 6)},
        // two-digit years
        {"Monday, 01-Jan-50 00:00:00 GMT", Date(2050, 1, 1, 0, 0, 0, 1)},
        {"Monday, 01-Jan-51 00:00:00 GMT", Date(1951, 1, 1, 0, 0, 0, 1)},
        {"Friday, 31-Dec-99 12:00:00 GMT", Date(1999, 12, 31, 12, 0, 0, 5)},
        {"Friday, 31-Dec-00 12:00:00 GMT", Date(2000, 12, 31, 12, 0, 0, 5)},
        // refused
        {"Sun, 06 Nov 1994 08:49:37 EST", {}},
        {"Sun, 06 Nov 1994 08:49:37", {}},          // zone missing
        {"Sun, 06 Nov 1994 08:49", {}},             // second missing
        {"Sun Nov  6 08:49:37", {}},                // year missing
        {"Sunday, 06-Nov-94 08:49:37", {}},
        {"Sun, 32 Nov 1994 08:49:37 GMT", {}},      // day out of range
        {"Sun, 00 Nov 1994 08:49:37 GMT", {}},
        {"Sun Nov 32 08:49:37 1994", {}},
        {"Sun, 6 Nov 1994 08:49:37 GMT", {}},       // this form wants two day digits
        {"Sun, 06 Nov 94 08:49:37 GMT", {}},        // and four year digits
        {"Sun, 06 Nov 19x4 08:49:37 GMT", {}},
        {"Sun Nov  6 08:49:37 94", {}},
        {"Sun, 06 Nov 1994 8:49:37 GMT", {}},       // hour of one digit
        {"Sun, 06 Nov 1994 08:4:37 GMT", {}},
        {"Sun, 06 Foo 1994 08:49:37 GMT", {}},
        {"Sun 06 Nov 1994 08:49:37 GMT", {}},       // weekday without its comma
        {"Sun, 06-Nov-94 08:49:37 GMT", {}},        // short weekday in the long form
        {"Sunday, 06 Nov 1994 08:49:37 GMT", {}},
        {"Sun, Nov  6 08:49:37 1994", {}},          // comma in the asctime form
        {"Sun, 00 Jan 0000 00:00:00 GMT", {}},
        {"Sun, 01 Jan 0000 00:00:00 GMT", {}},      // year 0 would read as no date
        {"", {}},
        {"   ", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::optional<SystemTime> got = ParseHttpDate(row.text);
        ASSERT_EQ(got.has_value(), row.expected.has_value());
        if (got) {
            EXPECT_EQ(*got, *row.expected);
            EXPECT_EQ(got->Milliseconds, 0);
        }
    }
}

TEST(ParseFtpListingDate, SixthWordThenFifth) {
    const uint16_t thisYear = LocalTimeNow().Year;
    struct Row { const char* line; std::optional<SystemTime> expected; };
    const std::vector<Row> rows = {
        {"-rw-r--r-- 1 ftp ftp 1048576 Jan 31 12:30 a.zip", Date(thisYear, 1, 31, 12, 30)},
        {"-rw-r--r-- 1 ftp 1048576 Jan 31 1999 a.zip", Date(1999, 1, 31)},
        {"-rw-r--r-- 1 ftp ftp 1048576 Jan 31 1999 a.zip", Date(1999, 1, 31)},
        {"-rw-r--r-- 1 ftp 1048576 Jan 31 12:30 a.zip", Date(thisYear, 1, 31, 12, 30)},
        {"drwxr-xr-x   2 ftp  ftp   4096 feb  3  2001 pub\r", Date(2001, 2, 3)},
        {"-rw-r--r--\t1 ftp ftp 10 Dec 09 23:59 b", Date(thisYear, 12, 9, 23, 59)},
        // refused
        {"-rw-r--r-- 1 ftp ftp 1048576 Jan 32 1999 a.zip", {}},
        {"-rw-r--r-- 1 ftp ftp 1048576 Jan 31 1:30 a.zip", {}},
        {"-rw-r--r-- 1 ftp ftp 1048576 Jan 31 99 a.zip", {}},
        {"-rw-r--r-- 1 ftp ftp 1048576 Foo 31 1999 a.zip", {}},
        {"-rw-r--r-- 1 ftp ftp 1048576 Jan", {}},
        {"total 8", {}},
        {"", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        std::optional<SystemTime> got = ParseFtpListingDate(row.line);
        ASSERT_EQ(got.has_value(), row.expected.has_value());
        if (got) {
            EXPECT_EQ(*got, *row.expected);
            EXPECT_EQ(got->DayOfWeek, kNoDayOfWeek);
        }
    }
}

TEST(IsNewerDate, FirstDifferenceDecides) {
    const SystemTime none{};
    const SystemTime base = Date(2001, 6, 15, 12, 30, 30, 5);
    SystemTime otherDayOfWeek = base;
    otherDayOfWeek.DayOfWeek = 2;
    otherDayOfWeek.Milliseconds = 999;
    struct Row { const char* name; SystemTime a, b; bool expected; };
    const std::vector<Row> rows = {
        {"a has no date", none, base, true},
        {"b has no date", base, none, true},
        {"neither has a date", none, none, true},
        {"equal", base, base, false},
        {"day of week and ms ignored", otherDayOfWeek, base, false},
        {"a one second later", Date(2001, 6, 15, 12, 30, 31), base, true},
        {"a one second earlier", Date(2001, 6, 15, 12, 30, 29), base, false},
        {"later minute beats earlier second", Date(2001, 6, 15, 12, 31, 0), base, true},
        {"later hour", Date(2001, 6, 15, 13, 0, 0), base, true},
        {"earlier day, later time", Date(2001, 6, 14, 23, 59, 59), base, false},
        {"later month, earlier day", Date(2001, 7, 1), base, true},
        {"later year, earlier month", Date(2002, 1, 1), base, true},
        {"earlier year, later month", Date(2000, 12, 31, 23, 59, 59), base, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(IsNewerDate(row.a, row.b), row.expected);
    }
}

TEST(DateText, LongDateBlankTime) {
    ASSERT_NE(std::setlocale(LC_TIME, "C"), nullptr);
    EXPECT_EQ(DateText(kNov6), "Sunday, November 06, 1994 08:49:37");
    // A listing date carries no day of week (and a wrong one is not trusted): it is
    // worked out from the date.
    EXPECT_EQ(DateText(Date(1999, 1, 31, 0, 0, 0)), "Sunday, January 31, 1999 00:00:00");
    EXPECT_EQ(DateText(Date(2000, 2, 29, 23, 5, 9, 0)), "Tuesday, February 29, 2000 23:05:09");
    EXPECT_EQ(DateText(Date(1969, 12, 31, 1, 2, 3)), "Wednesday, December 31, 1969 01:02:03");
    EXPECT_EQ(DateText(Date(2038, 9, 22, 12, 0, 0)), "Wednesday, September 22, 2038 12:00:00");
    EXPECT_EQ(DateText(SystemTime{}), "");
    EXPECT_EQ(DateText(Date(2001, 13, 1)), "");
    EXPECT_EQ(DateText(Date(2001, 1, 0)), "");
}

TEST(DateText, ProgramLocaleWithinLimit) {
    // Whatever locale the environment names, the text keeps its limit and shows the year.
    std::setlocale(LC_TIME, "");
    for (const SystemTime& t : {kNov6, Date(2038, 9, 22, 23, 59, 59), Date(1999, 1, 31)}) {
        std::string text = DateText(t);
        SCOPED_TRACE(text);
        EXPECT_FALSE(text.empty());
        EXPECT_LE(text.size(), 49u);
        EXPECT_NE(text.find(std::to_string(t.Year)), std::string::npos);
    }
    std::setlocale(LC_TIME, "C");
}

TEST(WholeDaysBetween, OneLessWhenSecondIsNotEarlier) {
    struct Row { const char* name; SystemTime first, second; int64_t expected; };
    const std::vector<Row> rows = {
        {"today and yesterday", Date(2021, 6, 15, 12, 0, 0), Date(2021, 6, 14, 12, 0, 0), 1},
        {"same moment", Date(2021, 6, 15, 12, 0, 0), Date(2021, 6, 15, 12, 0, 0), -1},
        {"a second short of a day", Date(2021, 6, 15, 12, 0, 0), Date(2021, 6, 14, 12, 0, 1), 0},
        {"across midnight", Date(2021, 6, 15, 0, 0, 0), Date(2021, 6, 14, 23, 59, 59), 0},
        {"a week", Date(2021, 6, 22, 8, 0, 0), Date(2021, 6, 15, 7, 0, 0), 7},
        {"leap day", Date(2020, 3, 1, 0, 0, 0), Date(2020, 2, 28, 0, 0, 0), 2},
        {"across the year", Date(2021, 1, 2, 6, 0, 0), Date(2020, 12, 30, 6, 0, 0), 3},
        {"second a second later", Date(2021, 6, 15, 12, 0, 0), Date(2021, 6, 15, 12, 0, 1), -1},
        {"second a day later", Date(2021, 6, 14, 12, 0, 0), Date(2021, 6, 15, 12, 0, 0), -2},
        {"second a day and a half later", Date(2021, 6, 14, 0, 0, 0), Date(2021, 6, 15, 12, 0, 0), -2},
        {"day of week ignored", Date(2021, 6, 15, 12, 0, 0, 3), Date(2021, 6, 14, 12, 0, 0, 6), 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(WholeDaysBetween(row.first, row.second), row.expected);
    }
}

}  // namespace
}  // namespace kv
