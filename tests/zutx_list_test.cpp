// String arrays and comma lists: empty fields, case folding, set semantics,
// joins past 65535 bytes and allocation failure at every step.
#include "zutx.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;
// An operation building a string array into its count and array arguments.
using ArrayOp = std::function<unsigned(std::uint16_t *, char ***)>;

Names take(char **a, std::uint16_t n) {
    Names v;
    for (std::uint16_t i = 0; i < n; ++i) v.emplace_back(a[i] == nullptr ? "<null>" : a[i]);
    zutxfsa(a, n);
    return v;
}

/* Run `op` with outputs that must be overwritten: a successful run gives its
 * names, a failed one (which must leave count 0 and a null array) "<failed>". */
Names build(const ArrayOp &op) {
    std::uint16_t n = 0xABCD;
    char **a = reinterpret_cast<char **>(&n);
    const unsigned ok = op(&n, &a);
    EXPECT_TRUE(n != 0 || a == nullptr) << "no entries, yet an array";
    if (ok) return take(a, n);
    EXPECT_EQ(n, 0);
    return {"<failed>"};
}

Names split(const char *s, char sep, int skip) {
    return build([&](std::uint16_t *n, char ***a) { return zutxsa(s, sep, n, a, skip); });
}

std::string join(const std::vector<const char *> &names, char sep) {
    char *out = nullptr;
    EXPECT_EQ(zutxas(names.data(), static_cast<std::uint16_t>(names.size()), &out, sep), 1u);
    std::string s = out == nullptr ? "<null>" : out;
    std::free(out);
    return s;
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
    EXPECT_EQ(split(commas.c_str(), ',', 0), Names{"<failed>"});
    EXPECT_EQ(split(commas.c_str(), ',', 1), Names{});  // left out, the empty fields leave nothing
    EXPECT_EQ(split(commas.c_str() + 1, ',', 0).size(), 65535u);  // one field fewer still fits
}

