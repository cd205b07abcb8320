// Stand-in for both help viewers, installed by the help test as "gtrc" and
// "gtr". Each run appends to "<program>.log" a line with its arguments, its
// working directory, LYNX_HELP and the mode of the page file it was given
// ("-" for none). As "gtr" (given a control socket in ZU_HELP_CONTROL_FD) it
// then listens there, logs the socket's address and each command (CR and LF
// shown as \r and \n), answers each and ends at "Exit,0". With GTR_DEAF set,
// its first run never listens.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string g_log;

void log(std::string line) {
    for (std::size_t i = 0; (i = line.find_first_of("\r\n", i)) != std::string::npos;)
        line.replace(i, 1, line[i] == '\r' ? "\\r" : "\\n");
    if (FILE *f = std::fopen(g_log.c_str(), "a"))
        std::fprintf(f, "%s\n", line.c_str()), std::fclose(f);
}

}  // namespace

int main(int argc, char **argv) {
    alarm(60);  // never outlive a test
    g_log = std::string(argv[0]) + ".log";
    const bool first = access(g_log.c_str(), F_OK) != 0;
    std::string line = "run";
    for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
    char cwd[4096], mode[16] = "-";
    struct stat st {};
    if (stat(argv[argc - 1], &st) == 0) std::snprintf(mode, sizeof mode, "%o", st.st_mode & 0777u);
    const char *help = std::getenv("LYNX_HELP"), *control = std::getenv("ZU_HELP_CONTROL_FD");
    log(line + " cwd=" + (getcwd(cwd, sizeof cwd) ? cwd : "?") +
        " LYNX_HELP=" + (help ? help : "-") + " mode=" + mode);
    if (control == nullptr) return 0;  // the character-mode viewer, left by its user
    while (first && std::getenv("GTR_DEAF") != nullptr) pause();
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(std::atoi(control), reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        listen(std::atoi(control), 4) != 0)
        return 3;
    log(std::string("listen ") + inet_ntoa(addr.sin_addr) + ":" +
        std::to_string(ntohs(addr.sin_port)));
    for (char buf[4096];;) {
        const int c = accept(std::atoi(control), nullptr, nullptr);
        for (ssize_t n; c >= 0 && (n = read(c, buf, sizeof buf)) > 0;) {
            log("cmd " + std::string(buf, static_cast<std::size_t>(n)));
            if (write(c, "OK\r\n", 4) != 4 ||
                std::string(buf, static_cast<std::size_t>(n)) == "Exit,0\r\n")
                return 0;
        }
        close(c);
    }
}
