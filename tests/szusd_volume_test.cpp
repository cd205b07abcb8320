// Volume services: the identification check, the prompt loop with its
// last-attempt flag, settings loading, free space and block size (real and
// through the statvfs seam) and the console prompt's bounded read. Each row
// of szusd_volume_cases.tsv runs in a forked child with a volume lab
// (volume/lab.h) in a tree made afresh from szusd_volume_tree.tsv.
#include "szusd.h"
#include "volume/lab.h"

#include <fcntl.h>
#include <map>
#include <sys/statvfs.h>

namespace {

using zutest::arg;
using zutest::words;

std::string root;
struct statvfs fake {};
int fake_errno;
int fake_statvfs(const char *, struct statvfs *to) { return fake_errno != 0 ? errno = fake_errno, -1 : (*to = fake, 0); }

// A variable store for the settings loader: keys, handles and values are
// all the name itself; a name without '=' is present without a text.
struct Store {
    std::map<std::string, std::string> values;
    std::vector<std::string> events;
    std::string keys[8];
    int nkeys = 0;
    static Store &of(void *s) { return *static_cast<Store *>(s); }
    static const std::string &name(void *key) { return *static_cast<std::string *>(key); }
    static void *key(void *s, void *, const char *text) { return &(of(s).keys[of(s).nkeys++] = text); }
    static void *find(void *s, void *, void *k, void *, void *) { return of(s).events.push_back("find:" + name(k)), k; }
    static int present(void *s, void *h) { return of(s).values.count(name(h)) != 0; }
    static void *value(void *, void *h) { return h; }
    static const char *text(void *s, void *v) {
        const std::string &t = of(s).values[name(v)];
        return t == "(null)" ? nullptr : t.c_str();
    }
    static void release(void *s, void *v) { of(s).events.push_back("release:" + name(v)); }
};

// Set-up items: insert:DIR (the volume in the drive, none when empty),
// fake:FRSIZE/AVAIL/ERRNO (the statvfs seam), stdin:TEXT, set:SETTING=VALUE.
std::string run(const std::vector<std::string> &r) {
    zutest::VolumeLab lab;
    lab.SetUp(root);
    for (const auto &item : zutest::split(r[0], '|')) {
        const std::string value = item.substr(item.find(':') + 1);
        const auto v = zutest::split(value, '/');
        if (item.starts_with("insert:")) lab.insert(value.empty() ? "" : root + "/" + value);
        if (item.starts_with("fake:")) fake.f_frsize = std::stoul(v[0]), fake.f_bavail = std::stoull(v[1]), fake_errno = std::stoi(v[2]), zusd_statvfs = fake_statvfs;
        if (item.starts_with("stdin:")) zutest::spit(root + "/in", value), dup2(open((root + "/in").c_str(), O_RDONLY), 0);
        for (const auto &[name, to] : {std::pair{"whtdsk=", whtdsk}, {"mntcmd=", mntcmd}, {"floppylog=", floppylog}})
            if (item.starts_with("set:") && value.starts_with(name)) std::snprintf(to, ZUSD_VOLSETSZ, "%s", value.c_str() + std::strlen(name));
    }
    const std::string &op = r[1];
    unsigned s = 99;
    std::string out;
    const unsigned number = op == "fgv" && r[3] != "-" ? std::stoul(r[3]) : 0;
    if (op == "fgv") s = zusdfgv(nullptr, arg(r[2]), r[3] == "-" ? nullptr : &number);
    if (op == "cv") {  // NAME LABEL NUM RESAVE WRONG, then what each prompt does: DIR to insert, at:PLACE>DIR, cancel; '-' no prompt
        size_t next = 7;
        lab.action = [&](zutest::VolumeLab &l, char *location, unsigned, int *cancel) {
            const std::string act = next < r.size() ? r[next++] : "cancel";
            *cancel = act == "cancel";
            if (act.starts_with("at:")) std::snprintf(location, ZUSD_VOLSETSZ, "%s \t\n", act.substr(3, act.find('>') - 3).c_str());
            if (!*cancel) l.insert(root + "/" + act.substr(act.find('>') + 1));
        };
        s = zusdfcv(nullptr, r[2].c_str(), r[3].c_str(), std::stoul(r[4]), std::stoi(r[5]), r.size() > 7 && r[7] == "-" ? nullptr : zutest::VolumeLab::prompt, &lab, std::stoi(r[6]));
        for (const auto &call : lab.calls) out += " " + call;
        out += " " + std::string(whtdsk) + " " + owhtdsk;
    }
    if (op == "fgv" || op == "cv") {  // then what the scripts did, whether a volume is mounted, the floppy log
        const std::string flog = zutest::slurp(floppylog);
        return words(s, out.empty() ? "" : out.substr(1), "[" + zutest::escape(lab.log()) + "]", zutest::exists(std::string(whtdsk) + "/VOLUME.ID") ? "in" : "out", zutest::escape(flog));
    }
    if (op == "vi") {  // NAME=TEXT...: status, the four settings, the store's events
        Store store;
        for (size_t i = 2; i < r.size(); ++i) store.values[r[i].substr(0, r[i].find('='))] = r[i].find('=') == std::string::npos ? "(null)" : r[i].substr(r[i].find('=') + 1);
        s = zusdvi(&store, nullptr, Store::find, Store::key, nullptr, nullptr, Store::present, Store::value, Store::text, Store::release);
        for (const auto &e : store.events) out += " " + e;
        return words(s, "[" + std::string(whtdsk) + "|" + mntcmd + "|" + umntcmd + "|" + floppylog + "]", out.substr(1));
    }
    std::uint32_t n = 7;
    const bool real = zusd_statvfs != fake_statvfs;  // real sizes are reported as whether they are above 0
    if (op == "fs" || op == "fpv" || op == "bs") s = op == "fs" ? zusdfs(r[2].c_str(), &n) : op == "bs" ? zusdbs(r[2].c_str(), &n) : zusdfpv(r[2].c_str(), -1, &n);
    if (op == "fs" || op == "fpv" || op == "bs") return words(s, real ? n > 0 : n);
    if (op == "cs") return words(zusdcs(r[2].c_str(), static_cast<std::uint32_t>(std::stoul(r[3]))));
    for (size_t i = 3; op == "fvp" && i < r.size(); ++i) {  // SIZE, then the volume numbers asked for
        std::vector<char> answer(std::stoul(r[2]) + 4, '#');
        zusdfvp(answer.data(), "/mnt", "Disk", std::stol(r[i]), std::stoul(r[2]));
        out += (i > 3 ? " [" : "[") + std::string(answer.data()) + "]" + (answer[std::stoul(r[2])] == '#' ? "" : "!");
    }
    return out.empty() ? "unknown operation " + op : out;
}

TEST(SzusdVolumeTable, EveryRowReportsAsRecorded) {
    zutest::TempDir dir{"zuvolume"};
    root = dir.str();
    zutest::check_rows("szusd_volume_cases.tsv", "szusd_volume_tree.tsv", {{"$D", dir.str()}, {"@SRC", ZU_TEST_SOURCE_DIR}}, run);
}

}  // namespace
