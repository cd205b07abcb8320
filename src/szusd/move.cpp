// Rename with a cross-device fallback: within one file system a rename; when
// the two names lie on different file systems, a plain copy through the copy
// engine followed by the removal of the original.
#include "szusd.h"

#include <cerrno>
#include <cstdio>

unsigned zusdmv(const char *from, const char *to, uint32_t x, uint32_t length, zusdprog progress,
                uint32_t y, void *context) {
    // A failed existence test is not final: the rename reports the reason.
    int exists = 0;
    if (zusdex(from, &exists) == ZUSD_OK && !exists) return ZUSD_NOTFOUND;

    if (std::rename(from, to) == 0) {
        if (progress != nullptr) progress(context, zusdcs(to, length));
        return ZUSD_OK;
    }
    if (errno != EXDEV) {
        zusderr("zusdmv: rename(%s,%s)!=0.", from, to);
        return zusdesm(errno);
    }
    const unsigned status = zusdcp(from, to, x, length, progress, y, context);
    if (status != ZUSD_OK) return status;
    return zusdrm(from);
}
