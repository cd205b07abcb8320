// Whole-program tests of zucomp and zuuncomp: the real executable, started
// under the names it is tested with, in a temporary directory. Compressed
// bytes are checked against an independent encoder of the stream format
// written here from the format's rules.
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
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#ifndef ZUCOMP_BIN
#error "ZUCOMP_BIN must name the zucomp executable"
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- Reference encoder of the stream format ----------------------------
// Header 14; greedy longest match; one new code per code written; the width
// is what the highest assigned code needs (9 to 14 bits); a clear code (1)
// at the current width when the table is full (highest code 16382); MSB
// first; zero padding.
struct BitWriter {
    Bytes out;
    std::uint64_t acc = 0;
    int bits = 0;
    void put(std::uint32_t v, int n) {
        acc = (acc << n) | v;
        bits += n;
        while (bits >= 8) {
            out.push_back(static_cast<std::uint8_t>(acc >> (bits - 8)));
            bits -= 8;
        }
    }
    void flush() {
        if (bits > 0) out.push_back(static_cast<std::uint8_t>(acc << (8 - bits)));
        bits = 0;
    }
};

int widthfor(std::uint32_t next) {
    int w = 9;
    while (w < 16 && next >= (1u << w)) ++w;
    return w;
}

// Also returns, in *ends, the bit position after each code (for cut tests).
Bytes refencode(const Bytes &in, std::vector<std::uint64_t> *ends = nullptr) {
    BitWriter w;
    w.put(14, 8);
    std::uint64_t pos = 8;
    auto put = [&](std::uint32_t code, int n) {
        w.put(code, n);
        pos += n;
        if (ends != nullptr) ends->push_back(pos);
    };
    std::unordered_map<std::uint32_t, std::uint16_t> dict;
    std::uint32_t next = 257;
    std::uint32_t match = in[0] + 2u;
    std::size_t i = 1;
    for (;;) {
        bool more = false;
        std::uint8_t c = in.back();
        while (i < in.size()) {
            c = in[i++];
            auto it = dict.find(match << 8 | c);
            if (it == dict.end()) {
                more = true;
                break;
            }
            match = it->second;
        }
        put(match, widthfor(next));
        if (next == 16382) {
            put(1, widthfor(next));
            dict.clear();
            next = 257;
        } else {
            ++next;
            dict.emplace(match << 8 | c, static_cast<std::uint16_t>(next));
        }
        if (!more) break;
        match = c + 2u;
    }
    w.flush();
    return w.out;
}

// ---- Files and processes ------------------------------------------------

Bytes readfile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
void writefile(const std::string &path, const Bytes &data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}
void writefile(const std::string &path, const std::string &text) {
    writefile(path, Bytes(text.begin(), text.end()));
}
bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
mode_t modeof(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

Bytes randombytes(std::size_t n, unsigned seed, int alphabet = 256) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto &x : b) x = static_cast<std::uint8_t>(gen() % alphabet);
    return b;
}

struct Result {
    int status = -1;  // exit status, or -1 when killed
    std::string out;  // standard output
};

// What a forked child sets up before it runs the command.
struct RunSetup {
    rlim_t fsize = RLIM_INFINITY;  // RLIMIT_FSIZE, with SIGXFSZ ignored
    const char *errorlog = nullptr;
};

class Zucs : public ::testing::Test {
  protected:
    std::string dir;

