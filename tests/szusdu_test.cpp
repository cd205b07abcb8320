// Users, groups, ownership and platform checks: real owner, group and mode
// changes on files in a temporary directory (as root, to nobody/nogroup),
// the lookup caches observed through the system-call table, the write test
// from the point of view of another user, and the environment-driven checks
// in forked children.
#include "szusdu.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs `body` in a forked child with its own process group; the result is
// the child's exit status (0 when none of its expectations failed).
template <class Body>
int in_child(Body body) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        body();
        std::fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Become `uid`/`gid` for good, without supplementary groups (child only).
bool drop_to(uid_t uid, gid_t gid) {
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

struct Ids {
    uid_t nobody = 0;
    gid_t nogroup = 0;
    bool found = false;
};

// An unprivileged user and group of this machine.
Ids unprivileged() {
    Ids ids;
    const struct passwd *pw = getpwnam("nobody");
    const struct group *gr = getgrnam("nogroup");
    if (gr == nullptr) gr = getgrnam("nobody");
    if (pw != nullptr && gr != nullptr && pw->pw_uid != 0 && gr->gr_gid != 0) {
        ids.nobody = pw->pw_uid;
        ids.nogroup = gr->gr_gid;
        ids.found = true;
    }
    return ids;
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

void write_file(const std::string &path) { std::ofstream(path) << "x\n"; }

// Call counters for the lookup seam.
int pwnam_calls = 0;
int grnam_calls = 0;
struct passwd *counting_getpwnam(const char *name) {
    ++pwnam_calls;
    return ::getpwnam(name);
}
struct group *counting_getgrnam(const char *name) {
    ++grnam_calls;
    return ::getgrnam(name);
}

// Failure injection for chmod, chown and getgroups.
int injected_errno = 0;
int chmod_calls = 0;
int chown_calls = 0;
int failing_chmod(const char *, mode_t) {
    ++chmod_calls;
    errno = injected_errno;
    return -1;
}
int failing_chown(const char *, uid_t, gid_t) {
    ++chown_calls;
    errno = injected_errno;
    return -1;
}
int counting_chmod(const char *path, mode_t mode) {
    ++chmod_calls;
    return ::chmod(path, mode);
}
int counting_chown(const char *path, uid_t uid, gid_t gid) {
    ++chown_calls;
    return ::chown(path, uid, gid);
}

class SzusduUsers : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zusduXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        // Searchable by other users, for the tests that drop privileges.
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        file_ = dir_ + "/file";
        write_file(file_);
        zusdu_sys = zusdu_sys_default;
        zusdu_forget();
        pwnam_calls = grnam_calls = chmod_calls = chown_calls = 0;
        ids_ = unprivileged();
    }
    void TearDown() override {
        zusdu_sys = zusdu_sys_default;
        zusdu_forget();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    bool root_with_ids() const { return geteuid() == 0 && ids_.found; }
    std::string subdir(const char *name, uid_t uid, gid_t gid, mode_t mode) {
        const std::string path = dir_ + "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        EXPECT_EQ(chown(path.c_str(), uid, gid), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    std::string dir_, file_;
    Ids ids_;
};

TEST_F(SzusduUsers, RootFlagFollowsEffectiveUser) {
    int isroot = 7;
    EXPECT_EQ(zusduir(&isroot), 0u);
    EXPECT_EQ(isroot, geteuid() == 0 ? 1 : 0);
}

TEST_F(SzusduUsers, DirectoryAndDeviceTests) {
    int flag = 7;
    EXPECT_EQ(zusduid(dir_.c_str(), &flag), 0u);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(zusduid(file_.c_str(), &flag), 0u);
    EXPECT_EQ(flag, 0);
    flag = 7;
    EXPECT_EQ(zusduid((dir_ + "/missing").c_str(), &flag), unsigned{ZUSD_NOTFOUND});
    EXPECT_EQ(flag, 0);
    // A path below a plain file has no such name part.
    EXPECT_EQ(zusduid((file_ + "/below").c_str(), &flag), unsigned{ZUSD_NOMORE});

    EXPECT_EQ(zusdurf("/dev/null", &flag), 0u);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(zusdurf(file_.c_str(), &flag), 0u);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(zusdurf(dir_.c_str(), &flag), 0u);
    EXPECT_EQ(flag, 0);
    flag = 7;
    EXPECT_EQ(zusdurf((dir_ + "/missing").c_str(), &flag), unsigned{ZUSD_NOTFOUND});
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(zusdurf((file_ + "/below").c_str(), &flag), unsigned{ZUSD_NOMORE});
}

TEST_F(SzusduUsers, DirectoryTestDeniedToAnotherUser) {
    if (!root_with_ids()) GTEST_SKIP() << "needs root and an unprivileged user";
    const std::string closed = subdir("closed", 0, 0, 0700);
    const std::string inside = closed + "/x";
    EXPECT_EQ(in_child([&] {
                  ASSERT_TRUE(drop_to(ids_.nobody, ids_.nogroup));
                  int flag = 7;
                  EXPECT_EQ(zusduid(inside.c_str(), &flag), unsigned{ZUSD_DENIED});
                  EXPECT_EQ(flag, 0);
                  EXPECT_EQ(zusdurf(inside.c_str(), &flag), unsigned{ZUSD_DENIED});
              }),
              0);
}

TEST_F(SzusduUsers, HomeDirectoryAndPrimaryGroup) {
    const struct passwd *root = getpwnam("root");
    if (root == nullptr) GTEST_SKIP() << "no root entry";
    const std::string home = root->pw_dir;
    const std::string primary = group_name(root->pw_gid);

    char *text = nullptr;
    ASSERT_EQ(zusduhd("root", &text), 0u);
    EXPECT_STREQ(text, home.c_str());
    std::free(text);

    text = nullptr;
    ASSERT_EQ(zusdugn("root", &text), 0u);
    EXPECT_EQ(std::string(text), primary);
    std::free(text);

    char *untouched = nullptr;
    EXPECT_EQ(zusduhd("zu-no-such-user", &untouched), unsigned{ZUSD_NOUSER});
    EXPECT_EQ(zusdugn("zu-no-such-user", &untouched), unsigned{ZUSD_NOUSER});
    EXPECT_EQ(zusduhd(nullptr, &untouched), unsigned{ZUSD_NOUSER});
    EXPECT_EQ(untouched, nullptr);
}

struct passwd *user_without_group(const char *) {
    static char name[] = "orphan";
    static struct passwd entry;
    entry = {};
    entry.pw_name = name;
    entry.pw_uid = 4000001;
    entry.pw_gid = 4000001;
    return &entry;
}
struct group *no_group(gid_t) { return nullptr; }

TEST_F(SzusduUsers, PrimaryGroupMissing) {
    zusdu_sys.getpwnam = user_without_group;
    zusdu_sys.getgrgid = no_group;
    char *name = nullptr;
    EXPECT_EQ(zusdugn("orphan", &name), unsigned{ZUSD_NOGROUP});
    EXPECT_EQ(name, nullptr);
}

TEST_F(SzusduUsers, GroupListMatchesTheProcess) {
    uint16_t count = 99;
    gid_t *list = nullptr;
    ASSERT_EQ(zusdugl(&count, &list), 0u);
    const int expected = getgroups(0, nullptr);
    ASSERT_EQ(count, expected);
    if (count == 0) {
        EXPECT_EQ(list, nullptr);
    } else {
        ASSERT_NE(list, nullptr);
        std::vector<gid_t> real(static_cast<size_t>(expected));
        ASSERT_EQ(getgroups(expected, real.data()), expected);
        for (uint16_t i = 0; i < count; ++i) EXPECT_EQ(list[i], real[i]);
        char *name = nullptr;
        ASSERT_EQ(zusdugi(0, list, &name), 0u);
        EXPECT_EQ(std::string(name), group_name(list[0]));
        std::free(name);
    }
    std::free(list);
}

TEST_F(SzusduUsers, GroupListOfAChosenSet) {
    if (!root_with_ids()) GTEST_SKIP() << "needs root and an unprivileged group";
    EXPECT_EQ(in_child([&] {
                  const gid_t chosen[] = {ids_.nogroup, 0};
                  ASSERT_EQ(setgroups(2, chosen), 0);
                  uint16_t count = 0;
                  gid_t *list = nullptr;
                  ASSERT_EQ(zusdugl(&count, &list), 0u);
                  ASSERT_EQ(count, 2);
                  // The system keeps the list sorted.
                  const int at = list[0] == ids_.nogroup ? 0 : 1;
                  EXPECT_EQ(list[at], ids_.nogroup);
                  EXPECT_EQ(list[1 - at], 0u);
                  char *name = nullptr;
                  ASSERT_EQ(zusdugi(static_cast<uint16_t>(at), list, &name), 0u);
                  EXPECT_EQ(std::string(name), group_name(ids_.nogroup));
                  std::free(name);
                  std::free(list);

                  ASSERT_EQ(setgroups(0, nullptr), 0);
                  count = 5;
                  list = reinterpret_cast<gid_t *>(&count);
                  ASSERT_EQ(zusdugl(&count, &list), 0u);
                  EXPECT_EQ(count, 0);
                  EXPECT_EQ(list, nullptr);
              }),
              0);
}

// Scripted answers for getgroups: the count question, then the fetch.
int groups_count_answer = 0;
int groups_fetch_answer = 0;
int scripted_getgroups(int size, gid_t *list) {
    if (size == 0) return groups_count_answer;
    for (int i = 0; i < groups_fetch_answer && i < size; ++i) list[i] = static_cast<gid_t>(100 + i);
    if (groups_fetch_answer < 0) errno = EINVAL;
    return groups_fetch_answer;
}

TEST_F(SzusduUsers, GroupListFailures) {
    zusdu_sys.getgroups = scripted_getgroups;
    uint16_t count = 9;
    gid_t *list = nullptr;

    groups_count_answer = -1;
    EXPECT_EQ(zusdugl(&count, &list), unsigned{ZUSD_SYSERR});
    EXPECT_EQ(count, 0);
    EXPECT_EQ(list, nullptr);

    // The fetch fails after the count was known: nothing is handed out.
    groups_count_answer = 3;
    groups_fetch_answer = -1;
    count = 9;
    EXPECT_EQ(zusdugl(&count, &list), unsigned{ZUSD_SYSERR});
    EXPECT_EQ(count, 0);
    EXPECT_EQ(list, nullptr);

    // The groups went away between the two questions.
    groups_fetch_answer = 0;
    EXPECT_EQ(zusdugl(&count, &list), 0u);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(list, nullptr);

    // One more group than counted fits the spare entry.
    groups_fetch_answer = 4;
    ASSERT_EQ(zusdugl(&count, &list), 0u);
    EXPECT_EQ(count, 4);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[3], 103u);
    std::free(list);
    list = nullptr;

    // More groups than the 16-bit count can hold are refused, not wrapped.
    groups_count_answer = 70000;
    EXPECT_EQ(zusdugl(&count, &list), unsigned{ZUSD_SYSERR});
    EXPECT_EQ(count, 0);
    EXPECT_EQ(list, nullptr);
}

TEST_F(SzusduUsers, GroupNameByIndex) {
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

TEST_F(SzusduUsers, AttributesChangeOwnerGroupAndMode) {
    if (!root_with_ids()) GTEST_SKIP() << "needs root and nobody/nogroup";
    const std::string user = getpwuid(ids_.nobody)->pw_name;
    const std::string grp = group_name(ids_.nogroup);
    const zusdfat all{user.c_str(), grp.c_str(), "640"};
    ASSERT_EQ(zusdia(file_.c_str(), &all), 0u);
    const struct stat st = stat_of(file_);
    EXPECT_EQ(st.st_uid, ids_.nobody);
    EXPECT_EQ(st.st_gid, ids_.nogroup);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(SzusduUsers, AttributesOnlyGroupChangesOnlyGroup) {
    if (!root_with_ids()) GTEST_SKIP() << "needs root and nogroup";
    ASSERT_EQ(chown(file_.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(file_.c_str(), 0604), 0);
    const std::string grp = group_name(ids_.nogroup);
    const zusdfat only_group{"", grp.c_str(), nullptr};
    ASSERT_EQ(zusdia(file_.c_str(), &only_group), 0u);
    struct stat st = stat_of(file_);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, ids_.nogroup);
    EXPECT_EQ(st.st_mode & 07777, 0604u);

    const std::string user = getpwuid(ids_.nobody)->pw_name;
    const zusdfat only_owner{user.c_str(), nullptr, ""};
    ASSERT_EQ(zusdia(file_.c_str(), &only_owner), 0u);
    st = stat_of(file_);
    EXPECT_EQ(st.st_uid, ids_.nobody);
    EXPECT_EQ(st.st_gid, ids_.nogroup);
}

TEST_F(SzusduUsers, EmptyOrNullRecordChangesNothing) {
    ASSERT_EQ(chmod(file_.c_str(), 0612), 0);
    const struct stat before = stat_of(file_);
    zusdu_sys.chmod = counting_chmod;
    zusdu_sys.chown = counting_chown;
    const zusdfat empty{"", nullptr, ""};
    EXPECT_EQ(zusdia(file_.c_str(), &empty), 0u);
    EXPECT_EQ(zusdia(file_.c_str(), nullptr), 0u);
    EXPECT_EQ(chmod_calls + chown_calls, 0);
    const struct stat after = stat_of(file_);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
}

TEST_F(SzusduUsers, PermissionTextMustBeOctal) {
    ASSERT_EQ(chmod(file_.c_str(), 0600), 0);
    const char *refused[] = {"9", "75x", "-1", "+644", "0x1ff", " ", "7 7", "77777777777777"};
    for (const char *text : refused) {
        const zusdfat record{nullptr, nullptr, text};
        EXPECT_EQ(zusdia(file_.c_str(), &record), 0u) << text;
        EXPECT_EQ(stat_of(file_).st_mode & 07777, 0600u) << text;
    }
    const struct {
        const char *text;
        mode_t mode;
    } accepted[] = {{"644", 0644}, {"0755", 0755}, {" 604 ", 0604}, {"1777", 01777}, {"0", 0}};
    for (const auto &c : accepted) {
        const zusdfat record{nullptr, nullptr, c.text};
        EXPECT_EQ(zusdia(file_.c_str(), &record), 0u) << c.text;
        EXPECT_EQ(stat_of(file_).st_mode & 07777, c.mode) << c.text;
    }
}

TEST_F(SzusduUsers, DevNullKeepsItsBits) {
    // The system's chmod is never reached, so /dev/null is safe even if the
    // test fails.
    zusdu_sys.chmod = counting_chmod;
    zusdu_sys.chown = failing_chown;
    const zusdfat record{nullptr, nullptr, "600"};
    EXPECT_EQ(zusdia("/dev/null", &record), 0u);
    EXPECT_EQ(chmod_calls, 0);
    EXPECT_EQ(chown_calls, 0);
    const zusdfat other{nullptr, nullptr, "600"};
    EXPECT_EQ(zusdia(file_.c_str(), &other), 0u);
    EXPECT_EQ(chmod_calls, 1);
}

TEST_F(SzusduUsers, UnknownNamesAndMissingFiles) {
    const zusdfat bad_user{"zu-no-such-user", nullptr, nullptr};
    EXPECT_EQ(zusdia(file_.c_str(), &bad_user), unsigned{ZUSD_NOUSER});
    const zusdfat bad_group{nullptr, "zu-no-such-group", nullptr};
    EXPECT_EQ(zusdia(file_.c_str(), &bad_group), unsigned{ZUSD_NOGROUP});
    const std::string missing = dir_ + "/missing";
    const zusdfat mode_only{nullptr, nullptr, "644"};
    EXPECT_EQ(zusdia(missing.c_str(), &mode_only), unsigned{ZUSD_NOTFOUND});
    const zusdfat owner_only{"root", nullptr, nullptr};
    if (getpwnam("root") != nullptr) {
        EXPECT_EQ(zusdia(missing.c_str(), &owner_only), unsigned{ZUSD_NOTFOUND});
    }
}

TEST_F(SzusduUsers, FailureStatusesOfChmodAndChown) {
    zusdu_sys.chmod = failing_chmod;
    zusdu_sys.chown = failing_chown;
    const zusdfat mode_only{nullptr, nullptr, "644"};
    const struct {
        int err;
        unsigned status;
    } chmod_cases[] = {{EPERM, 27}, {EACCES, 27}, {ENOENT, 22}, {ENOTDIR, 22},
                       {EIO, 21},   {EROFS, 21},  {ELOOP, 29}};
    for (const auto &c : chmod_cases) {
        injected_errno = c.err;
        EXPECT_EQ(zusdia(file_.c_str(), &mode_only), c.status) << c.err;
    }
    if (getpwnam("root") == nullptr) return;
    const zusdfat owner_only{"root", nullptr, nullptr};
    const struct {
        int err;
        unsigned status;
    } chown_cases[] = {{EPERM, 27}, {EACCES, 27}, {ENOENT, 22}, {ENOTDIR, 22},
                       {EROFS, 21}, {EIO, 29},    {EINVAL, 29}};
    for (const auto &c : chown_cases) {
        injected_errno = c.err;
        EXPECT_EQ(zusdia(file_.c_str(), &owner_only), c.status) << c.err;
    }
}

TEST_F(SzusduUsers, OwnerChangeDeniedToAnUnprivilegedUser) {
    if (!root_with_ids()) GTEST_SKIP() << "needs root and nobody";
    ASSERT_EQ(chown(file_.c_str(), 0, 0), 0);
    EXPECT_EQ(in_child([&] {
                  ASSERT_TRUE(drop_to(ids_.nobody, ids_.nogroup));
                  const zusdfat owner{"root", "", nullptr};
                  EXPECT_EQ(zusdia(file_.c_str(), &owner), unsigned{ZUSD_DENIED});
                  const zusdfat mode{nullptr, nullptr, "777"};
                  EXPECT_EQ(zusdia(file_.c_str(), &mode), unsigned{ZUSD_DENIED});
              }),
              0);
    EXPECT_EQ(stat_of(file_).st_uid, 0u);
}

TEST_F(SzusduUsers, SameOwnerAndGroupAreLookedUpOnce) {
    if (getpwnam("root") == nullptr || getgrgid(0) == nullptr) GTEST_SKIP();
    zusdu_sys.getpwnam = counting_getpwnam;
    zusdu_sys.getgrnam = counting_getgrnam;
    // chown to the file's present owner and group needs no privilege.
    zusdu_sys.chown = counting_chown;
    const std::string root_group = group_name(0);
    const zusdfat record{"root", root_group.c_str(), nullptr};
    if (geteuid() != 0) GTEST_SKIP() << "chown to root needs root";
    ASSERT_EQ(zusdia(file_.c_str(), &record), 0u);
    ASSERT_EQ(zusdia(file_.c_str(), &record), 0u);
    EXPECT_EQ(pwnam_calls, 1);
    EXPECT_EQ(grnam_calls, 1);
    EXPECT_EQ(chown_calls, 2);

    if (!ids_.found) return;
    const std::string user = getpwuid(ids_.nobody)->pw_name;
    const zusdfat other{user.c_str(), nullptr, nullptr};
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
    EXPECT_EQ(stat_of(file_).st_uid, ids_.nobody);

    // Only the entry found last is kept.
    ASSERT_EQ(zusdia(file_.c_str(), &record), 0u);
    EXPECT_EQ(pwnam_calls, 1);
    EXPECT_EQ(grnam_calls, 1);
    EXPECT_EQ(stat_of(file_).st_uid, 0u);
    pwnam_calls = 0;

    // A failed lookup is not remembered as a hit.
    const zusdfat unknown{"zu-no-such-user", nullptr, nullptr};
    EXPECT_EQ(zusdia(file_.c_str(), &unknown), unsigned{ZUSD_NOUSER});
    EXPECT_EQ(zusdia(file_.c_str(), &unknown), unsigned{ZUSD_NOUSER});
    EXPECT_EQ(pwnam_calls, 2);
}

TEST_F(SzusduUsers, FailuresAreLogged) {
    const std::string log = dir_ + "/err.log";
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(zusdlg(log.c_str(), 1), 1);
                  const zusdfat record{"zu-no-such-user", nullptr, nullptr};
                  EXPECT_EQ(zusdia(file_.c_str(), &record), unsigned{ZUSD_NOUSER});
                  int flag;
                  zusduid((dir_ + "/missing").c_str(), &flag);
              }),
              0);
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("zusdia: getpwnam(zu-no-such-user)==0. ))\n"), std::string::npos);
    EXPECT_NE(text.str().find("zusduid: stat(" + dir_ + "/missing,&status)!=0."), std::string::npos);
}

