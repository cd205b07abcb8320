// The help module: lookups and temporary pages from the rows of
// zuhlpb_help.tsv, and the launcher driving the stand-in viewers. The module
// keeps process-wide state and the launcher changes directory, environment
// and starts viewers, so each test runs in a forked child.
#include "testutil.h"
#include "uitk.h"
#include "zuhlpb.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <csignal>
#include <functional>

namespace {

zuhlpvw view() {
    zuhlpvw v{};
    return zuhlpqs(&v), v;
}

// How often `text` occurs in the file once that is at least `n` times,
// waited for a bounded time.
int logged(const std::string &file, const std::string &text, int n = 1) {
    for (int i = 0, found = 0;; ++i, found = 0, usleep(10000)) {
        const std::string s = zutest::slurp(file);
        for (auto at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) ++found;
        if (found >= n || i == 1000) return found;
    }
}

// A network namespace of this process with its loopback up, so that the
// control ports are its own and nothing leaves loopback.
bool private_loopback() {
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    return unshare(CLONE_NEWNET) == 0 &&
           ioctl(socket(AF_INET, SOCK_DGRAM, 0), SIOCSIFFLAGS, &ifr) == 0;
}

// An installer directory with its help directory and both viewers, and a
// temporary directory. run() calls `body` in a child (own process group)
// working there with the module initialised, standard error in "err" and,
// when `network`, a private loopback. It gives the child's exit code: 0 when
// every check passed, 2 when one failed, 77 without a private loopback.
struct Install {
    zutest::TempDir dir{"zuhlpb"};
    const std::string inst = dir / "inst", help = inst + "/helpdoc", err = dir / "err";
    std::string tmp = dir / "tmp";
    Install() {
        for (const auto &d : {inst, help, tmp}) mkdir(d.c_str(), 0755);
        for (const char *v : {"/gtrc", "/gtr"})
            EXPECT_EQ(symlink(ZUHLPB_VIEWER_STANDIN, (inst + v).c_str()), 0);
    }
    int run(const std::function<void()> &body, bool network = false) {
        return zutest::run_in_child([&] {
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644), 2);
            setenv("TMPDIR", tmp.c_str(), 1);
            if (chdir(inst.c_str()) != 0 || (network && !private_loopback())) return 77;
            zuhlpps(0, 20);
            zuhlpin(nullptr);
            body();
            if (view().bpid > 0) kill(view().bpid, SIGKILL);
            return ::testing::Test::HasFailure() ? 2 : 0;
        });
    }
};

// Rows write help files (dropping the index and the page) or plant a link at
// the usual page name; the others are requests, with the page path (a
// pattern; "(exit)": the process must end with status 1), its contents, the
// index size and a text of standard error they must give (empty cells are
// not checked). "@H" stands for the help directory, "@T" for the temporary
// page name without ".html".
TEST(ZuhlpbIndex, LookupsAndPagesFollowTheTable) {
    Install in;
    zutest::spit(in.dir / "victim", "keep");
    EXPECT_EQ(in.run([&] {
        const std::string tvx = in.tmp + "/tvxinst" + std::to_string(getpid());
        for (auto r : zutest::table("zuhlpb_help.tsv")) {
            r.resize(6);
            for (auto &c : r)
                c = zutest::unescape(zutest::expand(c, {{"@H", in.help}, {"@T", tvx}}));
            const zuhlprq req{r[0] == "(null)" ? nullptr : r[0].c_str(),
                              r[1] == "(null)" ? nullptr : r[1].c_str(), nullptr};
            EXPECT_EQ(ftruncate(2, 0), 0);
            if (r[0] == "file") {
                zuhlpcu();
                zutest::spit(in.help + "/" + r[1], r[2]);
            } else if (r[0] == "plant") {
                EXPECT_EQ(symlink((in.dir / "victim").c_str(), (tvx + ".html").c_str()), 0);
            } else if (r[2] == "(exit)") {
                EXPECT_EQ(zutest::run_in_child([&] { return zulkup(&req) != nullptr ? 3 : 4; }), 1)
                    << r[0];
            } else {
                const char *got = zulkup(&req);
                const std::string page = zutest::shown(got);
                EXPECT_EQ(fnmatch(r[2].c_str(), page.c_str(), 0), 0)
                    << r[0] << ": " << page << " " << zutest::slurp(page).substr(0, 80);
                EXPECT_TRUE(r[3].empty() ||
                            (zutest::slurp(page) == r[3] && zutest::mode_of(got) == "600"))
                    << r[0];
                EXPECT_TRUE(r[4].empty() || view().nhentry == std::stoi(r[4]))
                    << r[0] << ": " << view().nhentry << " slots";
                EXPECT_TRUE(got != nullptr || (zusd(&req) == 1 && view().tmphtml_created == 0))
                    << r[0];
            }
            EXPECT_NE(zutest::slurp(in.err).find(r[5]), std::string::npos) << r[0];
        }
        const std::string last = view().zutmphtml;
        zuhlpcu();
        EXPECT_TRUE(view().nhentry == 0 && !zutest::exists(last));
    }),
              0);
    EXPECT_EQ(zutest::slurp(in.dir / "victim"), "keep");
}

// The launcher's sequence of zuhlpb_launch.tsv (the character-mode viewer,
// the graphical one on its control port, refused page paths, a missing
// socket or viewer), in a child with a private loopback.
TEST(ZuhlpbLauncher, ViewersGetThePages) {
    Install in;
    mkdir((in.tmp = in.dir / "a\nb").c_str(), 0755);
    const int code = in.run(
        [&] {
            sockaddr_in taken{AF_INET, htons(7710), {htonl(INADDR_LOOPBACK)}, {}};
            ASSERT_EQ(bind(socket(AF_INET, SOCK_STREAM, 0), reinterpret_cast<sockaddr *>(&taken),
                           sizeof taken),
                      0);
            uiapcb app{};
            rlimit files{};
            getrlimit(RLIMIT_NOFILE, &files);
            for (auto r : zutest::table("zuhlpb_launch.tsv")) {
                for (auto &c : r)
                    c = zutest::unescape(
                        zutest::expand(c, {{"@I", in.inst}, {"@H", in.help}, {"@E", in.err}}));
                const std::string want = r.back();
                r.resize(3);
                const zuhlprq req{r[2].c_str(), nullptr, &app};
                const rlimit none{0, files.rlim_max};
                const unsigned got =
                    r[0] == "show"     ? (app.mode = std::stoi(r[1]), zusd(&req))
                    : r[0] == "log"    ? logged(r[1], r[2], std::stoi(want))
                    : r[0] == "app"    ? app.nsuspend * 100 + app.nresume * 10 + app.suspended
                    : r[0] == "env"    ? !zutest::setup_item("env:" + r[1])
                    : r[0] == "unlink" ? unlink(r[1].c_str())
                    : r[0] == "file"   ? (zutest::spit(in.help + "/" + r[1], r[2]), 0)
                                       : setrlimit(RLIMIT_NOFILE, r[1] == "-" ? &files : &none);
                EXPECT_EQ(std::to_string(got), want)
                    << r[0] << " " << r[1] << " " << zutest::escape(r[2]);
            }
        },
        true);
    if (code == 77) GTEST_SKIP() << "no private network namespace for the control ports";
    EXPECT_EQ(code, 0) << zutest::slurp(in.err) << zutest::slurp(in.inst + "/gtr.log");
}

}  // namespace
