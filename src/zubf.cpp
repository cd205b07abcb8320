/* zubf.cpp - the codec's buffered code stream: a file with a large byte
 * buffer, a bit packer for codes written most significant bit first, and a
 * bit reader for codes read back. Every failure is logged through zusderr. */
#include "zubf.h"

#include "szusd.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

void *(*zubfma)(std::size_t size) = std::malloc;

namespace {

/* Buffer sizes tried, largest first: 49152 halved down to 384. */
constexpr std::uint32_t kBufFirst = 49152;
constexpr std::uint32_t kBufLeast = 256;
/* Pieces from this size on are written straight from the caller's memory. */
constexpr std::size_t kDirect = 4096;

void initmasks(zubfcb *s) {
    for (int n = 0; n <= 16; ++n) s->masks[n] = std::uint16_t((1u << n) - 1u);
}

/* Fill in the record around `fp` and give it a buffer; null when no buffer
 * can be had. */
zubfcb *setup(zubfcb *s, std::FILE *fp, int rdflag, int coded) {
    s->fp = fp;
    s->buf = nullptr;
    s->count = 0;
    s->acc = 0;
    initmasks(s);
    s->rdmode = rdflag ? 1 : 0;
    s->coded = coded ? 1 : 0;
    s->wpos = 31;
    s->rpos = 31;
    s->last = 0;
    s->bufsz = 0;
    s->idx = 0;
    s->filled = 0;
    for (std::uint32_t size = kBufFirst; size >= kBufLeast; size /= 2) {
        s->buf = static_cast<unsigned char *>(zubfma(size));
        if (s->buf) {
            s->bufsz = size;
            return s;
        }
    }
    return nullptr;
}

/* Hand out the record set up around `fp`; on failure close `fp` and free
 * the record. */
zubfcb *adopt(zubfcb *s, std::FILE *fp, int rdflag, int coded) {
    if (setup(s, fp, rdflag, coded)) return s;
    std::fclose(fp);
    std::free(s);
    return nullptr;
}

/* Put one byte through the buffer: a full buffer is written out when a
 * further byte arrives, not when it becomes full. */
inline int put1(zubfcb *s, unsigned char byte) {
    if (s->idx >= s->bufsz && !zubfwf(s)) return 0;
    s->buf[s->idx++] = byte;
    ++s->count;
    return 1;
}

/* Take one byte for a read, refilling with `label` in the messages. */
inline int get1(zubfcb *s, unsigned char *byte, const char *label) {
    if (zubfav(s) == 0 && zubfrf(s, label) <= 0) return 0;
    *byte = s->buf[s->idx++];
    ++s->count;
    return 1;
}

}  // namespace

zubfcb *zubfof(const char *lead, const char *dir, const char *base, const char *ext, int rdflag,
               int coded) {
    auto *s = static_cast<zubfcb *>(zubfma(sizeof(zubfcb)));
    if (!s) return nullptr;
    char path[ZUSD_PATHSZ];
    if (zusdcm(path, lead, dir, base, ext) != ZUSD_OK) {
        std::free(s);
        return nullptr;
    }
    std::FILE *fp = rdflag ? ZUSDORB(path) : ZUSDOWB(path);
    if (fp == ZUSDFN) {
        if (rdflag)
            zusderr("zubfof:  ZUSDORB( %s ) == ZUSDFN", path);
        else
            zusderr("zubfof:  ZUSDOWB( %s ) == ZUSDFN", path);
        std::free(s);
        return nullptr;
    }
    return adopt(s, fp, rdflag, coded);
}

zubfcb *zubfor(const char *lead, const char *dir, const char *base, const char *ext, int coded) {
    return zubfof(lead, dir, base, ext, 1, coded);
}

zubfcb *zubfow(const char *lead, const char *dir, const char *base, const char *ext, int coded) {
    return zubfof(lead, dir, base, ext, 0, coded);
}

zubfcb *zubfcr(std::FILE *fp, int rdflag, int coded) {
    if (!fp) return nullptr;
    auto *s = static_cast<zubfcb *>(zubfma(sizeof(zubfcb)));
    if (!s) {
        std::fclose(fp);
        return nullptr;
    }
    return adopt(s, fp, rdflag, coded);
}

