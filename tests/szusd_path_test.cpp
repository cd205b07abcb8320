// Path names: split and join, `_` naming, volume digit, normalisation, the
// bounds of the part buffers, and the current-directory services (run in a
// forked child, since they change the working directory).
#include "szusd.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A temporary directory with the error log configured inside it.
class PathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zupathXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        log_ = dir_ + "/err.log";
        ASSERT_EQ(zusdlg(log_.c_str(), 1), 1);
    }
    void TearDown() override {
        zusdlg_level = 0;
        std::free(zusdlg_filename);
        zusdlg_filename = nullptr;
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string logText() const { return slurp(log_); }
    std::string dir_, log_;
};

struct Parts {
    char lead[ZUSD_LEADSZ], dir[ZUSD_DIRSZ], base[ZUSD_BASESZ], ext[ZUSD_EXTSZ];
};

struct SplitCase {
    const char *path, *lead, *dir, *base, *ext;
};

// Every case joins back to its own path.
const SplitCase kSplits[] = {
    {"/", "/", "", "", ""},
    {"/usr/lib/", "/usr/lib/", "", "", ""},
    {"a/b/", "", "a/b/", "", ""},
    {"/file.c", "/", "", "file", "c"},
    {"file.c", "", "", "file", "c"},
    {".profile", "", "", "", "profile"},
    {"../x", "", "..", "x", ""},
    {"a.b/c", "", "a.b", "c", ""},
    {"/usr/src/data.tar.gz", "/usr/src", "", "data.tar", "gz"},
    {"dir/x.", "", "dir", "x.", ""},
    {"name.", "", "", "name.", ""},
    {"..", "", "", "..", ""},
    {".", "", "", ".", ""},
    {"a..b", "", "", "a.", "b"},
    {"a.b.", "", "", "a", "b."},
    {"./x.y", "", ".", "x", "y"},
    {"//", "//", "", "", ""},
    {"/mnt/1data.x_", "/mnt", "", "1data", "x_"},
    {"data", "", "", "data", ""},
};

TEST_F(PathTest, SplitGivesTheFourPartsAndJoinGivesThePathBack) {
    for (const SplitCase &c : kSplits) {
        Parts p;
        ASSERT_EQ(zusdup(c.path, p.lead, p.dir, p.base, p.ext), ZUSD_OK) << c.path;
        EXPECT_STREQ(p.lead, c.lead) << c.path;
        EXPECT_STREQ(p.dir, c.dir) << c.path;
        EXPECT_STREQ(p.base, c.base) << c.path;
        EXPECT_STREQ(p.ext, c.ext) << c.path;
        char out[ZUSD_PATHSZ];
        ASSERT_EQ(zusdcm(out, p.lead, p.dir, p.base, p.ext), ZUSD_OK) << c.path;
        EXPECT_STREQ(out, c.path);
    }
    EXPECT_EQ(logText(), "");
}

TEST_F(PathTest, NullAndEmptyPathsSplitIntoEmptyParts) {
    Parts p;
    std::memset(&p, 'x', sizeof p);
    EXPECT_EQ(zusdup(nullptr, p.lead, p.dir, p.base, p.ext), ZUSD_OK);
    EXPECT_STREQ(p.lead, "");
    EXPECT_STREQ(p.base, "");
    std::memset(&p, 'x', sizeof p);
    EXPECT_EQ(zusdup("", p.lead, p.dir, p.base, p.ext), ZUSD_OK);
    EXPECT_STREQ(p.dir, "");
    EXPECT_STREQ(p.ext, "");
}

