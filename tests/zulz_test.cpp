/* Tests of the resumable encoder and decoder: the known bytes of small
 * streams, byte-exact agreement with a plain reference coder, round trips,
 * volumes cut at every boundary, output limits, corrupt streams, counts past
 * 4 GiB and allocation failures. */
#include "zulz.h"

#include "../fuzz/fuzz_streams.h"
#include "szusd.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using namespace zufuzz;

Bytes bytes_of(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

Bytes corpus(const char *name) {
    return bytes_of(zutest::data(name));
}

Bytes random_bytes(std::size_t n, unsigned seed, unsigned alphabet = 256) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &c : b) c = static_cast<unsigned char>(rng() % alphabet);
    return b;
}

Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

/* An encoder state with its table, and a decoder state, freed at the end. */
struct Enc {
    zulzecst st{};
    Enc() { st.table = zuetmk(14, 18); }
    ~Enc() { zuetds(st.table); }
};
struct Dec {
    zulzdcst st{};
    ~Dec() { zudtds(st.table); }
};

/* ---- a plain reference coder, written straight from the format ---- */

struct BitSink {
    Bytes out;
    std::uint64_t acc = 0;
    int n = 0;
    void put(std::uint32_t v, int w) {
        acc = (acc << w) | v;
        for (n += w; n >= 8;) out.push_back(static_cast<unsigned char>(acc >> (n -= 8)));
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
    std::uint32_t ent = in[0] + 2u;
    for (std::size_t i = 1; i <= in.size(); ++i) {
        const std::uint32_t c = i < in.size() ? in[i] : in.back();
        const auto it = dict.find((ent << 8) | c);
        if (i < in.size() && it != dict.end()) {
            ent = it->second;
            continue;
        }
        bs.put(ent, width_of(next));
        if (next < 16382) {
            dict.emplace((ent << 8) | c, ++next);
        } else {
            bs.put(1, width_of(next));
            dict.clear();
            next = 257;
        }
        ent = c + 2;
    }
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
        for (; n < w && i < s.size(); n += 8) acc = (acc << 8) | s[i++];
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

/* Bits before the first clear code of a 14-bit stream: the header and the
 * 16126 codes that fill the table. */
std::uint64_t bits_before_clear() {
    std::uint64_t bits = 8;
    for (std::uint32_t next = 257; next < 257 + 16126; ++next) bits += width_of(next);
    return bits;
}

/* ---- drivers over the codec ---- */

/* Encode in pieces: piece i may hold limit_of(i) bytes. */
struct Encoded {
    std::vector<Bytes> pieces;
    unsigned status = 0;
    bool saw_state2 = false;
    bool saw_held_after_end = false;
    Bytes joined;
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
            EXPECT_LE(out.s->count, given - 1u) << i;
        }
        e.saw_state2 |= st.state == 2;
        e.saw_held_after_end |= st.state != 0 && st.eof;
        const bool done = zulzecdn(&st) != 0;
        e.pieces.push_back(out.close(done || e.status ? ZUBF_FLUSH : 0));
        e.joined.insert(e.joined.end(), e.pieces.back().begin(), e.pieces.back().end());
        if (e.status || done) break;
    }
    zuetds(st.table);
    return e;
}

Bytes encode_once(const Bytes &input, unsigned maxbits = 14) {
    return encode(
               input, [](std::size_t) { return ZULZ_NOLIMIT; }, maxbits)
        .joined;
}

Decoded decode_one(const Bytes &stream, std::uint32_t step = 0) {
    return decode(std::vector<Bytes>{stream}, step);
}

/* The decoder ended well and gave back `in`. */
::testing::AssertionResult restored(const Decoded &d, const Bytes &in) {
    if (d.status || d.check)
        return ::testing::AssertionFailure() << "status " << d.status << ", check " << d.check;
    if (d.out != in) return ::testing::AssertionFailure() << "output differs";
    return ::testing::AssertionSuccess();
}

/* `s` cut before each offset in `at`; with no offsets, before every byte. */
std::vector<Bytes> cut(const Bytes &s, std::vector<std::size_t> at = {}) {
    if (at.empty())
        for (std::size_t k = 1; k < s.size(); ++k) at.push_back(k);
    std::vector<Bytes> pieces;
    std::size_t from = 0;
    at.push_back(s.size());
    for (std::size_t k : at) {
        pieces.emplace_back(s.begin() + static_cast<long>(from), s.begin() + static_cast<long>(k));
        from = k;
    }
    return pieces;
}

