// The string primitives: bounded copies at their limits, null handling,
// letter folding, whitespace sets, replace-all and the number parsers.
#include "zutx.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

TEST(ZutxLength, CountsModulo65536) {
    EXPECT_EQ(zutxln(nullptr), 0);
    EXPECT_EQ(zutxln(""), 0);
    EXPECT_EQ(zutxln("abc"), 3);
    const std::string big(65536 + 7, 'x');
    EXPECT_EQ(zutxln(big.c_str()), 7);
    const std::string top(65535, 'x');
    EXPECT_EQ(zutxln(top.c_str()), 65535);
}

TEST(ZutxCopy, StopsAtLimitAndTerminates) {
    char dst[16];
    std::memset(dst, '#', sizeof dst);
    EXPECT_EQ(zutxcp(dst, "0123456789", 4), 4);
    EXPECT_STREQ(dst, "0123");
    EXPECT_EQ(dst[5], '#');  // nothing beyond limit + terminator

    std::memset(dst, '#', sizeof dst);
    EXPECT_EQ(zutxcp(dst, "0123456789", 0), 0);
    EXPECT_EQ(dst[0], '\0');
    EXPECT_EQ(dst[1], '#');

    EXPECT_EQ(zutxcp(dst, "abc", 65535), 3);
    EXPECT_STREQ(dst, "abc");
    EXPECT_EQ(zutxcp(dst, "", 10), 0);
    EXPECT_STREQ(dst, "");
}

TEST(ZutxCopy, NullWritesNothing) {
    char dst[4] = {'k', 'e', 'e', 'p'};
    EXPECT_EQ(zutxcp(dst, nullptr, 3), 0);
    EXPECT_EQ(std::memcmp(dst, "keep", 4), 0);
    EXPECT_EQ(zutxcp(nullptr, "abc", 3), 0);
    EXPECT_EQ(zutxct(dst, nullptr, 3), 0);
    EXPECT_EQ(std::memcmp(dst, "keep", 4), 0);
    EXPECT_EQ(zutxct(nullptr, "abc", 3), 0);
}

TEST(ZutxAppend, ReturnsCountAppended) {
    char dst[16] = "abc";
    EXPECT_EQ(zutxct(dst, "def", 65535), 3);
    EXPECT_STREQ(dst, "abcdef");
    EXPECT_EQ(zutxct(dst, "ghijk", 2), 2);
    EXPECT_STREQ(dst, "abcdefgh");
    EXPECT_EQ(zutxct(dst, "zz", 0), 0);
    EXPECT_STREQ(dst, "abcdefgh");
}

TEST(ZutxEmpty, NullIsNotEmpty) {
    EXPECT_EQ(zutxnl(nullptr), 0u);
    EXPECT_EQ(zutxnl(""), 1u);
    EXPECT_EQ(zutxnl(" "), 0u);
}

TEST(ZutxSame, FoldsOnlyAsciiLetters) {
    EXPECT_EQ(zutxsm("Makefile", "MAKEFILE", 65535), 1u);
    EXPECT_EQ(zutxsm("abc", "abcd", 65535), 0u);
    EXPECT_EQ(zutxsm("abcd", "abc", 65535), 0u);
    EXPECT_EQ(zutxsm("abc", "abcd", 3), 1u);
    EXPECT_EQ(zutxsm("abc", "abc", 65535), 1u);
    EXPECT_EQ(zutxsm("", "", 65535), 1u);
    EXPECT_EQ(zutxsm(nullptr, nullptr, 5), 1u);
    EXPECT_EQ(zutxsm(nullptr, "x", 5), 0u);
    EXPECT_EQ(zutxsm("x", nullptr, 5), 0u);
    EXPECT_EQ(zutxsm(nullptr, "x", 0), 1u);
    EXPECT_EQ(zutxsm("abc", "xyz", 0), 1u);
    // '@' (0x40) and '[' (0x5B) sit just outside 'A'-'Z' and do not fold;
    // neither do accented Latin-1 letters.
    EXPECT_EQ(zutxsm("@", "`", 1), 0u);
    EXPECT_EQ(zutxsm("[", "{", 1), 0u);
    EXPECT_EQ(zutxsm("Z", "z", 1), 1u);
    EXPECT_EQ(zutxsm("\xC9", "\xE9", 1), 0u);
}

