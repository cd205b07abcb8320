// Whole-program tests of zucomp and zuuncomp: the real executable, started
// under the names it is tested with, in a temporary directory. Compressed
// bytes are checked against an independent encoder of the stream format
// written here from the format's rules.
#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#ifndef ZUCOMP_BIN
#error "ZUCOMP_BIN must name the zucomp executable"
#endif

namespace {

using zutest::exists;
using zutest::slurp;
using zutest::spit;

// ---- Reference encoder of the stream format ----------------------------
// Header 14; greedy longest match; one new code per code written; the width
// is what the highest assigned code needs (9 to 14 bits); a clear code (1)
// at the current width when the table is full (highest code 16382); MSB
// first; zero padding. Also returns, in *ends, the bit position after each
// code (for cut tests).
std::string refencode(const std::string &text, std::vector<std::uint64_t> *ends = nullptr) {
    const auto *in = reinterpret_cast<const std::uint8_t *>(text.data());
    std::string out;
    std::uint64_t acc = 0, pos = 0;
    int bits = 0;
    auto put = [&](std::uint32_t code, int n) {
        acc = (acc << n) | code;
        bits += n;
        pos += n;
        for (; bits >= 8; bits -= 8) out.push_back(static_cast<char>(acc >> (bits - 8)));
        if (ends != nullptr && pos > 8) ends->push_back(pos);
    };
    auto width = [](std::uint32_t next) {
        int w = 9;
        while (w < 16 && next >= (1u << w)) ++w;
        return w;
    };
    put(14, 8);
    std::unordered_map<std::uint32_t, std::uint16_t> dict;
    std::uint32_t next = 257, match = in[0] + 2u;
    for (std::size_t i = 1;;) {
        bool more = false;
        std::uint8_t c = in[text.size() - 1];
        while (i < text.size()) {
            c = in[i++];
            const auto it = dict.find(match << 8 | c);
            if (it == dict.end()) {
                more = true;
                break;
            }
            match = it->second;
        }
        put(match, width(next));
        if (next == 16382) {
            put(1, width(next));
            dict.clear();
            next = 257;
        } else {
            dict.emplace(match << 8 | c, static_cast<std::uint16_t>(++next));
        }
        if (!more) break;
        match = c + 2u;
    }
    if (bits > 0) out.push_back(static_cast<char>(acc << (8 - bits)));
    return out;
}

// ---- Files and processes ------------------------------------------------

// What a name holds, for "unchanged" checks: its type and bits, its owner,
// and its link target or contents (a FIFO is not read), read without moving
// its access time where the system allows.
std::string describe(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return "(absent)";
    std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " ";
    char buf[65536];
    ssize_t n = S_ISLNK(st.st_mode) ? readlink(path.c_str(), buf, sizeof buf) : 0;
    what.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    int fd = S_ISREG(st.st_mode) ? open(path.c_str(), O_RDONLY | O_NOATIME) : -1;
    if (fd == -1 && S_ISREG(st.st_mode)) fd = open(path.c_str(), O_RDONLY);
    while (fd != -1 && (n = read(fd, buf, sizeof buf)) > 0) what.append(buf, n);
    if (fd != -1) close(fd);
    return what;
}

// The temporary outputs in `dir`: the names starting with a dot.
std::vector<std::string> temps(const std::string &dir) {
    std::vector<std::string> found;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string()[0] == '.') found.push_back(e.path().string());
    return found;
}

std::vector<std::string> split(const std::string &text, const std::string &sep) {
    std::vector<std::string> parts;
    for (std::size_t at = 0;;) {
        const std::size_t end = text.find(sep, at);
        parts.push_back(text.substr(at, end - at));
        if (end == std::string::npos) return parts;
        at = end + sep.size();
    }
}

int signum(const std::string &name) {
    static const std::map<std::string, int> sigs = {{"INT", SIGINT},   {"TERM", SIGTERM},
                                                    {"HUP", SIGHUP},   {"QUIT", SIGQUIT},
                                                    {"KILL", SIGKILL}, {"STOP", SIGSTOP}};
    return sigs.count(name) != 0 ? sigs.at(name) : 0;
}