/* A table-filling input: random bytes over a small alphabet give many
 * codes, so the table fills and clear codes follow. */
const Bytes &filling_input() {
    static const Bytes b = random_bytes(120000, 7, 16);
    return b;
}

Bytes filling(std::size_t n) {
    return Bytes(filling_input().begin(), filling_input().begin() + static_cast<long>(n));
}

/* ---- worked examples ---- */

TEST(Zulz, WorkedExamplesBothWays) {
    const struct {
        const char *text;
        Bytes stream;
    } rows[] = {{"a", {0x0E, 0x31, 0x80}},
                {"aa", {0x0E, 0x31, 0x98, 0xC0}},
                {"aaa", {0x0E, 0x31, 0xC0, 0x80}}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(encode_once(bytes_of(r.text)), r.stream);
        const Decoded d = decode_one(r.stream);
        EXPECT_EQ(d.out, bytes_of(r.text));
        EXPECT_EQ(d.status, 0u);
        EXPECT_EQ(d.check, 0u);
        EXPECT_EQ(d.state, 5u);
    }
}

TEST(ZulzEncode, EmptyInputIsRefusedAndKeepsTheHeader) {
    const Encoded e = encode(Bytes{}, [](std::size_t) { return ZULZ_NOLIMIT; });
    EXPECT_EQ(e.joined, Bytes{0x0E});
    EXPECT_EQ(e.status, ZUSD_RDERR);
}

/* ---- byte-exact agreement and round trips ---- */

TEST(ZulzRoundTrip, MatchesReferenceAndRestoresCorpusAndRandomData) {
    std::vector<std::pair<std::string, Bytes>> inputs;
    for (const char *name :
         {"alice29.txt", "asyoulik.txt", "plrabn12.txt.gz"})
        inputs.emplace_back(name, corpus(name));
    for (unsigned seed = 1; seed < 20; seed += seed == 4 ? 6 : 1)
        inputs.emplace_back("seed " + std::to_string(seed),
                            seed <= 4
                                ? random_bytes(50000 + seed * 997, seed, seed == 1 ? 2 : 256)
                                : random_bytes(1 + seed * seed * 311, seed, seed % 3 ? 256 : 3));
    inputs.emplace_back("filling", filling_input());
    /* One byte repeated: codes grow one byte at a time, the longest strings. */
    inputs.emplace_back("same", Bytes(3000000, 'x'));
    for (const auto &[name, in] : inputs) {
        SCOPED_TRACE(name);
        ASSERT_FALSE(in.empty());
        const Bytes s = encode_once(in);
        EXPECT_TRUE(s == ref_encode(in));
        EXPECT_TRUE(restored(decode_one(s), in));
    }
}

/* ---- clear codes ---- */

TEST(ZulzEncode, ClearCodeWhenTheTableFills) {
    const auto codes = ref_codes(encode_once(filling_input()));
    /* The 16126th code after a reset fills the table: the clear code follows. */
    ASSERT_GT(codes.size(), 16127u);
    EXPECT_EQ(std::find(codes.begin(), codes.end(), 1u) - codes.begin(), 16126);
    /* The code after it is a 9-bit literal. */
    EXPECT_GE(codes[16127], 2u);
    EXPECT_LE(codes[16127], 257u);
}

TEST(ZulzEncode, TrailingClearCodeWhenTheLastCodeFillsTheTable) {
    /* The shortest prefix of the filling input with 16126 codes: its last
     * code fills the table. */
    std::size_t lo = 1, hi = filling_input().size();
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (ref_codes(ref_encode(filling(mid))).size() >= 16126)
            hi = mid;
        else
            lo = mid + 1;
    }
    const Bytes pre = filling(lo);
    const Bytes s = encode_once(pre);
    EXPECT_EQ(s, ref_encode(pre));
    const auto codes = ref_codes(s);
    ASSERT_EQ(codes.size(), 16127u);
    EXPECT_EQ(codes.back(), 1u); /* the 14-bit clear code, then zero padding */
    EXPECT_TRUE(restored(decode_one(s), pre));
}

/* ---- encoder volumes ---- */

