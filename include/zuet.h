/* zuet.h - the encoder's string table: the pairs (prefix, character) given
 * codes since the last reset.
 *
 * Every pair has a name, fixed when it is added, and the pairs that extend
 * it are found from that name, not from its code:
 *   a pair with a literal prefix b and character c is named size + 256 b + c
 *   and its code is kept in a direct array at that name;
 *   a longer pair lives in an open-addressing table of `size` 16-bit slots,
 *   and the slot's index is its name.
 * The first slot of a longer pair, whose prefix is named n, is
 * (3 n + zuetcw[c]) mod size: one-to-one in n for a fixed character and a
 * fixed quotient q = n / size (0 to 2). So the first slot, the character
 * and q together fix the prefix, and a slot records only those, with no key
 * and no second load:
 *   bits 10-15  the probe distance d plus 1: the slot is d places after the
 *               pair's first slot (63: zuetfd places or more, see below)
 *   bits  8-9   q (3: a slot that only gives a name, never found)
 *   bits  0-7   the character
 * and 0 when empty. Linear probing, no removal; at most a quarter of the
 * slots are ever in use (half with codes over 14 bits), so most probes end
 * at their first slot.
 *
 * The encoder's loop follows a match from name to name: the next name to
 * probe follows from the current one and the next input byte, with no load
 * in between, so the probes of a match do not wait for one another and the
 * loop waits on one load per code rather than per byte.
 *
 * `code` gives each name's code, `slot` each code's name. A pair placed
 * zuetfd or more slots after its first one (only inputs made to pile pairs
 * onto one run of slots get there) records 63, and its prefix's code goes
 * to `far`, indexed by slot; such slots match by the prefix kept there.
 * Literals (prefix 0) are not stored: the literal of byte b is always code
 * b + 2. Codes are assigned in increasing order; a pair added twice gets
 * two codes and two names, and a lookup finds the first. */
#ifndef ZUET_H
#define ZUET_H

#include <cstdint>

struct zuetcb {
    std::uint16_t *slots;  /* `size` slots, then the two arrays below */
    std::uint16_t *code;   /* the code of each name: slots + size, size + 65536 of them */
    std::uint32_t *slot;   /* the name of each code above 257 */
    std::uint16_t *far;    /* prefix code of each slot at distance zuetfd or more */
    std::uint32_t size;    /* number of slots, a power of two, at least 2^15 */
    std::uint32_t shift;   /* log2(size) */
    std::uint32_t maxbits; /* maximum code width (0 to 16; below 9 counts as 9) */
    std::uint16_t limit;   /* highest code that may be assigned: 2^max(maxbits,9) - 2 */
    std::uint16_t next;    /* highest code assigned so far (257 after a reset) */
};

/* New table for codes up to `maxbits` bits (0 to 16), reset; null when
 * memory is short or an argument is out of range. The size index (0 to 18)
 * is accepted for compatibility; the slot count follows from `maxbits`. */
zuetcb *zuetmk(unsigned maxbits, unsigned sizeidx);
/* Reset to the 256 literals: next 257. */
void zuetbs(zuetcb *table);
/* Give the pair the next code: 1, or 0 when the table is full (unchanged). */
int zuetbn(zuetcb *table, std::uint16_t prefix, std::uint8_t ch);
/* The pair's code, or 0 when absent. */
std::uint16_t zuetlu(const zuetcb *table, std::uint16_t prefix, std::uint8_t ch);
/* Width in bits of the next code written: 9 to 16, from `next`. */
unsigned zuetgb(const zuetcb *table);
/* Free the table (null is ignored). */
void zuetds(zuetcb *table);

/* ---- Probe helpers shared with the encoder's loop ---- */

struct zuetrw {
    std::uint32_t w[256];
};
/* A fixed random word per character (splitmix64). */
inline constexpr zuetrw zuetcw = [] {
    zuetrw r{};
    std::uint64_t x = 0x243F6A8885A308D3u;
    for (auto &v : r.w) {
        std::uint64_t z = (x += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        v = static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
    }
    return r;
}();

/* The name of a pair with a literal prefix: `size` plus its index in the
 * direct array. */
inline std::uint32_t zuetln(std::uint32_t size, std::uint32_t b, std::uint32_t ch) {
    return size + (b << 8 | ch);
}
/* First slot of a pair whose prefix is named n (`mask` is size - 1). */
inline std::uint32_t zueths(std::uint32_t n, std::uint32_t ch, std::uint32_t mask) {
    return (3 * n + zuetcw.w[ch]) & mask;
}

/* Probe distances below this one are kept in the slot; further ones are far. */
inline constexpr std::uint32_t zuetfd = 62;
/* The slot of a pair with character `ch` at distance `d` (at most zuetfd)
 * from its first slot, whose prefix's name has quotient q. */
inline constexpr std::uint32_t zuettg(std::uint32_t ch, std::uint32_t q, std::uint32_t d) {
    return ((d + 1) << 10) | (q << 8) | ch;
}
inline constexpr std::uint32_t zuetdu = 1u << 10; /* one place further */
/* Quotient of a slot that gives a name and is never found. */
inline constexpr std::uint32_t zuetqn = 3;

#endif /* ZUET_H */
