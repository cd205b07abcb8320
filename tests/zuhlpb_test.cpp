// The help module: routing index, lookups, temporary pages, and the viewer
// launcher driving stand-in viewers over loopback.
//
// The module keeps process-wide state fixed at its first initialisation, and
// the launcher changes directory, sets LYNX_HELP and starts viewers; so every
// test runs its body in a forked child with its own process group, whose
// working directory is a fresh installer directory. Graphical-viewer tests
// also put the child in a private network namespace, so that the control
// ports 7710.. are its own and nothing leaves loopback.
#include "uitk.h"
#include "zuhlpb.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kSkipExit = 77;  // the child could not get a network namespace

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void sleep_ms(long ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

/* ---- checks inside the child ------------------------------------------- */

std::string g_failures;  // the child's failed checks, one line each

#define CHECK(cond)                                                                      \
    do {                                                                                 \
        if (!(cond)) g_failures += std::string(__FILE__ ":") + std::to_string(__LINE__) + \
                                   ": " #cond "\n";                                      \
    } while (0)
#define CHECK_EQ(a, b)                                                                       \
    do {                                                                                     \
        const std::string va_ = (a), vb_ = (b);                                              \
        if (va_ != vb_)                                                                      \
            g_failures += std::string(__FILE__ ":") + std::to_string(__LINE__) + ": " #a     \
                          " == " #b "\n  got:      [" + va_ + "]\n  expected: [" + vb_ + "]\n"; \
    } while (0)

std::string str(const char *s) { return s != nullptr ? s : "(null)"; }

/* ---- records of the stand-in viewers ------------------------------------ */

struct ViewerRun {
    int pid = 0;
    std::vector<std::string> args;
    std::string cwd, lynx_help;
    std::vector<std::string> cmds;  // escaped command lines received
    bool listening = false, dropped = false, hungup = false, deaf = false;
};

std::vector<ViewerRun> read_runs(const std::string &log) {
    std::vector<ViewerRun> runs;
    std::istringstream in(slurp(log));
    std::string line;
    while (std::getline(in, line)) {
        const size_t a = line.find(' ');
        if (a == std::string::npos) continue;
        const size_t b = line.find(' ', a + 1);
        if (b == std::string::npos) continue;
        const int pid = std::atoi(line.substr(0, a).c_str());
        const std::string tag = line.substr(a + 1, b - a - 1), text = line.substr(b + 1);
        if (tag == "run") {
            runs.emplace_back();
            runs.back().pid = pid;
            continue;
        }
        ViewerRun *r = nullptr;
        for (auto &x : runs)
            if (x.pid == pid) r = &x;
        if (r == nullptr) continue;
        if (tag == "arg") r->args.push_back(text);
        if (tag == "cwd") r->cwd = text;
        if (tag == "LYNX_HELP") r->lynx_help = text;
        if (tag == "cmd") r->cmds.push_back(text);
        if (tag == "listening") r->listening = true;
        if (tag == "dropped") r->dropped = true;
        if (tag == "hungup") r->hungup = true;
        if (tag == "deaf") r->deaf = true;
    }
    return runs;
}

/* Wait (bounded) until the log satisfies `ready`. */
bool await_log(const std::string &log, const std::function<bool(const std::vector<ViewerRun> &)> &ready) {
    for (int i = 0; i < 3000; ++i) {
        if (ready(read_runs(log))) return true;
        sleep_ms(10);
    }
    return false;
}

/* Wait (bounded) until our child `pid` has ended, leaving it unreaped. */
bool await_end(pid_t pid) {
    for (int i = 0; i < 3000; ++i) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid)
            return true;
        sleep_ms(10);
    }
    return false;
}

/* ---- network namespace for the graphical tests -------------------------- */

