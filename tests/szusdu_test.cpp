// The system layer's users, groups, ownership, platform checks and name
// translation (szusdu_cases.tsv, on the tree of szusdu_tree.tsv), and its
// processes, shell, interrupts and volume mount commands
// (szusd_proc_cases.tsv, on szusd_proc_tree.tsv): each row (set-up,
// operation, arguments) runs in a forked child with its own process group on
// its tree made afresh, and what it reports, printed and logged must equal
// the row's last cell (see zutest::check_rows).
#include "slsys.h"
#include "szusd.h"
#include "szusdu.h"
#include "testutil.h"
#include "zulz.h"

#include <algorithm>
#include <csignal>
#include <random>
#include <sched.h>

namespace {

using zutest::arg;
using zutest::file_report;
using zutest::shown;
using zutest::words;

// The system calls of the table: lookups and changes are counted, chmod and
// chown fail with fail_errno when it is set, getgroups may be scripted.
int fail_errno, pw_calls, gr_calls, chmod_calls, chown_calls, groups_count, groups_fetch;
bool groups_scripted;
int fake_chmod(const char *p, mode_t m) {
    return ++chmod_calls, fail_errno ? errno = fail_errno, -1 : ::chmod(p, m);
}
int fake_chown(const char *p, uid_t u, gid_t g) {
    return ++chown_calls, fail_errno ? errno = fail_errno, -1 : ::chown(p, u, g);
}
int fake_getgroups(int size, gid_t *list) {
    for (int i = 0; i < groups_fetch && i < size; ++i) list[i] = static_cast<gid_t>(4000000 + i);
    return errno = EINVAL, size == 0 ? groups_count : groups_fetch;
}

// The interrupt hooks print a letter each, with '?' when their arguments
// are not the ones registered.
int window = 1, tk = 2, mm = 3;
void *context[1] = {&window}, *nowindow[1] = {nullptr};
void ui_down(void *c, int how) {
    std::printf(c != nullptr && how == 0 ? "u" : "u?");
}
void tk_down(void *t) {
    std::printf(t == &tk ? "t" : "t?");
}
void win_down(void *t, void *w) {
    std::printf(t == &tk && w == &window ? "w" : "w?");
}
void mm_reset(void *m) {
    std::printf(m == &mm ? "m" : "m?");
}

// Set-up items besides zutest::setup_item's: errno:N, getgroups:COUNT/FETCHED
// (the answers to the count question and to the fetch), grgid:none (no
// group found by number) and grgid:noname (an entry without a name).
std::string grgid;
bool own_item(const std::string &item) {
    const auto v = zutest::split(item.substr(item.find(':') + 1), '/');
    if (item.starts_with("errno:")) fail_errno = std::stoi(v[0]);
    if (item.starts_with("getgroups:")) {
        groups_scripted = true;
        groups_count = std::stoi(v[0]);
        groups_fetch = std::stoi(v[1]);
    }
    if (item.starts_with("grgid:")) grgid = v[0];
    return item.starts_with("errno:") || item.starts_with("getgroups:") || !grgid.empty();
}
struct group *no_group(gid_t) {
    return nullptr;
}
struct group *nameless_group(gid_t) {
    static struct group g {};
    return &g;
}

// A heap text handed out by the module, released.
std::string taken(char *&text) {
    const std::string copy = shown(text);
    return std::free(text), text = nullptr, copy;
}

std::string run(const std::vector<std::string> &r) {
    zusdu_sys = {[](const char *n) { return ++pw_calls, ::getpwnam(n); },
                 [](const char *n) { return ++gr_calls, ::getgrnam(n); },
                 grgid.empty()     ? ::getgrgid
                 : grgid == "none" ? no_group
                                   : nameless_group,
                 groups_scripted ? fake_getgroups : ::getgroups,
                 fake_chmod,
                 fake_chown};
    const std::string &op = r[1];
    char *text = nullptr,
         **const result = r.back() == "nul" ? nullptr : &text;  // a last "nul": no result pointer
    int flag = 7, code = 77,
        s = 0;  // the flag and exit code (7 and 77 before a call), the status of the call
    std::string out;
    if (op == "isdir" || op == "ischr")
        return s = (op == "isdir" ? zusduid : zusdurf)(arg(r[2]), &flag), words(s, flag);
    if (op == "home" || op == "pgroup")
        return s = (op == "home" ? zusduhd : zusdugn)(arg(r[2]), result), words(s, taken(text));
    if (op == "gname") {  // INDEX, the list as comma-separated numbers or '-'
        std::vector<gid_t> gids;
        for (const auto &g : zutest::split(r[3], ','))
            gids.push_back(static_cast<gid_t>(std::strtoul(g.c_str(), nullptr, 10)));
        s = zusdugi(static_cast<uint16_t>(std::stoul(r[2])), r[3] == "-" ? nullptr : gids.data(),
                    result);
        return words(s, taken(text));
    }
    if (op == "glist") {  // and the name of each entry, or why there is none
        uint16_t count = 9;
        gid_t stale = 0, *list = &stale;  // the call must replace it, even by null
        s = zusdugl(&count, &list);
        out = words(s, count, list == nullptr ? "null" : "list");
        for (uint16_t i = 0; list != nullptr && i < count; ++i)
            s = zusdugi(i, list, &text), out += " " + (s == 0 ? taken(text) : words(s, list[i]));
        return std::free(list), out;
    }
    if (op == "ia") {  // records owner/group/mode ("null" for none, hd=USER a zusduhd call)
        for (size_t i = 3; i < r.size(); ++i) {
            auto f = zutest::split(r[i], '/');
            f.resize(3, "-");
            const zusdfat record{arg(f[0]), arg(f[1]), arg(f[2])};
            s = r[i].starts_with("hd=") ? zusduhd(r[i].c_str() + 3, &text)
                                        : zusdia(arg(r[2]), r[i] == "null" ? nullptr : &record);
            out += (out.empty() ? "" : " ") + words(s);
            taken(text);
        }
        struct stat st {};
        const bool there = r[2] != "-" && stat(r[2].c_str(), &st) == 0;
        const std::string ids =
            there ? std::string(getpwuid(st.st_uid)->pw_name) + ":" + getgrgid(st.st_gid)->gr_name
                  : "";
        return out + " " +
               words(pw_calls, gr_calls, chmod_calls, chown_calls, ids, zutest::mode_of(arg(r[2])));
    }
    if (op == "gw") {
        std::string path = r[2];
        return s = zusdugw(arg(r[2]) ? path.data() : nullptr, &flag), words(s, flag, path.c_str());
    }
    if (op == "bt") return words(zusdcheckbt());
    for (size_t i = 2; op == "nls" && i < r.size(); ++i)
        s = zusdset_tvx_nls(arg(r[i])),
        out += (i > 2 ? " " : "") + words(s, shown(getenv("TVX_NLS32")), zusdcheckbt());
    if (op == "tr7" || op == "tr6" || op == "ev" || op == "ln") {  // NAME SIZE ('-' no buffer)
        std::vector<char> b(r[3] == "-" ? 10 : std::strtoul(r[3].c_str(), nullptr, 10), '#');
        char *const to = r[3] == "-" ? nullptr : b.data();
        int undefined = 7;
        out = op == "tr7"   ? words(zusdtr7(arg(r[2]), to, b.size()))
              : op == "tr6" ? words(zusdtr6(arg(r[2]), to, b.size()))
              : op == "ev"  ? words(slctbev(arg(r[2]), to, b.size()))
              : sltln(arg(r[2]), to, b.size(), result ? &undefined : nullptr) == to ? "out"
                                                                                    : "null";
        out += (op == "ln" ? " " + words(undefined) : "") + " [" +
               std::string(b.begin(), std::find(b.begin(), b.end(), '\0')) + "]";
    }
    if (op == "ep" || op == "p2v") {  // a path of LENGTH characters into a 2048-byte buffer
        const std::string from(std::strtoul(r[2].c_str(), nullptr, 10), 'p');
        std::vector<char> to(2048, 'q');
        s = op == "ep" ? zusdep(arg(r[2]) ? from.c_str() : nullptr, to.data())
                       : zusdp2v(from.c_str(), to.data());
        out = words(s, strnlen(to.data(), 2048));
    }
    if (op == "sp")
        return s = zusdsp(arg(r[2]), arg(r[3]), arg(r[4]), &code),
               words(s, code, file_report(arg(r[3])), file_report(arg(r[4])));
    if (op == "sy") return s = zusdsy(arg(r[2]), &code), words(s, code);
    if (op == "sh")
        return s = zutest::env_owned(zusdsh),
               words(s, shown(std::getenv("SHELL")), file_report(arg(r[2])));
    if (op == "vol") {
        s = r[2] == "m" ? zusdufm(std::stoi(r[3])) : zusdufu(std::stoi(r[3]));
        return words(s, r[2] == "m" ? prevmnt : prevumnt, file_report(floppylog));
    }
    if (op == "sig") {  // context, toolkit, memory manager, the hooks given, then the actions
        const auto has = [&](char hook) { return r[5].find(hook) != std::string::npos; };
        zusdss(r[2] == "win"     ? context
               : r[2] == "nowin" ? nowindow
                                 : nullptr,
               r[3] == "-" ? nullptr : &tk, r[4] == "-" ? nullptr : &mm,
               has('u') ? ui_down : nullptr, has('t') ? tk_down : nullptr,
               has('w') ? win_down : nullptr, has('m') ? mm_reset : nullptr);
        for (const auto &act : zutest::split(r[6], ' '))
            act == "sa" ? zusdsa() : act == "sr" ? zusdsr() : (void)raise(SIGINT);
        return "done";
    }
    if (op == "cu") {  // a sibling in the group, waiting at most ten seconds
        const pid_t sibling = fork();
        if (sibling == 0) alarm(10), pause(), _exit(9);
        zusdcu();
        const bool ignored = std::signal(SIGINT, SIG_IGN) == SIG_IGN;  // what zusdcu left
        return words(waitpid(sibling, &s, 0) == sibling && WIFSIGNALED(s) ? WTERMSIG(s) : -1,
                     ignored);
    }
    if (op == "mq") {  // WORD: mounted by name, then by the line kept; the log after each
        std::snprintf(whtdsk, sizeof whtdsk, "%s", r[2].c_str());
        for (int reuse = 0; reuse < 2; ++reuse) {
            s = zusdufm(reuse);
            out = words(out, s, file_report(floppylog));
            unlink(floppylog);
        }
        return out;
    }
    if (op == "pt") return words(zulzpt(1), zulzpt(0));  // the codec's thread counts
    if (op == "ms") return zusdms(arg(r[2]), arg(r[3]), std::stoi(r[4])), "done";
    if (op == "qw") {  // WORD SIZE: quoted behind "cmd " in a line of SIZE bytes
        std::vector<char> line(std::stoul(r[3]), '#');
        s = (std::snprintf(line.data(), line.size(), "cmd "),
             zusdqw(line.data(), line.size(), r[2].c_str()));
        return words(s, "[" + std::string(line.data()) + "]");
    }
    if (op == "io")
        return errno = std::stoi(r[2]), out = shown(zusdio()),
               words(out, errno);  // errno read after the call
    return out.empty() ? "unknown operation " + op : out;
}

TEST(SzusduTable, EveryRowReportsAsRecorded) {
    if (geteuid() != 0 || getpwnam("nobody") == nullptr || getgrnam("nogroup") == nullptr)
        GTEST_SKIP() << "the tree has files of root and nobody:nogroup";
    zutest::TempDir dir{"zusdu"};
    ASSERT_EQ(dir.str().size(), 16u);  // "/tmp/zusdu" and six: the long-path rows count on it
    zutest::check_rows("szusdu_cases.tsv", "szusdu_tree.tsv", {{"$D", dir.str()}}, run, own_item);
}

TEST(SzusdProcTable, EveryRowReportsAsRecorded) {
    zutest::TempDir root{"zuproc"};
    cpu_set_t set;  // the cores this process may use
    const int cpus = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
    zutest::check_rows("szusd_proc_cases.tsv", "szusd_proc_tree.tsv",
                       {{"$D", root.str()}, {"$CPUS", std::to_string(cpus)}}, run, own_item);
}

}  // namespace