class SzusduWriteTest : public SzusduUsers {};

TEST_F(SzusduWriteTest, OwnDirectoryAndCutPath) {
    const std::string target = dir_ + "/new-file";
    std::string buffer = target;
    int ok = 7;
    EXPECT_EQ(zusdugw(buffer.data(), &ok), 0u);
    EXPECT_EQ(ok, 1);
    EXPECT_STREQ(buffer.c_str(), dir_.c_str());  // cut at its last '/'

    buffer = file_;  // an existing file: its directory decides
    EXPECT_EQ(zusdugw(buffer.data(), &ok), 0u);
    EXPECT_EQ(ok, 1);
}

TEST_F(SzusduWriteTest, StatFailures) {
    int ok = 7;
    std::string below_file = file_ + "/x";
    EXPECT_EQ(zusdugw(below_file.data(), &ok), 0u);
    EXPECT_EQ(ok, 0);
    std::string missing_dir = dir_ + "/missing/x";
    ok = 7;
    EXPECT_EQ(zusdugw(missing_dir.data(), &ok), 0u);
    EXPECT_EQ(ok, 0);
}

TEST_F(SzusduWriteTest, OtherOwnerAndGroupDeniedEvenWhenWorldWritable) {
    if (!root_with_ids()) GTEST_SKIP() << "needs root and nobody/nogroup";
    const std::string theirs = subdir("theirs", ids_.nobody, ids_.nogroup, 0777);
    std::string path = theirs + "/f";
    int ok = 7;
    EXPECT_EQ(zusdugw(path.data(), &ok), 0u);
    EXPECT_EQ(ok, 0);
}

