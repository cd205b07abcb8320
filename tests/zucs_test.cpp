// Whole-program tests of zucomp and zuuncomp: every row of a fault matrix
// (tests/data/zucs_faults.txt, whose head explains the columns) runs the
// real executable through /bin/sh in a directory of its own: refusals,
// write failures, real signals in the middle, runs as another user, and
// successful replacements. A row gives the exit (or the signal that ended
// the run), what it printed, and every file it left.
#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>

#ifndef ZUCOMP_BIN
#error "ZUCOMP_BIN must name the zucomp executable"
#endif

namespace {

using Snapshot = std::map<std::string, std::string>;

// What a name holds, as one word (see the data file's head), read without
// moving its access time where the system allows.
std::string describe(const std::string &path, const passwd &who) {
    struct stat st {};
    char buf[65536];
    lstat(path.c_str(), &st);
    const bool reg = S_ISREG(st.st_mode);
    std::snprintf(buf, sizeof buf, "%o", st.st_mode ^ S_IFREG);
    std::string out = buf, head;
    if (st.st_uid != who.pw_uid) out += std::string(":^") + getpwuid(st.st_uid)->pw_name;
    if (st.st_gid != who.pw_gid) out += std::string(":%") + getgrgid(st.st_gid)->gr_name;
    if (reg && st.st_nlink > 1) out += ":*" + std::to_string(st.st_nlink);
    ssize_t n = S_ISLNK(st.st_mode) ? readlink(path.c_str(), buf, sizeof buf) : 0;
    if (n > 0) out += ":>" + std::string(buf, n);
    int fd = reg ? open(path.c_str(), O_RDONLY | O_NOATIME) : -1;
    fd = reg && fd == -1 ? open(path.c_str(), O_RDONLY) : fd;
    unsigned long long hash = 14695981039346656037ull, size = 0;
    for (; fd != -1 && (n = read(fd, buf, sizeof buf)) > 0;)
        for (ssize_t i = 0; i < n; ++i, ++size) {
            if (size < 25) head += buf[i];
            hash = (hash ^ static_cast<unsigned char>(buf[i])) * 1099511628211ull;
        }
    if (fd != -1) close(fd);
    if (reg && size <= 24 &&
        std::all_of(head.begin(), head.end(), [](char c) { return c > ' ' && c < 127; })) {
        out += ":'" + head + "'";
    } else if (reg && size <= 16) {
        out += ":x";
        for (const char c : head)
            out += "0123456789abcdef"[(c >> 4) & 15], out += "0123456789abcdef"[c & 15];
    } else if (reg) {
        std::snprintf(buf, sizeof buf, ":#%llu/%016llx", size, hash);
        out += buf;
    }
    if (st.st_mtim.tv_sec < 1500000000)
        out += ":@" + std::to_string(st.st_atim.tv_sec) + "/" + std::to_string(st.st_mtim.tv_sec);
    return out;
}

Snapshot snapshot(const std::string &dir, const passwd &who) {
    Snapshot s;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        s[e.path().filename()] = describe(e.path(), who);
    return s;
}

// The files of `dir` as a row gives them, against `before`.
std::string listing(const std::string &dir, const passwd &who, const Snapshot &before) {
    std::string out;
    for (const auto &[name, what] : snapshot(dir, who)) {
        const auto was = before.find(name);
        out +=
            (out.empty() ? "" : " ") + (was != before.end() && was->second == what ? "=" + name
                                        : name[0] == '.' ? ".tmp:" + what.substr(0, what.find(':'))
                                                         : name + ":" + what);
    }
    return out.empty() ? "-" : out;
}

struct Matrix {
    zutest::TempDir tmp{"zucs_test."};
    const std::string bin = tmp / "bin", out = tmp / "out";
    static int finish(pid_t pid, int ws = 0) { return waitpid(pid, &ws, 0) == pid ? ws : -1; }

    // Starts `script` in `dir` as `as`, in its own process group, without
    // core files, both output streams to `out` (see the data file's head).
    pid_t start(const std::string &dir, const std::string &script, const passwd &as,
                const passwd &runner) const {
        const std::string env = "ulimit -c 0; umask 022; unset ZU_ERRORLOG; export B=" + bin +
                                " U=" + runner.pw_name + " D=" ZU_TEST_DATA_DIR " PATH=" + bin +
                                ":$PATH; ";
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid != 0) return pid;
        setpgid(0, 0);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (chdir(dir.c_str()) == 0 && fd != -1 && dup2(fd, 1) != -1 && dup2(fd, 2) != -1 &&
            (as.pw_uid == geteuid() ||
             (setgroups(0, nullptr) == 0 && setgid(as.pw_gid) == 0 && setuid(as.pw_uid) == 0)))
            execl("/bin/sh", "sh", "-c", (env + script).c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }

