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

std::uint32_t saturate(std::uint64_t n)
{
    return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(n);
}

/* The output side of one call: a 64-bit accumulator whose low `nb` bits
 * (0 to 7 between codes) are pending, written straight into the stream's
 * buffer. */
struct Out {
    zubfcb *s;
    unsigned char *op;
    unsigned char *end;
    std::uint64_t cnt;
    std::uint64_t bb;
    int nb;

    explicit Out(zubfcb *stream) : s(stream)
    {
        op = s->buf + s->idx;
        end = s->buf + s->bufsz;
        cnt = s->count;
        nb = 31 - s->wpos;
        if (nb < 0 || nb > 7) nb = 0; /* a stream never holds more between calls */
        bb = nb ? (s->acc >> (32 - nb)) : 0;
    }
    void sync()
    {
        s->idx = static_cast<std::uint32_t>(op - s->buf);
        s->count = cnt;
        s->acc = nb ? static_cast<std::uint32_t>(bb << (32 - nb)) : 0;
        s->wpos = 31 - nb;
        s->rpos = 31;
    }
    /* A full buffer is written when a further byte arrives (as a single
     * put does), so the bytes and the write sizes are the same. */
    bool byte(unsigned char v)
    {
        if (__builtin_expect(op == end, 0)) {
            s->idx = s->bufsz;
            if (!zubfwf(s)) return false;
            op = s->buf;
        }
        *op++ = v;
        ++cnt;
        return true;
    }
    /* At most 7 + 16 bits are pending, so at most two bytes leave per code. */
    bool put(std::uint32_t code, int width)
    {
        bb = (bb << width) | code;
        nb += width;
        while (nb >= 8) {
            nb -= 8;
            if (!byte(static_cast<unsigned char>(bb >> nb))) return false;
        }
        return true;
    }
};

} // namespace

int zulzecdn(const zulzecst *st)
{
    return st->started && st->eof && st->state == 0 && st->failed == 0;
}

unsigned zulzec(zubfcb *in, zubfcb *out, zulzecst *st, std::uint16_t header, std::uint32_t *limit)
{
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
    Out o(out);
    unsigned status = ZUSD_OK;

    const unsigned char *ip = in->buf + in->idx;
    const unsigned char *iend = ip + zubfav(in);
    const unsigned char *ibase = ip; /* bytes from ibase to ip are taken but not yet counted */
    auto sync_in = [&] {
        in->idx = static_cast<std::uint32_t>(ip - in->buf);
        in->count += static_cast<std::uint64_t>(ip - ibase);
        ibase = ip;
    };
    /* Refill the input: 1 with bytes, 0 at its end, -1 on a read error. */
    auto refill = [&]() -> int {
        sync_in();
        const long r = zubfrf(in, "zubfg1");
        if (r <= 0) return r < 0 ? -1 : 0;
        ip = ibase = in->buf;
        iend = ip + r;
        return 1;
    };

    std::uint16_t next = t->next;
    std::uint32_t gen = t->gen;
    const std::uint16_t tlimit = t->limit;
    std::uint64_t *const slots = t->slots;
    const std::uint32_t mask = t->size - 1;
    const std::uint32_t shift = t->shift;
    int width = static_cast<int>(zuetgb(t));

    std::uint32_t ent = 0;    /* the current match */
    std::uint32_t c = st->ch; /* the character that ended it (the last one read) */
    std::uint32_t slot = ~0u; /* the empty slot where (ent, c) goes, when known */
    bool more = !st->eof;

    enum { kRun, kPut, kClear, kDone } step = kRun;
    if (!st->started) {
        if (!o.put(header & 0xFFu, 8)) {
            status = ZUSD_WRERR;
            goto fail;
        }
        st->started = 1;
        if (ip == iend) {
            const int r = refill();
            if (r <= 0) {
                status = ZUSD_RDERR;
                goto fail;
            }
        }
        c = *ip++;
    } else if (st->state == 1) {
        ent = st->code;
        step = kPut;
    } else if (st->state == 2) {
        ent = st->code;
        step = kClear;
    } else if (st->eof) {
        step = kDone; /* a finished run: nothing to read, nothing to write */
    }

    for (;;) {
        if (step == kDone) break;
        if (step == kRun) {
            /* Greedy longest match: one table probe per input byte. */
            ent = c + 2;
            slot = ~0u;
            for (;;) {
                if (__builtin_expect(ip == iend, 0)) {
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
                c = *ip++;
                const std::uint32_t key = (c << 16) | ent;
                const std::uint64_t want = (std::uint64_t(gen) << 24) | key;
                std::uint32_t h = (key * 0x9E3779B1u) >> shift;
                for (;;) {
                    const std::uint64_t s = slots[h];
                    if ((s >> 16) == want) {
                        ent = static_cast<std::uint32_t>(s & 0xFFFFu);
                        break;
                    }
                    if ((s >> 40) != gen) {
                        slot = h;
                        break;
                    }
                    h = (h + 1) & mask;
                }
                if (slot != ~0u) break;
            }
            step = kPut;
        }
        if (step == kPut) {
            if (o.cnt >= thr) {
                st->state = 1;
                st->code = static_cast<std::uint16_t>(ent);
                st->ch = static_cast<std::uint8_t>(c);
                break;
            }
            if (!o.put(ent, width)) {
                status = ZUSD_WRERR;
                goto fail;
            }
            st->state = 0;
            if (next < tlimit) {
                const std::uint32_t key = (c << 16) | ent;
                if (slot == ~0u) { /* first empty slot of the pair's probe order */
                    slot = (key * 0x9E3779B1u) >> shift;
                    while ((slots[slot] >> 40) == gen) slot = (slot + 1) & mask;
                }
                ++next;
                slots[slot] = (std::uint64_t(gen) << 40) | (std::uint64_t(key) << 16) | next;
                if (next == (1u << width) && width < 16) ++width;
                step = more ? kRun : kDone;
                continue;
            }
            step = kClear;
        }
        /* kClear: the table is full; a clear code resets both sides. */
        if (o.cnt >= thr) {
            st->state = 2;
            st->code = static_cast<std::uint16_t>(ent);
            st->ch = static_cast<std::uint8_t>(c);
            break;
        }
        if (!o.put(1, width)) {
            status = ZUSD_WRERR;
            goto fail;
        }
        st->state = 0;
        t->next = next;
        t->gen = gen;
        zuetbs(t);
        next = t->next;
        gen = t->gen;
        width = 9;
        step = more ? kRun : kDone;
    }
    if (!more) st->eof = 1;
    st->ch = static_cast<std::uint8_t>(c);
    sync_in();
    o.sync();
    t->next = next;
    t->gen = gen;
    st->wpos = out->wpos;
    st->rpos = out->rpos;
    st->acc = out->acc;
    *limit = saturate(out->count);
    return ZUSD_OK;

fail:
    sync_in();
    o.sync();
    t->next = next;
    t->gen = gen;
    st->failed = status;
    *limit = saturate(out->count);
    return status;
}
