/* zudt.cpp - the decoder's string table: prefix links and last characters by
 * code, the code width with its widening points, where each code's string
 * was last written, and the output window those strings are copied from. */
#include "zudt.h"

#include "zubf.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t kStepWords = 65536 / 32;

template <typename T>
T *alloc(std::size_t n) {
    return static_cast<T *>(zubfma(sizeof(T) * n));
}

}  // namespace

zudtcb *zudtmk(unsigned h) {
    if (h > 18) return nullptr;
    auto *t = alloc<zudtcb>(1);
    if (!t) return nullptr;
    t->maxcode = h <= 9 ? 511u : h <= 16 ? (1u << h) - 1u : 65535u;
    const std::size_t n = std::size_t(t->maxcode) + 1;
    t->ent = alloc<std::uint32_t>(n);
    t->steps = alloc<std::uint32_t>(kStepWords);
    t->pos = alloc<std::uint64_t>(n);
    t->len = alloc<std::uint16_t>(n);
    t->winsz = 4 * static_cast<std::uint32_t>(n);
    if (t->winsz < ZUDT_WINLEAST) t->winsz = ZUDT_WINLEAST;
    if (t->winsz > ZUDT_WINSZ) t->winsz = ZUDT_WINSZ;
    t->keep = t->winsz / 2;
    t->win = alloc<unsigned char>(std::size_t(t->winsz) + ZUDT_SLACK);
    if (!t->ent || !t->steps || !t->pos || !t->len || !t->win) {
        zudtds(t);
        return nullptr;
    }
    std::memset(t->ent, 0, sizeof(std::uint32_t) * n);
    std::memset(t->steps, 0, sizeof(std::uint32_t) * kStepWords);
    /* pos and len are written for each code when it is assigned (and for
     * the literals by the reset) before they are read. */
    /* The window is not cleared: only bytes already written are ever
     * copied out of it (16-byte copies may carry stale bytes into the
     * scratch space past a string, which is overwritten before use). */
    t->wbase = 0;
    zudtbs(t);
    return t;
}

void zudtbs(zudtcb *t) {
    for (std::uint32_t i = 2; i <= 257; ++i) {
        t->ent[i] = (i - 2) << 16;
        t->len[i] = 1;
        t->pos[i] = ZUDT_NOPOS; /* not written since the reset: never copied from */
    }
    for (std::uint32_t n = 9; n <= 15; ++n) {
        const std::uint32_t k = (1u << n) - 1;
        t->steps[k / 32] |= 1u << (k % 32);
    }
    t->next = 257;
    t->width = 9;
}

std::uint16_t zudtrb(zudtcb *t, std::uint16_t code, std::uint16_t link) {
    const std::uint32_t e = t->ent[code];
    t->ent[code] = (e & 0xFFFF0000u) | link;
    return static_cast<std::uint16_t>(e);
}

int zudtad(zudtcb *t, std::uint16_t prefix, std::uint8_t ch) {
    if (std::uint32_t(t->next) + 1 >= t->maxcode) return 0;
    const std::uint32_t k = ++t->next;
    t->ent[k] = (std::uint32_t(ch) << 16) | prefix;
    t->len[k] = static_cast<std::uint16_t>(t->len[prefix] + 1);
    t->width += (t->steps[k / 32] >> (k % 32)) & 1u;
    return 1;
}

void zudtds(zudtcb *t) {
    if (!t) return;
    std::free(t->ent);
    std::free(t->steps);
    std::free(t->pos);
    std::free(t->len);
    std::free(t->win);
    std::free(t);
}
