// Path names: split and join, `_` naming, volume digit, normalisation, the
// bounds of the part buffers, and the current-directory services (run in a
// forked child, since they change the working directory).
#include "szusd.h"
#include "testutil.h"

#include <climits>

namespace {

// A temporary directory with the error log configured inside it.
class PathTest : public ::testing::Test {
  protected:
    zutest::TempDir dir_{"zupath"};
    zutest::LogTo log_{dir_ / "err.log"};
};

struct Parts {
    char lead[ZUSD_LEADSZ], dir[ZUSD_DIRSZ], base[ZUSD_BASESZ], ext[ZUSD_EXTSZ];
    unsigned split(const std::string &path) { return zusdup(path.c_str(), lead, dir, base, ext); }
    std::string join() const {
        char out[ZUSD_PATHSZ];
        EXPECT_EQ(zusdcm(out, lead, dir, base, ext), ZUSD_OK);
        return out;
    }
};

TEST_F(PathTest, SplitGivesTheFourPartsAndJoinGivesThePathBack) {
    const struct {
        const char *path, *lead, *dir, *base, *ext;
    } cases[] = {
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
    for (const auto &c : cases) {
        Parts p;
        ASSERT_EQ(p.split(c.path), ZUSD_OK) << c.path;
        EXPECT_STREQ(p.lead, c.lead) << c.path;
        EXPECT_STREQ(p.dir, c.dir) << c.path;
        EXPECT_STREQ(p.base, c.base) << c.path;
        EXPECT_STREQ(p.ext, c.ext) << c.path;
        EXPECT_EQ(p.join(), c.path);
    }
    // Null and empty paths split into empty parts.
    for (const char *path : {static_cast<const char *>(nullptr), ""}) {
        Parts p;
        std::memset(&p, 'x', sizeof p);
        EXPECT_EQ(zusdup(path, p.lead, p.dir, p.base, p.ext), ZUSD_OK);
        EXPECT_EQ(std::string(p.lead) + p.dir + p.base + p.ext, "");
    }
    EXPECT_EQ(log_.text(), "");
}

TEST_F(PathTest, JoinPutsOneSlashBetweenPartsAndAcceptsNulls) {
    const struct {
        const char *lead, *dir, *base, *ext, *joined;
    } cases[] = {
        {"/usr", "", "x", "", "/usr/x"},
        {"/usr/", nullptr, "x", "c", "/usr/x.c"},
        {"/mnt", "", "VOLUME", "ID", "/mnt/VOLUME.ID"},
        {nullptr, "a", "", "profile", "a/.profile"},
        {"/usr", "", "", "", "/usr"},
        {nullptr, nullptr, nullptr, nullptr, ""},
    };
    for (const auto &c : cases) {
        char out[ZUSD_PATHSZ];
        EXPECT_EQ(zusdcm(out, c.lead, c.dir, c.base, c.ext), ZUSD_OK) << c.joined;
        EXPECT_STREQ(out, c.joined);
    }
    // A doubled slash before the last component joins as one: the same file.
    Parts p;
    ASSERT_EQ(p.split("a//b"), ZUSD_OK);
    EXPECT_STREQ(p.dir, "a/");
    EXPECT_EQ(p.join(), "a/b");
    // The output may be one of the parts.
    char base[ZUSD_PATHSZ] = "x";
    EXPECT_EQ(zusdcm(base, "/tmp", "", base, "y"), ZUSD_OK);
    EXPECT_STREQ(base, "/tmp/x.y");
}

TEST_F(PathTest, PartsThatDoNotFitTheirBuffersAreRefused) {
    const std::string b255(255, 'b'), b256(256, 'b'), e19(19, 'e'), e20(20, 'e');
    Parts p;
    EXPECT_EQ(p.split("/d/" + b255 + "." + e19), ZUSD_OK);
    EXPECT_EQ(std::string(p.base), b255);
    EXPECT_EQ(std::string(p.ext), e19);
    EXPECT_EQ(p.split("/" + b255 + "/x"), ZUSD_SYSERR);
    EXPECT_EQ(p.split("/" + std::string(254, 'l') + "/x"), ZUSD_OK);
    EXPECT_EQ(p.split(b255 + "/x"), ZUSD_OK);
    EXPECT_EQ(p.split(b256 + "/x"), ZUSD_SYSERR);
    EXPECT_EQ(p.split("x." + e20), ZUSD_SYSERR);
    std::memset(&p, 'x', sizeof p);
    EXPECT_EQ(p.split("d/" + b256), ZUSD_SYSERR);
    // A refused split leaves no part half-filled.
    EXPECT_EQ(std::string(p.lead) + p.dir + p.base + p.ext, "");
    EXPECT_TRUE(log_.has("zusdup: part of (d/" + b256 + ")")) << log_.text();
    EXPECT_TRUE(log_.has("[Errno=36 ]")) << log_.text();
}

TEST_F(PathTest, JoinRefusesMoreThan2047Characters) {
    const std::string d(1000, 'd'), b(1000, 'b');
    char out[ZUSD_PATHSZ];
    // 1000 + '/' + 1000 + '.' + 45 = 2047 characters fit.
    EXPECT_EQ(zusdcm(out, "", d.c_str(), b.c_str(), std::string(45, 'e').c_str()), ZUSD_OK);
    EXPECT_EQ(std::strlen(out), 2047u);
    EXPECT_EQ(zusdcm(out, "", d.c_str(), b.c_str(), std::string(46, 'e').c_str()), ZUSD_SYSERR);
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(log_.has("zusdcm: join of"));
}

TEST_F(PathTest, CompressedNameAppendsUnderscoreToExtOrBase) {
    for (const std::string path : {"data.txt", "data", "/a/b/data", "name.", ".profile"}) {
        Parts p;
        EXPECT_EQ(p.split(path), ZUSD_OK);
        EXPECT_EQ(zusdcf(p.base, p.ext), ZUSD_OK);
        EXPECT_EQ(p.join(), path + "_");
    }
    // The underscore must fit the extension, or the base when there is none.
    char base[ZUSD_BASESZ] = "b", ext[ZUSD_EXTSZ];
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
    const std::string over = "x." + std::string(30, 'e');
    const struct {
        std::string path;
        int toggle, reset;
        unsigned status;
        std::string after;
    } cases[] = {
        {"1data.x_", 1, 0, ZUSD_OK, "2data.x_"},
        {"5data.x_", 1, 0, ZUSD_OK, "1data.x_"},
        {"1data.x_", 0, 0, ZUSD_OK, "2data.x_"},
        {"3data.x_", 0, 1, ZUSD_OK, "0data.x_"},
        {"3data.x_", 1, 1, ZUSD_OK, "1data.x_"},
        {"_1data", 0, 0, ZUSD_OK, "_2data"},
        {"/mnt/dir/9a.b_", 0, 0, ZUSD_OK, "/mnt/dir/:a.b_"},
        {"sub/x", 1, 0, ZUSD_OK, "sub/1"},
        // Without a digit position, or with a part that does not fit, the
        // path is left alone.
        {"/mnt/", 1, 0, ZUSD_NOMORE, "/mnt/"},
        {"_", 1, 0, ZUSD_NOMORE, "_"},
        {"dir/_.x", 1, 0, ZUSD_NOMORE, "dir/_.x"},
        {over, 1, 0, ZUSD_SYSERR, over},
    };
    for (const auto &c : cases) {
        char buf[ZUSD_PATHSZ];
        std::strcpy(buf, c.path.c_str());
        EXPECT_EQ(zusdfsf(buf, c.toggle, c.reset), c.status) << c.path;
        EXPECT_EQ(std::string(buf), c.after) << c.path << " " << c.toggle << c.reset;
    }
}

TEST_F(PathTest, NormaliseAndDropTrailingSlash) {
    const struct {
        const char *in, *out;
    } normalised[] = {{"a\\b\\c  \n", "a/b/c"}, {" \t\n ", ""}, {"  x\r", "  x\r"}};
    for (const auto &c : normalised) {
        char buf[64];
        std::strcpy(buf, c.in);
        zusdpt(buf);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
    const struct {
        const char *in, *out;
        std::size_t length;
    } dropped[] = {{"/", "/", 1}, {"/mnt/", "/mnt", 5}, {"a//", "a/", 3}, {"abc", "abc", 3}};
    for (const auto &c : dropped) {
        char buf[64];
        std::strcpy(buf, c.in);
        EXPECT_EQ(zusddr(buf), c.length) << c.in;
        EXPECT_STREQ(buf, c.out) << c.in;
    }
    char buf[64] = "x";
    zusdfd(buf);
    EXPECT_STREQ(buf, "");
}

TEST_F(PathTest, CurrentDirectoryServices) {
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir_.c_str(), real), nullptr);
    const std::string home = real;
    ASSERT_EQ(mkdir((home + "/sub").c_str(), 0755), 0);
    dir_.file("plain", "x");

    EXPECT_EQ(zutest::run_in_child([&] {
                  char buf[ZUSD_PATHSZ];
                  EXPECT_EQ(zusdsd(""), ZUSD_OK);
                  EXPECT_EQ(zusdsd(home.c_str()), ZUSD_OK);
                  EXPECT_EQ(zusdwd(buf, sizeof buf), ZUSD_OK);
                  EXPECT_EQ(buf, home);
                  EXPECT_EQ(zusdsd("no-such-dir"), ZUSD_NOTFOUND);
                  EXPECT_EQ(zusdsd("plain"), ZUSD_NOTFOUND);  // a file used as a directory
                  EXPECT_EQ(zusdwd(buf, sizeof buf), ZUSD_OK);
                  EXPECT_EQ(buf, home);

                  // A relative directory becomes absolute; the working directory stays.
                  std::strcpy(buf, "sub");
                  EXPECT_EQ(zusdcr(buf), ZUSD_OK);
                  EXPECT_EQ(buf, home + "/sub");
                  char now[ZUSD_PATHSZ];
                  EXPECT_EQ(zusdwd(now, sizeof now), ZUSD_OK);
                  EXPECT_EQ(now, home);
                  std::strcpy(buf, "missing");
                  EXPECT_EQ(zusdcr(buf), ZUSD_NOTFOUND);
                  EXPECT_STREQ(buf, "missing");
                  // A buffer too small for the directory fails and is logged.
                  EXPECT_EQ(zusdwd(buf, 4), ZUSD_SYSERR);

                  EXPECT_TRUE(log_.has("zusdsd: chdir(no-such-dir)!=0. ))"));
                  EXPECT_TRUE(log_.has("[Errno=20 ]  zusdsd: chdir(plain)!=0."));
                  EXPECT_TRUE(log_.has("zusdsd: chdir(missing)!=0."));
                  EXPECT_TRUE(log_.has("[Errno=34 ]  zusdwd: getcwd(0x"));
              }),
              0);
}

}  // namespace
