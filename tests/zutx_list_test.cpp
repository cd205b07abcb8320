// String arrays and comma lists: empty fields, case folding, set semantics,
// joins past 65535 bytes and allocation failure at every step.
#include "zutx.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

Names take(char **a, std::uint16_t n) {
    Names v;
    for (std::uint16_t i = 0; i < n; ++i) v.emplace_back(a[i] == nullptr ? "<null>" : a[i]);
    zutxfsa(a, n);
    return v;
}

Names split(const char *s, char sep, int skip) {
    std::uint16_t n = 0xABCD;
    char **a = reinterpret_cast<char **>(&n);  // must be overwritten
    EXPECT_EQ(zutxsa(s, sep, &n, &a, skip), 1u);
    if (n == 0) {
        EXPECT_EQ(a, nullptr);
    }
    return take(a, n);
}

std::string join(const std::vector<const char *> &names, char sep) {
    char *out = nullptr;
    EXPECT_EQ(zutxas(names.data(), static_cast<std::uint16_t>(names.size()), &out, sep), 1u);
    std::string s = out == nullptr ? "<null>" : out;
    std::free(out);
    return s;
}

struct Edit {
    std::string list;
    std::int32_t changed;
};

Edit add(const char *list, const char *item) {
    char *out = nullptr;
    std::int32_t changed = -1;
    EXPECT_EQ(zutxla(list, item, &out, &changed), 1u);
    Edit e{out == nullptr ? "<null>" : out, changed};
    std::free(out);
    return e;
}

Edit remove(const char *list, const char *item) {
    char *out = nullptr;
    std::int32_t changed = -1;
    EXPECT_EQ(zutxlr(list, item, &out, &changed), 1u);
    Edit e{out == nullptr ? "<null>" : out, changed};
    std::free(out);
    return e;
}

TEST(ZutxSplit, EmptyFields) {
    EXPECT_EQ(split("a,,b", ',', 0), (Names{"a", "", "b"}));
    EXPECT_EQ(split("a,,b", ',', 1), (Names{"a", "b"}));
    EXPECT_EQ(split("", ',', 0), Names{});
    EXPECT_EQ(split(",", ',', 0), (Names{"", ""}));
    EXPECT_EQ(split(",", ',', 1), Names{});
    EXPECT_EQ(split(",a,", ',', 0), (Names{"", "a", ""}));
    EXPECT_EQ(split("abc", ',', 0), Names{"abc"});
    EXPECT_EQ(split("x:y::z", ':', 1), (Names{"x", "y", "z"}));
}

TEST(ZutxSplit, FieldCountBeyond16BitsIsRefused) {
    // 65535 separators make 65536 fields: no 16-bit count can hold them.
    const std::string commas(65535, ',');
    std::uint16_t n = 7;
    char **a = nullptr;
    EXPECT_EQ(zutxsa(commas.c_str(), ',', &n, &a, 0), 0u);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(a, nullptr);
    // Left out, the empty fields leave nothing to count.
    EXPECT_EQ(zutxsa(commas.c_str(), ',', &n, &a, 1), 1u);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(a, nullptr);
    // One field fewer still fits.
    const std::string fewer(65534, ',');
    ASSERT_EQ(zutxsa(fewer.c_str(), ',', &n, &a, 0), 1u);
    EXPECT_EQ(n, 65535);
    zutxfsa(a, n);
}

TEST(ZutxSets, UnionAndDifference) {
    const char *A[] = {"a", "B", "c"};
    const char *B[] = {"b", "d", "D", "C"};
    std::uint16_t n = 0;
    char **r = nullptr;
    ASSERT_EQ(zutxau(3, 4, A, B, &n, &r), 1u);
    // Names of B equal to each other are all added.
    EXPECT_EQ(take(r, n), (Names{"a", "B", "c", "d", "D"}));
    ASSERT_EQ(zutxad(3, 4, A, B, &n, &r), 1u);
    EXPECT_EQ(take(r, n), Names{"a"});
    ASSERT_EQ(zutxad(2, 3, A, A, &n, &r), 1u);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(r, nullptr);
    ASSERT_EQ(zutxau(0, 0, nullptr, nullptr, &n, &r), 1u);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(r, nullptr);
}