TEST_F(SzusduWriteTest, SeenByAnUnprivilegedUser) {
    if (!root_with_ids()) GTEST_SKIP() << "needs root and nobody/nogroup";
    const std::string roots = subdir("roots", 0, 0, 0777);
    const std::string by_group = subdir("bygroup", 0, ids_.nogroup, 0755);
    const std::string by_owner = subdir("byowner", ids_.nobody, 0, 0700);
    EXPECT_EQ(in_child([&] {
                  ASSERT_TRUE(drop_to(ids_.nobody, ids_.nogroup));
                  int ok = 7;
                  std::string path = roots + "/f";
                  EXPECT_EQ(zusdugw(path.data(), &ok), 0u);
                  EXPECT_EQ(ok, 0) << "world-writable, but neither owner nor group";
                  path = by_group + "/f";
                  EXPECT_EQ(zusdugw(path.data(), &ok), 0u);
                  EXPECT_EQ(ok, 1);
                  path = by_owner + "/f";
                  EXPECT_EQ(zusdugw(path.data(), &ok), 0u);
                  EXPECT_EQ(ok, 1);
                  // A file directly under the root tests the root itself.
                  path = "/zu-new-file";
                  EXPECT_EQ(zusdugw(path.data(), &ok), 0u);
                  EXPECT_EQ(ok, 0);
                  EXPECT_STREQ(path.c_str(), "/");
              }),
              0);
}

