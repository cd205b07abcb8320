// File status, removal, times, directory creation, moves and listings on
// real files in a temporary directory, with the failures that can be
// provoked here and the log records they leave.
#include "szusd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class FileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zufileXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        log_ = dir_ + "/err.log";
        ASSERT_EQ(zusdlg(log_.c_str(), 1), 1);
    }
    void TearDown() override {
        zusdlg_level = 0;
        std::free(zusdlg_filename);
        zusdlg_filename = nullptr;
        std::system(("chmod -R u+rwx '" + dir_ + "' 2>/dev/null; rm -rf '" + dir_ + "'").c_str());
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string make(const std::string &name, const std::string &data = "") const {
        std::ofstream(path(name), std::ios::binary) << data;
        return path(name);
    }
    // A sparse file of `size` bytes.
    std::string sparse(const std::string &name, off_t size) const {
        const int fd = open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, size), 0);
        close(fd);
        return path(name);
    }
    std::string logText() const { return slurp(log_); }
    bool logHas(const std::string &text) const { return logText().find(text) != std::string::npos; }
    static bool exists(const std::string &p) { return access(p.c_str(), F_OK) == 0; }
    std::string dir_, log_;
};

constexpr off_t kFourGiB = off_t{1} << 32;

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
    EXPECT_EQ(logText(), "");

    // Any other failure is logged, 29, and leaves the flag alone.
    const std::string longname = path(std::string(300, 'n'));
    e = -1;
    EXPECT_EQ(zusdex(longname.c_str(), &e), ZUSD_SYSERR);
    EXPECT_EQ(e, -1);
    EXPECT_TRUE(logHas("[Errno=36 ]  zusdex: access(" + longname + ",0)!=0. ))\n"));
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

// Permission bits do not stop root, so a root run checks as the user nobody
// in a child process.
TEST_F(FileTest, PermissionDenied) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    make("err.log");
    ASSERT_EQ(chmod(log_.c_str(), 0666), 0);
    ASSERT_EQ(mkdir(path("locked").c_str(), 0700), 0);
    make("locked/f");
    ASSERT_EQ(chmod(path("locked").c_str(), 0), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
    const std::string locked = path("locked"), f = path("locked/f"), log = log_;

    inChild([&](std::string &failures) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            failures = "cannot become nobody\n";
            return;
        }
        int e = -1;
        CHILD_CHECK(zusdex(f.c_str(), &e) == ZUSD_DENIED && e == -1);
        CHILD_CHECK(zusdmd((locked + "/new/x").c_str()) == ZUSD_DENIED);
        CHILD_CHECK(zusdrm(f.c_str()) == ZUSD_DENIED);
        CHILD_CHECK(zusdrr(locked.c_str()) == ZUSD_DENIED);  // parent not writable
        CHILD_CHECK(zusdmv(f.c_str(), (f + "2").c_str(), 0, 0, nullptr, 0, nullptr) == ZUSD_DENIED);
        const unsigned char mode = 0;
        CHILD_CHECK(zusdfp(f.c_str(), &mode) == ZUSD_DENIED);
        DIR *handle = nullptr;
        CHILD_CHECK(zusdod(&handle, locked.c_str(), nullptr, nullptr) == ZUSD_DENIED);
        const std::string text = slurp(log);
        CHILD_CHECK(text.find("[Errno=13 ]  zusdex: access(" + f + ",0)!=0.") != std::string::npos);
        CHILD_CHECK(text.find("zusdmd: stat -OR- mkdir(" + locked + "/new,...)!=0.") !=
                    std::string::npos);
        CHILD_CHECK(text.find("zusdrm: unlink(" + f + ")!=0.") != std::string::npos);
        CHILD_CHECK(text.find("zusdod: opendir(" + locked + ")==0.") != std::string::npos);
    });
    ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0700), 0);
    EXPECT_TRUE(exists(f));
}

TEST_F(FileTest, DirectoryTestIsNotLogged) {
    int d = -1;
    EXPECT_EQ(zusdft(dir_.c_str(), &d), ZUSD_OK);
    EXPECT_EQ(d, 1);
    EXPECT_EQ(zusdft(make("f").c_str(), &d), ZUSD_OK);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(zusdft(path("missing").c_str(), &d), ZUSD_NOTFOUND);
    EXPECT_EQ(zusdft(path("f/x").c_str(), &d), ZUSD_NOTFOUND);
    EXPECT_EQ(logText(), "");
}