int zubfcl(zubfcb *s, int flags) {
    if (!s) return 1;
    int ok = 1;
    if (!s->rdmode) {
        if (s->idx > 0) {
            const std::size_t n = ZUSDWB(s->fp, s->buf, s->idx);
            if (n != s->idx) {
                zusderr("zubfcl:  ZUSDWB( OUTfile, ptr, %u ) != %u", s->idx, s->idx);
                ok = 0;
            }
            s->idx = 0;
        }
        if (ok && s->coded && (flags & ZUBF_FLUSH) && !zubffb(s)) ok = 0;
        if (ok && std::fflush(s->fp) != 0) {
            zusderr("zubfcl:  fflush( OUTfile ) != 0");
            ok = 0;
        }
        if (ok && ZUSDFR(s->fp)) {
            zusderr("zubfcl:  ZUSDFR( OUTfile )");
            ok = 0;
        }
        if (ok && (flags & ZUBF_SYNC) && fsync(fileno(s->fp)) != 0) {
            zusderr("zubfcl:  fsync( OUTfile ) != 0");
            ok = 0;
        }
    }
    if (std::fclose(s->fp) != 0 && !s->rdmode) {
        if (ok) zusderr("zubfcl:  fclose( OUTfile ) != 0");
        ok = 0;
    }
    std::free(s->buf);
    std::free(s);
    return ok;
}

int zubfpb(zubfcb *s, std::uint16_t code, int n) {
    const int p = s->wpos - n;
    s->acc &= ~(std::uint32_t(s->masks[n]) << (p + 1));
    s->acc |= std::uint32_t(code) << (p + 1);
    s->wpos = p;
    while (s->wpos < 24) {
        if (!put1(s, static_cast<unsigned char>(s->acc >> 24))) return 0;
        s->acc <<= 8;
        s->wpos += 8;
    }
    return 1;
}

int zubffb(zubfcb *s) {
    for (;;) {
        if (s->wpos == 31) return 1;
        const int byte = static_cast<int>(s->acc >> 24);
        if (ZUSDPC(byte, s->fp) != byte) {
            zusderr("zubffb:  ZUSDPC( (char)%d, OUTfile ) != (char)%d", byte, byte);
            return 0;
        }
        ++s->count;
        if (s->wpos >= 24) { /* the last, partial byte */
            s->acc = 0;
            s->wpos = 31;
            return 1;
        }
        s->acc <<= 8;
        s->wpos += 8;
    }
}

int zubfg1(zubfcb *s, unsigned char *byte) {
    return get1(s, byte, "zubfg1");
}

int zubfgb(zubfcb *s, std::uint16_t *code, int n) {
    while (s->wpos - s->rpos < n) {
        unsigned char byte;
        if (!get1(s, &byte, "zubfbc")) return 0;
        const int at = s->rpos - 7;
        s->acc &= ~(0xFFu << at);
        s->acc |= std::uint32_t(byte) << at;
        s->rpos -= 8;
    }
    *code = static_cast<std::uint16_t>(s->acc >> (32 - n));
    s->acc = n == 32 ? 0 : s->acc << n;
    s->rpos += n;
    return 1;
}

namespace {

/* Write n bytes to the stream's file: 1, or 0 with one log record. */
int write_out(zubfcb *s, const unsigned char *data, std::size_t n) {
    if (ZUSDWB(s->fp, data, n) != n) {
        zusderr("zubfp1:  ZUSDWB( OUTfile, ptr, %d ) != %d", static_cast<int>(n),
                static_cast<int>(n));
        return 0;
    }
    return 1;
}

}  // namespace

int zubfwf(zubfcb *s) {
    if (!write_out(s, s->buf, s->bufsz)) return 0;
    s->idx = 0;
    return 1;
}

int zubfpn(zubfcb *s, const unsigned char *data, std::size_t n) {
    if (n >= kDirect && s->fp != nullptr) {
        /* What the buffer holds goes first, so the order stays; a writer of
         * large pieces then touches no more of the buffer than its small
         * ones fill. */
        if (s->idx > 0) {
            if (!write_out(s, s->buf, s->idx)) return 0;
            s->idx = 0;
        }
        if (!write_out(s, data, n)) return 0;
        s->count += n;
        return 1;
    }
    while (n > 0) {
        if (s->idx >= s->bufsz && !zubfwf(s)) return 0;
        std::size_t k = s->bufsz - s->idx;
        if (k > n) k = n;
        __builtin_memcpy(s->buf + s->idx, data, k);
        s->idx += static_cast<std::uint32_t>(k);
        s->count += k;
        data += k;
        n -= k;
    }
    return 1;
}

long zubfrf(zubfcb *s, const char *label) {
    const std::size_t n = ZUSDRB(s->fp, s->buf, s->bufsz);
    if (n == 0) {
        if (ZUSDFR(s->fp)) {
            zusderr("%s:  ZUSDFR( INfile )  after  ZUSDRB( INfile )", label);
            return -1;
        }
        zusderr("%s:  ZUSDRB( INfile ) -1  == ZUSDEO", label);
        return 0;
    }
    if (ZUSDFR(s->fp)) {
        zusderr("%s:  ZUSDFR( INfile )  after  ZUSDRB( INfile )", label);
        return -1;
    }
    s->last = static_cast<std::uint32_t>(n - 1);
    s->idx = 0;
    s->filled = 1;
    return static_cast<long>(n);
}