TEST(ZutxSame, NeverReadsBeyondLimit) {
    // Unterminated buffers: only the first 3 bytes may be read.
    const char a[3] = {'a', 'B', 'c'};
    const char b[3] = {'A', 'b', 'C'};
    EXPECT_EQ(zutxsm(a, b, 3), 1u);
}

TEST(ZutxTruncateDuplicate, Basics) {
    char s[] = "abcdef";
    zutxnt(s, 2);
    EXPECT_STREQ(s, "ab");
    char *d = zutxds("hello");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, "hello");
    std::free(d);
    d = zutxds(nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, "");
    std::free(d);
}

TEST(ZutxTruncateDuplicate, AllocationFailureGivesNull) {
    void *(*const saved)(std::size_t) = zutx_alloc;
    zutx_alloc = [](std::size_t) -> void * { return nullptr; };
    EXPECT_EQ(zutxds("x"), nullptr);
    zutx_alloc = saved;
}

TEST(ZutxWhitespace, EachOperationHasItsOwnSet) {
    char a[] = " a\tb\r\nc ";
    EXPECT_EQ(zutxrw(a), 3);
    EXPECT_STREQ(a, "abc");

    char b[] = "\nx";
    EXPECT_EQ(zutxrl(b), 0);  // a line feed is not removed at the front
    EXPECT_STREQ(b, "\nx");
    char c[] = " \t\r x y ";
    EXPECT_EQ(zutxrl(c), 4);
    EXPECT_STREQ(c, "x y ");
    char d[] = " \t ";
    EXPECT_EQ(zutxrl(d), 3);
    EXPECT_STREQ(d, "");
    EXPECT_EQ(zutxrl(nullptr), 0);

    char e[] = "   ";
    EXPECT_EQ(zutxrt(e), 3);
    EXPECT_STREQ(e, "");
    char f[] = "x y\n \t\r";
    EXPECT_EQ(zutxrt(f), 3);  // stops at the line feed
    EXPECT_STREQ(f, "x y\n");
    char g[] = "";
    EXPECT_EQ(zutxrt(g), 0);
    EXPECT_EQ(zutxrt(nullptr), 0);
}

TEST(ZutxCase, LimitedConversion) {
    char s[] = "abcdef";
    EXPECT_EQ(zutxuc(s, 3), 3);
    EXPECT_STREQ(s, "ABCdef");
    EXPECT_EQ(zutxuc(s, 0), 0);
    EXPECT_STREQ(s, "ABCdef");
    EXPECT_EQ(zutxuc(s, 65535), 65535);
    EXPECT_STREQ(s, "ABCDEF");
    char t[] = "Ab1-Z\xC9";
    EXPECT_EQ(zutxlc(t, 65535), 65535);
    EXPECT_STREQ(t, "ab1-z\xC9");  // the default C locale has no upper-case 0xC9
    EXPECT_EQ(zutxlc(t, 2), 2);
}

TEST(ZutxMap, ReplacesWithinLimit) {
    char s[] = "a/b/c/d";
    zutxmp(s, '/', '\\', 4);
    EXPECT_STREQ(s, "a\\b\\c/d");
    zutxmp(s, '/', '\\', 0);
    EXPECT_STREQ(s, "a\\b\\c/d");
    zutxmp(s, '/', '\\', 65535);
    EXPECT_STREQ(s, "a\\b\\c\\d");
}

