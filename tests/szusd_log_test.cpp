// The error log: record layout, levels, ZU_ERRORLOG and errno preservation.
#include "szusd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ErrorLog : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zulogXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/err.log";
        unsetenv("ZU_ERRORLOG");
        std::free(zusdlg_filename);
        zusdlg_filename = nullptr;
        zusdlg_level = 0;
    }
    void TearDown() override {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
        std::free(zusdlg_filename);
        zusdlg_filename = nullptr;
        zusdlg_level = 0;
        unsetenv("ZU_ERRORLOG");
    }
    std::string dir_, path_;
};

TEST_F(ErrorLog, NothingWrittenWithoutConfiguration) {
    errno = ENOENT;
    EXPECT_EQ(zusderr("zusdrm: unlink(%s)!=0.", "x"), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(access(path_.c_str(), F_OK), -1);
}

TEST_F(ErrorLog, RecordLayoutAndErrnoKept) {
    ASSERT_EQ(zusdlg(path_.c_str(), 1), 1);
    errno = ENOENT;
    zusderr("zusdrm: unlink(%s)!=0.", "/no/such");
    EXPECT_EQ(errno, ENOENT);
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
    ASSERT_EQ(zusdlg(path_.c_str(), 2), 1);
    zusderr("hidden");
    ASSERT_EQ(zusdlg(path_.c_str(), 0), 1);
    zusderr("hidden");
    EXPECT_EQ(access(path_.c_str(), F_OK), -1);
    EXPECT_EQ(zusdla(1), nullptr);
}

TEST_F(ErrorLog, NullPathKeepsConfiguration) {
    ASSERT_EQ(zusdlg(path_.c_str(), 7), 1);
    EXPECT_EQ(zusdlg(nullptr, 1), 0);
    EXPECT_EQ(zusdlg_level, 7u);
    EXPECT_STREQ(zusdlg_filename, path_.c_str());
}

TEST_F(ErrorLog, UnopenableLogIsSilent) {
    ASSERT_EQ(zusdlg((dir_ + "/missing/dir/log").c_str(), 7), 1);
    errno = EIO;
    EXPECT_EQ(zusderr("x"), 0);
    EXPECT_EQ(errno, EIO);
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
