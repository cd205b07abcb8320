/* Tests of the string tables. The encoder's: literals, the order of
 * assigned codes and their lookup, the width rule and the full table for
 * every width, pairs added twice, resets over many generations; allocation.
 * The decoder's, for every header: the entries, the widening points, the
 * full table, relinking and reset, the output window; allocation. */
#include "zudt.h"
#include "zuet.h"

#include "testutil.h"
#include "zubf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

namespace {

/* Each round fills the table from a fresh reset with other pairs (literal
 * and longer prefixes, every fifth from a small set, so that many come
 * twice: a lookup finds the first code); nothing of an earlier round is
 * ever found. 9-bit tables go through more resets than the slot tags
 * count. */
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
                const std::uint16_t prefix = 2 + rng() % (code % 5 ? code - 2 : 300);
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
            zuetbs(t);
            EXPECT_TRUE(t->next == 257 && zuetgb(t) == 9);
        }
        EXPECT_TRUE(t->gen == 600 % 255 + 1 || rounds < 255) << t->gen; /* wrapped and cleared */
        zuetds(t);
    }
    EXPECT_TRUE(zuetmk(17, 18) == nullptr && zuetmk(14, 19) == nullptr);
    zubfma = zutest::failing_alloc;
    for (int n = 1; n <= 3; ++n) {
        zutest::alloc_calls = 0, zutest::alloc_fails_at = n;
        EXPECT_EQ(zuetmk(14, 18), nullptr) << n;
    }
    zubfma = std::malloc;
}

/* 2^h entries for header h (at least 512, at most 65536), added up to
 * maxcode - 1 with the width growing right after 511, 1023, ... are
 * assigned; past the part kept at a slide the window holds the longest
 * string and the byte that may follow it, in four bytes per entry (at
 * least 64 KiB, at most 256 KiB); a slide keeps half of it. Stored streams
 * reach neither for wide tables.
 * When an allocation fails, the earlier ones are freed. */
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
    /* A late one (the first one, the codec's tests show). */
    zubfma = [](std::size_t n) { return n == 65536 * 2 ? nullptr : std::malloc(n); };
    EXPECT_EQ(zudtmk(14), nullptr);
    zubfma = std::malloc;
}

}  // namespace
