// Current time, its two text layouts (the display layout used by the error
// log, the sortable layout for stamps that must order as text) and the parser
// that reads the display layout back.
#include "szusd.h"

#include <cstring>

time_t zusdgd(time_t *t) {
    const time_t now = std::time(nullptr);
    if (t != nullptr) *t = now;
    return now;
}

int zusddu(const time_t *t, char *text, int sortable) {
    struct tm local;
    if (localtime_r(t, &local) == nullptr) {
        text[0] = '\0';
        return 0;
    }
    const size_t n = sortable ? std::strftime(text, 21, "%Y.%m.%d.%H.%M.%S", &local)
                              : std::strftime(text, 21, "%m/%d/%y %I:%M:%S %p", &local);
    if (n == 0) text[0] = '\0';
    return static_cast<int>(n);
}

int zusddl(const time_t *t) {
    char text[21];
    return zusddu(t, text, 0);
}

namespace {

// Reads one to `most` decimal digits at *p; false when there is none.
bool digits(const char *&p, int most, int *value) {
    int n = 0, v = 0;
    while (n < most && *p >= '0' && *p <= '9') {
        v = v * 10 + (*p++ - '0');
        ++n;
    }
    *value = v;
    return n > 0;
}

bool expect(const char *&p, char c) {
    if (*p != c) return false;
    ++p;
    return true;
}

}  // namespace

// The display layout "%m/%d/%y %I:%M:%S %p" read back. A two-digit year is
// taken as strftime's %y wrote it (69-99 in the 1900s, 00-68 in the 2000s)
// and a four-digit year as it stands, and daylight saving time is left to
// mktime, so that the text of a time value parses to that same value.
unsigned zusdbt(const char *text, const char * /*layout*/, struct tm *tm) {
    std::memset(tm, 0, sizeof *tm);
    if (text == nullptr) return ZUSD_SYSERR;
    const char *p = text;
    int month, day, year, hour, minute, second;
    if (!digits(p, 2, &month) || !expect(p, '/') || !digits(p, 2, &day) || !expect(p, '/'))
        return ZUSD_SYSERR;
    const char *const y0 = p;
    if (!digits(p, 4, &year) || !expect(p, ' ')) return ZUSD_SYSERR;
    const bool shortyear = p - y0 <= 3;  // one or two digits and the blank
    if (!digits(p, 2, &hour) || !expect(p, ':') || !digits(p, 2, &minute) || !expect(p, ':') ||
        !digits(p, 2, &second) || !expect(p, ' '))
        return ZUSD_SYSERR;
    const char marker = *p;
    const bool pm = marker == 'P' || marker == 'p';
    if (!pm && marker != 'A' && marker != 'a') return ZUSD_SYSERR;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 1 || hour > 12 || minute > 59 ||
        second > 60)
        return ZUSD_SYSERR;

    tm->tm_mon = month - 1;
    tm->tm_mday = day;
    tm->tm_year = shortyear ? (year < 69 ? year + 100 : year) : year - 1900;
    tm->tm_hour = pm ? (hour == 12 ? 12 : hour + 12) : (hour == 12 ? 0 : hour);
    tm->tm_min = minute;
    tm->tm_sec = second;
    tm->tm_isdst = -1;
    return ZUSD_OK;
}

time_t zusddp(time_t *t, const char *text) {
    struct tm tm;
    const time_t value = zusdbt(text, nullptr, &tm) == ZUSD_OK ? std::mktime(&tm) : (time_t)-1;
    if (t != nullptr) *t = value;
    return value;
}

void zusddc(time_t *to, const time_t *from) {
    *to = *from;
}