TEST_F(SzusduWriteTest, BareNameTestsTheCurrentDirectory) {
    if (!root_with_ids()) GTEST_SKIP() << "needs root and nobody/nogroup";
    const std::string theirs = subdir("theirs", ids_.nobody, ids_.nogroup, 0777);
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(chdir(dir_.c_str()), 0);
                  char name[] = "bare-name";
                  int ok = 7;
                  EXPECT_EQ(zusdugw(name, &ok), 0u);
                  EXPECT_EQ(ok, 1);
                  EXPECT_STREQ(name, "bare-name");  // nothing to cut
                  ASSERT_EQ(chdir(theirs.c_str()), 0);
                  EXPECT_EQ(zusdugw(name, &ok), 0u);
                  EXPECT_EQ(ok, 0);
              }),
              0);
}

TEST_F(SzusduWriteTest, RootDirectoryForRoot) {
    if (geteuid() != 0) GTEST_SKIP();
    struct stat st {};
    ASSERT_EQ(stat("/", &st), 0);
    if (st.st_uid != 0 && st.st_gid != 0) GTEST_SKIP();
    char path[] = "/zu-new-file";
    int ok = 7;
    EXPECT_EQ(zusdugw(path, &ok), 0u);
    EXPECT_EQ(ok, 1);
    EXPECT_STREQ(path, "/");
}

