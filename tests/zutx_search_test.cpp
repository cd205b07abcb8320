// Search, ordering, version comparison with depth, wildcard matching (also
// against a recursive reference), checksums and path elision at several widths.
#include "zutx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(ZutxSearch, CountOccurrences) {
    EXPECT_EQ(zutxco("aaaa", "aa"), 2);
    EXPECT_EQ(zutxco("aaa", "aa"), 1);
    EXPECT_EQ(zutxco("abAB", "ab"), 2);
    EXPECT_EQ(zutxco("aab", "ab"), 1);
    EXPECT_EQ(zutxco("xab", "abc"), 0);
    EXPECT_EQ(zutxco("abc", ""), 0);
    EXPECT_EQ(zutxco(nullptr, "a"), 0);
    EXPECT_EQ(zutxco("a", nullptr), 0);
}

TEST(ZutxSearch, Contains) {
    EXPECT_EQ(zutxcn("Makefile", "FILE"), 1u);
    EXPECT_EQ(zutxcn("xab", "abc"), 0u);
    EXPECT_EQ(zutxcn("aab", "ab"), 1u);  // retry after a partial match
    EXPECT_EQ(zutxcn("", ""), 1u);
    EXPECT_EQ(zutxcn("abc", ""), 1u);
    EXPECT_EQ(zutxcn("", "a"), 0u);
    EXPECT_EQ(zutxcn(nullptr, nullptr), 1u);
    EXPECT_EQ(zutxcn(nullptr, "a"), 0u);
    EXPECT_EQ(zutxcn("a", nullptr), 0u);
    EXPECT_EQ(zutxcn("\xC9t\xC9", "\xE9"), 0u);  // no folding above 0x7F
}

TEST(ZutxSearch, TruncateToCommonPrefix) {
    char a[] = "Program Files";
    zutxtr(a, "program data");
    EXPECT_STREQ(a, "Program ");
    char b[] = "ABC";
    zutxtr(b, "abc");
    EXPECT_STREQ(b, "ABC");
    char c[] = "abcdef";
    zutxtr(c, "abc");
    EXPECT_STREQ(c, "abc");
    char d[] = "abc";
    zutxtr(d, "abcdef");
    EXPECT_STREQ(d, "abc");
    zutxtr(d, nullptr);
    EXPECT_STREQ(d, "abc");
    zutxtr(d, "x");
    EXPECT_STREQ(d, "");
}

TEST(ZutxOrder, FoldedUnsignedBytes) {
    EXPECT_EQ(zutxle("abc", "ABD"), 1u);
    EXPECT_EQ(zutxle("abc", "abc"), 0u);
    EXPECT_EQ(zutxle("ABC", "abc"), 0u);
    EXPECT_EQ(zutxgr("ABC", "abc"), 0u);
    EXPECT_EQ(zutxle("ab", "abc"), 1u);
    EXPECT_EQ(zutxgr("abc", "ab"), 1u);
    EXPECT_EQ(zutxle("", "a"), 1u);
    EXPECT_EQ(zutxle(nullptr, "a"), 0u);
    EXPECT_EQ(zutxgr("a", nullptr), 0u);
    // Bytes above 0x7F are unsigned: they sort after ASCII.
    EXPECT_EQ(zutxle("z", "\xE9"), 1u);
    EXPECT_EQ(zutxgr("\xE9", "z"), 1u);
    // '_' (0x5F) lies between the upper- and lower-case letters; folding
    // puts letters after it either way.
    EXPECT_EQ(zutxle("_", "A"), 1u);
}

struct V {
    unsigned lower, higher, same;
};

V ver(const char *a, const char *b, std::int32_t depth) {
    return {zutxvl(a, b, depth), zutxvg(a, b, depth), zutxvs(a, b, depth)};
}

void expect_ver(const char *a, const char *b, std::int32_t depth, V want) {
    const V got = ver(a, b, depth);
    EXPECT_EQ(got.lower, want.lower) << a << " vs " << b << " depth " << depth;
    EXPECT_EQ(got.higher, want.higher) << a << " vs " << b << " depth " << depth;
    EXPECT_EQ(got.same, want.same) << a << " vs " << b << " depth " << depth;
}

TEST(ZutxVersion, DepthLimitsTheComparison) {
    expect_ver("2.1.3", "2.1.4", 3, {1, 0, 0});
    expect_ver("2.1.3", "2.1.4", 2, {0, 0, 1});
    expect_ver("2.1.3", "2.1.4", 0, {0, 0, 1});
    expect_ver("2.1.3", "2.1.4", -1, {1, 0, 0});
    expect_ver("3.0", "2.9", 1, {0, 1, 0});
    expect_ver("2.1.3", "2.2.0", 1, {0, 0, 1});
}

