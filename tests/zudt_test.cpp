/* Tests of the decoder's string table: the widening points, the full table,
 * relinking and reset; the entries and the output window for every header;
 * allocation. */
#include "zudt.h"

#include "zubf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

TEST(Zudt, WidthGrowsAfter511And1023AndTheTableStopsAt16382) {
    zudtcb *t = zudtmk(14);
    ASSERT_NE(t, nullptr);
    for (unsigned code = 258; code <= 16382; ++code) {
        ASSERT_EQ(zudtad(t, code - 1, 'a'), 1);
        unsigned want = 9; /* the width grows right after 511, 1023, ... are assigned */
        while (code >= (1u << want) - 1) ++want;
        ASSERT_EQ(t->width, want) << code;
    }
    EXPECT_EQ(t->len[16382], 16382 - 256);
    EXPECT_EQ(zudtad(t, 5, 'b'), 0); /* 16383 is never made */
    EXPECT_EQ(t->next, 16382);
    EXPECT_EQ(zudtrb(t, 16382, 7), 16381); /* a relink gives back the former link */
    EXPECT_EQ(t->ent[16382], (std::uint32_t('a') << 16) | 7u);
    EXPECT_EQ(zudtrb(t, 100, 5), 0);
    zudtbs(t); /* the literals are whole again */
    EXPECT_EQ(t->next, 257);
    EXPECT_EQ(t->width, 9u);
    for (unsigned b = 0; b < 256; ++b) ASSERT_TRUE(t->ent[b + 2] == b << 16 && t->len[b + 2] == 1) << b;
    zudtds(t);
}

/* 2^h entries for header h, at least 512 and at most 65536; past the part
 * kept at a slide the window holds the table's longest string and the byte
 * that may follow it, in no more than four bytes per entry (at least 64
 * KiB). Stored streams reach neither for wide tables. */
TEST(Zudt, EntriesAndWindowByHeader) {
    for (unsigned h = 0; h <= 18; ++h) {
        zudtcb *t = zudtmk(h);
        ASSERT_NE(t, nullptr) << h;
        EXPECT_EQ(t->maxcode, h <= 9 ? 511u : h <= 16 ? (1u << h) - 1 : 65535u) << h;
        EXPECT_GE(t->winsz - t->keep, t->maxcode - 1 - 256 + 1) << h;
        EXPECT_LE(t->winsz, std::max<std::uint32_t>(4 * (t->maxcode + 1), 64 * 1024)) << h;
        while (h == 16 && zudtad(t, 2, 'a')) {
        }
        EXPECT_TRUE(h != 16 || (t->next == 65534 && t->width == 16)) << t->next << " " << t->width;
        zudtds(t);
    }
    EXPECT_EQ(zudtmk(19), nullptr);
}

int calls;
void *fail_fourth(std::size_t n) {
    return ++calls == 4 ? nullptr : std::malloc(n);
}

TEST(Zudt, AllocationFailureGivesNone) {
    zubfma = [](std::size_t) -> void * { return nullptr; };
    EXPECT_EQ(zudtmk(14), nullptr);
    zubfma = fail_fourth; /* a later allocation fails: the earlier ones are freed */
    EXPECT_EQ(zudtmk(14), nullptr);
    zubfma = std::malloc;
}

}  // namespace
