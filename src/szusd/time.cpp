// Current time and its two text layouts: the display layout used by the error
// log and the sortable layout used for stamps that must order as text.
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
