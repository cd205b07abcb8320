// Search, ordering, version comparison with depth, wildcard matching (also
// against a recursive reference), checksums and path elision at several widths.
#include "zutx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// An argument as a failure message shows it.
std::string q(const char *s) {
    return s != nullptr ? "\"" + std::string(s) + "\"" : "null";
}

// A pair of strings and the answer expected for them.
struct Pair {
    const char *a, *b;
    unsigned want;
};

TEST(ZutxSearch, CountOccurrences) {
    const Pair cases[] = {{"aaaa", "aa", 2}, {"aaa", "aa", 1},  {"abAB", "ab", 2},
                          {"aab", "ab", 1},  {"xab", "abc", 0}, {"abc", "", 0},
                          {nullptr, "a", 0}, {"a", nullptr, 0}};
    for (const Pair &c : cases) EXPECT_EQ(zutxco(c.a, c.b), c.want) << q(c.a) << " " << q(c.b);
}

TEST(ZutxSearch, Contains) {
    // "aab" needs a retry after a partial match; no folding above 0x7F.
    const Pair cases[] = {{"Makefile", "FILE", 1}, {"xab", "abc", 0},
                          {"aab", "ab", 1},        {"", "", 1},
                          {"abc", "", 1},          {"", "a", 0},
                          {nullptr, nullptr, 1},   {nullptr, "a", 0},
                          {"a", nullptr, 0},       {"\xC9t\xC9", "\xE9", 0}};
    for (const Pair &c : cases) EXPECT_EQ(zutxcn(c.a, c.b), c.want) << q(c.a) << " " << q(c.b);
}

TEST(ZutxSearch, TruncateToCommonPrefix) {
    struct {
        const char *s, *t, *want;
    } const cases[] = {{"Program Files", "program data", "Program "},
                       {"ABC", "abc", "ABC"},
                       {"abcdef", "abc", "abc"},
                       {"abc", "abcdef", "abc"},
                       {"abc", nullptr, "abc"},
                       {"abc", "x", ""}};
    for (const auto &c : cases) {
        std::string s = c.s;
        zutxtr(s.data(), c.t);
        EXPECT_STREQ(s.c_str(), c.want) << q(c.s) << " " << q(c.t);
    }
}

TEST(ZutxOrder, FoldedUnsignedBytes) {
    // zutxle(a, b); zutxgr(a, b) is checked as zutxle(b, a). Bytes above 0x7F
    // are unsigned: they sort after ASCII. '_' (0x5F) lies between the upper-
    // and lower-case letters; folding puts letters after it either way.
    const Pair cases[] = {{"abc", "ABD", 1}, {"abc", "abc", 0}, {"ABC", "abc", 0},
                          {"abc", "ABC", 0}, {"ab", "abc", 1},  {"", "a", 1},
                          {nullptr, "a", 0}, {"a", nullptr, 0}, {"z", "\xE9", 1},
                          {"_", "A", 1}};
    for (const Pair &c : cases) {
        EXPECT_EQ(zutxle(c.a, c.b), c.want) << q(c.a) << " " << q(c.b);
        EXPECT_EQ(zutxgr(c.b, c.a), c.want) << q(c.b) << " " << q(c.a);
    }
}

// want: -1 lower, 1 higher, 0 the same; 2 for null arguments (all three 0).
struct VersionCase {
    const char *a, *b;
    std::int32_t depth;
    int want;
};

void expect_versions(const std::vector<VersionCase> &cases) {
    for (const VersionCase &c : cases) {
        SCOPED_TRACE(q(c.a) + " vs " + q(c.b) + " depth " + std::to_string(c.depth));
        EXPECT_EQ(zutxvl(c.a, c.b, c.depth), c.want == -1 ? 1u : 0u);
        EXPECT_EQ(zutxvg(c.a, c.b, c.depth), c.want == 1 ? 1u : 0u);
        EXPECT_EQ(zutxvs(c.a, c.b, c.depth), c.want == 0 ? 1u : 0u);
    }
}

