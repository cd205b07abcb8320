/* zuet.h - the encoder's string table: the pairs (prefix code, character)
 * given codes since the last reset, in a compact open-addressing table.
 *
 * Each slot is one 64-bit word: generation (bits 40-63), key (bits 16-39:
 * character x 65536 + prefix) and code (bits 0-15). A slot belongs to the
 * table only when its generation is the current one, so a reset is one
 * increment instead of a pass over every slot. Literals (prefix 0) are not
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
    std::uint32_t gen;     /* current generation, 1 to 2^24 - 1 */
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
/* Whether pairs with this prefix live in `kids`. */
inline bool zuetdk(std::uint32_t prefix) {
    return prefix - 2u < 256u;
}
/* Index in `kids` of a pair with a literal prefix. */
inline std::uint32_t zuetdi(std::uint32_t prefix, std::uint32_t ch) {
    return ((prefix - 2u) << 8) | ch;
}
inline std::uint32_t zuethh(const zuetcb *t, std::uint32_t key) {
    return (key * 0x9E3779B1u) >> t->shift;
}

#endif /* ZUET_H */
