/* The decoder's output window for every header: past the part kept at a
 * slide it holds the table's longest string and the byte that may follow
 * it, and it spends no more than four bytes per table entry (at least
 * 64 KiB) on it. Stored streams reach neither the longest strings of wide
 * tables (half a gigabyte of output) nor the size itself. */
#include "zudt.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(ZudtWindow, HoldsTheLongestStringInFourBytesPerEntry) {
    for (unsigned header = 0; header <= 18; ++header) {
        zudtcb *t = zudtmk(header);
        ASSERT_NE(t, nullptr) << header;
        /* Code k's string has at most k - 256 bytes; the highest code made
         * is maxcode - 1. */
        const std::uint32_t longest = t->maxcode - 1 - 256;
        EXPECT_GE(t->winsz - t->keep, longest + 1) << header;
        EXPECT_LE(t->winsz, std::max<std::uint32_t>(4 * (t->maxcode + 1), 64 * 1024)) << header;
        zudtds(t);
    }
}

}  // namespace