TEST(ZutxVersion, DepthNumbersAndText) {
    // Of "1.ab" and "1.ac" only the first characters count; "beta" is left
    // over in "1.2beta".
    expect_versions({{"2.1.3", "2.1.4", 3, -1},
                     {"2.1.3", "2.1.4", 2, 0},
                     {"2.1.3", "2.1.4", 0, 0},
                     {"2.1.3", "2.1.4", -1, -1},
                     {"3.0", "2.9", 1, 1},
                     {"2.1.3", "2.2.0", 1, 0},
                     {"1.10", "1.9", 5, 1},
                     {"1", "1.0", 5, -1},
                     {"1.0", "1", 5, 1},
                     {"1.2", "1.2", 5, 0},
                     {"01.2", "1.02", 5, 0},
                     {"1.a", "1.b", 5, -1},
                     {"1.ab", "1.ac", 5, 0},
                     {"1.A", "1.a", 5, 0},
                     {"1.a", "1.2", 5, -1},
                     {"1.2", "1.a", 5, 1},
                     {"", "", 5, 0},
                     {"", "1", 5, -1},
                     {"1", "", 5, 1},
                     {"1.2", "1.2beta", 5, -1},
                     {nullptr, "1", 5, 2},
                     {"1", nullptr, 5, 2},
                     {nullptr, nullptr, 5, 2}});
    // Beyond 32 bits numbers still compare by value.
    expect_versions({{"1.4294967296", "1.4294967295", 5, 1},
                     {"2147483648", "2147483647", 5, 1},
                     {"99999999999999999999", "100000000000000000000", 5, -1}});
}

TEST(ZutxClassify, DigitsAndIdentifiers) {
    // all digits (zutxin), only identifier characters (zutxvr)
    struct {
        const char *s;
        unsigned in, vr;
    } const cases[] = {{"", 0, 1},        {"0042", 1, 1},   {"4a", 0, 1},      {"-4", 0, 0},
                       {"my_var2", 0, 1}, {"my-var", 0, 0}, {"caf\xE9", 0, 0}, {"a b", 0, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(zutxin(c.s), c.in) << q(c.s);
        EXPECT_EQ(zutxvr(c.s), c.vr) << q(c.s);
    }
    EXPECT_EQ(zutxvr(nullptr), 1u);
}

// The obvious recursive matcher, used as the reference for the iterative one.
bool ref_match(const char *p, const char *t) {
    if (*p == '\0') return *t == '\0';
    if (*p == '*') {
        while (*p == '*') ++p;
        if (*p == '\0') return true;
        for (; *t != '\0'; ++t)
            if ((*p == '?' || *p == *t) && ref_match(p, t)) return true;
        return false;
    }
    return *t != '\0' && (*p == '?' || *p == *t) && ref_match(p + 1, t + 1);
}

TEST(ZutxMatch, StarsAndQuestionMarks) {
    // pattern, text, match; in "*ab" against "aab" the star must give back a character
    const Pair cases[] = {{"*.c", "main.c", 1},   {"*.c", "main.cc", 0}, {"a?c", "abc", 1},
                          {"a?c", "ac", 0},       {"*", "", 1},          {"", "", 1},
                          {"", "a", 0},           {"a*", "", 0},         {"A*", "abc", 0},
                          {"*?", "", 0},          {"*?", "x", 1},        {"a*b*c", "aXbYbZc", 1},
                          {"a*b*c", "aXbYbZ", 0}, {"*ab", "aab", 1},     {"**a**", "bab", 1}};
    for (const Pair &c : cases) EXPECT_EQ(zutxma(c.a, c.b), c.want) << q(c.a) << " " << q(c.b);
}

TEST(ZutxMatch, AgreesWithRecursiveReference) {
    std::mt19937 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        std::string p, t;
        for (unsigned k = rng() % 8; k > 0; --k) p += "ab*?"[rng() % 4];
        for (unsigned k = rng() % 8; k > 0; --k) t += "ab"[rng() % 2];
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
    std::string s(31, '\x01');
    s += "\xFF";
    s += 'a';
    EXPECT_EQ(zutxcs(s.c_str()), ((1u << 31) - 1) + (0xFFu << 31) + 'a');
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
    // Whatever the width, the result is never longer than the path and,
    // when shortened, within the width plus four.
    for (const char *path :
         {p, "/a/b/c/d/e/f/g/h", "relative/dir/some/more/file.txt", "/one/two"}) {
        for (std::uint16_t w = 0; w < 45; ++w) {
            const std::string r = elide(path, w);
            EXPECT_LE(r.size(), std::strlen(path)) << path << " width " << w;
            EXPECT_TRUE(r == path || r.size() <= w + 4u) << path << " width " << w;
        }
    }
}

TEST(ZutxElide, VeryLongPathsStayInBounds) {
    // Lengths past 65535 wrap in 16 bits; the path must still never grow.
    for (std::size_t len : {65535u, 65536u, 65540u, 70000u}) {
        std::string path;
        while (path.size() < len) path += "/" + std::string(999, 'd');
        path.resize(len);
        zutxfp(path.data(), 20);
        EXPECT_LE(std::strlen(path.c_str()), len);
    }
}

}  // namespace
