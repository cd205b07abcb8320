/* encoder.cpp - the resumable LZW encoder: greedy longest match over the
 * encoder's string table, codes of 9 to 16 bits packed most significant bit
 * first, a clear code when the table is full, and suspension before a code
 * once an output volume is nearly full.
 *
 * The loop keeps the input and output positions, the bit accumulator and
 * the table's hot fields in locals and writes them back once per call (and
 * around each buffer refill or write), so no byte costs a call. */
#include "zulz.h"

#include "szusd.h"

#include <cstdint>

namespace {

constexpr std::uint64_t kNever = ~std::uint64_t(0);

std::uint32_t saturate(std::uint64_t n) {
    return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(n);
}

inline void store_be32(unsigned char *p, std::uint32_t v) {
    v = __builtin_bswap32(v);
    __builtin_memcpy(p, &v, 4);
}

/* Put one byte into the stream's buffer with the rule of a single put: a
 * full buffer is written when a further byte arrives. Returns the new
 * position, or null when the write failed. */
__attribute__((noinline)) unsigned char *put_slow(zubfcb *s, unsigned char *op, std::uint64_t &base,
                                                  unsigned char v) {
    if (op == s->buf + s->bufsz) {
        s->idx = s->bufsz;
        if (!zubfwf(s)) return nullptr;
        base += s->bufsz;
        op = s->buf;
    }
    *op++ = v;
    return op;
}

/* The encoder's state while it runs unhindered. */
struct Hot {
    const unsigned char *ip, *iend;
    unsigned char *op;
    unsigned char *obuf;
    std::ptrdiff_t room; /* a code may be written while op - obuf <= room */
    std::uint64_t bb;    /* pending output bits (the low nb) */
    int nb;
    int width;
    std::uint32_t ent; /* the current match */
    std::uint32_t c;   /* the byte that ended it (the last byte read) */
    std::uint32_t next;
    std::uint32_t tlimit;
    std::uint64_t *slots;
    std::uint16_t *kids;
    std::uint64_t genbase;
    std::uint32_t mask;
    unsigned shift;
};

/* The encoder's inner loop: greedy longest match, one table probe per byte,
 * then write the code and add the pair, for as long as the input buffer
 * lasts, the output has room for a code (`room`: the buffer's end less 8
 * bytes, or less when a volume limit is near) and the table is not full.
 * Returns 1 at a miss it leaves to the caller (ent and c set, nothing
 * written, the pair not added), 0 when the input buffer ran out in the
 * middle of a match. Kept apart from the rest of the encoder so that its
 * values stay in registers.
 *
 * A match that is a literal is extended through the direct array `kids`;
 * deeper ones through the hash slots. A hash slot matches when it differs
 * from (generation, key) only in its low half (the code's factor); it is
 * empty when it is numerically below the current generation's base
 * (generations only grow, and after the last one every slot is cleared).
 * kBits, when not 0, is log2 of the slot count, fixed for the common table
 * so that the shift and mask are constants and free two registers. */
template <unsigned kBits>
__attribute__((noinline)) int run_hot(Hot &hs) {
    const unsigned char *ip = hs.ip;
    const unsigned char *const iend = hs.iend;
    unsigned char *op = hs.op;
    unsigned char *const obuf = hs.obuf;
    std::ptrdiff_t left = hs.room - (op - obuf); /* codes may be written while >= 0 */
    std::uint64_t bb = hs.bb;
    int nb = hs.nb;
    int width = hs.width;
    std::uint32_t ent = hs.ent;
    std::uint32_t c = hs.c;
    std::uint32_t next = hs.next;
    const std::uint32_t tlimit = hs.tlimit;
    std::uint64_t *const slots = hs.slots;
    std::uint16_t *const kids = hs.kids;
    const std::uint64_t genbase = hs.genbase;
    const std::uint32_t mask = kBits != 0 ? (1u << kBits) - 1 : hs.mask;
    const unsigned shift = kBits != 0 ? 32 - kBits : hs.shift;
    int result = 0;
    /* The factor of ent when it is not a literal (the low half of its slot). */
    std::uint32_t pm = ent * zuetmu;
    while (ip != iend) {
        c = *ip++;
        std::uint16_t *dslot;
        std::uint64_t *hslot;
        std::uint64_t want;
        if (zuetdk(ent)) {
            dslot = &kids[zuetdi(ent, c)];
            if (*dslot != 0) {
                ent = *dslot;
                pm = ent * zuetmu;
                continue;
            }
            hslot = nullptr;
            want = 0;
        } else {
            /* The slot's address depends on the previous slot's word only
             * through an XOR and a shift; ent, recovered from the same word
             * by a multiplication, is needed only for the key comparison. */
            want = genbase | (std::uint64_t((c << 16) | ent) << 32);
            std::uint32_t h = zuethx(pm, c, shift);
            std::uint64_t s = slots[h];
            while ((s ^ want) >> 32) {
                if (s < genbase) goto hmiss;
                h = (h + 1) & mask;
                s = slots[h];
            }
            pm = static_cast<std::uint32_t>(s);
            ent = pm * zuetiv;
            continue;
        hmiss:
            hslot = &slots[h];
            dslot = nullptr;
        }
        /* A miss: write ent, add (ent, c), begin again at c's literal. */
        if (__builtin_expect(left < 0 || next >= tlimit, 0)) {
            result = 1;
            break;
        }
        bb = (bb << width) | ent;
        nb += width;
        if (nb >= 32) {
            nb -= 32;
            store_be32(op, static_cast<std::uint32_t>(bb >> nb));
            op += 4;
            left -= 4;
        }
        ++next;
        if (hslot)
            *hslot = want | (next * zuetmu);
        else
            *dslot = static_cast<std::uint16_t>(next);
        if (__builtin_expect(next == (1u << width), 0) && width < 16) ++width;
        ent = c + 2;
    }
    hs.ip = ip;
    hs.op = op;
    hs.bb = bb;
    hs.nb = nb;
    hs.width = width;
    hs.ent = ent;
    hs.c = c;
    hs.next = next;
    return result;
}

}  // namespace

