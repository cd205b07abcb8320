// File status, removal, times, directory creation, moves and listings on
// real files. Each row of szusd_file_cases.tsv runs in a forked child on the
// tree of szusd_file_tree.tsv made afresh; what it reports and logs must
// equal its last cell. A move across file systems goes to a small tmpfs in
// a private mount namespace where the machine allows one.
#include "szusd.h"
#include "testutil.h"

#include <algorithm>
#include <regex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

namespace {

using zutest::arg;
using zutest::status;
using zutest::words;

std::string there(const std::string &path) {
    return zutest::exists(path) ? "there" : "gone";
}
std::string times_of(const std::string &path) {
    struct stat s {};
    stat(path.c_str(), &s);
    return words(std::to_string(s.st_atim.tv_sec) + "." + std::to_string(s.st_atim.tv_nsec) + "/" +
                 std::to_string(s.st_mtim.tv_sec) + "." + std::to_string(s.st_mtim.tv_nsec));
}

int calls;
uint32_t amount;
void *context;
int progress(void *c, uint32_t n) {
    return ++calls, amount = n, context = c, 0;
}

// One pass over an open listing: its entries sorted, name:size, name:dir,
// or name!status when the entry could not be read.
std::string pass(DIR *&h, const std::string &dir) {
    std::vector<std::string> seen;
    char name[ZUSD_BASESZ];
    uint32_t size = 0;
    int isdir = 0;
    for (unsigned s;
         (s = zusdnx(&h, dir.c_str(), 0, name, &size, &isdir)) != ZUSD_NOMORE && seen.size() < 9;)
        seen.push_back(name + (s != 0       ? "!" + status(s)
                               : isdir != 0 ? ":dir"
                                            : ":" + std::to_string(size)));
    std::sort(seen.begin(), seen.end());
    std::string text;
    for (const auto &e : seen) text += e + ",";
    return "[" + text + "]";
}

std::string run(const std::vector<std::string> &r) {
    const std::string &op = r[1];
    const char *path = arg(r[2]);
    int flag = 7;
    uint32_t size = 7;
    std::string s;  // the status first: the report reads what the call left
    if (op == "ex" || op == "ft") s = status((op == "ex" ? zusdex : zusdft)(path, &flag));
    if (op == "fz") return s = status(zusdfz(path, &size)), words(s, size);
    if (op == "rn" || op == "rm" || op == "rr") {
        const auto remove = op == "rn" ? zusdrn : op == "rm" ? zusdrm : zusdrr;
        return s = status(remove(path)), words(s, there(r[2]));
    }
    if (op == "et") s = status(zusdet(path, arg(r[3]), &flag));
    if (op == "ex" || op == "ft" || op == "et") return words(s, flag);
    if (op == "ct") return s = status(zusdct(path, arg(r[3]))), words(s, times_of(r[3]));
    if (op == "fp") {
        const auto byte = static_cast<unsigned char>(std::stoul(r[3], nullptr, 8));
        return s = status(zusdfp(path, &byte)), words(s, zutest::mode_of(path));
    }
    if (op == "md") return s = status(zusdmd(path)), words(s, zutest::mode_of(path));
    // mv FROM TO LENGTH (0: no progress callback): status, progress calls, amount, own context,
    // FROM, [TO].
    if (op == "mv") {
        int mine = 0;
        s = status(zusdmv(path, arg(r[3]), 0, std::stoul(r[4]), r[4] == "0" ? nullptr : progress, 0,
                          &mine));
        return words(s, calls, amount, context == &mine, there(r[2]),
                     "[" + zutest::slurp(r[3]) + "]");
    }
    // ls DIR: open (a and b 9 before), two passes rewound between, close ("open" when a descriptor
    // was left), a next on the closed handle.
    if (op == "ls") {
        DIR *h = nullptr;
        uint32_t a = 9, b = 9, position = 9;
        const size_t fds = zutest::open_files();
        const std::string opened = words(status(zusdod(&h, path, &a, &b)), a, b);
        if (h == nullptr) return words(opened, "null");
        const std::string first = pass(h, r[2]),
                          rewound = words(zusdrs(&h, 0, &position), position),
                          second = pass(h, r[2]);
        const unsigned cd = zusdcd(&h);
        const std::string closed =
            words(cd, h == nullptr, zutest::open_files() == fds ? "" : "open");
        return words(opened, first, rewound, second == first ? "same" : second, closed,
                     status(zusdnx(&h, path, 0, nullptr, nullptr, nullptr)));
    }
    return "unknown operation " + op;
}

TEST(SzusdFileTable, EveryRowReportsAsRecorded) {
    zutest::TempDir dir{"zufile"};
    struct statvfs vfs {};
    ASSERT_EQ(dir.str().size(), 17u);  // the rows of long paths count on it
    ASSERT_EQ(statvfs(dir.c_str(), &vfs), 0);
    zutest::check_rows("szusd_file_cases.tsv", "szusd_file_tree.tsv",
                       {{"$D", dir.str()},
                        {"$LONG", dir.str() + zutest::expand("@{20*/@{99*d}}", {})},
                        {"$BLK", std::to_string(vfs.f_frsize)}},
                       run);
}

}  // namespace
