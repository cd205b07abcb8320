// Definition files: the token reader, delimiter patterns, lookup and
// list modes, the section list, the platform check, and the rewrite of
// entries through the work file (every other byte kept, atomic replacement).
#include "szusd.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

// A list of NUL-terminated names ended by an empty one, as a vector.
std::vector<std::string> names_of(const char *list) {
    std::vector<std::string> out;
    while (*list != '\0') {
        out.emplace_back(list);
        list += out.back().size() + 1;
    }
    return out;
}

class DefFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zudefXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf " + dir_).c_str()), 0); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string file(const std::string &name, const std::string &text) const {
        spit(path(name), text);
        return path(name);
    }
    std::string dir_;
};

// Reads tokens from a string through a real stream.
struct Reader {
    explicit Reader(const std::string &text) {
        f = tmpfile();
        fwrite(text.data(), 1, text.size(), f);
        rewind(f);
    }
    ~Reader() { fclose(f); }
    unsigned next(char delimiter, int keep, std::uint16_t size = 64) {
        // Guard bytes past `size` show any write beyond the bound.
        token.assign(size + 4u, '#');
        raw.assign(size + 4u, '#');
        const unsigned st = zusdgt(f, delimiter, keep, token.data(), size, raw.data());
        return st;
    }
    std::string tok() const { return token.c_str(); }
    std::string rawtext() const { return raw.c_str(); }
    FILE *f;
    std::string token, raw;
};

TEST(DelimiterSpec, EveryFormAndRejects) {
    char d = 'q';
    int nb = -1, vb = -1;
    ASSERT_EQ(zusddd(nullptr, &d, &nb, &vb), ZUSD_OK);
    EXPECT_EQ(d, '=');
    EXPECT_EQ(nb, 0);
    EXPECT_EQ(vb, 0);
    ASSERT_EQ(zusddd("", &d, &nb, &vb), ZUSD_OK);
    EXPECT_EQ(d, '\0');
    EXPECT_EQ(nb, 1);
    EXPECT_EQ(vb, 0);
    ASSERT_EQ(zusddd(":", &d, &nb, &vb), ZUSD_OK);
    EXPECT_EQ(d, ':');
    EXPECT_EQ(nb, 1);
    EXPECT_EQ(vb, 1);
    ASSERT_EQ(zusddd(" :", &d, &nb, &vb), ZUSD_OK);
    EXPECT_EQ(d, ':');
    EXPECT_EQ(nb, 0);
    EXPECT_EQ(vb, 1);
    ASSERT_EQ(zusddd(":\t", &d, &nb, &vb), ZUSD_OK);
    EXPECT_EQ(d, ':');
    EXPECT_EQ(nb, 1);
    EXPECT_EQ(vb, 0);
    ASSERT_EQ(zusddd("\t:\t", &d, &nb, &vb), ZUSD_OK);
    EXPECT_EQ(d, ':');
    EXPECT_EQ(nb, 0);
    EXPECT_EQ(vb, 0);
    d = 'q';
    EXPECT_EQ(zusddd("ab", &d, &nb, &vb), ZUSD_TOOLONG);
    EXPECT_EQ(zusddd("a:b", &d, &nb, &vb), ZUSD_TOOLONG);
    EXPECT_EQ(zusddd(" = =", &d, &nb, &vb), ZUSD_TOOLONG);
    EXPECT_EQ(d, 'q');  // outputs untouched on refusal
}

TEST(Platform, OnlyUnixSuits) {
    EXPECT_EQ(zusdcdp("unix"), 1);
    EXPECT_EQ(zusdcdp("UNIX"), 1);
    EXPECT_EQ(zusdcdp("Windows"), 0);
    EXPECT_EQ(zusdcdp("Netware"), 0);
    EXPECT_EQ(zusdcdp("win95"), 0);
    EXPECT_EQ(zusdcdp("nt"), 0);
    EXPECT_EQ(zusdcdp("unixware"), 0);
    EXPECT_EQ(zusdcdp(nullptr), 0);
    char out[16];
    EXPECT_EQ(zusdtrp("x", "/nonexistent/a.cfg", nullptr, out, sizeof out, "Windows"), ZUSD_SYSERR);
}

TEST(TokenReader, DelimitersBlanksAndNewline) {
    Reader r("  ab c = val ue\nnext");
    EXPECT_EQ(r.next('=', 0), ZUSD_OK);
    EXPECT_EQ(r.tok(), "abc");
    EXPECT_EQ(r.rawtext(), "  ab c =");
    EXPECT_EQ(r.next('\0', 1), ZUSD_OK);
    EXPECT_EQ(r.tok(), " val ue");
    EXPECT_EQ(r.rawtext(), " val ue");
    EXPECT_EQ(getc(r.f), '\n');  // the newline is left for the caller
    EXPECT_EQ(r.next('=', 1), ZUSD_EOF);
    EXPECT_EQ(r.tok(), "next");
    EXPECT_EQ(r.next('=', 1), ZUSD_EOF);
    EXPECT_EQ(r.tok(), "");
}

