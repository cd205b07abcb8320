// Processes: the command runner's descriptor set-up and statuses, the shell
// command and shell escape, and the interrupt handlers with their hooks. All
// signals and environment changes happen in forked children that have their
// own process group, so they can never reach the test runner.
#include "szusd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs `body` in a child with its own process group; its result (true for
// success) becomes the child's exit status.
int in_child(const std::function<bool()> &body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == -1) return -1;
    if (pid == 0) {
        setpgid(0, 0);
        const bool ok = body();
        std::fflush(nullptr);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Sends the child's standard output (the "OS Shell:" banner) nowhere.
void quiet() {
    const int fd = open("/dev/null", O_WRONLY);
    dup2(fd, 1);
    close(fd);
}

class Proc : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zuprocXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf " + dir_).c_str()), 0); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string dir_;
};

TEST_F(Proc, ExitCodeWithOutputDiscarded) {
    int code = -1;
    ASSERT_EQ(zusdsp("echo hidden; exit 3", "", nullptr, &code), ZUSD_OK);
    EXPECT_EQ(code, 3);
    ASSERT_EQ(zusdsp("true", nullptr, "", &code), ZUSD_OK);
    EXPECT_EQ(code, 0);
}

TEST_F(Proc, SharedAndSeparateOutputFiles) {
    const std::string log = path("both.log");
    { std::ofstream(log) << "before\n"; }
    int code = -1;
    // Names differing only in case still count as the same file.
    const std::string upper = path("BOTH.LOG");
    ASSERT_EQ(zusdsp("echo out; echo err >&2; echo out2", log.c_str(), upper.c_str(), &code),
              ZUSD_OK);
    EXPECT_EQ(slurp(log), "before\nout\nerr\nout2\n");
    EXPECT_NE(access(upper.c_str(), F_OK), 0);

    const std::string out = path("out"), err = path("err");
    ASSERT_EQ(zusdsp("echo o; echo e >&2; exit 4", out.c_str(), err.c_str(), &code), ZUSD_OK);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(slurp(out), "o\n");
    EXPECT_EQ(slurp(err), "e\n");
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077 & ~0740u, 0u);  // created 0640 at most
}

TEST_F(Proc, StandardInputAndInheritedDescriptors) {
    const int fd = open("/dev/null", O_RDONLY);  // no close-on-exec
    ASSERT_GE(fd, 3);
    const std::string out = path("o");
    const std::string cmd = "read x; echo \"[$x]\"; if [ -e /proc/$$/fd/" + std::to_string(fd) +
                            " ]; then echo open; else echo closed; fi";
    int code = -1;
    ASSERT_EQ(zusdsp(cmd.c_str(), out.c_str(), nullptr, &code), ZUSD_OK);
    close(fd);
    EXPECT_EQ(slurp(out), "[]\nclosed\n");
}

TEST_F(Proc, AbnormalEndsAndUnopenableOutput) {
    int code = 77;
    EXPECT_EQ(zusdsp("kill -9 $$", nullptr, nullptr, &code), ZUSD_SYSERR);
    EXPECT_EQ(zusdsp("kill -TERM $$", nullptr, nullptr, &code), ZUSD_SYSERR);
    EXPECT_EQ(code, 77);
    EXPECT_EQ(zusdsp("true", path("no/such/dir").c_str(), nullptr, &code), ZUSD_SYSERR);
    EXPECT_EQ(zusdsp("true", nullptr, path("no/such/dir").c_str(), &code), ZUSD_SYSERR);
    EXPECT_EQ(code, 77);
}

TEST_F(Proc, ShellCommand) {
    int code = -1;
    ASSERT_EQ(zusdsy("exit 5", &code), ZUSD_OK);
    EXPECT_EQ(code, 5);
    EXPECT_EQ(zusdsy("", &code), ZUSD_SYSERR);
    EXPECT_EQ(code, 0);
    // A command that is killed has no exit code to report.
    EXPECT_EQ(zusdsy("kill -TERM $$", &code), ZUSD_SYSERR);
}

