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
inline void store_be64(unsigned char *p, std::uint64_t v) {
    v = __builtin_bswap64(v);
    __builtin_memcpy(p, &v, 8);
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

/* The width of the next code written: the bit length of next, which runs
 * from 257 (after a reset) to a limit below 2^16. */
inline std::uint32_t width_of(std::uint32_t next) {
    return 32 - static_cast<std::uint32_t>(__builtin_clz(next));
}

/* The encoder's state while it runs unhindered. */
struct Hot {
    const unsigned char *ip, *iend;
    unsigned char *op;
    std::uintptr_t olast; /* a code may be written while op is at most this address */
    std::uint64_t bb;    /* pending output bits (the low nb) */
    int nb;
    std::uint32_t ent; /* the current match */
    std::uint32_t c;   /* the byte that ended it (the last byte read) */
    std::uint32_t next;
    std::uint32_t tlimit;
    std::uint16_t *slots; /* the table's slots, codes by name, names by code */
    std::uint32_t shift;
};

/* How run_hot stops. */
enum Stop { kRefill, kMiss, kFar };

/* The encoder's inner loop: greedy longest match, one table probe per byte,
 * then write the code and add the pair, for as long as the input buffer
 * lasts, the output has room for a code (up to `olast`: the buffer's end
 * less 8, or less when a volume limit is near) and the table is not full.
 * Returns kMiss at a miss it leaves to the caller and kFar at a probe that
 * reaches the far distance (ent and c set, nothing written, the pair not
 * added), kRefill when the input buffer ran out in the middle of a match.
 * Kept apart from the rest of the encoder so that its values stay in
 * registers.
 *
 * A match is held as its name (`at`), not its code: the next probe's slot
 * follows from the name and the next byte alone, so no probe waits for the
 * one before, only the branch that checks it does. The code is looked up
 * only when it is written. kShift, when not 0, is the common table's size
 * (log2), a constant that frees registers. */
template <std::uint32_t kShift>
__attribute__((noinline)) Stop run_hot(Hot &hs) {
    const unsigned char *ip = hs.ip;
    const unsigned char *const iend = hs.iend;
    const std::uint32_t shift = kShift != 0 ? kShift : hs.shift;
    const std::uint32_t size = 1u << shift, mask = size - 1;
    std::uint16_t *const slots = hs.slots;
    std::uint16_t *const code = slots + size;
    std::uint16_t *const kids = code + size;
    std::uint32_t *const slot = reinterpret_cast<std::uint32_t *>(kids + 65536);
    std::uint32_t c = hs.c;
    std::uint32_t ent = hs.ent;
    std::uint32_t b = 0;  /* the match's byte while it is a literal */
    std::uint32_t at = 0; /* the match's name once it is longer */
    std::uint32_t want = 0, h = 0, s = 0;
    Stop result = kRefill;
    unsigned char *op = hs.op;
    const std::uintptr_t olast = hs.olast;
    std::uint64_t bb = hs.bb;
    auto nb = static_cast<std::uint32_t>(hs.nb); /* unsigned: no step widens it with a sign */
    std::uint32_t next = hs.next;
    const std::uint32_t tlimit = hs.tlimit;
    /* Write a code and give the pair that was not found the next code. The
     * pending bits go out as 8 bytes every time, their last byte partial,
     * and the position moves past the whole ones: no branch on the bit
     * count, whose pattern follows the data. */
    auto put = [&](std::uint32_t value) __attribute__((always_inline)) {
        const std::uint32_t width = width_of(next); /* worked out: a register fewer */
        bb = (bb << width) | value;
        nb += width; /* 9 to 23 */
        store_be64(op, bb << ((0 - nb) & 63)); /* 64 - nb, and no register for 64 */
        op += nb >> 3;
        nb &= 7;
        ++next;
    };
    auto room = [&]() __attribute__((always_inline)) {
        return reinterpret_cast<std::uintptr_t>(op) <= olast && next < tlimit;
    };
    if (ent >= 258) {
        at = slot[ent];
        goto deep;
    }
    b = ent - 2;
literal:
    while (ip != iend) {
        c = *ip++;
        const std::uint32_t i = b << 8 | c;
        if (kids[i] != 0) {
            at = size + i;
            goto deep;
        }
        if (__builtin_expect(!room(), 0)) {
            result = kMiss;
            ent = b + 2;
            goto out;
        }
        put(b + 2);
        kids[i] = static_cast<std::uint16_t>(next);
        slot[next] = size + i;
        b = c;
    }
    ent = b + 2;
    goto out;
deep:
    /* The first probe of a match that is longer than a literal: its name
     * may be a literal pair's (quotient 1). */
    if (ip == iend) {
        ent = code[at];
        goto out;
    }
    c = *ip++;
    h = zueths(at, c, mask);
    want = zuettg(c, at >> shift, 0);
    s = slots[h];
    if (s != want) goto probe;
    at = h;
deep_slot:
    /* The match's name is a slot (quotient 0). Here `at` runs unmasked:
     * (3 n + w) mod 2^32 falls in the same slot as 3 (n mod size) + w, so
     * the mask is off the chain from probe to probe and only forms the
     * address. */
    while (ip != iend) {
        c = *ip++;
        const std::uint32_t ahead = 3 * at + zuetcw.w[c];
        h = ahead & mask;
        want = zuettg(c, 0, 0);
        s = slots[h];
        if (__builtin_expect(s != want, 0)) {
            at &= mask;
            goto probe;
        }
        at = ahead;
    }
    ent = code[at & mask];
    goto out;
probe:
    /* The pair is not in its first slot: further along, or absent. */
    do {
        if (s == 0) goto deep_miss;
        want += zuetdu;
        if (__builtin_expect(want >> 10 == zuetfd + 1, 0)) {
            result = kFar;
            ent = code[at];
            goto out;
        }
        h = (h + 1) & mask;
        s = slots[h];
    } while (s != want);
    at = h;
    goto deep_slot;
deep_miss:
    if (__builtin_expect(!room(), 0)) {
        result = kMiss;
        ent = code[at];
        goto out;
    }
    put(code[at]);
    slots[h] = static_cast<std::uint16_t>(want);
    code[h] = static_cast<std::uint16_t>(next);
    slot[next] = h;
    b = c;
    goto literal;
out:
    hs = Hot{ip, iend, op, olast, bb, static_cast<int>(nb), ent, c, next, tlimit, slots, shift};
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
    const std::uint32_t tlimit = t->limit;

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
        const std::uintptr_t olast = reinterpret_cast<std::uintptr_t>(obuf) + room; /* room may be -1 */
        Hot hs{ip, iend, op, olast, bb, nb, ent, c, next, tlimit, t->slots, t->shift};
        const Stop stop = t->shift == 16 ? run_hot<16>(hs) : run_hot<0>(hs);
        ip = hs.ip;
        op = hs.op;
        bb = hs.bb;
        nb = hs.nb;
        ent = hs.ent;
        c = hs.c;
        next = hs.next;
        if (stop == kFar) {
            /* A long run of slots: the table's own lookup checks far pairs. */
            const std::uint16_t code = zuetlu(t, static_cast<std::uint16_t>(ent),
                                              static_cast<std::uint8_t>(c));
            if (code == 0) break;
            ent = code;
            continue;
        }
        if (stop == kMiss) break;
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
    put(ent, static_cast<int>(width_of(next)));
    if (__builtin_expect(wfail, 0)) {
        status = ZUSD_WRERR;
        goto fail;
    }
    st->state = 0;
    if (next < tlimit) {
        t->next = static_cast<std::uint16_t>(next);
        zuetbn(t, static_cast<std::uint16_t>(ent), static_cast<std::uint8_t>(c));
        ++next;
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
    put(1, static_cast<int>(width_of(next)));
    if (wfail) {
        status = ZUSD_WRERR;
        goto fail;
    }
    st->state = 0;
    t->next = static_cast<std::uint16_t>(next);
    zuetbs(t);
    next = t->next;
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