TEST(TokenReader, LeadingDelimitersSkippedAndTabAfterSpaceDelimiter) {
    Reader r("::a:b\nname\t \t value\n");
    EXPECT_EQ(r.next(':', 1), ZUSD_OK);
    EXPECT_EQ(r.tok(), "a");
    EXPECT_EQ(r.rawtext(), "::a:");
    EXPECT_EQ(r.next(':', 1), ZUSD_OK);
    EXPECT_EQ(r.tok(), "b");
    EXPECT_EQ(getc(r.f), '\n');
    EXPECT_EQ(r.next(' ', 0), ZUSD_OK);
    EXPECT_EQ(r.tok(), "name");
    EXPECT_EQ(getc(r.f), 'v');  // the blanks after the tab were skipped
}

TEST(TokenReader, BoundsOfTokenAndRawLine) {
    // A token of size - 2 characters fits, size - 1 is too long.
    Reader fits("abcdef=1\n");
    EXPECT_EQ(fits.next('=', 1, 8), ZUSD_OK);
    EXPECT_EQ(fits.tok(), "abcdef");
    Reader full("abcdefg=1\n");
    EXPECT_EQ(full.next('=', 1, 8), ZUSD_TOOLONG);
    // Dropped blanks fill the raw line without growing the token: refused,
    // and nothing is written past either buffer (ASan checks the bound).
    Reader blanks(std::string(100, ' ') + "ab=1\n");
    EXPECT_EQ(blanks.next('=', 0, 16), ZUSD_TOOLONG);
    EXPECT_EQ(blanks.token[16], '#');
    EXPECT_EQ(blanks.raw[16], '#');
    EXPECT_EQ(blanks.rawtext().size(), 15u);
    Reader tiny("x");
    EXPECT_EQ(tiny.next('=', 1, 0), ZUSD_TOOLONG);
}

TEST_F(DefFile, LookupWithEveryDelimiterSpec) {
    const std::string f = file("a.cfg", "# comment\n  Floppy = 1 \nNAME:v a l\nword rest of it\n");
    char out[64];
    ASSERT_EQ(zusdtr("floppy", f.c_str(), nullptr, out, sizeof out), ZUSD_OK);
    EXPECT_STREQ(out, "1");
    ASSERT_EQ(zusdtr("name", f.c_str(), ":", out, sizeof out), ZUSD_OK);
    EXPECT_STREQ(out, "v a l");
    ASSERT_EQ(zusdtr("name", f.c_str(), ": ", out, sizeof out), ZUSD_OK);
    EXPECT_STREQ(out, "val");
    ASSERT_EQ(zusdtr("WORD", f.c_str(), " ", out, sizeof out), ZUSD_OK);
    EXPECT_STREQ(out, "rest of it");
    // Empty pattern: the whole line is the name, the value is empty.
    ASSERT_EQ(zusdtr("word rest of it", f.c_str(), "", out, sizeof out), ZUSD_OK);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(zusdtr("missing", f.c_str(), nullptr, out, sizeof out), ZUSD_UNDEFINED);
    EXPECT_EQ(zusdtr("name", f.c_str(), "ab", out, sizeof out), ZUSD_TOOLONG);
}

TEST_F(DefFile, NameOnLastLineWithoutNewlineAndCrlf) {
    const std::string f = file("b.cfg", "A = 1\r\nB=2\r\nLAST = end");
    char out[64];
    ASSERT_EQ(zusdtr("last", f.c_str(), nullptr, out, sizeof out), ZUSD_OK);
    EXPECT_STREQ(out, "end");
    ASSERT_EQ(zusdtr("a", f.c_str(), nullptr, out, sizeof out), ZUSD_OK);
    EXPECT_STREQ(out, "1");  // the carriage return is whitespace
    ASSERT_EQ(zusdtr("b", f.c_str(), "=", out, sizeof out), ZUSD_OK);
    EXPECT_STREQ(out, "2\r");  // blanks significant: kept as written
    EXPECT_EQ(zusdtr("c", f.c_str(), nullptr, out, sizeof out), ZUSD_UNDEFINED);
}