TEST_F(FileTest, SizeSaturatesAtFourGiB) {
    uint32_t size = 7;
    EXPECT_EQ(zusdfz(make("f", "hello").c_str(), &size), ZUSD_OK);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(zusdfz(sparse("edge", kFourGiB - 1).c_str(), &size), ZUSD_OK);
    EXPECT_EQ(size, 0xFFFFFFFFu);
    size = 0;
    EXPECT_EQ(zusdfz(sparse("big", kFourGiB).c_str(), &size), ZUSD_OK);
    EXPECT_EQ(size, 0xFFFFFFFFu);
    size = 0;
    EXPECT_EQ(zusdfz(sparse("bigger", kFourGiB + 1).c_str(), &size), ZUSD_OK);
    EXPECT_EQ(size, 0xFFFFFFFFu);

    EXPECT_EQ(zusdfz(path("missing").c_str(), &size), ZUSD_NOTFOUND);
    EXPECT_TRUE(logHas("[Errno=2  ]  zusdfz: stat(" + path("missing") + ",...)!=0. ))\n"));
}

TEST_F(FileTest, RemoveIfEmptyKeepsEveryFileWithData) {
    const std::string empty = make("empty");
    const std::string full = make("full", "x");
    const std::string big = sparse("big", kFourGiB);
    const std::string bigger = sparse("bigger", kFourGiB + 1);
    EXPECT_EQ(zusdrn(empty.c_str()), ZUSD_OK);
    EXPECT_FALSE(exists(empty));
    EXPECT_EQ(zusdrn(full.c_str()), ZUSD_OK);
    EXPECT_TRUE(exists(full));
    // Sizes that are 0 or 1 modulo 2^32 must not look empty.
    EXPECT_EQ(zusdrn(big.c_str()), ZUSD_OK);
    EXPECT_TRUE(exists(big));
    EXPECT_EQ(zusdrn(bigger.c_str()), ZUSD_OK);
    EXPECT_TRUE(exists(bigger));
    EXPECT_EQ(zusdrn(path("missing").c_str()), ZUSD_OK);
    EXPECT_EQ(zusdrn(path(std::string(300, 'n')).c_str()), ZUSD_SYSERR);
}

TEST_F(FileTest, Removal) {
    const std::string f = make("f", "x");
    EXPECT_EQ(zusdrm(f.c_str()), ZUSD_OK);
    EXPECT_FALSE(exists(f));
    EXPECT_EQ(logText(), "");

    // A file that is not there counts as removed, but is logged.
    EXPECT_EQ(zusdrm(f.c_str()), ZUSD_OK);
    EXPECT_TRUE(logHas("[Errno=2  ]  zusdrm: unlink(" + f + ")!=0. ))\n"));
    EXPECT_EQ(zusdrm((make("g") + "/x").c_str()), ZUSD_OK);

    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    EXPECT_EQ(zusdrm(path("d").c_str()), ZUSD_SYSERR);  // EISDIR
    EXPECT_TRUE(exists(path("d")));
}

TEST_F(FileTest, DirectoryRemoval) {
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    EXPECT_EQ(zusdrr(path("d").c_str()), ZUSD_OK);
    EXPECT_FALSE(exists(path("d")));

    ASSERT_EQ(mkdir(path("full").c_str(), 0755), 0);
    make("full/f");
    EXPECT_EQ(zusdrr(path("full").c_str()), ZUSD_OK);
    EXPECT_TRUE(exists(path("full/f")));
    EXPECT_TRUE(logHas("zusdrr: rmdir(" + path("full") + ")!=0."));

    EXPECT_EQ(zusdrr(path("missing").c_str()), ZUSD_OK);
    EXPECT_EQ(zusdrr(path("full/.").c_str()), ZUSD_WRERR);  // EINVAL
    EXPECT_EQ(zusdrr(path(std::string(300, 'n')).c_str()), ZUSD_SYSERR);
}

TEST_F(FileTest, TimeComparison) {
    const std::string a = make("a"), b = make("b");
    const struct timespec t1[2] = {{1000, 0}, {1000, 0}};
    const struct timespec t2[2] = {{2000, 0}, {2000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, a.c_str(), t1, 0), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, b.c_str(), t1, 0), 0);
    int newer = -1;
    EXPECT_EQ(zusdet(a.c_str(), b.c_str(), &newer), ZUSD_OK);
    EXPECT_EQ(newer, 1);
    ASSERT_EQ(utimensat(AT_FDCWD, b.c_str(), t2, 0), 0);
    EXPECT_EQ(zusdet(b.c_str(), a.c_str(), &newer), ZUSD_OK);
    EXPECT_EQ(newer, 0);
    EXPECT_EQ(zusdet(a.c_str(), b.c_str(), &newer), ZUSD_OK);
    EXPECT_EQ(newer, 1);

    EXPECT_EQ(zusdet(a.c_str(), path("missing").c_str(), &newer), ZUSD_NOTFOUND);
    EXPECT_TRUE(logHas("zusdet: stat(" + a + " -OR- " + path("missing") + ",&status)!=0. ))"));
}