TEST(ZulzEncode, EverySmallVolumeLimitGivesTheSameStream) {
    const Bytes text =
        bytes_of(zutest::data("alice29.txt").substr(0, 6000));
    const Bytes small = bytes_of("abracadabra abracadabra");
    const Bytes fill = filling(60000);
    bool state2 = false, held = false;
    /* A limit of 2 leaves room for no code at all (a code may need two
     * bytes, a volume may take one): every volume would stay empty. */
    for (const Bytes *in : {&small, &text, &fill}) {
        const Bytes whole = encode_once(*in);
        for (std::uint32_t limit = 3; limit <= (in == &fill ? 6u : 40u); ++limit) {
            SCOPED_TRACE(limit);
            const Encoded e = encode(*in, [&](std::size_t) { return limit; });
            ASSERT_EQ(e.status, 0u);
            ASSERT_EQ(e.joined, whole);
            ASSERT_TRUE(restored(decode(e.pieces), *in));
            state2 |= e.saw_state2;
            held |= e.saw_held_after_end;
        }
    }
    /* Varying limits, some of them sizeable. */
    std::mt19937 rng(99);
    const Bytes whole = encode_once(filling_input());
    for (int round = 0; round < 30; ++round) {
        const Encoded e = encode(filling_input(), [&](std::size_t) { return 3 + rng() % 5000; });
        ASSERT_EQ(e.joined, whole) << "round " << round;
        state2 |= e.saw_state2;
        held |= e.saw_held_after_end;
    }
    EXPECT_TRUE(state2) << "no volume ended before a clear code";
    EXPECT_TRUE(held) << "no volume ended with the input ended and a code held";
}

TEST(ZulzEncode, SuspensionBeforeTheClearCodeWritesItFirstOnTheNextVolume) {
    /* A volume limit that stops right where the first clear code's bits
     * begin suspends in state 2. */
    const std::uint64_t bits = bits_before_clear();
    const auto clear_byte = static_cast<std::uint32_t>(bits / 8);
    Enc e;
    MemIn src(filling_input(), 0);
    MemOut first(1), second(1);
    std::uint32_t lim = clear_byte + 2;
    ASSERT_EQ(zulzec(src.s, first.s, &e.st, 14, &lim), 0u);
    EXPECT_EQ(e.st.state, 2u);
    EXPECT_EQ(lim, clear_byte);
    const int pending = 31 - e.st.wpos;
    EXPECT_EQ(pending, static_cast<int>(bits % 8));
    const Bytes a = first.close(0);
    lim = ZULZ_NOLIMIT;
    ASSERT_EQ(zulzec(src.s, second.s, &e.st, 14, &lim), 0u);
    EXPECT_TRUE(zulzecdn(&e.st));
    const Bytes b = second.close(ZUBF_FLUSH);
    EXPECT_EQ(cat(a, b), encode_once(filling_input()));
    /* The second volume begins with the left-over bits, then 14 bits of 1. */
    const std::uint32_t head = (std::uint32_t(b[0]) << 16) | (std::uint32_t(b[1]) << 8) | b[2];
    EXPECT_EQ((head >> (24 - pending - 14)) & 0x3FFFu, 1u);
}

TEST(ZulzEncode, CallsAfterTheEndReadAndWriteNothing) {
    const Bytes in = bytes_of("tobeornottobeortobeornot");
    Enc e;
    MemIn src(in, 0);
    MemOut a(1), b(1);
    std::uint32_t lim = ZULZ_NOLIMIT;
    ASSERT_EQ(zulzec(src.s, a.s, &e.st, 14, &lim), 0u);
    ASSERT_TRUE(zulzecdn(&e.st));
    const std::uint64_t taken = src.s->count;
    const Bytes first = a.close(0); /* closed as if more pieces were to come */
    lim = 100;
    ASSERT_EQ(zulzec(src.s, b.s, &e.st, 14, &lim), 0u);
    EXPECT_EQ(lim, 0u);
    EXPECT_EQ(src.s->count, taken);
    /* The left-over bits travelled to the last piece. */
    EXPECT_EQ(cat(first, b.close(ZUBF_FLUSH)), encode_once(in));
}

/* ---- decoder resumption ---- */