TEST_F(PathTest, JoinPutsOneSlashBetweenPartsAndAcceptsNulls) {
    char out[ZUSD_PATHSZ];
    EXPECT_EQ(zusdcm(out, "/usr", "", "x", ""), ZUSD_OK);
    EXPECT_STREQ(out, "/usr/x");
    EXPECT_EQ(zusdcm(out, "/usr/", nullptr, "x", "c"), ZUSD_OK);
    EXPECT_STREQ(out, "/usr/x.c");
    EXPECT_EQ(zusdcm(out, "/mnt", "", "VOLUME", "ID"), ZUSD_OK);
    EXPECT_STREQ(out, "/mnt/VOLUME.ID");
    EXPECT_EQ(zusdcm(out, nullptr, "a", "", "profile"), ZUSD_OK);
    EXPECT_STREQ(out, "a/.profile");
    // A doubled slash before the last component joins as one: the same file.
    Parts p;
    ASSERT_EQ(zusdup("a//b", p.lead, p.dir, p.base, p.ext), ZUSD_OK);
    EXPECT_STREQ(p.dir, "a/");
    EXPECT_EQ(zusdcm(out, p.lead, p.dir, p.base, p.ext), ZUSD_OK);
    EXPECT_STREQ(out, "a/b");
    EXPECT_EQ(zusdcm(out, "/usr", "", "", ""), ZUSD_OK);
    EXPECT_STREQ(out, "/usr");
    EXPECT_EQ(zusdcm(out, nullptr, nullptr, nullptr, nullptr), ZUSD_OK);
    EXPECT_STREQ(out, "");
    // The output may be one of the parts.
    char base[ZUSD_PATHSZ] = "x";
    EXPECT_EQ(zusdcm(base, "/tmp", "", base, "y"), ZUSD_OK);
    EXPECT_STREQ(base, "/tmp/x.y");
}

TEST_F(PathTest, PartsThatDoNotFitTheirBuffersAreRefused) {
    const std::string b255(255, 'b'), b256(256, 'b');
    const std::string e19(19, 'e'), e20(20, 'e');
    Parts p;
    EXPECT_EQ(zusdup(("/d/" + b255 + "." + e19).c_str(), p.lead, p.dir, p.base, p.ext), ZUSD_OK);
    EXPECT_EQ(std::string(p.base), b255);
    EXPECT_EQ(std::string(p.ext), e19);
    EXPECT_EQ(zusdup(("/" + b255 + "/x").c_str(), p.lead, p.dir, p.base, p.ext), ZUSD_SYSERR);
    EXPECT_EQ(zusdup(("/" + std::string(254, 'l') + "/x").c_str(), p.lead, p.dir, p.base, p.ext),
              ZUSD_OK);
    EXPECT_EQ(zusdup((b255 + "/x").c_str(), p.lead, p.dir, p.base, p.ext), ZUSD_OK);
    EXPECT_EQ(zusdup((b256 + "/x").c_str(), p.lead, p.dir, p.base, p.ext), ZUSD_SYSERR);
    EXPECT_EQ(zusdup(("x." + e20).c_str(), p.lead, p.dir, p.base, p.ext), ZUSD_SYSERR);
    std::memset(&p, 'x', sizeof p);
    EXPECT_EQ(zusdup(("d/" + b256).c_str(), p.lead, p.dir, p.base, p.ext), ZUSD_SYSERR);
    // A refused split leaves no part half-filled.
    EXPECT_STREQ(p.lead, "");
    EXPECT_STREQ(p.dir, "");
    EXPECT_STREQ(p.base, "");
    EXPECT_STREQ(p.ext, "");
    const std::string log = logText();
    EXPECT_NE(log.find("zusdup: part of (d/" + b256 + ")"), std::string::npos) << log;
    EXPECT_NE(log.find("[Errno=36 ]"), std::string::npos) << log;
}

TEST_F(PathTest, JoinRefusesMoreThan2047Characters) {
    const std::string d(1000, 'd'), b(1000, 'b');
    char out[ZUSD_PATHSZ];
    // 1000 + '/' + 1000 + '.' + 45 = 2047 characters fit.
    EXPECT_EQ(zusdcm(out, "", d.c_str(), b.c_str(), std::string(45, 'e').c_str()), ZUSD_OK);
    EXPECT_EQ(std::strlen(out), 2047u);
    EXPECT_EQ(zusdcm(out, "", d.c_str(), b.c_str(), std::string(46, 'e').c_str()), ZUSD_SYSERR);
    EXPECT_STREQ(out, "");
    EXPECT_NE(logText().find("zusdcm: join of"), std::string::npos);
}

