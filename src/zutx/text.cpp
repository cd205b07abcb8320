// The string primitives: length, bounded copy and append, folded bounded
// equality, whitespace removal, case conversion, replace-all and the size and
// decimal parsers. Nothing here allocates except zutxds.
#include "zutx.h"
#include "fold.h"

#include <cctype>
#include <cstdlib>

void *(*zutx_alloc)(std::size_t size) = std::malloc;

using zutx_detail::fold;
using zutx_detail::byte;

std::uint16_t zutxln(const char *s) {
    if (s == nullptr) return 0;
    std::uint16_t n = 0;
    while (s[0] != '\0') {
        ++n;  // wraps modulo 65536 by design
        ++s;
    }
    return n;
}

std::uint16_t zutxcp(char *dst, const char *src, std::uint16_t max) {
    if (dst == nullptr || src == nullptr) return 0;
    std::uint16_t n = 0;
    while (n < max && src[n] != '\0') {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = '\0';
    return n;
}

std::uint16_t zutxct(char *dst, const char *src, std::uint16_t max) {
    if (dst == nullptr || src == nullptr) return 0;
    while (dst[0] != '\0') ++dst;
    return zutxcp(dst, src, max);
}

unsigned zutxnl(const char *s) { return s != nullptr && s[0] == '\0' ? 1 : 0; }

unsigned zutxsm(const char *a, const char *b, std::uint16_t max) {
    if (max == 0) return 1;
    if (a == nullptr || b == nullptr) return a == b ? 1 : 0;
    for (unsigned i = 0; i < max; ++i) {
        if (fold(a[i]) != fold(b[i])) return 0;
        if (a[i] == '\0') return 1;  // both ended here
    }
    return 1;
}

void zutxnt(char *s, std::uint16_t n) {
    if (s != nullptr) s[n] = '\0';
}

char *zutxds(const char *s) {
    const std::uint16_t len = zutxln(s);
    char *copy = static_cast<char *>(zutx_alloc(std::size_t{len} + 1));
    if (copy == nullptr) return nullptr;
    copy[0] = '\0';
    zutxcp(copy, s, len);
    return copy;
}

namespace {

// The sets of characters the whitespace operations remove.
constexpr bool is_any_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
constexpr bool is_line_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

std::uint16_t zutxrw(char *s) {
    char *w = s;
    for (const char *r = s; *r != '\0'; ++r) {
        if (!is_any_space(*r)) *w++ = *r;
    }
    *w = '\0';
    return static_cast<std::uint16_t>(w - s);
}

std::uint16_t zutxrl(char *s) {
    if (s == nullptr) return 0;
    std::size_t lead = 0;
    while (is_line_space(s[lead])) ++lead;
    if (lead == 0) return 0;
    char *w = s;
    for (const char *r = s + lead; *r != '\0'; ++r) *w++ = *r;
    *w = '\0';
    return static_cast<std::uint16_t>(lead);
}

std::uint16_t zutxrt(char *s) {
    if (s == nullptr || s[0] == '\0') return 0;
    char *end = s;
    while (*end != '\0') ++end;
    char *cut = end;
    while (cut > s && is_line_space(cut[-1])) --cut;
    *cut = '\0';
    return static_cast<std::uint16_t>(end - cut);
}

std::uint16_t zutxuc(char *s, std::uint16_t max) {
    if (s == nullptr) return max;
    for (unsigned i = 0; i < max && s[i] != '\0'; ++i) {
        if (std::islower(byte(s[i]))) s[i] = static_cast<char>(byte(s[i]) - 32);
    }
    return max;
}

std::uint16_t zutxlc(char *s, std::uint16_t max) {
    if (s == nullptr) return max;
    for (unsigned i = 0; i < max && s[i] != '\0'; ++i) {
        if (std::isupper(byte(s[i]))) s[i] = static_cast<char>(byte(s[i]) + 32);
    }
    return max;
}

void zutxmp(char *s, char from, char to, std::uint16_t max) {
    if (s == nullptr) return;
    for (unsigned i = 0; i < max && s[i] != '\0'; ++i) {
        if (s[i] == from) s[i] = to;
    }
}

std::uint16_t zutxno(const char *s, char c) {
    std::uint16_t n = 0;
    for (; *s != '\0'; ++s) {
        if (*s == c) ++n;
    }
    return n;
}

std::uint16_t zutxbs(const char *s) { return zutxno(s, '/'); }

std::uint16_t zutxpn(const char *s, std::uint16_t n, char c) {
    if (n == 0 || s[0] == '\0') return 0;
    std::uint16_t pos = 0;
    std::uint16_t seen = 0;
    for (; *s != '\0'; ++s) {
        ++pos;
        if (*s == c && ++seen == n) break;
    }
    return pos;
}

std::uint16_t zutxpo(const char *s, std::uint16_t n) { return zutxpn(s, n, '/'); }

void zutxro(const char *src, const char *pat, const char *rep, char *out) {
    out[0] = '\0';
    if (src == nullptr || pat == nullptr || rep == nullptr) return;
    if (zutxnl(pat)) {
        zutxcp(out, src, 65535);
        return;
    }
    // The naive search: try the pattern at every position; after a match the
    // scan goes on behind it, so occurrences never overlap. A pattern that is
    // only partly present at the end leaves that tail as it was.
    const std::uint16_t rep_len = zutxln(rep);
    char *w = out;
    const char *r = src;
    while (*r != '\0') {
        std::size_t k = 0;
        while (pat[k] != '\0' && r[k] != '\0' && fold(r[k]) == fold(pat[k])) ++k;
        if (pat[k] == '\0') {
            zutxcp(w, rep, 65535);
            w += rep_len;
            r += k;
        } else {
            *w++ = *r++;
        }
    }
    *w = '\0';
}

namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

const char *skip_blanks(const char *s) {
    while (*s == ' ') ++s;
    return s;
}

// Shared body of the two parsers. `suffixes` admits one K/M letter directly
// after the digits; `limit` is the largest value accepted. The arithmetic is
// done in 64 bits so that every overflow is seen, including growth that
// would wrap past 2^32 to a value larger than the one before.
unsigned parse_number(const char *s, std::uint32_t *value, bool suffixes, std::uint64_t limit) {
    if (s == nullptr || value == nullptr) return 0;
    s = skip_blanks(s);
    std::uint64_t v = 0;
    for (; *s != '\0'; ++s) {
        const char c = *s;
        if (is_digit(c)) {
            v = v * 10 + static_cast<unsigned>(c - '0');
            if (v > limit) return 0;
        } else if (suffixes && (c == 'K' || c == 'k' || c == 'M' || c == 'm')) {
            v <<= (c == 'K' || c == 'k') ? 10 : 20;
            if (v > limit) return 0;
            if (*skip_blanks(s + 1) != '\0') return 0;  // only blanks may follow
            break;
        } else if (c == ' ') {
            if (*skip_blanks(s) != '\0') return 0;
            break;
        } else {
            return 0;
        }
    }
    *value = static_cast<std::uint32_t>(v);
    return 1;
}

}  // namespace

unsigned zutxp4(const char *s, std::uint32_t *value) {
    return parse_number(s, value, true, 0xFFFFFFFFu);
}

unsigned zutxpe(const char *s, std::uint32_t *value) {
    return parse_number(s, value, false, 0x7FFFFFFFu);
}
