// Helpers shared by the tests: a temporary directory that removes itself,
// whole-file reads and writes, data tables, a forked child with its own
// process group for anything that changes process-wide state (signals,
// working directory, environment, identity), and tables whose rows run in
// such children.
#ifndef ZU_TESTS_TESTUTIL_H
#define ZU_TESTS_TESTUTIL_H

#include "szusd.h"
#include "szusdu.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace zutest {

// A whole file ("" for one that cannot be read, even a directory).
inline std::string slurp(const std::string &path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// Splits `text` at each `sep`; empty fields are kept.
inline std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == sep)
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    return parts;
}

// A sample file of tests/data, whole. A file that is missing or empty fails
// the calling test with the file's name, so a broken checkout never passes
// for empty data.
inline std::string data(const std::string &name) {
    const std::string path = std::string(ZU_TEST_DATA_DIR) + "/" + name, text = slurp(path);
    if (text.empty()) ADD_FAILURE() << "missing test data file " << path;
    return text;
}

// The rows of a tab-separated table of tests/data: lines that are empty or
// start with '#' are skipped, the rest split on tabs. A missing table fails
// the calling test naming the file (see data()).
inline std::vector<std::vector<std::string>> table(const std::string &name) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(data(name));
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') rows.push_back(split(line, '\t'));
    return rows;
}

inline void spit(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// True when anything (even a dangling symbolic link) has the name.
inline bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Removes a tree, first giving back the owner's rights to directories a
// test locked, without following symbolic links.
inline void remove_tree(const std::string &path) {
    std::error_code none;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(path, none))) return;
    chmod(path.c_str(), 0700);
    for (const auto &e : std::filesystem::directory_iterator(path, none)) remove_tree(e.path());
    std::filesystem::remove_all(path, none);
}