template <class Map>
std::string lookup(const Map &map, const std::string &key) {
    return map.count(key) != 0 ? map.at(key) : "(absent)";
}

mode_t modeof(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string randombytes(std::size_t n, unsigned seed, int alphabet = 256) {
    std::mt19937 gen(seed);
    std::string b(n, '\0');
    for (auto &x : b) x = static_cast<char>(gen() % alphabet);
    return b;
}

struct Result {
    int status = -1;  // exit status, or -1 when killed
    std::string out;  // standard output
};

std::string report(const std::string &src, const std::string &dst, const std::string &msg,
                   int err) {
    std::string s = "     SRC PATH: " + src + "\n     DST PATH: " + dst + "\n   ZUCS ERROR: " + msg;
    if (err == 0) return s + " (internal)\n";
    return s + "\n SYSTEM ERRNO: " + std::to_string(err) +
           "\nSYSTEM ERRMSG: " + std::strerror(err) + "\n";
}

class Zucs : public ::testing::Test {
  public:
    zutest::TempDir tmp{"zucs_test."};
    const std::string dir = tmp.str();
    const std::string outfile = dir + "/.out";

    void SetUp() override {
        for (const char *name : {"zucomp", "zuuncomp", "ZUCOMP.x", "other"})
            ASSERT_EQ(symlink(ZUCOMP_BIN, p(name).c_str()), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0711), 0);  // for runs as another user
    }
    std::string p(const std::string &name) const { return tmp / name; }

    // Starts `cmd` (one of the links above) with `args` in `cwd` (the test
    // directory when empty), its standard output to `outfile`, in its own
    // process group, without core files. `fsize` limits the files it writes
    // (SIGXFSZ ignored); `user` names a user to run it as; `ignored` is a
    // signal it starts with ignored.
    pid_t start(const std::string &cmd, const std::vector<std::string> &args,
                rlim_t fsize = RLIM_INFINITY, const char *errorlog = nullptr,
                const std::string &cwd = "", const char *user = nullptr, int ignored = 0) const {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid != 0) return pid;
        setpgid(0, 0);
        const int fd = open(outfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const struct rlimit nocore = {0, 0};
        if (chdir(cwd.empty() ? dir.c_str() : cwd.c_str()) != 0 || fd == -1 || dup2(fd, 1) == -1 ||
            setrlimit(RLIMIT_CORE, &nocore) != 0)
            _exit(127);
        const passwd *pw = user != nullptr ? getpwnam(user) : nullptr;
        if (user != nullptr && (pw == nullptr || setgroups(0, nullptr) != 0 ||
                                setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0))
            _exit(127);
        close(fd);
        if (ignored != 0) signal(ignored, SIG_IGN);
        if (errorlog != nullptr)
            setenv("ZU_ERRORLOG", errorlog, 1);
        else
            unsetenv("ZU_ERRORLOG");
        const struct rlimit rl = {fsize, fsize};
        if (fsize != RLIM_INFINITY &&
            (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &rl) != 0))
            _exit(127);
        umask(022);
        std::vector<char *> argv{const_cast<char *>(cmd.c_str())};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(p(cmd).c_str(), argv.data());
        _exit(127);
    }

    // The exit status, or -1 when a signal ended the process (its wait
    // status then in *ws).
    static int finish(pid_t pid, int *ws = nullptr) {
        int st = 0;
        while (waitpid(pid, &st, 0) == -1 && errno == EINTR) {
        }
        if (ws != nullptr) *ws = st;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    Result run(const std::string &cmd, const std::vector<std::string> &args,
               rlim_t fsize = RLIM_INFINITY, const char *errorlog = nullptr) const {
        Result r;
        r.status = finish(start(cmd, args, fsize, errorlog));
        r.out = slurp(outfile);
        unlink(outfile.c_str());
        return r;
    }

    // Compresses `data` as `name`, checks the stream against the reference
    // encoder and restores it under `restore` (the compressed name when empty).
    void roundtrip(const std::string &name, const std::string &data, std::string restore = "") {
        spit(p(name), data);
        const Result r = run("zucomp", {name});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(exists(p(name)));
        EXPECT_EQ(slurp(p(name + "_")), refencode(data));
        ASSERT_EQ(run("zuuncomp", {restore.empty() ? name + "_" : restore}).status, 0);
        EXPECT_FALSE(exists(p(name + "_")));
        EXPECT_EQ(slurp(p(name)), data);
    }

    // ---- Rows of the fault matrix (tests/data/zucs_faults.txt) ----------

    // One set-up step in `here`; `made` keeps what each file was given.
    void setup(const std::string &here, const std::string &step,
               std::map<std::string, std::string> &made) const {
        const std::vector<std::string> w = split(step, " ");
        const std::string at = here + "/" + w.at(1), v = w.size() > 2 ? w[2] : "";
        const std::string to = here + "/" + v;
        bool ok = true;
        if (w[0] == "text") {
            spit(at, made[w[1]] = v == "-" ? "" : v);
        } else if (w[0] == "hex") {
            std::string bytes;
            for (std::size_t i = 0; i + 1 < v.size(); i += 2)
                bytes.push_back(static_cast<char>(std::stoi(v.substr(i, 2), nullptr, 16)));
            spit(at, made[w[1]] = bytes);
        } else if (w[0] == "random") {
            const std::size_t size = std::stoul(v) << (v.back() == 'M' ? 20 : 0);
            spit(at, made[w[1]] = randombytes(size, 7, std::stoi(w.at(3))));
        } else if (w[0] == "owner") {
            const passwd *pw = getpwnam(v.c_str());
            ok = pw != nullptr && chown(at.c_str(), pw->pw_uid, pw->pw_gid) == 0;
        } else if (w[0] == "times") {
            const struct timespec t[2] = {{std::stol(v), 0}, {std::stol(w.at(3)), 0}};
            ok = utimensat(AT_FDCWD, at.c_str(), t, 0) == 0;
        } else if (w[0] == "run") {
            ok = finish(start(w[1], {w.begin() + 2, w.end()}, RLIM_INFINITY, nullptr, here)) == 0;
        } else {
            ok = w[0] == "dir"       ? mkdir(at.c_str(), 0755) == 0
                 : w[0] == "fifo"    ? mkfifo(at.c_str(), 0600) == 0
                 : w[0] == "symlink" ? symlink(w[1].c_str(), to.c_str()) == 0
                 : w[0] == "link"
                     ? link(at.c_str(), to.c_str()) == 0
                     : w[0] == "mode" && chmod(at.c_str(), std::stoul(v, nullptr, 8)) == 0;
        }
        EXPECT_TRUE(ok) << step;
    }

    // Once the run's temporary output holds data: stop its process group and
    // send `sig`, or for SIGSTOP check that what it has written so far is
    // owner-only and that nothing else has changed; then let it go on.
    void interrupt(pid_t pid, const std::string &here, int sig,
                   const std::map<std::string, std::string> &before) const {
        struct stat st {};
        const auto writing = [&] {
            const auto t = temps(here);
            return t.size() == 1 && stat(t[0].c_str(), &st) == 0 && st.st_size > 0;
        };
        for (int i = 0; i < 50000 && !writing(); ++i) usleep(200);
        kill(-pid, SIGSTOP);
        int ws = 0;
        ASSERT_TRUE(waitpid(pid, &ws, WUNTRACED) == pid && WIFSTOPPED(ws)) << "ended too early";
        if (sig == SIGSTOP) {
            EXPECT_EQ(modeof(temps(here).at(0)), 0600u);
            for (const auto &[name, was] : before) EXPECT_EQ(describe(here + "/" + name), was);
        } else {
            kill(-pid, sig);
        }
        kill(-pid, SIGCONT);
    }

    // One check of the files after a row (see the data file's head).
    static void check(const std::string &here, const std::string &c,
                      const std::map<std::string, std::string> &before,
                      const std::map<std::string, std::string> &made) {
        SCOPED_TRACE(c);
        const std::size_t op = c.find_first_of("<%:^@", 1);
        const std::string name = c[0] == '=' || c[0] == '-' ? c.substr(1) : c.substr(0, op);
        const std::string path = here + "/" + name, arg = op < c.size() ? c.substr(op + 1) : "";
        struct stat st {};
        const bool there = lstat(path.c_str(), &st) == 0;
        if (c[0] == '=') {
            EXPECT_EQ(describe(path), lookup(before, name));
        } else if (c[0] == '-' || !there) {
            EXPECT_EQ(there, c[0] != '-');
        } else if (c[op] == '<' || c[op] == '%') {
            EXPECT_EQ(slurp(path), c[op] == '<' ? lookup(made, arg) : refencode(lookup(made, arg)));
        } else if (c[op] == ':') {
            EXPECT_EQ(st.st_mode & 07777, std::stoul(arg, nullptr, 8));
        } else if (c[op] == '^') {
            EXPECT_EQ(st.st_uid, getpwnam(arg.c_str())->pw_uid);
        } else {
            EXPECT_EQ(std::to_string(st.st_atim.tv_sec) + "/" + std::to_string(st.st_mtim.tv_sec),
                      arg);
        }
    }
};