bool write_file(const char *path, const std::string &text) {
    const int fd = open(path, O_WRONLY);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

/* A private network namespace with its loopback up; false when the system
 * allows none. */
bool private_loopback() {
    if (unshare(CLONE_NEWNET) != 0) {
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
        write_file("/proc/self/setgroups", "deny");
        if (!write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
            !write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
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

/* The address the launcher will use: this host's first IPv4 address when it
 * is a loopback one; otherwise the launcher is pinned to 127.0.0.1. */
std::string control_address() {
    char host[256];
    std::string addr = "127.0.0.1";
    if (gethostname(host, sizeof host) == 0) {
        host[sizeof host - 1] = '\0';
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *res = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &res) == 0 && res != nullptr) {
            sockaddr_in sin;
            std::memcpy(&sin, res->ai_addr, sizeof sin);
            char text[INET_ADDRSTRLEN];
            if ((ntohl(sin.sin_addr.s_addr) >> 24) == 127 &&
                inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text) != nullptr)
                addr = text;
        }
        if (res != nullptr) freeaddrinfo(res);
    }
    if (addr == "127.0.0.1") zuhlpha("127.0.0.1");  // never anything but loopback
    return addr;
}

/* ---- the fixture --------------------------------------------------------- */

struct ChildResult {
    int status = 0;
    std::string failures, out, err;
};

class Help : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Viewers whose installer child has ended are handed to this process,
        // so that each test can kill and reap every one of them.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    void SetUp() override {
        char tmpl[] = "/tmp/zuhlpbXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        inst_ = root_ + "/inst";
        help_ = inst_ + "/helpdoc";
        tmp_ = root_ + "/tmp";
        fs::create_directories(help_);
        fs::create_directories(tmp_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void routing(const std::string &text) { spit(help_ + "/routing.n", text); }
    void viewers(bool gtrc = true, bool gtr = true) {
        if (gtrc) fs::create_symlink(ZUHLPB_GTRC_STANDIN, inst_ + "/gtrc");
        if (gtr) fs::create_symlink(ZUHLPB_GTR_STANDIN, inst_ + "/gtr");
    }

    /* Run body in a forked child (own process group, working directory the
     * installer directory, TMPDIR our temporary directory, output to files);
     * then kill and reap everything left in its group. */
    ChildResult run(const std::function<void()> &body, bool network = false) {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);  // viewers must not hold it open
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            close(fds[0]);
            signal(SIGPIPE, SIG_DFL);
            const int out = open((root_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open((root_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            if (network && !private_loopback()) _exit(kSkipExit);
            setenv("TMPDIR", tmp_.c_str(), 1);
            unsetenv("LYNX_HELP");
            if (chdir(inst_.c_str()) != 0) _exit(3);
            zuhlpps(0, 20);
            body();
            std::fflush(stdout);
            std::fflush(stderr);
            const ssize_t n = write(fds[1], g_failures.data(), g_failures.size());
            _exit(n == static_cast<ssize_t>(g_failures.size()) ? 0 : 4);
        }
        setpgid(pid, pid);
        close(fds[1]);
        ChildResult r;
        char chunk[4096];
        ssize_t n;
        while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
            r.failures.append(chunk, static_cast<size_t>(n));
        close(fds[0]);
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
        kill(-pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        while (waitpid(-pid, nullptr, 0) > 0) {
        }
        r.status = status;
        r.out = slurp(root_ + "/out");
        r.err = slurp(root_ + "/err");
        return r;
    }

    /* Run body and expect it to finish with all checks passed. */
    void ok(const std::function<void()> &body, bool network = false) {
        const ChildResult r = run(body, network);
        if (network && WIFEXITED(r.status) && WEXITSTATUS(r.status) == kSkipExit)
            GTEST_SKIP() << "no private network namespace for the control ports";
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0)
            << "child status " << r.status << "\nstderr:\n"
            << r.err;
        EXPECT_EQ(r.failures, "") << "stderr:\n" << r.err;
        last_ = r;
    }

    std::string root_, inst_, help_, tmp_;
    ChildResult last_;
};

std::string page_of(const char *hlptxt, const char *title = nullptr) {
    const zuhlprq req{hlptxt, title, nullptr};
    return str(zulkup(&req));
}

zuhlpvw view() {
    zuhlpvw v{};
    zuhlpqs(&v);
    return v;
}

/* ---- initialisation and clean-up ---------------------------------------- */

TEST_F(Help, InitRecordsTheFirstDirectoryOnly) {
    ok([&] {
        unsetenv("TMPDIR");
        CHECK_EQ(str(view().tvxinst_path), "");
        zuhlpin("ignored");
        const zuhlpvw v = view();
        CHECK_EQ(v.tvxinst_path, inst_);
        CHECK_EQ(v.zuhlp_path, inst_ + "/helpdoc");
        CHECK_EQ(v.zuspyglass, inst_ + "/gtr");
        CHECK_EQ(v.zulynx, inst_ + "/gtrc");
        CHECK_EQ(v.zutmphtml, "/tmp/tvxinst" + std::to_string(getpid()) + ".html");
        CHECK_EQ(v.port_s, "");
        CHECK(v.bpid == -1 && v.sock == -1 && v.nhentry == 0 && v.tmphtml_created == 0);
        CHECK(chdir(help_.c_str()) == 0);
        setenv("TMPDIR", tmp_.c_str(), 1);
        zuhlpin(help_.c_str());
        CHECK_EQ(view().tvxinst_path, inst_);
        CHECK_EQ(view().zutmphtml, "/tmp/tvxinst" + std::to_string(getpid()) + ".html");
        zuhlpcu();  // no index, no page: nothing to do
        CHECK(view().nhentry == 0);
    });
}

TEST_F(Help, TmpdirNamesThePageDirectory) {
    ok([&] {
        zuhlpin(nullptr);
        CHECK_EQ(view().zutmphtml, tmp_ + "/tvxinst" + std::to_string(getpid()) + ".html");
    });
}

TEST_F(Help, TooLongDirectoriesAreRefusedNotCut) {
    // A working directory longer than 511 characters leaves the module
    // uninitialised; a temporary directory too long for the page path
    // leaves pages for literal text refused.
    std::string deep = inst_;
    while (deep.size() < 600) deep += "/" + std::string(60, 'd');
    fs::create_directories(deep);
    ok([&] {
        CHECK(chdir(deep.c_str()) == 0);
        zuhlpin(nullptr);
        CHECK_EQ(view().tvxinst_path, "");
        CHECK_EQ(page_of("?html intro"), "(null)");
        CHECK(chdir(inst_.c_str()) == 0);
        setenv("TMPDIR", ("/" + std::string(520, 't')).c_str(), 1);
        zuhlpin(nullptr);
        CHECK_EQ(view().tvxinst_path, inst_);
        CHECK_EQ(view().zutmphtml, "");
    });
    EXPECT_NE(last_.err.find("help is not initialised"), std::string::npos);
    routing("ON_THE_FLY:otf.html\n");
    spit(help_ + "/otf.html", "x\n");
    ok([&] {
        setenv("TMPDIR", ("/" + std::string(520, 't')).c_str(), 1);
        zuhlpin(nullptr);
        CHECK_EQ(page_of("literal"), "(null)");
    });
    EXPECT_NE(last_.err.find("no place for a temporary help page"), std::string::npos);
}

/* ---- routing index ------------------------------------------------------- */

TEST_F(Help, LookupsWithFallback) {
    routing("intro:intro.html\nNO_HELP_AVAILABLE:nohelp.html\n");
    ok([&] {
        zuhlpin(nullptr);
        CHECK_EQ(page_of("?html intro"), help_ + "/intro.html");
        CHECK(view().nhentry == 6);
        CHECK_EQ(page_of("?html missing"), help_ + "/nohelp.html");
        CHECK_EQ(page_of(nullptr), help_ + "/nohelp.html");
        CHECK_EQ(page_of(""), help_ + "/nohelp.html");
        CHECK_EQ(page_of("?html\tintro"), help_ + "/intro.html");
        CHECK_EQ(page_of("?doc more words intro"), help_ + "/intro.html");
        // No blank: no key. A blank at the end: an empty key.
        CHECK_EQ(page_of("?intro"), help_ + "/nohelp.html");
        CHECK_EQ(page_of("?html "), help_ + "/nohelp.html");
        CHECK_EQ(page_of("?html INTRO"), help_ + "/nohelp.html");
        zuhlpcu();
        CHECK(view().nhentry == 0);
        CHECK_EQ(page_of("?html intro"), help_ + "/intro.html");  // built again
    });
}

TEST_F(Help, LinesAreCutAtTheirColons) {
    routing(
        "a:b:c.html\n"
        "x:first.html\n"
        "x:second.html\n"
        "nocolon\n"
        "empty:\n"
        "trail:v.html:\n"
        ":orphan.html\n"
        "\n"
        "after:after.html\n"
        "NO_HELP_AVAILABLE:nohelp.html\n");
    ok([&] {
        zuhlpin(nullptr);
        CHECK_EQ(page_of("?html a"), help_ + "/c.html");
        CHECK_EQ(page_of("?html x"), help_ + "/second.html");
        // Keys without a value fall back.
        CHECK_EQ(page_of("?html nocolon"), help_ + "/nohelp.html");
        CHECK_EQ(page_of("?html empty"), help_ + "/nohelp.html");
        CHECK_EQ(page_of("?html trail"), help_ + "/nohelp.html");
        // A line starting with a colon does not touch the key before it.
        CHECK_EQ(page_of("?html after"), help_ + "/after.html");
        CHECK_EQ(page_of("?html b"), help_ + "/nohelp.html");
        CHECK(view().nhentry == 22);
    });
}

TEST_F(Help, TableSizeFollowsTheLineCount) {
    std::string text;
    for (int i = 0; i < 8; ++i) text += "k" + std::to_string(i) + ":p" + std::to_string(i) + "\n";
    routing(text + "NO_HELP_AVAILABLE:nohelp.html\n");
    ok([&] {
        zuhlpin(nullptr);
        CHECK_EQ(page_of("?html k7"), help_ + "/p7");
        CHECK(view().nhentry == 20);
        for (int i = 0; i < 8; ++i)
            CHECK_EQ(page_of(("?html k" + std::to_string(i)).c_str()),
                     help_ + "/p" + std::to_string(i));
    });
}

TEST_F(Help, LastLineWithoutLineFeedKeepsItsLastCharacter) {
    routing("NO_HELP_AVAILABLE:nohelp.html\nlast:last.html");
    ok([&] {
        zuhlpin(nullptr);
        CHECK_EQ(page_of("?html last"), help_ + "/last.html");
        CHECK(view().nhentry == 4);
    });
}

TEST_F(Help, ManyKeysInOneSlotChainProbes) {
    // Keys of one length with equal first, middle and following bytes share a
    // slot; every one must still be found, also across the table's end.
    std::string text;
    std::vector<std::string> keys;
    for (char c = 'a'; c <= 'z'; ++c) {
        keys.push_back(std::string("q") + c + "xx");  // len 4: q, x, x decide the slot
        text += keys.back() + ":" + c + ".html\n";
    }
    routing(text + "NO_HELP_AVAILABLE:nohelp.html\n");
    ok([&] {
        zuhlpin(nullptr);
        for (size_t i = 0; i < keys.size(); ++i)
            CHECK_EQ(page_of(("?html " + keys[i]).c_str()),
                     help_ + "/" + std::string(1, static_cast<char>('a' + i)) + ".html");
        CHECK_EQ(page_of("?html qAxx"), help_ + "/nohelp.html");
        CHECK_EQ(page_of("?html q"), help_ + "/nohelp.html");
    });
}

TEST_F(Help, NoUsableFallbackGivesNoPage) {
    routing("intro:intro.html\nNO_HELP_AVAILABLE:\n");
    ok([&] {
        zuhlpin(nullptr);
        CHECK_EQ(page_of("?html intro"), help_ + "/intro.html");
        CHECK_EQ(page_of("?html missing"), "(null)");
        const zuhlprq req{"?html missing", nullptr, nullptr};
        CHECK(zusd(&req) == 1);
    });
    EXPECT_NE(last_.err.find("no help page for this request"), std::string::npos);
}

TEST_F(Help, EmptyRoutingFile) {
    routing("");
    ok([&] {
        zuhlpin(nullptr);
        CHECK_EQ(page_of("?html intro"), "(null)");
        CHECK(view().nhentry == 2);
    });
}

TEST_F(Help, MissingRoutingFileEndsTheProcess) {
    const ChildResult r = run([&] {
        zuhlpin(nullptr);
        page_of("?html intro");
    });
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << r.status;
    EXPECT_EQ(r.err.rfind("fopen: ", 0), 0u) << r.err;
}

TEST_F(Help, PagePathTooLongIsRefused) {
    routing("long:" + std::string(4090, 'p') + "\n");
    ok([&] {
        zuhlpin(nullptr);
        CHECK_EQ(page_of("?html long"), "(null)");
    });
    EXPECT_NE(last_.err.find("help page path too long"), std::string::npos);
}

/* ---- temporary pages ----------------------------------------------------- */

constexpr char kTemplate[] =
    "<html><head><title>PUT_TITLE_HERE</title></head>\n"
    "<link rel=stylesheet href=\"%s/help.css\">\n"
    "<body>\n"
    "<!-- ON_THE_FLY -->\n"
    "</body></html>\n";

TEST_F(Help, PageForLiteralTextWithTitle) {
    routing("NO_HELP_AVAILABLE:nohelp.html\nON_THE_FLY:otf.html\n");
    spit(help_ + "/otf.html", kTemplate);
    ok([&] {
        zuhlpin(nullptr);
        const std::string page = page_of("Press F1 to continue", "Setup help");
        CHECK_EQ(page, tmp_ + "/tvxinst" + std::to_string(getpid()) + ".html");
        CHECK(view().tmphtml_created == 1);
        CHECK_EQ(slurp(page),
                 "<html><head><title>Setup help</title></head>\n"
                 "<link rel=stylesheet href=\"" + help_ + "/help.css\">\n"
                 "<body>\n"
                 "<!-- ON_THE_FLY -->\n"
                 "<p>\n"
                 "Press F1 to continue\n"
                 "</body></html>\n");
        // Rewritten, not appended to, at the next literal text.
        page_of("Second %s %n text");
        CHECK(slurp(page).find("Second %s %n text\n") != std::string::npos);
        CHECK(slurp(page).find("Press F1") == std::string::npos);
        zuhlpcu();
        CHECK(!exists(page));
        CHECK(view().tmphtml_created == 0);
    });
}

TEST_F(Help, PageWithoutTitleDropsTheTitleLines) {
    routing("ON_THE_FLY:otf.html\n");
    spit(help_ + "/otf.html", std::string(kTemplate) + "again PUT_TITLE_HERE\n");
    ok([&] {
        zuhlpin(nullptr);
        const std::string page = page_of("text");
        CHECK_EQ(slurp(page),
                 "<link rel=stylesheet href=\"" + help_ + "/help.css\">\n"
                 "<body>\n"
                 "<!-- ON_THE_FLY -->\n"
                 "<p>\n"
                 "text\n"
                 "</body></html>\n");
        zuhlpcu();
    });
}

TEST_F(Help, TemplateIsTextNotAFormat) {
    routing("ON_THE_FLY:otf.html\n");
    spit(help_ + "/otf.html", "%n %d %x %s%s%s%s%s%s %%s 100% %\nON_THE_FLY %n\n");
    ok([&] {
        zuhlpin(nullptr);
        const std::string h = help_;
        CHECK_EQ(slurp(page_of("t")), "%n %d %x " + h + h + h + h + h + h +
                                          " %%s 100% %\nON_THE_FLY %n\n<p>\nt\n");
        zuhlpcu();
    });
}

TEST_F(Help, MissingKeyForLiteralTextUsesTheFallbackAsTemplate) {
    routing("NO_HELP_AVAILABLE:nohelp.html\n");
    spit(help_ + "/nohelp.html", "No help. ON_THE_FLY\n");
    ok([&] {
        zuhlpin(nullptr);
        CHECK_EQ(slurp(page_of("words")), "No help. ON_THE_FLY\n<p>\nwords\n");
        zuhlpcu();
    });
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
        CHECK_EQ(page_of("x", title.c_str()), "(null)");
        CHECK(!exists(view().zutmphtml));
        CHECK(view().tmphtml_created == 0);
        const zuhlprq req{"x", nullptr, nullptr};
        CHECK(str(zubldhtml(&req, "otf.html")) == view().zutmphtml);  // fits without a title
        CHECK(zubldhtml(&req, "pct.html") == nullptr);  // 200 help directories do not fit
        CHECK(!exists(view().zutmphtml));
        zuhlpcu();
    });
    EXPECT_NE(last_.err.find("help template line too long"), std::string::npos);
}

TEST_F(Help, CleanUpRemovesOnlyAPageItWrote) {
    routing("NO_HELP_AVAILABLE:nohelp.html\n");
    ok([&] {
        zuhlpin(nullptr);
        spit(view().zutmphtml, "someone else's");
        CHECK_EQ(page_of("?html x"), help_ + "/nohelp.html");
        zuhlpcu();
        CHECK_EQ(slurp(view().zutmphtml), "someone else's");
        unlink(view().zutmphtml);
    });
}

TEST_F(Help, PageIsNotWrittenThroughAPlantedLink) {
    routing("ON_THE_FLY:otf.html\n");
    spit(help_ + "/otf.html", "ON_THE_FLY\n");
    spit(root_ + "/victim", "keep");
    const ChildResult r = run([&] {
        zuhlpin(nullptr);
        CHECK(symlink((root_ + "/victim").c_str(), view().zutmphtml) == 0);
        page_of("text");
    });
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << r.status;
    EXPECT_EQ(r.err.rfind("fopen: ", 0), 0u) << r.err;
    EXPECT_EQ(slurp(root_ + "/victim"), "keep");
}

TEST_F(Help, MissingTemplateEndsTheProcess) {
    routing("ON_THE_FLY:none.html\n");
    const ChildResult r = run([&] {
        zuhlpin(nullptr);
        page_of("text");
    });
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << r.status;
    EXPECT_EQ(r.err.rfind("fopen: ", 0), 0u) << r.err;
}

/* ---- character-mode viewer ----------------------------------------------- */

TEST_F(Help, CharacterViewerGetsThePageAndTheTerminal) {
    routing("intro:intro.html\nNO_HELP_AVAILABLE:nohelp.html\n");
    viewers(true, false);
    ok([&] {
        zuhlpin(nullptr);
        struct seen {
            std::string log;
            std::string order;
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
        CHECK(zusd(&req) == 0);
        CHECK_EQ(s.order, "suspend:none resume:ran ");
        CHECK(app.nsuspend == 1 && app.nresume == 1 && app.suspended == 0 && app.msglen == 0);
        CHECK(view().bpid == -1);
        CHECK_EQ(str(std::getenv("LYNX_HELP")), help_);
        const zuhlprq again{"?html other", nullptr, &app};
        CHECK(zusd(&again) == 0);
        const auto runs = read_runs(s.log);
        CHECK(runs.size() == 2);
        if (runs.size() == 2) {
            CHECK(runs[0].args == std::vector<std::string>{help_ + "/intro.html"});
            CHECK_EQ(runs[0].cwd, help_);
            CHECK_EQ(runs[0].lynx_help, help_);
            CHECK(runs[1].args == std::vector<std::string>{help_ + "/nohelp.html"});
        }
        zuhlpcu();
    });
}

TEST_F(Help, CharacterModeIsTheToolkitDefault) {
    routing("intro:intro.html\n");
    viewers(true, false);
    ok([&] {
        zuhlpin(nullptr);
        const zuhlprq req{"?html intro", nullptr, nullptr};
        CHECK(zusd(&req) == 0);
        CHECK(read_runs(inst_ + "/gtrc.log").size() == 1);
    });
}

TEST_F(Help, MissingViewerProgramReportsFromTheChild) {
    routing("intro:intro.html\n");
    ok([&] {
        zuhlpin(nullptr);
        const zuhlprq req{"?html intro", nullptr, nullptr};
        CHECK(zusd(&req) == 0);
        CHECK(view().bpid == -1);
    });
    EXPECT_NE(last_.err.find("execv: No such file or directory\n"), std::string::npos) << last_.err;
    EXPECT_NE(last_.err.find("Talvex Installer: failed in starting " + inst_ + "/gtrc\n"),
              std::string::npos)
        << last_.err;
}

TEST_F(Help, UnknownPresentationModeStartsNothing) {
    routing("intro:intro.html\n");
    viewers();
    ok([&] {
        zuhlpin(nullptr);
        uiapcb app{};
        app.mode = 3;
        const zuhlprq req{"?html intro", nullptr, &app};
        CHECK(zusd(&req) == 1);
        CHECK(view().bpid == -1);
        CHECK(!exists(inst_ + "/gtrc.log") && !exists(inst_ + "/gtr.log"));
    });
    EXPECT_NE(last_.err.find("no help viewer for presentation mode 3"), std::string::npos);
}

/* ---- graphical viewer ---------------------------------------------------- */

class Graphical : public Help {
protected:
    void SetUp() override {
        Help::SetUp();
        routing("intro:intro.html\nsecond:second.html\nthird:third.html\nNO_HELP_AVAILABLE:no.html\n");
        viewers();
    }
    /* In the child: initialise, choose the address, and give a request. */
    std::string prepare() {
        zuhlpin(nullptr);
        const std::string addr = control_address();
        setenv("GTR_STANDIN_ADDR", addr.c_str(), 1);
        app_.mode = UIAP_GRAPHICAL;
        return addr;
    }
    int show(const char *text) {
        const zuhlprq req{text, nullptr, &app_};
        return zusd(&req);
    }
    std::string log() const { return inst_ + "/gtr.log"; }
    bool listening(size_t runs) {
        return await_log(log(), [runs](const std::vector<ViewerRun> &r) {
            return r.size() >= runs && r[runs - 1].listening;
        });
    }
    /* The records once `n` viewers have started (their start record complete). */
    std::vector<ViewerRun> runs_after(size_t n) {
        await_log(log(), [n](const std::vector<ViewerRun> &r) {
            return r.size() >= n && !r[n - 1].cwd.empty();
        });
        return read_runs(log());
    }
    std::vector<std::string> viewer_args(const std::string &port, const std::string &page) {
        return {"-sdi", port, "-url", "file:" + help_ + "/" + page};
    }
    std::string open_line(const std::string &page) {
        return "OpenURL,3,\"file:" + help_ + "/" + page + "\",,1,1,,,0,1\\r\\n";
    }
    uiapcb app_{};
};

TEST_F(Graphical, StartThenOpenUrlOverTheControlConnection) {
    ok([&] {
        prepare();
        CHECK(show("?html intro") == 0);
        CHECK_EQ(view().port_s, "7710");
        const int first = view().bpid;
        CHECK(first > 0);
        CHECK(view().sock == -1);
        CHECK(listening(1));
        CHECK(show("?html second") == 0);
        CHECK(view().bpid == first);
        CHECK(view().sock >= 0);
        CHECK(show("?html third") == 0);  // same connection
        CHECK(app_.nsuspend == 0 && app_.nresume == 0);
        const auto runs = read_runs(log());
        CHECK(runs.size() == 1);
        if (runs.size() == 1) {
            CHECK(runs[0].args == viewer_args("7710", "intro.html"));
            CHECK_EQ(runs[0].cwd, help_);
            CHECK(runs[0].cmds.size() == 2);
            if (runs[0].cmds.size() == 2) {
                CHECK_EQ(runs[0].cmds[0], open_line("second.html"));
                CHECK_EQ(runs[0].cmds[1], open_line("third.html"));
            }
        }
    }, true);
}

TEST_F(Graphical, ExitClosesTheViewerAndTheNextPageStartsANewOne) {
    ok([&] {
        prepare();
        CHECK(show("exit") == 0);  // no viewer yet: nothing to close, nothing started
        CHECK(!exists(log()));
        CHECK(show("?html intro") == 0);
        const int first = view().bpid;
        CHECK(listening(1));
        CHECK(show("exit") == 0);
        CHECK(await_end(first));
        auto runs = read_runs(log());
        CHECK(runs.size() == 1);
        if (!runs.empty()) CHECK(runs[0].cmds == std::vector<std::string>{"Exit,0\\r\\n"});
        CHECK(show("?html third") == 0);
        CHECK(view().bpid != first && view().bpid > 0);
        CHECK(kill(first, 0) == -1);  // reaped
        runs = runs_after(2);
        CHECK(runs.size() == 2);
        if (runs.size() == 2) CHECK(runs[1].args == viewer_args(view().port_s, "third.html"));
    }, true);
}

TEST_F(Graphical, TakenPortsAreSkipped) {
    ok([&] {
        const std::string addr = prepare();
        std::vector<int> held;
        for (int port = 7710; port < 7720; ++port) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, addr.c_str(), &sin.sin_addr);
            CHECK(bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0);
            CHECK(listen(fd, 1) == 0);
            held.push_back(fd);
        }
        CHECK(show("?html intro") == 0);
        CHECK_EQ(view().port_s, "7720");
        CHECK(listening(1));
        CHECK(show("?html second") == 0);
        const auto runs = read_runs(log());
        CHECK(runs.size() == 1);
        if (runs.size() == 1) {
            CHECK(runs[0].args == viewer_args("7720", "intro.html"));
            CHECK(runs[0].cmds == std::vector<std::string>{open_line("second.html")});
        }
        for (const int fd : held) close(fd);
    }, true);
}

