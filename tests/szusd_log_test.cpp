// The error log and the status mapping of error numbers. Each row of
// szusd_log_cases.tsv runs in a forked child (the log settings and
// ZU_ERRORLOG are process-wide) on the tree of szusd_path_tree.tsv.
#include "szusd.h"
#include "testutil.h"

#include <regex>

namespace {

using zutest::arg;
using zutest::words;

// A file as [content mode], its records' dates as DATE once they have the
// display layout.
std::string file_report(const std::string &path) {
    static const std::regex date(R"(\d\d/\d\d/\d\d (0[1-9]|1[0-2]):\d\d:\d\d (AM|PM))");
    const std::string text = std::regex_replace(zutest::slurp(path), date, "DATE");
    return "[" + zutest::escape(text) + " " + zutest::mode_of(path.c_str()) + "]";
}

std::string run(const std::vector<std::string> &r) {
    for (const auto &item : zutest::split(r[0], '|')) {
        if (item == "off")
            std::free(zusdlg_filename), zusdlg_filename = nullptr, zusdlg_level = 0;
        else if (item.starts_with("lg:"))
            zusdlg(item.substr(3, item.rfind(':') - 3).c_str(),
                   std::stoul(item.substr(item.rfind(':') + 1)));
        else if (item != "-" && !zutest::setup_item(item))
            return "set-up failed: " + item;
    }
    const std::string &op = r[1];
    if (op == "err") {  // err FILE, then ERRNO:TEXT for each record
        int result = 0;
        const size_t fds = zutest::open_files();
        for (size_t i = 3; i < r.size(); ++i)
            errno = std::stoi(r[i]), result = zusderr("%s", r[i].c_str() + r[i].find(':') + 1);
        const int after = errno;
        const bool leaked = zutest::open_files() != fds;
        return words(result, after, zusdlg_level, leaked ? "descriptors left open" : "",
                     file_report(r[2]));
    }
    if (op == "lg") {
        const int result = zusdlg(arg(r[2]), std::stoul(r[3]));
        return words(result, zusdlg_level, zutest::shown(zusdlg_filename));
    }
    if (op == "la") {
        FILE *log = zusdla(static_cast<unsigned>(std::stoul(r[2])));
        return log != nullptr ? (std::fclose(log), "open") : "null";
    }
    if (op == "es") {
        const int e = std::stoi(r[2]);
        return words(zusdes(e), zusdest(e), zusdesm(e));
    }
    return "unknown operation " + op;
}

TEST(SzusdLogTable, EveryRowReportsAsRecorded) {
    zutest::TempDir dir{"zulog"};
    zutest::check_rows("szusd_log_cases.tsv", "szusd_path_tree.tsv", {{"$D", dir.str()}}, run);
}

}  // namespace
