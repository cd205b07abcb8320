/* decoder.cpp - the resumable LZW decoder.
 *
 * Strings are restored into an output window owned by the decoder's table:
 * a code's string is copied from where it was last written (a new code's
 * string is the previous code's string plus one byte, so it always lies in
 * the output already written), and rebuilt from the prefix links only when
 * that place has left the window. The window is handed to the output stream
 * in blocks; the caller's output limit decides how much of it may leave in
 * one call, so a call can stop in the middle of a string (states 1 to 4)
 * and the next one goes on from there.
 *
 * Input is read through a 64-bit bit reader that loads eight bytes at a
 * time while the buffer holds that many, and byte by byte near its end, so
 * that a volume may end at any byte; at every return whole unused bytes go
 * back to the stream and the 0 to 15 bits left over travel in the record.
 *
 *   state 0 --header--> 6 --literal--> 5 --code--> 5 --clear--> 6
 *   5 or 6 --output limit inside a string--> 1..4 --next call--> 5
 *   any --corrupt code, read error, no memory--> 7 (stays failed) */
#include "zulz.h"

#include "szusd.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint64_t kNever = ~std::uint64_t(0);

enum : std::uint32_t {
    kHeader = 0,
    kLast = 1,
    kAfterClear = 2,
    kInString = 3,
    kRepeat = 4,
    kCode = 5,
    kFirst = 6,
    kFailed = 7,
};

std::uint32_t saturate(std::uint64_t n) {
    return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(n);
}

