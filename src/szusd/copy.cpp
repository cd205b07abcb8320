// Copy of one file through the copy engine: a plain copy with no volumes,
// used by zusdmv when a rename cannot cross file systems. The copy is synced
// before it is reported done, so the caller may remove the original.
#include "szucp.h"
#include "szusd.h"

#include <cerrno>
#include <cstring>

unsigned zusdcp(const char *from, const char *to, uint32_t /*x*/, uint32_t /*length*/,
                zusdprog progress, uint32_t /*y*/, void *context) {
    if (from == nullptr || to == nullptr) return ZUSD_SYSERR;
    // The join driver takes its source as a path buffer it may rewrite.
    char source[ZUSD_PATHSZ];
    const std::size_t len = std::strlen(from);
    if (len >= sizeof source || std::strlen(to) >= ZUSD_PATHSZ) {
        errno = ENAMETOOLONG;
        zusderr("zusdcp: path too long (%s -> %s)", from, to);
        return ZUSD_SYSERR;
    }
    std::memcpy(source, from, len + 1);
    return zucpjn(source, to, 0, 0, 0, 0, 0, "", "", nullptr, progress, nullptr, context, 0, 0,
                  nullptr);
}
