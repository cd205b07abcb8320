// File status, removal, times, directory creation, moves (also across file
// systems, to a private tmpfs) and listings on real files, and definition
// files: the token reader, delimiter patterns, lookup and list modes, the
// section list, the platform check, and the rewrite of entries through a
// work file (every other byte kept, atomic replacement; a full file system,
// concurrent updaters, an updater killed while it holds the lock). Each row
// of szusd_file_cases.tsv and szusd_deffile_cases.tsv runs in a forked child
// on the tree of szusd_file_tree.tsv or szusd_deffile_tree.tsv made afresh;
// what it reports and logs must equal its last cell.
#include "szusd.h"
#include "testutil.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/prctl.h>
#include <sys/statvfs.h>

namespace {

using zutest::arg;
using zutest::escape;
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

// The companions in `dir`: work files "*.x1z.XXXXXX" and lock files "*.x1z.lck".
int work_files(const std::string &dir) {
    int found = 0;
    std::error_code none;
    for (const auto &e : std::filesystem::directory_iterator(dir, none))
        found += e.path().filename().string().find(".x1z.") != std::string::npos;
    return found;
}
// A buffer of `size` bytes and four guard bytes; "!" when a guard was written.
struct Guarded {
    explicit Guarded(size_t n) : bytes(n + 4, '#'), size(n) {}
    std::string guard() const { return bytes.substr(size) == "####" ? "" : "!"; }
    std::string bytes;
    size_t size;
};
// A list of NUL-terminated names ended by an empty one, as [a,b,].
std::string names(const char *list) {
    std::string text;
    for (; *list != '\0'; list += std::strlen(list) + 1) text += std::string(list) + ",";
    return "[" + text + "]";
}

// Tells the test that an updater has its work file written and holds the
// lock, then waits to be killed.
int g_ready = -1;
int stop_before_rename(const char *, const char *) {
    const char c = 1;
    if (write(g_ready, &c, 1) == 1) pause();
    return -1;
}

// The definition files' operations.
std::string definition_file(const std::vector<std::string> &r) {
    const std::string &op = r[1];
    if (op == "dd") {
        char d = 'q';
        int nb = 7, vb = 7;
        const unsigned s = zusddd(arg(r[2]), &d, &nb, &vb);
        return words(s, d == '\0' ? "nul" : std::string(1, d), nb, vb);
    }
    if (op == "cdp") return words(zusdcdp(arg(r[2])));
    std::string out;
    // gt TEXT, then steps: the delimiter, keep (0 or 1) and the size, or "." to read one character.
    if (op == "gt") {
        FILE *f = std::tmpfile();
        std::fputs(r[2].c_str(), f), std::rewind(f);
        for (size_t i = 3; i < r.size(); ++i) {
            Guarded token(r[i] == "." ? 0 : std::stoul(r[i].substr(2))), raw(token.size);
            if (r[i] == ".")
                out += " " + escape(std::string(1, static_cast<char>(std::getc(f))));
            else {
                const unsigned s = zusdgt(f, r[i][0], r[i][1] == '1', token.bytes.data(),
                                          static_cast<uint16_t>(token.size), raw.bytes.data());
                out += " " +
                       words(s, "[" + escape(token.bytes.c_str()) + "|" +
                                    escape(raw.bytes.c_str()) + "]" + token.guard() + raw.guard());
            }
        }
        return std::fclose(f), out.substr(1);
    }
    // tr NAME FILE PATTERN SIZE [PLATFORM]; fc FILE SIZE.
    if (op == "tr" || op == "fc") {
        const bool tr = op == "tr", list = !tr || r[2].empty();
        Guarded value(std::stoul(r[tr ? 5 : 3]));
        const auto size = static_cast<uint16_t>(value.size);
        const unsigned s = tr ? zusdtrp(arg(r[2]), arg(r[3]), arg(r[4]), value.bytes.data(), size,
                                        r.size() > 6 ? arg(r[6]) : "unix")
                              : zusdfc(arg(r[2]), value.bytes.data(), size);
        return words(s, s != 0 ? ""
                        : list ? names(value.bytes.data())
                               : "[" + escape(value.bytes.c_str()) + "]") +
               value.guard();
    }
    // my NAME VALUE FILE PATTERN: status, [FILE's content mode owner], its directory's companions;
    // with no file, [the variable of that name in capitals].
    if (op == "my") {
        const unsigned s =
            zutest::env_owned([&] { return zusdmy(arg(r[2]), arg(r[3]), arg(r[4]), arg(r[5])); });
        std::string name = r[2];
        std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        if (r[4] == "-") return words(s, "[" + zutest::shown(std::getenv(name.c_str())) + "]");
        struct stat st {};
        const bool there = stat(r[4].c_str(), &st) == 0;
        const std::string file = there ? escape(zutest::slurp(r[4])) + " " +
                                             zutest::mode_of(arg(r[4])) + " " +
                                             std::to_string(st.st_uid)
                                       : "none";
        return words(s, "[" + file + "]",
                     "w" + std::to_string(work_files(std::filesystem::path(r[4]).parent_path())));
    }
    if (op == "al") {  // al NAME VALUE, into a stream that cannot be written
        FILE *full = std::fopen("/dev/full", "w");
        setvbuf(full, nullptr, _IONBF, 0);
        const unsigned s = zusdal(full, arg(r[2]), '=', arg(r[3]));
        return std::fclose(full), words(s);
    }
    // race FILE: four updaters at once, each setting every fourth of n0=v ... n99=v: how many
    // failed, whether every entry landed once beside the lines nobody touched, the companions.
    if (op == "race") {
        zusdmy_wait = 60000;  // locks are not fair: one updater may wait for many updates
        int failed = 0;
        for (int p = 0; p < 4; ++p)
            if (fork() == 0) {
                for (int i = p; i < 100; i += 4)
                    failed +=
                        zusdmy(("n" + std::to_string(i)).c_str(), "v", r[2].c_str(), nullptr) != 0;
                _exit(failed);
            }
        for (int status = 0; wait(&status) > 0;) failed += status != 0;
        std::vector<std::string> got = zutest::split(zutest::slurp(r[2]), '\n'), want = {""};
        for (int i = 0; i < 100; ++i) want.push_back("n" + std::to_string(i) + "=v");
        want.insert(want.end(), {"# settings", "base=1"});
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        return words(failed, got == want ? "all" : "lost",
                     "w" + std::to_string(work_files(std::filesystem::path(r[2]).parent_path())));
    }
    // killed FILE: an updater stopped before its rename while it holds the lock (whether it got
    // there, the companions then), a second one giving up after its bounded wait, the holder
    // killed, the file then, a third update, the file after it.
    if (op == "killed") {
        alarm(30);  // a wait that never ends fails the row
        int ready[2];
        if (pipe(ready) != 0) return std::string("no pipe");
        const pid_t holder = fork();
        if (holder == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the row's child
            g_ready = ready[1];
            zusd_rename = stop_before_rename;
            _exit(static_cast<int>(zusdmy("b", "2", r[2].c_str(), nullptr)));
        }
        close(ready[1]);
        char c = 0;
        const bool held = read(ready[0], &c, 1) == 1;
        const int work = work_files(std::filesystem::path(r[2]).parent_path());
        zusdmy_wait = 50;
        const unsigned waited = zusdmy("c", "3", r[2].c_str(), nullptr);
        const bool killed = kill(holder, SIGKILL) == 0 && waitpid(holder, nullptr, 0) == holder;
        const std::string before = escape(zutest::slurp(r[2]));
        const unsigned s = zusdmy("d", "4", r[2].c_str(), nullptr);
        return words(held, work, waited, killed, before, s, escape(zutest::slurp(r[2])));
    }
    return "unknown operation " + op;
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
    return definition_file(r);
}

TEST(SzusdFileTables, EveryRowReportsAsRecorded) {
    zutest::TempDir dir{"zufile"};
    struct statvfs vfs {};
    ASSERT_EQ(dir.str().size(), 17u);  // the rows of long paths count on it
    ASSERT_EQ(statvfs(dir.c_str(), &vfs), 0);
    zutest::check_rows("szusd_file_cases.tsv", "szusd_file_tree.tsv",
                       {{"$D", dir.str()},
                        {"$LONG", dir.str() + zutest::expand("@{20*/@{99*d}}", {})},
                        {"$BLK", std::to_string(vfs.f_frsize)}},
                       run);
    zutest::check_rows("szusd_deffile_cases.tsv", "szusd_deffile_tree.tsv", {{"$D", dir.str()}},
                       run);
}

}  // namespace