TEST_F(Graphical, NoFreePortGivesPortZero) {
    ok([&] {
        const std::string addr = prepare();
        std::vector<int> held;
        for (int port = 7710; port < 7810; ++port) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, addr.c_str(), &sin.sin_addr);
            CHECK(bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0);
            held.push_back(fd);
        }
        CHECK(show("?html intro") == 0);
        CHECK_EQ(view().port_s, "0");
        const auto runs = runs_after(1);
        CHECK(runs.size() == 1);
        if (runs.size() == 1) CHECK(runs[0].args == viewer_args("0", "intro.html"));
        for (const int fd : held) close(fd);
    }, true);
    if (IsSkipped()) return;
    EXPECT_NE(last_.err.find("zugetport: "), std::string::npos) << last_.err;
}

TEST_F(Graphical, ViewerClosedBetweenDisplays) {
    ok([&] {
        prepare();
        CHECK(show("?html intro") == 0);
        const int first = view().bpid;
        CHECK(listening(1));
        CHECK(show("?html second") == 0);
        kill(first, SIGTERM);  // the user closes the viewer
        CHECK(await_end(first));
        CHECK(show("?html third") == 0);
        CHECK(view().bpid != first);
        CHECK(view().sock == -1);
        const auto runs = runs_after(2);
        CHECK(runs.size() == 2);
        if (runs.size() == 2) {
            CHECK(runs[0].cmds == std::vector<std::string>{open_line("second.html")});
            CHECK(runs[1].args == viewer_args(view().port_s, "third.html"));
        }
    }, true);
}