// ---- Round trips and stream bytes ---------------------------------------

TEST_F(Zucs, WorkedExamplesGiveTheirStreamBytes) {
    for (const auto &[text, stream] : std::vector<std::pair<std::string, std::string>>{
             {"a", "\x0E\x31\x80"}, {"aa", "\x0E\x31\x98\xC0"}, {"aaa", "\x0E\x31\xC0\x80"}}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(refencode(text), stream);
        roundtrip("f", text);
    }
}

TEST_F(Zucs, CorpusAndRandomFilesRoundTripAgainstReferenceBytes) {
    for (const char *name : {"alice29.txt", "plrabn12.txt.gz"}) {
        SCOPED_TRACE(name);
        roundtrip(name, zutest::data(name));
    }
    // Small alphabets fill the table and make clear codes; full bytes make
    // 14-bit codes. Restored by the name without '_'.
    const std::vector<std::pair<std::size_t, int>> shapes = {
        {1, 256}, {2, 2}, {1000, 4}, {300000, 3}, {300000, 256}, {70000, 16}};
    unsigned seed = 1;
    for (const auto &[size, alphabet] : shapes) {
        SCOPED_TRACE(std::to_string(size) + "/" + std::to_string(alphabet));
        roundtrip("r", randombytes(size, seed++, alphabet), "r");
    }
}

