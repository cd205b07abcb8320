// Stand-in for the graphical help viewer: records its arguments, listens on
// the control port given after "-sdi", records every command line it gets
// and answers each with "OK\r\n"; "Exit,0" makes it end.
//
// Behaviour chosen through the environment (inherited from the installer):
//   GTR_STANDIN_ADDR     address to listen on (default 127.0.0.1)
//   GTR_STANDIN_DEAF     this many first runs never listen (count of "run"
//                        records already in the log)
//   GTR_STANDIN_DROP     after answering this many commands on a connection,
//                        half-close it and then reset it
//   GTR_STANDIN_HANGUP   close the connection instead of answering command
//                        number this plus one
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "standin_log.h"

namespace {

int env_int(const char *name) {
    const char *v = std::getenv(name);
    return v != nullptr ? std::atoi(v) : -1;
}

int earlier_runs(const std::string &path) {
    std::ifstream in(path);
    std::string pid, tag;
    std::string rest;
    int runs = 0;
    while (in >> pid >> tag) {
        std::getline(in, rest);
        if (tag == "run") ++runs;
    }
    return runs;
}

void reset_close(int fd) {
    const linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

}  // namespace

int main(int argc, char **argv) {
    alarm(120);  // never outlive a test run, whatever happens to the test
    const std::string path = standin::log_path(argv[0]);
    const int run = earlier_runs(path) + 1;
    standin::log_start(path, argc, argv);
    int port = -1;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-sdi") == 0) port = std::atoi(argv[i + 1]);
    if (run <= env_int("GTR_STANDIN_DEAF") || port <= 0) {
        standin::log_line(path, "deaf", std::to_string(port));
        for (;;) pause();
    }

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const char *text = std::getenv("GTR_STANDIN_ADDR");
    if (inet_pton(AF_INET, text != nullptr ? text : "127.0.0.1", &addr.sin_addr) != 1) return 2;
    const int lfd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(lfd, 4) != 0) {
        standin::log_line(path, "bindfail", std::strerror(errno));
        return 3;
    }
    standin::log_line(path, "listening", std::to_string(port));

    const int drop = env_int("GTR_STANDIN_DROP");
    const int hangup = env_int("GTR_STANDIN_HANGUP");
    for (;;) {
        const int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0) continue;
        standin::log_line(path, "accepted", "");
        std::string pending;
        int answered = 0;
        bool open = true;
        while (open) {
            char chunk[4096];
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) break;
            pending.append(chunk, static_cast<size_t>(n));
            size_t eol;
            while (open && (eol = pending.find("\r\n")) != std::string::npos) {
                const std::string cmd = pending.substr(0, eol + 2);
                pending.erase(0, eol + 2);
                standin::log_line(path, "cmd", standin::escape(cmd));
                if (answered == hangup) {
                    close(fd);
                    standin::log_line(path, "hungup", "");
                    open = false;
                    break;
                }
                ssize_t ignored = write(fd, "OK\r\n", 4);
                (void)ignored;
                ++answered;
                if (cmd == "Exit,0\r\n") {
                    standin::log_line(path, "exit", "");
                    reset_close(fd);  // no TIME_WAIT left on the control port
                    return 0;
                }
                if (answered == drop) {
                    shutdown(fd, SHUT_WR);
                    reset_close(fd);
                    standin::log_line(path, "dropped", "");
                    open = false;
                }
            }
        }
        if (open) close(fd);
    }
}