TEST_F(Proc, ShellEscapeWithOshellAndShell) {
    const std::string rec = path("rec");
    const std::string script = path("sh1");
    { std::ofstream(script) << "#!/bin/sh\necho \"$0 SHELL=$SHELL\" >> " << rec << "\nexit 6\n"; }
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    // _OSHELL set: it runs, with SHELL set to it for the run and put back.
    EXPECT_EQ(in_child([&] {
                  quiet();
                  setenv("_OSHELL", script.c_str(), 1);
                  setenv("SHELL", "/bin/false-shell", 1);
                  if (zusdsh() != ZUSD_OK) return false;
                  const char *sh = getenv("SHELL");
                  return sh != nullptr && std::string(sh) == "/bin/false-shell";
              }),
              0);
    EXPECT_EQ(slurp(rec), script + " SHELL=" + script + "\n");
    // _OSHELL and SHELL both unset before: SHELL is not left behind.
    EXPECT_EQ(in_child([&] {
                  quiet();
                  setenv("_OSHELL", script.c_str(), 1);
                  unsetenv("SHELL");
                  return zusdsh() == ZUSD_OK && getenv("SHELL") == nullptr;
              }),
              0);
    // Only SHELL: it runs and SHELL stays as it was.
    unlink(rec.c_str());
    EXPECT_EQ(in_child([&] {
                  quiet();
                  unsetenv("_OSHELL");
                  setenv("SHELL", script.c_str(), 1);
                  return zusdsh() == ZUSD_OK && std::string(getenv("SHELL")) == script;
              }),
              0);
    EXPECT_EQ(slurp(rec), script + " SHELL=" + script + "\n");
}

// Hook calls are recorded in order in a file the parent reads afterwards.
std::string g_hooklog;
void note(const char *what) {
    std::ofstream(g_hooklog, std::ios::app) << what;
}
void ui_down(void *ctx, int how) {
    note(how == 0 && ctx != nullptr ? "u" : "U?");
}
void tk_down(void *tk) {
    note(tk != nullptr ? "t" : "T?");
}
void win_down(void *tk, void *win) {
    note(tk != nullptr && win != nullptr ? "w" : "W?");
}
int g_resets = 0;
void mm_reset(void *mm) {
    g_resets += mm != nullptr ? 1 : 100;
}

TEST_F(Proc, InterruptShutsDownThroughTheHooks) {
    g_hooklog = path("hooks");
    int window = 1, tk = 2, mm = 3;
    void *context[1] = {&window};
    // The handler ends the child with status 0 after the hooks ran in order.
    EXPECT_EQ(in_child([&] {
                  zusdss(context, &tk, &mm, ui_down, tk_down, win_down, mm_reset);
                  raise(SIGINT);
                  return false;  // not reached
              }),
              0);
    EXPECT_EQ(slurp(g_hooklog), "wtu");
    // Empty hooks are skipped; no window means no window to close.
    unlink(g_hooklog.c_str());
    void *nowindow[1] = {nullptr};
    EXPECT_EQ(in_child([&] {
                  zusdss(nowindow, nullptr, nullptr, ui_down, nullptr, win_down, nullptr);
                  raise(SIGINT);
                  return false;
              }),
              0);
    EXPECT_EQ(slurp(g_hooklog), "u");
}

TEST_F(Proc, ResetHandlerStaysInstalled) {
    int mm = 3;
    EXPECT_EQ(in_child([&] {
                  zusdss(nullptr, nullptr, &mm, nullptr, nullptr, nullptr, mm_reset);
                  zusdsa();
                  raise(SIGINT);
                  raise(SIGINT);
                  if (g_resets != 2) return false;
                  zusdsr();  // back to the shutdown handler: ends with 0
                  raise(SIGINT);
                  return false;
              }),
              0);
}

TEST_F(Proc, CleanupInterruptsItsOwnGroupOnly) {
    EXPECT_EQ(in_child([&] {
                  const pid_t sibling = fork();
                  if (sibling == 0) {
                      pause();
                      _exit(9);
                  }
                  zusdcu();
                  int status = 0;
                  if (waitpid(sibling, &status, 0) != sibling) return false;
                  // The caller itself ignores the interrupt from now on.
                  struct sigaction now {};
                  sigaction(SIGINT, nullptr, &now);
                  return WIFSIGNALED(status) && WTERMSIG(status) == SIGINT &&
                         now.sa_handler == SIG_IGN;
              }),
              0);
}

TEST_F(Proc, Messages) {
    const std::string out = path("msg");
    EXPECT_EQ(in_child([&] {
                  const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                  if (fd < 0 || dup2(fd, 1) != 1) return false;
                  zusdms("first", "second", 1);
                  zusdms("a", "b", 0);
                  return true;
              }),
              0);
    EXPECT_EQ(slurp(out),
              "first second\n"
              "\nA problem occurred with the Talvex Installer. Try reinstalling it from\n"
              "distribution media. Or, you can provide the following message to Support\n"
              "to debug the problem:\n\n  a b\n\n");
}

TEST(ErrorText, CurrentErrorNumber) {
    errno = 0;
    EXPECT_EQ(zusdio(), nullptr);
    errno = ENOENT;
    const char *text = zusdio();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, std::strerror(ENOENT));
    EXPECT_EQ(errno, 0);
    errno = 99999;
    EXPECT_EQ(zusdio(), nullptr);
    EXPECT_EQ(errno, 99999);
}

}  // namespace
