// String arrays and separated lists: splitting a list into separate copies,
// set union, difference and inclusion of name arrays, joining an array back
// into one string, and whole-list operations on comma-separated lists.
#include "zutx.h"

#include <cstdlib>
#include <cstring>

namespace {

// Set operations compare and copy at most this many characters of a name.
constexpr std::uint16_t name_limit = 4096;
// An array's count is 16-bit, so this is the most entries one can hold.
constexpr std::size_t max_entries = 65535;

// A string array under construction. It owns its block and entries until
// `hand_out` gives them to the caller, so every failure path releases
// whatever was built so far.
class Builder {
public:
    Builder() = default;
    Builder(const Builder &) = delete;
    Builder &operator=(const Builder &) = delete;
    ~Builder() {
        if (block_ == nullptr) return;
        for (std::size_t i = 0; i < used_; ++i) std::free(block_[i]);
        std::free(block_);
    }

    // Room for `capacity` entries; false when memory runs out. Callers count
    // the entries before they add them, so `add` never passes the capacity.
    bool reserve(std::size_t capacity) {
        if (capacity == 0) return true;
        block_ = static_cast<char **>(zutx_alloc(capacity * sizeof(char *)));
        return block_ != nullptr;
    }

    // Append a copy of the first `len` characters at `s`; a null `s` gives a
    // null entry. False when memory runs out.
    bool add(const char *s, std::size_t len) {
        char *copy = nullptr;
        if (s != nullptr) {
            copy = static_cast<char *>(zutx_alloc(len + 1));
            if (copy == nullptr) return false;
            std::memcpy(copy, s, len);
            copy[len] = '\0';
        }
        block_[used_++] = copy;
        return true;
    }

    // A copy of a name of a set, cut to the name limit.
    bool add_name(const char *s) { return add(s, s == nullptr ? 0 : strnlen(s, name_limit)); }

    // Give the array to the caller; no entries give a null array.
    void hand_out(std::uint16_t *count, char ***array) {
        *count = static_cast<std::uint16_t>(used_);
        if (used_ == 0) {
            std::free(block_);
            block_ = nullptr;
        }
        *array = block_;
        block_ = nullptr;
        used_ = 0;
    }

private:
    char **block_ = nullptr;
    std::size_t used_ = 0;
};

// The answer of a building operation that could not finish.
unsigned refuse(std::uint16_t *count, char ***array) {
    if (count != nullptr) *count = 0;
    if (array != nullptr) *array = nullptr;
    return 0;
}

// 1 when `s` equals one of the first `n` names of `a` within `limit`.
bool contains(const char *const *a, std::uint16_t n, const char *s, std::uint16_t limit) {
    for (std::uint16_t i = 0; i < n; ++i) {
        if (zutxsm(a[i], s, limit)) return true;
    }
    return false;
}

// An array received from zutxsa, zutxau or zutxad, released on scope exit.
struct Owned {
    std::uint16_t count = 0;
    char **array = nullptr;
    Owned() = default;
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { zutxfsa(array, count); }
};

}  // namespace

unsigned zutxsa(const char *s, char sep, std::uint16_t *count, char ***array, int skip) {
    if (count == nullptr || array == nullptr) return refuse(count, array);
    *count = 0;
    *array = nullptr;
    if (s == nullptr || s[0] == '\0') return 1;

    // Count in full width first: a list of more than 65535 fields has no
    // 16-bit count and is refused instead of wrapping.
    std::size_t fields = 1;
    std::size_t empty = 0;
    std::size_t field_len = 0;
    for (const char *p = s;; ++p) {
        if (*p == sep || *p == '\0') {
            if (field_len == 0) ++empty;
            if (*p == '\0') break;
            ++fields;
            field_len = 0;
        } else {
            ++field_len;
        }
    }
    const std::size_t kept = skip ? fields - empty : fields;
    if (kept > max_entries) return refuse(count, array);

    Builder out;
    if (!out.reserve(kept)) return refuse(count, array);
    const char *start = s;
    for (const char *p = s;; ++p) {
        if (*p == sep || *p == '\0') {
            const std::size_t len = static_cast<std::size_t>(p - start);
            if ((len != 0 || !skip) && !out.add(start, len)) return refuse(count, array);
            if (*p == '\0') break;
            start = p + 1;
        }
    }
    out.hand_out(count, array);
    return 1;
}

void zutxfsa(char **a, std::uint16_t n) {
    if (a == nullptr || n == 0) return;
    for (std::uint16_t i = 0; i < n; ++i) std::free(a[i]);
    std::free(a);
}

