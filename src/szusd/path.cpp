// Path names: the split of a path into lead, dir, base and ext and the join
// back, the `_` naming of compressed files, the volume digit of multi-volume
// pieces, normalisation of typed paths and the current-directory services.
// Nothing here allocates; every part is bounded by its caller's buffer size.
#include "szusd.h"
#include "zuhlpb.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

// Copy `text` into `out` of `size` bytes; false (and `out` untouched) when it
// does not fit with its terminator.
bool put(char *out, std::size_t size, std::string_view text) {
    if (text.size() >= size) return false;
    text.copy(out, text.size());
    out[text.size()] = '\0';
    return true;
}

const char *text(const char *s) {
    return s != nullptr ? s : "";
}
std::string_view view(const char *s) {
    return std::string_view(text(s));
}

void clear4(char *lead, char *dir, char *base, char *ext) {
    lead[0] = dir[0] = base[0] = ext[0] = '\0';
}

}  // namespace

// The extension dot is the last `.` of the last component that is followed by
// something other than `.` or `/`. A dot that ends the path is not one, so
// "name." and ".." stay whole in base and every path joins back to itself.
unsigned zusdup(const char *path, char *lead, char *dir, char *base, char *ext) {
    const std::string_view p = view(path);
    clear4(lead, dir, base, ext);
    if (p.empty()) return ZUSD_OK;

    const bool absolute = p.front() == '/';
    std::size_t slash = std::string_view::npos;  // last '/'
    std::size_t dot = std::string_view::npos;    // extension dot
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '/') {
            slash = i;
            dot = std::string_view::npos;
        } else if (p[i] == '.' && i + 1 < p.size() && p[i + 1] != '.' && p[i + 1] != '/') {
            dot = i;
        }
    }
    const bool trailing = p.back() == '/';
    // Without any slash the last component starts at the first character.
    const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    const std::size_t end = dot == std::string_view::npos ? p.size() : dot;

    std::string_view l, d;
    if (absolute) {
        l = slash == 0 ? p.substr(0, 1) : p.substr(0, trailing ? slash + 1 : slash);
    } else if (slash != std::string_view::npos) {
        d = p.substr(0, trailing ? slash + 1 : slash);
    }
    const std::string_view b = p.substr(start, end - start);
    const std::string_view e =
        dot == std::string_view::npos ? std::string_view() : p.substr(dot + 1);

    if (!put(lead, ZUSD_LEADSZ, l) || !put(dir, ZUSD_DIRSZ, d) || !put(base, ZUSD_BASESZ, b) ||
        !put(ext, ZUSD_EXTSZ, e)) {
        clear4(lead, dir, base, ext);
        errno = ENAMETOOLONG;
        zusderr("zusdup: part of (%s) longer than its buffer (255,255,255,19).", path);
        return ZUSD_SYSERR;
    }
    return ZUSD_OK;
}

unsigned zusdcm(char *out, const char *lead, const char *dir, const char *base, const char *ext) {
    const std::string_view l = view(lead), d = view(dir), b = view(base), e = view(ext);
    // Built aside first: `out` may be one of the parts.
    char joined[ZUSD_PATHSZ];
    std::size_t n = 0;
    bool fits = true;
    auto add = [&](std::string_view s) {
        if (!fits || s.size() >= sizeof joined - n) {
            fits = false;
            return;
        }
        s.copy(joined + n, s.size());
        n += s.size();
    };
    auto separate = [&] {
        if (n == 0 || joined[n - 1] != '/') add("/");
    };
    add(l);
    if (!l.empty() && !(d.empty() && b.empty() && e.empty())) separate();
    add(d);
    if (!d.empty() && !(b.empty() && e.empty())) separate();
    add(b);
    if (!e.empty()) {
        add(".");
        add(e);
    }
    if (!fits) {
        out[0] = '\0';
        errno = ENAMETOOLONG;
        zusderr("zusdcm: join of (%s,%s,%s,%s) longer than %u.", text(lead), text(dir), text(base),
                text(ext), ZUSD_PATHSZ - 1);
        return ZUSD_SYSERR;
    }
    joined[n] = '\0';
    std::memcpy(out, joined, n + 1);
    return ZUSD_OK;
}

