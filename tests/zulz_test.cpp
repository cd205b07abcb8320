/* Tests of the resumable encoder and decoder: stored reference streams
 * (tests/data/zulz_streams.tsv) made in one call and in random volumes,
 * restored from random cuts under random output limits; every limit state;
 * the decoder's refusals (tests/data/zulz_decode.tsv); counts past 4 GiB;
 * allocation and write failures. */
#include "zulz.h"

#include "../fuzz/fuzz_streams.h"
#include "szusd.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace zufuzz;

Bytes bytes_of(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

Bytes random_bytes(std::size_t n, unsigned seed, unsigned alphabet) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &c : b) c = static_cast<unsigned char>(rng() % alphabet);
    return b;
}

/* The input a row of zulz_streams.tsv names. */
Bytes input_of(const std::string &desc) {
    std::istringstream in(desc);
    std::string kind;
    in >> kind;
    if (kind == "text") return bytes_of(desc.substr(5));
    if (kind == "file") return bytes_of(zutest::data(desc.substr(5)));
    unsigned a = 0, b = 0, c = 0;
    char ch = 0;
    if (kind == "rand" && in >> a >> b >> c) return random_bytes(b, a, c);
    if (kind == "same" && in >> ch >> b) return Bytes(b, static_cast<unsigned char>(ch));
    ADD_FAILURE() << "bad input " << desc;
    return {};
}

/* The rows of a tab-separated data file, comments and blank lines left out. */
struct Stream {
    std::string desc;
    unsigned bits;
    Bytes in, out;
};

std::vector<Stream> streams() {
    std::vector<Stream> all;
    for (const auto &row : zutest::table("zulz_streams.tsv")) {
        const std::string &s = row.at(2);
        Bytes out;
        if (s[0] == '@') {
            out = bytes_of(zutest::data("streams/" + s.substr(1)));
        } else {
            for (std::size_t i = 0; i + 1 < s.size(); i += 2)
                out.push_back(static_cast<unsigned char>(std::stoul(s.substr(i, 2), nullptr, 16)));
        }
        all.push_back({row[0], static_cast<unsigned>(std::stoul(row[1])), input_of(row[0]), out});
    }
    return all;
}

/* Encode in volumes: volume i may hold limit_of(i) bytes; every call must
 * report the volume's count and keep within its limit. */
struct Encoded {
    std::vector<Bytes> pieces;
    unsigned status = 0;
    bool saw_state2 = false;         /* a volume ended before a clear code */
    bool saw_held_after_end = false; /* the input ended with a code still held */
    Bytes joined;
};

Encoded encode(const Bytes &input, const std::function<std::uint32_t(std::size_t)> &limit_of,
               unsigned bits = 14) {
    Encoded e;
    zulzecst st{};
    st.table = zuetmk(bits, 18);
    MemIn in(input, 0);
    for (std::size_t i = 0;; ++i) {
        MemOut out(1);
        const std::uint32_t given = limit_of(i);
        std::uint32_t lim = given;
        e.status = zulzec(in.s, out.s, &st, static_cast<std::uint16_t>(bits), &lim);
        EXPECT_EQ(lim, std::min<std::uint64_t>(out.s->count, 0xFFFFFFFFu));
        if (given >= 2 && given != ZULZ_NOLIMIT) {
            EXPECT_LE(out.s->count, given - 1u) << i;
        }
        e.saw_state2 |= st.state == 2;
        e.saw_held_after_end |= st.state != 0 && st.eof;
        const bool done = zulzecdn(&st) != 0;
        e.pieces.push_back(out.close(done || e.status ? ZUBF_FLUSH : 0));
        e.joined.insert(e.joined.end(), e.pieces.back().begin(), e.pieces.back().end());
        if (e.status || done || i > 10000000) break;
    }
    zuetds(st.table);
    return e;
}

Bytes encode_once(const Bytes &input, unsigned bits = 14) {
    return encode(input, [](std::size_t) { return ZULZ_NOLIMIT; }, bits).joined;
}

