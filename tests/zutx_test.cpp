// The string library: every function driven from the rows of zutx_cases.tsv
// (each allocating row also run with each of its allocations failing in
// turn).
#include "testutil.h"
#include "zutx.h"

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <string_view>
#include <tuple>

namespace {

using zutest::shown;
template <class T>
std::string num(T n) {
    return std::to_string(n);
}

// The arguments of a row and the out-parameters of its call. In a row,
// "(null)" stands for a null pointer and a name list is split at '|' (an
// empty cell is no names). Out-parameters start poisoned, so that a call
// must set them.
struct Args {
    std::vector<std::string> v;
    std::deque<std::vector<const char *>> lists;
    std::string used, buf;  // the out-parameters handed over; the edit buffer
    std::uint16_t count = 0xABCD;
    char **array = reinterpret_cast<char **>(&count);
    char *out = reinterpret_cast<char *>(&count);
    std::int32_t changed = 7;
    std::uint32_t value = 0xDEADBEEF;
    const char *p(std::size_t i) const { return v[i] == "(null)" ? nullptr : v[i].c_str(); }
    const char *const *names(std::size_t i) {
        auto &l = lists.emplace_back();
        std::replace(v[i].begin(), v[i].end(), '|', '\0');
        for (std::size_t at = 0; !v[i].empty() && at <= v[i].size();
             at += std::strlen(&v[i][at]) + 1)
            l.push_back(std::strcmp(&v[i][at], "(null)") == 0 ? nullptr : &v[i][at]);
        return l.data();
    }
    // After the call, the out-parameters it was given, each after a ':': the
    // edited string, count and names, string, changed flag, value ('-' when
    // untouched). Arrays and strings are released.
    std::string outs() {
        std::string r;
        if (used.find('E') != std::string::npos) r += ":" + std::string(buf.c_str());
        if (used.find('A') != std::string::npos) {
            EXPECT_EQ(count == 0, array == nullptr) << "an array exactly when there are entries";
            r += ":" + num(count) + ":";
            for (std::uint16_t i = 0; i < count; ++i) r += (i ? "|" : "") + shown(array[i]);
            zutxfsa(array, count);
        }
        if (used.find('O') != std::string::npos) r += ":" + shown(out), std::free(out);
        if (used.find('H') != std::string::npos) r += ":" + num(changed);
        if (used.find('V') != std::string::npos)
            r += ":" + (value == 0xDEADBEEF ? std::string("-") : num(value));
        return r;
    }
};

// One argument of kind K from row argument i: 'p' string, 'n' number, 'c'
// character, 'l' name list, 'e' string edited in place (in a buffer with
// room behind it); upper case kinds read nothing from the row: 'C' and 'A' a
// count and an array, 'O' a string, 'H' a changed flag, 'V' a value.
template <char K>
auto arg(Args &a, std::size_t i) {
    if constexpr (K == 'p')
        return a.p(i);
    else if constexpr (K == 'n')
        return std::stol(a.v[i]);
    else if constexpr (K == 'c')
        return a.v[i][0];
    else if constexpr (K == 'l')
        return a.names(i);
    else if constexpr (K == 'e') {
        a.used += 'E', a.buf = shown(a.p(i)) + std::string(1, '\0') + std::string(300, '#');
        return a.p(i) != nullptr ? a.buf.data() : nullptr;
    } else
        return a.used += K, std::get<std::string_view("CAOHV").find(K)>(
                                std::tuple{&a.count, &a.array, &a.out, &a.changed, &a.value});
}
// "returned:out-parameters" of F called with arguments of the kinds K.
// Lower case kinds are read from the row in order.
template <auto F, char... K>
std::string call(Args &a) {
    static constexpr char kinds[] = {K...};
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        const auto go = [&] {
            return F(
                arg<K>(a, std::count_if(kinds, kinds + I, [](char c) { return c >= 'a'; }))...);
        };
        if constexpr (std::is_void_v<decltype(go())>)
            return go(), "0" + a.outs();
        else
            return [](auto r, Args &b) { return num(r) + b.outs(); }(go(), a);
    }
    (std::make_index_sequence<sizeof...(K)>{});
}