unsigned zutxau(std::uint16_t nA, std::uint16_t nB, const char *const *A, const char *const *B,
                std::uint16_t *count, char ***array) {
    if (count == nullptr || array == nullptr) return refuse(count, array);
    if (A == nullptr) nA = 0;
    if (B == nullptr) nB = 0;
    std::size_t total = nA;
    for (std::uint16_t j = 0; j < nB; ++j) {
        if (!contains(A, nA, B[j], name_limit)) ++total;
    }
    if (total > max_entries) return refuse(count, array);

    Builder out;
    if (!out.reserve(total)) return refuse(count, array);
    for (std::uint16_t i = 0; i < nA; ++i) {
        if (!out.add_name(A[i])) return refuse(count, array);
    }
    for (std::uint16_t j = 0; j < nB; ++j) {
        if (!contains(A, nA, B[j], name_limit) && !out.add_name(B[j])) {
            return refuse(count, array);
        }
    }
    out.hand_out(count, array);
    return 1;
}

unsigned zutxad(std::uint16_t nA, std::uint16_t nB, const char *const *A, const char *const *B,
                std::uint16_t *count, char ***array) {
    if (count == nullptr || array == nullptr) return refuse(count, array);
    if (A == nullptr) nA = 0;
    if (B == nullptr) nB = 0;
    std::size_t left = 0;
    for (std::uint16_t i = 0; i < nA; ++i) {
        if (!contains(B, nB, A[i], name_limit)) ++left;
    }

    Builder out;
    if (!out.reserve(left)) return refuse(count, array);
    for (std::uint16_t i = 0; i < nA; ++i) {
        if (!contains(B, nB, A[i], name_limit) && !out.add_name(A[i])) {
            return refuse(count, array);
        }
    }
    out.hand_out(count, array);
    return 1;
}

unsigned zutxas(const char *const *a, std::uint16_t n, char **out, char sep) {
    if (out == nullptr) return 0;
    *out = nullptr;
    if (a == nullptr) n = 0;
    // The size is summed in full width, so a joined list past 65535 bytes
    // gets all the room it needs.
    std::size_t size = n == 0 ? 1 : n;  // n - 1 separators and the NUL
    for (std::uint16_t i = 0; i < n; ++i) {
        if (a[i] != nullptr) size += strnlen(a[i], name_limit);
    }
    char *joined = static_cast<char *>(zutx_alloc(size));
    if (joined == nullptr) return 0;
    char *w = joined;
    for (std::uint16_t i = 0; i < n; ++i) {
        if (a[i] != nullptr) {
            const std::size_t len = strnlen(a[i], name_limit);
            std::memcpy(w, a[i], len);
            w += len;
        }
        if (i + 1 < n) *w++ = sep;
    }
    *w = '\0';
    *out = joined;
    return 1;
}

unsigned zutxae(const char *const *A, const char *const *B, std::uint16_t n) {
    for (std::uint16_t i = 0; i < n; ++i) {
        if (!contains(B, n, A[i], name_limit)) return 0;
    }
    return 1;
}

unsigned zutxse(const char *a, const char *b) {
    Owned fa, fb;
    if (!zutxsa(a, ',', &fa.count, &fa.array, 0)) return 0;
    if (!zutxsa(b, ',', &fb.count, &fb.array, 0)) return 0;
    if (fa.count != fb.count) return 0;
    return zutxae(fa.array, fb.array, fa.count);
}

namespace {

// Shared body of zutxla and zutxlr: split, combine with the one-name array
// of `item` through `combine`, join, and tell whether the field count moved.
using Combine = unsigned (*)(std::uint16_t, std::uint16_t, const char *const *,
                             const char *const *, std::uint16_t *, char ***);

unsigned edit_list(const char *list, const char *item, char **out, std::int32_t *changed,
                   Combine combine) {
    if (out == nullptr || changed == nullptr) return 0;
    *out = nullptr;
    *changed = 0;
    Owned fields, result;
    const char *const one[1] = {item};
    if (!zutxsa(list, ',', &fields.count, &fields.array, 0)) return 0;
    if (!combine(fields.count, 1, fields.array, one, &result.count, &result.array)) return 0;
    if (!zutxas(result.array, result.count, out, ',')) return 0;
    *changed = result.count != fields.count ? 1 : 0;
    return 1;
}

}  // namespace

unsigned zutxla(const char *list, const char *item, char **out, std::int32_t *changed) {
    return edit_list(list, item, out, changed, zutxau);
}

unsigned zutxlr(const char *list, const char *item, char **out, std::int32_t *changed) {
    return edit_list(list, item, out, changed, zutxad);
}

unsigned zutxima(const char *const *a, std::uint16_t n, const char *s) {
    if (a == nullptr) return 0;
    return contains(a, n, s, 65535) ? 1 : 0;
}

unsigned zutximsa(const char *list, const char *item, char sep) {
    Owned fields;
    if (!zutxsa(list, sep, &fields.count, &fields.array, 1)) return 0;
    return zutxima(fields.array, fields.count, item);
}