TEST_F(DefFile, EmptyFileAndFailures) {
    const std::string f = file("e.cfg", "");
    char out[16] = "x";
    EXPECT_EQ(zusdtr("a", f.c_str(), nullptr, out, sizeof out), ZUSD_UNDEFINED);
    ASSERT_EQ(zusdtr("", f.c_str(), nullptr, out, sizeof out), ZUSD_OK);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(zusdtr("a", (dir_ + "/").c_str(), nullptr, out, sizeof out), ZUSD_NOMORE);
    EXPECT_EQ(zusdtr("a", path("none.cfg").c_str(), nullptr, out, sizeof out), ZUSD_RDERR);
}

TEST_F(DefFile, OverLongValueAndLine) {
    const std::string f = file("l.cfg", "K = " + std::string(40, 'v') + "\nJ = 1\n");
    char out[32];
    EXPECT_EQ(zusdtr("k", f.c_str(), nullptr, out, sizeof out), ZUSD_TOOLONG);
    // A long name on another line ends the search with the same refusal.
    const std::string g = file("m.cfg", std::string(40, 'n') + " = 1\nJ = 2\n");
    EXPECT_EQ(zusdtr("j", g.c_str(), nullptr, out, sizeof out), ZUSD_TOOLONG);
}

TEST_F(DefFile, ListModeBoundedByOutput) {
    const std::string f = file("c.cfg", "one = 1\nempty =\n\ntwo=2\nthree = 3");
    char out[64];
    ASSERT_EQ(zusdtr("", f.c_str(), nullptr, out, sizeof out), ZUSD_OK);
    EXPECT_EQ(names_of(out), (std::vector<std::string>{"one", "two", "three"}));
    // Room for "one" and "two" only: refused, never written past the end.
    std::vector<char> small(12, '#');
    small.push_back('@');
    EXPECT_EQ(zusdtr("", f.c_str(), nullptr, small.data(), 12), ZUSD_TOOLONG);
    EXPECT_EQ(small[12], '@');
}

TEST_F(DefFile, Environment) {
    setenv("ZUDEFTEST_HOME", "/home/u", 1);
    char out[8];
    ASSERT_EQ(zusdtr("zudeftest_home", nullptr, nullptr, out, sizeof out), ZUSD_OK);
    EXPECT_STREQ(out, "/home/u");
    setenv("ZUDEFTEST_HOME", "12345678", 1);  // exactly size characters
    EXPECT_EQ(zusdtr("zudeftest_home", "", nullptr, out, sizeof out), ZUSD_SYSERR);
    unsetenv("ZUDEFTEST_HOME");
    EXPECT_EQ(zusdtr("zudeftest_home", nullptr, nullptr, out, sizeof out), ZUSD_UNDEFINED);
}

TEST_F(DefFile, SectionList) {
    char out[64];
    EXPECT_EQ(zusdfc(file("s.cfg", "[a]\n").c_str(), out, sizeof out), ZUSD_NOMORE);
    const std::string f = file("setup.INI", "[Setup]\na=1\n  [Files]\n[Last]");
    ASSERT_EQ(zusdfc(f.c_str(), out, sizeof out), ZUSD_OK);
    EXPECT_EQ(names_of(out), (std::vector<std::string>{"Setup", "Files", "Last"}));
    std::vector<char> small(10, '#');
    small.push_back('@');
    EXPECT_EQ(zusdfc(f.c_str(), small.data(), 10), ZUSD_TOOLONG);
    EXPECT_EQ(small[10], '@');
}

// ---- rewrite ---------------------------------------------------------------

TEST_F(DefFile, ReplaceKeepsEveryOtherByte) {
    const std::string before = "# keep  me\r\nname = old value\nNAME=second\n\n  other : x\nlast";
    const std::string f = file("set.cfg", before);
    ASSERT_EQ(zusdmy("Name", "new", f.c_str(), " = "), ZUSD_OK);
    EXPECT_EQ(slurp(f), "# keep  me\r\nname =new\nNAME=second\n\n  other : x\nlast");
    EXPECT_FALSE(exists(path("set.x1z")));
    char out[32];
    ASSERT_EQ(zusdtr("name", f.c_str(), nullptr, out, sizeof out), ZUSD_OK);
    EXPECT_STREQ(out, "new");
}

TEST_F(DefFile, RemoveAndAbsentNames) {
    const std::string f = file("r.cfg", "a=1\nb=2\nc=3\n");
    ASSERT_EQ(zusdmy("b", "", f.c_str(), nullptr), ZUSD_OK);
    EXPECT_EQ(slurp(f), "a=1\nc=3\n");
    ASSERT_EQ(zusdmy("zz", nullptr, f.c_str(), nullptr), ZUSD_OK);
    EXPECT_EQ(slurp(f), "a=1\nc=3\n");
    const std::string g = file("n.cfg", "a=1");
    ASSERT_EQ(zusdmy("b", "2", g.c_str(), nullptr), ZUSD_OK);
    EXPECT_EQ(slurp(g), "a=1\nb=2\n");
    // A bare name line gets its delimiter before the new value.
    const std::string h = file("h.cfg", "key\nz=1\n");
    ASSERT_EQ(zusdmy("key", "v", h.c_str(), nullptr), ZUSD_OK);
    EXPECT_EQ(slurp(h), "key=v\nz=1\n");
}

