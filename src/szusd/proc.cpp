// Processes, the shell and interrupts: the command runner behind the volume
// mount commands, shell quoting of names, the shell escape, the interrupt handlers with the user
// interface's shutdown hooks, and two small message helpers.
#include "szusd.h"
#include "zuhlpb.h"

#include "shared.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

void *uicntxt = nullptr;
void *toolkit = nullptr;
void *memmngr = nullptr;
zusduishtdn uishtdn = nullptr;
zusdtkshtdn tkshtdn = nullptr;
zusdwnshtdn wnshtdn = nullptr;
zusdmmngrse mmngrse = nullptr;

namespace {

constexpr const char kDevNull[] = "/dev/null";

bool is_empty(const char *s) {
    return s == nullptr || *s == '\0';
}

// Opens `path` for appending on descriptor `want`, which the caller has just
// closed, so the lowest free descriptor is `want` when all lower ones are open.
// The output is often a log in a shared directory: never written through a
// link at its name, created exclusively when it is new.
bool open_on(const char *path, int want) {
    return zusdox(path, O_WRONLY | O_APPEND, 0640) == want;
}

// Closes every descriptor from 3 up. close_range does it in one call, where
// the loop up to the open-file limit (which can be in the millions) would
// make one system call per possible descriptor; the loop stays for kernels
// without it.
void close_from_three() {
#ifdef __linux__
    if (::close_range(3, ~0U, 0) == 0) return;
#endif
    long max = ::sysconf(_SC_OPEN_MAX);
    if (max < 0) max = 65536;  // no limit known: the usual ceiling
    if (max > 0x7FFFFFFF) max = 0x7FFFFFFF;
    for (long fd = max - 1; fd >= 3; --fd) ::close(static_cast<int>(fd));
}

// The child's half of zusdsp. Only async-signal-safe calls: the parent may
// hold locks (stdio, allocator) that the child's copy would never release.
[[noreturn]] void spawn_child(const char *command, const char *out, const char *err) {
    ::close(1);
    if (!open_on(out, 1)) ::kill(::getpid(), SIGKILL);
    ::close(2);
    if (::strcasecmp(err, out) == 0) {
        if (::dup(1) != 2) ::kill(::getpid(), SIGKILL);
    } else if (!open_on(err, 2)) {
        ::kill(::getpid(), SIGKILL);
    }
    ::close(0);
    if (::open(kDevNull, O_RDONLY, 0666) != 0) ::kill(::getpid(), SIGKILL);
    close_from_three();
    char arg0[] = "sh";
    char arg1[] = "-c";
    char *const argv[] = {arg0, arg1, const_cast<char *>(command), nullptr};
    ::execv("/bin/sh", argv);
    ::kill(::getpid(), SIGKILL);
    ::_exit(127);  // not reached: the kill signal cannot be caught
}

}  // namespace

unsigned zusdsp(const char *command, const char *outpath, const char *errpath, int *exitcode) {
    if (command == nullptr) return ZUSD_SYSERR;
    const char *out = is_empty(outpath) ? kDevNull : outpath;
    const char *err = is_empty(errpath) ? kDevNull : errpath;
    // Nothing buffered may be written twice by the child's copy of stdio.
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == -1) {
        zusderr("zusdsp: fork()==-1.");
        return ZUSD_SYSERR;
    }
    if (pid == 0) spawn_child(command, out, err);

    // Wait for this child only: reaping other children here would take their
    // exit statuses from whoever started them.
    int status = 0;
    for (;;) {
        const pid_t got = ::waitpid(pid, &status, 0);
        if (got == pid) break;
        if (got == -1 && errno == EINTR) continue;
        zusderr("zusdsp: waitpid(%ld,...)!=%ld.", static_cast<long>(pid), static_cast<long>(pid));
        return ZUSD_SYSERR;
    }
    if ((status & 0xFF) != 0) return ZUSD_SYSERR;
    if (exitcode != nullptr) *exitcode = (status >> 8) & 0xFF;
    return ZUSD_OK;
}

unsigned zusdsy(const char *command, int *exitcode) {
    if (exitcode != nullptr) *exitcode = 0;
    if (is_empty(command)) return ZUSD_SYSERR;
    std::fflush(nullptr);
    const int status = std::system(command);
    // -1: the call failed. A command ended by a signal has no exit code and
    // did not run to its end either, so it is not reported as a success.
    if (status == -1 || (status & 0x7F) != 0) {
        zusderr("zusdsy: system(%s)==%lx.", command,
                static_cast<unsigned long>(static_cast<unsigned>(status)));
        return ZUSD_SYSERR;
    }
    if (exitcode != nullptr) *exitcode = (status >> 8) & 0xFF;
    return ZUSD_OK;
}