TEST(ZulzDecode, CutAtEveryByteBoundary) {
    /* Streams with many clear codes (a 9-bit table fills after 254 codes),
     * so that cuts fall inside the first code, the code after it, the first
     * code after a clear code and the one after that, and inside the code
     * read right after a resumption. */
    const Bytes in = cat(bytes_of("abababababab"), filling(6000));
    const Bytes s = encode_once(in, 9);
    for (std::size_t k = 0; k <= s.size(); ++k) {
        ASSERT_TRUE(restored(decode(cut(s, {k})), in)) << "cut at " << k;
    }
    /* Every byte its own volume, also with output limits. */
    for (std::uint32_t step : {0u, 1u, 2u, 3u, 100u}) {
        ASSERT_TRUE(restored(decode(cut(s), step), in)) << "step " << step;
    }
    /* The 14-bit stream: every byte its own volume, and two-piece cuts at
     * every boundary around its first clear code. */
    const Bytes big = filling(70000);
    const Bytes s14 = encode_once(big);
    ASSERT_EQ(ref_codes(s14).at(16126), 1u);
    EXPECT_TRUE(restored(decode(cut(s14)), big));
    const std::uint64_t bits = bits_before_clear();
    for (std::size_t k = bits / 8 - 4; k <= bits / 8 + 8; ++k) {
        ASSERT_TRUE(restored(decode(cut(s14, {k})), big)) << "cut at " << k;
    }
}

TEST(ZulzDecode, RandomCutsAndOutputLimitsOnLargeStreams) {
    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    std::mt19937 rng(seed);
    for (const char *name : {"alice29.txt", "plrabn12.txt.gz", "asyoulik.txt"}) {
        const Bytes in = corpus(name);
        const Bytes s = encode_once(in);
        for (int round = 0; round < 4; ++round) {
            SCOPED_TRACE(std::string(name) + " seed " + std::to_string(seed) + " round " +
                         std::to_string(round));
            std::vector<std::size_t> at;
            for (std::size_t k = rng() % 4000; k < s.size(); k += 1 + rng() % (round ? 70000 : 300))
                at.push_back(k);
            const std::uint32_t step = round == 3 ? 1 + rng() % 5000 : 0;
            ASSERT_TRUE(restored(decode(cut(s, at), step), in));
        }
        for (std::uint32_t step : {1u, 7u, 65536u}) ASSERT_TRUE(restored(decode_one(s, step), in));
    }
}

TEST(ZulzDecode, OutputLimits) {
    /* "aaa" with a limit of 2: two bytes, suspended before the repeated
     * first character; a limit of 3 finishes it and ends at the input's end. */
    {
        Dec d;
        MemIn in(Bytes{0x0E, 0x31, 0xC0, 0x80}, 1);
        MemOut out(0);
        for (std::uint32_t limit : {2u, 3u}) {
            std::uint32_t lim = limit;
            ASSERT_EQ(zulzdc(in.s, out.s, &d.st, &lim), 0u);
            EXPECT_EQ(lim, limit);
            EXPECT_EQ(d.st.state, limit + 2);
        }
        EXPECT_EQ(zulzdcck(&d.st), 0u);
        EXPECT_EQ(out.close(0), bytes_of("aaa"));
    }
    /* The first byte of a stream is written even with a limit of 0. */
    Dec d;
    MemIn in(Bytes{0x0E, 0x31, 0x80}, 1);
    MemOut out(0);
    std::uint32_t lim = 0;
    ASSERT_EQ(zulzdc(in.s, out.s, &d.st, &lim), 0u);
    EXPECT_EQ(lim, 1u);
}

TEST(ZulzDecode, EveryLimitStateIsReachedAndResumed) {
    const Bytes big =
        cat(bytes_of("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaabcbcbcbcbcbcbcbcbcbcbc"), filling(4000));
    bool seen[5] = {};
    Dec d;
    MemIn src(encode_once(big, 9), 1); /* clear codes every 254 codes */
    MemOut out(0);
    for (;;) {
        std::uint32_t lim = static_cast<std::uint32_t>(out.s->count + 1);
        ASSERT_EQ(zulzdc(src.s, out.s, &d.st, &lim), 0u);
        if (d.st.state < 1 || d.st.state > 4) break;
        seen[d.st.state] = true;
    }
    EXPECT_TRUE(seen[1] && seen[2] && seen[3] && seen[4]);
    EXPECT_EQ(zulzdcck(&d.st), 0u);
    EXPECT_TRUE(out.close(0) == big);
}

