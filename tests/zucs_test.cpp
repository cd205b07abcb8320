// Whole-program tests of zucomp and zuuncomp: the real executable, started
// under the names it is tested with, in a temporary directory. Compressed
// bytes are checked against an independent encoder of the stream format
// written here from the format's rules.
#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
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

// The contents of a regular file; empty for anything else (a FIFO is not read).
std::string contents(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? slurp(path) : std::string();
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
    }
    std::string p(const std::string &name) const { return tmp / name; }

    // Starts `cmd` (one of the links above) with `args` in the test directory,
    // its standard output to `outfile`, in its own process group. `fsize`
    // limits the files it writes (SIGXFSZ ignored).
    pid_t start(const std::string &cmd, const std::vector<std::string> &args,
                rlim_t fsize = RLIM_INFINITY, const char *errorlog = nullptr) const {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid != 0) return pid;
        setpgid(0, 0);
        const int fd = open(outfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (chdir(dir.c_str()) != 0 || fd == -1 || dup2(fd, 1) == -1) _exit(127);
        close(fd);
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

    static int finish(pid_t pid) {
        int ws = 0;
        while (waitpid(pid, &ws, 0) == -1 && errno == EINTR) {
        }
        return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
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

// Each run fails with exit status 1 and its exact report; the files named in
// `kept` are unchanged afterwards and those in `absent` do not exist.
TEST_F(Zucs, RefusalsReportAndKeepTheFiles) {
    // A 2047-character argument whose 2047-character prefix names a file.
    std::string longarg;
    while (longarg.size() < 2046) longarg += "./";
    longarg.resize(2046);
    longarg += "Lx";
    struct Case {
        const char *name;
        std::function<void()> setup;
        std::string cmd;
        std::vector<std::string> args;
        std::string report;
        std::vector<std::string> kept, absent;
    };
    const std::vector<Case> cases = {
        {"missing source",
         [&] { spit(p("m_"), "keep"); },
         "zucomp",
         {"m"},
         report("m", "m_", "compressing file", ENOENT),
         {"m_"},
         {}},
        {"missing compressed source",
         [] {},
         "zuuncomp",
         {"g_"},
         report("g_", "g", "uncompressing file", ENOENT),
         {},
         {"g"}},
        {"source ending in _",
         [&] {
             spit(p("u_"), "data");
             spit(p("u__"), "someone else's");
         },
         "zucomp",
         {"u_"},
         report("u_", "u__", "source filename already contains '_' extension", 0),
         {"u_", "u__"},
         {}},
        {"empty source",
         [&] { spit(p("e"), ""); },
         "zucomp",
         {"e"},
         report("e", "e_", "compressing file", 0),
         {"e"},
         {"e_"}},
        {"pre-existing target",
         [&] {
             EXPECT_EQ(mkdir(p("pd_").c_str(), 0755), 0);
             spit(p("pg"), "precious");
         },
         "zuuncomp",
         {"pd_", "pg"},
         report("pd_", "pg", "uncompressing file", EISDIR),
         {"pg"},
         {}},
        {"directory source",
         [&] { EXPECT_EQ(mkdir(p("d").c_str(), 0755), 0); },
         "zucomp",
         {"d"},
         report("d", "d_", "compressing file", EISDIR),
         {"d"},
         {"d_"}},
        {"fifo source",
         [&] { EXPECT_EQ(mkfifo(p("pipe").c_str(), 0600), 0); },
         "zucomp",
         {"pipe"},
         report("pipe", "pipe_", "compressing file", EINVAL),
         {"pipe"},
         {"pipe_"}},
        {"over-long argument",
         [&] { spit(p("L"), "keep me"); },
         "zucomp",
         {longarg},
         report("", "", "compressing file", ENAMETOOLONG),
         {"L"},
         {"L_"}},
        {"over-long target",
         [] {},
         "zuuncomp",
         {"L_", longarg},
         report("", "", "uncompressing file", ENAMETOOLONG),
         {"L"},
         {"L_"}},
        {"target is the source",
         [&] {
             spit(p("t"), "the data");
             EXPECT_EQ(run("zucomp", {"t"}).status, 0);
         },
         "zuuncomp",
         {"t_", "t_"},
         report("t_", "t_", "uncompressing file", EINVAL),
         {"t_"},
         {}},
        {"target is a hard link to the source",
         [&] { EXPECT_EQ(link(p("t_").c_str(), p("h").c_str()), 0); },
         "zuuncomp",
         {"t_", "h"},
         report("t_", "h", "uncompressing file", EINVAL),
         {"t_", "h"},
         {}},
        {"output name a link to the source",
         [&] {
             spit(p("s"), "other data");
             EXPECT_EQ(symlink("s", p("s_").c_str()), 0);
         },
         "zucomp",
         {"s"},
         report("s", "s_", "compressing file", EINVAL),
         {"s"},
         {}},
        // Not followed to another file, nor made writable.
        {"output name a symbolic link",
         [&] {
             spit(p("v"), "secret");
             spit(p("victim"), "victim's data");
             EXPECT_EQ(chmod(p("victim").c_str(), 0444), 0);
             EXPECT_EQ(symlink("victim", p("v_").c_str()), 0);
         },
         "zucomp",
         {"v"},
         report("v", "v_", "compressing file", ELOOP),
         {"v", "victim"},
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.setup();
        std::vector<std::string> before;
        for (const auto &k : c.kept) before.push_back(contents(p(k)));
        const Result r = run(c.cmd, c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.report);
        for (std::size_t i = 0; i < c.kept.size(); ++i) {
            EXPECT_TRUE(exists(p(c.kept[i]))) << c.kept[i];
            EXPECT_EQ(contents(p(c.kept[i])), before[i]) << c.kept[i];
        }
        for (const auto &a : c.absent) EXPECT_FALSE(exists(p(a))) << a;
    }
    EXPECT_EQ(modeof(p("victim")), 0444u);
    char target[64] = {};
    EXPECT_GT(readlink(p("v_").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "victim");
}

TEST_F(Zucs, ErrorLogRecordsTheFailingCall) {
    const std::string log = p("errors.log");
    EXPECT_EQ(run("zucomp", {"missing"}, RLIM_INFINITY, log.c_str()).status, 1);
    const std::string line = slurp(log);
    EXPECT_NE(line.find("(( ZUERR-OSD: "), std::string::npos) << line;
    EXPECT_NE(line.find("[Errno=2  ]  zucpor:  ZUSDORB( missing ) == ZUSDFN ))\n"),
              std::string::npos)
        << line;
}

// ---- Times and permission bits ----------------------------------------------

TEST_F(Zucs, TimesAndPermissionBitsCarryOver) {
    spit(p("t"), "some text some text");
    ASSERT_EQ(chmod(p("t").c_str(), 0640), 0);
    const struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p("t").c_str(), times, 0), 0);
    for (const auto &[cmd, out, mode] : std::vector<std::tuple<std::string, std::string, mode_t>>{
             {"zucomp", "t_", 0640}, {"zuuncomp", "t", 0604}}) {
        SCOPED_TRACE(cmd);
        ASSERT_EQ(run(cmd, {cmd == "zucomp" ? "t" : "t_"}).status, 0);
        struct stat st {};
        ASSERT_EQ(stat(p(out).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        // The access time is the source's as it was before this run read it.
        EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
        EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
        ASSERT_EQ(chmod(p(out).c_str(), 0604), 0);
    }
}

TEST_F(Zucs, ExistingReadOnlyTargetIsOverwritten) {
    spit(p("f"), "new contents");
    spit(p("f_"), "old");
    ASSERT_EQ(chmod(p("f_").c_str(), 0444), 0);
    ASSERT_EQ(run("zucomp", {"f"}).status, 0);
    EXPECT_EQ(slurp(p("f_")), refencode("new contents"));
}

// ---- Sound behaviour ----------------------------------------------------------

// A full disk at the last flush (the compressed output, about 20 KB, fits the
// stream's buffer and is written only when it is closed) and in the middle,
// both ways.
TEST_F(Zucs, WriteFailureFailsAndKeepsTheSource) {
    for (const auto &[size, limit] :
         std::vector<std::pair<std::size_t, rlim_t>>{{15000, 4096}, {400000, 100000}}) {
        SCOPED_TRACE(size);
        const std::string data = randombytes(size, static_cast<unsigned>(limit));
        spit(p("f"), data);
        Result r = run("zucomp", {"f"}, limit);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, report("f", "f_", "compressing file", EFBIG));
        EXPECT_EQ(slurp(p("f")), data);
        EXPECT_FALSE(exists(p("f_")));
    }
    // On the way back: the restored file cannot be written whole.
    ASSERT_EQ(run("zucomp", {"f"}).status, 0);
    const Result r = run("zuuncomp", {"f_"}, 100000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("f_", "f", "uncompressing file", EFBIG));
    EXPECT_TRUE(exists(p("f_")));
    EXPECT_FALSE(exists(p("f")));
}

// The output's data and its directory entry are synced before the source is
// removed (seen through strace where the machine has it).
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
               "trace=fsync,fdatasync,unlink,unlinkat", p("zucomp").c_str(), "f",
               static_cast<char *>(nullptr));
        return 127;
    });
    ASSERT_EQ(code, 0);
    const std::string text = slurp(trace);
    const std::size_t removal = text.find("\"f\"");
    ASSERT_NE(removal, std::string::npos) << text;
    std::size_t syncs = 0;
    for (std::size_t at = text.find("sync("); at < removal; at = text.find("sync(", at + 1))
        ++syncs;
    EXPECT_GE(syncs, 2u) << text;  // the file and its directory
    EXPECT_FALSE(exists(p("f")));
}

