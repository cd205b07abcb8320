/* Tests of the decoder's string table for every header: the entries, the
 * widening points, the full table, relinking and reset, the output window;
 * allocation. */
#include "zudt.h"

#include "zubf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

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