    // Once the run's temporary output holds data: stop its process group and
    // send `sig`, or for SIGSTOP check that an owner-only temporary file is
    // all that has changed; then let it go on.
    void interrupt(pid_t pid, const std::string &dir, int sig, const passwd &who,
                   const Snapshot &before) const {
        struct stat st {};
        const auto writing = [&] {
            for (const auto &e : std::filesystem::directory_iterator(dir))
                if (e.path().filename().string()[0] == '.' && stat(e.path().c_str(), &st) == 0)
                    return st.st_size > 0;
            return false;
        };
        for (int i = 0; i < 50000 && !writing(); ++i) usleep(200);
        kill(-pid, SIGSTOP);
        int ws = 0;
        ASSERT_TRUE(waitpid(pid, &ws, WUNTRACED) == pid && WIFSTOPPED(ws)) << "ended too early";
        const std::string now = sig == SIGSTOP ? listing(dir, who, before) : ".tmp:600";
        EXPECT_EQ(std::regex_replace(now, std::regex(" ?=\\S+"), ""), ".tmp:600") << now;
        kill(-pid, sig == SIGSTOP ? SIGCONT : sig);
        kill(-pid, SIGCONT);
    }

    // Every row of `table`.
    void run(const std::string &table) const {
        // A copy of the program, which a row run as another user can reach
        // wherever the build is.
        ASSERT_TRUE(mkdir(bin.c_str(), 0755) == 0 &&
                    std::filesystem::copy_file(ZUCOMP_BIN, bin + "/zucomp"));
        for (const char *name : {"zuuncomp", "ZUCOMP.x", "other"})
            ASSERT_EQ(symlink("zucomp", (bin + "/" + name).c_str()), 0);
        ASSERT_EQ(chmod(tmp.c_str(), 0711), 0);
        const passwd self = *getpwuid(geteuid()), nobody = *getpwnam("nobody");
        int n = 0;
        for (const auto &f : zutest::table(table)) {
            ASSERT_EQ(f.size(), 9u) << f.at(0);
            SCOPED_TRACE(f[0]);
            const std::string dir = tmp / std::to_string(++n);
            ASSERT_EQ(mkdir(dir.c_str(), 0755) | chmod(dir.c_str(), 0777), 0);
            if (f[1] != "-" && finish(start(dir, f[1], self, self)) != 0 &&
                std::printf("[ SKIPPED  ] %s: needs %s\n", f[0].c_str(), f[1].c_str()) > 0)
                continue;
            const passwd &who = f[2] == "nobody" && geteuid() == 0 ? nobody : self;
            ASSERT_EQ(finish(start(dir, f[3], self, who)), 0) << "set-up: " << zutest::slurp(out);
            const Snapshot before = snapshot(dir, who);
            const pid_t pid = start(dir, f[4], who, who);
            int sig = 1;
            while (sig < NSIG && f[5] != (sigabbrev_np(sig) ? sigabbrev_np(sig) : "")) ++sig;
            if (f[5] != "-") interrupt(pid, dir, sig, who, before);
            const int ws = finish(pid);
            EXPECT_EQ(WIFEXITED(ws) ? std::to_string(WEXITSTATUS(ws)) : sigabbrev_np(WTERMSIG(ws)),
                      f[6]);
            EXPECT_EQ(zutest::slurp(out),
                      std::regex_replace(f[7] == "-" ? "" : f[7], std::regex("\\\\n"), "\n"));
            EXPECT_EQ(listing(dir, who, before), f[8]);
        }
    }
};

TEST(Zucs, FaultMatrix) {
    Matrix().run("zucs_faults.txt");
}

// Sparse files past 4 GiB, in the same form (opt-in: slow).
TEST(Zucs, FileOverFourGibRoundTrips) {
    const char *big = std::getenv("ZU_BIG_TESTS");
    if (big == nullptr || std::strcmp(big, "1") != 0) GTEST_SKIP() << "set ZU_BIG_TESTS=1";
    Matrix().run("zucs_big.txt");
}

}  // namespace