// The language-support checks read the environment: each runs in a child.
class SzusduLanguage : public SzusduUsers {
protected:
    // Make <base>/<relative>/langset.dat.
    void make_boot(const std::string &base, const std::string &relative) {
        std::error_code ec;
        std::filesystem::create_directories(base + relative, ec);
        ASSERT_FALSE(ec);
        write_file(base + relative + "/langset.dat");
    }
};

TEST_F(SzusduLanguage, BootFileFromEitherVariable) {
    make_boot(dir_, "/nls");
    make_boot(dir_, "/home/tcommon/nls/admin/data");
    EXPECT_EQ(in_child([&] {
                  unsetenv("TVX_NLS32");
                  unsetenv("TALVEX_HOME");
                  EXPECT_EQ(zusdcheckbt(), 1);
                  setenv("TALVEX_HOME", (dir_ + "/home").c_str(), 1);
                  EXPECT_EQ(zusdcheckbt(), 0);
                  setenv("TALVEX_HOME", dir_.c_str(), 1);
                  EXPECT_EQ(zusdcheckbt(), 1);
                  setenv("TVX_NLS32", (dir_ + "/nls").c_str(), 1);
                  EXPECT_EQ(zusdcheckbt(), 0);
                  // TVX_NLS32 decides alone when set.
                  setenv("TALVEX_HOME", (dir_ + "/home").c_str(), 1);
                  setenv("TVX_NLS32", dir_.c_str(), 1);
                  EXPECT_EQ(zusdcheckbt(), 1);
              }),
              0);
}

