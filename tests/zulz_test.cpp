/* Tests of the codec and the pieces it is made of. The buffered code
 * stream: the buffer's write rule, the failure messages, failed closes and
 * allocation failures. The encoder's string table: literals, the order of
 * assigned codes and their lookup, the width rule and the full table for
 * every width, pairs added twice, resets over many generations; allocation.
 * The decoder's, for every header: the entries, the widening points, the
 * full table, relinking and reset, the output window; allocation. The codec
 * itself: the stored reference streams (tests/data/zulz_streams.tsv)
 * made in one call and in random volumes, restored from random cuts under
 * random output limits and by the parallel decoder as by the serial one; the
 * parallel encoder's streams (tests/data/zulz_parallel.tsv); the decoder's
 * refusals (tests/data/zulz_decode.tsv); allocation, read and write
 * failures; a whole stream through files, with counts past 4 GiB (and past
 * 4 GiB of data when asked). (The thread count from ZU_THREADS is a row of
 * the process table, tests/data/szusd_proc_cases.tsv.) */
#include "../fuzz/fuzz_streams.h"
#include "testutil.h"
#include "zubf.h"
#include "zudt.h"
#include "zuet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sched.h>
#include <sstream>

namespace {

using namespace zufuzz;

/* The bytes a cell describes (zutest::content). */
Bytes bytes_of(const std::string &cell) {
    const std::string s = zutest::content(cell);
    return Bytes(s.begin(), s.end());
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
    for (const auto &row : zutest::table("zulz_streams.tsv")) {
        SCOPED_TRACE(row.at(0) + ", seed " + std::to_string(seed));
        const Bytes in = bytes_of(row[0]), want = bytes_of(row.at(2));
        /* One call, larger random limits, tiny ones (a suspension at nearly
         * every code), and on short streams every small limit. */
        for (std::uint32_t k = 0; k <= (want.size() < 40 ? 40 : 2); ++k) {
            if (k == 2 && want.size() >= 80000) continue;
            const auto limit_of = [&] {
                return k == 0 ? ~0u : k == 1 ? 3 + rng() % 5000 : k == 2 ? 3 + rng() % 4 : k;
            };
            const Encoded e = encode(in, limit_of, std::stoul(row.at(1)));
            ASSERT_TRUE(e.status == 0 && e.joined == want) << e.status;
        }
        /* Cuts anywhere under output limits from one byte up; streams below
         * 100 KB also at nearly every byte, short ones in two at every byte. */
        const bool small = in.size() + want.size() < 30000;
        for (std::size_t round = 0; round < (small ? want.size() + 5 : 3 + (want.size() < 1e5));
             ++round) {
            std::vector<std::size_t> at;
            const unsigned gap = round == 1 ? 70000 : 300;
            for (std::size_t k = rng() % 4000; k < want.size(); k += 1 + rng() % gap)
                at.push_back(k);
            const std::uint32_t step = round == 1 ? 1 + rng() % 3 : round ? 1 + rng() % 70000 : 0;
            const Decoded d = round < 3    ? decode(cut(want, at), step)
                              : round == 3 ? decode(want, 64, rng() % 4)
                                           : decode(cut(want, {round - 4}));
            ASSERT_TRUE(d.status == 0 && d.check == 0 && d.out == in)
                << "round " << round << ": " << d.status << ", " << d.check;
        }
        EXPECT_TRUE(!row[2].starts_with("file") || same_as_serial(want).out == in);
    }
}

/* Every code width, from the one the table starts with to the widest,
 * gives the plain greedy coder's stream, in one call and in small volumes:
 * the table's size and the encoder's loop follow the width. */
TEST(ZulzStreams, EveryWidthGivesTheGreedyCodersStream) {
    for (const char *cell : {"file alice29.txt", "rand 5 300000 256", "rand 6 200000 5"}) {
        const Bytes in = bytes_of(cell);
        for (unsigned bits = 9; bits <= 16; ++bits) {
            const Bytes want = greedy(in, bits);
            EXPECT_EQ(encode(in, [] { return ZULZ_NOLIMIT; }, bits).joined, want) << cell << bits;
            std::minstd_rand sizes(bits);
            EXPECT_EQ(encode(in, [&] { return 3 + sizes() % 3000; }, bits).joined, want)
                << cell << bits;
        }
    }
}

/* The documented streams for 2 and 3 threads (also in small output
 * pieces), hardly longer than serial ones, restored in parallel as
 * serially. (Broken and cut streams are the parallel fuzz target's,
 * replayed over its corpus.) */
TEST(ZulzParallel, EncoderGivesDocumentedStreamsRestoredAsSerially) {
    for (const auto &row : zutest::table("zulz_parallel.tsv")) {
        SCOPED_TRACE(row.at(0));
        const Bytes in = bytes_of(row[0]), want = bytes_of(row.at(1));
        EXPECT_TRUE(compress(in, 2) == want && compress(in, 3) == want);
        zulzppiece = 1000; /* every block in many pieces: the encoder stops and goes on */
        EXPECT_TRUE(compress(in, 3) == want);
        zulzppiece = 128u << 10;
        EXPECT_LT(double(want.size()), double(compress(in, 1).size()) * 1.005 + 4096);
        EXPECT_TRUE(same_as_serial(want).out == in);
        EXPECT_TRUE(restore(want, 2).out == in); /* default job sizes */
    }
}

/* Streams written from a header byte ("-": none) and "VALUE/WIDTH" codes
 * (xN repeats one), with every class of log record on; a stream that
 * restores also under an output limit of 0. (Other output limits are the
 * stream tests' and the copy engine's, which split decoded output into
 * pieces of given sizes.) */
TEST(ZulzDecode, StreamsNoWriterMakesAreRefusedOnce) {
    zutest::TempDir dir("zulz");
    int row = 0;
    for (auto r : zutest::table("zulz_decode.tsv")) {
        SCOPED_TRACE(r[0] + " " + r[1] + ": " + r[2]);
        Mem codes({}, 0, 1);
        if (r[0] != "-") zubfpb(codes.s, std::stoul(r[0]), 8);
        std::istringstream in(r[1]);
        for (std::string code; in >> code;) {
            unsigned v = 0, w = 0, times = 1;
            EXPECT_GE(std::sscanf(code.c_str(), "%u/%ux%u", &v, &w, &times), 2) << code;
            while (times-- > 0) zubfpb(codes.s, v, w);
        }
        const Bytes s = codes.close(ZUBF_FLUSH);
        zusdlg((dir / std::to_string(++row)).c_str(), 7);
        const Decoded d = decode({s});
        const bool ok = r[2].rfind("ok", 0) == 0, refused = r[2] == "refused";
        const unsigned bad = ZUSD_RDERR;
        EXPECT_TRUE(d.status == (refused ? bad : 0) && d.check == (ok ? 0 : bad));
        EXPECT_TRUE(!ok || r[2].size() < 4 || d.out == bytes_of(r[2].substr(3)));
        const std::string text = zutest::slurp(dir / std::to_string(row));
        const std::size_t at = text.find(refused ? "  zulzdc:" : "  zulzdc");
        EXPECT_TRUE(ok ? at == text.npos : at != text.npos && at == text.rfind("  zulzdc")) << text;
        EXPECT_TRUE(!refused || decode(s, 64, 1).status == ZUSD_RDERR); /* byte by byte */
        Decoder st; /* the first byte leaves even under an output limit of 0 */
        Mem one(s, 1, 1), out({}, 0, 0);
        std::uint32_t none = 0;
        EXPECT_TRUE(!ok || d.out.empty() || (zulzdc(one.s, out.s, &st, &none) == 0 && none == 1));
    }
}

/* 100000 letters, then a read that fails. */
const cookie_io_functions_t late_failure{
    [](void *left, char *buf, size_t n) -> ssize_t {
        std::size_t &rest = *static_cast<std::size_t *>(left), k = std::min(n, rest);
        rest -= k;
        return k ? (std::memset(buf, 'a' + k % 7, k), ssize_t(k)) : -1;
    },
    nullptr, nullptr, nullptr};

/* The decoder or encoder from a stream into /dev/null or /dev/full, called
 * twice (the first time out of memory when asked): a failed run stays
 * failed, and a failed write fails the close. */
TEST(Zulz, NoMemoryGives5ReadFailureGives20WriteFailureGives21) {
    std::size_t left = 100000;
    /* decoder?, from, into, out of memory?, status */
    const std::tuple<bool, std::FILE *, const char *, bool, unsigned> rows[] = {
        {true, memfile({0x0E, 0x31, 0x80}, "r"), "/dev/null", true, ZUSD_NOMEM},
        {true, memfile(bytes_of("file streams/rand2_"), "r"), "/dev/full", false, ZUSD_WRERR},
        {false, memfile(bytes_of("rand 3 400000 256"), "r"), "/dev/full", false, ZUSD_WRERR},
        /* a directory opens, but every read fails */
        {true, std::fopen("/tmp", "r"), "/dev/null", false, ZUSD_RDERR},
        {false, std::fopen("/tmp", "r"), "/dev/null", false, ZUSD_RDERR},
        {false, fopencookie(&left, "r", late_failure), "/dev/null", false, ZUSD_RDERR}};
    for (const auto &[dec, in, out, nomem, status] : rows) {
        zubfcb *i = zubfcr(in, 1, dec), *o = zubfcr(std::fopen(out, "w"), 0, !dec);
        Encoder est;
        Decoder dst;
        for (int call = 0; call < 2; ++call) {
            std::uint32_t lim = ZULZ_NOLIMIT;
            if (nomem && !call) zubfma = [](std::size_t) -> void * { return nullptr; };
            EXPECT_EQ(dec ? zulzdc(i, o, &dst, &lim) : zulzec(i, o, &est, 14, &lim), status);
            zubfma = std::malloc;
        }
        zubfcl(i, 0);
        EXPECT_EQ(zubfcl(o, ZUBF_FLUSH), status != ZUSD_WRERR) << status;
    }
}

/* Encode `total` bytes of text from a pipe into a file and decode them into
 * a pipe, without ever holding them; the counts start at `base` (as if that
 * much had been written before): past 4 GiB an unlimited run goes on, its
 * limit saturated. */
void whole_stream(std::uint64_t total, std::uint64_t base) {
    zutest::TempDir dir("zulz_big");
    const std::string text = "yes 'alpha beta, gamma delta' | head -c " + std::to_string(total);
    ASSERT_EQ(std::system((text + " | md5sum >" + dir / "sum").c_str()), 0);
    zubfcb *in = zubfcr(popen(text.c_str(), "r"), 1, 0);
    zubfcb *out = zubfcr(std::fopen((dir / "z").c_str(), "w"), 0, 1);
    Encoder est;
    out->count = base;
    std::uint32_t lim = ZULZ_NOLIMIT;
    EXPECT_TRUE(zulzec(in, out, &est, 14, &lim) == 0 && zulzecdn(&est) && in->count == total);
    EXPECT_EQ(lim, std::min(out->count, 0xFFFFFFFFul));
    EXPECT_EQ(zubfcl(out, ZUBF_FLUSH) + zubfcl(in, 0), 2);
    in = zubfcr(std::fopen((dir / "z").c_str(), "r"), 1, 1);
    out = zubfcr(popen(("md5sum >" + dir / "back").c_str(), "w"), 0, 0);
    Decoder st;
    st.produced = st.delivered = base / 2; /* the window's own count */
    out->count = base;
    lim = ZULZ_NOLIMIT;
    EXPECT_TRUE(!zulzdc(in, out, &st, &lim) && !zulzdcck(&st) && out->count == base + total);
    EXPECT_EQ(lim, std::min(out->count, 0xFFFFFFFFul));
    EXPECT_EQ(zubfcl(out, 0) + zubfcl(in, 0), 2);
    EXPECT_EQ(zutest::slurp(dir / "back"), zutest::slurp(dir / "sum"));
}

TEST(ZulzRoundTrip, GeneratedStreamThroughFiles) {
    whole_stream((std::uint64_t(3) << 20) + 777, 0xFFFFFFFFull - 1000);
}

TEST(ZulzBig, WholeStreamPastFourGiB) {
    const char *big = std::getenv("ZU_BIG_TESTS");
    if (!big || std::string(big) != "1") GTEST_SKIP() << "set ZU_BIG_TESTS=1 to run";
    whole_stream((std::uint64_t(9) << 29) + 12345, 0); /* 4.5 GiB and some */
}

/* Reads past the end and opens that fail leave their records; failed
 * writes and closes are reported; allocation failures. (Codes read and
 * written across bytes and volumes, the flush at the close and synced
 * closes, the codec's and the commands' tests show.) */
TEST(Zubf, FailedReadsOpensWritesClosesAndAllocations) {
    zutest::TempDir dir("zubf");
    zusdlg((dir / "log").c_str(), 1);
    zubfcb *s = zubfor(dir.file("codes", "\x0E\x31\xC0\x80").c_str(), "", "", "", 1);
    std::uint16_t code[4] = {}; /* 8 bits, then 9 and 9 across bytes, then past the end */
    unsigned char byte = 0;
    EXPECT_TRUE(zubfgb(s, &code[0], 8) && zubfgb(s, &code[1], 9) && zubfgb(s, &code[2], 9) &&
                !zubfgb(s, &code[3], 9) && code[0] == 14 && code[1] == 99 && code[2] == 258);
    zubfcl(s, 0);
    s = zubfor(dir.file("empty").c_str(), "", "", "", 0);
    EXPECT_EQ(zubfg1(s, &byte), 0);
    zubfcl(s, 0);
    const std::string no = dir / "no/such/file";
    EXPECT_TRUE(!zubfor(no.c_str(), "", "", "", 1) && !zubfow(no.c_str(), "", "", "", 1));
    for (const std::string &record : std::vector<std::string>{
             "zubfbc:  ZUSDRB( INfile ) -1  == ZUSDEO", "zubfg1:  ZUSDRB( INfile ) -1  == ZUSDEO",
             "zubfof:  ZUSDORB( " + no + " ) == ZUSDFN",
             "zubfof:  ZUSDOWB( " + no + " ) == ZUSDFN"})
        EXPECT_NE(zutest::slurp(dir / "log").find(record), std::string::npos) << record;
    /* /dev/full takes the open and refuses every write: of a full buffer,
     * once a further byte arrives; of a last partial byte at the close. */
    for (int bits : {8, 7}) {
        zubfcb *f = zubfcr(std::fopen("/dev/full", "w"), 0, 1);
        std::uint32_t n = 0;
        while (zubfpb(f, 1, bits) && n < 100000 && bits == 8) ++n;
        EXPECT_TRUE(f->bufsz == 49152 && n == (bits == 8 ? 49152u : 0u)) << n;
        EXPECT_EQ(zubfcl(f, ZUBF_FLUSH | ZUBF_SYNC), 0);
    }
    /* Block puts: small ones held in the buffer, large ones written straight
     * after what it holds; the bytes keep their order and count, and a
     * refused straight write fails the put. */
    std::string want;
    zubfcb *b = zubfcr(std::fopen((dir / "blocks").c_str(), "w"), 0, 0);
    for (std::size_t n : {10u, 4095u, 4096u, 3u, 70000u, 49152u, 1u}) {
        const std::string piece(n, static_cast<char>('a' + n % 26));
        ASSERT_EQ(zubfpn(b, reinterpret_cast<const unsigned char *>(piece.data()), n), 1) << n;
        want += piece;
        ASSERT_EQ(b->count, want.size());
    }
    EXPECT_EQ(zubfcl(b, ZUBF_FLUSH), 1);
    EXPECT_TRUE(zutest::slurp(dir / "blocks") == want);
    b = zubfcr(std::fopen("/dev/full", "w"), 0, 0);
    EXPECT_EQ(zubfpn(b, reinterpret_cast<const unsigned char *>(want.data()), 8192), 0);
    zubfcl(b, 0);
    zubfcb *c = zubfcr(std::fopen("/dev/null", "w"), 0, 0);
    close(fileno(c->fp)); /* the file's own close fails */
    EXPECT_EQ(zubfcl(c, 0), 0);
    zubfma = [](std::size_t) -> void * { return nullptr; };
    EXPECT_EQ(zubfow((dir / "x").c_str(), "", "", "", 1), nullptr);
    /* The record, then a failed 49152: 24576 is taken. */
    zubfma = [](std::size_t n) { return n == 49152 ? nullptr : std::malloc(n); };
    s = zubfow((dir / "x").c_str(), "", "", "", 1);
    zubfma = std::malloc;
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->bufsz, 24576u);
    zubfcl(s, 0);
}

