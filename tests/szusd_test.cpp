// The system layer's services, through the rows of its tables, each run in
// a forked child (the directory services change the working directory; the
// log settings, ZU_ERRORLOG, the time zone and the volume settings are
// process-wide) on its tree made afresh; what a row reports and logs must
// equal its last cell:
// - path names (split and join, the `_` naming, the volume digit, typed-path
//   normalisation, the bounds of the part buffers, the current directory),
//   the error log with the status mapping of error numbers, and the date
//   layouts with their parser: szusd_path_cases.tsv, szusd_log_cases.tsv and
//   szusd_time_cases.tsv on szusd_path_tree.tsv;
// - file status, removal, times, directory creation, moves (also across file
//   systems, to a private tmpfs) and listings: szusd_file_cases.tsv on
//   szusd_file_tree.tsv;
// - definition files: the token reader, delimiter patterns, lookup and list
//   modes, the section list, the platform check, and the rewrite of entries
//   through a work file (every other byte kept, atomic replacement; a full
//   file system, concurrent updaters, an updater killed while it holds the
//   lock): szusd_deffile_cases.tsv on szusd_deffile_tree.tsv;
// - volumes: the identification check, the prompt loop with its
//   last-attempt flag, settings loading, free space and block size (real and
//   through the statvfs seam) and the console prompt's bounded read, with a
//   volume lab (volume/lab.h): szusd_volume_cases.tsv on
//   szusd_volume_tree.tsv;
// - users, groups, ownership, platform checks and name translation:
//   szusdu_cases.tsv on szusdu_tree.tsv; processes, the shell, interrupts,
//   the volume mount commands and the codec's thread counts:
//   szusd_proc_cases.tsv on szusd_proc_tree.tsv.
#include "slsys.h"
#include "szusd.h"
#include "szusdu.h"
#include "volume/lab.h"
#include "zulz.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/statvfs.h>

