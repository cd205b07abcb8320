// Path names: split and join, the `_` naming, the volume digit, typed-path
// normalisation, the bounds of the part buffers and the current-directory
// services. Each row of szusd_path_cases.tsv runs in a forked child (the
// directory services change the working directory) on the tree of
// szusd_path_tree.tsv; what it reports and logs must equal its last cell.
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
    for (const auto &item : zutest::split(r[0], '|'))
        if (item != "-" && !zutest::setup_item(item)) return "set-up failed: " + item;
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
                                       : "";
    if (op == "sd") return words(s, cwd());
    if (op == "wd") {
        const unsigned got = zusdwd(buf, static_cast<uint16_t>(std::stoul(r[2])));
        const std::string report = words(status(got), got != 0 ? "" : buf);
        // The record names the buffer's address, which varies.
        const std::string log = zutest::slurp(zusdlg_filename);
        zutest::spit(zusdlg_filename, std::regex_replace(log, std::regex("0x[0-9a-f]+"), "0x?"));
        return report;
    }
    if (op == "cr") return words(s, buf, cwd());
    return "unknown operation " + op;
}

TEST(SzusdPathTable, EveryRowReportsAsRecorded) {
    zutest::TempDir dir{"zupath"};
    ASSERT_EQ(dir.str().size(), 17u);  // the rows of the directory buffer count on it
    zutest::check_rows("szusd_path_cases.tsv", "szusd_path_tree.tsv", {{"$D", dir.str()}}, run);
}

}  // namespace
