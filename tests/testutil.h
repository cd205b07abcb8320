// Helpers shared by the tests: a temporary directory that removes itself,
// whole-file reads and writes, the error log pointed into a test's directory,
// and a forked child with its own process group for anything that changes
// process-wide state (signals, working directory, environment, identity).
#ifndef ZU_TESTS_TESTUTIL_H
#define ZU_TESTS_TESTUTIL_H

#include "szusd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <type_traits>
#include <vector>
#include <unistd.h>

namespace zutest {

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A sample file of tests/data, whole. A file that is missing or empty fails
// the calling test with the file's name, so a broken checkout never passes
// for empty data.
inline std::string data(const std::string &name) {
    const std::string path = std::string(ZU_TEST_DATA_DIR) + "/" + name;
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    if (!in || ss.str().empty()) ADD_FAILURE() << "missing test data file " << path;
    return ss.str();
}

// The rows of a tab-separated table of tests/data: lines that are empty or
// start with '#' are skipped, the rest split on tabs. A missing table fails
// the calling test naming the file (see data()).
inline std::vector<std::vector<std::string>> table(const std::string &name) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(data(name));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> row;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) row.push_back(cell);
        rows.push_back(row);
    }
    return rows;
}

inline void spit(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// True when anything (even a dangling symbolic link) has the name.
inline bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Removes a tree, first giving back the owner's rights to directories a
// test locked, without following symbolic links.
inline void remove_tree(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    chmod(path.c_str(), 0700);
    if (DIR *d = opendir(path.c_str())) {
        while (const dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") remove_tree(path + "/" + name);
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

// A directory made by mkdtemp under /tmp, removed with all it holds.
class TempDir {
  public:
    explicit TempDir(const std::string &prefix = "zutest") {
        std::string tmpl = "/tmp/" + prefix + "XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        path_ = tmpl;
    }
    ~TempDir() { remove_tree(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &str() const { return path_; }
    const char *c_str() const { return path_.c_str(); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    // Writes `text` to the named file inside and returns its path.
    std::string file(const std::string &name, const std::string &text = "") const {
        spit(*this / name, text);
        return *this / name;
    }

  private:
    std::string path_;
};

// The error log of class-1 records written to `path` while this lives.
class LogTo {
  public:
    explicit LogTo(const std::string &path) : path_(path) {
        EXPECT_EQ(zusdlg(path.c_str(), 1), 1);
    }
    ~LogTo() {
        zusdlg_level = 0;
        std::free(zusdlg_filename);
        zusdlg_filename = nullptr;
    }
    LogTo(const LogTo &) = delete;
    LogTo &operator=(const LogTo &) = delete;
    std::string text() const { return slurp(path_); }
    bool has(const std::string &record) const { return text().find(record) != std::string::npos; }

  private:
    std::string path_;
};

// Runs `fn` in a forked child that has its own process group, so nothing it
// does can reach the test runner, and returns the child's exit code (128 +
// the signal number when a signal ended it, -1 when it could not be run).
// Failed gtest checks in a child are printed but never reach the parent: a
// `fn` that returns int chooses the exit code; one that returns nothing
// exits 1 when any of its checks failed.
template <class Fn>
int run_in_child(Fn &&fn) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        setpgid(0, 0);
        int code;
        if constexpr (std::is_void_v<decltype(fn())>) {
            fn();
            code = ::testing::Test::HasFailure() ? 1 : 0;
        } else {
            code = fn();
        }
        std::fflush(nullptr);
        _exit(code);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) != pid)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace zutest

namespace zutest {

// A table cell as the bytes it stands for: \n, \r, \t, \\ and \xHH escape
// a byte, and {N:text} stands for N copies of text (for long inputs).
inline std::string unescape(const std::string &cell) {
    std::string out;
    for (std::size_t i = 0; i < cell.size(); ++i) {
        const std::size_t colon = cell.find_first_not_of("0123456789", i + 1);
        const std::size_t close = colon == std::string::npos ? colon : cell.find('}', colon);
        if (cell[i] == '{' && colon > i + 1 && close != std::string::npos && cell[colon] == ':') {
            const std::string part = unescape(cell.substr(colon + 1, close - colon - 1));
            for (unsigned long n = std::stoul(cell.substr(i + 1, colon - i - 1)); n > 0; --n)
                out += part;
            i = close;
        } else if (cell[i] != '\\' || i + 1 == cell.size()) {
            out += cell[i];
        } else if (cell[++i] == 'x') {
            out += static_cast<char>(std::stoi(cell.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += cell[i] == 'n' ? '\n' : cell[i] == 'r' ? '\r' : cell[i] == 't' ? '\t' : cell[i];
        }
    }
    return out;
}

}  // namespace zutest

#endif  // ZU_TESTS_TESTUTIL_H
