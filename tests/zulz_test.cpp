/* Tests of the resumable encoder and decoder: the known bytes of small
 * streams, byte-exact agreement with a plain reference coder, round trips,
 * volumes cut at every boundary, output limits, corrupt streams, counts past
 * 4 GiB and allocation failures. */
#include "zulz.h"

#include "szusd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

Bytes read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

Bytes corpus(const char *name) {
    return read_file(std::string(ZU_CORPUS_DIR) + "/" + name);
}

Bytes random_bytes(std::size_t n, unsigned seed, unsigned alphabet = 256) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &c : b) c = static_cast<unsigned char>(rng() % alphabet);
    return b;
}

/* A write stream over memory; its bytes are taken when it is closed. */
struct MemOut {
    char *data = nullptr;
    std::size_t size = 0;
    zubfcb *s = nullptr;
    explicit MemOut(int coded) { s = zubfcr(open_memstream(&data, &size), 0, coded); }
    Bytes close(int flags, int *ok = nullptr) {
        const int r = zubfcl(s, flags);
        if (ok) *ok = r;
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

/* A read stream over a copy of `b` (an empty one reads /dev/null). */
struct MemIn {
    Bytes copy;
    zubfcb *s = nullptr;
    MemIn(const Bytes &b, int coded) : copy(b) {
        std::FILE *fp =
            copy.empty() ? std::fopen("/dev/null", "r") : fmemopen(copy.data(), copy.size(), "r");
        s = zubfcr(fp, 1, coded);
    }
    ~MemIn() { zubfcl(s, 0); }
};

/* ---- a plain reference coder, written straight from the format ---- */

struct BitSink {
    Bytes out;
    std::uint64_t acc = 0;
    int n = 0;
    void put(std::uint32_t v, int w) {
        acc = (acc << w) | v;
        n += w;
        while (n >= 8) {
            n -= 8;
            out.push_back(static_cast<unsigned char>(acc >> n));
        }
    }
    Bytes finish() {
        if (n) out.push_back(static_cast<unsigned char>(acc << (8 - n)));
        n = 0;
        return out;
    }
};

int width_of(std::uint32_t highest) {
    int w = 9;
    while (w < 16 && highest >= (1u << w)) ++w;
    return w;
}

Bytes ref_encode(const Bytes &in) {
    BitSink bs;
    bs.put(14, 8);
    std::unordered_map<std::uint32_t, std::uint32_t> dict;
    std::uint32_t next = 257;
    const std::uint32_t limit = 16382;
    auto add_or_clear = [&](std::uint32_t ent, std::uint32_t c) {
        if (next < limit) {
            ++next;
            dict.emplace((ent << 8) | c, next);
        } else {
            bs.put(1, width_of(next));
            dict.clear();
            next = 257;
        }
    };
    std::uint32_t ent = in[0] + 2u;
    for (std::size_t i = 1; i < in.size(); ++i) {
        const std::uint32_t c = in[i];
        const auto it = dict.find((ent << 8) | c);
        if (it != dict.end()) {
            ent = it->second;
            continue;
        }
        bs.put(ent, width_of(next));
        add_or_clear(ent, c);
        ent = c + 2;
    }
    bs.put(ent, width_of(next));
    add_or_clear(ent, in.back());
    return bs.finish();
}

/* The codes of a stream with header 14, read by the width schedule. */
std::vector<std::uint32_t> ref_codes(const Bytes &s) {
    std::vector<std::uint32_t> codes;
    std::uint64_t acc = 0;
    int n = 0;
    std::size_t i = 1;
    std::uint32_t next = 257;
    bool first = true;
    for (;;) {
        const int w = width_of(next + 1);
        while (n < w && i < s.size()) {
            acc = (acc << 8) | s[i++];
            n += 8;
        }
        if (n < w) break;
        n -= w;
        const auto code = static_cast<std::uint32_t>((acc >> n) & ((1u << w) - 1));
        codes.push_back(code);
        if (code == 1) {
            next = 257;
            first = true;
        } else if (first) {
            first = false;
        } else if (next + 1 < 16383) {
            ++next;
        }
    }
    return codes;
}

/* ---- drivers over the codec ---- */

/* Encode in pieces: piece i may hold limit_of(i) bytes. */
struct Encoded {
    std::vector<Bytes> pieces;
    unsigned status = 0;
    bool saw_state2 = false;
    bool saw_held_after_end = false;
    Bytes joined() const {
        Bytes all;
        for (const auto &p : pieces) all.insert(all.end(), p.begin(), p.end());
        return all;
    }
};

Encoded encode(const Bytes &input, const std::function<std::uint32_t(std::size_t)> &limit_of,
               unsigned maxbits = 14) {
    Encoded e;
    zulzecst st{};
    st.table = zuetmk(maxbits, 18);
    MemIn in(input, 0);
    for (std::size_t i = 0; i < 10000000; ++i) {
        MemOut out(1);
        const std::uint32_t given = limit_of(i);
        std::uint32_t lim = given;
        e.status = zulzec(in.s, out.s, &st, static_cast<std::uint16_t>(maxbits), &lim);
        EXPECT_EQ(lim, std::min<std::uint64_t>(out.s->count, 0xFFFFFFFFu));
        if (given >= 2 && given != ZULZ_NOLIMIT) {
            EXPECT_LE(out.s->count, given - 1u) << "piece " << i;
        }
        if (st.state == 2) e.saw_state2 = true;
        if (st.state != 0 && st.eof) e.saw_held_after_end = true;
        const bool done = zulzecdn(&st) != 0;
        e.pieces.push_back(out.close(done || e.status ? ZUBF_FLUSH : 0));
        if (e.status || done) break;
    }
    zuetds(st.table);
    return e;
}

Bytes encode_once(const Bytes &input, unsigned *status = nullptr, unsigned maxbits = 14) {
    Encoded e = encode(
        input, [](std::size_t) { return ZULZ_NOLIMIT; }, maxbits);
    if (status) *status = e.status;
    return e.joined();
}

struct Decoded {
    Bytes out;
    unsigned status = 0;
    unsigned check = 0;
    std::uint32_t state = 0;
};

/* Decode the pieces in turn; `step` is how many bytes the output may grow
 * per call (ZULZ_NOLIMIT: no limit). */
Decoded decode(const std::vector<Bytes> &pieces, std::uint32_t step = ZULZ_NOLIMIT) {
    Decoded d;
    zulzdcst st{};
    MemOut out(0);
    for (const auto &piece : pieces) {
        MemIn in(piece, 1);
        for (int guard = 0; guard < 100000000; ++guard) {
            std::uint64_t want = step == ZULZ_NOLIMIT ? ZULZ_NOLIMIT : out.s->count + step;
            if (want >= ZULZ_NOLIMIT) want = ZULZ_NOLIMIT - 1;
            std::uint32_t lim =
                step == ZULZ_NOLIMIT ? ZULZ_NOLIMIT : static_cast<std::uint32_t>(want);
            d.status = zulzdc(in.s, out.s, &st, &lim);
            EXPECT_EQ(lim, std::min<std::uint64_t>(out.s->count, 0xFFFFFFFFu));
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

Decoded decode_one(const Bytes &stream, std::uint32_t step = ZULZ_NOLIMIT) {
    return decode(std::vector<Bytes>{stream}, step);
}

std::vector<Bytes> cut(const Bytes &s, const std::vector<std::size_t> &at) {
    std::vector<Bytes> pieces;
    std::size_t from = 0;
    for (std::size_t k : at) {
        pieces.emplace_back(s.begin() + static_cast<long>(from), s.begin() + static_cast<long>(k));
        from = k;
    }
    pieces.emplace_back(s.begin() + static_cast<long>(from), s.end());
    return pieces;
}

/* A table-filling input: random bytes over a small alphabet give many
 * codes, so the table fills and clear codes follow. */
const Bytes &filling_input() {
    static const Bytes b = random_bytes(120000, 7, 16);
    return b;
}

/* Error-log capture: records appended while it lives. */
struct LogCapture {
    std::string path;
    LogCapture() {
        char tmpl[] = "/tmp/zulz_log_XXXXXX";
        const int fd = mkstemp(tmpl);
        if (fd >= 0) close(fd);
        path = tmpl;
        zusdlg(path.c_str(), 7);
    }
    std::vector<std::string> lines() const {
        std::ifstream f(path);
        std::vector<std::string> v;
        for (std::string l; std::getline(f, l);) v.push_back(l);
        return v;
    }
    ~LogCapture() {
        zusdlg("/dev/null", 0);
        unlink(path.c_str());
    }
};

/* ---- worked examples ---- */

TEST(ZulzEncode, WorkedExamples) {
    EXPECT_EQ(encode_once(bytes_of("a")), (Bytes{0x0E, 0x31, 0x80}));
    EXPECT_EQ(encode_once(bytes_of("aa")), (Bytes{0x0E, 0x31, 0x98, 0xC0}));
    EXPECT_EQ(encode_once(bytes_of("aaa")), (Bytes{0x0E, 0x31, 0xC0, 0x80}));
}

TEST(ZulzDecode, WorkedExamples) {
    EXPECT_EQ(decode_one({0x0E, 0x31, 0x80}).out, bytes_of("a"));
    EXPECT_EQ(decode_one({0x0E, 0x31, 0x98, 0xC0}).out, bytes_of("aa"));
    const Decoded d = decode_one({0x0E, 0x31, 0xC0, 0x80});
    EXPECT_EQ(d.out, bytes_of("aaa"));
    EXPECT_EQ(d.status, 0u);
    EXPECT_EQ(d.check, 0u);
    EXPECT_EQ(d.state, 5u);
}

TEST(ZulzEncode, EmptyInputIsRefusedAndKeepsTheHeader) {
    unsigned status = 0;
    const Bytes out = encode_once(Bytes{}, &status);
    EXPECT_EQ(status, ZUSD_RDERR);
    EXPECT_EQ(out, Bytes{0x0E});
}

/* ---- byte-exact agreement and round trips ---- */

TEST(ZulzEncode, MatchesReferenceOnCorpusAndRandomData) {
    for (const char *name :
         {"alice29.txt", "fireworks.jpeg", "kppkn.gtb", "urls.10K", "html_x_4"}) {
        const Bytes in = corpus(name);
        ASSERT_FALSE(in.empty()) << name;
        EXPECT_EQ(encode_once(in), ref_encode(in)) << name;
    }
    for (unsigned seed = 1; seed <= 4; ++seed) {
        const Bytes in = random_bytes(50000 + seed * 997, seed, seed == 1 ? 2 : 256);
        EXPECT_EQ(encode_once(in), ref_encode(in)) << "seed " << seed;
    }
    EXPECT_EQ(encode_once(filling_input()), ref_encode(filling_input()));
}

TEST(ZulzRoundTrip, CorpusFilesAndRandomData) {
    for (const char *name :
         {"alice29.txt", "asyoulik.txt", "fireworks.jpeg", "geo.protodata", "html", "html_x_4",
          "kppkn.gtb", "lcet10.txt", "paper-100k.pdf", "plrabn12.txt", "urls.10K"}) {
        const Bytes in = corpus(name);
        const Decoded d = decode_one(encode_once(in));
        EXPECT_EQ(d.status, 0u) << name;
        EXPECT_EQ(d.check, 0u) << name;
        EXPECT_TRUE(d.out == in) << name;
    }
    for (unsigned seed = 10; seed < 20; ++seed) {
        const Bytes in = random_bytes(1 + seed * seed * 311, seed, seed % 3 == 0 ? 3 : 256);
        EXPECT_TRUE(decode_one(encode_once(in)).out == in) << "seed " << seed;
    }
    /* One byte repeated: codes grow one byte at a time, the longest strings. */
    const Bytes same(3000000, 'x');
    EXPECT_TRUE(decode_one(encode_once(same)).out == same);
}

/* ---- clear codes ---- */

TEST(ZulzEncode, ClearCodeWhenTheTableFills) {
    const Bytes s = encode_once(filling_input());
    const auto codes = ref_codes(s);
    /* The 16126th code after a reset fills the table: the clear code follows. */
    ASSERT_GT(codes.size(), 16127u);
    EXPECT_NE(codes[16125], 1u);
    EXPECT_EQ(codes[16126], 1u);
    for (std::size_t i = 0; i < 16126; ++i) ASSERT_NE(codes[i], 1u) << i;
    /* The code after it is a 9-bit literal. */
    EXPECT_GE(codes[16127], 2u);
    EXPECT_LE(codes[16127], 257u);
}

TEST(ZulzEncode, TrailingClearCodeWhenTheLastCodeFillsTheTable) {
    /* Find the input length whose 16126th code is its last one: encode
     * prefixes and keep the one whose code count is exactly 16126. */
    const Bytes &all = filling_input();
    std::size_t lo = 1, hi = all.size();
    while (lo < hi) { /* smallest prefix with at least 16126 codes */
        const std::size_t mid = (lo + hi) / 2;
        const Bytes pre(all.begin(), all.begin() + static_cast<long>(mid));
        if (ref_codes(ref_encode(pre)).size() >= 16126)
            hi = mid;
        else
            lo = mid + 1;
    }
    const Bytes pre(all.begin(), all.begin() + static_cast<long>(lo));
    const Bytes s = encode_once(pre);
    EXPECT_EQ(s, ref_encode(pre));
    const auto codes = ref_codes(s);
    ASSERT_EQ(codes.size(), 16127u);
    EXPECT_EQ(codes.back(), 1u);
    /* The 14-bit clear code is the stream's last code, then zero padding. */
    const Decoded d = decode_one(s);
    EXPECT_EQ(d.check, 0u);
    EXPECT_TRUE(d.out == pre);
}

/* ---- encoder volumes ---- */

TEST(ZulzEncode, EverySmallVolumeLimitGivesTheSameStream) {
    const Bytes alice = corpus("alice29.txt");
    const Bytes text(alice.begin(), alice.begin() + 6000);
    const Bytes small = bytes_of("abracadabra abracadabra");
    const Bytes fill(filling_input().begin(), filling_input().begin() + 60000);
    bool state2 = false, held = false;
    /* A limit of 2 leaves room for no code at all (a code may need two
     * bytes, a volume may take one): every volume would stay empty. */
    for (const Bytes *in : {&small, &text, &fill}) {
        const Bytes whole = encode_once(*in);
        const std::uint32_t top = in == &fill ? 6 : 40;
        for (std::uint32_t limit = 3; limit <= top; ++limit) {
            const Encoded e = encode(*in, [&](std::size_t) { return limit; });
            ASSERT_EQ(e.status, 0u);
            ASSERT_EQ(e.joined(), whole) << "limit " << limit;
            ASSERT_TRUE(decode(e.pieces).out == *in) << "limit " << limit;
            state2 |= e.saw_state2;
            held |= e.saw_held_after_end;
        }
    }
    /* Varying limits, some of them sizeable. */
    std::mt19937 rng(99);
    for (int round = 0; round < 30; ++round) {
        const Bytes &in = filling_input();
        const Encoded e = encode(in, [&](std::size_t) { return 3 + rng() % 5000; });
        ASSERT_EQ(e.joined(), encode_once(in)) << "round " << round;
        state2 |= e.saw_state2;
        held |= e.saw_held_after_end;
    }
    EXPECT_TRUE(state2) << "no volume ended before a clear code";
    EXPECT_TRUE(held) << "no volume ended with the input ended and a code held";
}

TEST(ZulzEncode, SuspensionBeforeTheClearCodeWritesItFirstOnTheNextVolume) {
    const Bytes &in = filling_input();
    const Bytes whole = encode_once(in);
    /* Find where the first clear code's bits begin: just after the 16126th
     * code. A volume limit that stops right there suspends in state 2. */
    std::uint64_t bits = 8;
    std::uint32_t next = 257;
    for (std::size_t i = 0; i < 16126; ++i) {
        bits += static_cast<std::uint64_t>(width_of(next));
        ++next;
    }
    const auto clear_byte =
        static_cast<std::uint32_t>(bits / 8); /* complete bytes before the clear */
    zulzecst st{};
    st.table = zuetmk(14, 18);
    MemIn src(in, 0);
    MemOut first(1);
    std::uint32_t lim = clear_byte + 2;
    ASSERT_EQ(zulzec(src.s, first.s, &st, 14, &lim), 0u);
    EXPECT_EQ(st.state, 2u);
    EXPECT_EQ(lim, clear_byte);
    const int pending = 31 - st.wpos;
    EXPECT_EQ(pending, static_cast<int>(bits % 8));
    const Bytes a = first.close(0);
    MemOut second(1);
    lim = ZULZ_NOLIMIT;
    ASSERT_EQ(zulzec(src.s, second.s, &st, 14, &lim), 0u);
    EXPECT_TRUE(zulzecdn(&st));
    Bytes b = second.close(ZUBF_FLUSH);
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    EXPECT_EQ(all, whole);
    /* The second volume begins with the left-over bits, then 14 bits of 1. */
    std::uint32_t head = (std::uint32_t(b[0]) << 16) | (std::uint32_t(b[1]) << 8) | b[2];
    EXPECT_EQ((head >> (24 - pending - 14)) & 0x3FFFu, 1u);
    zuetds(st.table);
}

TEST(ZulzEncode, CallsAfterTheEndReadAndWriteNothing) {
    const Bytes in = bytes_of("tobeornottobeortobeornot");
    zulzecst st{};
    st.table = zuetmk(14, 18);
    MemIn src(in, 0);
    MemOut a(1);
    std::uint32_t lim = ZULZ_NOLIMIT;
    ASSERT_EQ(zulzec(src.s, a.s, &st, 14, &lim), 0u);
    ASSERT_TRUE(zulzecdn(&st));
    const std::uint64_t taken = src.s->count;
    const Bytes first = a.close(0); /* closed as if more pieces were to come */
    MemOut b(1);
    lim = 100;
    ASSERT_EQ(zulzec(src.s, b.s, &st, 14, &lim), 0u);
    EXPECT_EQ(lim, 0u);
    EXPECT_EQ(src.s->count, taken);
    const Bytes last = b.close(ZUBF_FLUSH);
    Bytes all = first;
    all.insert(all.end(), last.begin(), last.end());
    EXPECT_EQ(all, encode_once(in)); /* the left-over bits travelled to the last piece */
    zuetds(st.table);
}

TEST(ZulzEncode, CountPastFourGiBDoesNotStopAnUnlimitedRun) {
    const Bytes in = corpus("lcet10.txt");
    zulzecst st{};
    st.table = zuetmk(14, 18);
    MemIn src(in, 0);
    MemOut out(1);
    out.s->count = 0xFFFFFFFFull - 1000; /* as if 4 GiB had been written */
    std::uint32_t lim = ZULZ_NOLIMIT;
    ASSERT_EQ(zulzec(src.s, out.s, &st, 14, &lim), 0u);
    EXPECT_TRUE(zulzecdn(&st));
    EXPECT_GT(out.s->count, 0x100000000ull);
    EXPECT_EQ(lim, 0xFFFFFFFFu);
    EXPECT_EQ(out.close(ZUBF_FLUSH), encode_once(in));
    zuetds(st.table);
}

/* ---- decoder resumption ---- */

TEST(ZulzDecode, CutAtEveryByteBoundary) {
    /* Streams with many clear codes (a 9-bit table fills after 254 codes),
     * so that cuts fall inside the first code, the code after it, the first
     * code after a clear code and the one after that, and inside the code
     * read right after a resumption. */
    Bytes in = bytes_of("abababababab");
    const Bytes &fill = filling_input();
    in.insert(in.end(), fill.begin(), fill.begin() + 6000);
    const Bytes s = encode_once(in, nullptr, 9);
    ASSERT_GT(std::count(s.begin(), s.end(), 0), 0); /* sanity: a real stream */
    for (std::size_t k = 0; k <= s.size(); ++k) {
        const Decoded d = decode(cut(s, {k}));
        ASSERT_EQ(d.status, 0u) << "cut at " << k;
        ASSERT_EQ(d.check, 0u) << "cut at " << k;
        ASSERT_TRUE(d.out == in) << "cut at " << k;
    }
    /* Every byte its own volume, also with output limits. */
    std::vector<std::size_t> each;
    for (std::size_t k = 1; k < s.size(); ++k) each.push_back(k);
    for (std::uint32_t step : {ZULZ_NOLIMIT, 1u, 2u, 3u, 100u}) {
        const Decoded d = decode(cut(s, each), step);
        ASSERT_EQ(d.check, 0u) << "step " << step;
        ASSERT_TRUE(d.out == in) << "step " << step;
    }
    /* The 14-bit stream: every byte its own volume, and two-piece cuts at
     * every boundary around its first clear code. */
    const Bytes big(fill.begin(), fill.begin() + 70000);
    const Bytes s14 = encode_once(big);
    const auto codes = ref_codes(s14);
    ASSERT_GT(codes.size(), 16127u);
    ASSERT_EQ(codes[16126], 1u);
    std::vector<std::size_t> all;
    for (std::size_t k = 1; k < s14.size(); ++k) all.push_back(k);
    EXPECT_TRUE(decode(cut(s14, all)).out == big);
    std::uint64_t bits = 8;
    for (std::uint32_t i = 0, next = 257; i < 16126; ++i, ++next)
        bits += static_cast<std::uint64_t>(width_of(next));
    for (std::size_t k = bits / 8 - 4; k <= bits / 8 + 8; ++k) {
        const Decoded d = decode(cut(s14, {k}));
        ASSERT_EQ(d.check, 0u) << "cut at " << k;
        ASSERT_TRUE(d.out == big) << "cut at " << k;
    }
}

TEST(ZulzDecode, RandomCutsOfLargeStreams) {
    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    std::mt19937 rng(seed);
    for (const char *name : {"plrabn12.txt", "fireworks.jpeg", "urls.10K"}) {
        const Bytes in = corpus(name);
        const Bytes s = encode_once(in);
        for (int round = 0; round < 4; ++round) {
            std::vector<std::size_t> at;
            for (std::size_t k = rng() % 4000; k < s.size(); k += 1 + rng() % (round ? 70000 : 300))
                at.push_back(k);
            const std::uint32_t step = round == 3 ? 1 + rng() % 5000 : ZULZ_NOLIMIT;
            const Decoded d = decode(cut(s, at), step);
            ASSERT_EQ(d.check, 0u) << name << " seed " << seed << " round " << round;
            ASSERT_TRUE(d.out == in) << name << " seed " << seed << " round " << round;
        }
    }
}

TEST(ZulzDecode, OutputLimits) {
    /* "aaa" with a limit of 2: two bytes, suspended before the repeated
     * first character; a limit of 3 finishes it and ends at the input's end. */
    zulzdcst st{};
    MemIn in(Bytes{0x0E, 0x31, 0xC0, 0x80}, 1);
    MemOut out(0);
    std::uint32_t lim = 2;
    ASSERT_EQ(zulzdc(in.s, out.s, &st, &lim), 0u);
    EXPECT_EQ(lim, 2u);
    EXPECT_EQ(st.state, 4u);
    lim = 3;
    ASSERT_EQ(zulzdc(in.s, out.s, &st, &lim), 0u);
    EXPECT_EQ(lim, 3u);
    EXPECT_EQ(st.state, 5u);
    EXPECT_EQ(zulzdcck(&st), 0u);
    zudtds(st.table);
    EXPECT_EQ(out.close(0), bytes_of("aaa"));

    /* The first byte of a stream is written even with a limit of 0. */
    zulzdcst st0{};
    MemIn in0(Bytes{0x0E, 0x31, 0x80}, 1);
    MemOut out0(0);
    lim = 0;
    ASSERT_EQ(zulzdc(in0.s, out0.s, &st0, &lim), 0u);
    EXPECT_EQ(lim, 1u);
    zudtds(st0.table);

    const Bytes text = corpus("asyoulik.txt");
    const Bytes s = encode_once(text);
    for (std::uint32_t step : {1u, 2u, 7u, 4096u, 65536u, 300000u}) {
        const Decoded d = decode_one(s, step);
        ASSERT_TRUE(d.out == text) << "step " << step;
    }
}

TEST(ZulzDecode, EveryLimitStateIsReachedAndResumed) {
    const Bytes in = bytes_of("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaabcbcbcbcbcbcbcbcbcbcbc");
    Bytes big = in;
    const Bytes &fill = filling_input();
    big.insert(big.end(), fill.begin(), fill.begin() + 4000);
    const Bytes s = encode_once(big, nullptr, 9); /* clear codes every 254 codes */
    bool seen[5] = {};
    zulzdcst st{};
    MemIn src(s, 1);
    MemOut out(0);
    for (int guard = 0; guard < 10000000; ++guard) {
        std::uint32_t lim = static_cast<std::uint32_t>(out.s->count + 1);
        ASSERT_EQ(zulzdc(src.s, out.s, &st, &lim), 0u);
        if (st.state >= 1 && st.state <= 4)
            seen[st.state] = true;
        else
            break;
    }
    EXPECT_TRUE(seen[1] && seen[2] && seen[3] && seen[4]);
    EXPECT_EQ(zulzdcck(&st), 0u);
    zudtds(st.table);
    EXPECT_TRUE(out.close(0) == big);
}

TEST(ZulzDecode, CountPastFourGiBDoesNotStopAnUnlimitedRun) {
    const Bytes in = corpus("lcet10.txt");
    const Bytes s = encode_once(in);
    zulzdcst st{};
    st.produced = st.delivered = 0xFFFFFFFFull - 5000; /* the window's own count, too */
    MemIn src(s, 1);
    MemOut out(0);
    out.s->count = 0xFFFFFFFFull - 3000;
    std::uint32_t lim = ZULZ_NOLIMIT;
    ASSERT_EQ(zulzdc(src.s, out.s, &st, &lim), 0u);
    EXPECT_EQ(st.state, 5u);
    EXPECT_EQ(lim, 0xFFFFFFFFu);
    EXPECT_EQ(out.s->count, 0xFFFFFFFFull - 3000 + in.size());
    zudtds(st.table);
    EXPECT_TRUE(out.close(0) == in);
}

/* ---- streams cut short and corrupt streams ---- */

TEST(ZulzDecode, StreamsCutShortAreRefusedAtTheEnd) {
    EXPECT_EQ(decode_one(Bytes{}).check, ZUSD_RDERR);           /* no header */
    EXPECT_EQ(decode_one(Bytes{0x0E}).check, ZUSD_RDERR);       /* no first code */
    EXPECT_EQ(decode_one(Bytes{0x0E, 0x31}).check, ZUSD_RDERR); /* 8 bits of it */
    const Bytes s = encode_once(corpus("alice29.txt"));
    /* Cut inside a code: 8 or more bits left over. */
    int refused = 0;
    for (std::size_t k = s.size() - 40; k < s.size(); ++k) {
        const Decoded d = decode_one(Bytes(s.begin(), s.begin() + static_cast<long>(k)));
        EXPECT_EQ(d.status, 0u);
        if (d.check) ++refused;
    }
    EXPECT_GT(refused, 10);
}

/* Bits of codes, MSB first, after a header. */
Bytes stream_of(unsigned header, const std::vector<std::pair<std::uint32_t, int>> &codes) {
    BitSink bs;
    bs.put(header, 8);
    for (auto [v, w] : codes) bs.put(v, w);
    return bs.finish();
}

void expect_refused(const Bytes &s, const char *what) {
    LogCapture log;
    const Decoded d = decode_one(s);
    EXPECT_EQ(d.status, ZUSD_RDERR) << what;
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << what;
    EXPECT_NE(lines[0].find("zulzdc:"), std::string::npos) << lines[0];
    /* Byte by byte, under output limits: the same refusal. */
    std::vector<std::size_t> each;
    for (std::size_t k = 1; k < s.size(); ++k) each.push_back(k);
    EXPECT_EQ(decode(cut(s, each), 1).status, ZUSD_RDERR) << what;
}

TEST(ZulzDecode, CorruptStreamsAreRefusedOnce) {
    expect_refused({0x13, 0x31, 0x80}, "header 19");
    expect_refused({0xFF, 0x31, 0x80}, "header 255");
    expect_refused(stream_of(14, {{99, 9}, {0, 9}, {99, 9}}), "code 0");
    expect_refused(stream_of(14, {{0, 9}, {99, 9}}), "code 0 first");
    expect_refused(stream_of(14, {{99, 9}, {260, 9}, {99, 9}}), "code above the next one");
    expect_refused(stream_of(14, {{99, 9}, {100, 9}, {511, 9}, {99, 9}}), "code far above");
    expect_refused(stream_of(14, {{258, 9}, {99, 9}}), "first code not a literal");
    expect_refused(stream_of(14, {{1, 9}, {99, 9}}), "clear code first");
    expect_refused(stream_of(14, {{99, 9}, {1, 9}, {258, 9}, {99, 9}}),
                   "code after a clear code not a literal");
    expect_refused(stream_of(14, {{99, 9}, {1, 9}, {1, 9}, {99, 9}}), "two clear codes");
    /* Header 9: 511 entries, the highest assigned code is 510; once full,
     * the code the next addition would make does not exist. */
    std::vector<std::pair<std::uint32_t, int>> codes(254, {99, 9});
    codes.push_back({510, 9});
    const Decoded ok = decode_one(stream_of(9, codes));
    EXPECT_EQ(ok.status, 0u);
    codes.push_back({511, 9});
    codes.push_back({99, 9});
    expect_refused(stream_of(9, codes), "code past a full table");
}

TEST(ZulzDecode, HeaderValuesUpTo18AreRead) {
    for (unsigned h : {0u, 9u, 12u, 16u, 17u, 18u}) {
        const Decoded d = decode_one(stream_of(h, {{99, 9}, {258, 9}, {100, 9}}));
        EXPECT_EQ(d.status, 0u) << h;
        EXPECT_EQ(d.out, bytes_of("aaab")) << h;
    }
}

TEST(ZulzDecode, RandomGarbageNeverCrashes) {
    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    std::mt19937 rng(seed);
    for (int round = 0; round < 300; ++round) {
        Bytes s = random_bytes(1 + rng() % 3000, rng());
        s[0] = static_cast<unsigned char>(rng() % 19);
        const Decoded d = decode_one(s, round % 2 ? 1 + rng() % 64 : ZULZ_NOLIMIT);
        EXPECT_TRUE(d.status == 0 || d.status == ZUSD_RDERR) << "seed " << seed;
    }
}

/* ---- allocation failures ---- */

void *no_memory(std::size_t) {
    return nullptr;
}

TEST(ZulzDecode, NoMemoryForTheTableGivesStatus5) {
    zulzdcst st{};
    MemIn in(Bytes{0x0E, 0x31, 0x80}, 1);
    MemOut out(0);
    std::uint32_t lim = ZULZ_NOLIMIT;
    zubfma = no_memory;
    const unsigned status = zulzdc(in.s, out.s, &st, &lim);
    zubfma = std::malloc;
    EXPECT_EQ(status, ZUSD_NOMEM);
    EXPECT_EQ(st.table, nullptr);
    lim = ZULZ_NOLIMIT;
    EXPECT_EQ(zulzdc(in.s, out.s, &st, &lim), ZUSD_NOMEM); /* stays failed */
}

TEST(ZulzEncode, NoMemoryForTheTableIsNull) {
    zubfma = no_memory;
    zuetcb *t = zuetmk(14, 18);
    zubfma = std::malloc;
    EXPECT_EQ(t, nullptr);
}

/* ---- writes that fail ---- */

TEST(ZulzDecode, WriteFailureGives21) {
    const Bytes in = corpus("plrabn12.txt");
    const Bytes s = encode_once(in);
    zulzdcst st{};
    MemIn src(s, 1);
    zubfcb *out = zubfcr(std::fopen("/dev/full", "w"), 0, 0);
    ASSERT_NE(out, nullptr);
    std::uint32_t lim = ZULZ_NOLIMIT;
    EXPECT_EQ(zulzdc(src.s, out, &st, &lim), ZUSD_WRERR);
    EXPECT_EQ(zubfcl(out, 0), 0);
    zudtds(st.table);
}

TEST(ZulzEncode, WriteFailureGives21) {
    const Bytes in = random_bytes(400000, 3);
    zulzecst st{};
    st.table = zuetmk(14, 18);
    MemIn src(in, 0);
    zubfcb *out = zubfcr(std::fopen("/dev/full", "w"), 0, 1);
    ASSERT_NE(out, nullptr);
    std::uint32_t lim = ZULZ_NOLIMIT;
    EXPECT_EQ(zulzec(src.s, out, &st, 14, &lim), ZUSD_WRERR);
    EXPECT_EQ(zubfcl(out, ZUBF_FLUSH), 0);
    zuetds(st.table);
}

/* ---- a whole stream past 4 GiB (opt-in: ZU_BIG_TESTS=1) ---- */

/* Generated text-like data: the same bytes however it is read in pieces. */
struct Gen {
    std::uint64_t at = 0;
    std::uint64_t total;
    std::uint32_t rng = 12345;
    const char *word = "";
    explicit Gen(std::uint64_t n) : total(n) {}
    std::size_t fill(char *buf, std::size_t size) {
        static const char *const words[] = {"alpha ", "beta ", "gamma ", "delta\n", "eps ",
                                            "zeta ",  "eta ",  "theta ", "iota, ",  "kappa "};
        std::size_t n = 0;
        while (n < size && at < total) {
            if (*word == 0) {
                rng = rng * 1103515245u + 12345u;
                word = words[(rng >> 16) % 10];
            }
            buf[n++] = *word++;
            ++at;
        }
        return n;
    }
};

ssize_t gen_read(void *cookie, char *buf, size_t size) {
    return static_cast<ssize_t>(static_cast<Gen *>(cookie)->fill(buf, size));
}

struct Check {
    Gen gen;
    std::uint64_t seen = 0;
    bool same = true;
    explicit Check(std::uint64_t n) : gen(n) {}
};

ssize_t check_write(void *cookie, const char *buf, size_t size) {
    auto *c = static_cast<Check *>(cookie);
    std::vector<char> want(size);
    const std::size_t n = c->gen.fill(want.data(), size);
    if (n != size || std::memcmp(want.data(), buf, size) != 0) c->same = false;
    c->seen += size;
    return static_cast<ssize_t>(size);
}

/* Encode `total` generated bytes into a temporary file and decode them
 * into a sink that compares them with the generator, without holding them. */
void whole_stream(std::uint64_t total) {
    char tmpl[] = "/tmp/zulz_big_XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        Gen gen(total);
        cookie_io_functions_t io{gen_read, nullptr, nullptr, nullptr};
        zubfcb *in = zubfcr(fopencookie(&gen, "r", io), 1, 0);
        zubfcb *out = zubfcr(std::fopen(tmpl, "w"), 0, 1);
        ASSERT_TRUE(in && out);
        zulzecst st{};
        st.table = zuetmk(14, 18);
        std::uint32_t lim = ZULZ_NOLIMIT;
        ASSERT_EQ(zulzec(in, out, &st, 14, &lim), 0u);
        EXPECT_TRUE(zulzecdn(&st));
        EXPECT_EQ(in->count, total);
        EXPECT_EQ(zubfcl(out, ZUBF_FLUSH), 1);
        zubfcl(in, 0);
        zuetds(st.table);
    }
    {
        Check check(total);
        cookie_io_functions_t io{nullptr, check_write, nullptr, nullptr};
        zubfcb *in = zubfcr(std::fopen(tmpl, "r"), 1, 1);
        zubfcb *out = zubfcr(fopencookie(&check, "w", io), 0, 0);
        ASSERT_TRUE(in && out);
        zulzdcst st{};
        std::uint32_t lim = ZULZ_NOLIMIT;
        ASSERT_EQ(zulzdc(in, out, &st, &lim), 0u);
        EXPECT_EQ(zulzdcck(&st), 0u);
        EXPECT_EQ(out->count, total);
        EXPECT_EQ(zubfcl(out, 0), 1);
        zubfcl(in, 0);
        zudtds(st.table);
        EXPECT_EQ(check.seen, total);
        EXPECT_TRUE(check.same);
    }
    unlink(tmpl);
}

TEST(ZulzRoundTrip, GeneratedStreamThroughFiles) {
    whole_stream((std::uint64_t(3) << 20) + 777);
}

TEST(ZulzBig, WholeStreamPastFourGiB) {
    const char *big = std::getenv("ZU_BIG_TESTS");
    if (!big || std::string(big) != "1") GTEST_SKIP() << "set ZU_BIG_TESTS=1 to run";
    whole_stream((std::uint64_t(9) << 29) + 12345); /* 4.5 GiB and some */
}

}  // namespace