namespace {

using zutest::arg;
using zutest::escape;
using zutest::file_report;
using zutest::shown;
using zutest::status;
using zutest::words;

std::string times_of(const std::string &path) {
    struct stat s {};
    stat(path.c_str(), &s);
    return words(std::to_string(s.st_atim.tv_sec) + "." + std::to_string(s.st_atim.tv_nsec) + "/" +
                 std::to_string(s.st_mtim.tv_sec) + "." + std::to_string(s.st_mtim.tv_nsec));
}

int calls;
uint32_t amount;
void *progress_context;
int progress(void *c, uint32_t n) {
    return ++calls, amount = n, progress_context = c, 0;
}

// One pass over an open listing: its entries sorted, name:size, name:dir,
// or name!status when the entry could not be read.
std::string pass(DIR *&h, const std::string &dir) {
    std::multiset<std::string> seen;  // sorted
    char name[ZUSD_BASESZ];
    uint32_t size = 0;
    int isdir = 0;
    for (unsigned s;
         (s = zusdnx(&h, dir.c_str(), 0, name, &size, &isdir)) != ZUSD_NOMORE && seen.size() < 9;)
        seen.insert(name + (s != 0       ? "!" + status(s)
                            : isdir != 0 ? ":dir"
                                         : ":" + std::to_string(size)));
    std::string text;
    for (const auto &e : seen) text += e + ",";
    return "[" + text + "]";
}

// The companions in `dir`: work files "*.x1z.XXXXXX" and lock files "*.x1z.lck".
int work_files(const std::string &dir) {
    int found = 0;
    std::error_code none;
    for (const auto &e : std::filesystem::directory_iterator(dir, none))
        found += e.path().filename().string().find(".x1z.") != std::string::npos;
    return found;
}
// A buffer of `size` bytes and four guard bytes; "!" when a guard was written.
struct Guarded {
    explicit Guarded(size_t n) : bytes(n + 4, '#'), size(n) {}
    std::string guard() const { return bytes.substr(size) == "####" ? "" : "!"; }
    std::string bytes;
    size_t size;
};
// A list of NUL-terminated names ended by an empty one, as [a,b,].
std::string names(const char *list) {
    std::string text;
    for (; *list != '\0'; list += std::strlen(list) + 1) text += std::string(list) + ",";
    return "[" + text + "]";
}

// Tells the test that an updater has its work file written and holds the
// lock, then waits to be killed.
int g_ready = -1;
int stop_before_rename(const char *, const char *) {
    const char c = 1;
    if (write(g_ready, &c, 1) == 1) pause();
    return -1;
}

// The definition files' operations.

// Files.
// Path names, the error log and dates; files; definition files.
std::string files(const std::vector<std::string> &r) {
    const std::string &op = r[1];
    const char *path = r.size() > 2 ? arg(r[2]) : nullptr;
    int flag = 7;
    uint32_t fsize = 7;
    std::string st;  // the status first: the report reads what the call left
    if (op == "ex" || op == "ft") st = status((op == "ex" ? zusdex : zusdft)(path, &flag));
    if (op == "fz") return st = status(zusdfz(path, &fsize)), words(st, fsize);
    if (op == "rn" || op == "rm" || op == "rr") {
        const auto remove = op == "rn" ? zusdrn : op == "rm" ? zusdrm : zusdrr;
        return st = status(remove(path)), words(st, zutest::exists(r[2]) ? "there" : "gone");
    }
    if (op == "et") st = status(zusdet(path, arg(r[3]), &flag));
    if (op == "ex" || op == "ft" || op == "et") return words(st, flag);
    if (op == "ct") return st = status(zusdct(path, arg(r[3]))), words(st, times_of(r[3]));
    if (op == "fp") {
        const auto byte = static_cast<unsigned char>(std::stoul(r[3], nullptr, 8));
        return st = status(zusdfp(path, &byte)), words(st, zutest::mode_of(path));
    }
    if (op == "md") return st = status(zusdmd(path)), words(st, zutest::mode_of(path));
    // mv FROM TO LENGTH (0: no progress callback): status, progress calls, amount, own context,
    // FROM, [TO].
    if (op == "mv") {
        int mine = 0;
        st = status(zusdmv(path, arg(r[3]), 0, std::stoul(r[4]), r[4] == "0" ? nullptr : progress,
                           0, &mine));
        return words(st, calls, amount, progress_context == &mine,
                     zutest::exists(r[2]) ? "there" : "gone", "[" + zutest::slurp(r[3]) + "]");
    }
    // ls DIR: open (a and b 9 before), two passes rewound between, close ("open" when a descriptor
    // was left), a next on the closed handle.
    if (op == "ls") {
        DIR *h = nullptr;
        uint32_t a = 9, b = 9, position = 9;
        const size_t fds = zutest::open_files();
        const std::string opened = words(status(zusdod(&h, path, &a, &b)), a, b);
        if (h == nullptr) return words(opened, "null");
        const std::string first = pass(h, r[2]),
                          rewound = words(zusdrs(&h, 0, &position), position),
                          second = pass(h, r[2]);
        const unsigned cd = zusdcd(&h);
        const std::string closed =
            words(cd, h == nullptr, zutest::open_files() == fds ? "" : "open");
        return words(opened, first, rewound, second == first ? "same" : second, closed,
                     status(zusdnx(&h, path, 0, nullptr, nullptr, nullptr)));
    }
    if (op == "dd") {
        char d = 'q';
        int nb = 7, vb = 7;
        const unsigned s = zusddd(arg(r[2]), &d, &nb, &vb);
        return words(s, d == '\0' ? "nul" : std::string(1, d), nb, vb);
    }
    if (op == "cdp") return words(zusdcdp(arg(r[2])));
    std::string out;
    // gt TEXT, then steps: the delimiter, keep (0 or 1) and the size, or "." to read one character.
    if (op == "gt") {
        FILE *f = std::tmpfile();
        std::fputs(r[2].c_str(), f), std::rewind(f);
        for (size_t i = 3; i < r.size(); ++i) {
            Guarded token(r[i] == "." ? 0 : std::stoul(r[i].substr(2))), raw(token.size);
            if (r[i] == ".")
                out += " " + escape(std::string(1, static_cast<char>(std::getc(f))));
            else {
                const unsigned s = zusdgt(f, r[i][0], r[i][1] == '1', token.bytes.data(),
                                          static_cast<uint16_t>(token.size), raw.bytes.data());
                out += " " +
                       words(s, "[" + escape(token.bytes.c_str()) + "|" +
                                    escape(raw.bytes.c_str()) + "]" + token.guard() + raw.guard());
            }
        }
        return std::fclose(f), out.substr(1);
    }
    // tr NAME FILE PATTERN SIZE [PLATFORM]; fc FILE SIZE.
    if (op == "tr" || op == "fc") {
        const bool tr = op == "tr", list = !tr || r[2].empty();
        Guarded value(std::stoul(r[tr ? 5 : 3]));
        const auto size = static_cast<uint16_t>(value.size);
        const unsigned s = tr ? zusdtrp(arg(r[2]), arg(r[3]), arg(r[4]), value.bytes.data(), size,
                                        r.size() > 6 ? arg(r[6]) : "unix")
                              : zusdfc(arg(r[2]), value.bytes.data(), size);
        return words(s, s != 0 ? ""
                        : list ? names(value.bytes.data())
                               : "[" + escape(value.bytes.c_str()) + "]") +
               value.guard();
    }
    // my NAME VALUE FILE PATTERN: status, [FILE's content mode owner], its directory's companions;
    // with no file, [the variable of that name in capitals].
    if (op == "my") {
        const unsigned s =
            zutest::env_owned([&] { return zusdmy(arg(r[2]), arg(r[3]), arg(r[4]), arg(r[5])); });
        std::string name = r[2];
        std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        if (r[4] == "-") return words(s, "[" + shown(std::getenv(name.c_str())) + "]");
        struct stat info {};
        const bool there = stat(r[4].c_str(), &info) == 0;
        const std::string file = there ? escape(zutest::slurp(r[4])) + " " +
                                             zutest::mode_of(arg(r[4])) + " " +
                                             std::to_string(info.st_uid)
                                       : "none";
        return words(s, "[" + file + "]",
                     "w" + std::to_string(work_files(std::filesystem::path(r[4]).parent_path())));
    }
    if (op == "al") {  // al NAME VALUE, into a stream that cannot be written
        FILE *full = std::fopen("/dev/full", "w");
        setvbuf(full, nullptr, _IONBF, 0);
        const unsigned s = zusdal(full, arg(r[2]), '=', arg(r[3]));
        return std::fclose(full), words(s);
    }
    // race FILE: four updaters at once, each setting every fourth of n0=v ... n99=v: how many
    // failed, whether every entry landed once beside the lines nobody touched, the companions.
    if (op == "race") {
        zusdmy_wait = 60000;  // locks are not fair: one updater may wait for many updates
        int failed = 0;
        for (int p = 0; p < 4; ++p)
            if (fork() == 0) {
                for (int i = p; i < 100; i += 4)
                    failed +=
                        zusdmy(("n" + std::to_string(i)).c_str(), "v", r[2].c_str(), nullptr) != 0;
                _exit(failed);
            }
        for (int status = 0; wait(&status) > 0;) failed += status != 0;
        std::vector<std::string> got = zutest::split(zutest::slurp(r[2]), '\n'), want = {""};
        for (int i = 0; i < 100; ++i) want.push_back("n" + std::to_string(i) + "=v");
        want.insert(want.end(), {"# settings", "base=1"});
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        return words(failed, got == want ? "all" : "lost",
                     "w" + std::to_string(work_files(std::filesystem::path(r[2]).parent_path())));
    }
    // killed FILE: an updater stopped before its rename while it holds the lock (whether it got
    // there, the companions then), a second one giving up after its bounded wait, the holder
    // killed, the file then, a third update, the file after it.
    if (op == "killed") {
        alarm(30);  // a wait that never ends fails the row
        int ready[2];
        if (pipe(ready) != 0) return std::string("no pipe");
        const pid_t holder = fork();
        if (holder == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the row's child
            g_ready = ready[1];
            zusd_rename = stop_before_rename;
            _exit(static_cast<int>(zusdmy("b", "2", r[2].c_str(), nullptr)));
        }
        close(ready[1]);
        char c = 0;
        const bool held = read(ready[0], &c, 1) == 1;
        const int work = work_files(std::filesystem::path(r[2]).parent_path());
        zusdmy_wait = 50;
        const unsigned waited = zusdmy("c", "3", r[2].c_str(), nullptr);
        const bool killed = kill(holder, SIGKILL) == 0 && waitpid(holder, nullptr, 0) == holder;
        const std::string before = escape(zutest::slurp(r[2]));
        const unsigned s = zusdmy("d", "4", r[2].c_str(), nullptr);
        return words(held, work, waited, killed, before, s, escape(zutest::slurp(r[2])));
    }
    tzset();
    char buf[ZUSD_PATHSZ];
    std::snprintf(buf, sizeof buf, "%s", r.size() > 2 ? r[2].c_str() : "");
    if (op == "up") {  // up PATH: the parts (filled with 'x' before), then their join
        char p[4][ZUSD_LEADSZ];
        std::memset(p, 'x', sizeof p);
        for (auto &part : p) part[ZUSD_LEADSZ - 1] = '\0';
        p[3][ZUSD_EXTSZ - 1] = '\0';
        const std::string s = status(zusdup(arg(r[2]), p[0], p[1], p[2], p[3]));
        const std::string parts =
            words(s, "[" + std::string(p[0]) + "|" + p[1] + "|" + p[2] + "|" + p[3] + "]");
        return s != "0" ? parts : words(parts, status(zusdcm(buf, p[0], p[1], p[2], p[3])), buf);
    }
    if (op == "cm") {  // cm LEAD DIR BASE EXT; a base of "=" is the output buffer, holding "x"
        std::strcpy(buf, "x");
        const std::string s =
            status(zusdcm(buf, arg(r[2]), arg(r[3]), r[4] == "=" ? buf : arg(r[4]), arg(r[5])));
        return words(s, "[" + std::string(buf) + "]");
    }
    if (op == "cf") {
        char base[ZUSD_BASESZ], ext[ZUSD_EXTSZ];
        std::snprintf(base, sizeof base, "%s", r[2].c_str());
        std::snprintf(ext, sizeof ext, "%s", r[3].c_str());
        const std::string s = status(zusdcf(base, ext));
        return words(s, "[" + std::string(base) + "|" + ext + "]");
    }
    if (op == "fsf") return words(status(zusdfsf(buf, std::stoi(r[3]), std::stoi(r[4]))), buf);
    if (op == "pt") return zusdpt(buf), "[" + escape(buf) + "]";
    if (op == "dr") return words(zusddr(buf), buf);
    const std::string moved = op == "sd"   ? status(zusdsd(r[2].c_str()))
                              : op == "cr" ? status(zusdcr(buf))
                                           : "";  // the status first: the report reads what it left
    if (char now[ZUSD_PATHSZ]; op == "sd" || op == "cr")  // and the directory it left
        return words(moved, op == "cr" ? buf : "", zusdwd(now, sizeof now) == 0 ? now : "?");
    if (op == "wd") {
        const unsigned got = zusdwd(buf, static_cast<uint16_t>(std::stoul(r[2])));
        const std::string report = words(status(got), got != 0 ? "" : buf);
        // The record names the buffer's address, which varies.
        const std::string log = zutest::slurp(zusdlg_filename);
        zutest::spit(zusdlg_filename, std::regex_replace(log, std::regex("0x[0-9a-f]+"), "0x?"));
        return report;
    }
    if (op == "err") {  // err FILE, then ERRNO:TEXT for each record
        int result = 0;
        const size_t fds = zutest::open_files();
        for (size_t i = 3; i < r.size(); ++i)
            errno = std::stoi(r[i]), result = zusderr("%s", r[i].c_str() + r[i].find(':') + 1);
        const int after = errno;
        const bool leaked = zutest::open_files() != fds;
        return words(result, after, zusdlg_level, leaked ? "descriptors left open" : "",
                     file_report(r[2].c_str()));
    }
    if (op == "lg") {
        const int result = zusdlg(arg(r[2]), std::stoul(r[3]));
        return words(result, zusdlg_level, shown(zusdlg_filename));
    }
    if (op == "la") {
        FILE *log = zusdla(static_cast<unsigned>(std::stoul(r[2])));
        return log != nullptr ? (std::fclose(log), "open") : "null";
    }
    if (const int e = op == "es" ? std::stoi(r[2]) : 0; op == "es")
        return words(zusdes(e), zusdest(e), zusdesm(e));
    char text[21] = "";
    time_t t = 7;
    if (op == "du") {
        t = static_cast<time_t>(std::stoll(r[2]));
        const int n = zusddu(&t, text, std::stoi(r[3]));
        return words(n, zusddl(&t), "[" + std::string(text) + "]");
    }
    // dp TEXT: the parser's status and fields, then zusddp's value and whether *t holds it.
    if (op == "dp") {
        struct tm tm;
        std::memset(&tm, 1, sizeof tm);
        const unsigned parsed = zusdbt(arg(r[2]), nullptr, &tm);
        const time_t value = zusddp(&t, arg(r[2]));
        return words(parsed, tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     tm.tm_isdst, value, t == value);
    }
    if (op == "now") {  // stored and returned alike, and its display text reads back to it
        const time_t now = zusdgd(&t);
        zusddu(&now, text, 0);
        return words(now == t, now > 1700000000, zusddp(nullptr, text) == now);
    }
    return "unknown operation " + op;
}

std::string root;

// A variable store for the settings loader: keys, handles and values are
// all the name itself; a value "(null)" is one without a text. Calls with
// another store add "?" to the events.
std::map<std::string, std::string> values;
std::string events;
const char *name(void *store, void *key) {
    return events += store == &values ? "" : "?", static_cast<char *>(key);
}
void *key(void *s, void *, const char *text) {
    return name(s, const_cast<char *>(text)), const_cast<char *>(text);
}
void *find(void *s, void *, void *k, void *, void *) {
    return events += " find:" + std::string(name(s, k)), k;
}
int present(void *s, void *h) {
    return values.count(name(s, h)) != 0;
}
void *value(void *s, void *h) {
    return name(s, h), h;
}
const char *text(void *s, void *v) {
    return values[name(s, v)] == "(null)" ? nullptr : values[name(s, v)].c_str();
}
void release(void *s, void *v) {
    events += " release:" + std::string(name(s, v));
}

// The volume table's set-up items besides setup_item's (statvfs:, set:):
// insert:DIR (the volume in the drive, none when empty) and stdin:TEXT. The
// lab comes before them all: its settings are the rows' to change.
std::optional<zutest::VolumeLab> lab;
bool volume_item(const std::string &item) {
    const std::string value = item.substr(item.find(':') + 1);
    if (!lab) lab.emplace(root);
    if (item.starts_with("insert:")) lab->insert(value.empty() ? "" : root + "/" + value);
    if (item.starts_with("stdin:"))
        zutest::spit(root + "/in", value), dup2(open((root + "/in").c_str(), O_RDONLY), 0);
    return item.starts_with("insert:") || item.starts_with("stdin:");
}

// Volumes.
std::string volume(const std::vector<std::string> &r) {
    if (!lab) lab.emplace(root);
    const std::string &op = r[1];
    unsigned s = 99;
    std::string out;
    const unsigned number = op == "fgv" && r[3] != "-" ? std::stoul(r[3]) : 0;
    if (op == "fgv") s = zusdfgv(nullptr, arg(r[2]), r[3] == "-" ? nullptr : &number);
    // cv NAME LABEL NUM RESAVE WRONG, then what each prompt does: DIR (insert it), at:PLACE>DIR,
    // cancel; '-' for no prompt.
    if (op == "cv") {
        size_t next = 7;
        lab->action = [&](zutest::VolumeLab &l, char *location, unsigned, int *cancel) {
            const std::string act = next < r.size() ? r[next++] : "cancel";
            *cancel = act == "cancel";
            if (act.starts_with("at:"))
                std::snprintf(location, ZUSD_VOLSETSZ, "%s \t\n",
                              act.substr(3, act.find('>') - 3).c_str());
            if (!*cancel) l.insert(root + "/" + act.substr(act.find('>') + 1));
        };
        const bool none = r.size() > 7 && r[7] == "-";
        s = zusdfcv(nullptr, r[2].c_str(), r[3].c_str(), std::stoul(r[4]), std::stoi(r[5]),
                    none ? nullptr : zutest::VolumeLab::prompt, &*lab, std::stoi(r[6]));
        for (const auto &call : lab->calls) out += call + " ";
        out += std::string(whtdsk) + " " + owhtdsk;
    }
    // Then what the scripts did, whether a volume is mounted, the floppy log.
    if (op == "fgv" || op == "cv") {
        const bool in = zutest::exists(std::string(whtdsk) + "/VOLUME.ID");
        return words(s, out, "[" + zutest::escape(lab->log()) + "]", in ? "in" : "out",
                     zutest::escape(zutest::slurp(floppylog)));
    }
    if (op == "vi") {  // vi NAME=TEXT...: status, the four settings, the store's events
        for (size_t i = 2; i < r.size(); ++i) {
            const size_t eq = r[i].find('=');
            values[r[i].substr(0, eq)] = eq == std::string::npos ? "(null)" : r[i].substr(eq + 1);
        }
        s = zusdvi(&values, nullptr, find, key, nullptr, nullptr, present, value, text, release);
        const std::string settings =
            std::string(whtdsk) + "|" + mntcmd + "|" + umntcmd + "|" + floppylog;
        return words(s, "[" + settings + "]", events.substr(1));
    }
    // Sizes of the real file system are reported as whether they are above 0.
    std::uint32_t n = 7;
    const bool real = zusd_statvfs != zutest::fake_statvfs;
    const char *path = r[2].c_str();
    if (op == "fs" || op == "fpv" || op == "bs") {
        s = op == "fs" ? zusdfs(path, &n) : op == "bs" ? zusdbs(path, &n) : zusdfpv(path, -1, &n);
        return words(s, real ? n > 0 : n);
    }
    if (op == "cs") return words(zusdcs(path, static_cast<std::uint32_t>(std::stoul(r[3]))));
    for (size_t i = 3; op == "fvp" && i < r.size(); ++i) {  // fvp SIZE NUMBER...
        const size_t size = std::stoul(r[2]);
        std::vector<char> answer(size + 4, '#');
        zusdfvp(answer.data(), "/mnt", "Disk", std::stol(r[i]), size);
        out += (i > 3 ? " [" : "[") + std::string(answer.data()) + "]" +
               (answer[size] == '#' ? "" : "!");
    }
    return out.empty() ? "unknown operation " + op : out;
}

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

// Users, groups and the platform; processes.
std::string users_and_processes(const std::vector<std::string> &r) {
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

TEST(SzusdTables, EveryRowReportsAsRecorded) {
    zutest::TempDir dir;  // "/tmp/zutest" and six: the rows of long paths count on it
    struct statvfs vfs {};
    ASSERT_EQ(statvfs(dir.c_str(), &vfs), 0);
    for (const char *table :
         {"szusd_path_cases.tsv", "szusd_log_cases.tsv", "szusd_time_cases.tsv"})
        zutest::check_rows(table, "szusd_path_tree.tsv", {{"$D", dir.str()}}, files);
    zutest::check_rows("szusd_file_cases.tsv", "szusd_file_tree.tsv",
                       {{"$D", dir.str()},
                        {"$LONG", dir.str() + zutest::expand("@{20*/@{99*d}}", {})},
                        {"$BLK", std::to_string(vfs.f_frsize)}},
                       files);
    zutest::check_rows("szusd_deffile_cases.tsv", "szusd_deffile_tree.tsv", {{"$D", dir.str()}},
                       files);
    cpu_set_t set;  // the cores this process may use
    const int cpus = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
    zutest::check_rows("szusd_proc_cases.tsv", "szusd_proc_tree.tsv",
                       {{"$D", dir.str()}, {"$CPUS", std::to_string(cpus)}}, users_and_processes,
                       own_item);
    root = dir.str();
    zutest::check_rows("szusd_volume_cases.tsv", "szusd_volume_tree.tsv",
                       {{"$D", dir.str()}, {"@SRC", ZU_TEST_SOURCE_DIR}}, volume, volume_item);
}

TEST(SzusduTable, EveryRowReportsAsRecorded) {
    if (geteuid() != 0 || getpwnam("nobody") == nullptr || getgrnam("nogroup") == nullptr)
        GTEST_SKIP() << "the tree has files of root and nobody:nogroup";
    zutest::TempDir dir{"zusdu"};  // "/tmp/zusdu" and six: the long-path rows count on it
    zutest::check_rows("szusdu_cases.tsv", "szusdu_tree.tsv", {{"$D", dir.str()}},
                       users_and_processes, own_item);
}

}  // namespace
