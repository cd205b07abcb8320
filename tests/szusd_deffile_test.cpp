// Definition files: the token reader, delimiter patterns, lookup and list
// modes, the section list, the platform check, and the rewrite of entries
// through a work file (every other byte kept, atomic replacement). Each row
// of szusd_deffile_cases.tsv runs in a forked child on the tree of
// szusd_deffile_tree.tsv: also a full file system (a private tmpfs),
// concurrent updaters and an updater killed while it holds the lock.
#include "szusd.h"
#include "testutil.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>

namespace {

using zutest::arg;
using zutest::escape;
using zutest::words;

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

std::string run(const std::vector<std::string> &r) {
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

TEST(SzusdDeffileTable, EveryRowReportsAsRecorded) {
    zutest::TempDir dir{"zudef"};
    zutest::check_rows("szusd_deffile_cases.tsv", "szusd_deffile_tree.tsv", {{"$D", dir.str()}},
                       run);
}

// Processes setting different names in one file at once: every entry lands
// exactly once and the lines nobody touched stay.
}  // namespace