TEST(ZutxVersion, NumbersAndText) {
    expect_ver("1.10", "1.9", 5, {0, 1, 0});
    expect_ver("1", "1.0", 5, {1, 0, 0});
    expect_ver("1.0", "1", 5, {0, 1, 0});
    expect_ver("1.2", "1.2", 5, {0, 0, 1});
    expect_ver("01.2", "1.02", 5, {0, 0, 1});
    expect_ver("1.a", "1.b", 5, {1, 0, 0});
    expect_ver("1.ab", "1.ac", 5, {0, 0, 1});  // only first characters count
    expect_ver("1.A", "1.a", 5, {0, 0, 1});
    expect_ver("1.a", "1.2", 5, {1, 0, 0});
    expect_ver("1.2", "1.a", 5, {0, 1, 0});
    expect_ver("", "", 5, {0, 0, 1});
    expect_ver("", "1", 5, {1, 0, 0});
    expect_ver("1", "", 5, {0, 1, 0});
    expect_ver("1.2", "1.2beta", 5, {1, 0, 0});  // 'beta' is left over in b
}

TEST(ZutxVersion, NullAndHugeNumbers) {
    EXPECT_EQ(zutxvl(nullptr, "1", 5), 0u);
    EXPECT_EQ(zutxvg("1", nullptr, 5), 0u);
    EXPECT_EQ(zutxvs(nullptr, nullptr, 5), 0u);
    // Beyond 32 bits numbers still compare by value.
    expect_ver("1.4294967296", "1.4294967295", 5, {0, 1, 0});
    expect_ver("99999999999999999999", "100000000000000000000", 5, {1, 0, 0});
    expect_ver("2147483648", "2147483647", 5, {0, 1, 0});
}

TEST(ZutxClassify, DigitsAndIdentifiers) {
    EXPECT_EQ(zutxin(""), 0u);
    EXPECT_EQ(zutxin("0042"), 1u);
    EXPECT_EQ(zutxin("4a"), 0u);
    EXPECT_EQ(zutxin("-4"), 0u);
    EXPECT_EQ(zutxvr(""), 1u);
    EXPECT_EQ(zutxvr(nullptr), 1u);
    EXPECT_EQ(zutxvr("my_var2"), 1u);
    EXPECT_EQ(zutxvr("my-var"), 0u);
    EXPECT_EQ(zutxvr("caf\xE9"), 0u);
    EXPECT_EQ(zutxvr("a b"), 0u);
}

// The obvious recursive matcher, used as the reference for the iterative one.
bool ref_match(const char *p, const char *t) {
    if (*p == '\0') return *t == '\0';
    if (*p == '*') {
        while (*p == '*') ++p;
        if (*p == '\0') return true;
        for (; *t != '\0'; ++t) {
            if ((*p == '?' || *p == *t) && ref_match(p, t)) return true;
        }
        return false;
    }
    if (*t == '\0') return false;
    if (*p != '?' && *p != *t) return false;
    return ref_match(p + 1, t + 1);
}

TEST(ZutxMatch, StarsAndQuestionMarks) {
    EXPECT_EQ(zutxma("*.c", "main.c"), 1u);
    EXPECT_EQ(zutxma("*.c", "main.cc"), 0u);
    EXPECT_EQ(zutxma("a?c", "abc"), 1u);
    EXPECT_EQ(zutxma("a?c", "ac"), 0u);
    EXPECT_EQ(zutxma("*", ""), 1u);
    EXPECT_EQ(zutxma("", ""), 1u);
    EXPECT_EQ(zutxma("", "a"), 0u);
    EXPECT_EQ(zutxma("a*", ""), 0u);
    EXPECT_EQ(zutxma("A*", "abc"), 0u);
    EXPECT_EQ(zutxma("*?", ""), 0u);
    EXPECT_EQ(zutxma("*?", "x"), 1u);
    EXPECT_EQ(zutxma("a*b*c", "aXbYbZc"), 1u);
    EXPECT_EQ(zutxma("a*b*c", "aXbYbZ"), 0u);
    EXPECT_EQ(zutxma("*ab", "aab"), 1u);  // the star must give back a character
    EXPECT_EQ(zutxma("**a**", "bab"), 1u);
}