TEST(ZutxSets, NamesCompareUpTo4096Characters) {
    const std::string long_a = std::string(4096, 'x') + "a";
    const std::string long_b = std::string(4096, 'X') + "b";
    const char *A[] = {long_a.c_str()};
    const char *B[] = {long_b.c_str()};
    std::uint16_t n = 0;
    char **r = nullptr;
    ASSERT_EQ(zutxau(1, 1, A, B, &n, &r), 1u);
    const Names u = take(r, n);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0], std::string(4096, 'x'));  // copies keep 4096 characters
    EXPECT_EQ(zutxae(A, B, 1), 1u);
    EXPECT_EQ(zutxima(A, 1, long_b.c_str()), 0u);  // membership looks further
}

TEST(ZutxSets, InclusionAndMembership) {
    const char *A[] = {"a", "b"};
    const char *B[] = {"B", "A"};
    const char *C[] = {"a", "a"};
    EXPECT_EQ(zutxae(A, B, 2), 1u);
    EXPECT_EQ(zutxae(C, A, 2), 1u);
    EXPECT_EQ(zutxae(A, C, 2), 0u);
    EXPECT_EQ(zutxae(A, C, 0), 1u);
    EXPECT_EQ(zutxima(A, 2, "B"), 1u);
    EXPECT_EQ(zutxima(A, 1, "B"), 0u);
    EXPECT_EQ(zutxima(A, 0, "a"), 0u);
}

TEST(ZutxJoin, SeparatorsAndEmptyArray) {
    EXPECT_EQ(join({"p", "q", "r"}, ';'), "p;q;r");
    EXPECT_EQ(join({}, ';'), "");
    EXPECT_EQ(join({"", ""}, ','), ",");
    EXPECT_EQ(join({"only"}, ','), "only");
    EXPECT_EQ(join({"a", nullptr, "b"}, ','), "a,,b");
}

TEST(ZutxJoin, PastSixteenBitsOfLength) {
    // 20 names of 4096 characters: 81939 bytes with separators and NUL, past
    // what a 16-bit size could describe.
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) names.emplace_back(4096, static_cast<char>('a' + i));
    std::vector<const char *> ptrs;
    for (const auto &s : names) ptrs.push_back(s.c_str());
    const std::string joined = join(ptrs, ',');
    ASSERT_EQ(joined.size(), 20u * 4096u + 19u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(joined.substr(static_cast<std::size_t>(i) * 4097, 4096), names[i]);
    }
    // Each name is cut to 4096 characters.
    const std::string longer(5000, 'z');
    EXPECT_EQ(join({longer.c_str(), "y"}, ','), std::string(4096, 'z') + ",y");
}

TEST(ZutxLists, AddWithFolding) {
    const Edit a = add("a,b", "B");
    EXPECT_EQ(a.list, "a,b");
    EXPECT_EQ(a.changed, 0);
    const Edit b = add("a,b", "c");
    EXPECT_EQ(b.list, "a,b,c");
    EXPECT_EQ(b.changed, 1);
    const Edit c = add("", "x");
    EXPECT_EQ(c.list, "x");
    EXPECT_EQ(c.changed, 1);
    const Edit d = add("a,,b", "");  // the empty field is already there
    EXPECT_EQ(d.list, "a,,b");
    EXPECT_EQ(d.changed, 0);
}

TEST(ZutxLists, RemoveEveryEqualField) {
    const Edit a = remove("a,b,A", "a");
    EXPECT_EQ(a.list, "b");
    EXPECT_EQ(a.changed, 1);
    const Edit b = remove("a", "a");
    EXPECT_EQ(b.list, "");
    EXPECT_EQ(b.changed, 1);
    const Edit c = remove("a,b", "c");
    EXPECT_EQ(c.list, "a,b");
    EXPECT_EQ(c.changed, 0);
    const Edit d = remove("a,,b,", "");
    EXPECT_EQ(d.list, "a,b");
    EXPECT_EQ(d.changed, 1);
}

