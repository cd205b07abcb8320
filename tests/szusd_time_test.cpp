// Dates: the display and sortable layouts and the parser that reads the
// display layout back. Time zones are process-wide, so tests that set TZ run
// in a forked child.
#include "szusd.h"
#include "testutil.h"

#include <array>

namespace {

time_t localTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

TEST(Dates, NoonAndMidnightInTheDisplayLayout) {
    const time_t noon = localTime(2026, 12, 6, 12, 0, 0);
    char text[21];
    EXPECT_EQ(zusddu(&noon, text, 0), 20);
    EXPECT_STREQ(text, "12/06/26 12:00:00 PM");
    EXPECT_EQ(zusddl(&noon), 20);
    time_t parsed = 0;
    EXPECT_EQ(zusddp(&parsed, text), noon);
    EXPECT_EQ(parsed, noon);

    EXPECT_EQ(zusddp(&parsed, "12/06/26 12:30:00 AM"), localTime(2026, 12, 6, 0, 30, 0));
    EXPECT_EQ(zusddp(&parsed, "1/2/99 1:02:03 pm"), localTime(1999, 1, 2, 13, 2, 3));
    EXPECT_EQ(zusddp(&parsed, "07/04/1976 11:59:59 AM"), localTime(1976, 7, 4, 11, 59, 59));

    EXPECT_EQ(zusddu(&noon, text, 1), 19);
    EXPECT_STREQ(text, "2026.12.06.12.00.00");
}

TEST(Dates, ParserFillsTheBrokenDownTime) {
    // year - 1900, month - 1, day, hour, minute, second
    const struct {
        const char *text;
        std::array<int, 6> fields;
    } cases[] = {{"03/15/26 12:05:09 AM", {126, 2, 15, 0, 5, 9}},
                 {"03/15/70 12:05:09 PM", {70, 2, 15, 12, 5, 9}},
                 {"03/15/70 11:05:09 PM", {70, 2, 15, 23, 5, 9}}};
    for (const auto &c : cases) {
        struct tm tm {};
        EXPECT_EQ(zusdbt(c.text, nullptr, &tm), ZUSD_OK) << c.text;
        const std::array<int, 6> got{tm.tm_year, tm.tm_mon, tm.tm_mday,
                                     tm.tm_hour, tm.tm_min, tm.tm_sec};
        EXPECT_EQ(got, c.fields) << c.text;
    }
}

TEST(Dates, TextOfAnotherFormIsRefused) {
    struct tm tm;
    for (const char *bad : {"", "12/06/26", "12-06-26 12:00:00 PM", "13/06/26 12:00:00 PM",
                            "12/06/26 13:00:00 PM", "12/06/26 00:00:00 AM", "12/06/26 12:00:00",
                            "12/06/26 12:00:00 XM", "12/06/26 12:60:00 PM", "x"}) {
        EXPECT_EQ(zusdbt(bad, nullptr, &tm), ZUSD_SYSERR) << bad;
        time_t t = 0;
        EXPECT_EQ(zusddp(&t, bad), (time_t)-1) << bad;
        EXPECT_EQ(t, (time_t)-1) << bad;
    }
    EXPECT_EQ(zusdbt(nullptr, nullptr, &tm), ZUSD_SYSERR);
}

TEST(Dates, CurrentTimeAndCopy) {
    time_t now = 0;
    EXPECT_EQ(zusdgd(&now), now);
    EXPECT_GT(now, 1700000000);
    time_t copy = 0;
    zusddc(&copy, &now);
    EXPECT_EQ(copy, now);
    // The display text of the current time reads back to the same second.
    char text[21];
    zusddu(&now, text, 0);
    EXPECT_EQ(zusddp(nullptr, text), now);
}

// In a zone with daylight saving time, a summer time's text parses back to
// the same value.
TEST(Dates, DaylightSavingTimeRoundTrip) {
    EXPECT_EQ(zutest::run_in_child([] {
                  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
                  tzset();
                  const time_t summer = localTime(2026, 7, 1, 15, 4, 5);
                  const time_t winter = localTime(2026, 1, 1, 15, 4, 5);
                  char a[21], b[21];
                  zusddu(&summer, a, 0);
                  zusddu(&winter, b, 0);
                  EXPECT_STREQ(a, "07/01/26 03:04:05 PM");
                  EXPECT_EQ(zusddp(nullptr, a), summer);
                  EXPECT_EQ(zusddp(nullptr, b), winter);
                  EXPECT_NE(summer, winter);
              }),
              0);
}

}  // namespace