/* Each round fills the table from a fresh reset with other pairs (literal
 * and longer prefixes, every fifth from a small set, so that many come
 * twice: a lookup finds the first code); nothing of an earlier round is
 * ever found. */
TEST(Zuet, FillsToTheLimitOfItsWidthAndForgetsEveryEarlierRound) {
    const unsigned rows[][3] = {{0, 510, 600}, {9, 510, 3},    {10, 1022, 3},
                                {12, 4094, 2}, {14, 16382, 2}, {16, 65534, 1}};
    for (const auto &[bits, limit, rounds] : rows) {
        zuetcb *t = zuetmk(bits, 18);
        ASSERT_TRUE(t && t->limit == limit) << bits;
        for (unsigned b = 0; b < 256; ++b) ASSERT_EQ(zuetlu(t, 0, b), b + 2);
        std::mt19937 rng(bits);
        for (unsigned round = 0; round < rounds; ++round) {
            std::map<unsigned, unsigned> had; /* this round's pairs (key: character, prefix) */
            for (unsigned code = 258; code <= limit; ++code) {
                const std::uint16_t prefix = 2 + rng() % (code % 5 ? code - 2 : std::min(code - 2, 300u));
                const std::uint8_t ch = code % 5 ? rng() : 'q';
                const unsigned key = ch << 16 | prefix, before = had.count(key) ? had[key] : 0;
                ASSERT_EQ(zuetlu(t, prefix, ch), before) << round << " " << code;
                ASSERT_EQ(zuetbn(t, prefix, ch), 1);
                ASSERT_EQ(zuetlu(t, prefix, ch), had.emplace(key, code).first->second);
                unsigned want = 9;
                while (code >= (1u << want)) ++want;
                ASSERT_TRUE(t->next == code && zuetgb(t) == want) << code;
            }
            EXPECT_TRUE(zuetbn(t, 5, 'x') == 0 && t->next == limit);
            if (limit > 258) { /* a prefix that names no code yet: its pair is never found */
                zuetbs(t);
                EXPECT_TRUE(zuetbn(t, 259, 'x') == 1 && zuetbn(t, 259, 'x') == 1);
                EXPECT_TRUE(zuetlu(t, 259, 'x') == 0 && zuetlu(t, 259, 'y') == 0);
            }
            zuetbs(t);
            EXPECT_TRUE(t->next == 257 && zuetgb(t) == 9);
        }
        zuetds(t);
    }
    EXPECT_TRUE(zuetmk(17, 18) == nullptr && zuetmk(14, 19) == nullptr);
    zubfma = zutest::failing_alloc; /* each allocation of either table failing in turn */
    for (int n = 1; n <= 6; ++n) {
        zutest::alloc_calls = 0, zutest::alloc_fails_at = n;
        EXPECT_TRUE(n > 3 || zuetmk(14, 18) == nullptr) << n;
        zutest::alloc_calls = 0;
        EXPECT_EQ(zudtmk(14), nullptr) << n;
    }
    zubfma = std::malloc;
}