/* The decoder ended well and gave back `in`. */
::testing::AssertionResult restored(const Decoded &d, const Bytes &in) {
    if (d.status || d.check)
        return ::testing::AssertionFailure() << "status " << d.status << ", check " << d.check;
    if (d.out != in) return ::testing::AssertionFailure() << "output differs";
    return ::testing::AssertionSuccess();
}

Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

/* Width of the code written while `next` is the highest code assigned. */
int width_of(std::uint32_t next) {
    int w = 9;
    while (w < 16 && next >= (1u << w)) ++w;
    return w;
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

/* ---- reference streams, whole and in volumes ---- */

TEST(ZulzStreams, EncodeToTheStoredBytesInAnyVolumesAndRestoreFromAnyCuts) {
    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    std::mt19937 rng(seed);
    bool state2 = false, held = false;
    for (const Stream &r : streams()) {
        SCOPED_TRACE(r.desc + ", seed " + std::to_string(seed));
        ASSERT_FALSE(r.in.empty());
        ASSERT_EQ(encode_once(r.in, r.bits), r.out);
        ASSERT_TRUE(restored(decode(std::vector<Bytes>{r.out}), r.in));
        /* Volumes: every small limit on short streams, tiny ones (a
         * suspension at nearly every code) and random ones on the rest. */
        std::vector<std::function<std::uint32_t(std::size_t)>> limits;
        if (r.out.size() < 40)
            for (std::uint32_t l = 3; l <= 40; ++l) limits.push_back([l](std::size_t) { return l; });
        if (r.out.size() < 80000) limits.push_back([&](std::size_t) { return 3 + rng() % 4; });
        limits.push_back([&](std::size_t) { return 3 + rng() % 5000; });
        for (const auto &limit_of : limits) {
            const Encoded e = encode(r.in, limit_of, r.bits);
            ASSERT_EQ(e.status, 0u);
            ASSERT_EQ(e.joined, r.out);
            state2 |= e.saw_state2;
            held |= e.saw_held_after_end;
        }
        /* Cuts anywhere, under output limits from one byte up. */
        for (int round = 0; round < 3; ++round) {
            std::vector<std::size_t> at;
            for (std::size_t k = rng() % 4000; k < r.out.size(); k += 1 + rng() % (round ? 70000 : 300))
                at.push_back(k);
            const std::uint32_t step = round == 0 ? 0 : round == 1 ? 1 + rng() % 7 : 1 + rng() % 70000;
            ASSERT_TRUE(restored(decode(cut(r.out, at), step), r.in)) << "round " << round;
        }
    }
    EXPECT_TRUE(state2) << "no volume ended before a clear code";
    EXPECT_TRUE(held) << "no volume ended with the input ended and a code held";
}

TEST(ZulzEncode, EmptyInputAndCallsAfterTheEnd) {
    const Encoded none = encode(Bytes{}, [](std::size_t) { return ZULZ_NOLIMIT; });
    EXPECT_EQ(none.joined, Bytes{0x0E}); /* the header, then refused */
    EXPECT_EQ(none.status, ZUSD_RDERR);
    /* A finished run reads and writes nothing more; the bits it left over
     * travel to the last volume. */
    const Bytes in = bytes_of("tobeornottobeortobeornot");
    zulzecst st{};
    st.table = zuetmk(14, 18);
    MemIn src(in, 0);
    MemOut a(1), b(1);
    std::uint32_t lim = ZULZ_NOLIMIT;
    ASSERT_EQ(zulzec(src.s, a.s, &st, 14, &lim), 0u);
    ASSERT_TRUE(zulzecdn(&st));
    const std::uint64_t taken = src.s->count;
    Bytes joined = a.close(0);
    lim = 100;
    ASSERT_EQ(zulzec(src.s, b.s, &st, 14, &lim), 0u);
    EXPECT_EQ(lim, 0u);
    EXPECT_EQ(src.s->count, taken);
    EXPECT_EQ(cat(joined, b.close(ZUBF_FLUSH)), encode_once(in));
    zuetds(st.table);
}

/* ---- decoder resumption ---- */

TEST(ZulzDecode, CutAtEveryByteBoundary) {
    /* 9-bit codes clear every 254 codes, so two-piece cuts at every byte
     * fall inside first codes, codes after a clear and codes after a
     * resumption; then every byte its own volume, also under limits. */
    const Bytes in = cat(bytes_of("abababababab"), random_bytes(6000, 7, 16));
    const Bytes s = encode_once(in, 9);
    for (std::size_t k = 0; k <= s.size(); ++k)
        ASSERT_TRUE(restored(decode(cut(s, {k})), in)) << "cut at " << k;
    for (std::uint32_t step : {0u, 1u, 2u, 3u, 100u})
        ASSERT_TRUE(restored(decode(cut(s), step), in)) << "step " << step;
    /* The 14-bit stream byte by byte, and cut around its first clear code,
     * which follows the header and the 16126 codes that fill the table. */
    const Bytes big = random_bytes(70000, 7, 16);
    const Bytes s14 = encode_once(big);
    std::uint64_t bits = 8;
    for (std::uint32_t next = 257; next < 257 + 16126; ++next) bits += width_of(next);
    EXPECT_TRUE(restored(decode(cut(s14)), big));
    for (std::size_t k = bits / 8 - 4; k <= bits / 8 + 8; ++k)
        ASSERT_TRUE(restored(decode(cut(s14, {k})), big)) << "cut at " << k;
}

TEST(ZulzDecode, EveryLimitStateIsReachedAndResumed) {
    /* "aaa" under a limit of 2 stops before the repeated first character
     * (state 4), a limit of 3 finishes it; a stream's first byte is written
     * even under a limit of 0. */
    {
        zulzdcst st{};
        MemIn in(Bytes{0x0E, 0x31, 0xC0, 0x80}, 1);
        MemOut out(0);
        std::uint32_t lim = 0;
        ASSERT_EQ(zulzdc(in.s, out.s, &st, &lim), 0u);
        EXPECT_EQ(lim, 1u);
        for (std::uint32_t limit : {2u, 3u}) {
            lim = limit;
            ASSERT_EQ(zulzdc(in.s, out.s, &st, &lim), 0u);
            EXPECT_EQ(lim, limit);
            EXPECT_EQ(st.state, limit + 2);
        }
        EXPECT_EQ(zulzdcck(&st), 0u);
        EXPECT_EQ(out.close(0), bytes_of("aaa"));
        zudtds(st.table);
    }
    /* One more byte per call: each of the states 1 to 4 is met. */
    const Bytes big = cat(bytes_of("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaabcbcbcbcbcbcbcbcbcbcbc"),
                          random_bytes(4000, 7, 16));
    bool seen[5] = {};
    zulzdcst st{};
    MemIn src(encode_once(big, 9), 1);
    MemOut out(0);
    for (;;) {
        std::uint32_t lim = static_cast<std::uint32_t>(out.s->count + 1);
        ASSERT_EQ(zulzdc(src.s, out.s, &st, &lim), 0u);
        if (st.state < 1 || st.state > 4) break;
        seen[st.state] = true;
    }
    EXPECT_TRUE(seen[1] && seen[2] && seen[3] && seen[4]);
    EXPECT_EQ(zulzdcck(&st), 0u);
    EXPECT_TRUE(out.close(0) == big);
    zudtds(st.table);
}

/* ---- refusals ---- */

/* A stream written from "VALUE/WIDTH" codes (xN repeats one) after a header
 * byte ("-": no header). */
Bytes stream_of(const std::string &header, const std::string &codes) {
    Bytes out;
    std::uint64_t acc = 0;
    int n = 0;
    const auto put = [&](std::uint32_t v, int w) {
        acc = (acc << w) | v;
        for (n += w; n >= 8;) out.push_back(static_cast<unsigned char>(acc >> (n -= 8)));
    };
    if (header != "-") put(static_cast<std::uint32_t>(std::stoul(header)), 8);
    std::istringstream in(codes);
    for (std::string code; in >> code;) {
        unsigned v = 0, w = 0, times = 1;
        if (std::sscanf(code.c_str(), "%u/%ux%u", &v, &w, &times) < 2) ADD_FAILURE() << code;
        while (times-- > 0) put(v, static_cast<int>(w));
    }
    if (n) out.push_back(static_cast<unsigned char>(acc << (8 - n)));
    return out;
}

TEST(ZulzDecode, StreamsNoWriterMakesAreRefusedOnce) {
    zutest::TempDir dir("zulz");
    int row = 0;
    for (const auto &r : zutest::table("zulz_decode.tsv")) {
        const Bytes s = stream_of(r.at(0), r.size() > 1 ? r[1] : "");
        const std::string want = r.size() > 2 ? r[2] : "";
        SCOPED_TRACE(r[0] + " " + (r.size() > 1 ? r[1] : "") + ": " + want);
        const std::string logname = dir / std::to_string(++row);
        zutest::LogTo log(logname);
        zusdlg(logname.c_str(), 7); /* every class of record */
        const Decoded d = decode(std::vector<Bytes>{s});
        if (want.rfind("ok", 0) == 0) {
            EXPECT_EQ(d.status, 0u);
            EXPECT_EQ(d.check, 0u);
            if (want.size() > 3) {
                EXPECT_EQ(d.out, bytes_of(want.substr(3)));
            }
        } else if (want == "refused") {
            EXPECT_EQ(d.status, ZUSD_RDERR);
            const std::string text = log.text();
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
            EXPECT_NE(text.find("zulzdc:"), std::string::npos) << text;
            EXPECT_EQ(decode(cut(s), 1).status, ZUSD_RDERR); /* byte by byte, limited */
        } else {
            EXPECT_EQ(d.status, 0u);
            EXPECT_EQ(d.check, ZUSD_RDERR);
            const std::string text = log.text();
            EXPECT_EQ(text.find("zulzdcck:"), text.rfind("zulzdcck:")) << text;
            EXPECT_NE(text.find("zulzdcck:"), std::string::npos) << text;
        }
    }
    /* A real stream cut inside one of its last codes. */
    const Bytes s = bytes_of(zutest::data("streams/alice29.txt_"));
    int refused = 0;
    for (std::size_t k = s.size() - 40; k < s.size(); ++k) {
        const Decoded d = decode(std::vector<Bytes>{Bytes(s.begin(), s.begin() + static_cast<long>(k))});
        EXPECT_EQ(d.status, 0u);
        refused += d.check != 0;
    }
    EXPECT_GT(refused, 10);
}

/* ---- counts past 4 GiB, allocation and write failures ---- */

TEST(Zulz, CountPastFourGiBDoesNotStopAnUnlimitedRun) {
    const Bytes in = bytes_of(zutest::data("asyoulik.txt"));
    const Bytes stream = bytes_of(zutest::data("streams/asyoulik.txt_"));
    {
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
        EXPECT_EQ(out.close(ZUBF_FLUSH), stream);
        zuetds(st.table);
    }
    zulzdcst st{};
    st.produced = st.delivered = 0xFFFFFFFFull - 5000; /* the window's own count, too */
    MemIn src(stream, 1);
    MemOut out(0);
    out.s->count = 0xFFFFFFFFull - 3000;
    std::uint32_t lim = ZULZ_NOLIMIT;
    ASSERT_EQ(zulzdc(src.s, out.s, &st, &lim), 0u);
    EXPECT_EQ(st.state, 5u);
    EXPECT_EQ(lim, 0xFFFFFFFFu);
    EXPECT_EQ(out.s->count, 0xFFFFFFFFull - 3000 + in.size());
    EXPECT_TRUE(out.close(0) == in);
    zudtds(st.table);
}

TEST(Zulz, NoMemoryGives5AndWriteFailureGives21) {
    zulzdcst st{};
    MemIn in(Bytes{0x0E, 0x31, 0x80}, 1);
    MemOut out(0);
    std::uint32_t lim = ZULZ_NOLIMIT;
    zubfma = [](std::size_t) -> void * { return nullptr; };
    const unsigned status = zulzdc(in.s, out.s, &st, &lim);
    zuetcb *t = zuetmk(14, 18);
    zubfma = std::malloc;
    EXPECT_EQ(status, ZUSD_NOMEM);
    EXPECT_EQ(st.table, nullptr);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(zulzdc(in.s, out.s, &st, &lim), ZUSD_NOMEM); /* stays failed */

    zulzdcst dst{};
    MemIn coded(bytes_of(zutest::data("streams/alice29.txt_")), 1);
    zubfcb *full = zubfcr(std::fopen("/dev/full", "w"), 0, 0);
    ASSERT_NE(full, nullptr);
    lim = ZULZ_NOLIMIT;
    EXPECT_EQ(zulzdc(coded.s, full, &dst, &lim), ZUSD_WRERR);
    EXPECT_EQ(zubfcl(full, 0), 0);
    zudtds(dst.table);
    zulzecst est{};
    est.table = zuetmk(14, 18);
    MemIn plain(random_bytes(400000, 3, 256), 0);
    full = zubfcr(std::fopen("/dev/full", "w"), 0, 1);
    ASSERT_NE(full, nullptr);
    lim = ZULZ_NOLIMIT;
    EXPECT_EQ(zulzec(plain.s, full, &est, 14, &lim), ZUSD_WRERR);
    EXPECT_EQ(zubfcl(full, ZUBF_FLUSH), 0);
    zuetds(est.table);
}

/* ---- a whole stream through files, past 4 GiB when asked ---- */

/* Text-like bytes, each a function of its position only, so that the same
 * bytes come however they are read in pieces. */
unsigned char gen_byte(std::uint64_t at) {
    static const char words[] = "alpha beta gamma delta\nepsilon zeta eta theta, iota kappa ";
    const std::uint64_t word = (at / 16) * 0x9E3779B97F4A7C15ull;
    return static_cast<unsigned char>(words[(at % 16 + (word >> 59)) % (sizeof words - 1)]);
}

struct Gen {
    std::uint64_t at = 0, total;
    bool same = true;
};

ssize_t gen_read(void *cookie, char *buf, size_t size) {
    auto *g = static_cast<Gen *>(cookie);
    size_t n = 0;
    for (; n < size && g->at < g->total; ++n) buf[n] = static_cast<char>(gen_byte(g->at++));
    return static_cast<ssize_t>(n);
}

/* A sink that compares what it is given with the generator's bytes. */
ssize_t check_write(void *cookie, const char *buf, size_t size) {
    auto *g = static_cast<Gen *>(cookie);
    for (size_t i = 0; i < size; ++i)
        g->same &= g->at < g->total && static_cast<unsigned char>(buf[i]) == gen_byte(g->at++);
    return static_cast<ssize_t>(size);
}

/* Encode `total` generated bytes into a file and decode them into a sink
 * that checks them, without ever holding them. */
void whole_stream(std::uint64_t total) {
    zutest::TempDir dir("zulz_big");
    const std::string path = dir / "z";
    {
        Gen gen{0, total};
        zubfcb *in = zubfcr(fopencookie(&gen, "r", {gen_read, nullptr, nullptr, nullptr}), 1, 0);
        zubfcb *out = zubfcr(std::fopen(path.c_str(), "w"), 0, 1);
        ASSERT_TRUE(in && out);
        zulzecst st{};
        st.table = zuetmk(14, 18);
        std::uint32_t lim = ZULZ_NOLIMIT;
        EXPECT_EQ(zulzec(in, out, &st, 14, &lim), 0u);
        EXPECT_TRUE(zulzecdn(&st));
        EXPECT_EQ(in->count, total);
        EXPECT_EQ(zubfcl(out, ZUBF_FLUSH), 1);
        zubfcl(in, 0);
        zuetds(st.table);
    }
    Gen check{0, total};
    zubfcb *in = zubfcr(std::fopen(path.c_str(), "r"), 1, 1);
    zubfcb *out = zubfcr(fopencookie(&check, "w", {nullptr, check_write, nullptr, nullptr}), 0, 0);
    ASSERT_TRUE(in && out);
    zulzdcst st{};
    std::uint32_t lim = ZULZ_NOLIMIT;
    EXPECT_EQ(zulzdc(in, out, &st, &lim), 0u);
    EXPECT_EQ(zulzdcck(&st), 0u);
    EXPECT_EQ(out->count, total);
    EXPECT_EQ(zubfcl(out, 0), 1);
    zubfcl(in, 0);
    zudtds(st.table);
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
