/* Tests of the encoder's string table: literals, the order of assigned
 * codes and their lookup, the width rule and the full table for every
 * width, pairs added twice, resets over many generations and allocation. */
#include "zuet.h"

#include "zubf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

/* Prefixes literal and longer; every fifth pair from a small set, so that
 * many are added twice: a lookup finds the first code. */
TEST(Zuet, FillsToTheLimitOfItsWidthAndPairsAddedTwiceKeepTheirFirstCode) {
    const unsigned rows[][2] = {{0, 510}, {9, 510}, {10, 1022}, {12, 4094}, {14, 16382}, {16, 65534}};
    for (const auto &[bits, limit] : rows) {
        zuetcb *t = zuetmk(bits, 18);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->limit, limit);
        for (unsigned b = 0; b < 256; ++b) ASSERT_EQ(zuetlu(t, 0, b), b + 2);
        std::mt19937 rng(bits);
        for (unsigned code = 258; code <= limit; ++code) {
            const std::uint16_t prefix = 2 + rng() % (code % 5 ? code - 2 : 300);
            const std::uint8_t ch = code % 5 ? rng() : 'q';
            const std::uint16_t before = zuetlu(t, prefix, ch);
            ASSERT_EQ(zuetbn(t, prefix, ch), 1);
            ASSERT_EQ(zuetlu(t, prefix, ch), before ? before : code);
            unsigned want = 9;
            while (code >= (1u << want)) ++want;
            ASSERT_TRUE(t->next == code && zuetgb(t) == want) << code;
        }
        EXPECT_TRUE(zuetbn(t, 5, 'x') == 0 && t->next == limit);
        zuetbs(t);
        EXPECT_TRUE(t->next == 257 && zuetgb(t) == 9 && zuetlu(t, 300, 'q') + zuetlu(t, 20, 'q') == 0);
        zuetds(t);
    }
    EXPECT_EQ(zuetmk(17, 18), nullptr);
    EXPECT_EQ(zuetmk(14, 19), nullptr);
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
        t->gen = gen ? gen : t->gen;
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

TEST(Zuet, AllocationFailureGivesNone) {
    zubfma = fail_nth;
    for (failing = 1; failing <= 3; ++failing, calls = 0) EXPECT_EQ(zuetmk(14, 18), nullptr) << failing;
    zubfma = std::malloc;
}

}  // namespace