inline std::uint64_t load_be64(const unsigned char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

/* Copy n bytes (1 or more) forward in 16-byte steps. The source ends at or
 * before the destination's start, so every byte that matters is read before
 * anything overwrites it; up to 15 bytes past dst + n are scratch (window
 * slack). Most strings take the first step alone. */
inline void copy_string(unsigned char *dst, const unsigned char *src, std::uint32_t n) {
    std::uint32_t i = 0;
    do {
        unsigned char tmp[16];
        std::memcpy(tmp, src + i, 16);
        std::memcpy(dst + i, tmp, 16);
        i += 16;
    } while (__builtin_expect(i < n, 0));
}

/* Rebuild a string of n bytes from its prefix links, last byte first. Every
 * code the decoder follows names only lower codes, so the walk stays inside
 * the table; n bounds it whatever the table holds. */
inline void walk_string(unsigned char *dst, const std::uint32_t *ent, std::uint32_t code,
                        std::uint32_t n) {
    unsigned char *q = dst + n;
    while (q > dst) {
        const std::uint32_t e = ent[code];
        *--q = static_cast<unsigned char>(e >> 16);
        code = e & 0xFFFFu;
    }
}

/* Write the n-byte string of code src at dst and return its first byte
 * (from the source, not read back from dst): copied from where it was
 * last written while that is still in the window, else rebuilt from the
 * links. A literal not written since the reset has the position ZUDT_NOPOS
 * (all ones), which the test below takes as before any window: it is
 * rebuilt from its link, its byte, once, and copied like any other string
 * from then on. */
inline unsigned char put_string(unsigned char *dst, const unsigned char *win, std::uint64_t wbase,
                                const std::uint32_t *ent, const std::uint64_t *pos,
                                std::uint32_t src, std::uint32_t n) {
    const std::uint64_t at = pos[src];
    if (__builtin_expect(at + 1 <= wbase, 0)) { /* at < wbase, or ZUDT_NOPOS */
        walk_string(dst, ent, src, n);
        return dst[0];
    }
    /* The window's address less its position, so that a position gives
     * its byte's address in one addition. */
    const std::uintptr_t origin = reinterpret_cast<std::uintptr_t>(win) - wbase;
    const auto *const from = reinterpret_cast<const unsigned char *>(origin + at);
    copy_string(dst, from, n);
    return from[0];
}

/* Label of a stop at the output limit with `left` bytes of the string not
 * yet delivered. */
std::uint32_t limit_state(bool afterclear, bool repeat, std::uint64_t left) {
    if (afterclear) return kAfterClear;
    if (repeat) return left == 1 ? kRepeat : left == 2 ? kLast : kInString;
    return left == 1 ? kLast : kInString;
}

/* The decoder's state while it runs unhindered. */
struct Hot {
    const unsigned char *ip, *iend;
    std::uint64_t bb; /* bits held, left-aligned; nb of them valid */
    int nb;
    int width;
    std::uint32_t next;
    std::uint32_t maxcode;
    std::uint32_t oldcode;
    std::uint64_t produced;
    std::uint64_t limabs;
    std::uint64_t wbase;
    unsigned char *win;
    std::uint32_t *ent;
    std::uint64_t *pos;
    std::uint16_t *len;
    std::uint32_t winsz;
};

/* The decoder's inner loop: codes that name a table entry (or the one about
 * to be made) while at least eight input bytes remain, the window has room
 * for the string and the output limit is not in reach. Anything else (a
 * clear code, a corrupt code, the end of the input buffer, a full window,
 * the limit) is left unread for the careful loop. Kept apart so that its
 * values stay in registers. */
__attribute__((noinline)) void run_hot(Hot &hs) {
    const unsigned char *ip = hs.ip;
    const unsigned char *const ilast = hs.iend - 8;
    std::uint64_t bb = hs.bb;
    int nb = hs.nb;
    int width = hs.width;
    std::uint32_t next = hs.next;
    const std::uint32_t last = hs.maxcode - 1; /* codes are added while next is below it */
    std::uint32_t oldcode = hs.oldcode;
    std::uint64_t produced = hs.produced;
    const std::uint64_t wbase = hs.wbase;
    unsigned char *const win = hs.win;
    std::uint32_t *const ent = hs.ent;
    std::uint64_t *const pos = hs.pos;
    std::uint16_t *const len = hs.len;
    /* The string of one code is at most len + 1 bytes; stop before a code
     * whose string could pass the limit or the window's end. */
    const std::uint64_t wend = wbase + hs.winsz;
    const std::uint64_t stop = hs.limabs < wend ? hs.limabs : wend;
    const std::uintptr_t origin = reinterpret_cast<std::uintptr_t>(win) - wbase;
    while (ip <= ilast) {
        if (nb < width) {
            bb |= load_be64(ip) >> nb;
            ip += (63 - nb) >> 3;
            nb |= 56;
        }
        const auto code = static_cast<std::uint32_t>(bb >> (64 - width));
        const bool repeat = code > next;
        if (code < 2 || (repeat && (code != next + 1 || next >= last))) break;
        const std::uint32_t src = repeat ? oldcode : code;
        const std::uint32_t n = len[src];
        if (produced + n + 1 > stop) break;
        bb <<= width;
        nb -= width;
        auto *const dst = reinterpret_cast<unsigned char *>(origin + produced);
        const unsigned char first = put_string(dst, win, wbase, ent, pos, src, n);
        if (repeat) dst[n] = first;
        if (next < last) {
            const std::uint32_t k = ++next;
            ent[k] = (std::uint32_t(first) << 16) | oldcode;
            len[k] = static_cast<std::uint16_t>(len[oldcode] + 1);
            pos[k] = pos[oldcode];
            /* k stays below 2^16 - 1, so the width grows exactly when k + 1
             * is a power of two (the table's steps, without a load). */
            width += ((k + 1) & k) == 0;
        }
        pos[code] = produced;
        produced += repeat ? n + 1 : n;
        oldcode = code;
    }
    hs.ip = ip;
    hs.bb = bb;
    hs.nb = nb;
    hs.width = width;
    hs.next = next;
    hs.oldcode = oldcode;
    hs.produced = produced;
}

}  // namespace