    void SetUp() override {
        char tmpl[] = "/tmp/zucs_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        for (const char *name : {"zucomp", "zuuncomp", "ZUCOMP.x", "other"}) {
            ASSERT_EQ(symlink(ZUCOMP_BIN, (dir + "/" + name).c_str()), 0);
        }
    }
    void TearDown() override {
        const std::string cmd = "chmod -R u+rwx '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    std::string p(const std::string &name) const { return dir + "/" + name; }

    // Start `cmd` (one of the links above) with `args` in the test directory;
    // its standard output goes to a file. The child has its own process group.
    pid_t start(const std::string &cmd, const std::vector<std::string> &args, const RunSetup &setup,
                const std::string &outfile) const {
        const pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            if (chdir(dir.c_str()) != 0) _exit(127);
            const int fd = open(outfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd == -1 || dup2(fd, 1) == -1) _exit(127);
            close(fd);
            if (setup.errorlog != nullptr) {
                setenv("ZU_ERRORLOG", setup.errorlog, 1);
            } else {
                unsetenv("ZU_ERRORLOG");
            }
            if (setup.fsize != RLIM_INFINITY) {
                signal(SIGXFSZ, SIG_IGN);
                struct rlimit rl = {setup.fsize, setup.fsize};
                if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(127);
            }
            umask(022);
            std::vector<char *> argv;
            const std::string path = dir + "/" + cmd;
            argv.push_back(const_cast<char *>(cmd.c_str()));
            for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        return pid;
    }

    static int finish(pid_t pid) {
        int ws = 0;
        while (waitpid(pid, &ws, 0) == -1 && errno == EINTR) {
        }
        return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    }

    Result run(const std::string &cmd, const std::vector<std::string> &args,
               const RunSetup &setup = {}) const {
        const std::string outfile = dir + ".out";
        Result r;
        r.status = finish(start(cmd, args, setup, outfile));
        const Bytes out = readfile(outfile);
        r.out.assign(out.begin(), out.end());
        unlink(outfile.c_str());
        return r;
    }

    static std::string report(const std::string &src, const std::string &dst,
                              const std::string &msg, int err) {
        std::ostringstream s;
        s << "     SRC PATH: " << src << "\n     DST PATH: " << dst << "\n   ZUCS ERROR: " << msg;
        if (err > 0) {
            s << "\n SYSTEM ERRNO: " << err << "\nSYSTEM ERRMSG: " << std::strerror(err) << "\n";
        } else {
            s << " (internal)\n";
        }
        return s.str();
    }
};

const char kUsage[] = "Usage: zucomp src\n   or: zuuncomp src [target]\n\n";

// ---- Round trips and stream bytes ---------------------------------------

TEST_F(Zucs, WorkedExamplesGiveTheirStreamBytes) {
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"a", {0x0E, 0x31, 0x80}},
        {"aa", {0x0E, 0x31, 0x98, 0xC0}},
        {"aaa", {0x0E, 0x31, 0xC0, 0x80}},
    };
    for (const auto &[text, stream] : cases) {
        writefile(p("f"), text);
        ASSERT_EQ(run("zucomp", {"f"}).status, 0);
        EXPECT_FALSE(exists(p("f")));
        EXPECT_EQ(readfile(p("f_")), stream) << text;
        ASSERT_EQ(run("zuuncomp", {"f_"}).status, 0);
        EXPECT_FALSE(exists(p("f_")));
        const Bytes back = readfile(p("f"));
        EXPECT_EQ(std::string(back.begin(), back.end()), text);
        unlink(p("f").c_str());
    }
}

TEST_F(Zucs, CorpusFilesRoundTripAgainstReferenceBytes) {
    for (const char *name : {"alice29.txt", "paper-100k.pdf", "fireworks.jpeg", "kppkn.gtb"}) {
        const Bytes data = readfile(std::string(ZU_CORPUS_DIR) + "/" + name);
        if (data.empty()) continue;
        writefile(p(name), data);
        const Result r = run("zucomp", {name});
        ASSERT_EQ(r.status, 0) << name << r.out;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(readfile(p(std::string(name) + "_")), refencode(data)) << name;
        ASSERT_EQ(run("zuuncomp", {std::string(name) + "_"}).status, 0);
        EXPECT_EQ(readfile(p(name)), data) << name;
    }
}

TEST_F(Zucs, RandomFilesRoundTripAgainstReferenceBytes) {
    // Small alphabets fill the table and make clear codes; full bytes make
    // 14-bit codes.
    const std::vector<std::pair<std::size_t, int>> shapes = {
        {1, 256}, {2, 2}, {1000, 4}, {300000, 3}, {300000, 256}, {70000, 16}};
    unsigned seed = 1;
    for (const auto &[size, alphabet] : shapes) {
        const Bytes data = randombytes(size, seed++, alphabet);
        writefile(p("r"), data);
        ASSERT_EQ(run("zucomp", {"r"}).status, 0);
        EXPECT_EQ(readfile(p("r_")), refencode(data)) << size << "/" << alphabet;
        ASSERT_EQ(run("zuuncomp", {"r"}).status, 0);  // the name without '_'
        EXPECT_EQ(readfile(p("r")), data);
    }
}