TEST(ZutxSets, UnionAndDifference) {
    const char *A[] = {"a", "B", "c"};
    const char *B[] = {"b", "d", "D", "C"};
    const auto set_op = [](auto op, std::uint16_t nA, std::uint16_t nB, const char *const *a,
                           const char *const *b) {
        return build([=](std::uint16_t *n, char ***r) { return op(nA, nB, a, b, n, r); });
    };
    // Names of B equal to each other are all added.
    EXPECT_EQ(set_op(zutxau, 3, 4, A, B), (Names{"a", "B", "c", "d", "D"}));
    EXPECT_EQ(set_op(zutxad, 3, 4, A, B), Names{"a"});
    EXPECT_EQ(set_op(zutxad, 2, 3, A, A), Names{});
    EXPECT_EQ(set_op(zutxau, 0, 0, nullptr, nullptr), Names{});
    // Names compare up to 4096 characters and are copied with 4096.
    const std::string long_a = std::string(4096, 'x') + "a", long_b = std::string(4096, 'X') + "b";
    const char *LA[] = {long_a.c_str()}, *LB[] = {long_b.c_str()};
    EXPECT_EQ(set_op(zutxau, 1, 1, LA, LB), Names{std::string(4096, 'x')});
    EXPECT_EQ(zutxae(LA, LB, 1), 1u);
    EXPECT_EQ(zutxima(LA, 1, long_b.c_str()), 0u);  // membership looks further
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

TEST(ZutxJoin, SeparatorsEmptyArrayAndLength) {
    EXPECT_EQ(join({"p", "q", "r"}, ';'), "p;q;r");
    EXPECT_EQ(join({}, ';'), "");
    EXPECT_EQ(join({"", ""}, ','), ",");
    EXPECT_EQ(join({"only"}, ','), "only");
    EXPECT_EQ(join({"a", nullptr, "b"}, ','), "a,,b");
    // Each name is cut to 4096 characters.
    EXPECT_EQ(join({std::string(5000, 'z').c_str(), "y"}, ','), std::string(4096, 'z') + ",y");
    // 20 names of 4096 characters: 81939 bytes with separators and NUL, past
    // what a 16-bit size could describe.
    std::vector<std::string> names;
    std::vector<const char *> ptrs;
    std::string want;
    for (int i = 0; i < 20; ++i) {
        names.emplace_back(4096, static_cast<char>('a' + i));
        want += (i > 0 ? "," : "") + names.back();
    }
    for (const auto &s : names) ptrs.push_back(s.c_str());
    EXPECT_TRUE(join(ptrs, ',') == want);  // too long to print
}

// A list edit (zutxla or zutxlr) giving `want` and whether it changed anything.
void expect_edit(decltype(&zutxla) op, const char *list, const char *item, const char *want,
                 std::int32_t want_changed) {
    char *out = nullptr;
    std::int32_t changed = -1;
    ASSERT_EQ(op(list, item, &out, &changed), 1u) << list << " / " << item;
    EXPECT_STREQ(out, want) << list << " / " << item;
    EXPECT_EQ(changed, want_changed) << list << " / " << item;
    std::free(out);
}

TEST(ZutxLists, AddRemoveWithFolding) {
    expect_edit(zutxla, "a,b", "B", "a,b", 0);
    expect_edit(zutxla, "a,b", "c", "a,b,c", 1);
    expect_edit(zutxla, "", "x", "x", 1);
    expect_edit(zutxla, "a,,b", "", "a,,b", 0);  // the empty field is already there
    expect_edit(zutxlr, "a,b,A", "a", "b", 1);
    expect_edit(zutxlr, "a", "a", "", 1);
    expect_edit(zutxlr, "a,b", "c", "a,b", 0);
    expect_edit(zutxlr, "a,,b,", "", "a,b", 1);
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

/* Run `op` with the k-th allocation failing, for k = 0, 1, ... until it
 * succeeds; `op` returns true when it succeeded. Every failed run must report
 * failure cleanly (checked inside `op`); leaks show up under the leak
 * sanitizer. */
void each_failure(const char *name, const std::function<bool()> &op) {
    SCOPED_TRACE(name);
    void *(*const saved)(std::size_t) = zutx_alloc;
    zutx_alloc = failing_alloc;
    int k = 0;
    for (allocations_left = k; k < 100 && !op(); allocations_left = ++k) {
    }
    zutx_alloc = saved;
    allocations_left = -1;
    EXPECT_GT(k, 0) << "operation made no allocation";
    EXPECT_LT(k, 100) << "operation never succeeded";
}

TEST(ZutxAllocFailure, ArraysStringsAndListEdits) {
    const char *A[] = {"a", "b"};
    const char *B[] = {"c", "B"};
    const std::pair<const char *, std::pair<ArrayOp, Names>> arrays[] = {
        {"split",
         {[](auto n, auto a) { return zutxsa("a,b,,c", ',', n, a, 0); }, {"a", "b", "", "c"}}},
        {"union", {[&](auto n, auto r) { return zutxau(2, 2, A, B, n, r); }, {"a", "b", "c"}}},
        {"difference", {[&](auto n, auto r) { return zutxad(2, 2, A, B, n, r); }, {"a"}}}};
    for (const auto &[name, op] : arrays) {
        each_failure(name, [&] {
            const Names got = build(op.first);
            EXPECT_TRUE(got == Names{"<failed>"} || got == op.second) << got.size() << " names";
            return got != Names{"<failed>"};
        });
    }
    // A string result is null after a failure; the list edits also say nothing changed.
    const char *names[] = {"p", "q"};
    struct {
        const char *name, *want;
        std::function<unsigned(char **, std::int32_t *)> op;
    } const strings[] = {
        {"join", "p;q", [&](char **out, std::int32_t *) { return zutxas(names, 2, out, ';'); }},
        {"add", "a,b,c",
         [](char **out, std::int32_t *ch) { return zutxla("a,b,c", "b", out, ch); }},
        {"remove", "a,c",
         [](char **out, std::int32_t *ch) { return zutxlr("a,b,c", "b", out, ch); }}};
    for (const auto &c : strings) {
        each_failure(c.name, [&] {
            char junk[] = "junk";
            char *out = junk;
            std::int32_t changed = 7;
            if (c.op(&out, &changed)) {
                EXPECT_STREQ(out, c.want);
                std::free(out);
                return true;
            }
            EXPECT_EQ(out, nullptr);
            EXPECT_TRUE(changed == 0 || c.want == std::string("p;q")) << changed;
            return false;
        });
    }
    // Truth results answer no.
    each_failure("same set", [] { return zutxse("a,b", "b,a") == 1; });
    each_failure("member", [] { return zutximsa("a,b", "b", ',') == 1; });
}

}  // namespace
