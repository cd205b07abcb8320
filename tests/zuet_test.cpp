/* Tests of the encoder's string table: literals after a reset, the order of
 * assigned codes, the full table, the width rule, pairs added twice, and
 * resets over many generations. */
#include "zuet.h"

#include "zubf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

TEST(Zuet, ResetHoldsTheLiterals) {
    zuetcb *t = zuetmk(14, 18);
    ASSERT_NE(t, nullptr);
    for (unsigned b = 0; b < 256; ++b) EXPECT_EQ(zuetlu(t, 0, static_cast<std::uint8_t>(b)), b + 2);
    EXPECT_EQ(t->next, 257);
    EXPECT_EQ(t->limit, 16382);
    EXPECT_EQ(zuetgb(t), 9u);
    EXPECT_EQ(zuetlu(t, 300, 'a'), 0);
    zuetds(t);
}

TEST(Zuet, FillsToItsLimitWithTheWidthRule) {
    zuetcb *t = zuetmk(14, 18);
    ASSERT_NE(t, nullptr);
    std::mt19937 rng(1);
    for (unsigned code = 258; code <= 16382; ++code) {
        const auto prefix = static_cast<std::uint16_t>(2 + rng() % (code - 2));
        const auto ch = static_cast<std::uint8_t>(rng());
        const std::uint16_t before = zuetlu(t, prefix, ch);
        ASSERT_EQ(zuetbn(t, prefix, ch), 1);
        ASSERT_EQ(t->next, code);
        /* A pair already present keeps its first code. */
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
    EXPECT_EQ(zuetbn(t, 5, 'x'), 1);
    EXPECT_EQ(zuetlu(t, 5, 'x'), 258);
    zuetds(t);
}

/* A pair added twice gets two codes; the first is the one found, for a
 * literal prefix and for a longer one. */
TEST(Zuet, PairAddedTwiceKeepsItsFirstCode) {
    for (std::uint16_t prefix : {99, 300}) {
        zuetcb *t = zuetmk(14, 18);
        ASSERT_NE(t, nullptr);
        ASSERT_EQ(zuetbn(t, prefix, 'a'), 1);
        ASSERT_EQ(zuetbn(t, prefix, 'a'), 1);
        ASSERT_EQ(zuetbn(t, 258, 'a'), 1);
        EXPECT_EQ(t->next, 260);
        EXPECT_EQ(zuetlu(t, prefix, 'a'), 258) << prefix;
        EXPECT_EQ(zuetlu(t, 258, 'a'), 260) << prefix;
        EXPECT_EQ(zuetlu(t, prefix, 'b'), 0) << prefix;
        zuetds(t);
    }
}

/* Pairs of both kinds (literal and longer prefixes) over many resets, each
 * round with other codes for the same pairs: nothing of an earlier round is
 * ever found. Rows: more resets than the slot tags count, and resets across
 * the end of the generation counter. */
TEST(Zuet, ResetsForgetEveryEarlierRound) {
    const struct {
        unsigned maxbits, sizeidx, rounds, pairs_end, gen;
    } rows[] = {{14, 18, 600, 1200, 0}, {9, 0, 6, 200, (1u << 24) - 3}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.maxbits);
        zuetcb *t = zuetmk(r.maxbits, r.sizeidx);
        ASSERT_NE(t, nullptr);
        if (r.gen) t->gen = r.gen;
        for (unsigned round = 0; round < r.rounds; ++round) {
            zuetbs(t);
            const unsigned first = 2 + round % 7; /* shifts the codes each round */
            for (unsigned p = first; p < r.pairs_end; p += 3)
                ASSERT_EQ(zuetlu(t, static_cast<std::uint16_t>(p), 'q'), 0) << round << " " << p;
            std::uint16_t code = 257;
            for (unsigned p = first; p < r.pairs_end; p += 3) {
                ASSERT_EQ(zuetbn(t, static_cast<std::uint16_t>(p), 'q'), 1);
                ASSERT_EQ(zuetlu(t, static_cast<std::uint16_t>(p), 'q'), ++code) << round;
            }
        }
        EXPECT_TRUE(r.gen == 0 || t->gen < 10u) << t->gen; /* wrapped and cleared */
        zuetds(t);
    }
}

TEST(Zuet, LimitsByWidth) {
    const unsigned rows[][2] = {{0, 510},   {9, 510},    {10, 1022},
                                {12, 4094}, {14, 16382}, {16, 65534}};
    for (const auto &[width, limit] : rows) {
        zuetcb *t = zuetmk(width, 18);
        ASSERT_NE(t, nullptr) << width;
        EXPECT_EQ(t->limit, limit) << width;
        zuetds(t);
    }
    EXPECT_EQ(zuetmk(17, 18), nullptr);
    EXPECT_EQ(zuetmk(14, 19), nullptr);
}

int calls, failing;
void *fail_nth(std::size_t n) {
    return ++calls == failing ? nullptr : std::malloc(n);
}

TEST(Zuet, AllocationFailureGivesNone) {
    zubfma = fail_nth;
    for (failing = 1; failing <= 3; ++failing) {
        calls = 0;
        EXPECT_EQ(zuetmk(14, 18), nullptr) << "allocation " << failing;
    }
    zubfma = std::malloc;
}

}  // namespace