TEST_F(Graphical, ViewerThatNeverAcceptsIsKilledAndRestarted) {
    ok([&] {
        prepare();
        setenv("GTR_STANDIN_DEAF", "1", 1);
        CHECK(show("?html intro") == 0);
        const int first = view().bpid;
        CHECK(await_log(log(), [](const std::vector<ViewerRun> &r) { return !r.empty() && r[0].deaf; }));
        CHECK(show("?html second") == 0);
        CHECK(kill(first, 0) == -1 && errno == ESRCH);  // killed and reaped
        CHECK(view().bpid > 0 && view().bpid != first);
        CHECK(view().sock == -1);
        CHECK(listening(2));
        const auto runs = runs_after(2);
        CHECK(runs.size() == 2);
        if (runs.size() == 2) CHECK(runs[1].args == viewer_args(view().port_s, "second.html"));
        // The new viewer takes the next page over the control connection.
        CHECK(show("?html third") == 0);
        const auto after = read_runs(log());
        if (after.size() == 2)
            CHECK(after[1].cmds == std::vector<std::string>{open_line("third.html")});
    }, true);
    if (IsSkipped()) return;
    size_t attempts = 0;
    for (size_t at = 0; (at = last_.err.find("Connect(): ", at)) != std::string::npos; ++at)
        ++attempts;
    EXPECT_EQ(attempts, 5u) << last_.err;
}

