// Users, groups, ownership and platform checks: real owner, group and mode
// changes on files in a temporary directory (as root, to nobody/nogroup),
// the lookup caches observed through the system-call table, the write test
// from the point of view of another user, and the environment-driven checks
// in forked children.
#include "szusdu.h"
#include "testutil.h"

#include <array>
#include <filesystem>

#include <grp.h>
#include <pwd.h>

namespace {

using zutest::run_in_child;

// Become `uid`/`gid` for good, without supplementary groups (child only).
bool drop_to(uid_t uid, gid_t gid) {
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

std::string group_name(gid_t gid) {
    const struct group *gr = getgrgid(gid);
    return gr != nullptr ? gr->gr_name : "";
}

struct stat stat_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

// Call counters for the system-call table; chmod and chown fail with
// `injected_errno` when it is set, and otherwise make the real call.
int pwnam_calls, grnam_calls, chmod_calls, chown_calls, injected_errno;
int counting_chmod(const char *path, mode_t mode) {
    ++chmod_calls;
    if (injected_errno == 0) return ::chmod(path, mode);
    errno = injected_errno;
    return -1;
}
int counting_chown(const char *path, uid_t uid, gid_t gid) {
    ++chown_calls;
    if (injected_errno == 0) return ::chown(path, uid, gid);
    errno = injected_errno;
    return -1;
}

class Szusdu : public ::testing::Test {
  protected:
    void SetUp() override {
        // Searchable by other users, for the tests that drop privileges.
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        file_ = dir_.file("file", "x\n");
        zusdu_sys = zusdu_sys_default;
        zusdu_sys.chmod = counting_chmod;
        zusdu_sys.chown = counting_chown;
        zusdu_forget();
        pwnam_calls = grnam_calls = chmod_calls = chown_calls = injected_errno = 0;
        // An unprivileged user and group of this machine.
        const struct passwd *pw = getpwnam("nobody");
        const struct group *gr = getgrnam("nogroup");
        if (gr == nullptr) gr = getgrnam("nobody");
        if (pw != nullptr && gr != nullptr && pw->pw_uid != 0 && gr->gr_gid != 0) {
            nobody_ = pw->pw_uid;
            nogroup_ = gr->gr_gid;
            nobody_name_ = pw->pw_name;
            ids_found_ = true;
        }
    }
    void TearDown() override {
        zusdu_sys = zusdu_sys_default;
        zusdu_forget();
    }
    bool root_with_ids() const { return geteuid() == 0 && ids_found_; }
    std::string subdir(const char *name, uid_t uid, gid_t gid, mode_t mode) {
        const std::string path = dir_ / name;
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        EXPECT_EQ(chown(path.c_str(), uid, gid), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
    // Makes <dir>/<relative>/langset.dat.
    void make_boot(const std::string &relative) {
        std::filesystem::create_directories(dir_.str() + relative);
        zutest::spit(dir_.str() + relative + "/langset.dat", "x\n");
    }

    zutest::TempDir dir_{"zusdu"};
    std::string file_, nobody_name_;
    uid_t nobody_ = 0;
    gid_t nogroup_ = 0;
    bool ids_found_ = false;
};

#define NEEDS_ROOT_AND_IDS() \
    if (!root_with_ids()) GTEST_SKIP() << "needs root and nobody/nogroup"

TEST_F(Szusdu, DirectoryAndDeviceTests) {
    const struct {
        const char *what;
        unsigned (*test)(const char *, int *);
        std::string path;
        unsigned status;
        int flag;
    } cases[] = {
        {"dir", zusduid, dir_.str(), 0, 1},
        {"dir", zusduid, file_, 0, 0},
        {"dir", zusduid, dir_ / "missing", ZUSD_NOTFOUND, 0},
        {"dir", zusduid, file_ + "/below", ZUSD_NOMORE, 0},  // no such name part
        {"chr", zusdurf, "/dev/null", 0, 1},
        {"chr", zusdurf, file_, 0, 0},
        {"chr", zusdurf, dir_.str(), 0, 0},
        {"chr", zusdurf, dir_ / "missing", ZUSD_NOTFOUND, 0},
        {"chr", zusdurf, file_ + "/below", ZUSD_NOMORE, 0},
    };
    for (const auto &c : cases) {
        int flag = 7;
        EXPECT_EQ(c.test(c.path.c_str(), &flag), c.status) << c.what << " " << c.path;
        EXPECT_EQ(flag, c.flag) << c.what << " " << c.path;
    }
}

TEST_F(Szusdu, DirectoryTestDeniedToAnotherUser) {
    NEEDS_ROOT_AND_IDS();
    const std::string inside = subdir("closed", 0, 0, 0700) + "/x";
    EXPECT_EQ(run_in_child([&] {
                  ASSERT_TRUE(drop_to(nobody_, nogroup_));
                  int flag = 7;
                  EXPECT_EQ(zusduid(inside.c_str(), &flag), unsigned{ZUSD_DENIED});
                  EXPECT_EQ(flag, 0);
                  EXPECT_EQ(zusdurf(inside.c_str(), &flag), unsigned{ZUSD_DENIED});
              }),
              0);
}

TEST_F(Szusdu, HomeDirectoryAndPrimaryGroup) {
    const struct passwd *root = getpwnam("root");
    if (root == nullptr) GTEST_SKIP() << "no root entry";
    const std::string home = root->pw_dir, primary = group_name(root->pw_gid);
    char *text = nullptr;
    ASSERT_EQ(zusduhd("root", &text), 0u);
    EXPECT_EQ(std::string(text), home);
    std::free(text);
    ASSERT_EQ(zusdugn("root", &text), 0u);
    EXPECT_EQ(std::string(text), primary);
    std::free(text);

    char *untouched = nullptr;
    EXPECT_EQ(zusduhd("zu-no-such-user", &untouched), unsigned{ZUSD_NOUSER});
    EXPECT_EQ(zusdugn("zu-no-such-user", &untouched), unsigned{ZUSD_NOUSER});
    EXPECT_EQ(zusduhd(nullptr, &untouched), unsigned{ZUSD_NOUSER});
    EXPECT_EQ(untouched, nullptr);
}

TEST_F(Szusdu, PrimaryGroupMissing) {
    zusdu_sys.getpwnam = [](const char *) {
        static char name[] = "orphan";
        static struct passwd entry;
        entry = {};
        entry.pw_name = name;
        entry.pw_uid = entry.pw_gid = 4000001;
        return &entry;
    };
    zusdu_sys.getgrgid = [](gid_t) -> struct group * { return nullptr; };
    char *name = nullptr;
    EXPECT_EQ(zusdugn("orphan", &name), unsigned{ZUSD_NOGROUP});
    EXPECT_EQ(name, nullptr);
}

// zusdugl gives the process's own groups in the system's order, and zusdugi
// the name of each.
void expect_group_list_of_process() {
    uint16_t count = 99;
    gid_t stale = 0, *list = &stale;  // the call must replace it, even by null
    ASSERT_EQ(zusdugl(&count, &list), 0u);
    std::vector<gid_t> real(static_cast<size_t>(getgroups(0, nullptr)));
    ASSERT_EQ(getgroups(static_cast<int>(real.size()), real.data()), static_cast<int>(real.size()));
    ASSERT_EQ(count, real.size());
    ASSERT_EQ(list == nullptr, count == 0);
    EXPECT_EQ(std::vector<gid_t>(list, list + count), real);
    for (uint16_t i = 0; i < count; ++i) {
        char *name = nullptr;
        ASSERT_EQ(zusdugi(i, list, &name), 0u);
        EXPECT_EQ(std::string(name), group_name(list[i]));
        std::free(name);
    }
    std::free(list);
}

// The test's own groups, then a chosen set and none at all in a child.
TEST_F(Szusdu, GroupListMatchesTheProcess) {
    expect_group_list_of_process();
    if (!root_with_ids()) GTEST_SKIP() << "choosing groups needs root and nogroup";
    EXPECT_EQ(run_in_child([&] {
                  const gid_t chosen[] = {nogroup_, 0};
                  ASSERT_EQ(setgroups(2, chosen), 0);
                  ASSERT_EQ(getgroups(0, nullptr), 2);
                  expect_group_list_of_process();
                  ASSERT_EQ(setgroups(0, nullptr), 0);
                  expect_group_list_of_process();
              }),
              0);
}

// Scripted answers for getgroups: the count question, then the fetch.
int groups_count_answer = 0, groups_fetch_answer = 0;
int scripted_getgroups(int size, gid_t *list) {
    if (size == 0) return groups_count_answer;
    for (int i = 0; i < groups_fetch_answer && i < size; ++i) list[i] = static_cast<gid_t>(100 + i);
    if (groups_fetch_answer < 0) errno = EINVAL;
    return groups_fetch_answer;
}

TEST_F(Szusdu, GroupListFailures) {
    zusdu_sys.getgroups = scripted_getgroups;
    const struct {
        const char *why;
        int count_answer, fetch_answer;
        unsigned status;
        uint16_t count;
    } cases[] = {
        {"count fails", -1, 0, ZUSD_SYSERR, 0},
        {"fetch fails after the count", 3, -1, ZUSD_SYSERR, 0},
        {"groups went away in between", 3, 0, 0, 0},
        {"one more than counted fits the spare entry", 3, 4, 0, 4},
        {"more than 16 bits can count: refused, not wrapped", 70000, 4, ZUSD_SYSERR, 0},
    };
    for (const auto &c : cases) {
        groups_count_answer = c.count_answer;
        groups_fetch_answer = c.fetch_answer;
        uint16_t count = 9;
        gid_t *list = nullptr;
        EXPECT_EQ(zusdugl(&count, &list), c.status) << c.why;
        EXPECT_EQ(count, c.count) << c.why;
        EXPECT_EQ(list == nullptr, c.count == 0) << c.why;
        if (list != nullptr) { EXPECT_EQ(list[c.count - 1], 100u + c.count - 1) << c.why; }
        std::free(list);
    }
}

TEST_F(Szusdu, GroupNameByIndex) {
    const gid_t list[] = {0, 3999999};
    char *name = nullptr;
    ASSERT_EQ(zusdugi(0, list, &name), 0u);
    EXPECT_EQ(std::string(name), group_name(0));
    std::free(name);
    name = nullptr;
    EXPECT_EQ(zusdugi(1, list, &name), unsigned{ZUSD_NOGROUP});
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(zusdugi(0, nullptr, &name), unsigned{ZUSD_NOGROUP});
}

// Each record changes only the fields it names, in the order given.
TEST_F(Szusdu, AttributesChangeOwnerGroupAndMode) {
    NEEDS_ROOT_AND_IDS();
    const std::string grp = group_name(nogroup_), root_grp = group_name(0);
    ASSERT_EQ(chown(file_.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(file_.c_str(), 0604), 0);
    const struct {
        zusdfat record;
        uid_t uid;
        gid_t gid;
        mode_t mode;
    } steps[] = {
        {{"", grp.c_str(), nullptr}, 0, nogroup_, 0604},
        {{nobody_name_.c_str(), nullptr, ""}, nobody_, nogroup_, 0604},
        {{"root", root_grp.c_str(), ""}, 0, 0, 0604},
        {{nobody_name_.c_str(), grp.c_str(), "640"}, nobody_, nogroup_, 0640},
    };
    for (const auto &s : steps) {
        ASSERT_EQ(zusdia(file_.c_str(), &s.record), 0u);
        const struct stat st = stat_of(file_);
        EXPECT_EQ(st.st_uid, s.uid) << (&s - steps);
        EXPECT_EQ(st.st_gid, s.gid) << (&s - steps);
        EXPECT_EQ(st.st_mode & 07777, s.mode) << (&s - steps);
    }
}

TEST_F(Szusdu, EmptyOrNullRecordChangesNothing) {
    const zusdfat empty{"", nullptr, ""};
    EXPECT_EQ(zusdia(file_.c_str(), &empty), 0u);
    EXPECT_EQ(zusdia(file_.c_str(), nullptr), 0u);
    EXPECT_EQ(chmod_calls + chown_calls, 0);
}

TEST_F(Szusdu, PermissionTextMustBeOctal) {
    ASSERT_EQ(chmod(file_.c_str(), 0600), 0);
    // Refused texts leave the mode as the previous row set it.
    const struct {
        const char *text;
        mode_t mode;
    } cases[] = {{"9", 0600},     {"75x", 0600},   {"-1", 0600},    {"+644", 0600},
                 {"0x1ff", 0600}, {" ", 0600},     {"7 7", 0600},   {"77777777777777", 0600},
                 {"644", 0644},   {"0755", 0755},  {" 604 ", 0604}, {"1777", 01777},
                 {"0", 0}};
    for (const auto &c : cases) {
        const zusdfat record{nullptr, nullptr, c.text};
        EXPECT_EQ(zusdia(file_.c_str(), &record), 0u) << c.text;
        EXPECT_EQ(stat_of(file_).st_mode & 07777, c.mode) << c.text;
    }
}

TEST_F(Szusdu, DevNullKeepsItsBits) {
    // The calls fail while /dev/null is given, so it is safe even if the
    // test fails.
    injected_errno = EPERM;
    const zusdfat record{nullptr, nullptr, "600"};
    EXPECT_EQ(zusdia("/dev/null", &record), 0u);
    EXPECT_EQ(chmod_calls + chown_calls, 0);
    injected_errno = 0;
    EXPECT_EQ(zusdia(file_.c_str(), &record), 0u);
    EXPECT_EQ(chmod_calls, 1);
}

TEST_F(Szusdu, UnknownNamesAndMissingFiles) {
    const zusdfat bad_user{"zu-no-such-user", nullptr, nullptr};
    EXPECT_EQ(zusdia(file_.c_str(), &bad_user), unsigned{ZUSD_NOUSER});
    const zusdfat bad_group{nullptr, "zu-no-such-group", nullptr};
    EXPECT_EQ(zusdia(file_.c_str(), &bad_group), unsigned{ZUSD_NOGROUP});
    const std::string missing = dir_ / "missing";
    const zusdfat mode_only{nullptr, nullptr, "644"};
    EXPECT_EQ(zusdia(missing.c_str(), &mode_only), unsigned{ZUSD_NOTFOUND});
    const zusdfat owner_only{"root", nullptr, nullptr};
    if (getpwnam("root") != nullptr) {
        EXPECT_EQ(zusdia(missing.c_str(), &owner_only), unsigned{ZUSD_NOTFOUND});
    }
}

TEST_F(Szusdu, FailureStatusesOfChmodAndChown) {
    const zusdfat mode_only{nullptr, nullptr, "644"}, owner_only{"root", nullptr, nullptr};
    const bool have_root = getpwnam("root") != nullptr;
    // The two calls map EIO differently.
    const struct {
        int err;
        unsigned chmod_status, chown_status;
    } cases[] = {{EPERM, 27, 27}, {EACCES, 27, 27}, {ENOENT, 22, 22}, {ENOTDIR, 22, 22},
                 {EIO, 21, 29},   {EROFS, 21, 21},  {ELOOP, 29, 29},  {EINVAL, 29, 29}};
    for (const auto &c : cases) {
        injected_errno = c.err;
        EXPECT_EQ(zusdia(file_.c_str(), &mode_only), c.chmod_status) << "chmod " << c.err;
        if (have_root) {
            EXPECT_EQ(zusdia(file_.c_str(), &owner_only), c.chown_status) << "chown " << c.err;
        }
    }
}

TEST_F(Szusdu, OwnerChangeDeniedToAnUnprivilegedUser) {
    NEEDS_ROOT_AND_IDS();
    ASSERT_EQ(chown(file_.c_str(), 0, 0), 0);
    EXPECT_EQ(run_in_child([&] {
                  ASSERT_TRUE(drop_to(nobody_, nogroup_));
                  const zusdfat owner{"root", "", nullptr}, mode{nullptr, nullptr, "777"};
                  EXPECT_EQ(zusdia(file_.c_str(), &owner), unsigned{ZUSD_DENIED});
                  EXPECT_EQ(zusdia(file_.c_str(), &mode), unsigned{ZUSD_DENIED});
              }),
              0);
    EXPECT_EQ(stat_of(file_).st_uid, 0u);
}

TEST_F(Szusdu, SameOwnerAndGroupAreLookedUpOnce) {
    if (getpwnam("root") == nullptr || getgrgid(0) == nullptr) GTEST_SKIP();
    if (geteuid() != 0) GTEST_SKIP() << "chown to root needs root";
    zusdu_sys.getpwnam = [](const char *name) { return ++pwnam_calls, ::getpwnam(name); };
    zusdu_sys.getgrnam = [](const char *name) { return ++grnam_calls, ::getgrnam(name); };
    const std::string root_group = group_name(0);
    const zusdfat record{"root", root_group.c_str(), nullptr};
    ASSERT_EQ(zusdia(file_.c_str(), &record), 0u);
    ASSERT_EQ(zusdia(file_.c_str(), &record), 0u);
    EXPECT_EQ(pwnam_calls, 1);
    EXPECT_EQ(grnam_calls, 1);
    EXPECT_EQ(chown_calls, 2);

    if (!ids_found_) return;
    const zusdfat other{nobody_name_.c_str(), nullptr, nullptr};
    ASSERT_EQ(zusdia(file_.c_str(), &other), 0u);
    EXPECT_EQ(pwnam_calls, 2);

    // Another lookup overwrites the system's own entry storage with root's;
    // the cache keeps its own copy of nobody and is still hit.
    char *home = nullptr;
    ASSERT_EQ(zusduhd("root", &home), 0u);
    std::free(home);
    pwnam_calls = 0;
    ASSERT_EQ(zusdia(file_.c_str(), &other), 0u);
    EXPECT_EQ(pwnam_calls, 0);
    EXPECT_EQ(stat_of(file_).st_uid, nobody_);

    // Only the entry found last is kept.
    ASSERT_EQ(zusdia(file_.c_str(), &record), 0u);
    EXPECT_EQ(pwnam_calls, 1);
    EXPECT_EQ(grnam_calls, 1);
    EXPECT_EQ(stat_of(file_).st_uid, 0u);

    // A failed lookup is not remembered as a hit.
    pwnam_calls = 0;
    const zusdfat unknown{"zu-no-such-user", nullptr, nullptr};
    EXPECT_EQ(zusdia(file_.c_str(), &unknown), unsigned{ZUSD_NOUSER});
    EXPECT_EQ(zusdia(file_.c_str(), &unknown), unsigned{ZUSD_NOUSER});
    EXPECT_EQ(pwnam_calls, 2);
}

TEST_F(Szusdu, FailuresAreLogged) {
    zutest::LogTo log(dir_ / "err.log");
    const zusdfat record{"zu-no-such-user", nullptr, nullptr};
    EXPECT_EQ(zusdia(file_.c_str(), &record), unsigned{ZUSD_NOUSER});
    int flag;
    EXPECT_EQ(zusduid((dir_ / "missing").c_str(), &flag), unsigned{ZUSD_NOTFOUND});
    EXPECT_TRUE(log.has("zusdia: getpwnam(zu-no-such-user)==0. ))\n")) << log.text();
    EXPECT_TRUE(log.has("zusduid: stat(" + dir_ / "missing,&status)!=0.")) << log.text();
}

// ---- the write test ----------------------------------------------------------

// Runs zusdugw on a copy of `path`: the answer, and the path as it was cut.
struct WriteAnswer {
    unsigned status;
    int ok;
    std::string cut;
    bool operator==(const WriteAnswer &) const = default;
    friend std::ostream &operator<<(std::ostream &os, const WriteAnswer &a) {
        return os << a.status << " ok=" << a.ok << " cut=" << a.cut;
    }
};
WriteAnswer write_test(const std::string &path) {
    std::string buffer = path;
    WriteAnswer a{0, 7, ""};
    a.status = zusdugw(buffer.data(), &a.ok);
    a.cut = buffer.c_str();
    return a;
}

TEST_F(Szusdu, WriteTestOfOwnDirectoryAndFailures) {
    const struct {
        std::string path;
        int ok;
        std::string cut;
    } cases[] = {
        {dir_ / "new-file", 1, dir_.str()},  // cut at its last '/'
        {file_, 1, dir_.str()},              // an existing file: its directory decides
        {file_ + "/x", 0, ""},  // failures: the cut is not checked
        {dir_ / "missing/x", 0, ""},
    };
    for (const auto &c : cases) {
        const WriteAnswer a = write_test(c.path);
        EXPECT_EQ(a.status, 0u) << c.path;
        EXPECT_EQ(a.ok, c.ok) << c.path;
        if (!c.cut.empty()) { EXPECT_EQ(a.cut, c.cut) << c.path; }
    }
}

// As root, a directory of another owner and group is refused even when
// world-writable; then the same checks as an unprivileged user.
TEST_F(Szusdu, WriteTestOfOtherUsersDirectories) {
    NEEDS_ROOT_AND_IDS();
    const std::string theirs = subdir("theirs", nobody_, nogroup_, 0777);
    const std::string roots = subdir("roots", 0, 0, 0777);
    const std::string by_group = subdir("bygroup", 0, nogroup_, 0755);
    const std::string by_owner = subdir("byowner", nobody_, 0, 0700);
    EXPECT_EQ(write_test(theirs + "/f").ok, 0);
    EXPECT_EQ(run_in_child([&] {
                  // A bare name tests the current directory.
                  ASSERT_EQ(chdir(dir_.c_str()), 0);
                  EXPECT_EQ(write_test("bare-name"), (WriteAnswer{0, 1, "bare-name"}));
                  ASSERT_EQ(chdir(theirs.c_str()), 0);
                  EXPECT_EQ(write_test("bare-name").ok, 0);

                  ASSERT_TRUE(drop_to(nobody_, nogroup_));
                  EXPECT_EQ(write_test(roots + "/f").ok, 0);  // neither owner nor group
                  EXPECT_EQ(write_test(by_group + "/f").ok, 1);
                  EXPECT_EQ(write_test(by_owner + "/f").ok, 1);
                  // A file directly under the root tests the root itself.
                  EXPECT_EQ(write_test("/zu-new-file"), (WriteAnswer{0, 0, "/"}));
              }),
              0);
}

TEST_F(Szusdu, WriteTestOfTheRootDirectoryForRoot) {
    struct stat st {};
    if (geteuid() != 0 || stat("/", &st) != 0 || (st.st_uid != 0 && st.st_gid != 0)) GTEST_SKIP();
    EXPECT_EQ(write_test("/zu-new-file"), (WriteAnswer{0, 1, "/"}));
}

// ---- language support: read the environment, so each runs in a child --------

// TVX_NLS32 names the directory of langset.dat and decides alone when set;
// otherwise TALVEX_HOME/tcommon/nls/admin/data does. 0 when the file is
// there; a path of more than 1023 bytes is refused.
TEST_F(Szusdu, BootFileFromEitherVariable) {
    make_boot("/nls");
    make_boot("/home/tcommon/nls/admin/data");
    const std::string home = dir_ / "home", nls = dir_ / "nls", huge(100000, 'x');
    // Extra slashes pad the directory without changing what it names.
    std::string fits = nls;
    fits.append(1023 - std::strlen("/langset.dat") - fits.size(), '/');
    const std::string over = fits + "/";
    const struct {
        const char *nls32, *talvex_home;
        int result;
    } cases[] = {{nullptr, nullptr, 1},           {nullptr, home.c_str(), 0},
                 {nullptr, dir_.c_str(), 1},      {nls.c_str(), dir_.c_str(), 0},
                 {dir_.c_str(), home.c_str(), 1}, {fits.c_str(), nullptr, 0},
                 {over.c_str(), nullptr, 1},      {huge.c_str(), nullptr, 1},
                 {nullptr, huge.c_str(), 1}};
    EXPECT_EQ(run_in_child([&] {
                  for (const auto &c : cases) {
                      const char *const values[] = {c.nls32, c.talvex_home};
                      const char *const names[] = {"TVX_NLS32", "TALVEX_HOME"};
                      for (int i = 0; i < 2; ++i) {
                          if (values[i] != nullptr) setenv(names[i], values[i], 1);
                          else unsetenv(names[i]);
                      }
                      EXPECT_EQ(zusdcheckbt(), c.result)
                          << "row " << (&c - cases) << " of " << std::size(cases);
                  }
              }),
              0);
}

TEST_F(Szusdu, BootFileUnreadable) {
    NEEDS_ROOT_AND_IDS();
    make_boot("/nls");
    ASSERT_EQ(chmod((dir_ / "nls/langset.dat").c_str(), 0), 0);
    EXPECT_EQ(run_in_child([&] {
                  setenv("TVX_NLS32", (dir_ / "nls").c_str(), 1);
                  ASSERT_TRUE(drop_to(nobody_, nogroup_));
                  EXPECT_EQ(zusdcheckbt(), 1);
              }),
              0);
}

TEST_F(Szusdu, DirectoryVariableSetReplacedAndRemoved) {
    make_boot("/nls");
    EXPECT_EQ(run_in_child([&] {
                  unsetenv("TALVEX_HOME");
                  std::string first = dir_ / "nls";
                  EXPECT_EQ(zusdset_tvx_nls(first.c_str()), 0u);
                  // The entry is the module's: the caller's text may change.
                  first.assign(first.size(), 'z');
                  ASSERT_NE(std::getenv("TVX_NLS32"), nullptr);
                  EXPECT_EQ(std::string(std::getenv("TVX_NLS32")), dir_ / "nls");
                  EXPECT_EQ(zusdcheckbt(), 0);
                  EXPECT_EQ(zusdset_tvx_nls(dir_.c_str()), 0u);
                  EXPECT_EQ(std::string(std::getenv("TVX_NLS32")), dir_.str());
                  EXPECT_EQ(zusdcheckbt(), 1);
                  EXPECT_EQ(zusdset_tvx_nls(nullptr), 0u);
                  EXPECT_EQ(std::getenv("TVX_NLS32"), nullptr);
                  EXPECT_EQ(zusdset_tvx_nls(""), 0u);
                  ASSERT_NE(std::getenv("TVX_NLS32"), nullptr);
                  EXPECT_STREQ(std::getenv("TVX_NLS32"), "");
              }),
              0);
}

TEST(SzusduNameTranslation, EnvironmentValuesAndLogicalNames) {
    EXPECT_EQ(run_in_child([] {
                  setenv("ZU_TR_NAME", "value12", 1);
                  unsetenv("ZU_TR_UNSET");
                  for (auto translate : {zusdtr7, zusdtr6}) {
                      char out[16];
                      EXPECT_EQ(translate("ZU_TR_NAME", out, sizeof out), 0u);
                      EXPECT_STREQ(out, "value12");
                      EXPECT_EQ(translate("ZU_TR_UNSET", out, sizeof out), unsigned{ZUSD_UNDEFINED});
                      EXPECT_EQ(translate(nullptr, out, sizeof out), unsigned{ZUSD_SYSERR});
                      // Exactly the room for the value and its terminator; one
                      // byte short is refused, never cut or overrun.
                      char *exact = static_cast<char *>(std::malloc(8));
                      EXPECT_EQ(translate("ZU_TR_NAME", exact, 8), 0u);
                      EXPECT_STREQ(exact, "value12");
                      EXPECT_EQ(translate("ZU_TR_NAME", exact, 7), unsigned{ZUSD_SYSERR});
                      EXPECT_EQ(translate("ZU_TR_NAME", exact, 0), unsigned{ZUSD_SYSERR});
                      std::free(exact);
                  }
              }),
              0);
}

// The copies of the platform layer: every byte, and whole paths or nothing.
TEST(SzusduPlatformOperations, CopiesAreWholeAndBounded) {
    const char from[] = "abc\0def";
    char to[2048] = {};
    EXPECT_EQ(zusdmc(to, from, 8), 8u);
    EXPECT_EQ(std::memcmp(to, from, 8), 0);
    EXPECT_EQ(zusdep("/a/b", to), 0u);
    EXPECT_STREQ(to, "/a/b");
    EXPECT_EQ(zusdp2v("/a/bc", to), 5u);
    EXPECT_STREQ(to, "/a/bc");
    const std::string longest(2047, 'p');
    EXPECT_EQ(zusdep(longest.c_str(), to), 0u);
    EXPECT_EQ(std::string(to), longest);
    EXPECT_EQ(zusdp2v(longest.c_str(), to), 2047u);
    // A path that cannot fit is refused, not cut into another name.
    const std::string too_long(2048, 'p');
    EXPECT_EQ(zusdep(too_long.c_str(), to), unsigned{ZUSD_TOOLONG});
    EXPECT_STREQ(to, "");
    std::memset(to, 'q', 4);
    EXPECT_EQ(zusdp2v(too_long.c_str(), to), 0u);
    EXPECT_STREQ(to, "");
}

}  // namespace
