// File status, removal, times, directory creation, moves and listings on
// real files in a temporary directory, with the failures that can be
// provoked here and the log records they leave.
#include "szusd.h"
#include "testutil.h"

#include <fcntl.h>
#include <sys/statvfs.h>

#include <map>

namespace {

using zutest::exists;
using zutest::slurp;

constexpr off_t kFourGiB = off_t{1} << 32;

class FileTest : public ::testing::Test {
  protected:
    std::string path(const std::string &name) const { return dir_ / name; }
    std::string make(const std::string &name, const std::string &data = "") const {
        return dir_.file(name, data);
    }
    std::string makedir(const std::string &name) const {
        EXPECT_EQ(mkdir(path(name).c_str(), 0755), 0);
        return path(name);
    }
    // A sparse file of `size` bytes.
    std::string sparse(const std::string &name, off_t size) const {
        EXPECT_EQ(truncate(make(name).c_str(), size), 0);
        return path(name);
    }
    zutest::TempDir dir_{"zufile"};
    zutest::LogTo log_{dir_ / "err.log"};
    const std::string longname_ = path(std::string(300, 'n'));  // ENAMETOOLONG
};

TEST_F(FileTest, Existence) {
    const std::string f = make("f", "abc");
    int e = -1;
    EXPECT_EQ(zusdex(f.c_str(), &e), ZUSD_OK);
    EXPECT_EQ(e, 1);
    EXPECT_EQ(zusdpx(path("missing").c_str(), &e), ZUSD_OK);
    EXPECT_EQ(e, 0);
    e = -1;
    EXPECT_EQ(zusdex((f + "/x").c_str(), &e), ZUSD_OK);  // a file used as a directory
    EXPECT_EQ(e, 0);
    EXPECT_EQ(log_.text(), "");
    // Any other failure is logged, 29, and leaves the flag alone.
    e = -1;
    EXPECT_EQ(zusdex(longname_.c_str(), &e), ZUSD_SYSERR);
    EXPECT_EQ(e, -1);
    EXPECT_TRUE(log_.has("[Errno=36 ]  zusdex: access(" + longname_ + ",0)!=0. ))\n"));
}

// Permission bits do not stop root, so a root run checks as the user nobody
// in a child process.
TEST_F(FileTest, PermissionDenied) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    make("err.log");
    ASSERT_EQ(chmod(path("err.log").c_str(), 0666), 0);
    const std::string locked = makedir("locked"), f = make("locked/f");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);

    EXPECT_EQ(zutest::run_in_child([&] {
                  ASSERT_TRUE(geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0));
                  int e = -1;
                  EXPECT_EQ(zusdex(f.c_str(), &e), ZUSD_DENIED);
                  EXPECT_EQ(e, -1);
                  EXPECT_EQ(zusdmd((locked + "/new/x").c_str()), ZUSD_DENIED);
                  EXPECT_EQ(zusdrm(f.c_str()), ZUSD_DENIED);
                  EXPECT_EQ(zusdrr(locked.c_str()), ZUSD_DENIED);  // parent not writable
                  EXPECT_EQ(zusdmv(f.c_str(), (f + "2").c_str(), 0, 0, nullptr, 0, nullptr),
                            ZUSD_DENIED);
                  const unsigned char mode = 0;
                  EXPECT_EQ(zusdfp(f.c_str(), &mode), ZUSD_DENIED);
                  DIR *handle = nullptr;
                  EXPECT_EQ(zusdod(&handle, locked.c_str(), nullptr, nullptr), ZUSD_DENIED);
                  EXPECT_TRUE(log_.has("[Errno=13 ]  zusdex: access(" + f + ",0)!=0."));
                  EXPECT_TRUE(log_.has("zusdmd: stat -OR- mkdir(" + locked + "/new,...)!=0."));
                  EXPECT_TRUE(log_.has("zusdrm: unlink(" + f + ")!=0."));
                  EXPECT_TRUE(log_.has("zusdod: opendir(" + locked + ")==0."));
              }),
              0);
    ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0700), 0);
    EXPECT_TRUE(exists(f));
}

TEST_F(FileTest, DirectoryTestIsNotLogged) {
    const struct {
        std::string path;
        unsigned status;
        int isdir;
    } cases[] = {{dir_.str(), ZUSD_OK, 1},
                 {make("f"), ZUSD_OK, 0},
                 {path("missing"), ZUSD_NOTFOUND, -1},
                 {path("f/x"), ZUSD_NOTFOUND, -1}};
    for (const auto &c : cases) {
        int d = -1;
        EXPECT_EQ(zusdft(c.path.c_str(), &d), c.status) << c.path;
        if (c.isdir >= 0) { EXPECT_EQ(d, c.isdir) << c.path; }
    }
    EXPECT_EQ(log_.text(), "");
}