TEST(ZutxMatch, AgreesWithRecursiveReference) {
    std::mt19937 rng(12345);
    const char pat_chars[] = "ab*?";
    const char txt_chars[] = "ab";
    for (int i = 0; i < 20000; ++i) {
        std::string p, t;
        const int pl = static_cast<int>(rng() % 8);
        const int tl = static_cast<int>(rng() % 8);
        for (int k = 0; k < pl; ++k) p += pat_chars[rng() % 4];
        for (int k = 0; k < tl; ++k) t += txt_chars[rng() % 2];
        ASSERT_EQ(zutxma(p.c_str(), t.c_str()) == 1u, ref_match(p.c_str(), t.c_str()))
            << "seed 12345, pattern '" << p << "' text '" << t << "'";
    }
}

TEST(ZutxMatch, LongStarPatternsUseBoundedStack) {
    const std::string stars(1000000, '*');
    EXPECT_EQ(zutxma((stars + "x").c_str(), "abcx"), 1u);
    EXPECT_EQ(zutxma((stars + "x").c_str(), "abcy"), 0u);
    std::string alternating;
    for (int i = 0; i < 2000; ++i) alternating += "a*";
    const std::string text(2000, 'a');
    EXPECT_EQ(zutxma(alternating.c_str(), text.c_str()), 1u);
    EXPECT_EQ(zutxma((alternating + "b").c_str(), text.c_str()), 0u);
}

TEST(ZutxHash, FoldedShiftedSum) {
    EXPECT_EQ(zutxcs("ab"), 293u);
    EXPECT_EQ(zutxcs("AB"), 293u);
    EXPECT_EQ(zutxhs("ab", 10), 3u);
    EXPECT_EQ(zutxcs(""), 0u);
    EXPECT_EQ(zutxcs(nullptr), 0u);
    EXPECT_EQ(zutxhs(nullptr, 7), 0u);
    EXPECT_EQ(zutxhs("ab", 0), 0u);
    // The 33rd character is shifted by 0 again; 0xFF << 31 wraps modulo 2^32.
    std::string s(32, '\0');
    s.assign(31, '\x01');
    s += '\xFF';
    s += 'a';
    std::uint32_t want = 0;
    for (int i = 0; i < 31; ++i) want += 1u << i;
    want += 0xFFu << 31;
    want += 'a';
    EXPECT_EQ(zutxcs(s.c_str()), want);
}

std::string elide(const char *path, std::uint16_t width) {
    std::vector<char> buf(path, path + std::strlen(path) + 1);
    buf.resize(buf.size() + 8, '#');  // bytes past the path must stay untouched
    zutxfp(buf.data(), width);
    for (std::size_t i = std::strlen(path) + 1; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#');
    return buf.data();
}

TEST(ZutxElide, SeveralWidths) {
    const char *p = "/usr/local/lib/tvx/help/doc/file.html";
    EXPECT_EQ(elide(p, 20), "/usr/.../file.html");
    EXPECT_EQ(elide(p, 37), p);
    EXPECT_EQ(elide(p, 36), p);  // the candidate would not be shorter
    EXPECT_EQ(elide(p, 30), "/usr/local/lib/.../doc/file.html");
    EXPECT_EQ(elide("/a/b/c/d/e/f/g/h", 8), "/a/.../g/h");
    EXPECT_EQ(elide("averyveryverylongname", 10), "...");
    EXPECT_EQ(elide("abcd", 2), "...");
    EXPECT_EQ(elide("abc", 2), "abc");  // "..." would not be shorter
    EXPECT_EQ(elide("/short/path", 40), "/short/path");
    EXPECT_EQ(elide("/x/averyveryverylongname", 10), "/x/...");
    EXPECT_EQ(elide("", 0), "");
}

TEST(ZutxElide, ResultIsWithinWidthPlusFour) {
    const char *paths[] = {"/usr/local/lib/tvx/help/doc/file.html", "/a/b/c/d/e/f/g/h",
                           "relative/dir/some/more/file.txt", "/one/two"};
    for (const char *p : paths) {
        for (std::uint16_t w = 0; w < 45; ++w) {
            const std::string r = elide(p, w);
            EXPECT_LE(r.size(), std::strlen(p)) << p << " width " << w;
            if (r != p) {
                EXPECT_LE(r.size(), w + 4u) << p << " width " << w;
            }
        }
    }
}

TEST(ZutxElide, VeryLongPathsStayInBounds) {
    // Lengths past 65535 wrap in 16 bits; the path must still never grow.
    for (std::size_t len : {65535u, 65536u, 65540u, 70000u}) {
        std::string path;
        while (path.size() < len) path += "/" + std::string(999, 'd');
        path.resize(len);
        std::vector<char> buf(path.begin(), path.end());
        buf.push_back('\0');
        zutxfp(buf.data(), 20);
        EXPECT_LE(std::strlen(buf.data()), len);
    }
}

}  // namespace