// ---- Names ----------------------------------------------------------------

TEST_F(Zucs, NameRules) {
    spit(p("data.txt"), "hello hello hello");
    ASSERT_EQ(run("ZUCOMP.x", {"data.txt"}).status, 0);  // folded, extension dropped
    EXPECT_TRUE(exists(p("data.txt_")));
    ASSERT_EQ(run("other", {"data.txt_", "copy"}).status, 0);  // any name with a target restores
    EXPECT_FALSE(exists(p("data.txt_")));
    EXPECT_EQ(slurp(p("copy")), "hello hello hello");

    ASSERT_EQ(mkdir(p("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(p("sub/dir").c_str(), 0755), 0);
    spit(p("sub/dir/f"), "xyz");
    ASSERT_EQ(run("zucomp", {"sub/dir/f"}).status, 0);
    EXPECT_TRUE(exists(p("sub/dir/f_")));
    ASSERT_EQ(run("zuuncomp", {dir + "/sub/dir/f_"}).status, 0);
    EXPECT_TRUE(exists(p("sub/dir/f")));
    EXPECT_FALSE(exists(p("sub/dir/f_")));
}

TEST_F(Zucs, UsageCases) {
    spit(p("a"), "abc");
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"zucomp", {}},   {"zucomp", {"a", "b"}},           {"zucomp", {"a", "b", "c"}},
        {"zuuncomp", {}}, {"zucomp", {"a", "b", "c", "d"}}, {"other", {"a"}}};
    for (const auto &[cmd, args] : cases) {
        SCOPED_TRACE(cmd + " with " + std::to_string(args.size()) + " arguments");
        const Result r = run(cmd, args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "Usage: zucomp src\n   or: zuuncomp src [target]\n\n");
    }
    EXPECT_EQ(slurp(p("a")), "abc");
    EXPECT_FALSE(exists(p("a_")));
    EXPECT_FALSE(exists(p("b")));
}

// ---- Reports ----------------------------------------------------------------

TEST_F(Zucs, ErrorLogRecordsTheFailingCall) {
    const std::string log = p("errors.log");
    EXPECT_EQ(run("zucomp", {"missing"}, RLIM_INFINITY, log.c_str()).status, 1);
    const std::string line = slurp(log);
    EXPECT_NE(line.find("(( ZUERR-OSD: "), std::string::npos) << line;
    EXPECT_NE(line.find("[Errno=2  ]  zucpor:  ZUSDORB( missing ) == ZUSDFN ))\n"),
              std::string::npos)
        << line;
}

// ---- Every way a run ends ------------------------------------------------------

// The rows of tests/data/zucs_faults.txt: refusals, write failures, signals
// in the middle and successful replacements, each with the exit (or the
// signal) it ends with, its report, and the files it leaves.
TEST_F(Zucs, FaultMatrix) {
    std::string longarg;  // 2048 characters whose first 2047 name the file L
    while (longarg.size() < 2046) longarg += "./";
    longarg.resize(2046);
    longarg += "Lx";
    const std::map<std::string, std::string> messages = {
        {"c", "compressing file"},
        {"u", "uncompressing file"},
        {"x", "source filename already contains '_' extension"}};
    const std::map<std::string, int> errnos = {{"0", 0},           {"ENOENT", ENOENT},
                                               {"EISDIR", EISDIR}, {"EINVAL", EINVAL},
                                               {"ELOOP", ELOOP},   {"ENAMETOOLONG", ENAMETOOLONG},
                                               {"EFBIG", EFBIG}};
    std::istringstream rows(zutest::data("zucs_faults.txt"));
    int n = 0;
    for (std::string line; std::getline(rows, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto f = split(line, " | ");
        ASSERT_EQ(f.size(), 7u) << line;
        SCOPED_TRACE(f[0]);
        const bool user = f[3].rfind("user:", 0) == 0;
        if (geteuid() != 0 && (user || f[1].find("owner ") != std::string::npos)) {
            std::printf("[ SKIPPED  ] %s: needs root\n", f[0].c_str());
            continue;
        }
        const std::string here = p(std::to_string(++n));
        ASSERT_EQ(mkdir(here.c_str(), 0755), 0);
        std::map<std::string, std::string> made, before;
        for (const auto &step : split(f[1], "; "))
            if (step != "-") setup(here, step, made);
        for (const auto &e : std::filesystem::directory_iterator(here))
            before[e.path().filename().string()] = describe(e.path().string());

        std::vector<std::string> args = split(f[2], " ");
        const std::string cmd = args[0];
        args.erase(args.begin());
        for (auto &a : args) a = a == "LONG" ? longarg : a;
        const bool fsize = f[3].rfind("fsize:", 0) == 0;
        const int ignored = f[3] == "nohup" ? SIGHUP : 0, sent = ignored | signum(f[3]);
        const pid_t pid = start(cmd, args, fsize ? std::stoul(f[3].substr(6)) : RLIM_INFINITY,
                                nullptr, here, user ? f[3].c_str() + 5 : nullptr, ignored);
        if (sent != 0) interrupt(pid, here, sent, before);
        int ws = 0;
        finish(pid, &ws);

        const int sig = signum(f[4]);
        EXPECT_TRUE(sig != 0 ? WIFSIGNALED(ws) && WTERMSIG(ws) == sig
                             : WIFEXITED(ws) && WEXITSTATUS(ws) == std::stoi(f[4]))
            << "wait status " << ws;
        const auto r = split(f[5], " ");
        const auto name = [](const std::string &t) { return t == "~" ? "" : t; };
        EXPECT_EQ(slurp(outfile), f[5] == "-" ? ""
                                              : report(name(r.at(2)), name(r.at(3)),
                                                       messages.at(r[0]), errnos.at(r[1])));
        for (const auto &c : split(f[6], " ")) check(here, c, before, made);
        const auto left = temps(here);
        EXPECT_LE(left.size(), sig == SIGKILL ? 1u : 0u);
        for (const auto &t : left) EXPECT_EQ(modeof(t), 0600u);
    }
    EXPECT_GE(n, 30);
}

// ---- Sound behaviour ----------------------------------------------------------

// The output is synced, renamed into place, and its directory synced, before
// the source is removed (seen through strace where the machine has it).
TEST_F(Zucs, OutputIsSyncedBeforeTheSourceIsRemoved) {
    if (std::system("command -v strace >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace";
    spit(p("f"), randombytes(100000, 31, 32));
    const std::string trace = p("trace");
    const int code = zutest::run_in_child([&] {
        if (chdir(dir.c_str()) != 0) return 127;
        // The leak checker of a sanitizer build cannot run under a tracer.
        const char *asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS",
               (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(), 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("strace", "strace", "-f", "-o", trace.c_str(), "-e",
               "trace=fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat",
               p("zucomp").c_str(), "f", static_cast<char *>(nullptr));
        return 127;
    });
    ASSERT_EQ(code, 0);
    const std::string text = slurp(trace);
    const std::size_t removal = text.find("\"f\"");
    ASSERT_NE(removal, std::string::npos) << text;
    const std::size_t rename = text.find("rename"), last = text.rfind("sync(", removal);
    EXPECT_TRUE(text.find("sync(") < rename && rename < last && last < removal) << text;
    EXPECT_NE(text.find("\"f_\"", rename), std::string::npos) << text;
    EXPECT_FALSE(exists(p("f")));
}

// A stream cut short is refused when it ends inside a code (8 or more bits
// left over); a cut at a code boundary cannot be told from a whole stream. A
// stream with code 0 is refused too.
TEST_F(Zucs, CutOrCorruptCompressedFileIsRefused) {
    std::vector<std::uint64_t> ends;
    const std::string stream = refencode(randombytes(5000, 21, 200), &ends);
    int refused = 0;
    for (std::size_t keep = 1; keep <= stream.size() + 1; ++keep) {
        if (keep != 1 && keep != 2 && keep + 12 < stream.size() && keep % 331 != 0) continue;
        SCOPED_TRACE(keep);
        std::uint64_t last = 8;
        for (const auto e : ends)
            if (e <= 8 * keep) last = e;
        const bool corrupt = keep > stream.size();
        const bool cut = corrupt || 8 * keep - last >= 8 || last == 8;
        spit(p("c_"), corrupt ? std::string("\x0E\0\0\0", 4) : stream.substr(0, keep));
        const Result r = run("zuuncomp", {"c_"});
        EXPECT_EQ(r.status, cut ? 1 : 0);
        if (cut) {
            ++refused;
            EXPECT_EQ(r.out, report("c_", "c", "uncompressing file", 0));
            EXPECT_FALSE(exists(p("c")));
            EXPECT_TRUE(exists(p("c_")));
        }
        unlink(p("c").c_str());
        unlink(p("c_").c_str());
    }
    EXPECT_GT(refused, 5);
}

// ---- Over 4 GiB (opt-in) ----------------------------------------------------

TEST_F(Zucs, FileOverFourGibRoundTrips) {
    const char *big = std::getenv("ZU_BIG_TESTS");
    if (big == nullptr || std::strcmp(big, "1") != 0) GTEST_SKIP() << "set ZU_BIG_TESTS=1";
    // Sparse zeros with marks around the 32-bit boundary and at the end.
    const off_t size = (5LL << 30) + 123;
    const std::vector<off_t> marks = {0, (4LL << 30) - 1, 4LL << 30, (4LL << 30) + 1, size - 1};
    int fd = open(p("huge").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(ftruncate(fd, size), 0);
    for (const off_t m : marks) ASSERT_EQ(pwrite(fd, "Z", 1, m), 1);
    close(fd);
    ASSERT_EQ(run("zucomp", {"huge"}).status, 0);
    ASSERT_EQ(run("zuuncomp", {"huge_"}).status, 0);
    fd = open(p("huge").c_str(), O_RDONLY);
    ASSERT_NE(fd, -1);
    std::vector<char> buf(1 << 20);
    off_t at = 0;
    std::size_t next = 0, wrong = 0;
    for (ssize_t n; (n = read(fd, buf.data(), buf.size())) > 0;) {
        for (ssize_t i = 0; i < n; ++i, ++at) {
            const bool mark = next < marks.size() && marks[next] == at;
            next += mark ? 1 : 0;
            wrong += buf[i] != (mark ? 'Z' : '\0') ? 1 : 0;
        }
    }
    close(fd);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(at, size);
}

}  // namespace
