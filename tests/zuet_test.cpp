/* Tests of the encoder's string table: literals, the order of assigned
 * codes and their lookup, the width rule, the full table, pairs added twice,
 * resets over many generations, the limits by width and allocation. */
#include "zuet.h"

#include "zubf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

TEST(Zuet, FillsToItsLimitWithTheWidthRuleAndPairsAddedTwiceKeepTheirFirstCode) {
    zuetcb *t = zuetmk(14, 18);
    ASSERT_NE(t, nullptr);
    for (unsigned b = 0; b < 256; ++b) ASSERT_EQ(zuetlu(t, 0, b), b + 2);
    std::mt19937 rng(1);
    for (unsigned code = 258; code <= 16382; ++code) {
        /* Prefixes literal and longer, some pairs twice. */
        const std::uint16_t prefix = code % 5 ? 2 + rng() % (code - 2) : 2 + rng() % 300;
        const std::uint8_t ch = code % 5 ? rng() : 'q';
        const std::uint16_t before = zuetlu(t, prefix, ch);
        ASSERT_EQ(zuetbn(t, prefix, ch), 1);
        ASSERT_EQ(t->next, code);
        ASSERT_EQ(zuetlu(t, prefix, ch), before == 0 ? code : before);
        unsigned want = 9;
        while (code >= (1u << want)) ++want;
        ASSERT_EQ(zuetgb(t), want) << code;
    }
    EXPECT_EQ(zuetbn(t, 5, 'x'), 0);
    EXPECT_EQ(t->next, 16382);
    zuetbs(t);
    EXPECT_EQ(t->next, 257);
    EXPECT_EQ(zuetgb(t), 9u);
    EXPECT_EQ(zuetlu(t, 300, 'q') + zuetlu(t, 20, 'q'), 0);
    zuetds(t);
}

/* Pairs of both kinds over many resets, each round with other codes for
 * the same pairs: nothing of an earlier round is ever found. Rows: more
 * resets than the slot tags count, and 9-bit codes from a generation past
 * the last one. */
TEST(Zuet, ResetsForgetEveryEarlierRound) {
    const unsigned rows[][4] = {{14, 600, 1200, 0}, {9, 6, 200, 300}};
    for (const auto &[maxbits, rounds, end, gen] : rows) {
        zuetcb *t = zuetmk(maxbits, 0);
        ASSERT_NE(t, nullptr);
        if (gen) t->gen = gen;
        for (unsigned round = 0; round < rounds; ++round) {
            zuetbs(t);
            const unsigned first = 2 + round % 7; /* shifts the codes each round */
            for (unsigned p = first; p < end; p += 3) ASSERT_EQ(zuetlu(t, p, 'q'), 0) << round << " " << p;
            for (unsigned p = first, code = 258; p < end; p += 3, ++code) {
                ASSERT_EQ(zuetbn(t, p, 'q'), 1);
                ASSERT_EQ(zuetlu(t, p, 'q'), code) << round;
            }
        }
        EXPECT_TRUE(gen == 0 || t->gen < 10u) << t->gen; /* wrapped and cleared */
        zuetds(t);
    }
}

int calls, failing;
void *fail_nth(std::size_t n) {
    return ++calls == failing ? nullptr : std::malloc(n);
}

TEST(Zuet, LimitsByWidthAndAllocationFailures) {
    const unsigned rows[][2] = {{0, 510}, {9, 510}, {10, 1022}, {12, 4094}, {14, 16382}, {16, 65534}};
    for (const auto &[width, limit] : rows) {
        zuetcb *t = zuetmk(width, 18);
        ASSERT_NE(t, nullptr) << width;
        EXPECT_EQ(t->limit, limit) << width;
        zuetds(t);
    }
    EXPECT_EQ(zuetmk(17, 18), nullptr);
    EXPECT_EQ(zuetmk(14, 19), nullptr);
    zubfma = fail_nth;
    for (failing = 1; failing <= 3; ++failing, calls = 0) EXPECT_EQ(zuetmk(14, 18), nullptr) << failing;
    zubfma = std::malloc;
}

}  // namespace