unsigned zusdqw(char *line, std::size_t size, const char *word) {
    std::size_t at = std::strlen(line);
    const std::size_t start = at;
    const auto put = [&](const char *text) {
        for (; *text != '\0'; ++text) {
            if (at + 1 >= size) return false;
            line[at++] = *text;
        }
        return true;
    };
    bool ok = put("'");
    for (const char *c = word; ok && *c != '\0'; ++c) {
        const char one[2] = {*c, '\0'};
        ok = put(*c == '\'' ? "'\\''" : one);
    }
    ok = ok && put("'");
    line[ok ? at : start] = '\0';
    return ok ? ZUSD_OK : ZUSD_TOOLONG;
}

unsigned zusdsh(void) {
    const char *osh = std::getenv("_OSHELL");
    const char *sh = std::getenv("SHELL");
    // Copies: setting SHELL may invalidate what getenv returned.
    const bool have_osh = osh != nullptr;
    const bool have_sh = sh != nullptr;
    const std::string oshell = have_osh ? osh : "";
    const std::string shell = have_sh ? sh : "";
    const std::string run = have_osh ? oshell : have_sh ? shell : "/bin/sh";

    if (have_osh) {
        const unsigned st = zusdmy("SHELL", oshell.c_str(), nullptr, nullptr);
        if (st != ZUSD_OK) return st;
    }
    // The shell's name is one word of the command line, whatever it holds.
    std::string line(4 * run.size() + 3, '\0');
    zusdqw(line.data(), line.size(), run.c_str());
    std::fputs("OS Shell:\n\r", stdout);
    std::fflush(stdout);
    int code = 0;
    const unsigned status = zusdsy(line.c_str(), &code);
    if (have_osh) {
        // Put SHELL back as it was; one that was not set is removed again
        // rather than left set to an empty string.
        if (have_sh)
            zusdmy("SHELL", shell.c_str(), nullptr, nullptr);
        else
            ::unsetenv("SHELL");
    }
    return status;
}

void zusdss(void *context, void *tk, void *mm, zusduishtdn uidown, zusdtkshtdn tkdown,
            zusdwnshtdn wndown, zusdmmngrse mmreset) {
    uicntxt = context;
    toolkit = tk;
    memmngr = mm;
    uishtdn = uidown;
    tkshtdn = tkdown;
    wnshtdn = wndown;
    mmngrse = mmreset;
    std::signal(SIGINT, zusdst);
}

void zusdsa(void) {
    std::signal(SIGINT, zusdsl);
}

void zusdsr(void) {
    std::signal(SIGINT, zusdst);
}

void zusdst(int sig) {
    (void)sig;
    if (wnshtdn != nullptr && uicntxt != nullptr) {
        void *window = *static_cast<void **>(uicntxt);
        if (window != nullptr) wnshtdn(toolkit, window);
    }
    if (toolkit != nullptr && tkshtdn != nullptr) tkshtdn(toolkit);
    if (uicntxt != nullptr && uishtdn != nullptr) uishtdn(uicntxt, 0);
    zusdcu();
    std::exit(0);
}

void zusdsl(int sig) {
    (void)sig;
    if (mmngrse != nullptr) mmngrse(memmngr);
    std::signal(SIGINT, zusdsl);
}

void zusdcu(void) {
    std::signal(SIGINT, SIG_IGN);
    ::kill(0, SIGINT);
    zuhlpcu();
}

void zusdms(const char *first, const char *second, int plain) {
    if (first == nullptr) first = "";
    if (second == nullptr) second = "";
    if (plain) {
        std::printf("%s %s\n", first, second);
    } else {
        std::printf(
            "\nA problem occurred with the Talvex Installer. Try reinstalling it from\n"
            "distribution media. Or, you can provide the following message to Support\n"
            "to debug the problem:\n\n  %s %s\n\n",
            first, second);
    }
}

const char *zusdio(void) {
    const int err = errno;
    // strerrorname_np knows exactly the numbers the system has texts for.
    if (err < 1 || ::strerrorname_np(err) == nullptr) return nullptr;
    const char *text = std::strerror(err);
    errno = 0;
    return text;
}