TEST_F(PathTest, CompressedNameAppendsUnderscoreToExtOrBase) {
    auto compressed = [](const char *path) {
        Parts p;
        EXPECT_EQ(zusdup(path, p.lead, p.dir, p.base, p.ext), ZUSD_OK);
        EXPECT_EQ(zusdcf(p.base, p.ext), ZUSD_OK);
        char out[ZUSD_PATHSZ];
        EXPECT_EQ(zusdcm(out, p.lead, p.dir, p.base, p.ext), ZUSD_OK);
        return std::string(out);
    };
    EXPECT_EQ(compressed("data.txt"), "data.txt_");
    EXPECT_EQ(compressed("data"), "data_");
    EXPECT_EQ(compressed("/a/b/data"), "/a/b/data_");
    EXPECT_EQ(compressed("name."), "name._");
    EXPECT_EQ(compressed(".profile"), ".profile_");

    char base[ZUSD_BASESZ], ext[ZUSD_EXTSZ];
    std::strcpy(base, "b");
    std::strcpy(ext, std::string(18, 'e').c_str());
    EXPECT_EQ(zusdcf(base, ext), ZUSD_OK);
    EXPECT_EQ(std::strlen(ext), 19u);
    EXPECT_EQ(zusdcf(base, ext), ZUSD_SYSERR);
    EXPECT_EQ(std::strlen(ext), 19u);
    ext[0] = '\0';
    std::strcpy(base, std::string(254, 'b').c_str());
    EXPECT_EQ(zusdcf(base, ext), ZUSD_OK);
    EXPECT_EQ(zusdcf(base, ext), ZUSD_SYSERR);
    EXPECT_EQ(std::strlen(base), 255u);
}

TEST_F(PathTest, VolumeDigit) {
    auto digit = [](const char *path, int toggle, int reset) {
        char buf[ZUSD_PATHSZ];
        std::strcpy(buf, path);
        EXPECT_EQ(zusdfsf(buf, toggle, reset), ZUSD_OK) << path;
        return std::string(buf);
    };
    EXPECT_EQ(digit("1data.x_", 1, 0), "2data.x_");
    EXPECT_EQ(digit("5data.x_", 1, 0), "1data.x_");
    EXPECT_EQ(digit("1data.x_", 0, 0), "2data.x_");
    EXPECT_EQ(digit("3data.x_", 0, 1), "0data.x_");
    EXPECT_EQ(digit("3data.x_", 1, 1), "1data.x_");
    EXPECT_EQ(digit("_1data", 0, 0), "_2data");
    EXPECT_EQ(digit("/mnt/dir/9a.b_", 0, 0), "/mnt/dir/:a.b_");
    EXPECT_EQ(digit("sub/x", 1, 0), "sub/1");

    // A path without a digit position is left alone.
    for (const char *path : {"/mnt/", "_", "dir/_.x"}) {
        char buf[ZUSD_PATHSZ];
        std::strcpy(buf, path);
        EXPECT_EQ(zusdfsf(buf, 1, 0), ZUSD_NOMORE) << path;
        EXPECT_STREQ(buf, path);
    }
    char buf[ZUSD_PATHSZ];
    std::strcpy(buf, ("x." + std::string(30, 'e')).c_str());
    const std::string before = buf;
    EXPECT_EQ(zusdfsf(buf, 1, 0), ZUSD_SYSERR);
    EXPECT_EQ(before, buf);
}

