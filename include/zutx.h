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

/* ---- Searching and ordering -------------------------------------------- */

/* Occurrences of `pat` in `s`, letters folded, left to right without
 * overlap. Null `s` or `pat`, or an empty `pat`, gives 0. */
std::uint16_t zutxco(const char *s, const char *pat);
/* 1 when `sub` occurs in `s` with letters folded. An empty `sub` occurs in
 * every non-null `s`; null `s` gives 1 only for a null `sub`; a null `sub`
 * with a non-null `s` gives 0. */
unsigned zutxcn(const char *s, const char *sub);
/* Cut `s` to its common prefix with `t` (letters folded). Untouched when
 * either is null or zutxsm(s, t, 65535) holds. */
void zutxtr(char *s, const char *t);
/* 1 when `a` sorts strictly before (zutxle) or after (zutxgr) `b`, comparing
 * folded bytes as unsigned values; a proper prefix sorts first. Equal strings
 * and null arguments give 0. */
unsigned zutxle(const char *a, const char *b);
unsigned zutxgr(const char *a, const char *b);

/* ---- Version comparison ------------------------------------------------ */

/* Compare version strings made of numeric components (a digit run and one
 * optional '.') and other characters. `depth` is the number of numeric pairs
 * that may be compared (negative: no limit); when it is used up, the versions
 * count as the same. A null argument gives 0. Numbers of any size compare by
 * their value. The strings are not modified. */
unsigned zutxvl(const char *a, const char *b, std::int32_t depth); /* a lower */
unsigned zutxvg(const char *a, const char *b, std::int32_t depth); /* a higher */
unsigned zutxvs(const char *a, const char *b, std::int32_t depth); /* the same */

/* ---- Classification, matching and hashing ------------------------------ */

/* 1 when `s` (not null) is non-empty and all decimal digits. */
unsigned zutxin(const char *s);
/* 1 when every character of `s` is an ASCII letter, a digit or '_'; empty or
 * null gives 1. */
unsigned zutxvr(const char *s);
/* Wildcard match of the whole text `t` against `p` (neither null): '*' any
 * run including none, '?' any one character, anything else itself (case
 * sensitive). Runs in bounded stack whatever the number of stars. */
unsigned zutxma(const char *p, const char *t);
/* zutxcs(s) modulo `m`; a null `s` (or an `m` of 0) gives 0. */
std::uint32_t zutxhs(const char *s, std::uint32_t m);
/* Sum modulo 2^32 of each folded character shifted left by its position
 * modulo 32; null or empty gives 0. */
std::uint32_t zutxcs(const char *s);

/* ---- Path elision ------------------------------------------------------ */

/* Shorten a path longer than `max` for display by putting "..." in place of
 * middle directories, keeping whole leading and trailing components of at
 * most max/2 characters each (so the result may reach max + 4 characters).
 * The path only ever gets shorter, so it stays within its buffer. */
void zutxfp(char *s, std::uint16_t max);

/* ---- String arrays and separated lists --------------------------------- */

/* A string array is a block of separately allocated string copies (all from
 * zutx_alloc) with a 16-bit count; the caller releases it with zutxfsa.
 * Names compare with zutxsm: sets up to 4096 characters, membership up to
 * 65535. The building operations give 1 on success. When memory runs out, or
 * a result would hold more than 65535 entries, they give 0, release whatever
 * they had built and set the count to 0 and the array (or string) to null.
 * An array with no entries is always handed out as null. */

/* Split `s` (not null) at every `sep` into `array`/`count`; empty fields are
 * kept unless `skip` is non-zero. An empty `s` gives count 0, null array. */
unsigned zutxsa(const char *s, char sep, std::uint16_t *count, char ***array, int skip);
/* Release the first `n` entries (those not null) and then the block; a null
 * `a` or an `n` of 0 releases nothing. */
void zutxfsa(char **a, std::uint16_t n);
/* Union: copies of all names of `A`, then those of `B` equal to no name of
 * `A`, in their order. */
unsigned zutxau(std::uint16_t nA, std::uint16_t nB, const char *const *A, const char *const *B,
                std::uint16_t *count, char ***array);
/* Difference: copies of the names of `A` equal to no name of `B`. */
unsigned zutxad(std::uint16_t nA, std::uint16_t nB, const char *const *A, const char *const *B,
                std::uint16_t *count, char ***array);
/* Join the first `n` names with `sep` into a new string `out` (each name
 * cut to 4096 characters); no names give an empty string. */
unsigned zutxas(const char *const *a, std::uint16_t n, char **out, char sep);
/* 1 when every one of the first `n` names of `A` equals one of the first `n`
 * of `B`; `n` 0 gives 1. */
unsigned zutxae(const char *const *A, const char *const *B, std::uint16_t n);
/* 1 when the comma lists `a` and `b` (not null) have as many fields, empty
 * ones included, and each field of `a` is among those of `b`. 0 also when
 * memory runs out. */
unsigned zutxse(const char *a, const char *b);
/* Add `item` to the comma list `list` (not null) unless it is there: the new
 * list goes to `out` and `changed` says whether the name was added. */
unsigned zutxla(const char *list, const char *item, char **out, std::int32_t *changed);
/* Remove every field equal to `item` from `list`, as zutxla otherwise. */
unsigned zutxlr(const char *list, const char *item, char **out, std::int32_t *changed);
/* 1 when `s` equals one of the first `n` names of `a`; `n` 0 gives 0. */
unsigned zutxima(const char *const *a, std::uint16_t n, const char *s);
/* 1 when `item` is a non-empty field of `list` (not null) split at `sep`.
 * 0 also when memory runs out. */
unsigned zutximsa(const char *list, const char *item, char sep);

#endif /* ZUTX_H */
