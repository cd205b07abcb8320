// Processes, the shell, interrupts and the volume mount commands. Each row
// of szusd_proc_cases.tsv (set-up, operation, arguments) runs in a forked
// child with its own process group on a tree made afresh from
// szusd_proc_tree.tsv; what it reports, printed and logged must equal the
// row's last cell (see zutest::check_rows). A property test checks that any
// name handed to the shell arrives as one word and runs nothing.
#include "szusd.h"
#include "szusdu.h"
#include "testutil.h"

#include <csignal>
#include <random>

namespace {

using zutest::arg;
using zutest::shown;
using zutest::words;

// What a named file holds (escaped) and its permission bits ("none").
std::string file_report(const char *path) {
    return path && *path ? "[" + zutest::escape(zutest::slurp(path)) + " " + zutest::mode_of(path) + "]" : "";
}

// The interrupt hooks print a letter each, with '?' when their arguments
// are not the ones registered.
int window = 1, tk = 2, mm = 3;
void *context[1] = {&window}, *nowindow[1] = {nullptr};
void ui_down(void *c, int how) { std::printf(c != nullptr && how == 0 ? "u" : "u?"); }
void tk_down(void *t) { std::printf(t == &tk ? "t" : "t?"); }
void win_down(void *t, void *w) { std::printf(t == &tk && w == &window ? "w" : "w?"); }
void mm_reset(void *m) { std::printf(m == &mm ? "m" : "m?"); }

// The volume settings, for set-up items set:NAME=VALUE.
const std::pair<std::string, char *> settings[] = {{"set:whtdsk", whtdsk},   {"set:mntcmd", mntcmd},   {"set:umntcmd", umntcmd},
                                                   {"set:floppylog", floppylog}, {"set:prevmnt", prevmnt}, {"set:prevumnt", prevumnt}};

std::string run(const std::vector<std::string> &r) {
    for (const auto &item : zutest::split(r[0], '|')) {
        const size_t eq = item.find('=');
        for (const auto &[name, to] : settings)
            if (item.substr(0, eq) == name) std::snprintf(to, ZUSD_VOLSETSZ, "%s", item.c_str() + eq + 1);
        if (!item.starts_with("set:") && item != "-" && !zutest::setup_item(item)) return "set-up failed: " + item;
    }
    const std::string &op = r[1];
    int code = 77, s = 0;
    if (op == "sp") return s = zusdsp(arg(r[2]), arg(r[3]), arg(r[4]), &code), words(s, code, file_report(arg(r[3])), file_report(arg(r[4])));
    if (op == "sy") return s = zusdsy(arg(r[2]), &code), words(s, code);
    if (op == "sh") return s = zutest::env_owned(zusdsh), words(s, shown(std::getenv("SHELL")), file_report(arg(r[2])));
    if (op == "vol") {
        s = r[2] == "m" ? zusdufm(std::stoi(r[3])) : zusdufu(std::stoi(r[3]));
        return words(s, r[2] == "m" ? prevmnt : prevumnt, file_report(floppylog));
    }
    if (op == "sig") {  // context, toolkit, memory manager, the hooks given, then the actions
        const auto has = [&](char hook) { return r[5].find(hook) != std::string::npos; };
        zusdss(r[2] == "win" ? context : r[2] == "nowin" ? nowindow : nullptr, r[3] == "-" ? nullptr : &tk, r[4] == "-" ? nullptr : &mm, has('u') ? ui_down : nullptr,
               has('t') ? tk_down : nullptr, has('w') ? win_down : nullptr, has('m') ? mm_reset : nullptr);
        for (const auto &act : zutest::split(r[6], ' ')) act == "sa" ? zusdsa() : act == "sr" ? zusdsr() : (void)raise(SIGINT);
        return "done";
    }
    if (op == "cu") {  // a sibling in the group, waiting at most ten seconds
        const pid_t sibling = fork();
        if (sibling == 0) alarm(10), pause(), _exit(9);
        zusdcu();
        const bool ignored = std::signal(SIGINT, SIG_IGN) == SIG_IGN;  // what zusdcu left
        return words(waitpid(sibling, &s, 0) == sibling && WIFSIGNALED(s) ? WTERMSIG(s) : -1, ignored);
    }
    if (op == "ms") return zusdms(arg(r[2]), arg(r[3]), std::stoi(r[4])), "done";
    std::string text;  // errno is read once zusdio is done with it
    if (op == "io") return errno = std::stoi(r[2]), text = shown(zusdio()), words(text, errno);
    return "unknown operation " + op;
}

TEST(SzusdProcTable, EveryRowReportsAsRecorded) {
    zutest::TempDir root{"zuproc"};
    zutest::check_rows("szusd_proc_cases.tsv", "szusd_proc_tree.tsv", {{"$D", root.str()}}, run);
}

// Names with blanks, quotes, ';', '$(...)' and the like, appended to the
// mount command as one quoted word: the command sees exactly that one
// argument, nothing in it runs, and a line without room is left as it was.
TEST(SzusdProcQuoting, AnyNameReachesTheCommandAsOneWord) {
    zutest::TempDir root{"zuquote"};
    const std::string log = root / "flog", ran = root / "ran";
    const std::vector<std::string> bits = {"a", " ", ";", "'", "\"", "\\", "$(touch " + ran + ")", "`touch " + ran + "`",
                                           "|", "&", "*", "\n", "$HOME", "${x}", "''", "#", "~", "!", "\t", ">x"};
    std::snprintf(mntcmd, sizeof mntcmd, "%s", "f(){ printf '%s:%s' \"$#\" \"$1\" >&2; }; f");
    std::snprintf(floppylog, sizeof floppylog, "%s", log.c_str());
    std::mt19937 random(11);
    for (int i = 0; i < 80; ++i) {
        std::string word, quoted = "'";
        for (int n = static_cast<int>(random() % 9); n-- > 0;) word += bits[random() % bits.size()];
        for (const char c : word) quoted += c == '\'' ? "'\\''" : std::string(1, c);
        quoted += "'";
        std::vector<char> line(1 + random() % (quoted.size() + 8), '#');
        const std::string before = std::string("cmd ").substr(0, line.size() - 1);
        std::snprintf(line.data(), line.size(), "%s", before.c_str());
        const bool fits = before.size() + quoted.size() < line.size();
        EXPECT_EQ(zusdqw(line.data(), line.size(), word.c_str()), fits ? 0u : unsigned{ZUSD_TOOLONG}) << word;
        EXPECT_EQ(std::string(line.data()), fits ? before + quoted : before) << word;
        std::snprintf(whtdsk, sizeof whtdsk, "%s", word.c_str());
        unlink(log.c_str());
        EXPECT_EQ(zusdufm(0), 0) << word;
        EXPECT_EQ(zutest::slurp(log), "1:" + word);
        EXPECT_EQ(std::string(prevmnt), std::string(mntcmd) + " " + quoted);
    }
    EXPECT_FALSE(zutest::exists(ran));
}

}  // namespace