TEST_F(PathTest, NormaliseAndDropTrailingSlash) {
    char buf[64];
    std::strcpy(buf, "a\\b\\c  \n");
    zusdpt(buf);
    EXPECT_STREQ(buf, "a/b/c");
    std::strcpy(buf, " \t\n ");
    zusdpt(buf);
    EXPECT_STREQ(buf, "");
    std::strcpy(buf, "  x\r");
    zusdpt(buf);
    EXPECT_STREQ(buf, "  x\r");

    std::strcpy(buf, "/");
    EXPECT_EQ(zusddr(buf), 1u);
    EXPECT_STREQ(buf, "/");
    std::strcpy(buf, "/mnt/");
    EXPECT_EQ(zusddr(buf), 5u);
    EXPECT_STREQ(buf, "/mnt");
    std::strcpy(buf, "a//");
    EXPECT_EQ(zusddr(buf), 3u);
    EXPECT_STREQ(buf, "a/");
    std::strcpy(buf, "abc");
    EXPECT_EQ(zusddr(buf), 3u);
    EXPECT_STREQ(buf, "abc");

    zusdfd(buf);
    EXPECT_STREQ(buf, "");
    zusdsv();
    zusdud("/mnt/");
    zusdur();
}

// Runs `body` in a child with its own process group; the child reports
// failed checks through a pipe, which the parent turns into test failures.
template <class Body>
void inChild(Body body) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        setpgid(0, 0);
        close(fds[0]);
        std::string failures;
        body(failures);
        if (!failures.empty()) (void)!write(fds[1], failures.data(), failures.size());
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    char chunk[512];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0) report.append(chunk, n);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(report, "");
}

#define CHILD_CHECK(cond)                                                                  \
    do {                                                                                   \
        if (!(cond))                                                                       \
            failures += std::string("line ") + std::to_string(__LINE__) + ": " #cond "\n"; \
    } while (0)

TEST_F(PathTest, CurrentDirectoryServices) {
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir_.c_str(), real), nullptr);
    const std::string home = real;
    ASSERT_EQ(mkdir((home + "/sub").c_str(), 0755), 0);
    { std::ofstream(home + "/plain") << "x"; }
    const std::string log = log_;

    inChild([&](std::string &failures) {
        char buf[ZUSD_PATHSZ];
        CHILD_CHECK(zusdsd("") == ZUSD_OK);
        CHILD_CHECK(zusdsd(home.c_str()) == ZUSD_OK);
        CHILD_CHECK(zusdwd(buf, sizeof buf) == ZUSD_OK && home == buf);

        CHILD_CHECK(zusdsd("no-such-dir") == ZUSD_NOTFOUND);
        CHILD_CHECK(zusdsd("plain") == ZUSD_NOTFOUND);  // a file used as a directory
        CHILD_CHECK(zusdwd(buf, sizeof buf) == ZUSD_OK && home == buf);

        // A relative directory becomes absolute; the working directory stays.
        std::strcpy(buf, "sub");
        CHILD_CHECK(zusdcr(buf) == ZUSD_OK && home + "/sub" == buf);
        char now[ZUSD_PATHSZ];
        CHILD_CHECK(zusdwd(now, sizeof now) == ZUSD_OK && home == now);
        std::strcpy(buf, "missing");
        CHILD_CHECK(zusdcr(buf) == ZUSD_NOTFOUND && std::string(buf) == "missing");

        // A buffer too small for the directory fails and is logged.
        CHILD_CHECK(zusdwd(buf, 4) == ZUSD_SYSERR);

        const std::string text = slurp(log);
        CHILD_CHECK(text.find("zusdsd: chdir(no-such-dir)!=0. ))") != std::string::npos);
        CHILD_CHECK(text.find("[Errno=20 ]  zusdsd: chdir(plain)!=0.") != std::string::npos);
        CHILD_CHECK(text.find("zusdsd: chdir(missing)!=0.") != std::string::npos);
        CHILD_CHECK(text.find("[Errno=34 ]  zusdwd: getcwd(0x") != std::string::npos);
    });
}

}  // namespace
