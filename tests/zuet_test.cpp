/* Tests of the encoder's string table: literals, the order of assigned
 * codes and their lookup, the width rule and the full table for every
 * width, pairs added twice, resets over many generations; allocation. */
#include "zuet.h"

#include "testutil.h"
#include "zubf.h"

#include <gtest/gtest.h>

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

}  // namespace
