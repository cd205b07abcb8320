/* zuet.cpp - the encoder's string table: pairs named by where they live,
 * 16-bit self-checking slots for the longer ones, a direct array for those
 * with a literal prefix.
 *
 * With 14-bit codes: 128 KiB of slots, the codes of all names (128 KiB by
 * slot, 128 KiB by literal pair) and 64 KiB of names by code. A reset
 * clears the slots and the direct array, or, when few codes were given
 * since the last one, only what they used. */
#include "zuet.h"

#include "zubf.h"

#include <cstdlib>
#include <cstring>

namespace {

unsigned effbits(unsigned maxbits) {
    return maxbits < 9 ? 9 : maxbits;
}

/* Names past the direct array name nothing. */
std::uint32_t no_name(const zuetcb *t) {
    return t->size + 65536;
}

/* The name of a prefix code whose pairs may be in the slots; false for a
 * literal or a code that names nothing. */
bool deep_name(const zuetcb *t, std::uint16_t prefix, std::uint32_t &name) {
    if (prefix < 258 || prefix > t->next) return false;
    name = t->slot[prefix];
    return name < no_name(t);
}

/* Every slot and direct entry empty. */
void clear(zuetcb *t) {
    std::memset(t->slots, 0, 2 * std::size_t(t->size));
    std::memset(t->code + t->size, 0, 2 * 65536);
}

/* The first empty slot from the first slot of (name, ch), and its distance. */
std::uint32_t free_slot(const zuetcb *t, std::uint32_t name, std::uint8_t ch, std::uint32_t &d) {
    const std::uint32_t mask = t->size - 1;
    std::uint32_t h = zueths(name, ch, mask);
    for (d = 0; t->slots[h] != 0; ++d) h = (h + 1) & mask;
    return h;
}

}  // namespace

zuetcb *zuetmk(unsigned maxbits, unsigned sizeidx) {
    if (maxbits > 16 || sizeidx > 18) return nullptr;
    auto *t = static_cast<zuetcb *>(zubfma(sizeof(zuetcb)));
    if (!t) return nullptr;
    const unsigned bits = effbits(maxbits);
    /* Four times the codes of the usual widths (up to 14 bits), so that a
     * quarter of the slots at most are in use and a pair is seldom placed
     * past its first slot, where a probe costs a mispredicted branch; twice
     * the codes of the wider ones. Never below 2^15 slots, so that a name's
     * quotient is below 3. */
    t->shift = bits <= 14 ? 16 : bits + 1;
    t->size = 1u << t->shift;
    /* Slots, codes by name and names by code in one block, in that order,
     * so that the encoder's loop reaches all three from one pointer. */
    const std::size_t slots = t->size, codes = t->size + 65536u, names = std::size_t(1) << bits;
    t->slots = static_cast<std::uint16_t *>(zubfma(2 * (slots + codes) + 4 * names));
    /* Written only for far pairs, so its pages are normally never touched. */
    t->far = static_cast<std::uint16_t *>(zubfma(sizeof(std::uint16_t) * t->size));
    if (!t->slots || !t->far) {
        std::free(t->slots);
        std::free(t->far);
        std::free(t);
        return nullptr;
    }
    t->code = t->slots + slots;
    t->slot = reinterpret_cast<std::uint32_t *>(t->code + codes);
    clear(t);
    t->maxbits = maxbits;
    t->limit = static_cast<std::uint16_t>((1u << bits) - 2);
    t->next = 257;
    return t;
}

void zuetbs(zuetcb *t) {
    const std::uint32_t used = t->next - 257u;
    /* Clearing one code's entry costs a load, a branch that follows the
     * data and a store anywhere in the table; clearing it all costs about a
     * cycle per 32 bytes, so a reset after more than a few thousand codes
     * clears it all. */
    if (used * 64u > t->size + 65536u) {
        clear(t);
    } else {
        /* Few codes: each slot or direct entry in use holds a code given
         * since the last reset, and that code knows its name. */
        for (std::uint32_t code = 258; code <= t->next; ++code) {
            const std::uint32_t name = t->slot[code];
            if (name < t->size)
                t->slots[name] = 0;
            else if (name < no_name(t))
                t->code[name] = 0;
        }
    }
    t->next = 257;
}

int zuetbn(zuetcb *t, std::uint16_t prefix, std::uint8_t ch) {
    if (t->limit <= t->next) return 0;
    const std::uint32_t code = ++t->next;
    /* A pair of a prefix that names nothing takes its code, is never found
     * and has no pairs of its own. */
    t->slot[code] = no_name(t);
    std::uint32_t name, d;
    if (prefix - 2u < 256u) {
        name = zuetln(t->size, prefix - 2u, ch);
        if (t->code[name] == 0) {
            t->code[name] = static_cast<std::uint16_t>(code);
            t->slot[code] = name;
            return 1;
        }
        /* Added before: this code gets a slot of its own as its name. */
        const std::uint32_t h = free_slot(t, name, ch, d);
        t->slots[h] = static_cast<std::uint16_t>(zuettg(ch, zuetqn, 0));
        t->code[h] = static_cast<std::uint16_t>(code);
        t->slot[code] = h;
        return 1;
    }
    if (!deep_name(t, prefix, name)) return 1;
    const std::uint32_t h = free_slot(t, name, ch, d);
    if (d >= zuetfd) {
        d = zuetfd;
        t->far[h] = prefix;
    }
    t->slots[h] = static_cast<std::uint16_t>(zuettg(ch, name >> t->shift, d));
    t->code[h] = static_cast<std::uint16_t>(code);
    t->slot[code] = h;
    return 1;
}

std::uint16_t zuetlu(const zuetcb *t, std::uint16_t prefix, std::uint8_t ch) {
    if (prefix == 0) return static_cast<std::uint16_t>(ch + 2);
    if (prefix - 2u < 256u) return t->code[zuetln(t->size, prefix - 2u, ch)];
    std::uint32_t name;
    if (!deep_name(t, prefix, name)) return 0;
    const std::uint32_t mask = t->size - 1, q = name >> t->shift;
    std::uint32_t h = zueths(name, ch, mask);
    for (std::uint32_t d = 0;; ++d, h = (h + 1) & mask) {
        const std::uint32_t s = t->slots[h];
        if (s == 0) return 0;
        if (s != zuettg(ch, q, d < zuetfd ? d : zuetfd)) continue;
        if (d >= zuetfd && t->far[h] != prefix) continue;
        return t->code[h];
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
    std::free(t->far);
    std::free(t);
}
