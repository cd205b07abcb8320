// Stand-in for both help viewers, installed by the help tests as "gtrc" and
// "gtr". Every run appends lines "<pid> <tag> <text>", each in one write, to
// "<program path>.log": "run", one "arg" per argument, "cwd", then what it did.
//
// As "gtrc" (character mode) it records LYNX_HELP and ends as a user leaving
// it would. As "gtr" (graphical) it listens on the control socket that the
// launcher bound and handed over (the descriptor in ZU_HELP_CONTROL_FD),
// records its address ("listening") and every command line ("cmd", CR and LF
// escaped) and answers each with "OK\r\n"; "Exit,0" makes it end. The
// graphical behaviour is chosen through the environment inherited from the
// installer:
//   GTR_STANDIN_DEAF     set: the first run (no log yet) never listens
//   GTR_STANDIN_DROP     after answering this many commands on a connection,
//                        half-close it and then reset it
//   GTR_STANDIN_HANGUP   close the connection instead of answering command
//                        number this plus one
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string g_log;

void log_line(const std::string &tag, const std::string &text) {
    const std::string line = std::to_string(getpid()) + " " + tag + " " + text + "\n";
    const int fd = open(g_log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    if (write(fd, line.data(), line.size()) < 0) std::perror("write");
    close(fd);
}

/* Bytes made visible: CR and LF as \r and \n, a backslash and other bytes
 * outside printable ASCII in hex. */
std::string escape(const std::string &raw) {
    std::string out;
    for (const unsigned char c : raw) {
        char buf[8] = {static_cast<char>(c)};
        if (c < 32 || c > 126 || c == '\\') std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : buf;
    }
    return out;
}

void reset_close(int fd) {
    const linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

/* One control connection; true when the viewer was told to exit. */
bool serve(int fd, int drop, int hangup) {
    std::string pending;
    char chunk[4096];
    ssize_t n;
    for (int answered = 0; (n = read(fd, chunk, sizeof chunk)) > 0;) {
        pending.append(chunk, static_cast<size_t>(n));
        for (size_t eol; (eol = pending.find("\r\n")) != std::string::npos;) {
            const std::string cmd = pending.substr(0, eol + 2);
            pending.erase(0, eol + 2);
            log_line("cmd", escape(cmd));
            if (answered == hangup) {
                close(fd);
                log_line("hungup", "");
                return false;
            }
            if (write(fd, "OK\r\n", 4) != 4) std::perror("write");
            if (cmd == "Exit,0\r\n") {
                reset_close(fd);  // no TIME_WAIT left on the control port
                return true;
            }
            if (++answered == drop) {
                shutdown(fd, SHUT_WR);
                reset_close(fd);
                log_line("dropped", "");
                return false;
            }
        }
    }
    close(fd);
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    alarm(120);  // never outlive a test run, whatever happens to the test
    g_log = std::string(argv[0]) + ".log";
    const bool first_run = access(g_log.c_str(), F_OK) != 0;
    log_line("run", std::to_string(argc - 1));
    for (int i = 1; i < argc; ++i) log_line("arg", escape(argv[i]));
    char cwd[4096];
    log_line("cwd", getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?");
    const char *name = std::strrchr(argv[0], '/');
    if (std::strcmp(name != nullptr ? name + 1 : argv[0], "gtrc") == 0) {
        const char *help = std::getenv("LYNX_HELP");
        log_line("LYNX_HELP", help != nullptr ? help : "(unset)");
        return 0;
    }

    const char *handed = std::getenv("ZU_HELP_CONTROL_FD");
    const int lfd = handed != nullptr ? std::atoi(handed) : -1;
    if (first_run && std::getenv("GTR_STANDIN_DEAF") != nullptr) {
        log_line("deaf", "");
        for (;;) pause();
    }
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    char text[INET_ADDRSTRLEN] = "?";
    if (lfd < 0 || getsockname(lfd, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        listen(lfd, 4) != 0) {
        log_line("nosocket", std::strerror(errno));
        return 3;
    }
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    log_line("listening", std::string(text) + ":" + std::to_string(ntohs(addr.sin_port)));
    const char *drop = std::getenv("GTR_STANDIN_DROP"), *hangup = std::getenv("GTR_STANDIN_HANGUP");
    for (;;) {
        const int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0) continue;
        if (serve(fd, drop != nullptr ? std::atoi(drop) : -1,
                  hangup != nullptr ? std::atoi(hangup) : -1))
            return 0;
    }
}