TEST(Zulz, CountPastFourGiBDoesNotStopAnUnlimitedRun) {
    const Bytes in = corpus("asyoulik.txt");
    const Bytes stream = encode_once(in);
    {
        Enc e;
        MemIn src(in, 0);
        MemOut out(1);
        out.s->count = 0xFFFFFFFFull - 1000; /* as if 4 GiB had been written */
        std::uint32_t lim = ZULZ_NOLIMIT;
        ASSERT_EQ(zulzec(src.s, out.s, &e.st, 14, &lim), 0u);
        EXPECT_TRUE(zulzecdn(&e.st));
        EXPECT_GT(out.s->count, 0x100000000ull);
        EXPECT_EQ(lim, 0xFFFFFFFFu);
        EXPECT_EQ(out.close(ZUBF_FLUSH), stream);
    }
    Dec d;
    d.st.produced = d.st.delivered = 0xFFFFFFFFull - 5000; /* the window's own count, too */
    MemIn src(stream, 1);
    MemOut out(0);
    out.s->count = 0xFFFFFFFFull - 3000;
    std::uint32_t lim = ZULZ_NOLIMIT;
    ASSERT_EQ(zulzdc(src.s, out.s, &d.st, &lim), 0u);
    EXPECT_EQ(d.st.state, 5u);
    EXPECT_EQ(lim, 0xFFFFFFFFu);
    EXPECT_EQ(out.s->count, 0xFFFFFFFFull - 3000 + in.size());
    EXPECT_TRUE(out.close(0) == in);
}

/* ---- streams cut short and corrupt streams ---- */

TEST(ZulzDecode, StreamsCutShortAreRefusedAtTheEnd) {
    /* No header, no first code, 8 bits of it. */
    for (const Bytes &s : {Bytes{}, Bytes{0x0E}, Bytes{0x0E, 0x31}})
        EXPECT_EQ(decode_one(s).check, ZUSD_RDERR) << s.size();
    const Bytes s = encode_once(corpus("alice29.txt"));
    /* Cut inside a code: 8 or more bits left over. */
    int refused = 0;
    for (std::size_t k = s.size() - 40; k < s.size(); ++k) {
        const Decoded d = decode_one(Bytes(s.begin(), s.begin() + static_cast<long>(k)));
        EXPECT_EQ(d.status, 0u);
        refused += d.check != 0;
    }
    EXPECT_GT(refused, 10);
}

/* Bits of codes, MSB first, after a header. */
using Codes = std::vector<std::pair<std::uint32_t, int>>;
Bytes stream_of(unsigned header, const Codes &codes) {
    BitSink bs;
    bs.put(header, 8);
    for (auto [v, w] : codes) bs.put(v, w);
    return bs.finish();
}

TEST(ZulzDecode, CorruptStreamsAreRefusedOnce) {
    /* Header 9: 511 entries, the highest assigned code is 510; once full,
     * the code the next addition would make does not exist. */
    Codes full(254, {99, 9});
    full.push_back({510, 9});
    EXPECT_EQ(decode_one(stream_of(9, full)).status, 0u);
    full.push_back({511, 9});
    full.push_back({99, 9});
    const struct {
        const char *what;
        Bytes s;
    } rows[] = {
        {"header 19", {0x13, 0x31, 0x80}},
        {"header 255", {0xFF, 0x31, 0x80}},
        {"code 0", stream_of(14, {{99, 9}, {0, 9}, {99, 9}})},
        {"code 0 first", stream_of(14, {{0, 9}, {99, 9}})},
        {"code above the next one", stream_of(14, {{99, 9}, {260, 9}, {99, 9}})},
        {"code far above", stream_of(14, {{99, 9}, {100, 9}, {511, 9}, {99, 9}})},
        {"first code not a literal", stream_of(14, {{258, 9}, {99, 9}})},
        {"clear code first", stream_of(14, {{1, 9}, {99, 9}})},
        {"after a clear code", stream_of(14, {{99, 9}, {1, 9}, {258, 9}, {99, 9}})},
        {"two clear codes", stream_of(14, {{99, 9}, {1, 9}, {1, 9}, {99, 9}})},
        {"code past a full table", stream_of(9, full)},
    };
    zutest::TempDir dir("zulz");
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        {
            zutest::LogTo log(dir / r.what);
            zusdlg((dir / r.what).c_str(), 7); /* every class of record */
            EXPECT_EQ(decode_one(r.s).status, ZUSD_RDERR);
            const std::string text = log.text();
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
            EXPECT_NE(text.find("zulzdc:"), std::string::npos) << text;
        }
        /* Byte by byte, under output limits: the same refusal. */
        EXPECT_EQ(decode(cut(r.s), 1).status, ZUSD_RDERR);
    }
}

TEST(ZulzDecode, HeaderValuesUpTo18AreRead) {
    for (unsigned h : {0u, 9u, 12u, 16u, 17u, 18u}) {
        const Decoded d = decode_one(stream_of(h, {{99, 9}, {258, 9}, {100, 9}}));
        EXPECT_EQ(d.status, 0u) << h;
        EXPECT_EQ(d.out, bytes_of("aaab")) << h;
    }
}

