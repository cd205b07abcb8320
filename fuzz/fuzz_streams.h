/* fuzz_streams.h - memory-backed code streams and a small generator of
 * volume sizes for the codec's fuzz targets. */
#ifndef ZU_FUZZ_STREAMS_H
#define ZU_FUZZ_STREAMS_H

#include "szusd.h"
#include "zulz.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace zufuzz {

using Bytes = std::vector<unsigned char>;

/* Fails loudly: the fuzzer reports the input that got here. */
[[noreturn]] inline void fail(const char *what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

struct MemOut {
    char *data = nullptr;
    std::size_t size = 0;
    zubfcb *s;
    explicit MemOut(int coded) : s(zubfcr(open_memstream(&data, &size), 0, coded)) {
        if (!s) fail("open_memstream");
    }
    Bytes close(int flags) {
        if (!zubfcl(s, flags)) fail("close of a memory stream");
        s = nullptr;
        Bytes b(data, data + size);
        std::free(data);
        data = nullptr;
        return b;
    }
    ~MemOut() {
        if (s) zubfcl(s, 0);
        std::free(data);
    }
};

struct MemIn {
    Bytes copy;
    zubfcb *s;
    MemIn(const unsigned char *p, std::size_t n, int coded) : copy(p, p + n) {
        std::FILE *fp = n ? fmemopen(copy.data(), n, "r") : std::fopen("/dev/null", "r");
        s = zubfcr(fp, 1, coded);
        if (!s) fail("fmemopen");
    }
    MemIn(const Bytes &b, int coded) : MemIn(b.data(), b.size(), coded) {}
    ~MemIn() { zubfcl(s, 0); }
};

/* A small deterministic generator of sizes. */
struct Sizes {
    std::uint32_t x;
    explicit Sizes(std::uint32_t seed) : x(seed * 2654435761u + 1) {}
    std::uint32_t next(std::uint32_t lo, std::uint32_t span) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return lo + (span ? x % span : 0);
    }
};

struct Decoded {
    Bytes out;
    unsigned status = 0;
    unsigned check = 0;
    std::uint32_t state = 0;
};

/* Decode the volumes in turn, the output growing by at most `step` bytes per
 * call (0: no limit); every call must report the output's count. */
inline Decoded decode(const std::vector<Bytes> &pieces, std::uint32_t step = 0) {
    Decoded d;
    zulzdcst st{};
    MemOut out(0);
    for (const Bytes &piece : pieces) {
        MemIn in(piece, 1);
        for (;;) {
            std::uint64_t want = step ? out.s->count + step : ZULZ_NOLIMIT;
            if (want >= ZULZ_NOLIMIT) want = ZULZ_NOLIMIT - 1;
            std::uint32_t lim = step ? static_cast<std::uint32_t>(want) : ZULZ_NOLIMIT;
            d.status = zulzdc(in.s, out.s, &st, &lim);
            if (lim != std::min<std::uint64_t>(out.s->count, 0xFFFFFFFFu)) fail("decoder count");
            if (d.status || st.state < 1 || st.state > 4) break;
        }
        if (d.status) break;
    }
    d.state = st.state;
    d.check = d.status ? d.status : zulzdcck(&st);
    zudtds(st.table);
    d.out = out.close(0);
    return d;
}

/* Decode `s` cut into volumes of 1 + (seed-driven) bytes (one volume when
 * cutseed is 0). */
inline Decoded decode(const unsigned char *s, std::size_t n, unsigned cutseed, std::uint32_t step) {
    std::vector<Bytes> pieces;
    Sizes sizes(cutseed);
    std::size_t at = 0;
    do {
        std::size_t len = cutseed ? sizes.next(0, cutseed % 64 + 2) : n - at;
        if (len > n - at) len = n - at;
        pieces.emplace_back(s + at, s + at + len);
        at += len;
    } while (at < n);
    return decode(pieces, step);
}

}  // namespace zufuzz

#endif /* ZU_FUZZ_STREAMS_H */
