/* slsys.h - the least system layer beneath the name-translation services of
 * szusdu: environment values and logical names. On this platform a logical
 * name is simply an environment variable of the same name. */
#ifndef SLSYS_H
#define SLSYS_H

#include <cstddef>

/* Results of slctbev besides a length. */
enum : int {
    SLCTBEV_UNDEFINED = -1, /* no such variable */
    SLCTBEV_FAILED = -2,    /* bad arguments, or the value does not fit */
};

/* Copy the value of the environment variable `name` into `out`, which has
 * room for `size` bytes, terminate it and return its length. Returns
 * SLCTBEV_UNDEFINED when the variable is not set, and SLCTBEV_FAILED for a
 * null, empty or malformed name, a null `out`, or a value that does not fit
 * with its terminator; `out` is then left empty when it has room for that.
 * A value is never cut. */
int slctbev(const char *name, char *out, size_t size);

/* Translate the logical name `name` into `out` (room for `size` bytes,
 * terminated). Returns `out`, or null when there is no result; then
 * *undefined (when not null) tells why: 1 when the name has no
 * translation, 0 when it could not be translated (as for slctbev). */
char *sltln(const char *name, char *out, size_t size, int *undefined);

#endif /* SLSYS_H */