/* An input made to pile pairs onto the first `window` hash slots: after
 * random bytes, each step walks the string of a code that can take a
 * character whose pair starts there, then that character. The input is
 * then repeated, so that matches also run through the piled pairs. Returns
 * the pairs added before the repeat (key: character x 65536 + prefix). */
Bytes piled_input(unsigned window, std::map<unsigned, unsigned> &dict) {
    std::mt19937 rng(7);
    Bytes in;
    std::vector<Bytes> str(16384);
    std::vector<std::vector<unsigned>> starting(256); /* codes by first byte */
    unsigned next = 257, ent = 0;
    zuetcb *t = zuetmk(14, 18); /* placed as the encoder places them */
    auto feed = [&](std::uint8_t b) {
        in.push_back(b);
        const unsigned key = b << 16 | ent;
        if (ent != 0 && dict.count(key)) return void(ent = dict[key]);
        if (ent != 0) {
            zuetbn(t, static_cast<std::uint16_t>(ent), b);
            str[dict[key] = ++next] = ent < 258 ? Bytes{std::uint8_t(ent - 2)} : str[ent];
            str[next].push_back(b);
            starting[str[next][0]].push_back(next);
        }
        ent = b + 2;
    };
    for (int i = 0; i < 6000; ++i) feed(rng());
    const unsigned mask = t->size - 1;
    for (int piled = 0; piled < 400;) {
        if (ent >= 258) feed(rng());
        bool found = false;
        for (unsigned p : ent < 258 ? starting[ent - 2] : std::vector<unsigned>{})
            for (unsigned c = 0; c < 256 && !found; ++c)
                if (!dict.count(c << 16 | p) && zueths(t->slot[p], c, mask) < window) {
                    for (std::size_t k = 1; k < str[p].size(); ++k) feed(str[p][k]);
                    feed(c), ++piled, found = true;
                }
        if (!found) feed(rng());
    }
    zuetds(t);
    const Bytes once = in;
    in.insert(in.end(), once.begin(), once.end());
    return in;
}

