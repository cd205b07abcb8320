// The least system layer that the name-translation services need: values of
// environment variables, with logical names mapped onto the same variables.
#include "slsys.h"

#include <climits>
#include <cstdlib>
#include <cstring>

int slctbev(const char *name, char *out, size_t size) {
    if (out != nullptr && size > 0) out[0] = '\0';
    // A name with '=' could match the tail of another entry ("A=B" against
    // "A=B=c"), so it is refused rather than looked up.
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '=') != nullptr ||
        out == nullptr)
        return SLCTBEV_FAILED;
    const char *value = std::getenv(name);
    if (value == nullptr) return SLCTBEV_UNDEFINED;
    const size_t len = std::strlen(value);
    // The value and its terminator must fit whole, and the length must be
    // representable in the result.
    if (len >= size || len > static_cast<size_t>(INT_MAX)) return SLCTBEV_FAILED;
    std::memcpy(out, value, len + 1);
    return static_cast<int>(len);
}

char *sltln(const char *name, char *out, size_t size, int *undefined) {
    const int result = slctbev(name, out, size);
    if (result >= 0) {
        if (undefined != nullptr) *undefined = 0;
        return out;
    }
    if (undefined != nullptr) *undefined = result == SLCTBEV_UNDEFINED ? 1 : 0;
    return nullptr;
}
