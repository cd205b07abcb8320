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
int fake_statvfs(const char *, struct statvfs *to) {
    return fake_errno != 0 ? errno = fake_errno, -1 : (*to = fake, 0);
}

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

// Set-up items: insert:DIR (the volume in the drive, none when empty),
// fake:FRSIZE/AVAIL/ERRNO (the statvfs seam), stdin:TEXT and
// set:SETTING=VALUE (zutest::setup_item).
void set_up(const std::string &items, zutest::VolumeLab &lab) {
    for (const auto &item : zutest::split(items, '|')) {
        const std::string value = item.substr(item.find(':') + 1);
        const auto v = zutest::split(value, '/');
        if (item.starts_with("insert:")) lab.insert(value.empty() ? "" : root + "/" + value);
        if (item.starts_with("fake:")) {
            fake.f_frsize = std::stoul(v[0]);
            fake.f_bavail = std::stoull(v[1]);
            fake_errno = std::stoi(v[2]);
            zusd_statvfs = fake_statvfs;
        }
        if (item.starts_with("stdin:"))
            zutest::spit(root + "/in", value), dup2(open((root + "/in").c_str(), O_RDONLY), 0);
        if (item.starts_with("set:")) zutest::setup_item(item);
    }
}

std::string run(const std::vector<std::string> &r) {
    zutest::VolumeLab lab(root);
    set_up(r[0], lab);
    const std::string &op = r[1];
    unsigned s = 99;
    std::string out;
    const unsigned number = op == "fgv" && r[3] != "-" ? std::stoul(r[3]) : 0;
    if (op == "fgv") s = zusdfgv(nullptr, arg(r[2]), r[3] == "-" ? nullptr : &number);
    // cv NAME LABEL NUM RESAVE WRONG, then what each prompt does: DIR (insert it), at:PLACE>DIR,
    // cancel; '-' for no prompt.
    if (op == "cv") {
        size_t next = 7;
        lab.action = [&](zutest::VolumeLab &l, char *location, unsigned, int *cancel) {
            const std::string act = next < r.size() ? r[next++] : "cancel";
            *cancel = act == "cancel";
            if (act.starts_with("at:"))
                std::snprintf(location, ZUSD_VOLSETSZ, "%s \t\n",
                              act.substr(3, act.find('>') - 3).c_str());
            if (!*cancel) l.insert(root + "/" + act.substr(act.find('>') + 1));
        };
        const bool none = r.size() > 7 && r[7] == "-";
        s = zusdfcv(nullptr, r[2].c_str(), r[3].c_str(), std::stoul(r[4]), std::stoi(r[5]),
                    none ? nullptr : zutest::VolumeLab::prompt, &lab, std::stoi(r[6]));
        for (const auto &call : lab.calls) out += call + " ";
        out += std::string(whtdsk) + " " + owhtdsk;
    }
    // Then what the scripts did, whether a volume is mounted, the floppy log.
    if (op == "fgv" || op == "cv") {
        const bool in = zutest::exists(std::string(whtdsk) + "/VOLUME.ID");
        return words(s, out, "[" + zutest::escape(lab.log()) + "]", in ? "in" : "out",
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
    const bool real = zusd_statvfs != fake_statvfs;
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

TEST(SzusdVolumeTable, EveryRowReportsAsRecorded) {
    zutest::TempDir dir{"zuvolume"};
    root = dir.str();
    zutest::check_rows("szusd_volume_cases.tsv", "szusd_volume_tree.tsv",
                       {{"$D", dir.str()}, {"@SRC", ZU_TEST_SOURCE_DIR}}, run,
                       [](const std::string &) { return true; });  // they need the lab: run's
}

}  // namespace
