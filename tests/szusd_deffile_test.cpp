// Definition files: the token reader, delimiter patterns, lookup and
// list modes, the section list, the platform check, and the rewrite of
// entries through the work file (every other byte kept, atomic replacement).
#include "szusd.h"
#include "testutil.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <utility>
#include <vector>

namespace {

using zutest::exists;
using zutest::slurp;

// A list of NUL-terminated names ended by an empty one, as a vector.
std::vector<std::string> names_of(const char *list) {
    std::vector<std::string> out;
    for (; *list != '\0'; list += out.back().size() + 1) out.emplace_back(list);
    return out;
}

// zusdtr's status and, when it succeeded, its answer.
std::pair<unsigned, std::string> lookup(const char *name, const std::string &file,
                                        const char *pattern = nullptr) {
    char out[64] = "(untouched)";
    const unsigned st = zusdtr(name, file.c_str(), pattern, out, sizeof out);
    return {st, st == ZUSD_OK ? out : ""};
}
using Answer = std::pair<unsigned, std::string>;
const Answer kUndefined{ZUSD_UNDEFINED, ""}, kTooLong{ZUSD_TOOLONG, ""};

class DefFile : public ::testing::Test {
  protected:
    std::string path(const std::string &name) const { return dir_ / name; }
    std::string file(const std::string &name, const std::string &text) const {
        return dir_.file(name, text);
    }
    // Work files ("*.x1z.XXXXXX") left in `dir` (the test's own by default).
    std::vector<std::string> work_files(const std::string &dir = "") const {
        std::vector<std::string> found;
        for (const auto &e : std::filesystem::directory_iterator(dir.empty() ? dir_.str() : dir)) {
            const std::string n = e.path().filename();
            if (n.find(".x1z.") != std::string::npos && !n.ends_with(".lck")) found.push_back(n);
        }
        return found;
    }
    zutest::TempDir dir_{"zudef"};
};

// Reads tokens from a string through a real stream.
struct Reader {
    explicit Reader(const std::string &text) : f(tmpfile()) {
        fwrite(text.data(), 1, text.size(), f);
        rewind(f);
    }
    ~Reader() { fclose(f); }
    // The status and the token read.
    Answer next(char delimiter, int keep, std::uint16_t size = 64) {
        // Guard bytes past `size` show any write beyond the bound.
        token.assign(size + 4u, '#');
        raw.assign(size + 4u, '#');
        const unsigned st = zusdgt(f, delimiter, keep, token.data(), size, raw.data());
        return {st, st == ZUSD_TOOLONG ? "" : token.c_str()};
    }
    std::string rawtext() const { return raw.c_str(); }
    FILE *f;
    std::string token, raw;
};

TEST(DelimiterSpec, EveryFormAndRejects) {
    // Null: "=" with blanks dropped; otherwise a blank before the delimiter
    // drops blanks in names, one after it drops them in values.
    const struct {
        const char *pattern;
        char delimiter;
        int nameblanks, valueblanks;
    } forms[] = {{nullptr, '=', 0, 0}, {"", '\0', 1, 0},   {":", ':', 1, 1},
                 {" :", ':', 0, 1},    {":\t", ':', 1, 0}, {"\t:\t", ':', 0, 0}};
    for (const auto &c : forms) {
        char d = 'q';
        int nb = -1, vb = -1;
        ASSERT_EQ(zusddd(c.pattern, &d, &nb, &vb), ZUSD_OK) << (c.pattern ? c.pattern : "(null)");
        EXPECT_EQ(d, c.delimiter) << (c.pattern ? c.pattern : "(null)");
        EXPECT_EQ(nb, c.nameblanks) << (c.pattern ? c.pattern : "(null)");
        EXPECT_EQ(vb, c.valueblanks) << (c.pattern ? c.pattern : "(null)");
    }
    for (const char *bad : {"ab", "a:b", " = ="}) {
        char d = 'q';
        int nb = -1, vb = -1;
        EXPECT_EQ(zusddd(bad, &d, &nb, &vb), ZUSD_TOOLONG) << bad;
        EXPECT_EQ(d, 'q') << bad;  // outputs untouched on refusal
    }
}

TEST(Platform, OnlyUnixSuits) {
    EXPECT_EQ(zusdcdp("unix"), 1);
    EXPECT_EQ(zusdcdp("UNIX"), 1);
    for (const char *other : {"Windows", "Netware", "win95", "nt", "unixware"})
        EXPECT_EQ(zusdcdp(other), 0) << other;
    EXPECT_EQ(zusdcdp(nullptr), 0);
    char out[16];
    EXPECT_EQ(zusdtrp("x", "/nonexistent/a.cfg", nullptr, out, sizeof out, "Windows"), ZUSD_SYSERR);
}

TEST(TokenReader, DelimitersBlanksAndNewline) {
    Reader r("  ab c = val ue\nnext");
    EXPECT_EQ(r.next('=', 0), Answer(ZUSD_OK, "abc"));
    EXPECT_EQ(r.rawtext(), "  ab c =");
    EXPECT_EQ(r.next('\0', 1), Answer(ZUSD_OK, " val ue"));
    EXPECT_EQ(r.rawtext(), " val ue");
    EXPECT_EQ(getc(r.f), '\n');  // the newline is left for the caller
    EXPECT_EQ(r.next('=', 1), Answer(ZUSD_EOF, "next"));
    EXPECT_EQ(r.next('=', 1), Answer(ZUSD_EOF, ""));
}

TEST(TokenReader, LeadingDelimitersSkippedAndTabAfterSpaceDelimiter) {
    Reader r("::a:b\nname\t \t value\n");
    EXPECT_EQ(r.next(':', 1), Answer(ZUSD_OK, "a"));
    EXPECT_EQ(r.rawtext(), "::a:");
    EXPECT_EQ(r.next(':', 1), Answer(ZUSD_OK, "b"));
    EXPECT_EQ(getc(r.f), '\n');
    EXPECT_EQ(r.next(' ', 0), Answer(ZUSD_OK, "name"));
    EXPECT_EQ(getc(r.f), 'v');  // the blanks after the tab were skipped
}

TEST(TokenReader, BoundsOfTokenAndRawLine) {
    // A token of size - 2 characters fits, size - 1 is too long.
    Reader fits("abcdef=1\n"), full("abcdefg=1\n");
    EXPECT_EQ(fits.next('=', 1, 8), Answer(ZUSD_OK, "abcdef"));
    EXPECT_EQ(full.next('=', 1, 8), kTooLong);
    // Dropped blanks fill the raw line without growing the token: refused,
    // and nothing is written past either buffer (ASan checks the bound).
    Reader blanks(std::string(100, ' ') + "ab=1\n");
    EXPECT_EQ(blanks.next('=', 0, 16), kTooLong);
    EXPECT_EQ(blanks.token[16], '#');
    EXPECT_EQ(blanks.raw[16], '#');
    EXPECT_EQ(blanks.rawtext().size(), 15u);
    Reader tiny("x");
    EXPECT_EQ(tiny.next('=', 1, 0), kTooLong);
}

TEST_F(DefFile, LookupWithEveryDelimiterSpec) {
    const std::string f = file("a.cfg", "# comment\n  Floppy = 1 \nNAME:v a l\nword rest of it\n");
    EXPECT_EQ(lookup("floppy", f), Answer(ZUSD_OK, "1"));
    EXPECT_EQ(lookup("name", f, ":"), Answer(ZUSD_OK, "v a l"));
    EXPECT_EQ(lookup("name", f, ": "), Answer(ZUSD_OK, "val"));
    EXPECT_EQ(lookup("WORD", f, " "), Answer(ZUSD_OK, "rest of it"));
    // Empty pattern: the whole line is the name, the value is empty.
    EXPECT_EQ(lookup("word rest of it", f, ""), Answer(ZUSD_OK, ""));
    EXPECT_EQ(lookup("missing", f), kUndefined);
    EXPECT_EQ(lookup("name", f, "ab"), kTooLong);
    // The last line needs no newline; a carriage return is whitespace unless
    // blanks are significant.
    const std::string g = file("b.cfg", "A = 1\r\nB=2\r\nLAST = end");
    EXPECT_EQ(lookup("last", g), Answer(ZUSD_OK, "end"));
    EXPECT_EQ(lookup("a", g), Answer(ZUSD_OK, "1"));
    EXPECT_EQ(lookup("b", g, "="), Answer(ZUSD_OK, "2\r"));
    EXPECT_EQ(lookup("c", g), kUndefined);
}

TEST_F(DefFile, EmptyFileOverLongEntriesAndFailures) {
    const std::string e = file("e.cfg", "");
    EXPECT_EQ(lookup("a", e), kUndefined);
    EXPECT_EQ(lookup("", e), Answer(ZUSD_OK, ""));
    EXPECT_EQ(lookup("a", dir_.str() + "/").first, ZUSD_NOMORE);
    EXPECT_EQ(lookup("a", path("none.cfg")).first, ZUSD_RDERR);
    // A value too long for the output, or a long name on another line that
    // ends the search, is refused.
    char out[32];
    const std::string k = file("l.cfg", "K = " + std::string(40, 'v') + "\nJ = 1\n");
    EXPECT_EQ(zusdtr("k", k.c_str(), nullptr, out, sizeof out), ZUSD_TOOLONG);
    const std::string m = file("m.cfg", std::string(40, 'n') + " = 1\nJ = 2\n");
    EXPECT_EQ(zusdtr("j", m.c_str(), nullptr, out, sizeof out), ZUSD_TOOLONG);
}

TEST_F(DefFile, ListModeAndSectionListBoundedByOutput) {
    const std::string f = file("c.cfg", "one = 1\nempty =\n\ntwo=2\nthree = 3");
    char out[64];
    ASSERT_EQ(zusdtr("", f.c_str(), nullptr, out, sizeof out), ZUSD_OK);
    EXPECT_EQ(names_of(out), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(zusdfc(file("s.cfg", "[a]\n").c_str(), out, sizeof out), ZUSD_NOMORE);
    const std::string ini = file("setup.INI", "[Setup]\na=1\n  [Files]\n[Last]");
    ASSERT_EQ(zusdfc(ini.c_str(), out, sizeof out), ZUSD_OK);
    EXPECT_EQ(names_of(out), (std::vector<std::string>{"Setup", "Files", "Last"}));
    // Room for the first two names only: refused, never written past the end.
    std::vector<char> small(13, '#');
    EXPECT_EQ(zusdtr("", f.c_str(), nullptr, small.data(), 12), ZUSD_TOOLONG);
    EXPECT_EQ(small[12], '#');
    EXPECT_EQ(zusdfc(ini.c_str(), small.data(), 10), ZUSD_TOOLONG);
    EXPECT_EQ(small[10], '#');
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

// ---- rewrite ---------------------------------------------------------------

TEST_F(DefFile, ReplaceKeepsEveryOtherByte) {
    const std::string f =
        file("set.cfg", "# keep  me\r\nname = old value\nNAME=second\n\n  other : x\nlast");
    ASSERT_EQ(zusdmy("Name", "new", f.c_str(), " = "), ZUSD_OK);
    EXPECT_EQ(slurp(f), "# keep  me\r\nname =new\nNAME=second\n\n  other : x\nlast");
    EXPECT_TRUE(work_files().empty());
    EXPECT_EQ(lookup("name", f), Answer(ZUSD_OK, "new"));
}

// A null `before` is a file that is not there; "(none)" after: still not.
TEST_F(DefFile, RemoveAddAndFreeLines) {
    const struct {
        const char *why, *before, *name, *value, *pattern, *after;
    } cases[] = {
        {"remove", "a=1\nb=2\nc=3\n", "b", "", nullptr, "a=1\nc=3\n"},
        {"remove absent", "a=1\nc=3\n", "zz", nullptr, nullptr, "a=1\nc=3\n"},
        {"add after last line", "a=1", "b", "2", nullptr, "a=1\nb=2\n"},
        {"bare name gets its delimiter", "key\nz=1\n", "key", "v", nullptr, "key=v\nz=1\n"},
        {"free line", "a=1", nullptr, "free line", nullptr, "a=1\nfree line\n"},
        {"free line in empty file", "", "", "x", nullptr, "x\n"},
        {"remove from a missing file", nullptr, "a", "", nullptr, "(none)"},
        {"entry makes the file", nullptr, "a b", "v 1", " : ", "ab:v1\n"},
        {"free line makes the file", nullptr, "", "first", nullptr, "first\n"},
    };
    for (const auto &c : cases) {
        const std::string f = c.before != nullptr ? file("r.cfg", c.before) : path("r.cfg");
        if (c.before == nullptr) unlink(f.c_str());
        ASSERT_EQ(zusdmy(c.name, c.value, f.c_str(), c.pattern), ZUSD_OK) << c.why;
        EXPECT_EQ(exists(f) ? slurp(f) : "(none)", c.after) << c.why;
    }
    // A new file gets the permission bits a plain creation would give it.
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(std::filesystem::status(path("r.cfg")).permissions(),
              static_cast<std::filesystem::perms>(0666 & ~mask));
    EXPECT_EQ(zusdmy("a", "1", path("nodir/x.cfg").c_str(), nullptr), ZUSD_WRERR);
}

TEST_F(DefFile, FailedRewriteLeavesFileAndPermissionsKept) {
    // The first token does not fit: refused, file and directory unchanged.
    const std::string text = std::string(5000, 'k') + "=1\na=1\n", f = file("p.cfg", text);
    EXPECT_EQ(zusdmy("a", "2", f.c_str(), nullptr), ZUSD_TOOLONG);
    EXPECT_EQ(slurp(f), text);
    EXPECT_TRUE(work_files().empty());
    // Permission bits kept, and the owner where this process may give it.
    const std::string g = file("q.cfg", "a=1\n");
    ASSERT_EQ(chmod(g.c_str(), 0604), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(g.c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(zusdmy("a", "2", g.c_str(), nullptr), ZUSD_OK);
    struct stat st {};
    ASSERT_EQ(stat(g.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
    EXPECT_EQ(st.st_uid, root ? 65534u : geteuid());
}

TEST(EntryLine, WriteFailureReported) {
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(zusdal(full, "a", '=', "1"), ZUSD_WRERR);
    fclose(full);
    // A device is no definition file: nothing is read, created or renamed.
    EXPECT_EQ(zusdmy("", "x", "/dev/full", nullptr), ZUSD_WRERR);
    EXPECT_FALSE(exists("/dev/full.x1z.lck"));
}

// A rewrite that runs out of space on a full file system (a small tmpfs in
// a private mount namespace of a child) leaves the old file whole.
TEST_F(DefFile, FullFileSystemLeavesTheFileWhole) {
    const std::string fs = path("fs");
    ASSERT_EQ(mkdir(fs.c_str(), 0700), 0);
    const int code = zutest::run_in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", fs.c_str(), "tmpfs", 0, "size=8k") != 0)
            return 77;
        const std::string f = fs + "/big.cfg", before = "a=1\n" + std::string(4000, '#') + "\n";
        zutest::spit(f, before);
        // The work file needs a second page, which the file system lacks.
        EXPECT_EQ(zusdmy("a", std::string(200, 'v').c_str(), f.c_str(), nullptr), ZUSD_WRERR);
        EXPECT_EQ(slurp(f), before);
        EXPECT_TRUE(work_files(fs).empty());
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    if (code == 77) GTEST_SKIP() << "no private tmpfs mount on this machine";
    EXPECT_EQ(code, 0);
}

// ---- concurrent updaters -------------------------------------------------

// Several processes set different names in one file at once: every entry
// lands exactly once, and the lines nobody touched stay.
TEST_F(DefFile, ConcurrentUpdatersLoseNothing) {
    const std::string f = file("shared.cfg", "# settings\nbase=1\n");
    constexpr int kProcs = 4, kNames = 25;
    const auto name = [](int p, int i) {
        return "p" + std::to_string(p) + "n" + std::to_string(i);
    };
    std::vector<std::string> want = {"# settings", "base=1"};
    for (int p = 0; p < kProcs; ++p)
        for (int i = 0; i < kNames; ++i) want.push_back(name(p, i) + "=v");
    EXPECT_EQ(zutest::run_in_child([&] {
                  // Locks are not fair: one process may run many updates
                  // while the others wait, longer on a slow disk.
                  zusdmy_wait = 60000;
                  int failed = 0;
                  for (int p = 0; p < kProcs; ++p) {
                      if (fork() != 0) continue;
                      for (int i = 0; i < kNames; ++i)
                          failed += zusdmy(name(p, i).c_str(), "v", f.c_str(), nullptr) != ZUSD_OK;
                      _exit(failed);
                  }
                  for (int status = 0; wait(&status) > 0;) failed += status != 0;
                  return failed;
              }),
              0);
    std::vector<std::string> got;
    std::istringstream lines(slurp(f));
    for (std::string line; std::getline(lines, line);) got.push_back(line);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    EXPECT_TRUE(work_files().empty());
}

// Tells the test that an updater has its work file written and holds the
// lock, then waits to be killed.
int g_ready = -1;
int stop_before_rename(const char *, const char *) {
    const char c = 1;
    if (write(g_ready, &c, 1) == 1) pause();
    return -1;
}

// An updater killed while it holds the lock leaves the old file whole and no
// lock behind (its work file is in nobody's way); while it holds the lock, a
// second updater gives up after its bounded wait with a status and a record.
TEST_F(DefFile, KilledUpdaterLeavesTheFileAndNoLock) {
    const std::string f = file("k.cfg", "a=1\n");
    EXPECT_EQ(zutest::run_in_child([&] {
                  alarm(30);  // a wait that never ends fails the test
                  int ready[2];
                  ASSERT_EQ(pipe(ready), 0);
                  const pid_t holder = fork();
                  if (holder == 0) {
                      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test's child
                      g_ready = ready[1];
                      zusd_rename = stop_before_rename;
                      _exit(static_cast<int>(zusdmy("b", "2", f.c_str(), nullptr)));
                  }
                  close(ready[1]);
                  char c = 0;
                  ASSERT_EQ(read(ready[0], &c, 1), 1);
                  EXPECT_EQ(work_files().size(), 1u);
                  zutest::LogTo log(path("err.log"));
                  zusdmy_wait = 50;
                  EXPECT_EQ(zusdmy("c", "3", f.c_str(), nullptr), ZUSD_WRERR);
                  EXPECT_TRUE(log.has("zusdmy: flock(")) << log.text();
                  ASSERT_EQ(kill(holder, SIGKILL), 0);
                  ASSERT_EQ(waitpid(holder, nullptr, 0), holder);
                  EXPECT_EQ(slurp(f), "a=1\n");
                  EXPECT_EQ(zusdmy("d", "4", f.c_str(), nullptr), ZUSD_OK);
                  EXPECT_EQ(slurp(f), "a=1\nd=4\n");
              }),
              0);
}

// putenv hands the string to the environment: keep it in a child.
TEST(EnvironmentSet, InChild) {
    EXPECT_EQ(zutest::run_in_child([] {
                  EXPECT_EQ(zusdmy("zudef_shell", "/bin/ksh", nullptr, nullptr), ZUSD_OK);
                  ASSERT_NE(getenv("ZUDEF_SHELL"), nullptr);
                  EXPECT_STREQ(getenv("ZUDEF_SHELL"), "/bin/ksh");
                  EXPECT_EQ(zusdmy("zudef_shell", nullptr, nullptr, nullptr), ZUSD_OK);
                  ASSERT_NE(getenv("ZUDEF_SHELL"), nullptr);
                  EXPECT_STREQ(getenv("ZUDEF_SHELL"), "");
              }),
              0);
}

}  // namespace
