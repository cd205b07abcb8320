// The string primitives: bounded copies at their limits, null handling,
// letter folding, whitespace sets, replace-all and the number parsers.
#include "zutx.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// An argument as a failure message shows it.
std::string q(const char *s) {
    return s != nullptr ? "\"" + std::string(s) + "\"" : "null";
}

TEST(ZutxLength, CountsModulo65536AndNullIsNotEmpty) {
    EXPECT_EQ(zutxln(nullptr), 0);
    EXPECT_EQ(zutxln(""), 0);
    EXPECT_EQ(zutxln("abc"), 3);
    EXPECT_EQ(zutxln(std::string(65536 + 7, 'x').c_str()), 7);
    EXPECT_EQ(zutxln(std::string(65535, 'x').c_str()), 65535);
    EXPECT_EQ(zutxnl(nullptr), 0u);
    EXPECT_EQ(zutxnl(""), 1u);
    EXPECT_EQ(zutxnl(" "), 0u);
}

TEST(ZutxCopy, StopsAtLimitAndTerminates) {
    struct {
        const char *src;
        std::uint16_t max, want;
    } const cases[] = {{"0123456789", 4, 4}, {"0123456789", 0, 0}, {"abc", 65535, 3}, {"", 10, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(q(c.src) + " max " + std::to_string(c.max));
        char dst[16];
        std::memset(dst, '#', sizeof dst);
        EXPECT_EQ(zutxcp(dst, c.src, c.max), c.want);
        EXPECT_EQ(std::string(dst), std::string(c.src, c.want));
        EXPECT_EQ(dst[c.want + 1], '#');  // nothing beyond the copy and its terminator
    }
}

TEST(ZutxCopy, NullWritesNothing) {
    char dst[4] = {'k', 'e', 'e', 'p'};
    for (auto op : {zutxcp, zutxct}) {
        EXPECT_EQ(op(dst, nullptr, 3), 0);
        EXPECT_EQ(std::memcmp(dst, "keep", 4), 0);
        EXPECT_EQ(op(nullptr, "abc", 3), 0);
    }
}

TEST(ZutxAppend, ReturnsCountAppended) {
    char dst[16] = "abc";
    EXPECT_EQ(zutxct(dst, "zz", 0), 0);
    EXPECT_EQ(zutxct(dst, "def", 65535), 3);
    EXPECT_EQ(zutxct(dst, "ghijk", 2), 2);
    EXPECT_STREQ(dst, "abcdefgh");
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
    // Unterminated buffers: only the first 3 bytes may be read.
    const char a[3] = {'a', 'B', 'c'}, b[3] = {'A', 'b', 'C'};
    EXPECT_EQ(zutxsm(a, b, 3), 1u);
}

TEST(ZutxTruncateDuplicate, Basics) {
    char s[] = "abcdef";
    zutxnt(s, 2);
    EXPECT_STREQ(s, "ab");
    for (const char *src : {"hello", static_cast<const char *>(nullptr)}) {
        char *d = zutxds(src);
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(d, src != nullptr ? src : "");
        std::free(d);
    }
    void *(*const saved)(std::size_t) = zutx_alloc;
    zutx_alloc = [](std::size_t) -> void * { return nullptr; };
    EXPECT_EQ(zutxds("x"), nullptr);  // allocation failure
    zutx_alloc = saved;
}

// `op` turns `in` into `out`; `want` is the new length (zutxrw) or the
// number of characters removed.
void expect_ws(std::uint16_t (*op)(char *), const char *in, const char *out, std::uint16_t want) {
    std::string s = in;
    EXPECT_EQ(op(s.data()), want) << q(in);
    EXPECT_STREQ(s.c_str(), out) << q(in);
}

TEST(ZutxWhitespace, EachOperationHasItsOwnSet) {
    expect_ws(zutxrw, " a\tb\r\nc ", "abc", 3);
    expect_ws(zutxrl, "\nx", "\nx", 0);  // a line feed is not removed at the front
    expect_ws(zutxrl, " \t\r x y ", "x y ", 4);
    expect_ws(zutxrl, " \t ", "", 3);
    expect_ws(zutxrt, "   ", "", 3);
    expect_ws(zutxrt, "x y\n \t\r", "x y\n", 3);  // stops at the line feed
    expect_ws(zutxrt, "", "", 0);
    EXPECT_EQ(zutxrl(nullptr), 0);
    EXPECT_EQ(zutxrt(nullptr), 0);
}

TEST(ZutxCaseAndMap, WithinLimit) {
    char s[] = "abcdef";
    EXPECT_EQ(zutxuc(s, 0), 0);
    EXPECT_EQ(zutxuc(s, 3), 3);
    EXPECT_STREQ(s, "ABCdef");
    EXPECT_EQ(zutxuc(s, 65535), 65535);
    EXPECT_STREQ(s, "ABCDEF");
    char t[] = "Ab1-Z\xC9";
    EXPECT_EQ(zutxlc(t, 65535), 65535);
    EXPECT_STREQ(t, "ab1-z\xC9");  // the default C locale has no upper-case 0xC9
    char p[] = "a/b/c/d";
    zutxmp(p, '/', '\\', 0);
    zutxmp(p, '/', '\\', 4);
    EXPECT_STREQ(p, "a\\b\\c/d");
    zutxmp(p, '/', '\\', 65535);
    EXPECT_STREQ(p, "a\\b\\c\\d");
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
    EXPECT_EQ(replace("ab", "ab", "c"), "c");  // a match at the very end
    EXPECT_EQ(replace("abc", "", "z"), "abc");
    EXPECT_EQ(replace("abc", "b", nullptr), "");
    EXPECT_EQ(replace(nullptr, "b", "c"), "");
    EXPECT_EQ(replace("abc", nullptr, "c"), "");
    EXPECT_EQ(replace("", "b", "c"), "");
}

// The parsers leave the value untouched on failure.
void expect_parse(unsigned (*parse)(const char *, std::uint32_t *), const char *s, unsigned ok,
                  std::uint32_t want) {
    std::uint32_t v = 0xDEADBEEF;
    EXPECT_EQ(parse(s, &v), ok) << q(s);
    EXPECT_EQ(v, ok ? want : 0xDEADBEEFu) << q(s);
}

TEST(ZutxParseSize, SuffixesBlanksAndOverflow) {
    struct {
        const char *s;
        std::uint32_t want;
    } const good[] = {{"  64K ", 65536u},
                      {"2m", 2097152u},
                      {"K", 0},
                      {"", 0},
                      {"   ", 0},
                      {"4294967295", 4294967295u},
                      {"4194303K", 4294966272u},
                      {"4095M", 4095u * 1048576u}};
    for (const auto &c : good) expect_parse(zutxp4, c.s, 1, c.want);
    // 5000000000 mod 2^32 is larger than 500000000: still an overflow.
    for (const char *bad : {"12 K", "1K5", "12x", "1KM", "4294967296", "-1", "4096M", "4194304K",
                            "5000000000", "5000000K", "99999999999999999999"})
        expect_parse(zutxp4, bad, 0, 0);
}

TEST(ZutxParseDecimal, SignedLimit) {
    expect_parse(zutxpe, "2147483647", 1, 2147483647u);
    expect_parse(zutxpe, " 42  ", 1, 42);
    expect_parse(zutxpe, "", 1, 0);
    for (const char *bad : {"2147483648", "4 2", "12K", "5000000000", "x"})
        expect_parse(zutxpe, bad, 0, 0);
}

}  // namespace
