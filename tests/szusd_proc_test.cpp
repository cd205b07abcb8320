// Processes: the command runner's descriptor set-up and statuses, the shell
// command and shell escape, and the interrupt handlers with their hooks. All
// signals and environment changes happen in forked children that have their
// own process group, so they can never reach the test runner.
#include "szusd.h"
#include "testutil.h"

#include <csignal>
#include <fcntl.h>

namespace {

using zutest::run_in_child;
using zutest::slurp;

// Points standard output (the "OS Shell:" banner, messages) at `path`.
bool stdout_to(const std::string &path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    return fd >= 0 && dup2(fd, 1) == 1 && close(fd) == 0;
}

class Proc : public ::testing::Test {
  protected:
    std::string path(const std::string &name) const { return dir_ / name; }
    zutest::TempDir dir_{"zuproc"};
};

TEST_F(Proc, ExitCodeWithOutputDiscarded) {
    int code = -1;
    ASSERT_EQ(zusdsp("echo hidden; exit 3", "", nullptr, &code), ZUSD_OK);
    EXPECT_EQ(code, 3);
    ASSERT_EQ(zusdsp("true", nullptr, "", &code), ZUSD_OK);
    EXPECT_EQ(code, 0);
}

TEST_F(Proc, SharedAndSeparateOutputFiles) {
    const std::string log = dir_.file("both.log", "before\n"), upper = path("BOTH.LOG");
    int code = -1;
    // Names differing only in case still count as the same file.
    ASSERT_EQ(zusdsp("echo out; echo err >&2; echo out2", log.c_str(), upper.c_str(), &code),
              ZUSD_OK);
    EXPECT_EQ(slurp(log), "before\nout\nerr\nout2\n");
    EXPECT_FALSE(zutest::exists(upper));

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
    // The shell's name is one word, blanks, ';' and quotes included.
    const std::string rec = path("rec"), script = path("sh 1;'x");
    dir_.file("sh 1;'x", "#!/bin/sh\necho \"$0 SHELL=$SHELL\" >> " + rec + "\nexit 6\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    // _OSHELL, when set, runs with SHELL set to it for the run; SHELL is
    // then as it was before (unset included). Only SHELL: it runs.
    const struct {
        bool oshell;
        const char *shell;
    } cases[] = {{true, "/bin/false-shell"}, {true, nullptr}, {false, script.c_str()}};
    for (const auto &c : cases) {
        unlink(rec.c_str());
        EXPECT_EQ(run_in_child([&] {
                      ASSERT_TRUE(stdout_to("/dev/null"));
                      if (c.oshell) setenv("_OSHELL", script.c_str(), 1);
                      else unsetenv("_OSHELL");
                      if (c.shell != nullptr) setenv("SHELL", c.shell, 1);
                      else unsetenv("SHELL");
                      EXPECT_EQ(zusdsh(), ZUSD_OK);
                      const char *after = getenv("SHELL");
                      EXPECT_EQ(after == nullptr ? "(unset)" : std::string(after),
                                c.shell == nullptr ? "(unset)" : std::string(c.shell));
                  }),
                  0)
            << c.oshell << " " << (c.shell ? c.shell : "(unset)");
        EXPECT_EQ(slurp(rec), script + " SHELL=" + script + "\n");
    }
}

// Hook calls are recorded in order in a file the parent reads afterwards;
// a hook called with the wrong arguments records a question mark.
std::string g_hooklog;
void note(const char *what) {
    std::ofstream(g_hooklog, std::ios::app) << what;
}
const auto ui_down = [](void *ctx, int how) { note(how == 0 && ctx != nullptr ? "u" : "U?"); };
const auto tk_down = [](void *tk) { note(tk != nullptr ? "t" : "T?"); };
const auto win_down = [](void *tk, void *win) { note(tk && win ? "w" : "W?"); };
int g_resets = 0;
const auto mm_reset = [](void *mm) { g_resets += mm != nullptr ? 1 : 100; };

// The handler ends the child with status 0 after the hooks ran in order;
// empty hooks are skipped, and no window means no window to close.
TEST_F(Proc, InterruptShutsDownThroughTheHooks) {
    g_hooklog = path("hooks");
    int window = 1, tk = 2, mm = 3;
    void *context[1] = {&window}, *nowindow[1] = {nullptr};
    EXPECT_EQ(run_in_child([&] {
                  zusdss(context, &tk, &mm, ui_down, tk_down, win_down, mm_reset);
                  raise(SIGINT);
                  return 1;  // not reached
              }),
              0);
    EXPECT_EQ(slurp(g_hooklog), "wtu");
    unlink(g_hooklog.c_str());
    EXPECT_EQ(run_in_child([&] {
                  zusdss(nowindow, nullptr, nullptr, ui_down, nullptr, win_down, nullptr);
                  raise(SIGINT);
                  return 1;
              }),
              0);
    EXPECT_EQ(slurp(g_hooklog), "u");
}

TEST_F(Proc, ResetHandlerStaysInstalled) {
    int mm = 3;
    EXPECT_EQ(run_in_child([&] {
                  zusdss(nullptr, nullptr, &mm, nullptr, nullptr, nullptr, mm_reset);
                  zusdsa();
                  raise(SIGINT);
                  raise(SIGINT);
                  if (g_resets != 2) return 2;
                  zusdsr();  // back to the shutdown handler: ends with 0
                  raise(SIGINT);
                  return 1;
              }),
              0);
}

TEST_F(Proc, CleanupInterruptsItsOwnGroupOnly) {
    EXPECT_EQ(run_in_child([&] {
                  const pid_t sibling = fork();
                  if (sibling == 0) {
                      pause();
                      _exit(9);
                  }
                  zusdcu();
                  int status = 0;
                  ASSERT_EQ(waitpid(sibling, &status, 0), sibling);
                  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
                  // The caller itself ignores the interrupt from now on.
                  struct sigaction now {};
                  sigaction(SIGINT, nullptr, &now);
                  EXPECT_EQ(now.sa_handler, SIG_IGN);
              }),
              0);
}

TEST_F(Proc, Messages) {
    const std::string out = path("msg");
    EXPECT_EQ(run_in_child([&] {
                  ASSERT_TRUE(stdout_to(out));
                  zusdms("first", "second", 1);
                  zusdms("a", "b", 0);
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