TEST_F(SzusduLanguage, BootFileUnreadable) {
    if (!root_with_ids()) GTEST_SKIP() << "needs root and nobody";
    make_boot(dir_, "/nls");
    ASSERT_EQ(chmod((dir_ + "/nls/langset.dat").c_str(), 0), 0);
    EXPECT_EQ(in_child([&] {
                  setenv("TVX_NLS32", (dir_ + "/nls").c_str(), 1);
                  ASSERT_TRUE(drop_to(ids_.nobody, ids_.nogroup));
                  EXPECT_EQ(zusdcheckbt(), 1);
              }),
              0);
}

TEST_F(SzusduLanguage, BootPathAtAndPastItsBound) {
    make_boot(dir_, "");
    // "<value>/langset.dat" fills 1023 bytes plus the terminator exactly;
    // extra slashes pad the directory without changing what it names.
    const size_t suffix = std::strlen("/langset.dat");
    std::string fits = dir_;
    fits.append(1023 - suffix - fits.size(), '/');
    const std::string over = fits + "/";
    const std::string huge(100000, 'x');
    EXPECT_EQ(in_child([&] {
                  setenv("TVX_NLS32", fits.c_str(), 1);
                  EXPECT_EQ(zusdcheckbt(), 0);
                  setenv("TVX_NLS32", over.c_str(), 1);
                  EXPECT_EQ(zusdcheckbt(), 1);
                  setenv("TVX_NLS32", huge.c_str(), 1);
                  EXPECT_EQ(zusdcheckbt(), 1);
                  unsetenv("TVX_NLS32");
                  setenv("TALVEX_HOME", huge.c_str(), 1);
                  EXPECT_EQ(zusdcheckbt(), 1);
              }),
              0);
}