unsigned zusdcf(char *base, char *ext) {
    const bool onext = ext[0] != '\0';
    char *part = onext ? ext : base;
    const std::size_t size = onext ? ZUSD_EXTSZ : ZUSD_BASESZ;
    const std::size_t len = std::strlen(part);
    if (len + 1 >= size) {
        errno = ENAMETOOLONG;
        zusderr("zusdcf: %s_ longer than %zu.", part, size - 1);
        return ZUSD_SYSERR;
    }
    part[len] = '_';
    part[len + 1] = '\0';
    return ZUSD_OK;
}

unsigned zusdfsf(char *path, int toggle, int reset) {
    char lead[ZUSD_LEADSZ], dir[ZUSD_DIRSZ], base[ZUSD_BASESZ], ext[ZUSD_EXTSZ];
    if (const unsigned status = zusdup(path, lead, dir, base, ext)) return status;
    // The digit is the first character of base, or the second after a `_`.
    char *digit = base[0] == '_' ? base + 1 : base;
    if (*digit == '\0') {
        zusderr("zusdfsf: no volume digit in base name of (%s).", path);
        return ZUSD_NOMORE;
    }
    if (toggle)
        *digit = *digit == '1' ? '2' : '1';
    else if (reset)
        *digit = '0';
    else
        *digit = static_cast<char>(*digit + 1);
    // The join of a split path has the path's length, so it fits its buffer.
    return zusdcm(path, lead, dir, base, ext);
}

void zusdpt(char *path) {
    if (path == nullptr) return;
    std::size_t n = 0;
    for (; path[n] != '\0'; ++n)
        if (path[n] == '\\') path[n] = '/';
    while (n > 0 && (path[n - 1] == ' ' || path[n - 1] == '\t' || path[n - 1] == '\n')) --n;
    path[n] = '\0';
}

unsigned zusddr(char *path) {
    if (path == nullptr) return 0;
    const std::size_t n = std::strlen(path);
    if (n >= 2 && path[n - 1] == '/') path[n - 1] = '\0';
    return static_cast<unsigned>(n);
}

unsigned zusdwd(char *buffer, uint16_t size) {
    if (getcwd(buffer, size) != nullptr) return ZUSD_OK;
    zusderr("zusdwd: getcwd(0x%lx, %d)==0.", reinterpret_cast<unsigned long>(buffer), (int)size);
    return errno == EACCES ? ZUSD_DENIED : ZUSD_SYSERR;
}

unsigned zusdsd(const char *path) {
    if (path == nullptr || path[0] == '\0') return ZUSD_OK;
    if (chdir(path) != 0) {
        zusderr("zusdsd: chdir(%s)!=0.", path);
        return zusdes(errno);
    }
    zuhlpin(path);
    return ZUSD_OK;
}

unsigned zusdcr(char *path) {
    char saved[ZUSD_PATHSZ];
    if (const unsigned status = zusdwd(saved, sizeof saved)) return status;
    unsigned status = zusdsd(path);
    if (status == ZUSD_OK) {
        // Read into a second buffer: `path` keeps its text when this fails.
        char now[ZUSD_PATHSZ];
        status = zusdwd(now, sizeof now);
        if (status == ZUSD_OK) std::memcpy(path, now, std::strlen(now) + 1);
        // A caller told "done" must find the working directory unchanged.
        const unsigned back = zusdsd(saved);
        if (status == ZUSD_OK) status = back;
    }
    return status;
}

void zusdfd(char *path) {
    if (path != nullptr) path[0] = '\0';
}

void zusdsv(void) {}
void zusdud(const char * /*location*/) {}
void zusdur(void) {}
