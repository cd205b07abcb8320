// Record keeping shared by the stand-in viewers: every line goes, in one
// write, to "<program path>.log", prefixed with the process id, so that the
// test can follow several viewer runs in one file.
#ifndef STANDIN_LOG_H
#define STANDIN_LOG_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace standin {

inline std::string log_path(const char *argv0) { return std::string(argv0) + ".log"; }

inline void log_line(const std::string &path, const std::string &tag, const std::string &text) {
    const std::string line = std::to_string(getpid()) + " " + tag + " " + text + "\n";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
}

/* Bytes made visible: CR, LF, backslash and other control bytes escaped. */
inline std::string escape(const std::string &raw) {
    std::string out;
    for (const unsigned char c : raw) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 32 || c > 126) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

/* The record every run starts with: arguments and working directory. */
inline void log_start(const std::string &path, int argc, char **argv) {
    log_line(path, "run", std::to_string(argc - 1));
    for (int i = 1; i < argc; ++i) log_line(path, "arg", escape(argv[i]));
    char cwd[4096];
    log_line(path, "cwd", getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?");
}

}  // namespace standin

#endif