TEST_F(Graphical, BrokenConnectionGivesEpipeAndANewViewer) {
    ok([&] {
        prepare();
        setenv("GTR_STANDIN_DROP", "1", 1);
        CHECK(show("?html intro") == 0);
        const int first = view().bpid;
        CHECK(listening(1));
        CHECK(show("?html second") == 0);
        CHECK(await_log(log(), [](const std::vector<ViewerRun> &r) { return !r.empty() && r[0].dropped; }));
        // The write meets a closed connection: no SIGPIPE, a new viewer instead.
        CHECK(show("?html third") == 0);
        CHECK(view().bpid != first && view().sock == -1);
        const auto runs = runs_after(2);
        CHECK(runs.size() == 2);
        if (runs.size() == 2) {
            CHECK(runs[0].cmds == std::vector<std::string>{open_line("second.html")});
            // The first viewer still holds 7710.
            CHECK(runs[1].args == viewer_args("7711", "third.html"));
        }
    }, true);
    if (IsSkipped()) return;
    EXPECT_EQ(last_.err.find("write()"), std::string::npos) << last_.err;
}

TEST_F(Graphical, ConnectionClosedWithoutAnswerGivesTheCommandToANewViewer) {
    ok([&] {
        prepare();
        setenv("GTR_STANDIN_HANGUP", "1", 1);
        CHECK(show("?html intro") == 0);
        CHECK(listening(1));
        CHECK(show("?html second") == 0);
        CHECK(show("?html third") == 0);
        const auto runs = runs_after(2);
        CHECK(runs.size() == 2);
        if (runs.size() == 2) {
            CHECK(runs[0].hungup);
            CHECK(runs[1].args == viewer_args("7711", "third.html"));
        }
    }, true);
}

TEST_F(Graphical, PagePathTooLongForTheUrlIsRefused) {
    routing("long:" + std::string(500, 'p') + ".html\n");
    ok([&] {
        prepare();
        CHECK(show("?html long") == 1);
        CHECK(view().bpid == -1);
        CHECK(!exists(log()));
    }, true);
    if (IsSkipped()) return;
    EXPECT_NE(last_.err.find("help page path too long"), std::string::npos);
}

TEST(HelpSeams, PinnedAddressMustBeIpv4Text) {
    EXPECT_EQ(zuhlpha("not an address"), 0);
    EXPECT_EQ(zuhlpha("::1"), 0);
    EXPECT_EQ(zuhlpha("127.0.0.1"), 1);
    EXPECT_EQ(zuhlpha(nullptr), 1);
}

}  // namespace