// Starts a compression of a large file and stops its process group once
// `ready` holds. Returns the child, stopped; 0 when it ended too early.
template <typename Ready>
pid_t startstopped(const Zucs &t, const std::string &name, Ready ready) {
    const pid_t pid = t.start("zucomp", {name});
    for (int i = 0; i < 200000 && !ready(); ++i) usleep(50);
    kill(-pid, SIGSTOP);
    int ws = 0;
    return waitpid(pid, &ws, WUNTRACED) == pid && WIFSTOPPED(ws) ? pid : 0;
}

TEST_F(Zucs, InterruptInTheMiddleRemovesThePartialOutput) {
    const std::string data = randombytes(24 << 20, 11, 64);
    spit(p("big"), data);
    // Stopped once compressed data has been written, then interrupted.
    const pid_t pid = startstopped(*this, "big", [&] {
        struct stat st {};
        return stat(p("big_").c_str(), &st) == 0 && st.st_size > 0;
    });
    if (pid == 0) GTEST_SKIP() << "finished before it could be stopped";
    kill(-pid, SIGINT);
    kill(-pid, SIGCONT);
    EXPECT_EQ(finish(pid), 1);
    EXPECT_FALSE(exists(p("big_")));
    EXPECT_EQ(slurp(p("big")), data);
}

TEST_F(Zucs, OutputIsOwnerOnlyWhileWritten) {
    const std::string out = p("big_");
    spit(p("big"), randombytes(8 << 20, 12, 64));
    spit(out, "an older compressed file");
    ASSERT_EQ(chmod(out.c_str(), 0644), 0);
    // Stopped once the older contents are gone, that is once writing began.
    const pid_t pid = startstopped(*this, "big", [&] {
        struct stat st {};
        return stat(out.c_str(), &st) == 0 && st.st_size != 24;
    });
    if (pid == 0) GTEST_SKIP() << "finished before it could be stopped";
    EXPECT_EQ(modeof(out), 0600u);
    kill(-pid, SIGCONT);
    EXPECT_EQ(finish(pid), 0);
    EXPECT_EQ(modeof(out), 0644u);  // the source's bits, at the end
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