TEST_F(SzusduLanguage, DirectoryVariableSetReplacedAndRemoved) {
    make_boot(dir_, "/nls");
    EXPECT_EQ(in_child([&] {
                  unsetenv("TALVEX_HOME");
                  std::string first = dir_ + "/nls";
                  EXPECT_EQ(zusdset_tvx_nls(first.c_str()), 0u);
                  // The entry is the module's: the caller's text may change.
                  first.assign(first.size(), 'z');
                  ASSERT_NE(std::getenv("TVX_NLS32"), nullptr);
                  EXPECT_EQ(std::string(std::getenv("TVX_NLS32")), dir_ + "/nls");
                  EXPECT_EQ(zusdcheckbt(), 0);
                  EXPECT_EQ(zusdset_tvx_nls(dir_.c_str()), 0u);
                  EXPECT_EQ(std::string(std::getenv("TVX_NLS32")), dir_);
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
    EXPECT_EQ(in_child([] {
                  setenv("ZU_TR_NAME", "value12", 1);
                  unsetenv("ZU_TR_UNSET");
                  for (auto translate : {zusdtr7, zusdtr6}) {
                      char out[16];
                      std::memset(out, '#', sizeof out);
                      EXPECT_EQ(translate("ZU_TR_NAME", out, sizeof out), 0u);
                      EXPECT_STREQ(out, "value12");
                      EXPECT_EQ(translate("ZU_TR_UNSET", out, sizeof out), unsigned{ZUSD_UNDEFINED});
                      // Exactly the room for the value and its terminator.
                      char *exact = static_cast<char *>(std::malloc(8));
                      EXPECT_EQ(translate("ZU_TR_NAME", exact, 8), 0u);
                      EXPECT_STREQ(exact, "value12");
                      // One byte short: refused, never cut or overrun.
                      EXPECT_EQ(translate("ZU_TR_NAME", exact, 7), unsigned{ZUSD_SYSERR});
                      EXPECT_EQ(translate("ZU_TR_NAME", exact, 0), unsigned{ZUSD_SYSERR});
                      std::free(exact);
                      EXPECT_EQ(translate(nullptr, out, sizeof out), unsigned{ZUSD_SYSERR});
                  }
              }),
              0);
}

TEST(SzusduPlatformOperations, FixedResults) {
    for (auto op : {zusdos, zusdev, zusdfv, zusdtp, zusdtb, zusdcb}) EXPECT_EQ(op(), 29u);
    for (auto op : {zusdpa, zusdra, zusdoc, zusdcc, zusdis}) EXPECT_EQ(op(), 0u);
    EXPECT_EQ(zusdwdg(), 1);

    long out = 5;
    EXPECT_EQ(zusddb("a", "b", "c", &out), 0u);
    EXPECT_EQ(out, 0);
    out = 5;
    EXPECT_EQ(zusdsq("a", "b", "c", &out), 0u);
    EXPECT_EQ(out, 0);
    out = 5;
    errno = EIO;
    EXPECT_EQ(zusdii("a", &out), 0u);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(errno, 0);

    int a = -1, b = -1, c = -1, d = -1, e = -1, f = -1;
    EXPECT_EQ(zusdws(&a, &b, &c, &d, &e, &f), 2);
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(c, 30);
    EXPECT_EQ(d, 2);
    EXPECT_EQ(e, 0);
    EXPECT_EQ(f, 30);

    const char from[] = "abc\0def";
    char to[8] = {};
    EXPECT_EQ(zusdmc(to, from, 8), 8u);
    EXPECT_EQ(std::memcmp(to, from, 8), 0);

    zusdpi();
    zusdbk();
    zusdsb();
    zusdci();
    zusdvrm();
}

TEST(SzusduPlatformOperations, PathCopiesAreBounded) {
    char to[2048];
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
