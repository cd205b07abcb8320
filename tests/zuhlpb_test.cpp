// The help module: routing index, lookups, temporary pages, and the viewer
// launcher driving stand-in viewers over loopback.
//
// The module keeps process-wide state fixed at its first initialisation, and
// the launcher changes directory, sets LYNX_HELP and starts viewers; so every
// test runs its body in a forked child with its own process group, whose
// working directory is a fresh installer directory. The child checks with the
// usual EXPECT/ASSERT macros: their messages go to its output file, and a
// failure makes it end with a non-zero status. Graphical-viewer tests also put
// the child in a private network namespace, so that the control ports 7710..
// are its own and nothing leaves loopback.
#include "testutil.h"
#include "uitk.h"
#include "zuhlpb.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

constexpr int kSkipExit = 77;  // the child could not get a network namespace

using zutest::exists;
using zutest::slurp;
using zutest::spit;

std::string str(const char *s) {
    return s != nullptr ? s : "(null)";
}

std::string page_of(const char *hlptxt, const char *title = nullptr) {
    const zuhlprq req{hlptxt, title, nullptr};
    return str(zulkup(&req));
}

zuhlpvw view() {
    zuhlpvw v{};
    zuhlpqs(&v);
    return v;
}

/* ---- records of the stand-in viewers ------------------------------------ */

struct ViewerRun {
    int pid = 0;
    Strings args, cmds;                       // command lines with CR and LF escaped
    std::map<std::string, std::string> last;  // the last text of every record kind
    std::string text(const char *tag) const {
        return last.count(tag) != 0 ? last.at(tag) : "(none)";
    }
};

std::vector<ViewerRun> read_runs(const std::string &log) {
    std::vector<ViewerRun> runs;
    std::istringstream in(slurp(log));
    int pid = 0;
    std::string tag, text;
    while (in >> pid >> tag && std::getline(in, text)) {
        text.erase(0, 1);  // the blank before the text
        if (tag == "run") runs.emplace_back().pid = pid;
        const auto r =
            std::find_if(runs.rbegin(), runs.rend(), [&](auto &x) { return x.pid == pid; });
        if (r == runs.rend() || tag == "run") continue;
        r->last[tag] = text;
        if (tag == "arg") r->args.push_back(text);
        if (tag == "cmd") r->cmds.push_back(text);
    }
    return runs;
}

/* The records once viewer run `n` (counting from 1) has logged `tag`; waits a
 * bounded time. "cwd" completes the start record. Always holds run `n`. */
std::vector<ViewerRun> runs_when(const std::string &log, size_t n, const char *tag) {
    for (int i = 0; i < 3000; ++i, usleep(10000)) {
        auto runs = read_runs(log);
        if (runs.size() >= n && runs[n - 1].last.count(tag) != 0) return runs;
    }
    ADD_FAILURE() << "viewer run " << n << " never logged " << tag;
    auto runs = read_runs(log);
    if (runs.size() < n) runs.resize(n);  // so that run n can be looked at
    return runs;
}

/* Wait (bounded) until our child `pid` has ended, leaving it unreaped. */
bool await_end(pid_t pid) {
    for (int i = 0; i < 3000; ++i, usleep(10000)) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid)
            return true;
    }
    return false;
}

/* ---- network namespace for the graphical tests -------------------------- */

bool write_file(const char *path, const std::string &text) {
    const int fd = open(path, O_WRONLY);
    const bool ok =
        fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) close(fd);
    return ok;
}

/* A private network namespace with its loopback up; false when the system
 * allows none. */
