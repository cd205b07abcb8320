// Path names (split and join, the `_` naming, the volume digit, typed-path
// normalisation, the bounds of the part buffers, the current-directory
// services), the error log with the status mapping of error numbers, and the
// date layouts with the parser that reads the display layout back. Each row
// of szusd_path_cases.tsv, szusd_log_cases.tsv and szusd_time_cases.tsv runs
// in a forked child (the directory services change the working directory;
// the log settings, ZU_ERRORLOG and the time zone are process-wide) on the
// tree of szusd_path_tree.tsv; what it reports and logs must equal its last
// cell.
#include "szusd.h"
#include "testutil.h"

#include <regex>

namespace {

using zutest::arg;
using zutest::escape;
using zutest::status;
using zutest::words;

std::string cwd() {
    char now[ZUSD_PATHSZ];
    return zusdwd(now, sizeof now) == ZUSD_OK ? now : "?";
}

std::string run(const std::vector<std::string> &r) {
    tzset();
    const std::string &op = r[1];
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
    const std::string s = op == "sd"   ? status(zusdsd(r[2].c_str()))
                          : op == "cr" ? status(zusdcr(buf))
                                       : "";  // the status first: the report reads what it left
    if (op == "sd" || op == "cr") return words(s, op == "cr" ? buf : "", cwd());
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
                     zutest::file_report(r[2].c_str()));
    }
    if (op == "lg") {
        const int result = zusdlg(arg(r[2]), std::stoul(r[3]));
        return words(result, zusdlg_level, zutest::shown(zusdlg_filename));
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

TEST(SzusdPathTables, EveryRowReportsAsRecorded) {
    zutest::TempDir dir{"zupath"};
    ASSERT_EQ(dir.str().size(), 17u);  // the rows of the directory buffer count on it
    for (const char *table :
         {"szusd_path_cases.tsv", "szusd_log_cases.tsv", "szusd_time_cases.tsv"})
        zutest::check_rows(table, "szusd_path_tree.tsv", {{"$D", dir.str()}}, run);
}

}  // namespace
