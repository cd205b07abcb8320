// peak_rss: run a command and print its peak resident set in KiB, sampled.
//
// The kernel keeps a process's high-water mark lazily: it is brought up to
// date at some events only, so the peak that wait4() and time(1) report can
// be the resident set at exit. A program that frees its tables before it
// exits then seems smaller than it was while it ran. This runner reads the
// child's resident set every 100 microseconds while it runs and prints the
// larger of that maximum and the kernel's figure.
//
//   peak_rss command [argument ...]
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace {

// Resident pages from an open /proc/PID/statm (its second field), or 0.
long resident_pages(int fd) {
    char buf[128];
    const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return 0;
    buf[n] = '\0';
    long size = 0, resident = 0;
    return std::sscanf(buf, "%ld %ld", &size, &resident) == 2 ? resident : 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: peak_rss command [argument ...]\n");
        return 2;
    }
    const pid_t pid = fork();
    if (pid == -1) {
        std::perror("peak_rss: fork");
        return 2;
    }
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        std::perror("peak_rss: exec");
        _exit(127);
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/statm", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    const long page_kib = sysconf(_SC_PAGESIZE) / 1024;
    long peak = 0;
    int status = 0;
    rusage ru{};
    for (;;) {
        if (fd != -1) {
            const long r = resident_pages(fd) * page_kib;
            if (r > peak) peak = r;
        }
        const pid_t w = wait4(pid, &status, WNOHANG, &ru);
        if (w == pid) break;
        if (w == -1) {
            std::perror("peak_rss: wait4");
            return 2;
        }
        const timespec pause{0, 100 * 1000};
        nanosleep(&pause, nullptr);
    }
    if (fd != -1) close(fd);
    if (ru.ru_maxrss > peak) peak = ru.ru_maxrss;
    std::printf("%ld\n", peak);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
