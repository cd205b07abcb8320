/* Tests of the decoder's string table: the reset state, the widening
 * points, the full table, relinking, header values and allocation. */
#include "zudt.h"

#include "zubf.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(Zudt, ResetState) {
    zudtcb *t = zudtmk(14);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->maxcode, 16383u);
    EXPECT_EQ(t->next, 257);
    EXPECT_EQ(t->width, 9u);
    for (unsigned b = 0; b < 256; ++b) {
        EXPECT_EQ(t->ent[b + 2], b << 16);
        EXPECT_EQ(t->len[b + 2], 1);
    }
    zudtds(t);
}

TEST(Zudt, WidthGrowsAfter511And1023AndTheTableStopsAt16382) {
    zudtcb *t = zudtmk(14);
    ASSERT_NE(t, nullptr);
    for (unsigned code = 258; code <= 16382; ++code) {
        ASSERT_EQ(zudtad(t, static_cast<std::uint16_t>(code - 1), 'a'), 1);
        /* The width grows right after 511, 1023, ... are assigned. */
        unsigned want = 9;
        while (code >= (1u << want) - 1) ++want;
        ASSERT_EQ(t->width, want) << code;
    }
    EXPECT_EQ(t->len[16382], 16382 - 256);
    EXPECT_EQ(zudtad(t, 5, 'b'), 0); /* 16383 is never made */
    EXPECT_EQ(t->next, 16382);
    EXPECT_EQ(t->width, 14u);
    zudtbs(t);
    EXPECT_EQ(t->next, 257);
    EXPECT_EQ(t->width, 9u);
    zudtds(t);
}

TEST(Zudt, RelinkAndRestore) {
    zudtcb *t = zudtmk(12);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(zudtad(t, 99, 'z'), 1);
    const std::uint32_t before = t->ent[258];
    const std::uint16_t old = zudtrb(t, 258, 7);
    EXPECT_EQ(old, 99);
    EXPECT_EQ(t->ent[258], (std::uint32_t('z') << 16) | 7u);
    EXPECT_EQ(zudtrb(t, 258, old), 7);
    EXPECT_EQ(t->ent[258], before);
    zudtds(t);
}

TEST(Zudt, EntryCountsByHeader) {
    const unsigned rows[][2] = {{0, 511},    {9, 511},    {10, 1023},  {14, 16383},
                                {15, 32767}, {16, 65535}, {17, 65535}, {18, 65535}};
    for (const auto &[header, maxcode] : rows) {
        zudtcb *t = zudtmk(header);
        ASSERT_NE(t, nullptr) << header;
        EXPECT_EQ(t->maxcode, maxcode) << header;
        zudtds(t);
    }
    EXPECT_EQ(zudtmk(19), nullptr);
    /* The widest table fills to 65534 with 16-bit codes. */
    zudtcb *t = zudtmk(16);
    ASSERT_NE(t, nullptr);
    while (zudtad(t, 2, 'a')) {
    }
    EXPECT_EQ(t->next, 65534);
    EXPECT_EQ(t->width, 16u);
    zudtds(t);
}

int calls;
void *fail_nth(std::size_t n) {
    return ++calls == 4 ? nullptr : std::malloc(n);
}

TEST(Zudt, AllocationFailureGivesNone) {
    zubfma = [](std::size_t) -> void * { return nullptr; };
    EXPECT_EQ(zudtmk(14), nullptr);
    calls = 0;
    zubfma = fail_nth; /* a later allocation fails: the earlier ones are freed */
    EXPECT_EQ(zudtmk(14), nullptr);
    zubfma = std::malloc;
}

}  // namespace