// ---- Names ----------------------------------------------------------------

TEST_F(Zucs, NameRules) {
    writefile(p("data.txt"), "hello hello hello");
    ASSERT_EQ(run("ZUCOMP.x", {"data.txt"}).status, 0);  // folded, extension dropped
    EXPECT_TRUE(exists(p("data.txt_")));
    ASSERT_EQ(run("other", {"data.txt_", "copy"}).status, 0);  // any name with a target restores
    EXPECT_FALSE(exists(p("data.txt_")));
    const Bytes text = readfile(p("copy"));
    EXPECT_EQ(std::string(text.begin(), text.end()), "hello hello hello");

    ASSERT_EQ(mkdir(p("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(p("sub/dir").c_str(), 0755), 0);
    writefile(p("sub/dir/f"), "xyz");
    ASSERT_EQ(run("zucomp", {"sub/dir/f"}).status, 0);
    EXPECT_TRUE(exists(p("sub/dir/f_")));
    ASSERT_EQ(run("zuuncomp", {dir + "/sub/dir/f_"}).status, 0);
    EXPECT_TRUE(exists(p("sub/dir/f")));
    EXPECT_FALSE(exists(p("sub/dir/f_")));
}

TEST_F(Zucs, UsageCases) {
    writefile(p("a"), "abc");
    for (const auto &args : std::vector<std::vector<std::string>>{
             {}, {"a", "b"}, {"a", "b", "c"}, {"a", "b", "c", "d"}}) {
        const Result r = run("zucomp", args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kUsage);
    }
    EXPECT_EQ(run("zuuncomp", {}).out, kUsage);
    const Result other = run("other", {"a"});
    EXPECT_EQ(other.status, 0);
    EXPECT_EQ(other.out, kUsage);
    EXPECT_EQ(readfile(p("a")), Bytes({'a', 'b', 'c'}));
    EXPECT_FALSE(exists(p("a_")));
    EXPECT_FALSE(exists(p("b")));
}

// ---- Reports ----------------------------------------------------------------

TEST_F(Zucs, MissingSourceReportsTheOpenError) {
    writefile(p("f_"), "keep");
    Result r = run("zucomp", {"f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("f", "f_", "compressing file", ENOENT));
    EXPECT_EQ(readfile(p("f_")), Bytes({'k', 'e', 'e', 'p'}));

    r = run("zuuncomp", {"g_"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("g_", "g", "uncompressing file", ENOENT));
    EXPECT_FALSE(exists(p("g")));
}

TEST_F(Zucs, SourceEndingInUnderscoreIsRefusedAndOtherFileSurvives) {
    writefile(p("f_"), "data");
    writefile(p("f__"), "someone else's");
    const Result r = run("zucomp", {"f_"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("f_", "f__", "source filename already contains '_' extension", 0));
    EXPECT_TRUE(exists(p("f_")));
    EXPECT_EQ(readfile(p("f__")).size(), 14u);  // never opened, so never removed
}

TEST_F(Zucs, EmptySourceFailsAndStays) {
    writefile(p("e"), "");
    const Result r = run("zucomp", {"e"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("e", "e_", "compressing file", 0));
    EXPECT_TRUE(exists(p("e")));
    EXPECT_FALSE(exists(p("e_")));
}

TEST_F(Zucs, ErrorLogRecordsTheFailingCall) {
    const std::string log = p("errors.log");
    RunSetup s;
    s.errorlog = log.c_str();
    EXPECT_EQ(run("zucomp", {"missing"}, s).status, 1);
    const Bytes text = readfile(log);
    const std::string line(text.begin(), text.end());
    EXPECT_NE(line.find("(( ZUERR-OSD: "), std::string::npos) << line;
    EXPECT_NE(line.find("[Errno=2  ]  zucpor:  ZUSDORB( missing ) == ZUSDFN ))\n"),
              std::string::npos)
        << line;
}

// ---- Times and permission bits ----------------------------------------------

TEST_F(Zucs, TimesAndPermissionBitsCarryOver) {
    writefile(p("t"), "some text some text");
    ASSERT_EQ(chmod(p("t").c_str(), 0640), 0);
    const struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p("t").c_str(), times, 0), 0);
    ASSERT_EQ(run("zucomp", {"t"}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(p("t_").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // The access time is the source's as it was before this run read it.
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    ASSERT_EQ(chmod(p("t_").c_str(), 0604), 0);
    ASSERT_EQ(run("zuuncomp", {"t_"}).status, 0);
    ASSERT_EQ(stat(p("t").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
}

TEST_F(Zucs, ExistingReadOnlyTargetIsOverwritten) {
    writefile(p("f"), "new contents");
    writefile(p("f_"), "old");
    ASSERT_EQ(chmod(p("f_").c_str(), 0444), 0);
    ASSERT_EQ(run("zucomp", {"f"}).status, 0);
    EXPECT_EQ(readfile(p("f_")),
              refencode(Bytes({'n', 'e', 'w', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't', 's'})));
}

// ---- Sound behaviour ----------------------------------------------------------

// A full disk at the last flush: the compressed output (about 20 KB) fits the
// stream's buffer and is written only when it is closed.
TEST_F(Zucs, WriteFailureAtTheFinalFlushFailsAndKeepsTheSource) {
    const Bytes data = randombytes(15000, 7);
    writefile(p("f"), data);
    RunSetup s;
    s.fsize = 4096;
    const Result r = run("zucomp", {"f"}, s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("f", "f_", "compressing file", EFBIG));
    EXPECT_EQ(readfile(p("f")), data);
    EXPECT_FALSE(exists(p("f_")));
}

TEST_F(Zucs, WriteFailureInTheMiddleFailsAndKeepsTheSource) {
    const Bytes data = randombytes(400000, 8);
    writefile(p("f"), data);
    RunSetup s;
    s.fsize = 100000;
    Result r = run("zucomp", {"f"}, s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("f", "f_", "compressing file", EFBIG));
    EXPECT_EQ(readfile(p("f")), data);
    EXPECT_FALSE(exists(p("f_")));

    // And on the way back: the restored file cannot be written whole.
    ASSERT_EQ(run("zucomp", {"f"}).status, 0);
    r = run("zuuncomp", {"f_"}, s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("f_", "f", "uncompressing file", EFBIG));
    EXPECT_TRUE(exists(p("f_")));
    EXPECT_FALSE(exists(p("f")));
}

// The output's data and its directory entry are synced before the source is
// removed (seen through strace where the machine has it).
TEST_F(Zucs, OutputIsSyncedBeforeTheSourceIsRemoved) {
    if (std::system("command -v strace >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace";
    writefile(p("f"), randombytes(100000, 31, 32));
    const std::string trace = p("trace");
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        // The leak checker of a sanitizer build cannot run under a tracer.
        const char *asan = std::getenv("ASAN_OPTIONS");
        const std::string options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("strace", "strace", "-f", "-o", trace.c_str(), "-e",
               "trace=fsync,fdatasync,unlink,unlinkat", (dir + "/zucomp").c_str(), "f",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_EQ(finish(pid), 0);
    const Bytes log = readfile(trace);
    const std::string text(log.begin(), log.end());
    const std::size_t removal = text.find("\"f\"");
    ASSERT_NE(removal, std::string::npos) << text;
    std::size_t syncs = 0;
    for (std::size_t at = text.find("sync("); at != std::string::npos && at < removal;
         at = text.find("sync(", at + 1)) {
        ++syncs;
    }
    EXPECT_GE(syncs, 2u) << text;  // the file and its directory
    EXPECT_FALSE(exists(p("f")));
}

// Starts a compression of a large file and stops its process group once
// `ready` holds. Returns the child, stopped; 0 when it ended too early.
class ZucsStopped : public Zucs {
  protected:
    template <typename Ready>
    pid_t startstopped(const std::string &name, const Bytes &data, Ready ready) {
        writefile(p(name), data);
        pid = start("zucomp", {name}, {}, dir + ".out");
        for (int i = 0; i < 200000 && !ready(); ++i) usleep(50);
        kill(-pid, SIGSTOP);
        int ws = 0;
        if (waitpid(pid, &ws, WUNTRACED) != pid || !WIFSTOPPED(ws)) return 0;
        return pid;
    }
    void TearDown() override {
        unlink((dir + ".out").c_str());
        Zucs::TearDown();
    }
    pid_t pid = 0;
};

TEST_F(ZucsStopped, InterruptInTheMiddleRemovesThePartialOutput) {
    const Bytes data = randombytes(24 << 20, 11, 64);
    const std::string out = p("big_");
    // Stopped once compressed data has been written, then interrupted.
    const auto writing = [&] {
        struct stat st;
        return stat(out.c_str(), &st) == 0 && st.st_size > 0;
    };
    if (startstopped("big", data, writing) == 0) {
        GTEST_SKIP() << "finished before it could be stopped";
    }
    kill(-pid, SIGINT);
    kill(-pid, SIGCONT);
    EXPECT_EQ(finish(pid), 1);
    EXPECT_FALSE(exists(p("big_")));
    EXPECT_EQ(readfile(p("big")), data);
}

TEST_F(ZucsStopped, OutputIsOwnerOnlyWhileWritten) {
    const std::string out = p("big_");
    writefile(out, "an older compressed file");
    ASSERT_EQ(chmod(out.c_str(), 0644), 0);
    // Stopped once the older contents are gone, that is once writing began.
    const auto truncated = [&] {
        struct stat st;
        return stat(out.c_str(), &st) == 0 && st.st_size != 24;
    };
    if (startstopped("big", randombytes(8 << 20, 12, 64), truncated) == 0) {
        GTEST_SKIP() << "finished before it could be stopped";
    }
    EXPECT_EQ(modeof(out), 0600u);
    kill(-pid, SIGCONT);
    EXPECT_EQ(finish(pid), 0);
    EXPECT_EQ(modeof(out), 0644u);  // the source's bits, at the end
}

TEST_F(Zucs, PreExistingTargetSurvivesARunThatNeverOpenedIt) {
    ASSERT_EQ(mkdir(p("f_").c_str(), 0755), 0);  // exists, but cannot be read as a file
    writefile(p("g"), "precious");
    const Result r = run("zuuncomp", {"f_", "g"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("f_", "g", "uncompressing file", EISDIR));
    EXPECT_EQ(readfile(p("g")), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
}

TEST_F(Zucs, OverLongArgumentIsRefused) {
    // A 2047-character prefix of this path names an existing file.
    std::string arg;
    while (arg.size() < 2047 - 1) arg += "./";
    arg.resize(2046);
    arg += "f";
    ASSERT_EQ(arg.size(), 2047u);
    writefile(p("f"), "keep me");
    const std::string longer = arg + "x";
    Result r = run("zucomp", {longer});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("", "", "compressing file", ENAMETOOLONG));
    r = run("zuuncomp", {"f_", longer});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("", "", "uncompressing file", ENAMETOOLONG));
    EXPECT_EQ(readfile(p("f")).size(), 7u);
    EXPECT_FALSE(exists(p("f_")));
}

TEST_F(Zucs, DirectoryAndFifoSourcesAreRefused) {
    ASSERT_EQ(mkdir(p("d").c_str(), 0755), 0);
    Result r = run("zucomp", {"d"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("d", "d_", "compressing file", EISDIR));
    EXPECT_TRUE(exists(p("d")));
    EXPECT_FALSE(exists(p("d_")));

    ASSERT_EQ(mkfifo(p("pipe").c_str(), 0600), 0);
    r = run("zucomp", {"pipe"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("pipe", "pipe_", "compressing file", EINVAL));
    EXPECT_TRUE(exists(p("pipe")));
}

TEST_F(Zucs, TargetThatIsTheSourceIsRefused) {
    writefile(p("f"), "the data");
    ASSERT_EQ(run("zucomp", {"f"}).status, 0);
    const Bytes stream = readfile(p("f_"));

    Result r = run("zuuncomp", {"f_", "f_"});  // the same name
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("f_", "f_", "uncompressing file", EINVAL));
    EXPECT_EQ(readfile(p("f_")), stream);

    ASSERT_EQ(link(p("f_").c_str(), p("hard").c_str()), 0);  // a hard link
    r = run("zuuncomp", {"f_", "hard"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readfile(p("f_")), stream);
    EXPECT_TRUE(exists(p("hard")));

    writefile(p("g"), "other data");  // f_ a symbolic link to the source
    ASSERT_EQ(symlink("g", p("g_").c_str()), 0);
    r = run("zucomp", {"g"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("g", "g_", "compressing file", EINVAL));
    EXPECT_EQ(readfile(p("g")), Bytes({'o', 't', 'h', 'e', 'r', ' ', 'd', 'a', 't', 'a'}));
}

TEST_F(Zucs, SymbolicLinkAtTheOutputNameIsNotFollowed) {
    writefile(p("f"), "secret");
    writefile(p("victim"), "victim's data");
    ASSERT_EQ(chmod(p("victim").c_str(), 0444), 0);
    ASSERT_EQ(symlink("victim", p("f_").c_str()), 0);
    const Result r = run("zucomp", {"f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, report("f", "f_", "compressing file", ELOOP));
    EXPECT_EQ(readfile(p("victim")).size(), 13u);
    EXPECT_EQ(modeof(p("victim")), 0444u);  // not made writable either
    EXPECT_TRUE(exists(p("f")));
    char target[64] = {};
    EXPECT_GT(readlink(p("f_").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "victim");
}

// A stream cut short is refused when it ends inside a code (8 or more bits
// left over); a cut at a code boundary cannot be told from a whole stream.
TEST_F(Zucs, CompressedFileCutShortIsRefused) {
    const Bytes data = randombytes(5000, 21, 200);
    std::vector<std::uint64_t> ends;
    const Bytes stream = refencode(data, &ends);
    int refused = 0;
    for (std::size_t keep = 1; keep <= stream.size(); ++keep) {
        if (keep != 1 && keep != 2 && keep + 12 < stream.size() && keep % 331 != 0) continue;
        const std::uint64_t bits = 8 * keep;
        std::uint64_t last = 8;
        for (const auto e : ends) {
            if (e <= bits) last = e;
        }
        const bool cut = bits - last >= 8 || last == 8;
        writefile(p("c_"), Bytes(stream.begin(), stream.begin() + keep));
        const Result r = run("zuuncomp", {"c_"});
        if (cut) {
            ++refused;
            EXPECT_EQ(r.status, 1) << keep;
            EXPECT_EQ(r.out, report("c_", "c", "uncompressing file", 0)) << keep;
            EXPECT_FALSE(exists(p("c"))) << keep;
            EXPECT_TRUE(exists(p("c_"))) << keep;
        } else {
            EXPECT_EQ(r.status, 0) << keep;
            unlink(p("c").c_str());
        }
        unlink(p("c_").c_str());
    }
    EXPECT_GT(refused, 5);
}

TEST_F(Zucs, CorruptStreamIsRefusedAndItsOutputRemoved) {
    writefile(p("x_"), Bytes({0x0E, 0x00, 0x00, 0x00}));  // code 0
    const Result r = run("zuuncomp", {"x_"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(exists(p("x")));
    EXPECT_TRUE(exists(p("x_")));
}

// ---- Over 4 GiB (opt-in) ----------------------------------------------------

TEST_F(Zucs, FileOverFourGibRoundTrips) {
    const char *big = std::getenv("ZU_BIG_TESTS");
    if (big == nullptr || std::strcmp(big, "1") != 0) GTEST_SKIP() << "set ZU_BIG_TESTS=1";
    // Sparse zeros with marks around the 32-bit boundary and at the end.
    const off_t size = (5LL << 30) + 123;
    const std::vector<off_t> marks = {0, (4LL << 30) - 1, 4LL << 30, (4LL << 30) + 1, size - 1};
    {
        const int fd = open(p("huge").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_NE(fd, -1);
        ASSERT_EQ(ftruncate(fd, size), 0);
        for (const off_t m : marks) ASSERT_EQ(pwrite(fd, "Z", 1, m), 1);
        close(fd);
    }
    ASSERT_EQ(run("zucomp", {"huge"}).status, 0);
    ASSERT_EQ(run("zuuncomp", {"huge_"}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(p("huge").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    const int fd = open(p("huge").c_str(), O_RDONLY);
    ASSERT_NE(fd, -1);
    std::vector<char> buf(1 << 20);
    off_t at = 0;
    std::size_t next = 0;
    bool same = true;
    for (;;) {
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i, ++at) {
            const bool mark = next < marks.size() && marks[next] == at;
            if (mark) ++next;
            if (buf[i] != (mark ? 'Z' : '\0')) same = false;
        }
    }
    close(fd);
    EXPECT_TRUE(same);
    EXPECT_EQ(at, size);
}

}  // namespace
