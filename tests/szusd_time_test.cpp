// Dates: the display and sortable layouts and the parser that reads the
// display layout back. Each row of szusd_time_cases.tsv runs in a forked
// child (the time zone is process-wide), with TZ as its set-up names it.
#include "szusd.h"
#include "testutil.h"

namespace {

using zutest::arg;
using zutest::words;

std::string run(const std::vector<std::string> &r) {
    for (const auto &item : zutest::split(r[0], '|'))
        if (item != "-" && !zutest::setup_item(item)) return "set-up failed: " + item;
    tzset();
    char text[21] = "";
    time_t t = 7;
    if (r[1] == "du") {
        t = static_cast<time_t>(std::stoll(r[2]));
        const int n = zusddu(&t, text, std::stoi(r[3]));
        return words(n, zusddl(&t), "[" + std::string(text) + "]");
    }
    if (r[1] ==
        "dp") {  // the parser's status and fields, then zusddp's value and whether *t holds it
        struct tm tm;
        std::memset(&tm, 1, sizeof tm);
        const unsigned s = zusdbt(arg(r[2]), nullptr, &tm);
        const time_t value = zusddp(&t, arg(r[2]));
        return words(s, tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     tm.tm_isdst, value, t == value);
    }
    if (r[1] == "now") {  // stored and returned alike, and its display text reads back to it
        const time_t now = zusdgd(&t);
        zusddu(&now, text, 0);
        return words(now == t, now > 1700000000, zusddp(nullptr, text) == now);
    }
    return "unknown operation " + r[1];
}

TEST(SzusdTimeTable, EveryRowReportsAsRecorded) {
    zutest::TempDir dir{"zutime"};
    zutest::check_rows("szusd_time_cases.tsv", "szusd_path_tree.tsv", {{"$D", dir.str()}}, run);
}

}  // namespace
