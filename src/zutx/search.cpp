// Questions about strings: occurrence search, ordering, version comparison,
// classification, wildcard matching, checksums and path elision for display.
#include "zutx.h"
#include "fold.h"

#include <cstring>
#include <string>

using zutx_detail::byte;
using zutx_detail::fold;

namespace {

// Length of the pattern when all of it occurs (letters folded) at `s`,
// else 0. Stops at the first difference, so it never reads past the NUL.
std::size_t folded_match_at(const char *s, const char *pat) {
    std::size_t k = 0;
    while (pat[k] != '\0') {
        if (fold(s[k]) != fold(pat[k])) return 0;
        ++k;
    }
    return k;
}

// Compare folded bytes; a proper prefix sorts first. <0, 0 or >0.
int folded_order(const char *a, const char *b) {
    for (;; ++a, ++b) {
        const unsigned char fa = fold(*a);
        const unsigned char fb = fold(*b);
        if (fa != fb) return fa < fb ? -1 : 1;
        if (fa == '\0') return 0;
    }
}

}  // namespace

std::uint16_t zutxco(const char *s, const char *pat) {
    if (s == nullptr || pat == nullptr || pat[0] == '\0') return 0;
    std::uint16_t count = 0;
    while (*s != '\0') {
        const std::size_t k = folded_match_at(s, pat);
        if (k != 0) {
            ++count;
            s += k;  // occurrences never overlap
        } else {
            ++s;
        }
    }
    return count;
}

unsigned zutxcn(const char *s, const char *sub) {
    if (s == nullptr) return sub == nullptr ? 1 : 0;
    if (sub == nullptr) return 0;
    if (sub[0] == '\0') return 1;
    for (; *s != '\0'; ++s) {
        if (folded_match_at(s, sub) != 0) return 1;
    }
    return 0;
}

void zutxtr(char *s, const char *t) {
    if (s == nullptr || t == nullptr || zutxsm(s, t, 65535)) return;
    std::size_t i = 0;
    while (s[i] != '\0' && fold(s[i]) == fold(t[i])) ++i;
    s[i] = '\0';
}

unsigned zutxle(const char *a, const char *b) {
    if (a == nullptr || b == nullptr) return 0;
    return folded_order(a, b) < 0 ? 1 : 0;
}

unsigned zutxgr(const char *a, const char *b) {
    if (a == nullptr || b == nullptr) return 0;
    return folded_order(a, b) > 0 ? 1 : 0;
}

/* ---- Version comparison ---- */