// The bindings, as a table.
// clang-format off
const std::map<std::string, std::string (*)(Args &)> ops = {
    {"ln", call<zutxln, 'p'>}, {"nl", call<zutxnl, 'p'>}, {"in", call<zutxin, 'p'>},
    {"vr", call<zutxvr, 'p'>}, {"cs", call<zutxcs, 'p'>}, {"co", call<zutxco, 'p', 'p'>},
    {"cn", call<zutxcn, 'p', 'p'>}, {"ma", call<zutxma, 'p', 'p'>}, {"se", call<zutxse, 'p', 'p'>},
    {"le", call<zutxle, 'p', 'p'>}, {"gr", call<zutxgr, 'p', 'p'>},
    {"sm", call<zutxsm, 'p', 'p', 'n'>}, {"vl", call<zutxvl, 'p', 'p', 'n'>},
    {"vg", call<zutxvg, 'p', 'p', 'n'>}, {"vs", call<zutxvs, 'p', 'p', 'n'>},
    {"no", call<zutxno, 'p', 'c'>}, {"pn", call<zutxpn, 'p', 'n', 'c'>},
    {"hs", call<zutxhs, 'p', 'n'>}, {"rw", call<zutxrw, 'e'>},
    {"imsa", call<zutximsa, 'p', 'p', 'c'>}, {"ima", call<zutxima, 'l', 'n', 'p'>},
    {"rl", call<zutxrl, 'e'>}, {"ae", call<zutxae, 'l', 'l', 'n'>}, {"rt", call<zutxrt, 'e'>},
    {"uc", call<zutxuc, 'e', 'n'>}, {"lc", call<zutxlc, 'e', 'n'>}, {"fp", call<zutxfp, 'e', 'n'>},
    {"nt", call<zutxnt, 'e', 'n'>}, {"cp", call<zutxcp, 'e', 'p', 'n'>},
    {"ct", call<zutxct, 'e', 'p', 'n'>}, {"tr", call<zutxtr, 'e', 'p'>},
    {"mp", call<zutxmp, 'e', 'c', 'c', 'n'>}, {"ro", call<zutxro, 'p', 'p', 'p', 'e'>},
    {"p4", call<zutxp4, 'p', 'V'>}, {"pe", call<zutxpe, 'p', 'V'>},
    {"sa", call<zutxsa, 'p', 'c', 'C', 'A', 'n'>}, {"lr", call<zutxlr, 'p', 'p', 'O', 'H'>},
    {"au", call<zutxau, 'n', 'n', 'l', 'l', 'C', 'A'>},
    {"ad", call<zutxad, 'n', 'n', 'l', 'l', 'C', 'A'>}, {"as", call<zutxas, 'l', 'n', 'O', 'c'>},
    {"la", call<zutxla, 'p', 'p', 'O', 'H'>},
    {"ds", [](Args &a) {
        a.used = "O", a.out = zutxds(a.p(0));
        return num(a.out != nullptr) + a.outs();
    }},
};
// clang-format on

// Each row: function, arguments, result, and for functions that allocate the
// result when an allocation fails, which every run with one failing
// allocation must give until they are few enough for the call to succeed.
TEST(ZutxCases, EveryRowGivesItsResult) {
    zutx_alloc = zutest::failing_alloc;
    for (const auto &row : zutest::table("zutx_cases.tsv")) {
        const bool allocates = row[0].back() == '!';
        const std::size_t last = row.size() - (allocates ? 2 : 1);  // the result's column
        const auto run = [&](int failing) {
            Args args;
            for (std::size_t i = 1; i < last; ++i)
                args.v.push_back(zutest::unescape(zutest::expand(row[i], {})));
            zutest::alloc_calls = 0, zutest::alloc_fails_at = failing + 1;
            return ops.at(row[0].substr(0, row[0].find('!')))(args);
        };
        const std::string want = zutest::unescape(zutest::expand(row[last], {})),
                          name = row[0] + " " + row[1].substr(0, 60);
        EXPECT_EQ(run(-1), want) << name;
        int k = 0;
        for (std::string got; allocates && k < 50 && (got = run(k)) != want; ++k)
            EXPECT_EQ(got, row.back()) << name << ", allocation " << k << " failing";
        EXPECT_LT(k, 50) << name << ": never succeeded with one allocation failing";
        EXPECT_TRUE(!allocates || k > 0)
            << name << ": the first allocation failing changed nothing";
    }
    zutx_alloc = std::malloc;
}

}  // namespace