TEST_F(DefFile, MissingFileCreatedOrLeftAlone) {
    ASSERT_EQ(zusdmy("a", "", path("x.cfg").c_str(), nullptr), ZUSD_OK);
    EXPECT_FALSE(exists(path("x.cfg")));
    ASSERT_EQ(zusdmy("a b", "v 1", path("x.cfg").c_str(), " : "), ZUSD_OK);
    EXPECT_EQ(slurp(path("x.cfg")), "ab:v1\n");
    EXPECT_EQ(zusdmy("a", "1", path("nodir/x.cfg").c_str(), nullptr), ZUSD_WRERR);
}

TEST_F(DefFile, FreeLines) {
    ASSERT_EQ(zusdmy("", "first", path("f.cfg").c_str(), nullptr), ZUSD_OK);
    EXPECT_EQ(slurp(path("f.cfg")), "first\n");
    const std::string g = file("g.cfg", "a=1");
    ASSERT_EQ(zusdmy(nullptr, "free line", g.c_str(), nullptr), ZUSD_OK);
    EXPECT_EQ(slurp(g), "a=1\nfree line\n");
    const std::string e = file("e.cfg", "");
    ASSERT_EQ(zusdmy("", "x", e.c_str(), nullptr), ZUSD_OK);
    EXPECT_EQ(slurp(e), "x\n");
}

TEST_F(DefFile, WorkFileNamedLikeTheFileIsRefused) {
    const std::string f = file("data.x1z", "a=1\n");
    EXPECT_EQ(zusdmy("a", "2", f.c_str(), nullptr), ZUSD_SYSERR);
    EXPECT_EQ(slurp(f), "a=1\n");
}

TEST_F(DefFile, FailedRewriteLeavesFileAndPermissionsKept) {
    const std::string f = file("p.cfg", std::string(5000, 'k') + "=1\na=1\n");
    // The first token does not fit: refused, file and directory unchanged.
    EXPECT_EQ(zusdmy("a", "2", f.c_str(), nullptr), ZUSD_TOOLONG);
    EXPECT_EQ(slurp(f), std::string(5000, 'k') + "=1\na=1\n");
    EXPECT_FALSE(exists(path("p.x1z")));

    const std::string g = file("q.cfg", "a=1\n");
    ASSERT_EQ(chmod(g.c_str(), 0604), 0);
    ASSERT_EQ(zusdmy("a", "2", g.c_str(), nullptr), ZUSD_OK);
    struct stat st {};
    ASSERT_EQ(stat(g.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
}

TEST(EntryLine, WriteFailureReported) {
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(zusdal(full, "a", '=', "1"), ZUSD_WRERR);
    fclose(full);
    // A free line whose write fails when the stream is closed.
    EXPECT_EQ(zusdmy("", "x", "/dev/full", nullptr), ZUSD_WRERR);
}

// A rewrite that runs out of space on a full file system (a small tmpfs in
// a private mount namespace of a child) leaves the old file whole.
TEST_F(DefFile, FullFileSystemLeavesTheFileWhole) {
    const std::string fs = path("fs");
    ASSERT_EQ(mkdir(fs.c_str(), 0700), 0);
    fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        setpgid(0, 0);
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", fs.c_str(), "tmpfs", 0, "size=8k") != 0)
            _exit(77);
        const std::string f = fs + "/big.cfg";
        const std::string before = "a=1\n" + std::string(4000, '#') + "\n";
        spit(f, before);
        // The work file needs a second page, which the file system lacks.
        const unsigned st = zusdmy("a", std::string(200, 'v').c_str(), f.c_str(), nullptr);
        const bool ok = st == ZUSD_WRERR && slurp(f) == before && !exists(fs + "/big.x1z");
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private tmpfs mount on this machine";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(EnvironmentSet, InChild) {
    // putenv hands the string to the environment: keep it in a child.
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        int ok = zusdmy("zudef_shell", "/bin/ksh", nullptr, nullptr) == ZUSD_OK;
        const char *v = getenv("ZUDEF_SHELL");
        ok = ok && v != nullptr && std::string(v) == "/bin/ksh";
        ok = ok && zusdmy("zudef_shell", nullptr, nullptr, nullptr) == ZUSD_OK;
        v = getenv("ZUDEF_SHELL");
        ok = ok && v != nullptr && v[0] == '\0';
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