namespace {

// How a version comparison was decided; each operation maps it to a truth.
enum class Decided {
    a_text_b_number,  // `a` has no digits where `b` has
    a_number_b_text,  // the reverse
    both_text,        // neither has digits: `order` compares first characters
    depth_used_up,    // the comparison ran out of depth: the same version
    numbers_differ,   // `order` compares the two numbers
    end,              // one (or both) ran out: `a_left`, `b_left` tell which
};

struct Verdict {
    Decided how;
    int order;  // <0, 0, >0 for both_text and numbers_differ
    bool a_left;
    bool b_left;
};

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t digit_run(const char *s) {
    std::size_t n = 0;
    while (is_digit(s[n])) ++n;
    return n;
}

// Compare two digit runs by value, whatever their length: without leading
// zeros the longer run is the larger number, equal lengths compare by text.
int compare_numbers(const char *a, std::size_t na, const char *b, std::size_t nb) {
    while (na > 1 && a[0] == '0') ++a, --na;
    while (nb > 1 && b[0] == '0') ++b, --nb;
    if (na != nb) return na < nb ? -1 : 1;
    const int c = std::memcmp(a, b, na);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

Verdict compare_versions(const char *a, const char *b, std::int32_t depth) {
    while (a[0] != '\0' && b[0] != '\0') {
        const std::size_t na = digit_run(a);
        const std::size_t nb = digit_run(b);
        if (na == 0) {
            if (nb != 0) return {Decided::a_text_b_number, 0, false, false};
            // Only the first characters of two text components are compared.
            const unsigned char fa = fold(a[0]);
            const unsigned char fb = fold(b[0]);
            return {Decided::both_text, fa < fb ? -1 : (fa > fb ? 1 : 0), false, false};
        }
        if (nb == 0) return {Decided::a_number_b_text, 0, false, false};
        if (depth == 0) return {Decided::depth_used_up, 0, false, false};
        if (depth > 0) --depth;  // a negative depth never runs out
        const int order = compare_numbers(a, na, b, nb);
        if (order != 0) return {Decided::numbers_differ, order, false, false};
        a += na;
        b += nb;
        if (a[0] == '.') ++a;
        if (b[0] == '.') ++b;
    }
    return {Decided::end, 0, a[0] != '\0', b[0] != '\0'};
}

}  // namespace

unsigned zutxvl(const char *a, const char *b, std::int32_t depth) {
    if (a == nullptr || b == nullptr) return 0;
    const Verdict v = compare_versions(a, b, depth);
    switch (v.how) {
        case Decided::a_text_b_number: return 1;
        case Decided::a_number_b_text: return 0;
        case Decided::both_text: return v.order < 0 ? 1 : 0;
        case Decided::depth_used_up: return 0;
        case Decided::numbers_differ: return v.order < 0 ? 1 : 0;
        case Decided::end: return v.b_left ? 1 : 0;
    }
    return 0;
}

unsigned zutxvg(const char *a, const char *b, std::int32_t depth) {
    if (a == nullptr || b == nullptr) return 0;
    const Verdict v = compare_versions(a, b, depth);
    switch (v.how) {
        case Decided::a_text_b_number: return 0;
        case Decided::a_number_b_text: return 1;
        case Decided::both_text: return v.order > 0 ? 1 : 0;
        case Decided::depth_used_up: return 0;
        case Decided::numbers_differ: return v.order > 0 ? 1 : 0;
        case Decided::end: return v.a_left ? 1 : 0;
    }
    return 0;
}

unsigned zutxvs(const char *a, const char *b, std::int32_t depth) {
    if (a == nullptr || b == nullptr) return 0;
    const Verdict v = compare_versions(a, b, depth);
    switch (v.how) {
        case Decided::a_text_b_number: return 0;
        case Decided::a_number_b_text: return 0;
        case Decided::both_text: return v.order == 0 ? 1 : 0;
        case Decided::depth_used_up: return 1;
        case Decided::numbers_differ: return 0;
        case Decided::end: return !v.a_left && !v.b_left ? 1 : 0;
    }
    return 0;
}

/* ---- Classification, matching and hashing ---- */

unsigned zutxin(const char *s) {
    if (s[0] == '\0') return 0;
    for (; *s != '\0'; ++s) {
        if (!is_digit(*s)) return 0;
    }
    return 1;
}

unsigned zutxvr(const char *s) {
    if (s == nullptr) return 1;
    for (; *s != '\0'; ++s) {
        const unsigned char c = byte(*s);
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(*s) || c == '_';
        if (!ok) return 0;
    }
    return 1;
}

unsigned zutxma(const char *p, const char *t) {
    // Backtracking over the last star only: when the part after a star fails,
    // the star takes one more text character and that part is tried again.
    // An earlier star never needs to be revisited, because the later star can
    // absorb whatever the earlier one would. Same results as trying every
    // split recursively, in constant stack and O(len(p) * len(t)) time.
    const char *star_p = nullptr;  // pattern just after the last run of stars
    const char *star_t = nullptr;  // text position that star run matched up to
    while (*t != '\0') {
        if (*p == '*') {
            while (*p == '*') ++p;
            if (*p == '\0') return 1;
            star_p = p;
            star_t = t;
        } else if (*p != '\0' && (*p == '?' || *p == *t)) {
            ++p;
            ++t;
        } else if (star_p != nullptr) {
            p = star_p;
            t = ++star_t;
        } else {
            return 0;
        }
    }
    while (*p == '*') ++p;
    return *p == '\0' ? 1 : 0;
}

std::uint32_t zutxcs(const char *s) {
    if (s == nullptr) return 0;
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; s[i] != '\0'; ++i) {
        sum += static_cast<std::uint32_t>(fold(s[i])) << (i % 32);
    }
    return sum;
}

std::uint32_t zutxhs(const char *s, std::uint32_t m) {
    if (s == nullptr || m == 0) return 0;
    return zutxcs(s) % m;
}

/* ---- Path elision ---- */

void zutxfp(char *s, std::uint16_t max) {
    if (s == nullptr) return;
    const std::uint16_t len = zutxln(s);
    if (len <= max) return;
    const std::size_t real_len = std::strlen(s);  // differs from len past 65535

    const std::uint32_t n = zutxbs(s);
    const std::uint32_t half = max / 2u;
    std::uint32_t left = n / 2 + 1;
    std::uint32_t right = left;
    std::uint32_t left_cut = zutxpo(s, static_cast<std::uint16_t>(left));
    std::uint32_t right_cut = left_cut;

    // Move the left cut towards the front and the right cut towards the end,
    // one separator per pass, until each side fits in half the width. Every
    // pass either moves a cut or composes, so the loop ends.
    std::string candidate;
    bool composed = false;
    for (;;) {
        const std::uint32_t right_part = static_cast<std::uint16_t>(len - right_cut);
        if (left_cut > half) {
            --left;
            left_cut = left == 0 ? 0 : zutxpo(s, static_cast<std::uint16_t>(left));
        }
        if (right_part > half) {
            ++right;
            right_cut = right > n ? len : zutxpo(s, static_cast<std::uint16_t>(right));
        }
        if (left_cut <= half && static_cast<std::uint16_t>(len - right_cut) <= half) {
            // The composition reads only inside the real string, even when
            // 16-bit positions of a very long path have wrapped.
            candidate.assign(s, left_cut < real_len ? left_cut : real_len);
            candidate += "...";
            if (right_cut != len) {
                const std::size_t from = right_cut == 0 ? 0 : right_cut - 1;  // the separator
                if (from < real_len) candidate.append(s + from, real_len - from);
            }
            composed = true;
            break;
        }
        if (left == 0 || right > n) break;
    }
    if (composed && candidate.size() < real_len) {
        std::memcpy(s, candidate.c_str(), candidate.size() + 1);
    }
}