/* ---- allocation and write failures ---- */

TEST(Zulz, NoMemoryForTheTables) {
    Dec d;
    MemIn in(Bytes{0x0E, 0x31, 0x80}, 1);
    MemOut out(0);
    std::uint32_t lim = ZULZ_NOLIMIT;
    zubfma = [](std::size_t) -> void * { return nullptr; };
    const unsigned status = zulzdc(in.s, out.s, &d.st, &lim);
    zuetcb *t = zuetmk(14, 18);
    zubfma = std::malloc;
    EXPECT_EQ(status, ZUSD_NOMEM);
    EXPECT_EQ(d.st.table, nullptr);
    EXPECT_EQ(t, nullptr);
    lim = ZULZ_NOLIMIT;
    EXPECT_EQ(zulzdc(in.s, out.s, &d.st, &lim), ZUSD_NOMEM); /* stays failed */
}

TEST(Zulz, WriteFailureGives21) {
    std::uint32_t lim = ZULZ_NOLIMIT;
    {
        Dec d;
        MemIn src(encode_once(corpus("alice29.txt")), 1);
        zubfcb *out = zubfcr(std::fopen("/dev/full", "w"), 0, 0);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(zulzdc(src.s, out, &d.st, &lim), ZUSD_WRERR);
        EXPECT_EQ(zubfcl(out, 0), 0);
    }
    Enc e;
    MemIn src(random_bytes(400000, 3), 0);
    zubfcb *out = zubfcr(std::fopen("/dev/full", "w"), 0, 1);
    ASSERT_NE(out, nullptr);
    lim = ZULZ_NOLIMIT;
    EXPECT_EQ(zulzec(src.s, out, &e.st, 14, &lim), ZUSD_WRERR);
    EXPECT_EQ(zubfcl(out, ZUBF_FLUSH), 0);
}

/* ---- a whole stream past 4 GiB (opt-in: ZU_BIG_TESTS=1) ---- */

/* Generated text-like data: the same bytes however it is read in pieces. */
struct Gen {
    std::uint64_t at = 0;
    std::uint64_t total;
    std::uint32_t rng = 12345;
    const char *word = "";
    bool same = true;
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

/* A sink that compares what it is given with the generator's bytes. */
ssize_t check_write(void *cookie, const char *buf, size_t size) {
    auto *gen = static_cast<Gen *>(cookie);
    std::string want(size, '\0');
    gen->same &= gen->fill(want.data(), size) == size && want.compare(0, size, buf, size) == 0;
    return static_cast<ssize_t>(size);
}

/* Encode `total` generated bytes into a temporary file and decode them
 * into a sink that compares them with the generator, without holding them. */
void whole_stream(std::uint64_t total) {
    zutest::TempDir dir("zulz_big");
    const std::string path = dir / "z";
    {
        Gen gen(total);
        zubfcb *in = zubfcr(fopencookie(&gen, "r", {gen_read, nullptr, nullptr, nullptr}), 1, 0);
        zubfcb *out = zubfcr(std::fopen(path.c_str(), "w"), 0, 1);
        ASSERT_TRUE(in && out);
        Enc e;
        std::uint32_t lim = ZULZ_NOLIMIT;
        ASSERT_EQ(zulzec(in, out, &e.st, 14, &lim), 0u);
        EXPECT_TRUE(zulzecdn(&e.st));
        EXPECT_EQ(in->count, total);
        EXPECT_EQ(zubfcl(out, ZUBF_FLUSH), 1);
        zubfcl(in, 0);
    }
    Gen check(total);
    zubfcb *in = zubfcr(std::fopen(path.c_str(), "r"), 1, 1);
    zubfcb *out = zubfcr(fopencookie(&check, "w", {nullptr, check_write, nullptr, nullptr}), 0, 0);
    ASSERT_TRUE(in && out);
    Dec d;
    std::uint32_t lim = ZULZ_NOLIMIT;
    ASSERT_EQ(zulzdc(in, out, &d.st, &lim), 0u);
    EXPECT_EQ(zulzdcck(&d.st), 0u);
    EXPECT_EQ(out->count, total);
    EXPECT_EQ(zubfcl(out, 0), 1);
    zubfcl(in, 0);
    EXPECT_EQ(check.at, total);
    EXPECT_TRUE(check.same);
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
