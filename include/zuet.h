/* zuet.h - the encoder's string table: the pairs (prefix code, character)
 * given codes since the last reset, in a compact open-addressing table.
 *
 * Each slot is one 64-bit word: generation (bits 56-63), key (bits 32-55:
 * character x 65536 + prefix) and the code's hash factor (bits 0-31: code x
 * zuetmu mod 2^32, from which the code comes back by multiplying with the
 * inverse zuetiv). A slot belongs to the table only when its generation is
 * the current one, so a reset is one increment instead of a pass over every
 * slot (the slots are cleared once in 255 resets).
 *
 * The slot of a pair is found from the top bits of (prefix x zuetmu) XOR a
 * fixed random word of the character. Keeping the prefix's factor in the
 * slot means that a match one step deeper finds its next slot with an XOR
 * and a shift of the word just loaded, instead of a multiplication of the
 * code: the encoder does one such dependent step per input byte. Literals (prefix 0) are not
 * stored: the literal of byte b is always code b + 2. Codes are assigned in
 * increasing order; a pair added twice gets two codes and a lookup finds the
 * first (linear probing, no removal).
 *
 * Pairs whose prefix is a literal (codes 2 to 257) live instead in a direct
 * 256 x 256 array of codes, `kids`, indexed by (prefix - 2) x 256 + character,
 * 0 where absent. Every match begins with such a pair, so a third or more of
 * all lookups cost one load without hashing or probing. The array is cleared
 * on reset (128 KiB). */
#ifndef ZUET_H
#define ZUET_H

#include <cstdint>

struct zuetcb {
    std::uint64_t *slots;  /* `size` slots */
    std::uint16_t *kids;   /* 65536 codes of the pairs with a literal prefix */
    std::uint32_t size;    /* number of slots, a power of two */
    std::uint32_t shift;   /* 32 - log2(size): the hash keeps the top bits */
    std::uint32_t gen;     /* current generation, 1 to 255 */
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

inline std::uint32_t zuetky(std::uint16_t prefix, std::uint8_t ch) {
    return (std::uint32_t(ch) << 16) | prefix;
}

/* The odd multiplier of codes and its inverse modulo 2^32. */
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

/* First slot of the pair whose prefix has the factor `pm`. */
inline std::uint32_t zuethx(std::uint32_t pm, std::uint32_t ch, unsigned shift) {
    return (pm ^ zuetcr.w[ch]) >> shift;
}
/* Whether pairs with this prefix live in `kids`. */
inline bool zuetdk(std::uint32_t prefix) {
    return prefix - 2u < 256u;
}
/* Index in `kids` of a pair with a literal prefix. */
inline std::uint32_t zuetdi(std::uint32_t prefix, std::uint32_t ch) {
    return ((prefix - 2u) << 8) | ch;
}

#endif /* ZUET_H */
