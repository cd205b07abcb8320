/* zuet.h - the encoder's string table: the pairs (prefix code, character)
 * given codes since the last reset, in two compact arrays.
 *
 * Codes are kept scrambled, code x zuetmu mod 2^k, where 2^k is the hash
 * table's slot count or 2^16 if that is less: a bijection on codes below
 * 2^k, 0 only for code 0.
 *
 * Pairs whose prefix is a literal (codes 2 to 257) live in a direct 256 x
 * 256 array, `kids`, indexed by (prefix - 2) x 256 + character: the pair's
 * code scrambled, 0 where absent. Every match begins with such a pair, so a
 * third or more of all lookups cost one load, at an address known from the
 * input alone.
 *
 * The other pairs live in an open-addressing table of twice as many slots
 * as codes, each one 32-bit word, 0 when empty:
 *   bits 24-31  the pair's character c
 *   bits 16-23  its probe distance d plus 1: the slot is d places after the
 *               pair's first slot (255: zuetfd places or more, see below)
 *   bits  0-15  the pair's code scrambled
 * The first slot of a pair is its prefix scrambled XOR zuetcr[c] masked to
 * the slot count. Since the prefix is below 2^k, the first slot and the
 * character together fix it: a slot whose character and distance are those
 * of the probe holds the pair looked for, with no key stored and no second
 * load. A match one step deeper finds its next slot with one XOR of the word
 * just loaded, so the encoder's one dependent step per input byte is a
 * single load from 128 KiB (for 14-bit codes; the direct array is as big).
 *
 * A pair placed zuetfd or more slots after its first one (only inputs made
 * to pile pairs onto one run of slots get there) is marked 255, and its
 * prefix goes to `far`, indexed by code; such slots match by the prefix
 * kept there. Literals (prefix 0) are not stored: the literal of byte b is
 * always code b + 2. Codes are assigned in increasing order; a pair added
 * twice gets two codes and a lookup finds the first (linear probing, no
 * removal). */
#ifndef ZUET_H
#define ZUET_H

#include <cstdint>

struct zuetcb {
    std::uint32_t *slots;  /* `size` slots */
    std::uint16_t *kids;   /* 65536 codes of the pairs with a literal prefix */
    std::uint16_t *far;    /* prefix of each code placed at distance 254 or more */
    std::uint32_t size;    /* number of slots, a power of two */
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

/* The odd multiplier that scrambles codes, and its inverse modulo 2^32
 * (and so modulo every smaller power of two). */
inline constexpr std::uint32_t zuetmu = 0x9E3779B1u;
inline constexpr std::uint32_t zuetiv = [] {
    std::uint32_t x = zuetmu; /* Newton's iteration doubles the correct low bits */
    for (int i = 0; i < 5; ++i) x *= 2u - zuetmu * x;
    return x;
}();
static_assert(zuetmu * zuetiv == 1u);

/* A fixed random word per character (splitmix64). */
struct zuetrw {
    std::uint32_t w[256];
};
inline constexpr zuetrw zuetcr = [] {
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

/* Whether pairs with this prefix live in `kids`. */
inline bool zuetdk(std::uint32_t prefix) {
    return prefix - 2u < 256u;
}
/* Index in `kids` of a pair with a literal prefix. */
inline std::uint32_t zuetdi(std::uint32_t prefix, std::uint32_t ch) {
    return ((prefix - 2u) << 8) | ch;
}

/* Probe distances up to this one are kept in the slot; further ones are far. */
inline constexpr std::uint32_t zuetfd = 254;

/* A code scrambled, and back: multiplied modulo 2^k, where 2^k is the
 * slot count or 2^16 if that is less (`mask` is the slot count less 1). */
inline std::uint32_t zuetsc(std::uint32_t code, std::uint32_t mask) {
    return (code * zuetmu) & mask & 0xFFFFu;
}
inline std::uint32_t zuetus(std::uint32_t scrambled, std::uint32_t mask) {
    return (scrambled * zuetiv) & mask & 0xFFFFu;
}
/* First slot of a pair whose prefix is scrambled to `ps`; the character's
 * word is masked apart, so that the slot is one XOR from the prefix. */
inline std::uint32_t zuethx(std::uint32_t ps, std::uint32_t ch, std::uint32_t mask) {
    return ps ^ (zuetcr.w[ch] & mask);
}
/* The high half of a slot holding a pair with character `ch` at distance
 * `d` (below zuetfd) from its first slot. */
inline std::uint32_t zuettg(std::uint32_t ch, std::uint32_t d) {
    return (ch << 24) | ((d + 1) << 16);
}

#endif /* ZUET_H */