TEST_F(FileTest, TimeCopyKeepsNanoseconds) {
    const std::string from = make("from", "data"), to = make("to");
    const struct timespec times[2] = {{1234567890, 123456789}, {1300000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
    EXPECT_EQ(zusdct(from.c_str(), to.c_str()), ZUSD_OK);
    struct stat st;
    ASSERT_EQ(stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec);
    EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
    // File systems with coarser stamps round; tmpfs and ext4 keep nanoseconds.
    struct stat src;
    ASSERT_EQ(stat(from.c_str(), &src), 0);
    EXPECT_EQ(st.st_atim.tv_nsec, src.st_atim.tv_nsec);
    EXPECT_EQ(st.st_mtim.tv_nsec, src.st_mtim.tv_nsec);
    EXPECT_NE(src.st_mtim.tv_nsec, 0);

    EXPECT_EQ(zusdct(from.c_str(), path("missing").c_str()), ZUSD_NOTFOUND);
    EXPECT_TRUE(logHas("[Errno=2  ]  zusdct: utime(" + path("missing") + ",&time)!=0."));
    EXPECT_EQ(zusdct(path("nosource").c_str(), to.c_str()), ZUSD_NOTFOUND);
    EXPECT_TRUE(logHas("zusdct: stat(" + path("nosource") + ",&status)!=0."));
}

TEST_F(FileTest, PermissionByteSetsTheLowEightBits) {
    const std::string f = make("f");
    ASSERT_EQ(chmod(f.c_str(), 0644), 0);
    const unsigned char mode = 0150;
    EXPECT_EQ(zusdfp(f.c_str(), &mode), ZUSD_OK);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0550u);  // the owner's read bit stays
    ASSERT_EQ(chmod(f.c_str(), 0), 0);
    const unsigned char all = 0377;
    EXPECT_EQ(zusdfp(f.c_str(), &all), ZUSD_OK);
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0377u);

    EXPECT_EQ(zusdfp(path("missing").c_str(), &mode), ZUSD_OK);
    EXPECT_EQ(zusdfp((f + "/x").c_str(), &mode), ZUSD_SYSERR);  // ENOTDIR
    EXPECT_EQ(logText(), "");
}