int zulzecdn(const zulzecst *st) {
    return st->started && st->eof && st->state == 0 && st->failed == 0;
}

unsigned zulzec(zubfcb *in, zubfcb *out, zulzecst *st, std::uint16_t header, std::uint32_t *limit) {
    if (st->failed) {
        *limit = saturate(out->count);
        return st->failed;
    }
    zuetcb *const t = st->table;
    /* Suspend before a code once the volume holds limit - 2 bytes: at most
     * two bytes leave per code, so it never receives more than limit - 1. */
    const std::uint64_t thr = *limit == ZULZ_NOLIMIT ? kNever
                              : *limit >= 2          ? std::uint64_t(*limit) - 2
                                                     : 0;
    if (st->started) {
        out->wpos = st->wpos;
        out->rpos = st->rpos;
        out->acc = st->acc;
    }
    unsigned status = ZUSD_OK;

    /* Output: codes gather in a 64-bit accumulator (its low nb bits are
     * pending) and leave 32 bits at a time; `base` is the stream's count at
     * the start of its buffer, so the bytes put so far are base + (op - buf). */
    unsigned char *const obuf = out->buf;
    unsigned char *op = obuf + out->idx;
    unsigned char *const oend = obuf + out->bufsz;
    std::uint64_t base = out->count - out->idx;
    int nb = 31 - out->wpos;
    if (nb < 0 || nb > 7) nb = 0; /* a stream never holds more between calls */
    std::uint64_t bb = nb ? (out->acc >> (32 - nb)) : 0;
    bool wfail = false;
    /* Put a code of `width` bits. */
    auto put = [&](std::uint32_t code, int width) __attribute__((always_inline)) {
        bb = (bb << width) | code;
        nb += width;
        if (nb >= 32) {
            nb -= 32;
            const auto v = static_cast<std::uint32_t>(bb >> nb);
            if (__builtin_expect(oend - op >= 4, 1)) {
                store_be32(op, v);
                op += 4;
            } else {
                for (int k = 24; k >= 0 && op; k -= 8)
                    op = put_slow(out, op, base, static_cast<unsigned char>(v >> k));
                if (!op) wfail = true;
            }
        }
    };
    /* Complete bytes put so far, pending ones included. */
    auto count = [&]() __attribute__((always_inline)) {
        return base + static_cast<std::uint64_t>(op - out->buf) +
               static_cast<std::uint64_t>(nb >> 3);
    };

    const unsigned char *ip = in->buf + in->idx;
    const unsigned char *iend = ip + zubfav(in);
    const unsigned char *ibase = ip; /* bytes from ibase to ip are taken but not yet counted */
    auto sync_in = [&]() __attribute__((always_inline)) {
        in->idx = static_cast<std::uint32_t>(ip - in->buf);
        in->count += static_cast<std::uint64_t>(ip - ibase);
        ibase = ip;
    };
    /* Refill the input: 1 with bytes, 0 at its end, -1 on a read error. */
    auto refill = [&]() __attribute__((always_inline))->int {
        sync_in();
        const long r = zubfrf(in, "zubfg1");
        if (r <= 0) return r < 0 ? -1 : 0;
        ip = ibase = in->buf;
        iend = ip + r;
        return 1;
    };

    std::uint32_t next = t->next;
    std::uint32_t gen = t->gen;
    const std::uint32_t tlimit = t->limit;
    std::uint64_t *const slots = t->slots;
    const std::uint32_t mask = t->size - 1;
    const std::uint32_t shift = t->shift;
    int width = static_cast<int>(zuetgb(t));

    std::uint32_t ent = 0;    /* the current match */
    std::uint32_t c = st->ch; /* the character that ended it (the last one read) */
    bool more = !st->eof;

    if (!st->started) {
        put(header & 0xFFu, 8);
        st->started = 1;
        if (ip == iend && refill() <= 0) {
            status = ZUSD_RDERR;
            goto fail;
        }
        c = *ip++;
        goto match;
    }
    if (st->state == 1) {
        ent = st->code;
        goto put_code;
    }
    if (st->state == 2) {
        ent = st->code;
        goto put_clear;
    }
    if (st->eof) goto finish; /* a finished run: nothing to read, nothing to write */

match:
    ent = c + 2;
    for (;;) {
        /* Codes may be written in the loop while the buffer has room for
         * one (8 bytes) and, under a volume limit, while the count stays
         * below thr even with the 3 whole bytes nb < 32 may hold pending;
         * the code that might reach thr is left to the exact check below. */
        std::ptrdiff_t room = oend - 8 - obuf;
        if (thr != kNever) {
            const std::int64_t left =
                static_cast<std::int64_t>(thr) - static_cast<std::int64_t>(base) - 4;
            if (left < room) room = left < -1 ? -1 : static_cast<std::ptrdiff_t>(left);
        }
        if (nb >= 32) room = -1;
        Hot hs{ip,   iend,   op,    obuf,    room,
               bb,   nb,     width, ent,     c,
               next, tlimit, slots, t->kids, std::uint64_t(gen) << 56,
               mask, shift};
        const int missed = shift == 32 - 15 ? run_hot<15>(hs) : run_hot<0>(hs);
        ip = hs.ip;
        op = hs.op;
        bb = hs.bb;
        nb = hs.nb;
        width = hs.width;
        ent = hs.ent;
        c = hs.c;
        next = hs.next;
        if (missed) break;
        const int r = refill();
        if (r < 0) {
            status = ZUSD_RDERR;
            goto fail;
        }
        if (r == 0) {
            more = false;
            break;
        }
    }

put_code:
    if (__builtin_expect(thr != kNever, 0) && count() >= thr) {
        st->state = 1;
        st->code = static_cast<std::uint16_t>(ent);
        goto finish;
    }
    put(ent, width);
    if (__builtin_expect(wfail, 0)) {
        status = ZUSD_WRERR;
        goto fail;
    }
    st->state = 0;
    if (next < tlimit) {
        t->next = static_cast<std::uint16_t>(next);
        zuetbn(t, static_cast<std::uint16_t>(ent), static_cast<std::uint8_t>(c));
        ++next;
        if (next == (1u << width) && width < 16) ++width;
        if (more) goto match;
        goto finish;
    }

put_clear:
    /* The table is full: a clear code resets both sides. */
    if (thr != kNever && count() >= thr) {
        st->state = 2;
        st->code = static_cast<std::uint16_t>(ent);
        goto finish;
    }
    put(1, width);
    if (wfail) {
        status = ZUSD_WRERR;
        goto fail;
    }
    st->state = 0;
    t->next = static_cast<std::uint16_t>(next);
    t->gen = gen;
    zuetbs(t);
    next = t->next;
    gen = t->gen;
    width = 9;
    if (more) goto match;

finish:
    if (!more) st->eof = 1;
    st->ch = static_cast<std::uint8_t>(c);
    status = ZUSD_OK;

fail:
    /* Whole pending bytes go into the buffer; 0 to 7 bits stay pending. */
    while (nb >= 8 && op) {
        nb -= 8;
        op = put_slow(out, op, base, static_cast<unsigned char>(bb >> nb));
    }
    if (!op) {
        status = ZUSD_WRERR;
        op = out->buf; /* nothing more is put; the stream's position stays sane */
    }
    sync_in();
    out->idx = static_cast<std::uint32_t>(op - out->buf);
    out->count = base + out->idx;
    out->acc = nb ? static_cast<std::uint32_t>(bb << (32 - nb)) : 0;
    out->wpos = 31 - nb;
    out->rpos = 31;
    t->next = static_cast<std::uint16_t>(next);
    t->gen = gen;
    if (status == ZUSD_OK) {
        st->wpos = out->wpos;
        st->rpos = out->rpos;
        st->acc = out->acc;
    } else {
        st->failed = status;
    }
    *limit = saturate(out->count);
    return status;
}