unsigned zulzdcck(const zulzdcst *st) {
    const int bits = st->wpos - st->rpos;
    switch (st->state) {
        case kFailed:
            return st->failed ? st->failed : ZUSD_RDERR;
        case kHeader:
            zusderr("zulzdcck:  stream without its header byte");
            return ZUSD_RDERR;
        case kFirst:
            if (!st->afterclear) {
                zusderr("zulzdcck:  stream without its first code (%d bits left)", bits);
                return ZUSD_RDERR;
            }
            break;
        case kCode:
            break;
        default:
            zusderr("zulzdcck:  output held back at the limit (state %u)", st->state);
            return ZUSD_RDERR;
    }
    if (bits > 7) {
        zusderr("zulzdcck:  stream cut short inside a code (%d bits left)", bits);
        return ZUSD_RDERR;
    }
    return ZUSD_OK;
}

unsigned zulzdc(zubfcb *in, zubfcb *out, zulzdcst *st, std::uint32_t *limit) {
    if (st->state == kFailed) {
        *limit = saturate(out->count);
        return st->failed ? st->failed : ZUSD_RDERR;
    }
    unsigned status = ZUSD_OK;

    /* How far the output may go in this call, as a window position. */
    const std::uint64_t room = *limit == ZULZ_NOLIMIT ? kNever
                               : *limit > out->count  ? *limit - out->count
                                                      : 0;
    std::uint64_t limabs = room > kNever - st->delivered ? kNever : st->delivered + room;

    /* ---- bit reader ---- */
    const unsigned char *ip = in->buf + in->idx;
    const unsigned char *iend = ip + zubfav(in);
    const unsigned char *ibase = ip;
    int nb = st->wpos - st->rpos;
    if (nb < 0 || nb > 15) nb = 0; /* a record never holds more */
    std::uint64_t bb = nb ? (std::uint64_t(st->acc) << 32) & (~std::uint64_t(0) << (64 - nb)) : 0;

    auto sync_in = [&]() __attribute__((always_inline)) {
        in->idx = static_cast<std::uint32_t>(ip - in->buf);
        in->count += static_cast<std::uint64_t>(ip - ibase);
        ibase = ip;
    };
    /* Make at least w bits available: 1, 0 when the input is exhausted, -1
     * on a read error. */
    auto need = [&](int w) __attribute__((always_inline))->int {
        if (nb >= w) return 1;
        if (iend - ip >= 8) {
            bb |= load_be64(ip) >> nb;
            ip += (63 - nb) >> 3;
            nb |= 56;
            return 1;
        }
        bb &= nb ? ~std::uint64_t(0) << (64 - nb) : 0;
        while (nb < w) {
            if (ip == iend) {
                sync_in();
                const long r = zubfrf(in, "zubfbc");
                if (r <= 0) return r < 0 ? -1 : 0;
                ip = ibase = in->buf;
                iend = ip + r;
            }
            bb |= std::uint64_t(*ip++) << (56 - nb);
            nb += 8;
        }
        return 1;
    };
    auto take = [&](int w) __attribute__((always_inline))->std::uint32_t {
        const auto v = static_cast<std::uint32_t>(bb >> (64 - w));
        bb <<= w;
        nb -= w;
        return v;
    };

    /* ---- window ---- */
    zudtcb *t = st->table;
    std::uint64_t produced = st->produced;
    auto push = [&](std::uint64_t upto) __attribute__((always_inline))->bool {
        if (upto <= st->delivered) return true;
        const std::size_t n = static_cast<std::size_t>(upto - st->delivered);
        if (!zubfpn(out, t->win + (st->delivered - t->wbase), n)) return false;
        st->delivered = upto;
        return true;
    };

    std::uint32_t code = st->code;
    std::uint32_t oldcode = st->oldcode;
    bool repeat = false;
    bool spent = false; /* the input is exhausted: every bit taken stays in the record */
    int rc = 1;

    switch (st->state) {
        case kHeader:
            goto header;
        case kFirst:
            goto first;
        case kCode:
            goto codes;
        case kLast:
        case kAfterClear:
        case kInString:
        case kRepeat:
            if (!t) goto corrupt_record;
            goto resume_limit;
        default:
            goto corrupt_record;
    }

header : {
    rc = need(8);
    if (rc <= 0) goto exhausted;
    const std::uint32_t h = take(8);
    if (h > 18) {
        zusderr("zulzdc:  header %u > 18: no table for it", h);
        status = ZUSD_RDERR;
        goto fail;
    }
    zudtds(st->table);
    st->table = t = zudtmk(h);
    if (!t) {
        status = ZUSD_NOMEM;
        goto fail;
    }
    t->wbase = produced;
    st->afterclear = 0;
    st->state = kFirst;
}

first:
    /* The first code of the stream or after a clear code: a literal,
     * written without an addition to the table. */
    if (!t) goto corrupt_record;
    st->state = kFirst;
    rc = need(static_cast<int>(t->width));
    if (rc <= 0) goto exhausted;
    code = take(static_cast<int>(t->width));
    if (code < 2 || code > 257) {
        zusderr("zulzdc:  first code %u %s is not a literal", code,
                st->afterclear ? "after a clear code" : "of the stream");
        status = ZUSD_RDERR;
        goto fail;
    }
    {
        std::uint32_t p = static_cast<std::uint32_t>(produced - t->wbase);
        if (p + 1 + 1 > t->winsz) {
            if (!push(produced)) goto wrfail;
            const std::uint32_t keep = p < t->keep ? p : t->keep;
            std::memmove(t->win, t->win + (p - keep), keep);
            t->wbase += p - keep;
            p = keep;
        }
        t->win[p] = static_cast<unsigned char>(code - 2);
        t->pos[code] = produced;
        ++produced;
    }
    oldcode = code;
    st->finchar = static_cast<std::uint8_t>(code - 2);
    st->pending = 0;
    st->state = kCode;
    if (!st->begun) { /* the stream's very first byte is never held back */
        st->begun = 1;
        if (limabs < produced) limabs = produced;
    }
    if (produced > limabs) {
        st->state = limit_state(st->afterclear, false, produced - limabs);
        goto done;
    }

codes : {
    /* The main loop: one code, one string, one addition per turn. */
    if (!t) goto corrupt_record;
    std::uint32_t *const ent = t->ent;
    std::uint64_t *const pos = t->pos;
    std::uint16_t *const len = t->len;
    unsigned char *const win = t->win;
    const std::uint32_t maxcode = t->maxcode;
    std::uint32_t next = t->next;
    int width = static_cast<int>(t->width);
    for (;;) {
        if (iend - ip >= 16) {
            Hot hs{ip,       iend,   bb,       nb,  width, next, maxcode, oldcode,
                   produced, limabs, t->wbase, win, ent,   pos,  len,     t->winsz};
            run_hot(hs);
            ip = hs.ip;
            bb = hs.bb;
            nb = hs.nb;
            width = hs.width;
            next = hs.next;
            oldcode = hs.oldcode;
            produced = hs.produced;
        }
        rc = need(width);
        if (rc <= 0) {
            t->next = static_cast<std::uint16_t>(next);
            t->width = static_cast<std::uint32_t>(width);
            goto exhausted;
        }
        code = take(width);
        if (code == 1) {
            t->next = static_cast<std::uint16_t>(next);
            zudtbs(t);
            st->afterclear = 1;
            goto first;
        }
        /* A code names an entry already there, or the one this addition
         * is about to make (the writer made it just before writing it). */
        repeat = code > next;
        if (code == 0 || code > next + 1 || (repeat && next + 1 >= maxcode)) {
            t->next = static_cast<std::uint16_t>(next);
            t->width = static_cast<std::uint32_t>(width);
            zusderr("zulzdc:  code %u not in the table (highest %u of %u)", code, next,
                    maxcode - 1);
            status = ZUSD_RDERR;
            goto fail;
        }
        const std::uint32_t src = repeat ? oldcode : code;
        const std::uint32_t n = len[src];
        std::uint32_t p = static_cast<std::uint32_t>(produced - t->wbase);
        if (__builtin_expect(p + n + 1 > t->winsz, 0)) {
            /* Slide: hand the window to the output and keep its tail, from
             * which later strings are copied. Everything produced so far
             * lies within the limit here (the loop stops otherwise). */
            if (!push(produced)) goto wrfail;
            const std::uint32_t keep = p < t->keep ? p : t->keep;
            std::memmove(win, win + (p - keep), keep);
            t->wbase += p - keep;
            p = keep;
        }
        unsigned char *const dst = win + p;
        put_string(dst, win, t->wbase, ent, pos, src, n);
        const std::uint32_t total = repeat ? n + 1 : n;
        if (repeat) dst[n] = dst[0];
        if (next + 1 < maxcode) {
            const std::uint32_t k = ++next;
            ent[k] = (std::uint32_t(dst[0]) << 16) | oldcode;
            len[k] = static_cast<std::uint16_t>(len[oldcode] + 1);
            pos[k] = pos[oldcode];
            width += static_cast<int>((t->steps[k / 32] >> (k % 32)) & 1u);
        }
        pos[code] = produced;
        produced += total;
        oldcode = code;
        if (__builtin_expect(produced > limabs, 0)) {
            t->next = static_cast<std::uint16_t>(next);
            t->width = static_cast<std::uint32_t>(width);
            st->finchar = dst[0];
            st->pending = static_cast<std::uint16_t>(repeat ? code : 0);
            st->state = limit_state(false, repeat, produced - limabs);
            goto done;
        }
    }
}

resume_limit:
    /* Stopped inside a string: deliver what the new limit allows. */
    if (produced > limabs) {
        st->state = st->state == kAfterClear
                        ? kAfterClear
                        : limit_state(false, st->pending != 0, produced - limabs);
        goto done;
    }
    st->state = kCode;
    goto codes;

exhausted:
    if (rc < 0) { /* a read error, logged by the refill */
        status = ZUSD_RDERR;
        goto fail;
    }
    spent = true;
    goto done;

corrupt_record:
    zusderr("zulzdc:  resume record in state %u has no table", st->state);
    status = ZUSD_RDERR;
    goto fail;

wrfail:
    status = ZUSD_WRERR;
    goto fail;

fail:
    st->state = kFailed;
    st->failed = status;
    goto done;

done : {
    /* Unless the input is exhausted (the next call reads another stream),
     * give whole unused bytes back to the stream, which still holds them.
     * The 0 to 15 bits left over travel in the record: an exhausted input
     * leaves fewer bits than a code, a stop elsewhere at most a byte more
     * than those kept from before the last refill. */
    const std::uint64_t here = static_cast<std::uint64_t>(ip - in->buf);
    std::uint64_t back = spent ? 0 : static_cast<std::uint64_t>(nb / 8);
    if (back > here) back = here;
    ip -= back;
    nb -= static_cast<int>(8 * back);
    const std::uint64_t taken = static_cast<std::uint64_t>(ip >= ibase ? ip - ibase : 0);
    const std::uint64_t returned = static_cast<std::uint64_t>(ip < ibase ? ibase - ip : 0);
    in->idx = static_cast<std::uint32_t>(ip - in->buf);
    in->count = in->count + taken - returned;
    bb &= nb ? ~std::uint64_t(0) << (64 - nb) : 0;
    st->acc = static_cast<std::uint32_t>(bb >> 32);
    st->wpos = 31;
    st->rpos = 31 - nb;
    in->acc = st->acc;
    in->wpos = st->wpos;
    in->rpos = st->rpos;
    st->code = static_cast<std::uint16_t>(code);
    st->oldcode = static_cast<std::uint16_t>(oldcode);
    st->produced = produced;
    if (t && status != ZUSD_WRERR) {
        if (!push(produced < limabs ? produced : limabs) && status == ZUSD_OK) {
            st->state = kFailed;
            st->failed = status = ZUSD_WRERR;
        }
    }
    *limit = saturate(out->count);
    return status;
}
}