TEST(ZutxLocate, CountsAndPositions) {
    EXPECT_EQ(zutxno("", '/'), 0);
    EXPECT_EQ(zutxno("a,b,,c", ','), 3);
    EXPECT_EQ(zutxbs("/a/b/"), 3);
    EXPECT_EQ(zutxpn("a/b/c", 2, '/'), 4);
    EXPECT_EQ(zutxpn("a/b/c", 1, '/'), 2);
    EXPECT_EQ(zutxpn("a/b/c", 5, '/'), 5);
    EXPECT_EQ(zutxpn("abc", 0, '/'), 0);
    EXPECT_EQ(zutxpn("", 1, '/'), 0);
    EXPECT_EQ(zutxpo("/usr/lib/x", 1), 1);
    EXPECT_EQ(zutxpo("/usr/lib/x", 3), 9);
}

std::string replace(const char *src, const char *pat, const char *rep) {
    char out[256];
    std::memset(out, '#', sizeof out);
    zutxro(src, pat, rep, out);
    return out;
}

TEST(ZutxReplace, FoldedNaiveNonOverlapping) {
    EXPECT_EQ(replace("/MNT/disk1/x", "/mnt", "/cdrom"), "/cdrom/disk1/x");
    EXPECT_EQ(replace("aaab", "aab", "X"), "aX");
    EXPECT_EQ(replace("xyzab", "abc", "Q"), "xyzab");
    EXPECT_EQ(replace("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(replace("abab", "AB", ""), "");
    EXPECT_EQ(replace("xabx", "ab", "ABAB"), "xABABx");
    EXPECT_EQ(replace("ab", "ab", "c"), "c");  // match at the very end
    EXPECT_EQ(replace("abc", "", "z"), "abc");
    EXPECT_EQ(replace("abc", "b", nullptr), "");
    EXPECT_EQ(replace(nullptr, "b", "c"), "");
    EXPECT_EQ(replace("abc", nullptr, "c"), "");
    EXPECT_EQ(replace("", "b", "c"), "");
}

struct Parsed {
    unsigned ok;
    std::uint32_t value;
};

Parsed p4(const char *s) {
    std::uint32_t v = 0xDEADBEEF;
    const unsigned ok = zutxp4(s, &v);
    return {ok, v};
}

Parsed pe(const char *s) {
    std::uint32_t v = 0xDEADBEEF;
    const unsigned ok = zutxpe(s, &v);
    return {ok, v};
}

TEST(ZutxParseSize, SuffixesAndBlanks) {
    EXPECT_EQ(p4("  64K ").value, 65536u);
    EXPECT_EQ(p4("2m").value, 2097152u);
    EXPECT_EQ(p4("K").value, 0u);
    EXPECT_EQ(p4("").value, 0u);
    EXPECT_EQ(p4("   ").value, 0u);
    EXPECT_EQ(p4("4294967295").value, 4294967295u);
    EXPECT_EQ(p4("4194303K").value, 4294966272u);
    EXPECT_EQ(p4("4095M").value, 4095u * 1048576u);
    for (const char *bad : {"12 K", "1K5", "12x", "1KM", "4294967296", "-1", "4096M", "4194304K"}) {
        const Parsed r = p4(bad);
        EXPECT_EQ(r.ok, 0u) << bad;
        EXPECT_EQ(r.value, 0xDEADBEEFu) << bad;  // untouched on failure
    }
}

TEST(ZutxParseSize, OverflowThatWrapsUpwardsIsRefused) {
    // 5000000000 mod 2^32 is larger than 500000000: still an overflow.
    EXPECT_EQ(p4("5000000000").ok, 0u);
    EXPECT_EQ(p4("5000000K").ok, 0u);
    EXPECT_EQ(p4("99999999999999999999").ok, 0u);
}

TEST(ZutxParseDecimal, SignedLimit) {
    EXPECT_EQ(pe("2147483647").value, 2147483647u);
    EXPECT_EQ(pe(" 42  ").value, 42u);
    EXPECT_EQ(pe("").value, 0u);
    for (const char *bad : {"2147483648", "4 2", "12K", "5000000000", "x"}) {
        const Parsed r = pe(bad);
        EXPECT_EQ(r.ok, 0u) << bad;
        EXPECT_EQ(r.value, 0xDEADBEEFu) << bad;
    }
}

}  // namespace
