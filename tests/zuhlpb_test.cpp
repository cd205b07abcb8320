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
#include <sys/socket.h>

#include <csignal>
#include <functional>

namespace {

zuhlpvw view() {
    zuhlpvw v{};
    zuhlpqs(&v);
    return v;
}

// Times `text` occurs in `s`.
int occurrences(const std::string &s, const std::string &text) {
    int n = 0;
    for (auto at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) ++n;
    return n;
}
// Whether `text` occurs `n` times in the file, waited for a bounded time.
bool logged(const std::string &file, const std::string &text, int n = 1) {
    for (int i = 0; i < 1000 && occurrences(zutest::slurp(file), text) < n; ++i) usleep(10000);
    return occurrences(zutest::slurp(file), text) >= n;
}

// A network namespace of this process with its loopback up, so that the
// control ports are its own and nothing leaves loopback.
bool private_loopback() {
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    return unshare(CLONE_NEWNET) == 0 && ioctl(socket(AF_INET, SOCK_DGRAM, 0), SIOCSIFFLAGS, &ifr) == 0;
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
        for (const char *v : {"/gtrc", "/gtr"}) EXPECT_EQ(symlink(ZUHLPB_VIEWER_STANDIN, (inst + v).c_str()), 0);
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
// pattern), its contents and the index size they must give and a text that
// standard error must hold. "@H" stands for the help directory, "@T" for the
// temporary page name without ".html".
TEST(ZuhlpbIndex, LookupsAndPagesFollowTheTable) {
    Install in;
    zutest::spit(in.dir / "victim", "keep");
    EXPECT_EQ(in.run([&] {
        const std::string tvx = in.tmp + "/tvxinst" + std::to_string(getpid());
        const auto sub = [&](std::string s) {
            for (std::size_t at; (at = s.find('@')) != std::string::npos;) s.replace(at, 2, s[at + 1] == 'H' ? in.help : tvx);
            return zutest::unescape(s);
        };
        for (const auto &r : zutest::table("zuhlpb_help.tsv")) {
            EXPECT_EQ(ftruncate(2, 0), 0);
            if (r[0] == "file") zuhlpcu(), zutest::spit(in.help + "/" + r[1], zutest::unescape(r.size() > 2 ? r[2] : ""));
            if (r[0] == "plant") {
                EXPECT_EQ(symlink((in.dir / "victim").c_str(), (tvx + ".html").c_str()), 0);
            }
            if (r[0] == "file" || r[0] == "plant") continue;
            const std::string text = zutest::unescape(r[0]), title = zutest::unescape(r[1]);
            const zuhlprq req{r[0] == "(null)" ? nullptr : text.c_str(), r[1] == "(null)" ? nullptr : title.c_str(), nullptr};
            const char *got = zulkup(&req);
            const std::string page = got != nullptr ? got : "(null)";
            struct stat st {};
            EXPECT_EQ(fnmatch(sub(r[2]).c_str(), page.c_str(), 0), 0) << r[0] << ": " << page << " " << zutest::slurp(page).substr(0, 80);
            EXPECT_TRUE(r[3] == "-" || (zutest::slurp(page) == sub(r[3]) && stat(page.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600)) << r[0] << ": " << zutest::slurp(page);
            EXPECT_TRUE(r[4] == "-" || view().nhentry == std::stoi(r[4])) << r[0] << ": " << view().nhentry << " slots";
            EXPECT_NE(zutest::slurp(in.err).find(r[5] == "-" ? "" : r[5]), std::string::npos) << r[0];
            EXPECT_TRUE(got != nullptr || (zusd(&req) == 1 && view().tmphtml_created == 0)) << r[0];
        }
        const std::string last = view().zutmphtml;
        zuhlpcu();
        EXPECT_TRUE(view().nhentry == 0 && !zutest::exists(last));
    }), 0);
    EXPECT_EQ(zutest::slurp(in.dir / "victim"), "keep");
}

TEST(ZuhlpbIndex, UnreadableRoutingFileOrTemplateEndsTheProcess) {
    Install in;
    for (const char *text : {"?html intro", "literal text"}) {
        EXPECT_EQ(in.run([&] {
            const zuhlprq req{text, nullptr, nullptr};
            zulkup(&req);
        }), 1);
        EXPECT_EQ(zutest::slurp(in.err).rfind("fopen: ", 0), 0u) << zutest::slurp(in.err);
        zutest::spit(in.help + "/routing.n", "ON_THE_FLY:none.html\n");
    }
}

// The character-mode viewer has the terminal while it runs; a page for
// literal text is private and removed at clean-up; no viewer for an unknown
// presentation mode.
TEST(ZuhlpbLauncher, CharacterViewerGetsThePageAndTheTerminal) {
    Install in;
    zutest::spit(in.help + "/routing.n", "a:a.html\nON_THE_FLY:otf.html\n");
    zutest::spit(in.help + "/otf.html", "ON_THE_FLY\n");
    EXPECT_EQ(in.run([&] {
        static std::string order, log;
        log = in.inst + "/gtrc.log";
        uiapcb app{};
        app.mode = UIAP_CHARACTER;
        app.hook = [](uiapcb *, int op) { order += (op == UIWS_SUSPEND ? "suspend" : "resume") + std::to_string(zutest::exists(log)) + " "; };
        const auto show = [&](const char *text) { const zuhlprq req{text, nullptr, &app}; return zusd(&req); };
        EXPECT_EQ(show("?html a") + show("text"), 0);
        const std::string page = view().zutmphtml, run = " cwd=" + in.help + " LYNX_HELP=" + in.help + " mode=";
        EXPECT_EQ(zutest::slurp(log), "run " + in.help + "/a.html" + run + "-\nrun " + page + run + "600\n");
        EXPECT_EQ(order, "suspend0 resume1 suspend1 resume1 ");
        EXPECT_EQ(view().bpid, -1);
        zuhlpcu();
        EXPECT_FALSE(zutest::exists(page));
        app.mode = 3;
        EXPECT_EQ(show("?html a"), 1);
    }), 0);
    EXPECT_NE(zutest::slurp(in.err).find("no help viewer for presentation mode 3"), std::string::npos);
}

// The graphical viewer is started on the first free control port bound on
// 127.0.0.1 (one that never listens is killed after five attempts and
// started again), told later pages and "exit" over the control connection,
// and started again once gone. Page paths holding '"', CR or LF (here from
// the temporary directory) are refused.
TEST(ZuhlpbLauncher, GraphicalViewerIsToldPagesOverLoopback) {
    Install in;
    mkdir((in.tmp = in.dir / "a\nb").c_str(), 0755);
    zutest::spit(in.help + "/routing.n", "a:a.html\nb:b.html\nON_THE_FLY:otf.html\nquote:a\"b\ncr:a\rb\n");
    zutest::spit(in.help + "/otf.html", "ON_THE_FLY\n");
    const std::string log = in.inst + "/gtr.log", url = " -url file:" + in.help;
    const int code = in.run([&] {
        sockaddr_in taken{};
        taken.sin_family = AF_INET;
        taken.sin_port = htons(7710);
        taken.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(socket(AF_INET, SOCK_STREAM, 0), reinterpret_cast<sockaddr *>(&taken), sizeof taken), 0);
        uiapcb app{};
        app.mode = UIAP_GRAPHICAL;
        const auto show = [&](const char *text) { const zuhlprq req{text, nullptr, &app}; return zusd(&req); };
        EXPECT_EQ(show("exit"), 0);
        setenv("GTR_DEAF", "1", 1);
        EXPECT_EQ(show("?html a"), 0);
        EXPECT_TRUE(logged(log, "run -sdi 7711" + url + "/a.html cwd=" + in.help));
        EXPECT_EQ(show("?html b"), 0);
        EXPECT_TRUE(logged(log, "run -sdi 7711" + url + "/b.html") && logged(log, "listen 127.0.0.1:7711"));
        EXPECT_EQ(occurrences(zutest::slurp(in.err), "Connect(): "), 5);
        EXPECT_EQ(show("?html a"), 0);
        EXPECT_TRUE(logged(log, "cmd OpenURL,3,\"file:" + in.help + "/a.html\",,1,1,,,0,1\\r\\n"));
        EXPECT_EQ(show("?html quote") + show("?html cr") + show("text"), 3);
        EXPECT_EQ(show("exit"), 0);
        EXPECT_TRUE(logged(log, "cmd Exit,0\\r\\n"));
        EXPECT_EQ(show("?html b"), 0);
        EXPECT_TRUE(logged(log, url + "/b.html", 2));
        EXPECT_EQ(occurrences(zutest::slurp(log), "run "), 3);
    }, true);
    if (code == 77) GTEST_SKIP() << "no private network namespace for the control ports";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(occurrences(zutest::slurp(in.err), "holds a double quote, CR or LF"), 3);
}

}  // namespace
