/* zutx.h - the installer's string library over caller-owned, NUL-terminated
 * strings. Characters are read as unsigned bytes; lengths, counts, positions
 * and limits are 16-bit and run modulo 65536 (the limit 65535 means "the
 * whole string"). Truth results are 1 and 0. Comparisons fold only the ASCII
 * letters 'A'-'Z' to 'a'-'z'; bytes of 0x80 and above compare by value.
 *
 * Sections below are grouped by concern. */
#ifndef ZUTX_H
#define ZUTX_H

#include <cstddef>
#include <cstdint>

/* ---- Allocation -------------------------------------------------------- */

/* Every block the string library hands out (zutxds, string arrays, joined
 * lists) comes from this allocator and is released with std::free. It is
 * std::malloc unless a test replaces it to provoke allocation failures. */
extern void *(*zutx_alloc)(std::size_t size);

/* ---- Length, copy, append and tests ------------------------------------ */

/* Characters before the NUL, modulo 65536; a null `s` gives 0. */
std::uint16_t zutxln(const char *s);
/* Copy at most `max` characters of `src` into `dst` and terminate it; `dst`
 * needs room for min(max, length of src) + 1 bytes. Returns the number of
 * characters copied. A null `dst` or `src` gives 0 and writes nothing. */
std::uint16_t zutxcp(char *dst, const char *src, std::uint16_t max);
/* Append `src` at the NUL of `dst` as zutxcp does; returns the number of
 * characters appended (not the new length). Null either gives 0. */
std::uint16_t zutxct(char *dst, const char *src, std::uint16_t max);
/* 1 for a non-null empty string; 0 for null and for a non-empty string. */
unsigned zutxnl(const char *s);
/* 1 when the first `max` characters of `a` and `b` are equal with letters
 * folded (both ending together counts as equal). `max` 0 gives 1; both null
 * gives 1, one null gives 0. Never reads beyond `max` characters. */
unsigned zutxsm(const char *a, const char *b, std::uint16_t max);
/* Store a NUL at index `n` of `s` (no check against length or size). */
void zutxnt(char *s, std::uint16_t n);
/* A new copy of `s` from zutx_alloc (zutxln(s) + 1 bytes), released with
 * std::free; null when memory runs out. A null `s` gives a new empty string. */
char *zutxds(const char *s);

/* ---- Whitespace and case ----------------------------------------------- */

/* Remove every blank, tab, line feed and carriage return; returns the new
 * length. `s` must not be null. */
std::uint16_t zutxrw(char *s);
/* Remove the leading run of blanks, tabs and carriage returns (not line
 * feeds); returns the number removed. Null gives 0. */
std::uint16_t zutxrl(char *s);
/* Remove the trailing run of blanks, tabs and carriage returns; returns the
 * number removed. Null or empty gives 0. */
std::uint16_t zutxrt(char *s);
/* Upper-case at most `max` characters in place, as the C library classifies
 * them (current locale); returns `max`. */
std::uint16_t zutxuc(char *s, std::uint16_t max);
/* Lower-case at most `max` characters in place; returns `max`. */
std::uint16_t zutxlc(char *s, std::uint16_t max);
/* Replace every `from` by `to` within the first `max` characters of `s`. */
void zutxmp(char *s, char from, char to, std::uint16_t max);

/* ---- Counting and locating a character --------------------------------- */

/* Occurrences of `c` in `s` (not null). */
std::uint16_t zutxno(const char *s, char c);
/* Number of '/' in `s` (not null). */
std::uint16_t zutxbs(const char *s);
/* 1-based position of the `n`-th `c` in `s` (not null), i.e. the length of
 * the prefix ending with it; the length of `s` when there are fewer than `n`;
 * 0 for an empty `s` or `n` 0. */
std::uint16_t zutxpn(const char *s, std::uint16_t n, char c);
/* zutxpn(s, n, '/'): the length of the path prefix through the n-th '/'. */
std::uint16_t zutxpo(const char *s, std::uint16_t n);

/* ---- Replacement and number parsing ------------------------------------ */

/* Write into `out` (not null) `src` with every occurrence of `pat`, found
 * with letters folded from left to right without overlap, replaced by `rep`.
 * `out` is empty when any argument is null; an empty `pat` copies `src`.
 * `out` must hold the length of `src` plus, per replacement, the length of
 * `rep` minus that of `pat`, plus 1. */
void zutxro(const char *src, const char *pat, const char *rep, char *out);
/* Parse a size: blanks, decimal digits, optionally one 'K'/'k' (x1024) or
 * 'M'/'m' (x1048576) directly after them, blanks. An empty or all-blank
 * string is 0. On success stores *value and gives 1; on a malformed string
 * or a value beyond 32 bits gives 0 and leaves *value untouched. */
unsigned zutxp4(const char *s, std::uint32_t *value);
/* Parse a plain decimal number between blanks as zutxp4 does without
 * suffixes; values of 2^31 or more fail. */
unsigned zutxpe(const char *s, std::uint32_t *value);

#endif /* ZUTX_H */