TEST(ZutxLists, SameSetAndMembership) {
    EXPECT_EQ(zutxse("a,b", "B,A"), 1u);
    EXPECT_EQ(zutxse("a,b", "a"), 0u);
    EXPECT_EQ(zutxse("a,a", "a,b"), 1u);
    EXPECT_EQ(zutxse("", ""), 1u);
    EXPECT_EQ(zutxse("a,", ",a"), 1u);
    EXPECT_EQ(zutxse("a,", "a"), 0u);
    EXPECT_EQ(zutximsa("x:y::z", "Y", ':'), 1u);
    EXPECT_EQ(zutximsa("x::y", "", ':'), 0u);
    EXPECT_EQ(zutximsa("x::y", "w", ':'), 0u);
    EXPECT_EQ(zutximsa("", "", ':'), 0u);
}

// Allocation failure: the Nth allocation from now fails (counting from 0).
int allocations_left = -1;

void *failing_alloc(std::size_t size) {
    if (allocations_left == 0) return nullptr;
    if (allocations_left > 0) --allocations_left;
    return std::malloc(size);
}

class ZutxAllocFailure : public ::testing::Test {
protected:
    void SetUp() override { saved_ = zutx_alloc; }
    void TearDown() override {
        zutx_alloc = saved_;
        allocations_left = -1;
    }
    // Run `op` with the k-th allocation failing, for k = 0, 1, ... until it
    // succeeds; `op` returns true when it succeeded. Every failed run must
    // report failure cleanly (checked inside `op`); leaks show up under the
    // leak sanitizer.
    template <typename Op>
    void each_failure(Op op) {
        zutx_alloc = failing_alloc;
        for (int k = 0; k < 100; ++k) {
            allocations_left = k;
            if (op()) {
                EXPECT_GT(k, 0) << "operation made no allocation";
                return;
            }
        }
        ADD_FAILURE() << "operation never succeeded";
    }

private:
    void *(*saved_)(std::size_t) = nullptr;
};

TEST_F(ZutxAllocFailure, Split) {
    each_failure([] {
        std::uint16_t n = 9;
        char **a = reinterpret_cast<char **>(&n);
        const unsigned ok = zutxsa("a,b,,c", ',', &n, &a, 0);
        if (ok) {
            EXPECT_EQ(take(a, n), (Names{"a", "b", "", "c"}));
            return true;
        }
        EXPECT_EQ(n, 0);
        EXPECT_EQ(a, nullptr);
        return false;
    });
}

TEST_F(ZutxAllocFailure, UnionAndDifference) {
    const char *A[] = {"a", "b"};
    const char *B[] = {"c", "B"};
    each_failure([&] {
        std::uint16_t n = 9;
        char **r = reinterpret_cast<char **>(&n);
        if (zutxau(2, 2, A, B, &n, &r)) {
            EXPECT_EQ(take(r, n), (Names{"a", "b", "c"}));
            return true;
        }
        EXPECT_EQ(n, 0);
        EXPECT_EQ(r, nullptr);
        return false;
    });
    each_failure([&] {
        std::uint16_t n = 9;
        char **r = reinterpret_cast<char **>(&n);
        if (zutxad(2, 2, A, B, &n, &r)) {
            EXPECT_EQ(take(r, n), Names{"a"});
            return true;
        }
        EXPECT_EQ(n, 0);
        EXPECT_EQ(r, nullptr);
        return false;
    });
}

TEST_F(ZutxAllocFailure, JoinAndListEdits) {
    const char *names[] = {"p", "q"};
    each_failure([&] {
        char junk[] = "junk";
        char *out = junk;
        if (zutxas(names, 2, &out, ';')) {
            EXPECT_STREQ(out, "p;q");
            std::free(out);
            return true;
        }
        EXPECT_EQ(out, nullptr);
        return false;
    });
    for (auto edit : {zutxla, zutxlr}) {
        each_failure([&] {
            char *out = nullptr;
            std::int32_t changed = 7;
            if (edit("a,b,c", "b", &out, &changed)) {
                EXPECT_TRUE(std::string(out) == "a,b,c" || std::string(out) == "a,c");
                std::free(out);
                return true;
            }
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(changed, 0);
            return false;
        });
    }
}

TEST_F(ZutxAllocFailure, TruthResultsAnswerNo) {
    each_failure([] {
        const unsigned r = zutxse("a,b", "b,a");
        return r == 1;
    });
    each_failure([] { return zutximsa("a,b", "b", ',') == 1; });
}

}  // namespace