// Sizes at and above 4 GiB saturate; sizes that are 0 or 1 modulo 2^32 must
// not make a file look empty to the remover.
TEST_F(FileTest, SizeSaturatesAtFourGiBAndRemoveIfEmptyKeepsData) {
    const struct {
        std::string path;
        uint32_t size;
        bool removed;
    } cases[] = {{make("empty"), 0, true},
                 {make("one", "x"), 1, false},
                 {make("f", "hello"), 5, false},
                 {sparse("edge", kFourGiB - 1), 0xFFFFFFFFu, false},
                 {sparse("big", kFourGiB), 0xFFFFFFFFu, false},
                 {sparse("bigger", kFourGiB + 1), 0xFFFFFFFFu, false}};
    for (const auto &c : cases) {
        uint32_t size = 7;
        EXPECT_EQ(zusdfz(c.path.c_str(), &size), ZUSD_OK) << c.path;
        EXPECT_EQ(size, c.size) << c.path;
        EXPECT_EQ(zusdrn(c.path.c_str()), ZUSD_OK) << c.path;
        EXPECT_EQ(exists(c.path), !c.removed) << c.path;
    }
    EXPECT_EQ(zusdrn(path("missing").c_str()), ZUSD_OK);
    EXPECT_EQ(zusdrn(longname_.c_str()), ZUSD_SYSERR);
    uint32_t size = 0;
    EXPECT_EQ(zusdfz(path("missing").c_str(), &size), ZUSD_NOTFOUND);
    EXPECT_TRUE(log_.has("[Errno=2  ]  zusdfz: stat(" + path("missing") + ",...)!=0. ))\n"));
}

TEST_F(FileTest, Removal) {
    const std::string f = make("f", "x");
    EXPECT_EQ(zusdrm(f.c_str()), ZUSD_OK);
    EXPECT_FALSE(exists(f));
    EXPECT_EQ(log_.text(), "");
    // A file that is not there counts as removed, but is logged.
    EXPECT_EQ(zusdrm(f.c_str()), ZUSD_OK);
    EXPECT_TRUE(log_.has("[Errno=2  ]  zusdrm: unlink(" + f + ")!=0. ))\n"));
    EXPECT_EQ(zusdrm((make("g") + "/x").c_str()), ZUSD_OK);
    EXPECT_EQ(zusdrm(makedir("d").c_str()), ZUSD_SYSERR);  // EISDIR
    EXPECT_TRUE(exists(path("d")));

    EXPECT_EQ(zusdrr(path("d").c_str()), ZUSD_OK);
    EXPECT_FALSE(exists(path("d")));
    makedir("full");
    make("full/f");
    EXPECT_EQ(zusdrr(path("full").c_str()), ZUSD_OK);
    EXPECT_TRUE(exists(path("full/f")));
    EXPECT_TRUE(log_.has("zusdrr: rmdir(" + path("full") + ")!=0."));
    EXPECT_EQ(zusdrr(path("missing").c_str()), ZUSD_OK);
    EXPECT_EQ(zusdrr(path("full/.").c_str()), ZUSD_WRERR);  // EINVAL
    EXPECT_EQ(zusdrr(longname_.c_str()), ZUSD_SYSERR);
}

TEST_F(FileTest, TimeComparison) {
    const std::string a = make("a"), b = make("b");
    // 1 when the second's time is at least the first's: equal times too.
    const struct {
        time_t a, b;
        int a_then_b, b_then_a;
    } cases[] = {{1000, 1000, 1, 1}, {1000, 2000, 1, 0}};
    int newer = -1;
    for (const auto &c : cases) {
        const struct timespec ta[2] = {{c.a, 0}, {c.a, 0}}, tb[2] = {{c.b, 0}, {c.b, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, a.c_str(), ta, 0), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, b.c_str(), tb, 0), 0);
        EXPECT_EQ(zusdet(a.c_str(), b.c_str(), &newer), ZUSD_OK);
        EXPECT_EQ(newer, c.a_then_b) << c.a << " " << c.b;
        EXPECT_EQ(zusdet(b.c_str(), a.c_str(), &newer), ZUSD_OK);
        EXPECT_EQ(newer, c.b_then_a) << c.b << " " << c.a;
    }
    EXPECT_EQ(zusdet(a.c_str(), path("missing").c_str(), &newer), ZUSD_NOTFOUND);
    EXPECT_TRUE(log_.has("zusdet: stat(" + a + " -OR- " + path("missing") + ",&status)!=0. ))"));
}

