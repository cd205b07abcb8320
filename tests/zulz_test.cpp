/* Tests of the codec: the stored reference streams (tests/data/zulz_streams.tsv)
 * made in one call and in random volumes, restored from random cuts under
 * random output limits and by the parallel decoder as by the serial one; the
 * parallel encoder's streams (tests/data/zulz_parallel.tsv); the decoder's
 * refusals (tests/data/zulz_decode.tsv); allocation, read and write
 * failures; a whole stream through files, with counts past 4 GiB (and past
 * 4 GiB of data when asked). */
#include "../fuzz/parallel_run.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <sstream>

namespace {

using namespace zufuzz;

Bytes bytes_of(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

/* The input a row names: "text T", "file NAME [COUNT]", "same CHAR SIZE" or
 * "rand SEED SIZE ALPHABET" (std::mt19937(SEED), each byte rng() % ALPHABET). */
Bytes input_of(const std::string &desc) {
    std::istringstream in(desc);
    std::string kind, name;
    unsigned a = 0, b = 1, c = 1;
    in >> kind;
    if (kind == "text") return bytes_of(desc.substr(5));
    if (kind == "same" && in >> name >> b) return Bytes(b, name[0]);
    Bytes all;
    if (kind == "file" && in >> name) {
        if (!(in >> b)) b = 1;
        const std::string one = zutest::data(name);
        while (b-- > 0) all.insert(all.end(), one.begin(), one.end());
        return all;
    }
    EXPECT_TRUE(kind == "rand" && in >> a >> b >> c && c) << desc;
    std::mt19937 rng(a);
    all.resize(b);
    for (auto &x : all) x = rng() % std::max(c, 1u);
    return all;
}

/* A stream cell: hex digits, or @NAME for tests/data/streams/NAME. */
Bytes stream_of(const std::string &cell) {
    if (cell.at(0) == '@') return bytes_of(zutest::data("streams/" + cell.substr(1)));
    Bytes out;
    for (std::size_t i = 0; i + 1 < cell.size(); i += 2) out.push_back(std::stoul(cell.substr(i, 2), nullptr, 16));
    return out;
}

/* `s` cut before each offset of `at` (increasing); every(n): every offset. */
std::vector<Bytes> cut(const Bytes &s, std::vector<std::size_t> at) {
    std::vector<Bytes> pieces;
    at.push_back(s.size());
    for (std::size_t from = 0, i = 0; i < at.size(); from = at[i++])
        pieces.emplace_back(s.begin() + from, s.begin() + at[i]);
    return pieces;
}
std::vector<std::size_t> every(std::size_t n) {
    std::vector<std::size_t> at(n > 1 ? n - 1 : 0);
    std::iota(at.begin(), at.end(), 1);
    return at;
}

::testing::AssertionResult restored(const Decoded &d, const Bytes &in) {
    if (d.status || d.check) return ::testing::AssertionFailure() << "status " << d.status << ", check " << d.check;
    if (d.out != in) return ::testing::AssertionFailure() << "output differs";
    return ::testing::AssertionSuccess();
}

/* The parallel decoder with small jobs and pieces (every clear code may end
 * a job, a job's output leaves in many pieces) on 2 and 3 threads gives the
 * same bytes, status and log as the serial one. */
Restored same_as_serial(const Bytes &s) {
    zulzpjob = 1, zulzppiece = 1000;
    Restored r;
    for (unsigned threads : {2u, 3u}) {
        r = as_serial(s, threads);
        /* A whole stream leaves no more than its last stretch (at most 16126
         * codes of 14 bits) to the serial decoder. */
        EXPECT_TRUE(r.status != 0 || r.serial_at + 28230 >= s.size()) << r.serial_at;
    }
    zulzpjob = 64u << 10, zulzppiece = 128u << 10;
    return r;
}

TEST(ZulzStreams, StoredBytesInAnyVolumesRestoredFromAnyCutsAndInParallel) {
    const unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    bool state2 = false, held = false;
    std::uint32_t states = 0;
    for (const auto &row : zutest::table("zulz_streams.tsv")) {
        SCOPED_TRACE(row.at(0) + ", seed " + std::to_string(seed));
        const Bytes in = input_of(row[0]), want = stream_of(row.at(2));
        ASSERT_FALSE(in.empty());
        /* One call; every small limit on short streams, tiny random ones (a
         * suspension at nearly every code) and larger ones. */
        std::vector<std::function<std::uint32_t()>> limits{[] { return ZULZ_NOLIMIT; },
                                                           [&] { return 3 + rng() % 5000; }};
        for (std::uint32_t l = 3; want.size() < 40 && l <= 40; ++l) limits.push_back([l] { return l; });
        if (want.size() < 80000) limits.push_back([&] { return 3 + rng() % 4; });
        for (const auto &limit_of : limits) {
            const Encoded e = encode(in, limit_of, std::stoul(row.at(1)));
            ASSERT_EQ(e.status, 0u);
            ASSERT_EQ(e.joined, want);
            state2 |= e.state2;
            held |= e.held;
        }
        /* Cuts anywhere (short streams: at every byte) under output limits
         * from one byte up; short streams also cut in two at every byte. */
        for (int round = 0; round < 4; ++round) {
            std::vector<std::size_t> at;
            for (std::size_t k = rng() % 4000; k < want.size(); k += 1 + rng() % (round % 2 ? 70000 : 300))
                at.push_back(k);
            if (round == 3 && want.size() < 10000) at = every(want.size());
            const std::uint32_t step = round == 0 ? 0 : round == 2 ? 1 + rng() % 70000 : 1 + rng() % 3;
            const Decoded d = decode(cut(want, at), step);
            ASSERT_TRUE(restored(d, in)) << "round " << round << ", step " << step;
            states |= d.states;
        }
        for (std::size_t k = 0; in.size() + want.size() < 30000 && k <= want.size(); ++k)
            ASSERT_TRUE(restored(decode(cut(want, {k})), in)) << "cut at " << k;
        EXPECT_TRUE(row[2][0] != '@' || same_as_serial(want).out == in);
    }
    EXPECT_TRUE(state2) << "no volume ended before a clear code";
    EXPECT_TRUE(held) << "no volume ended with the input ended and a code held";
    EXPECT_EQ(states & 0x1Eu, 0x1Eu) << "not every limit state was met";
}

TEST(ZulzParallel, EncoderGivesDocumentedStreamsForAnyThreadCount) {
    for (const auto &row : zutest::table("zulz_parallel.tsv")) {
        SCOPED_TRACE(row.at(0));
        const Bytes in = input_of(row[0]), want = stream_of(row.at(1));
        EXPECT_TRUE(compress(in, 2) == want);
        EXPECT_TRUE(compress(in, 3) == want);
        EXPECT_LT(double(want.size()), double(compress(in, 1).size()) * 1.005 + 4096);
        EXPECT_TRUE(same_as_serial(want).out == in);
        EXPECT_TRUE(restore(want, 2).out == in); /* default job sizes */
    }
}

/* A stretch of codes made invalid near the start, in the middle and near the
 * end, and streams cut short anywhere: refused exactly as serially. */
TEST(ZulzParallel, RefusesCorruptStretchesAsSerial) {
    const Bytes good = stream_of("@alice29.txt_");
    for (double at : {0.01, 0.3, 0.5, 0.98}) {
        Bytes bad = good;
        std::fill_n(bad.begin() + static_cast<long>(at * double(good.size())), 4, 0xFF);
        EXPECT_EQ(same_as_serial(bad).status, unsigned(ZUSD_RDERR)) << at;
    }
    for (std::size_t n : {std::size_t(3), good.size() / 2, good.size() - 1})
        same_as_serial(Bytes(good.begin(), good.begin() + n));
}

/* A stream written from "VALUE/WIDTH" codes (xN repeats one) after a header
 * byte ("-": no header). */
Bytes stream_of_codes(const std::string &header, const std::string &codes) {
    Bytes out;
    std::uint64_t acc = 0;
    int n = 0;
    const auto put = [&](std::uint32_t v, int w) {
        acc = (acc << w) | v;
        for (n += w; n >= 8;) out.push_back(acc >> (n -= 8));
    };
    if (header != "-") put(std::stoul(header), 8);
    std::istringstream in(codes);
    for (std::string code; in >> code;) {
        unsigned v = 0, w = 0, times = 1;
        if (std::sscanf(code.c_str(), "%u/%ux%u", &v, &w, &times) < 2) ADD_FAILURE() << code;
        while (times-- > 0) put(v, w);
    }
    if (n) out.push_back(acc << (8 - n));
    return out;
}

TEST(ZulzDecode, StreamsNoWriterMakesAreRefusedOnce) {
    zutest::TempDir dir("zulz");
    int row = 0;
    for (auto r : zutest::table("zulz_decode.tsv")) {
        r.resize(3);
        SCOPED_TRACE(r[0] + " " + r[1] + ": " + r[2]);
        const Bytes s = stream_of_codes(r[0], r[1]);
        zutest::LogTo log(dir / std::to_string(++row));
        zusdlg((dir / std::to_string(row)).c_str(), 7); /* every class of record */
        const Decoded d = decode({s});
        const bool ok = r[2].rfind("ok", 0) == 0, refused = r[2] == "refused";
        EXPECT_EQ(d.status, refused ? ZUSD_RDERR : 0u);
        EXPECT_EQ(d.check, ok ? 0u : ZUSD_RDERR);
        EXPECT_TRUE(!ok || r[2].size() < 4 || d.out == bytes_of(r[2].substr(3)));
        const std::string text = log.text();
        const std::size_t at = text.find(refused ? "  zulzdc:" : "  zulzdc");
        EXPECT_TRUE(ok ? at == text.npos : at != text.npos && at == text.rfind("  zulzdc")) << text;
        EXPECT_TRUE(!refused || decode(cut(s, every(s.size())), 1).status == ZUSD_RDERR); /* byte by byte */
    }
}

/* "aaa": a stream's first byte is written even under a limit of 0 (state 1
 * follows), a limit of 2 stops before the repeated first character (state
 * 4), a limit of 3 finishes it. */
TEST(ZulzDecode, FirstByteUnderLimitZeroAndRepeatedCharacterResumed) {
    zulzdcst st{};
    MemIn in(Bytes{0x0E, 0x31, 0xC0, 0x80}, 1);
    MemOut out(0);
    for (std::uint32_t limit : {0u, 2u, 3u}) {
        std::uint32_t lim = limit;
        ASSERT_EQ(zulzdc(in.s, out.s, &st, &lim), 0u);
        EXPECT_EQ(lim, std::max(limit, 1u));
        EXPECT_EQ(st.state, limit ? limit + 2 : 1u);
    }
    EXPECT_EQ(zulzdcck(&st), 0u);
    EXPECT_EQ(out.close(0), bytes_of("aaa"));
    zudtds(st.table);
}

/* The encoder (or decoder) over `in` into `out`, twice: a failed run stays
 * failed. */
unsigned run_twice(bool dec, std::FILE *in, std::FILE *out) {
    zubfcb *i = zubfcr(in, 1, dec), *o = zubfcr(out, 0, !dec);
    zulzecst est = encoder();
    zulzdcst dst{};
    unsigned s[2];
    for (unsigned &x : s) {
        std::uint32_t lim = ZULZ_NOLIMIT;
        x = dec ? zulzdc(i, o, &dst, &lim) : zulzec(i, o, &est, 14, &lim);
    }
    zuetds(est.table);
    zudtds(dst.table);
    zubfcl(i, 0);
    EXPECT_EQ(s[0], s[1]);
    EXPECT_EQ(zubfcl(o, ZUBF_FLUSH), s[0] != ZUSD_WRERR);
    return s[0];
}

TEST(Zulz, NoMemoryGives5ReadFailureGives20WriteFailureGives21) {
    zulzdcst st{};
    MemIn in(Bytes{0x0E, 0x31, 0x80}, 1);
    MemOut out(0);
    std::uint32_t lim = ZULZ_NOLIMIT;
    zubfma = [](std::size_t) -> void * { return nullptr; };
    const unsigned status = zulzdc(in.s, out.s, &st, &lim);
    zuetcb *t = zuetmk(14, 18);
    zubfma = std::malloc;
    EXPECT_TRUE(status == ZUSD_NOMEM && !t && !st.table);
    EXPECT_EQ(zulzdc(in.s, out.s, &st, &lim), ZUSD_NOMEM); /* stays failed */
    EXPECT_EQ(run_twice(true, memfile(stream_of("@alice29.txt_"), "r"), std::fopen("/dev/full", "w")), ZUSD_WRERR);
    EXPECT_EQ(run_twice(false, memfile(input_of("rand 3 400000 256"), "r"), std::fopen("/dev/full", "w")),
              ZUSD_WRERR);
    for (bool dec : {true, false}) /* a directory opens, but every read fails */
        EXPECT_EQ(run_twice(dec, std::fopen("/tmp", "r"), std::fopen("/dev/null", "w")), ZUSD_RDERR);
}

/* Text-like bytes, each a function of its position only, so that the same
 * bytes come however they are read in pieces; written, they are compared. */
struct Gen {
    std::uint64_t at, total;
    bool same = true;
    unsigned char next() {
        static const char words[] = "alpha beta gamma delta\nepsilon zeta eta theta, iota kappa ";
        const std::uint64_t word = (at / 16) * 0x9E3779B97F4A7C15ull;
        return words[(at++ % 16 + (word >> 59)) % (sizeof words - 1)];
    }
};
const cookie_io_functions_t gen_io{
    [](void *g, char *buf, size_t n) -> ssize_t {
        auto *gen = static_cast<Gen *>(g);
        size_t i = 0;
        for (; i < n && gen->at < gen->total; ++i) buf[i] = gen->next();
        return i;
    },
    [](void *g, const char *buf, size_t n) -> ssize_t {
        auto *gen = static_cast<Gen *>(g);
        for (size_t i = 0; i < n; ++i) gen->same &= gen->at < gen->total && (unsigned char)buf[i] == gen->next();
        return n;
    },
    nullptr, nullptr};

/* Encode `total` generated bytes into a file and decode them into a sink
 * that checks them, without ever holding them; the counts start at `base`
 * (as if that much had been written before): past 4 GiB an unlimited run
 * goes on, its limit saturated. */
void whole_stream(std::uint64_t total, std::uint64_t base) {
    zutest::TempDir dir("zulz_big");
    const std::string path = dir / "z";
    Gen gen{0, total}, check{0, total};
    zubfcb *in = zubfcr(fopencookie(&gen, "r", gen_io), 1, 0), *out = zubfcr(std::fopen(path.c_str(), "w"), 0, 1);
    zulzecst est = encoder();
    out->count = base;
    std::uint32_t lim = ZULZ_NOLIMIT;
    EXPECT_EQ(zulzec(in, out, &est, 14, &lim), 0u);
    EXPECT_TRUE(zulzecdn(&est) && in->count == total && lim == std::min<std::uint64_t>(out->count, ~0u));
    EXPECT_EQ(zubfcl(out, ZUBF_FLUSH) + zubfcl(in, 0), 2);
    zuetds(est.table);
    in = zubfcr(std::fopen(path.c_str(), "r"), 1, 1);
    out = zubfcr(fopencookie(&check, "w", gen_io), 0, 0);
    zulzdcst st{};
    st.produced = st.delivered = base / 2; /* the window's own count */
    out->count = base;
    lim = ZULZ_NOLIMIT;
    EXPECT_EQ(zulzdc(in, out, &st, &lim), 0u);
    EXPECT_EQ(zulzdcck(&st), 0u);
    EXPECT_TRUE(out->count == base + total && lim == std::min<std::uint64_t>(out->count, ~0u));
    EXPECT_EQ(zubfcl(out, 0) + zubfcl(in, 0), 2);
    zudtds(st.table);
    EXPECT_TRUE(check.at == total && check.same);
}

TEST(ZulzRoundTrip, GeneratedStreamThroughFiles) {
    whole_stream((std::uint64_t(3) << 20) + 777, 0xFFFFFFFFull - 1000);
}

TEST(ZulzBig, WholeStreamPastFourGiB) {
    const char *big = std::getenv("ZU_BIG_TESTS");
    if (!big || std::string(big) != "1") GTEST_SKIP() << "set ZU_BIG_TESTS=1 to run";
    whole_stream((std::uint64_t(9) << 29) + 12345, 0); /* 4.5 GiB and some */
}

}  // namespace