TEST_F(FileTest, MakeDirectoryWithParents) {
    ASSERT_EQ(mkdir(path("a").c_str(), 0755), 0);
    const mode_t mask = umask(022);
    EXPECT_EQ(zusdmd(path("a/b/c").c_str()), ZUSD_OK);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(path("a/b").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(stat(path("a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(zusdmd(path("a/b/c").c_str()), ZUSD_OK);
    EXPECT_EQ(zusdmd(path("x/y/").c_str()), ZUSD_OK);
    EXPECT_TRUE(exists(path("x/y")));
    EXPECT_EQ(logText(), "");

    // A plain file in the way: as a parent, or where the directory should be.
    make("f");
    EXPECT_EQ(zusdmd(path("f/x/y").c_str()), ZUSD_NOTFOUND);
    EXPECT_TRUE(logHas("[Errno=20 ]  zusdmd: stat -OR- mkdir(" + path("f/x") + ",...)!=0."));
    EXPECT_EQ(zusdmd(path("f").c_str()), ZUSD_NOTFOUND);
    EXPECT_TRUE(logHas("zusdmd: stat -OR- mkdir(" + path("f") + ",...)!=0."));
}

TEST_F(FileTest, MakeDirectoryRefusesPathsLongerThanItsBuffer) {
    // Components of 99 characters and slashes, built up to a given length.
    auto longPath = [&](std::size_t length) {
        std::string p = dir_;
        while (p.size() + 100 <= length) p += "/" + std::string(99, 'd');
        p += "/" + std::string(length - p.size() - 1, 'e');
        return p;
    };
    const std::string fits = longPath(2047), over = longPath(2048);
    ASSERT_EQ(fits.size(), 2047u);
    ASSERT_EQ(over.size(), 2048u);
    EXPECT_EQ(zusdmd(over.c_str()), ZUSD_SYSERR);
    EXPECT_FALSE(exists(dir_ + "/" + std::string(99, 'd')));  // nothing made
    EXPECT_TRUE(logHas("[Errno=36 ]  zusdmd: strlen(" + over + ")>=2048."));
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
    EXPECT_EQ(logText(), "");
}

TEST_F(FileTest, MoveFailures) {
    progressCalls = 0;
    // A missing source is reported without trying the rename, so unlogged.
    EXPECT_EQ(zusdmv(path("missing").c_str(), path("to").c_str(), 0, 0, recordProgress, 0, nullptr),
              ZUSD_NOTFOUND);
    EXPECT_EQ(logText(), "");

    const std::string f = make("f", "x");
    make("plain");
    EXPECT_EQ(zusdmv(f.c_str(), path("plain/to").c_str(), 0, 0, recordProgress, 0, nullptr),
              ZUSD_NOTFOUND);
    EXPECT_TRUE(logHas("[Errno=20 ]  zusdmv: rename(" + f + "," + path("plain/to") + ")!=0."));

    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    EXPECT_EQ(zusdmv(path("d").c_str(), path("d/sub").c_str(), 0, 0, nullptr, 0, nullptr),
              ZUSD_WRERR);  // EINVAL: into itself
    ASSERT_EQ(mkdir(path("e").c_str(), 0755), 0);
    make("e/x");
    EXPECT_EQ(zusdmv(path("d").c_str(), path("e").c_str(), 0, 0, nullptr, 0, nullptr),
              ZUSD_SYSERR);  // ENOTEMPTY
    EXPECT_EQ(progressCalls, 0);
    EXPECT_TRUE(exists(f));
}

TEST_F(FileTest, Listing) {
    ASSERT_EQ(mkdir(path("l").c_str(), 0755), 0);
    make("l/a.txt", "abc");
    ASSERT_EQ(mkdir(path("l/sub").c_str(), 0755), 0);
    sparse("l/huge", kFourGiB + 5);
    const std::string l = path("l");

    DIR *handle = nullptr;
    uint32_t a = 9, b = 9;
    ASSERT_EQ(zusdod(&handle, l.c_str(), &a, &b), ZUSD_OK);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 0u);
    auto list = [&] {
        std::map<std::string, std::pair<uint32_t, int>> seen;
        char name[ZUSD_BASESZ];
        uint32_t size;
        int isdir;
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
    uint32_t position = 5;
    EXPECT_EQ(zusdrs(&handle, 0, &position), ZUSD_OK);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(list(), first);
    EXPECT_EQ(zusdcd(&handle), ZUSD_OK);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(logText(), "");

    ASSERT_EQ(zusdod(&handle, path("l/sub").c_str(), &a, &b), ZUSD_OK);
    char name[ZUSD_BASESZ];
    uint32_t size;
    int isdir;
    EXPECT_EQ(zusdnx(&handle, path("l/sub").c_str(), 0, name, &size, &isdir), ZUSD_NOMORE);
    ASSERT_EQ(symlink("nowhere", path("l/sub/dangling").c_str()), 0);
    EXPECT_EQ(zusdrs(&handle, 0, &position), ZUSD_OK);
    EXPECT_EQ(zusdnx(&handle, path("l/sub").c_str(), 0, name, &size, &isdir), ZUSD_NOTFOUND);
    EXPECT_STREQ(name, "dangling");
    EXPECT_TRUE(logHas("zusdnx: stat(" + path("l/sub/dangling") + ",&status)!=0."));
    EXPECT_EQ(zusdcd(&handle), ZUSD_OK);

    EXPECT_EQ(zusdod(&handle, path("missing").c_str(), &a, &b), ZUSD_NOTFOUND);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(logHas("[Errno=2  ]  zusdod: opendir(" + path("missing") + ")==0. ))"));
    EXPECT_EQ(zusdod(&handle, path("l/a.txt").c_str(), &a, &b), ZUSD_NOTFOUND);
}

TEST_F(FileTest, LoggingLeavesErrnoForTheCaller) {
    errno = 0;
    EXPECT_EQ(zusdrm(path("missing").c_str()), ZUSD_OK);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(zusdmd(make("f").c_str()), ZUSD_NOTFOUND);
    EXPECT_EQ(errno, ENOTDIR);
}

}  // namespace