// A directory made by mkdtemp under /tmp, removed with all it holds.
class TempDir {
  public:
    explicit TempDir(const std::string &prefix = "zutest") {
        std::string tmpl = "/tmp/" + prefix + "XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        path_ = tmpl;
    }
    ~TempDir() { remove_tree(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &str() const { return path_; }
    const char *c_str() const { return path_.c_str(); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    // Writes `text` to the named file inside and returns its path.
    std::string file(const std::string &name, const std::string &text = "") const {
        spit(*this / name, text);
        return *this / name;
    }

  private:
    std::string path_;
};

// Runs `fn` in a forked child that has its own process group, so nothing it
// does can reach the test runner, and returns the child's exit code (128 +
// the signal number when a signal ended it, -1 when it could not be run).
// Failed gtest checks in a child are printed but never reach the parent: a
// `fn` that returns int chooses the exit code, and when that is 0, as one
// that returns nothing, the child exits 1 when any of its checks failed.
template <class Fn>
int run_in_child(Fn &&fn) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        setpgid(0, 0);
        int code = 0;
        if constexpr (std::is_void_v<decltype(fn())>)
            fn();
        else
            code = fn();
        std::fflush(nullptr);
        _exit(code != 0 ? code : ::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) != pid)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ---- Tables whose rows run in forked children ---------------------------------

using Vars = std::vector<std::pair<std::string, std::string>>;

// `text` with each key of `vars` replaced by its value, then each @{N*TEXT}
// by N copies of TEXT, innermost first (long names and values in tables).
inline std::string expand(std::string text, const Vars &vars) {
    for (const auto &[key, value] : vars)
        for (size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += value.size())
            text.replace(at, key.size(), value);
    for (size_t at; (at = text.rfind("@{")) != std::string::npos;) {
        const size_t star = text.find('*', at), close = text.find('}', star);
        std::string copies;
        for (unsigned long n = std::stoul(text.substr(at + 2)); n > 0; --n)
            copies += text.substr(star + 1, close - star - 1);
        text.replace(at, close + 1 - at, copies);
    }
    return text;
}

// Newlines, returns and tabs as \n, \r and \t, and back: table cells hold
// neither.
inline std::string escape(const std::string &text) {
    std::string out;
    for (const char c : text)
        out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : std::string(1, c);
    return out;
}
// A table cell as the bytes it stands for: \n, \r, \t, \\ and \xHH escape
// a byte.
inline std::string unescape(const std::string &cell) {
    std::string out;
    for (std::size_t i = 0; i < cell.size(); ++i) {
        if (cell[i] != '\\' || i + 1 == cell.size()) {
            out += cell[i];
        } else if (cell[++i] == 'x') {
            out += static_cast<char>(std::stoi(cell.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += cell[i] == 'n' ? '\n' : cell[i] == 'r' ? '\r' : cell[i] == 't' ? '\t' : cell[i];
        }
    }
    return out;
}

// The bytes a table cell describes: "rand SEED SIZE ALPHABET" (std::mt19937
// (SEED), each byte rng() % ALPHABET), "file NAME [COUNT]" (tests/data/NAME,
// COUNT times over), else the cell's text, expanded and unescaped.
inline std::string content(const std::string &cell) {
    std::istringstream in(cell);
    std::string kind, name, out;
    unsigned long n = 0, alphabet = 0;
    in >> kind >> name >> n >> alphabet;
    for (unsigned long k = 0; kind == "file" && k < std::max(n, 1ul); ++k)
        out += zutest::data(name);
    std::mt19937 rng(kind == "rand" ? std::stoul(name) : 0);
    for (unsigned long k = 0; kind == "rand" && k < n; ++k)
        out += static_cast<char>(rng() % alphabet);
    return kind == "file" || kind == "rand" ? out : unescape(expand(cell, {}));
}

// The values written one after another, separated by single blanks; those
// that print as nothing are left out.
template <class... T>
std::string words(const T &...values) {
    std::string text;
    const auto add = [&](const auto &value) {
        std::ostringstream one;
        one << value;
        if (!one.str().empty()) text += (text.empty() ? "" : " ") + one.str();
    };
    (add(values), ...);
    return text;
}

// An allocator for the modules' allocation seams whose call number
// `alloc_fails_at` (counted in alloc_calls from 1; 0: none) fails.
inline int alloc_calls = 0, alloc_fails_at = 0;
inline void *failing_alloc(std::size_t n) {
    return ++alloc_calls == alloc_fails_at ? nullptr : std::malloc(n);
}

// A status, with the error number after a failure ("0" for success).
inline std::string status(unsigned s) {
    return s != 0 ? words(s, "e" + std::to_string(errno)) : "0";
}

// A table cell as an argument: "-" stands for a null pointer. And a text
// that may be null, for a report.
inline const char *arg(const std::string &cell) {
    return cell == "-" ? nullptr : cell.c_str();
}
inline std::string shown(const char *text) {
    return text != nullptr ? text : "(null)";
}

// The permission bits of `path` in octal, "none" when it cannot be read.
inline std::string mode_of(const char *path) {
    struct stat st {};
    char mode[8] = "none";
    if (path != nullptr && stat(path, &st) == 0)
        std::snprintf(mode, sizeof mode, "%o", st.st_mode & 07777);
    return mode;
}

// A file as [content mode], escaped, its dates in the display layout as
// DATE ("" for no name).
inline std::string file_report(const char *path) {
    static const std::regex date(R"(\d\d/\d\d/\d\d (0[1-9]|1[0-2]):\d\d:\d\d (AM|PM))");
    if (path == nullptr || *path == '\0') return "";
    return "[" + escape(std::regex_replace(slurp(path), date, "DATE")) + " " + mode_of(path) + "]";
}

// The number of descriptors this process has open: a call that returns
// with more than before left one behind.
inline size_t open_files() {
    std::error_code none;
    const std::filesystem::directory_iterator fds("/proc/self/fd", none);
    return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

// Makes the tree of table `name` afresh under `root` (its key in `vars`):
// rows "kind<TAB>path<TAB>owner:group or -<TAB>octal mode<TAB>content",
// kind d (directory), f (file, content with \n escapes) or l (symbolic link
// to content). Paths and contents are expanded with `vars`.
inline void make_tree(const std::string &root, const std::string &name, const Vars &vars) {
    remove_tree(root);
    mkdir(root.c_str(), 0755);
    for (auto row : table(name)) {
        row.resize(5);
        const std::string path = expand(row[1], vars), content = unescape(expand(row[4], vars));
        if (row[0] == "d") mkdir(path.c_str(), 0700);
        if (row[0] == "f") spit(path, content);
        if (row[0] == "l") {
            EXPECT_EQ(symlink(content.c_str(), path.c_str()), 0) << path;
        }
        if (const auto ids = split(row[2], ':'); ids.size() == 2) {
            const struct passwd *pw = getpwnam(ids[0].c_str());
            const struct group *gr = getgrnam(ids[1].c_str());
            EXPECT_TRUE(pw && gr && lchown(path.c_str(), pw->pw_uid, gr->gr_gid) == 0) << path;
        }
        if (row[0] != "l") chmod(path.c_str(), static_cast<mode_t>(std::stoul(row[3], nullptr, 8)));
    }
}

// The volume settings by name.
inline const std::pair<const char *, char *> volume_settings[] = {
    {"whtdsk", whtdsk},       {"owhtdsk", owhtdsk}, {"mntcmd", mntcmd},    {"umntcmd", umntcmd},
    {"floppylog", floppylog}, {"prevmnt", prevmnt}, {"prevumnt", prevumnt}};

// The file-system seam's answer for set-up items statvfs:FRSIZE/AVAIL/ERRNO:
// the fragment size and the free fragments, or a failure with ERRNO.
inline struct statvfs fake_fs {};
inline int fake_fs_errno = 0;
inline int fake_statvfs(const char *, struct statvfs *to) {
    return fake_fs_errno != 0 ? errno = fake_fs_errno, -1 : (*to = fake_fs, 0);
}

// Applies one set-up item of a table row, in a child: env:NAME=VALUE,
// unenv:NAME, cd:DIR, umask:OCTAL, alarm:SECONDS, set:SETTING=VALUE (a volume
// setting), statvfs:FRSIZE/AVAIL/ERRNO (fake_statvfs), tmpfs:DIR=SIZE, put:PATH=TEXT (a file, and
// its directories), size:PATH=BYTES (a sparse file), times:PATH=ATIME/MTIME (seconds.nanoseconds),
// off (no error log), lg:PATH:LEVEL (zusdlg), groups:NAME,NAME... (the supplementary groups) and
// user:NAME (become that user with its primary group and no supplementary
// groups; last, since it gives up the rights for the rest). False for an
// item of another kind, or one that failed.
inline bool setup_item(const std::string &item) {
    const size_t colon = item.find(':');
    const std::string kind = item.substr(0, colon), arg = item.substr(colon + 1);
    const size_t eq = arg.find('=');
    for (const auto &[name, setting] : volume_settings)
        if (kind == "set" && arg.substr(0, eq) == name)
            return std::snprintf(setting, ZUSD_VOLSETSZ, "%s", &arg[eq + 1]) < int{ZUSD_VOLSETSZ};
    const std::string path = arg.substr(0, eq), value = arg.substr(eq + 1);
    if (kind == "statvfs") {
        const auto v = split(arg, '/');
        fake_fs.f_bsize = fake_fs.f_frsize = std::stoul(v[0]);
        fake_fs.f_bavail = std::stoull(v[1]);
        fake_fs_errno = std::stoi(v[2]);
        return zusd_statvfs = fake_statvfs, true;
    }
    if (kind == "tmpfs")  // its own small file system, in a private mount namespace
        return unshare(CLONE_NEWNS) == 0 &&
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + value).c_str()) == 0;
    std::error_code none;
    if (kind == "put") std::filesystem::create_directories(path.substr(0, path.rfind('/')), none);
    if (kind == "put" || kind == "size") spit(path, kind == "put" ? value : "");
    if (kind == "put") return true;
    if (kind == "size") return truncate(path.c_str(), std::stoll(value)) == 0;
    if (kind == "times") {
        const auto t = split(value, '/');
        const auto ts = [](const std::string &v) {
            return timespec{std::stol(v), std::stol(v.substr(v.find('.') + 1))};
        };
        const timespec both[2] = {ts(t[0]), ts(t[1])};
        return utimensat(AT_FDCWD, path.c_str(), both, 0) == 0;
    }
    if (kind == "off") {
        std::free(zusdlg_filename);
        zusdlg_filename = nullptr;
        zusdlg_level = 0;
        return true;
    }
    if (kind == "lg") {
        zusdlg(arg.substr(0, arg.rfind(':')).c_str(), std::stoul(arg.substr(arg.rfind(':') + 1)));
        return true;
    }
    if (kind == "env") return setenv(arg.substr(0, eq).c_str(), arg.substr(eq + 1).c_str(), 1) == 0;
    if (kind == "unenv") return unsetenv(arg.c_str()) == 0;
    if (kind == "cd") return chdir(arg.c_str()) == 0;
    if (kind == "umask") return umask(static_cast<mode_t>(std::stoul(arg, nullptr, 8))), true;
    if (kind == "alarm") {  // alarm:N, a signal after N seconds that interrupts a waiting call
        struct sigaction interrupt {};
        interrupt.sa_handler = [](int) {};
        return sigaction(SIGALRM, &interrupt, nullptr) == 0 &&
               (alarm(static_cast<unsigned>(std::stoul(arg))), true);
    }
    if (kind == "groups") {
        std::vector<gid_t> gids;
        for (const auto &g : split(arg, ','))
            if (const struct group *gr = g.empty() ? nullptr : getgrnam(g.c_str()))
                gids.push_back(gr->gr_gid);
        return setgroups(gids.size(), gids.data()) == 0;
    }
    const struct passwd *pw = kind == "user" ? getpwnam(arg.c_str()) : nullptr;
    return pw != nullptr && setgroups(0, nullptr) == 0 && setgid(pw->pw_gid) == 0 &&
           setuid(pw->pw_uid) == 0;
}

// Runs fn with the leak check blind to what it allocates: for memory handed
// to the process environment on purpose (putenv entries are never freed).
template <class Fn>
auto env_owned(Fn &&fn) {
#if defined(__SANITIZE_ADDRESS__)
    __lsan::ScopedDisabler blind;
#endif
    return fn();
}

// Runs `fn` in a child (run_in_child) with standard output in <dir>/.out
// and the error log in <dir>/.log, and reports what fn returned (or
// "exit=N" when the child ended otherwise), then " >" and what it printed,
// then " !" and the message of each error record. In the sanitizer build a
// child that leaked adds " LEAK".
inline std::string child_report(const std::string &dir, const std::function<std::string()> &fn) {
    const std::string out = dir + "/.out", log = dir + "/.log";
    FILE *result = std::tmpfile();  // opened before the child may give up its rights
    const int code = run_in_child([&] {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int logfd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0 || logfd < 0 || dup2(fd, 1) != 1 || fchmod(logfd, 0666) != 0) return 99;
        close(fd);
        close(logfd);
        zusdlg(log.c_str(), 1);
        errno = 0;  // a row that reports errno sees only what its calls set
        std::string text = "=" + fn();
#if defined(__SANITIZE_ADDRESS__)
        if (__lsan_do_recoverable_leak_check() != 0) text += " LEAK";
#endif
        std::fputs(text.c_str(), result);
        return 0;
    });
    std::string text = slurp("/proc/self/fd/" + std::to_string(fileno(result)));
    std::fclose(result);
    text = text.empty() ? "exit=" + std::to_string(code) : text.substr(1);
    if (const std::string printed = slurp(out); !printed.empty()) text += " >" + escape(printed);
    std::istringstream records(slurp(log));
    for (std::string line; std::getline(records, line);)
        if (const size_t at = line.find("]  "); at != std::string::npos)
            text += " !" + line.substr(at + 3, line.rfind(" ))") - at - 3);
    return text;
}

// Checks every row of table `name`: cells expanded with `vars` (the first
// is the root of the tree `tree`, made afresh for each row), the last cell
// the expected report, `run` the row in a child (see child_report) after the
// set-up items of its first cell ('|' between them, "-" none): those that
// `own` takes (returns true for), the others by setup_item.
inline void check_rows(const std::string &name, const std::string &tree, const Vars &vars,
                       const std::function<std::string(const std::vector<std::string> &)> &run,
                       const std::function<bool(const std::string &)> &own = nullptr) {
    for (auto row : table(name)) {  // (a missing or empty table fails in data())
        make_tree(vars.at(0).second, tree, vars);
        const std::string want = expand(row.back(), vars);
        row.pop_back();
        for (auto &cell : row) cell = unescape(expand(cell, vars));
        const auto set_up_and_run = [&] {
            for (const auto &item : split(row[0], '|'))
                if (item != "-" && !(own && own(item)) && !setup_item(item))
                    return "set-up failed: " + item;
            return run(row);
        };
        const std::string got = child_report(vars.at(0).second, set_up_and_run);
        if (got.starts_with("set-up failed: tmpfs:"))  // a machine without private mounts
            std::printf("[ SKIPPED  ] %s: %s\n", name.c_str(), got.c_str());
        else
            EXPECT_EQ(got, want) << name << ": " << testing::PrintToString(row).substr(0, 400);
    }
}

}  // namespace zutest

#endif  // ZU_TESTS_TESTUTIL_H