TEST_F(FileTest, TimeCopyKeepsNanoseconds) {
    const std::string from = make("from", "data"), to = make("to");
    const struct timespec times[2] = {{1234567890, 123456789}, {1300000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
    EXPECT_EQ(zusdct(from.c_str(), to.c_str()), ZUSD_OK);
    struct stat st, src;
    ASSERT_EQ(stat(to.c_str(), &st), 0);
    ASSERT_EQ(stat(from.c_str(), &src), 0);
    EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec);
    EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
    // File systems with coarser stamps round; tmpfs and ext4 keep nanoseconds.
    EXPECT_EQ(st.st_atim.tv_nsec, src.st_atim.tv_nsec);
    EXPECT_EQ(st.st_mtim.tv_nsec, src.st_mtim.tv_nsec);
    EXPECT_NE(src.st_mtim.tv_nsec, 0);

    EXPECT_EQ(zusdct(from.c_str(), path("missing").c_str()), ZUSD_NOTFOUND);
    EXPECT_TRUE(log_.has("[Errno=2  ]  zusdct: utime(" + path("missing") + ",&time)!=0."));
    EXPECT_EQ(zusdct(path("nosource").c_str(), to.c_str()), ZUSD_NOTFOUND);
    EXPECT_TRUE(log_.has("zusdct: stat(" + path("nosource") + ",&status)!=0."));
}

TEST_F(FileTest, PermissionByteSetsTheLowEightBits) {
    const std::string f = make("f");
    // The owner's read bit stays when the byte clears it.
    const struct {
        mode_t before;
        unsigned char byte;
        mode_t after;
    } cases[] = {{0644, 0150, 0550}, {0, 0377, 0377}};
    for (const auto &c : cases) {
        ASSERT_EQ(chmod(f.c_str(), c.before), 0);
        EXPECT_EQ(zusdfp(f.c_str(), &c.byte), ZUSD_OK);
        struct stat st;
        ASSERT_EQ(stat(f.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.after) << std::oct << c.before;
    }
    const unsigned char mode = 0150;
    EXPECT_EQ(zusdfp(path("missing").c_str(), &mode), ZUSD_OK);
    EXPECT_EQ(zusdfp((f + "/x").c_str(), &mode), ZUSD_SYSERR);  // ENOTDIR
    EXPECT_EQ(log_.text(), "");
}

TEST_F(FileTest, MakeDirectoryWithParents) {
    makedir("a");
    const mode_t mask = umask(022);
    EXPECT_EQ(zusdmd(path("a/b/c").c_str()), ZUSD_OK);
    umask(mask);
    for (const char *made : {"a/b", "a/b/c"}) {
        struct stat st;
        ASSERT_EQ(stat(path(made).c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << made;
        EXPECT_EQ(st.st_mode & 0777, 0755u) << made;
    }
    EXPECT_EQ(zusdmd(path("a/b/c").c_str()), ZUSD_OK);
    EXPECT_EQ(zusdmd(path("x/y/").c_str()), ZUSD_OK);
    EXPECT_TRUE(exists(path("x/y")));
    EXPECT_EQ(log_.text(), "");

    // A plain file in the way: as a parent, or where the directory should be.
    make("f");
    EXPECT_EQ(zusdmd(path("f/x/y").c_str()), ZUSD_NOTFOUND);
    EXPECT_TRUE(log_.has("[Errno=20 ]  zusdmd: stat -OR- mkdir(" + path("f/x") + ",...)!=0."));
    EXPECT_EQ(zusdmd(path("f").c_str()), ZUSD_NOTFOUND);
    EXPECT_TRUE(log_.has("zusdmd: stat -OR- mkdir(" + path("f") + ",...)!=0."));
    // The caller still sees the errno of the failure that was logged.
    errno = 0;
    EXPECT_EQ(zusdmd(path("f").c_str()), ZUSD_NOTFOUND);
    EXPECT_EQ(errno, ENOTDIR);
    errno = 0;
    EXPECT_EQ(zusdrm(path("missing").c_str()), ZUSD_OK);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FileTest, MakeDirectoryRefusesPathsLongerThanItsBuffer) {
    // Components of 99 characters and slashes, built up to a given length.
    auto longPath = [&](std::size_t length) {
        std::string p = dir_.str();
        while (p.size() + 100 <= length) p += "/" + std::string(99, 'd');
        return p + "/" + std::string(length - p.size() - 1, 'e');
    };
    const std::string fits = longPath(2047), over = longPath(2048);
    ASSERT_EQ(fits.size(), 2047u);
    ASSERT_EQ(over.size(), 2048u);
    EXPECT_EQ(zusdmd(over.c_str()), ZUSD_SYSERR);
    EXPECT_FALSE(exists(path(std::string(99, 'd'))));  // nothing made
    EXPECT_TRUE(log_.has("[Errno=36 ]  zusdmd: strlen(" + over + ")>=2048."));
    EXPECT_EQ(zusdmd(fits.c_str()), ZUSD_OK);
    EXPECT_TRUE(exists(fits));
}

int progressCalls;
uint32_t progressAmount;
void *progressContext;
int recordProgress(void *context, uint32_t amount) {
    ++progressCalls;
    progressAmount = amount;
    progressContext = context;
    return 0;
}

TEST_F(FileTest, MoveWithinOneFileSystem) {
    const std::string from = make("from", "data"), to = path("to");
    progressCalls = 0;
    int context = 0;
    EXPECT_EQ(zusdmv(from.c_str(), to.c_str(), 0, 1, recordProgress, 0, &context), ZUSD_OK);
    EXPECT_FALSE(exists(from));
    EXPECT_EQ(slurp(to), "data");
    // The length is reported rounded up to whole blocks of the target's file system.
    struct statvfs vfs;
    ASSERT_EQ(statvfs(dir_.c_str(), &vfs), 0);
    EXPECT_EQ(progressCalls, 1);
    EXPECT_EQ(progressAmount, vfs.f_frsize);
    EXPECT_EQ(progressContext, &context);
    EXPECT_EQ(zusdmv(to.c_str(), from.c_str(), 0, 4, nullptr, 0, nullptr), ZUSD_OK);
    EXPECT_EQ(log_.text(), "");
}

TEST_F(FileTest, MoveFailures) {
    progressCalls = 0;
    auto move = [](const std::string &from, const std::string &to) {
        return zusdmv(from.c_str(), to.c_str(), 0, 0, recordProgress, 0, nullptr);
    };
    // A missing source is reported without trying the rename, so unlogged.
    EXPECT_EQ(move(path("missing"), path("to")), ZUSD_NOTFOUND);
    EXPECT_EQ(log_.text(), "");
    const std::string f = make("f", "x");
    make("plain");
    EXPECT_EQ(move(f, path("plain/to")), ZUSD_NOTFOUND);
    EXPECT_TRUE(log_.has("[Errno=20 ]  zusdmv: rename(" + f + "," + path("plain/to") + ")!=0."));
    makedir("d");
    EXPECT_EQ(move(path("d"), path("d/sub")), ZUSD_WRERR);  // EINVAL: into itself
    makedir("e");
    make("e/x");
    EXPECT_EQ(move(path("d"), path("e")), ZUSD_SYSERR);  // ENOTEMPTY
    EXPECT_EQ(progressCalls, 0);
    EXPECT_TRUE(exists(f));
}

TEST_F(FileTest, Listing) {
    const std::string l = makedir("l"), sub = makedir("l/sub");
    make("l/a.txt", "abc");
    sparse("l/huge", kFourGiB + 5);

    DIR *handle = nullptr;
    uint32_t a = 9, b = 9, position = 5, size;
    char name[ZUSD_BASESZ];
    int isdir;
    ASSERT_EQ(zusdod(&handle, l.c_str(), &a, &b), ZUSD_OK);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 0u);
    auto list = [&] {
        std::map<std::string, std::pair<uint32_t, int>> seen;
        unsigned status;
        while ((status = zusdnx(&handle, l.c_str(), 0, name, &size, &isdir)) == ZUSD_OK)
            seen[name] = {size, isdir};
        EXPECT_EQ(status, ZUSD_NOMORE);
        return seen;
    };
    const auto first = list();
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first.at("a.txt"), std::make_pair(3u, 0));
    EXPECT_EQ(first.at("sub").second, 1);
    EXPECT_EQ(first.at("huge"), std::make_pair(0xFFFFFFFFu, 0));
    EXPECT_EQ(zusdrs(&handle, 0, &position), ZUSD_OK);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(list(), first);
    EXPECT_EQ(zusdcd(&handle), ZUSD_OK);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(log_.text(), "");

    ASSERT_EQ(zusdod(&handle, sub.c_str(), &a, &b), ZUSD_OK);
    EXPECT_EQ(zusdnx(&handle, sub.c_str(), 0, name, &size, &isdir), ZUSD_NOMORE);
    ASSERT_EQ(symlink("nowhere", path("l/sub/dangling").c_str()), 0);
    EXPECT_EQ(zusdrs(&handle, 0, &position), ZUSD_OK);
    EXPECT_EQ(zusdnx(&handle, sub.c_str(), 0, name, &size, &isdir), ZUSD_NOTFOUND);
    EXPECT_STREQ(name, "dangling");
    EXPECT_TRUE(log_.has("zusdnx: stat(" + path("l/sub/dangling") + ",&status)!=0."));
    EXPECT_EQ(zusdcd(&handle), ZUSD_OK);

    EXPECT_EQ(zusdod(&handle, path("missing").c_str(), &a, &b), ZUSD_NOTFOUND);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(log_.has("[Errno=2  ]  zusdod: opendir(" + path("missing") + ")==0. ))"));
    EXPECT_EQ(zusdod(&handle, path("l/a.txt").c_str(), &a, &b), ZUSD_NOTFOUND);
}

}  // namespace
