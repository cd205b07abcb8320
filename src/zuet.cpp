/* zuet.cpp - the encoder's string table: pairs with a literal prefix in a
 * direct array, the others in a cache-sized open-addressing table of
 * self-checking 32-bit slots.
 *
 * With 14-bit codes at most 16125 pairs are live, in 32768 slots and the
 * direct array, so the hash table is under half full and most probes end
 * at their first slot. The encoder's loop waits on one load from either for
 * nearly every byte; at 128 KiB each, both stay in the core's second-level
 * cache beside the buffers. */
#include "zuet.h"

#include "zubf.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kKidsBytes = sizeof(std::uint16_t) * 256 * 256;

unsigned effbits(unsigned maxbits) {
    return maxbits < 9 ? 9 : maxbits;
}

/* Visit the probe order of (prefix, ch) until `stop` returns true for a
 * slot; `stop` gets the slot's index and its distance from the first. */
template <typename Stop>
void probe(const zuetcb *t, std::uint16_t prefix, std::uint8_t ch, Stop stop) {
    const std::uint32_t mask = t->size - 1;
    std::uint32_t h = zuethx(zuetsc(prefix, mask), ch, mask);
    for (std::uint32_t d = 0; !stop(h, d); ++d) h = (h + 1) & mask;
}

/* The high half a slot at distance d holds for a pair with character ch. */
std::uint32_t tag(std::uint8_t ch, std::uint32_t d) {
    return zuettg(ch, d < zuetfd ? d : zuetfd) >> 16;
}

}  // namespace

zuetcb *zuetmk(unsigned maxbits, unsigned sizeidx) {
    if (maxbits > 16 || sizeidx > 18) return nullptr;
    auto *t = static_cast<zuetcb *>(zubfma(sizeof(zuetcb)));
    if (!t) return nullptr;
    const unsigned bits = effbits(maxbits);
    t->size = 2u << bits; /* twice the codes */
    t->slots = static_cast<std::uint32_t *>(zubfma(sizeof(std::uint32_t) * t->size));
    t->kids = static_cast<std::uint16_t *>(zubfma(kKidsBytes));
    /* Written only for far pairs, so its pages are normally never touched. */
    t->far = static_cast<std::uint16_t *>(zubfma(sizeof(std::uint16_t) << bits));
    if (!t->slots || !t->kids || !t->far) {
        std::free(t->slots);
        std::free(t->kids);
        std::free(t->far);
        std::free(t);
        return nullptr;
    }
    t->maxbits = maxbits;
    t->limit = static_cast<std::uint16_t>((1u << bits) - 2);
    zuetbs(t);
    return t;
}

void zuetbs(zuetcb *t) {
    std::memset(t->slots, 0, sizeof(std::uint32_t) * t->size);
    std::memset(t->kids, 0, kKidsBytes);
    t->next = 257;
}

int zuetbn(zuetcb *t, std::uint16_t prefix, std::uint8_t ch) {
    if (t->limit <= t->next) return 0;
    if (zuetdk(prefix)) {
        std::uint16_t &k = t->kids[zuetdi(prefix, ch)];
        ++t->next;
        /* A pair added twice keeps its first code. */
        if (k == 0) k = static_cast<std::uint16_t>(zuetsc(t->next, t->size - 1));
        return 1;
    }
    probe(t, prefix, ch, [&](std::uint32_t h, std::uint32_t d) {
        if (t->slots[h] != 0) return false;
        const std::uint32_t code = ++t->next;
        if (d >= zuetfd) t->far[code] = prefix;
        t->slots[h] = tag(ch, d) << 16 | zuetsc(code, t->size - 1);
        return true;
    });
    return 1;
}

std::uint16_t zuetlu(const zuetcb *t, std::uint16_t prefix, std::uint8_t ch) {
    if (prefix == 0) return static_cast<std::uint16_t>(ch + 2);
    if (zuetdk(prefix))
        return static_cast<std::uint16_t>(zuetus(t->kids[zuetdi(prefix, ch)], t->size - 1));
    std::uint32_t found = 0;
    probe(t, prefix, ch, [&](std::uint32_t h, std::uint32_t d) {
        const std::uint32_t s = t->slots[h];
        if (s == 0) return true;
        if ((s >> 16) != tag(ch, d)) return false;
        const std::uint32_t code = zuetus(s, t->size - 1);
        if (d >= zuetfd && t->far[code] != prefix) return false;
        found = code;
        return true;
    });
    return static_cast<std::uint16_t>(found);
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
    std::free(t->far);
    std::free(t);
}