/* Pairs piled onto one run of slots far past the distance a slot records
 * are still found by the table and by the encoder's loop: the stream is the
 * plain coder's, in one call and in small volumes, and it restores. */
TEST(Zuet, PairsPiledOntoOneRunOfSlotsAreFoundAndCodedAsAnyOther) {
    std::map<unsigned, unsigned> dict;
    const Bytes in = piled_input(64, dict);
    zuetcb *t = zuetmk(14, 18);
    std::vector<std::pair<unsigned, unsigned>> by_code;
    for (const auto &[key, code] : dict) by_code.emplace_back(code, key);
    std::sort(by_code.begin(), by_code.end());
    for (const auto &[code, key] : by_code) ASSERT_EQ(zuetbn(t, key & 0xFFFF, key >> 16), 1);
    for (const auto &[code, key] : by_code) ASSERT_EQ(zuetlu(t, key & 0xFFFF, key >> 16), code);
    EXPECT_EQ(zuetlu(t, 300, 'x'), dict.count('x' << 16 | 300) ? dict['x' << 16 | 300] : 0);
    unsigned far = 0;
    for (unsigned h = 0; h < t->size; ++h) far += t->slots[h] >> 10 == zuetfd + 1;
    EXPECT_GT(far, 100u);
    zuetds(t);
    const Bytes want = greedy(in);
    EXPECT_EQ(encode(in, [] { return ZULZ_NOLIMIT; }).joined, want);
    std::minstd_rand sizes(3);
    EXPECT_EQ(encode(in, [&] { return 3 + sizes() % 200; }).joined, want);
    const Decoded back = decode(want, 0, 0);
    EXPECT_TRUE(back.status == 0 && back.out == in);
}