bool private_loopback() {
    if (unshare(CLONE_NEWNET) != 0) {
        const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
        write_file("/proc/self/setgroups", "deny");
        if (!write_file("/proc/self/uid_map", uid + " " + uid + " 1") ||
            !write_file("/proc/self/gid_map", gid + " " + gid + " 1"))
            return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

/* ---- the fixture --------------------------------------------------------- */

/* Failed checks of the running test so far. */
int failures() {
    const auto *result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int n = 0;
    for (int i = 0; i < result->total_part_count(); ++i) n += result->GetTestPartResult(i).failed();
    return n;
}

class Help : public ::testing::Test {
  public:
    static void SetUpTestSuite() {
        // Viewers whose installer child has ended are handed to this process,
        // so that each test can kill and reap every one of them.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    void SetUp() override {
        fs::create_directories(help_);
        fs::create_directories(tmp_);
    }

    void routing(const std::string &text) { spit(help_ + "/routing.n", text); }
    void viewers(bool gtrc = true, bool gtr = true) {
        if (gtrc) fs::create_symlink(ZUHLPB_VIEWER_STANDIN, inst_ + "/gtrc");
        if (gtr) fs::create_symlink(ZUHLPB_VIEWER_STANDIN, inst_ + "/gtr");
    }

    /* Run body in a forked child (own process group, working directory the
     * installer directory, TMPDIR our temporary directory, output to files
     * read into out_ and err_); then kill and reap everything left in its
     * group. Returns the child's wait status. */
    int run(const std::function<void()> &body, bool network = false) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            signal(SIGPIPE, SIG_DFL);
            dup2(open((root_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open((root_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            if (network && !private_loopback()) _exit(kSkipExit);
            setenv("TMPDIR", tmp_.c_str(), 1);
            unsetenv("LYNX_HELP");
            if (chdir(inst_.c_str()) != 0) _exit(3);
            zuhlpps(0, 20);
            const int before = failures();  // earlier children of this test may have failed
            body();
            std::fflush(nullptr);
            _exit(failures() > before ? 4 : 0);
        }
        setpgid(pid, pid);
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
        kill(-pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        while (waitpid(-pid, nullptr, 0) > 0) {
        }
        out_ = slurp(root_ + "/out");
        err_ = slurp(root_ + "/err");
        return status;
    }

    /* Run body and expect it to finish with all its checks passed. */
    void ok(const std::function<void()> &body, bool network = false) {
        const int status = run(body, network);
        if (network && WIFEXITED(status) && WEXITSTATUS(status) == kSkipExit)
            GTEST_SKIP() << "no private network namespace for the control ports";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "child status " << status << "\n"
            << out_ << "stderr:\n"
            << err_;
    }
    /* Run body and expect the module to end the process after a failed fopen. */
    void ends_after_fopen(const std::function<void()> &body) {
        const int status = run(body);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << "\n" << out_;
        EXPECT_EQ(err_.rfind("fopen: ", 0), 0u) << err_;
    }
    void err_has(const std::string &text) { EXPECT_NE(err_.find(text), std::string::npos) << err_; }
    std::string page_path() const { return tmp_ + "/tvxinst" + std::to_string(getpid()) + ".html"; }

    const zutest::TempDir dir_{"zuhlpb"};
    const std::string root_ = dir_.str(), inst_ = root_ + "/inst", help_ = inst_ + "/helpdoc",
                      tmp_ = root_ + "/tmp";
    std::string out_, err_;
};

/* ---- initialisation and clean-up ---------------------------------------- */

TEST_F(Help, InitRecordsTheFirstDirectoryOnly) {
    ok([&] {
        unsetenv("TMPDIR");
        EXPECT_EQ(str(view().tvxinst_path), "");
        zuhlpin("ignored");
        const zuhlpvw v = view();
        EXPECT_EQ(str(v.tvxinst_path), inst_);
        EXPECT_EQ(str(v.zuhlp_path), inst_ + "/helpdoc");
        EXPECT_EQ(str(v.zuspyglass), inst_ + "/gtr");
        EXPECT_EQ(str(v.zulynx), inst_ + "/gtrc");
        EXPECT_EQ(str(v.zutmphtml), "/tmp/tvxinst" + std::to_string(getpid()) + ".html");
        EXPECT_EQ(str(v.port_s), "");
        EXPECT_TRUE(v.bpid == -1 && v.sock == -1 && v.nhentry == 0 && v.tmphtml_created == 0);
        ASSERT_EQ(chdir(help_.c_str()), 0);
        setenv("TMPDIR", tmp_.c_str(), 1);
        zuhlpin(help_.c_str());
        EXPECT_EQ(str(view().tvxinst_path), inst_);
        EXPECT_EQ(str(view().zutmphtml), "/tmp/tvxinst" + std::to_string(getpid()) + ".html");
        zuhlpcu();  // no index, no page: nothing to do
        EXPECT_EQ(view().nhentry, 0);
    });
}

TEST_F(Help, TooLongDirectoriesAreRefusedNotCut) {
    // A working directory longer than 511 characters leaves the module
    // uninitialised; a temporary directory too long for the page path
    // leaves pages for literal text refused.
    std::string deep = inst_;
    while (deep.size() < 600) deep += "/" + std::string(60, 'd');
    fs::create_directories(deep);
    routing("ON_THE_FLY:otf.html\n");
    spit(help_ + "/otf.html", "x\n");
    ok([&] {
        ASSERT_EQ(chdir(deep.c_str()), 0);
        zuhlpin(nullptr);
        EXPECT_EQ(str(view().tvxinst_path), "");
        EXPECT_EQ(page_of("?html intro"), "(null)");
        ASSERT_EQ(chdir(inst_.c_str()), 0);
        setenv("TMPDIR", ("/" + std::string(520, 't')).c_str(), 1);
        zuhlpin(nullptr);
        EXPECT_EQ(str(view().tvxinst_path), inst_);
        EXPECT_EQ(str(view().zutmphtml), "");
        EXPECT_EQ(page_of("literal"), "(null)");
    });
    err_has("help is not initialised");
    err_has("no place for a temporary help page");
}

/* ---- routing index ------------------------------------------------------- */

/* In a child, build the index from `text` and look up each "help text>page":
 * the page relative to the help directory, or "(null)" for none; "(null)" as
 * help text stands for a null one. `slots` is the index size, -1 unchecked. */
void lookups(Help &t, const char *name, const std::string &text, int slots, const Strings &cases) {
    SCOPED_TRACE(name);
    t.routing(text);
    t.ok([&] {
        zuhlpin(nullptr);
        spit(view().zutmphtml, "someone else's");  // clean-up removes only a page it wrote
        const auto check = [&](const std::string &c) {
            SCOPED_TRACE(c);
            const std::string help = c.substr(0, c.find('>')), page = c.substr(c.find('>') + 1);
            const zuhlprq req{help == "(null)" ? nullptr : help.c_str(), nullptr, nullptr};
            EXPECT_EQ(str(zulkup(&req)), page == "(null)" ? page : t.help_ + "/" + page);
            EXPECT_TRUE(page != "(null)" || zusd(&req) == 1);  // nothing to show
        };
        for (const std::string &c : cases) check(c);
        EXPECT_TRUE(slots < 0 || view().nhentry == slots) << view().nhentry;
        zuhlpcu();
        EXPECT_EQ(view().nhentry, 0);
        EXPECT_EQ(slurp(view().zutmphtml), "someone else's");
        check(cases[0]);  // the index is built again
    });
}

TEST_F(Help, RoutingIndexLookups) {
    // No blank: no key. A blank at the end: an empty key.
    lookups(*this, "fallback and key syntax", "intro:intro.html\nNO_HELP_AVAILABLE:nohelp.html\n",
            6,
            {"?html intro>intro.html", "?html missing>nohelp.html", "(null)>nohelp.html",
             ">nohelp.html", "?html\tintro>intro.html", "?doc more words intro>intro.html",
             "?intro>nohelp.html", "?html >nohelp.html", "?html INTRO>nohelp.html"});
    // Keys without a value fall back; a line starting with a colon does not
    // touch the key before it.
    lookups(
        *this, "lines cut at their colons",
        "a:b:c.html\nx:first.html\nx:second.html\nnocolon\nempty:\ntrail:v.html:\n:orphan.html\n"
        "\nafter:after.html\nNO_HELP_AVAILABLE:nohelp.html\n",
        22,
        {"?html a>c.html", "?html x>second.html", "?html nocolon>nohelp.html",
         "?html empty>nohelp.html", "?html trail>nohelp.html", "?html after>after.html",
         "?html b>nohelp.html"});
    lookups(
        *this, "table size follows the line count",
        "k0:p0\nk1:p1\nk2:p2\nk3:p3\nk4:p4\nk5:p5\nk6:p6\nk7:p7\nNO_HELP_AVAILABLE:nohelp.html\n",
        20,
        {"?html k7>p7", "?html k0>p0", "?html k1>p1", "?html k2>p2", "?html k3>p3", "?html k4>p4",
         "?html k5>p5", "?html k6>p6"});
    lookups(*this, "last line without line feed", "NO_HELP_AVAILABLE:nohelp.html\nlast:last.html",
            4, {"?html last>last.html"});
    lookups(*this, "no usable fallback", "intro:intro.html\nNO_HELP_AVAILABLE:\n", -1,
            {"?html intro>intro.html", "?html missing>(null)"});
    err_has("no help page for this request");
    lookups(*this, "empty routing file", "", 2, {"?html intro>(null)"});
    lookups(*this, "page path too long", "long:" + std::string(4090, 'p') + "\n", -1,
            {"?html long>(null)"});
    err_has("help page path too long");
    // Keys of one length with equal first, middle and following bytes share a
    // slot; every one must still be found, also across the table's end.
    std::string text = "NO_HELP_AVAILABLE:nohelp.html\n";
    Strings cases = {"?html qAxx>nohelp.html", "?html q>nohelp.html"};
    for (char c = 'a'; c <= 'z'; ++c) {
        text += std::string("q") + c + "xx:" + c + ".html\n";
        cases.push_back(std::string("?html q") + c + "xx>" + c + ".html");
    }
    lookups(*this, "keys sharing one slot", text, -1, cases);
}

/* ---- temporary pages ----------------------------------------------------- */

constexpr char kTemplate[] =
    "<html><head><title>PUT_TITLE_HERE</title></head>\n"
    "<link rel=stylesheet href=\"%s/help.css\">\n<body>\n<!-- ON_THE_FLY -->\n</body></html>\n";

/* In a child, make pages for literal text from the template `tmpl` in `file`
 * and compare them with `want`, where "{H}" stands for the help directory and
 * "{T}" for the text. */
void literal_page(Help &t, const char *name, const char *routing, const char *file,
                  const std::string &tmpl, const char *title, const std::string &want) {
    SCOPED_TRACE(name);
    t.routing(routing);
    spit(t.help_ + "/" + file, tmpl);
    const auto page_for = [&](const std::string &text) {
        std::string s = want;
        for (size_t at; (at = s.find("{H}")) != std::string::npos;) s.replace(at, 3, t.help_);
        return s.replace(s.find("{T}"), 3, text);
    };
    t.ok([&] {
        zuhlpin(nullptr);
        const std::string page = page_of("Press F1 to continue", title);
        EXPECT_EQ(page, t.page_path());
        EXPECT_EQ(view().tmphtml_created, 1);
        EXPECT_EQ(fs::status(page).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(slurp(page), page_for("Press F1 to continue"));
        // Rewritten, not appended to, at the next literal text.
        EXPECT_EQ(page_of("Second %s %n text", title), page);
        EXPECT_EQ(slurp(page), page_for("Second %s %n text"));
        zuhlpcu();
        EXPECT_FALSE(exists(page));
        EXPECT_EQ(view().tmphtml_created, 0);
    });
}

TEST_F(Help, PagesForLiteralText) {
    const char *otf = "ON_THE_FLY:otf.html\n";
    literal_page(*this, "with title", "NO_HELP_AVAILABLE:nohelp.html\nON_THE_FLY:otf.html\n",
                 "otf.html", kTemplate, "Setup help",
                 "<html><head><title>Setup help</title></head>\n"
                 "<link rel=stylesheet href=\"{H}/help.css\">\n"
                 "<body>\n<!-- ON_THE_FLY -->\n<p>\n{T}\n</body></html>\n");
    literal_page(*this, "title lines dropped without a title", otf, "otf.html",
                 std::string(kTemplate) + "again PUT_TITLE_HERE\n", nullptr,
                 "<link rel=stylesheet href=\"{H}/help.css\">\n"
                 "<body>\n<!-- ON_THE_FLY -->\n<p>\n{T}\n</body></html>\n");
    literal_page(*this, "template is text, not a format", otf, "otf.html",
                 "%n %d %x %s%s%s%s%s%s %%s 100% %\nON_THE_FLY %n\n", nullptr,
                 "%n %d %x {H}{H}{H}{H}{H}{H} %%s 100% %\nON_THE_FLY %n\n<p>\n{T}\n");
    literal_page(*this, "missing key: the fallback page is the template",
                 "NO_HELP_AVAILABLE:nohelp.html\n", "nohelp.html", "No help. ON_THE_FLY\n", nullptr,
                 "No help. ON_THE_FLY\n<p>\n{T}\n");
}

TEST_F(Help, ComposedLinesTooLongAreRefused) {
    routing("ON_THE_FLY:otf.html\nPCT:pct.html\n");
    spit(help_ + "/otf.html", "first\n<t>PUT_TITLE_HERE</t>\n");
    std::string many;
    for (int i = 0; i < 200; ++i) many += "%s";
    spit(help_ + "/pct.html", many + "\n");
    ok([&] {
        zuhlpin(nullptr);
        const std::string title(4090, 'T');
        EXPECT_EQ(page_of("x", title.c_str()), "(null)");
        EXPECT_FALSE(exists(view().zutmphtml));
        EXPECT_EQ(view().tmphtml_created, 0);
        const zuhlprq req{"x", nullptr, nullptr};
        EXPECT_EQ(str(zubldhtml(&req, "otf.html")), page_path());  // fits without a title
        EXPECT_EQ(zubldhtml(&req, "pct.html"), nullptr);  // 200 help directories do not fit
        EXPECT_FALSE(exists(view().zutmphtml));
        zuhlpcu();
    });
    err_has("help template line too long");
}

TEST_F(Help, UnreadableRoutingFileOrTemplateEndsTheProcess) {
    ends_after_fopen([&] {
        zuhlpin(nullptr);
        page_of("?html intro");  // there is no routing file
    });
    routing("ON_THE_FLY:none.html\n");
    ends_after_fopen([&] {
        zuhlpin(nullptr);
        page_of("text");
    });
}

/* A file or a symbolic link that someone else planted at the page's name is
 * neither written nor followed nor removed: the page gets another name, made
 * for the viewer, private, and removed at clean-up. */
TEST_F(Help, PlantedFileOrLinkAtThePageNameIsLeftAlone) {
    routing("ON_THE_FLY:otf.html\n");
    spit(help_ + "/otf.html", "ON_THE_FLY\n");
    spit(root_ + "/victim", "keep");
    for (const bool link : {false, true}) {
        ok([&] {
            zuhlpin(nullptr);
            const std::string usual = view().zutmphtml;
            if (link)
                ASSERT_EQ(symlink((root_ + "/victim").c_str(), usual.c_str()), 0);
            else
                spit(usual, "planted");
            const std::string page = page_of("text");
            EXPECT_EQ(page.rfind(tmp_ + "/tvxinst" + std::to_string(getpid()) + "_", 0), 0u)
                << page;
            EXPECT_EQ(page, str(view().zutmphtml));
            EXPECT_EQ(slurp(page), "ON_THE_FLY\n<p>\ntext\n");
            EXPECT_EQ(fs::status(page).permissions(),
                      fs::perms::owner_read | fs::perms::owner_write);
            EXPECT_EQ(page_of("again"), page);  // the same page, made again
            zuhlpcu();
            EXPECT_FALSE(exists(page));
            EXPECT_EQ(slurp(usual), link ? "keep" : "planted");
            unlink(usual.c_str());
        });
    }
    EXPECT_EQ(slurp(root_ + "/victim"), "keep");
}

/* ---- character-mode viewer ----------------------------------------------- */

TEST_F(Help, CharacterViewerGetsThePageAndTheTerminal) {
    routing("intro:intro.html\nNO_HELP_AVAILABLE:nohelp.html\n");
    viewers(true, false);
    ok([&] {
        zuhlpin(nullptr);
        struct seen {
            std::string log, order;
        } s{inst_ + "/gtrc.log", ""};
        uiapcb app{};
        app.mode = UIAP_CHARACTER;
        app.user = &s;
        // The viewer must run between giving the terminal away and taking it back.
        app.hook = [](uiapcb *a, int op) {
            auto *st = static_cast<seen *>(a->user);
            st->order += (op == UIWS_SUSPEND ? "suspend:" : "resume:");
            st->order += exists(st->log) ? "ran " : "none ";
        };
        const zuhlprq req{"?html intro", nullptr, &app};
        EXPECT_EQ(zusd(&req), 0);
        EXPECT_EQ(s.order, "suspend:none resume:ran ");
        EXPECT_TRUE(app.nsuspend == 1 && app.nresume == 1 && app.suspended == 0 && app.msglen == 0);
        EXPECT_EQ(view().bpid, -1);
        EXPECT_EQ(str(std::getenv("LYNX_HELP")), help_);
        const zuhlprq again{"?html other", nullptr, nullptr};  // character mode is the default
        EXPECT_EQ(zusd(&again), 0);
        const auto runs = read_runs(s.log);
        ASSERT_EQ(runs.size(), 2u);
        EXPECT_EQ(runs[0].args, Strings{help_ + "/intro.html"});
        EXPECT_EQ(runs[0].text("cwd"), help_);
        EXPECT_EQ(runs[0].text("LYNX_HELP"), help_);
        EXPECT_EQ(runs[1].args, Strings{help_ + "/nohelp.html"});
        zuhlpcu();
    });
}

TEST_F(Help, ViewerThatCannotBeStarted) {
    routing("intro:intro.html\n");
    viewers(false, true);
    ok([&] {
        zuhlpin(nullptr);
        uiapcb app{};
        app.mode = 3;
        const zuhlprq unknown{"?html intro", nullptr, &app}, plain{"?html intro", nullptr, nullptr};
        EXPECT_EQ(zusd(&unknown), 1);  // no viewer for an unknown presentation mode
        EXPECT_FALSE(exists(inst_ + "/gtr.log"));
        EXPECT_EQ(zusd(&plain), 0);  // handed on; the missing program is reported by the child
        EXPECT_EQ(view().bpid, -1);
    });
    err_has("no help viewer for presentation mode 3");
    err_has("execv: No such file or directory\n");
    const std::string failed = "Talvex Installer: failed in starting " + inst_ + "/gtrc\n";
    err_has(failed);
    EXPECT_EQ(err_.find(failed), err_.rfind(failed)) << "once, for the plain request";
}

/* ---- graphical viewer ---------------------------------------------------- */

class Graphical : public Help {
  public:
    void SetUp() override {
        Help::SetUp();
        routing(
            "intro:intro.html\nsecond:second.html\nthird:third.html\nNO_HELP_AVAILABLE:no.html\n");
        viewers();
    }
    /* Run body in a child with its own loopback; false when skipped. */
    bool net(const std::function<void()> &body) {
        ok(body, true);
        return !IsSkipped();
    }
    /* In the child: initialise and make requests graphical. */
    void prepare() {
        zuhlpin(nullptr);
        app_.mode = UIAP_GRAPHICAL;
    }
    int show(const char *text) {
        const zuhlprq req{text, nullptr, &app_};
        return zusd(&req);
    }
    std::vector<ViewerRun> runs(size_t n, const char *tag = "cwd") {
        return runs_when(inst_ + "/gtr.log", n, tag);
    }
    Strings args(const std::string &port, const std::string &page) {
        return {"-sdi", port, "-url", "file:" + help_ + "/" + page};
    }
    std::string open_line(const std::string &page) {
        return "OpenURL,3,\"file:" + help_ + "/" + page + "\",,1,1,,,0,1\\r\\n";
    }
    /* Take the control ports [7710, end), listening or only bound, until the
     * child ends. */
    static void hold_ports(int end, bool listening) {
        for (int port = 7710; port < end; ++port) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(static_cast<uint16_t>(port));
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0) << port;
            EXPECT_TRUE(!listening || listen(fd, 1) == 0) << port;
        }
    }
    uiapcb app_{};
};

TEST_F(Graphical, TakenPortsAreSkipped) {
    // Ten ports taken: the eleventh, 7720, serves. A hundred: no port, 0.
    for (const auto &[end, port] : {std::pair{7720, "7720"}, {7810, "0"}}) {
        SCOPED_TRACE(port);
        fs::remove(inst_ + "/gtr.log");
        const bool ran = net([&] {
            prepare();
            hold_ports(end, end == 7720);
            EXPECT_EQ(show("?html intro"), 0);
            EXPECT_EQ(str(view().port_s), port);
            EXPECT_EQ(runs(1)[0].args, args(port, "intro.html"));
            if (end != 7720) return;
            // The viewer listens on the socket the launcher bound, on loopback
            // only, and the launcher connects there.
            EXPECT_EQ(runs(1, "listening")[0].text("listening"), "127.0.0.1:7720");
            EXPECT_EQ(show("?html second"), 0);
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            ASSERT_EQ(getpeername(view().sock, reinterpret_cast<sockaddr *>(&peer), &len), 0);
            EXPECT_TRUE(peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK) &&
                        peer.sin_port == htons(7720));
            const auto r = runs(1);
            EXPECT_EQ(r.size(), 1u);
            EXPECT_EQ(r[0].cmds, Strings{open_line("second.html")});
        });
        EXPECT_TRUE(!ran ||
                    (port == std::string("0")) == (err_.find("zugetport: ") != std::string::npos))
            << err_;
    }
}

TEST_F(Graphical, ViewerThatNeverAcceptsIsKilledAndRestarted) {
    const bool ran = net([&] {
        prepare();
        setenv("GTR_STANDIN_DEAF", "1", 1);
        EXPECT_EQ(show("?html intro"), 0);
        const int first = view().bpid;
        runs(1, "deaf");
        EXPECT_EQ(show("?html second"), 0);
        EXPECT_TRUE(kill(first, 0) == -1 && errno == ESRCH);  // killed and reaped
        EXPECT_TRUE(view().bpid > 0 && view().bpid != first);
        EXPECT_EQ(view().sock, -1);
        const auto r = runs(2, "listening");
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[1].args, args(view().port_s, "second.html"));
        // The new viewer takes the next page over the control connection.
        EXPECT_EQ(show("?html third"), 0);
        EXPECT_EQ(runs(2)[1].cmds, Strings{open_line("third.html")});
    });
    size_t attempts = 0;
    for (size_t at = 0; (at = err_.find("Connect(): ", at)) != std::string::npos; ++at) ++attempts;
    EXPECT_TRUE(!ran || attempts == 5u) << err_;
}

/* The first viewer stops taking pages between the second and the third:
 * the third goes to a new viewer. */
/* In a child, the first viewer (on 7710) gets the intro page and `request`, then
 * stops taking pages (`env` sets the stand-in's behaviour; `kill_first`: the
 * user closes it; `first_ends`: it ends) and logs `before` and `after` the
 * third page, which must go to a new viewer on `port` (null: any). */
void lost_viewer(Graphical &t, const char *name, const char *env, const char *request,
                 bool kill_first, bool first_ends, const char *before, const char *after,
                 const Strings &first_cmds, const char *port) {
    SCOPED_TRACE(name);
    fs::remove(t.inst_ + "/gtr.log");
    const bool ran = t.net([&] {
        t.prepare();
        if (env != nullptr) setenv(env, "1", 1);
        EXPECT_EQ(t.show("exit"), 0);  // no viewer yet: nothing to close, nothing started
        EXPECT_FALSE(exists(t.inst_ + "/gtr.log"));
        EXPECT_EQ(t.show("?html intro"), 0);  // started with the page, no connection yet
        const int first = view().bpid;
        EXPECT_TRUE(first > 0 && view().sock == -1 && str(view().port_s) == "7710");
        t.runs(1, "listening");
        EXPECT_EQ(t.show(request), 0);  // a page goes over the control connection
        EXPECT_TRUE(view().bpid == first && (view().sock >= 0 || first_ends));
        if (kill_first) kill(first, SIGTERM);
        EXPECT_TRUE(!first_ends || await_end(first));
        if (before != nullptr) t.runs(1, before);
        EXPECT_EQ(t.show("?html third"), 0);
        if (after != nullptr) t.runs(1, after);
        EXPECT_TRUE(view().bpid > 0 && view().bpid != first && view().sock == -1);
        EXPECT_EQ(kill(first, 0) == 0, !first_ends);  // an ended viewer is reaped
        const auto r = t.runs(2);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0].args, t.args("7710", "intro.html"));
        EXPECT_EQ(r[0].text("cwd"), t.help_);
        EXPECT_EQ(r[0].cmds, first_cmds);
        EXPECT_TRUE(t.app_.nsuspend == 0 && t.app_.nresume == 0);
        EXPECT_EQ(r[1].args, t.args(port != nullptr ? port : view().port_s, "third.html"));
    });
    EXPECT_TRUE(!ran || t.err_.find("write()") == std::string::npos) << t.err_;
}

TEST_F(Graphical, LostViewerGivesThePageToANewOne) {
    const std::string second = open_line("second.html");
    lost_viewer(*this, "exit request", nullptr, "exit", false, true, nullptr, nullptr,
                {"Exit,0\\r\\n"}, nullptr);
    lost_viewer(*this, "viewer closed", nullptr, "?html second", true, true, nullptr, nullptr,
                {second}, nullptr);
    // The write meets a closed connection (EPIPE): no SIGPIPE, no report. The
    // first viewer still holds 7710.
    lost_viewer(*this, "connection broken", "GTR_STANDIN_DROP", "?html second", false, false,
                "dropped", nullptr, {second}, "7711");
    // The third page's command goes over the same connection but is not
    // answered: it goes to a new viewer.
    lost_viewer(*this, "closed without answer", "GTR_STANDIN_HANGUP", "?html second", false, false,
                nullptr, "hungup", {second, open_line("third.html")}, "7711");
}

TEST_F(Graphical, PagePathTooLongForTheUrlIsRefused) {
    routing("long:" + std::string(500, 'p') + ".html\n");
    const bool ran = net([&] {
        prepare();
        EXPECT_EQ(show("?html long"), 1);
        EXPECT_EQ(view().bpid, -1);
        EXPECT_FALSE(exists(inst_ + "/gtr.log"));
    });
    if (ran) err_has("help page path too long");
}

// A page path that would end the quoted URL or the command line early is
// refused before any viewer sees it: '"' and CR from the routing file, LF
// from the temporary directory of a page for literal text.
TEST_F(Graphical, PagePathsThatWouldBreakTheCommandAreRefused) {
    routing("quote:a\"b.html\ncr:a\rb.html\nON_THE_FLY:otf.html\n");
    spit(help_ + "/otf.html", "ON_THE_FLY\n");
    const std::string lf = tmp_ + "/a\nb";
    fs::create_directories(lf);
    const bool ran = net([&] {
        setenv("TMPDIR", lf.c_str(), 1);
        prepare();
        for (const char *text : {"?html quote", "?html cr", "literal text"}) {
            SCOPED_TRACE(text);
            EXPECT_EQ(show(text), 1);
            EXPECT_EQ(view().bpid, -1);
        }
        EXPECT_FALSE(exists(inst_ + "/gtr.log"));
    });
    if (ran) err_has("help page path holds a double quote, CR or LF; not shown\n");
}

}  // namespace
