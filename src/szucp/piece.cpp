// Piece names of multi-volume copies: the leading directory of a name is
// moved from the mount point it was written for to the current one.
#include "piece.h"

#include "zutx.h"

#include <cerrno>
#include <cstring>
#include <vector>

unsigned zucpcy(char *out, const char *path) {
    const std::size_t len = std::strlen(path);
    if (len >= ZUSD_PATHSZ) {
        errno = ENAMETOOLONG;
        zusderr("zucpcy: path of %zu characters does not fit a path buffer", len);
        return ZUSD_SYSERR;
    }
    std::memcpy(out, path, len + 1);
    return ZUSD_OK;
}

unsigned zucppn(const char *base, char *out) {
    char lead[ZUSD_LEADSZ], dir[ZUSD_DIRSZ], name[ZUSD_BASESZ], ext[ZUSD_EXTSZ];
    unsigned st = zusdup(base, lead, dir, name, ext);
    if (st != ZUSD_OK) return st;
    if (zutxsm(whtdsk, owhtdsk, 65535) != 0) return zusdcm(out, lead, dir, name, ext);
    // Room for the lead with every occurrence of owhtdsk replaced by whtdsk:
    // at most one replacement per length of owhtdsk.
    const std::size_t from = std::strlen(owhtdsk);
    const std::size_t to = std::strlen(whtdsk);
    const std::size_t len = std::strlen(lead);
    const std::size_t most = from == 0 ? 0 : len / from;
    std::vector<char> moved(len + 1 + most * (to > from ? to - from : 0));
    zutxro(lead, owhtdsk, whtdsk, moved.data());
    if (std::strlen(moved.data()) >= ZUSD_PATHSZ) {
        errno = ENAMETOOLONG;
        zusderr("zucppn: piece name of %s does not fit a path buffer", base);
        return ZUSD_SYSERR;
    }
    return zusdcm(out, moved.data(), dir, name, ext);
}