/* 2^h entries for header h (at least 512, at most 65536), added up to
 * maxcode - 1 with the width growing right after 511, 1023, ... are
 * assigned; past the part kept at a slide the window holds the longest
 * string and the byte that may follow it, in four bytes per entry (at
 * least 64 KiB, at most 256 KiB); a slide keeps half of it. Stored streams
 * reach neither for wide tables.
 * (Allocation failures: with the encoder's table's.) */
TEST(Zudt, EntriesWidthsAndWindowByHeaderAndAllocationFailures) {
    for (unsigned h = 0; h <= 19; ++h) {
        zudtcb *t = zudtmk(h);
        ASSERT_EQ(t == nullptr, h == 19) << h;
        if (!t) break;
        EXPECT_EQ(t->maxcode, h <= 9 ? 511u : h <= 16 ? (1u << h) - 1 : 65535u) << h;
        EXPECT_GE(t->winsz - t->keep, t->maxcode - 256) << h;
        EXPECT_TRUE(t->winsz == std::clamp(4 * (t->maxcode + 1), 64u << 10, 256u << 10) &&
                    t->keep == t->winsz / 2)
            << h;
        for (unsigned code = 258; code < t->maxcode; ++code) {
            ASSERT_EQ(zudtad(t, code - 1, 'a'), 1);
            unsigned want = 9;
            while (code >= (1u << want) - 1) ++want;
            ASSERT_EQ(t->width, want) << code;
        }
        EXPECT_EQ(zudtad(t, 5, 'b'), 0); /* maxcode itself is never made */
        EXPECT_EQ(t->len[t->next], t->maxcode - 1 - 256);
        EXPECT_EQ(zudtrb(t, t->next, 7), t->next - 1); /* a relink gives back the former link */
        EXPECT_EQ(t->ent[t->next], (std::uint32_t('a') << 16) | 7u);
        EXPECT_EQ(zudtrb(t, 100, 5), 0);
        zudtbs(t); /* the literals are whole again */
        EXPECT_TRUE(t->next == 257 && t->width == 9);
        for (unsigned b = 0; b < 256; ++b)
            ASSERT_TRUE(t->ent[b + 2] == b << 16 && t->len[b + 2] == 1) << b;
        zudtds(t);
    }
}

}  // namespace
