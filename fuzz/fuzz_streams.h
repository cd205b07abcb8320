/* fuzz_streams.h - memory-backed code streams, the encoder and decoder run
 * volume by volume, and whole streams through the parallel coders, as the
 * codec's fuzz targets and tests use them. Every broken rule aborts with a
 * message. */
#ifndef ZU_FUZZ_STREAMS_H
#define ZU_FUZZ_STREAMS_H

#include "szusd.h"
#include "zulz.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unordered_map>
#include <sys/mman.h>
#include <unistd.h>
#include <functional>
#include <random>
#include <unordered_map>
#include <vector>

namespace zufuzz {

using Bytes = std::vector<unsigned char>;

/* Fails loudly: the fuzzer reports the input that got here. */
[[noreturn]] inline void fail(const char *what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

/* Greedy longest match over a plain map: header `bits`, codes of 9 bits up
 * to that width, a clear code when the table is full and after the last
 * code then. */
inline Bytes greedy(const Bytes &in, unsigned bits = 14) {
    const unsigned limit = (1u << (bits < 9 ? 9 : bits)) - 2;
    Bytes out;
    std::uint64_t acc = 0;
    int n = 0;
    auto put = [&](unsigned v, unsigned w) {
        for (acc = acc << w | v, n += w; n >= 8; n -= 8) out.push_back(std::uint8_t(acc >> (n - 8)));
    };
    put(bits, 8);
    std::unordered_map<unsigned, unsigned> dict;
    unsigned next = 257, width = 9, ent = in[0] + 2u;
    for (std::size_t i = 1; i < in.size(); ++i) {
        const auto found = dict.find(unsigned(in[i]) << 16 | ent);
        if (found != dict.end()) {
            ent = found->second;
            continue;
        }
        put(ent, width);
        if (next < limit) {
            dict[unsigned(in[i]) << 16 | ent] = ++next;
            width += next == 1u << width;
        } else {
            put(1, width);
            dict.clear(), next = 257, width = 9;
        }
        ent = in[i] + 2u;
    }
    put(ent, width);
    if (next >= limit) put(1, width);
    if (n) out.push_back(std::uint8_t(acc << (8 - n)));
    return out;
}

/* A file in memory holding `b`, open from its start. */
inline std::FILE *memfile(const Bytes &b, const char *mode) {
    const int fd = memfd_create("zu", 0);
    if (fd < 0 || write(fd, b.data(), b.size()) != static_cast<ssize_t>(b.size())) fail("memfd");
    lseek(fd, 0, SEEK_SET);
    return fdopen(fd, mode);
}

/* A stream on a file in memory: read from `b`, or written and read back. */
struct Mem {
    zubfcb *s;
    int fd;
    Mem(const Bytes &b, int rd, int coded) : s(zubfcr(memfile(b, rd ? "r" : "w"), rd, coded)) {
        fd = s ? dup(fileno(s->fp)) : (fail("memory stream"), -1);
    }
    Bytes close(int flags) {
        if (!zubfcl(s, flags)) fail("close of a memory stream");
        s = nullptr;
        Bytes b(lseek(fd, 0, SEEK_END));
        if (pread(fd, b.data(), b.size(), 0) != static_cast<ssize_t>(b.size())) fail("pread");
        return b;
    }
    ~Mem() { zubfcl(s, 0), ::close(fd); }
};

/* Fresh encoder and decoder records, which free their tables. */
struct Encoder : zulzecst {
    explicit Encoder(unsigned bits = 14) : zulzecst{} { table = zuetmk(bits, 18); }
    ~Encoder() { zuetds(table); }
};
struct Decoder : zulzdcst {
    Decoder() : zulzdcst{} {}
    ~Decoder() { zudtds(table); }
};

struct Encoded {
    Bytes joined;
    unsigned status = 0, volumes = 0;
};

/* Encode into volumes of limit_of() bytes each, until one more call after
 * the end (which must read and write nothing) takes the leftover bits. */
inline Encoded encode(const Bytes &data, const std::function<std::uint32_t()> &limit_of,
                      unsigned bits = 14) {
    Encoded e;
    Encoder st(bits);
    Mem in(data, 1, 0);
    for (int after = 0; after < 2;) {
        if (++e.volumes > 100000000) fail("no progress");
        Mem out({}, 0, 1);
        const std::uint64_t taken = in.s->count;
        std::uint32_t limit = limit_of(), lim = limit;
        e.status = zulzec(in.s, out.s, &st, static_cast<std::uint16_t>(bits), &lim);
        if (lim != out.s->count) fail("limit does not hold the count");
        if (limit != ZULZ_NOLIMIT && lim + 1 > std::max(limit, 2u)) fail("volume over limit");
        if (after && (lim || in.s->count != taken)) fail("a call after the end read or wrote");
        after += e.status ? 2 : zulzecdn(&st);
        for (unsigned char b : out.close(after == 2 ? ZUBF_FLUSH : 0)) e.joined.push_back(b);
    }
    return e;
}

struct Decoded {
    Bytes out;
    unsigned status = 0, check = 0;
};

/* Decode the volumes in turn, the output growing by at most `step` bytes per
 * call (0: no limit); every call must report the output's count. */
inline Decoded decode(const std::vector<Bytes> &pieces, std::uint32_t step = 0) {
    Decoded d;
    Decoder st;
    Mem out({}, 0, 0);
    for (std::size_t i = 0; i < pieces.size() && !d.status; ++i) {
        Mem in(pieces[i], 1, 1);
        do {
            std::uint32_t lim = ZULZ_NOLIMIT;
            if (step) lim = std::min<std::uint64_t>(out.s->count + step, ZULZ_NOLIMIT - 1);
            d.status = zulzdc(in.s, out.s, &st, &lim);
            if (lim != std::min<std::uint64_t>(out.s->count, 0xFFFFFFFFu)) fail("decoder count");
        } while (!d.status && st.state >= 1 && st.state <= 4);
    }
    d.check = d.status ? d.status : zulzdcck(&st);
    d.out = out.close(0);
    return d;
}

/* `s` cut before each offset of `at` (increasing). */
inline std::vector<Bytes> cut(const Bytes &s, std::vector<std::size_t> at) {
    std::vector<Bytes> pieces;
    at.push_back(s.size());
    for (std::size_t from = 0, i = 0; i < at.size(); from = at[i++])
        pieces.emplace_back(s.begin() + from, s.begin() + at[i]);
    return pieces;
}

/* Decode `s` cut into volumes of 0 to cutseed % 64 + 1 (seed-driven) bytes:
 * 64 cuts at nearly every byte, 0 not at all. */
inline Decoded decode(const Bytes &s, unsigned cutseed, std::uint32_t step) {
    std::vector<std::size_t> at;
    std::minstd_rand sizes(cutseed + 1);
    for (std::size_t k = 0; cutseed && (k += sizes() % (cutseed % 64 + 2)) < s.size();)
        at.push_back(k);
    return decode(cut(s, at), step);
}

/* Whole streams through files in memory: restored by the parallel decoder
 * and then the serial one from where it stopped (one thread: the serial one
 * alone), or compressed by the parallel encoder, with the messages the error
 * log received. */
struct Restored {
    Bytes out;
    unsigned status = 0;
    std::string log;         /* the messages, without their dates and errno */
    std::uint64_t serial_at; /* input byte where the serial decoder took over */
};

/* Runs `fn(in, out)` over streams (coded as given) on files in memory with
 * the log on; the output's bytes, and the log's messages in *log. */
template <class Fn>
inline Bytes through_files(const Bytes &input, int incoded, int outcoded, std::string *log, Fn fn) {
    const std::string path = "/tmp/zu_parallel_log." + std::to_string(getpid());
    unlink(path.c_str());
    zusdlg(path.c_str(), 1);
    Mem in(input, 1, incoded), out({}, 0, outcoded);
    fn(in.s, out.s);
    const Bytes b = out.close(ZUBF_FLUSH);
    zusdlg_level = 0;
    std::ifstream lf(path);
    for (std::string line; std::getline(lf, line);)
        *log += line.substr(line.find("]  ") + 1) + "\n";
    unlink(path.c_str());
    return b;
}

inline Restored restore(const Bytes &stream, unsigned threads) {
    Restored r;
    r.out = through_files(stream, 1, 0, &r.log, [&](zubfcb *in, zubfcb *out) {
        Decoder st;
        r.status = zulzpd(in, out, &st, threads, nullptr, nullptr);
        r.serial_at = in->count;
        std::uint32_t lim = ZULZ_NOLIMIT;
        if (!r.status && !(r.status = zulzdc(in, out, &st, &lim))) r.status = zulzdcck(&st);
    });
    return r;
}

/* Restores `s` serially and on `threads` threads: the same bytes, status
 * and log, or a failure. */
inline Restored as_serial(const Bytes &s, unsigned threads) {
    const Restored serial = restore(s, 1), par = restore(s, threads);
    if (par.status != serial.status || par.log != serial.log || par.out != serial.out)
        fail("the parallel decoder differs from the serial one");
    return par;
}

/* The stream of the parallel encoder on `threads` threads (one: zulzec alone). */
inline Bytes compress(const Bytes &input, unsigned threads) {
    std::string log;
    return through_files(input, 0, 1, &log, [&](zubfcb *in, zubfcb *out) {
        Encoder st;
        std::uint32_t lim = ZULZ_NOLIMIT;
        if (zulzpe(in, out, &st, threads, nullptr, nullptr) || zulzec(in, out, &st, 14, &lim) ||
            !zulzecdn(&st))
            fail("parallel encoder");
    });
}

}  // namespace zufuzz

#endif /* ZU_FUZZ_STREAMS_H */
