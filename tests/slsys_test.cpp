// The system layer's environment values and logical names: lengths, the
// undefined and failure answers, and values that do not fit.
#include "slsys.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Sets the test's variables and restores the environment afterwards.
class SlsysLayer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(setenv("ZU_SL_VALUE", "hello", 1), 0);
        ASSERT_EQ(setenv("ZU_SL_EMPTY", "", 1), 0);
        unsetenv("ZU_SL_UNSET");
    }
    void TearDown() override {
        unsetenv("ZU_SL_VALUE");
        unsetenv("ZU_SL_EMPTY");
    }
};

TEST_F(SlsysLayer, ValueLengthAndText) {
    char out[32];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(slctbev("ZU_SL_VALUE", out, sizeof out), 5);
    EXPECT_STREQ(out, "hello");
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(slctbev("ZU_SL_EMPTY", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
}

TEST_F(SlsysLayer, UndefinedAndFailures) {
    char out[32] = "keep";
    EXPECT_EQ(slctbev("ZU_SL_UNSET", out, sizeof out), SLCTBEV_UNDEFINED);
    EXPECT_EQ(slctbev(nullptr, out, sizeof out), SLCTBEV_FAILED);
    EXPECT_EQ(slctbev("", out, sizeof out), SLCTBEV_FAILED);
    EXPECT_EQ(slctbev("ZU_SL_VALUE", nullptr, 10), SLCTBEV_FAILED);
    // "NAME=..." must not match the middle of another entry.
    ASSERT_EQ(setenv("ZU_SL_A", "B=c", 1), 0);
    EXPECT_EQ(slctbev("ZU_SL_A=B", out, sizeof out), SLCTBEV_FAILED);
    unsetenv("ZU_SL_A");
}

TEST_F(SlsysLayer, ValueMustFitWithItsTerminator) {
    // Exact-size heap buffers, so an overrun is caught by the sanitizers.
    char *six = static_cast<char *>(std::malloc(6));
    EXPECT_EQ(slctbev("ZU_SL_VALUE", six, 6), 5);
    EXPECT_STREQ(six, "hello");
    std::free(six);
    char *five = static_cast<char *>(std::malloc(5));
    std::memset(five, '#', 5);
    EXPECT_EQ(slctbev("ZU_SL_VALUE", five, 5), SLCTBEV_FAILED);
    EXPECT_EQ(five[0], '\0');  // left empty, not cut to "hell"
    std::free(five);
    char none = '#';
    EXPECT_EQ(slctbev("ZU_SL_VALUE", &none, 0), SLCTBEV_FAILED);
    EXPECT_EQ(none, '#');
}

TEST_F(SlsysLayer, LogicalNames) {
    char out[32];
    int undefined = 7;
    EXPECT_EQ(sltln("ZU_SL_VALUE", out, sizeof out, &undefined), out);
    EXPECT_STREQ(out, "hello");
    EXPECT_EQ(undefined, 0);
    EXPECT_EQ(sltln("ZU_SL_UNSET", out, sizeof out, &undefined), nullptr);
    EXPECT_EQ(undefined, 1);
    EXPECT_EQ(sltln("ZU_SL_VALUE", out, 3, &undefined), nullptr);
    EXPECT_EQ(undefined, 0);
    EXPECT_EQ(sltln("ZU_SL_UNSET", out, sizeof out, nullptr), nullptr);
}

}  // namespace
