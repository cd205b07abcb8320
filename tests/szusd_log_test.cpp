// The error log: record layout, levels, ZU_ERRORLOG and errno preservation.
#include "szusd.h"
#include "testutil.h"

#include <algorithm>
#include <regex>

namespace {

using zutest::exists;
using zutest::slurp;

// Starts and ends each test with the log unconfigured.
class ErrorLog : public ::testing::Test {
  protected:
    void SetUp() override { forget(); }
    void TearDown() override { forget(); }
    static void forget() {
        unsetenv("ZU_ERRORLOG");
        std::free(zusdlg_filename);
        zusdlg_filename = nullptr;
        zusdlg_level = 0;
    }
    zutest::TempDir dir_{"zulog"};
    const std::string path_ = dir_ / "err.log";
};

TEST_F(ErrorLog, NothingWrittenWithoutConfiguration) {
    errno = ENOENT;
    EXPECT_EQ(zusderr("zusdrm: unlink(%s)!=0.", "x"), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(exists(path_));
}

TEST_F(ErrorLog, RecordLayoutAndErrnoKept) {
    ASSERT_EQ(zusdlg(path_.c_str(), 1), 1);
    errno = ENOENT;
    zusderr("zusdrm: unlink(%s)!=0.", "/no/such");
    EXPECT_EQ(errno, ENOENT);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // a new log is the owner's alone
    const std::string text = slurp(path_);
    const std::regex record(
        R"(\(\( ZUERR-OSD: \d\d/\d\d/\d\d (0[1-9]|1[0-2]):\d\d:\d\d (AM|PM) \[Errno=2  \]  )"
        R"(zusdrm: unlink\(/no/such\)!=0\. \)\)\n)");
    EXPECT_TRUE(std::regex_match(text, record)) << text;
}

TEST_F(ErrorLog, EnvironmentConfiguresLevel7AndAppends) {
    setenv("ZU_ERRORLOG", path_.c_str(), 1);
    errno = EACCES;
    zusderr("first");
    errno = 123;
    zusderr("second %d", 2);
    EXPECT_EQ(zusdlg_level, 7u);
    const std::string text = slurp(path_);
    EXPECT_NE(text.find("[Errno=13 ]  first ))\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[Errno=123]  second 2 ))\n"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST_F(ErrorLog, LevelsWithoutClassOneWriteNothing) {
    for (unsigned level : {2u, 0u}) {
        ASSERT_EQ(zusdlg(path_.c_str(), level), 1);
        zusderr("hidden");
    }
    EXPECT_FALSE(exists(path_));
    EXPECT_EQ(zusdla(1), nullptr);
}

TEST_F(ErrorLog, NullPathKeepsConfiguration) {
    ASSERT_EQ(zusdlg(path_.c_str(), 7), 1);
    EXPECT_EQ(zusdlg(nullptr, 1), 0);
    EXPECT_EQ(zusdlg_level, 7u);
    EXPECT_STREQ(zusdlg_filename, path_.c_str());
}

// A log that cannot be opened, or a symbolic link at its name (to a file or
// to nothing), suppresses the record; nothing is written through the link.
TEST_F(ErrorLog, UnopenableLogOrLinkIsSilent) {
    const std::string victim = dir_.file("victim", "keep");
    ASSERT_EQ(symlink(victim.c_str(), path_.c_str()), 0);
    ASSERT_EQ(symlink((dir_ / "none").c_str(), (dir_ / "dangling").c_str()), 0);
    for (const std::string &log : {dir_ / "missing/dir/log", path_, dir_ / "dangling"}) {
        ASSERT_EQ(zusdlg(log.c_str(), 7), 1);
        errno = EIO;
        EXPECT_EQ(zusderr("x"), 0) << log;
        EXPECT_EQ(errno, EIO);
    }
    EXPECT_EQ(slurp(victim), "keep");
    EXPECT_FALSE(exists(dir_ / "none"));
}

TEST(StatusMapping, BaseAndTimeTables) {
    EXPECT_EQ(zusdes(ENOENT), ZUSD_NOTFOUND);
    EXPECT_EQ(zusdes(ENOTDIR), ZUSD_NOTFOUND);
    EXPECT_EQ(zusdes(EACCES), ZUSD_DENIED);
    EXPECT_EQ(zusdes(EPERM), ZUSD_SYSERR);
    EXPECT_EQ(zusdest(EPERM), ZUSD_DENIED);
    EXPECT_EQ(zusdest(EIO), ZUSD_WRERR);
    EXPECT_EQ(zusdest(EROFS), ZUSD_WRERR);
    EXPECT_EQ(zusdest(EEXIST), ZUSD_SYSERR);
}

}  // namespace
