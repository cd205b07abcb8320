// The commands zucomp and zuuncomp: one program, chosen by the name it is
// started under. `zucomp f` replaces f by its compressed form f_; `zuuncomp
// f_ [target]` restores it. The run context holds the paths of the run; one
// clean-up, on success, failure or a termination signal, removes either the
// file that was read (after a success) or the unfinished output of this run,
// which never had more than its temporary name.
#include "szucp.h"
#include "szusd.h"
#include "zutx.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kPath = ZUSD_PATHSZ;

const char kUsage[] = "Usage: zucomp src\n   or: zuuncomp src [target]\n";

// The signals that end a run and get its clean-up first.
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void blockends() {
    sigset_t block;
    sigemptyset(&block);
    for (const int sig : kEndSignals) sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, nullptr);
}

}  // namespace

/* The C++ runtime's default handler for an uncaught exception demangles the
 * exception's type name, and with it the whole demangler (some 40 KiB) is
 * linked into this static program. Nothing here throws across a function
 * (errors are statuses), so a plain report will do; and since the kernel
 * maps an executable's pages 64 KiB around every one touched, the smaller
 * program keeps about 64 KiB less resident in every run. */
namespace __gnu_cxx {
[[noreturn]] void __verbose_terminate_handler() {
    static const char msg[] = "terminate called: uncaught exception\n";
    if (write(STDERR_FILENO, msg, sizeof msg - 1) < 0) {
    }
    std::abort();
}
}  // namespace __gnu_cxx

/* Run context: one per process. */
struct zucscn {
    std::int32_t mode;               /* 1 compress, 0 uncompress */
    volatile std::sig_atomic_t done; /* the copy step succeeded: remove the source */
    FILE *in;
    FILE *out; /* usage text and error report */
    FILE *err;
    char srcarg[kPath];  /* first argument; uncompress cuts its '_' */
    char dst[kPath];     /* target handed to the copy engine */
    char srcpath[kPath]; /* file read, removed after a success */
    char dstpath[kPath]; /* file written: the name the output takes once whole */
};

/* The current run context, for the interrupt handler; null outside a run. */
zucscn *volatile zucsgbcn = nullptr;

void zucscnds(zucscn *cn);

/* A termination signal: the clean-up of the current context, with only
 * async-signal-safe calls (no stream is closed and nothing is logged). An
 * interrupt (SIGINT) then exits with status 1, as documented for scripts;
 * SIGTERM, SIGHUP and SIGQUIT end the process by the signal itself, so that
 * a shell or supervisor sees the death by signal it asked for. */
[[noreturn]] void zucssi(int sig) {
    const int saved = errno;
    zucscn *cn = zucsgbcn;
    if (cn != nullptr) {
        if (cn->done != 0) {
            if (cn->srcpath[0] != '\0') unlink(cn->srcpath);
        } else {
            zucprmo();
        }
    }
    errno = saved;
    if (sig != SIGINT) {
        // Pending while this handler blocks it, delivered when unblocked.
        std::signal(sig, SIG_DFL);
        raise(sig);
        sigset_t self;
        sigemptyset(&self);
        sigaddset(&self, sig);
        sigprocmask(SIG_UNBLOCK, &self, nullptr);
    }
    _exit(1);
}

/* A signal ignored when the run started (nohup, a background job of a
 * script) stays ignored. */
void zucsin() {
    errno = 0;
    for (const int sig : kEndSignals) {
        if (std::signal(sig, SIG_IGN) != SIG_IGN) std::signal(sig, zucssi);
    }
}

zucscn *zucscncr() {
    auto *cn = static_cast<zucscn *>(std::calloc(1, sizeof(zucscn)));
    if (cn == nullptr) return nullptr;
    cn->mode = 0;
    cn->done = 0;
    cn->in = stdin;
    cn->out = stdout;
    cn->err = stderr;
    zucsgbcn = cn;
    return cn;
}

void zucscnds(zucscn *cn) {
    if (cn == nullptr) return;
    // From here the signal handler must not see this context, nor run the
    // clean-up a second time while it is under way.
    blockends();
    zucsgbcn = nullptr;
    if (cn->in != nullptr) std::fclose(cn->in);
    if (cn->out != nullptr) std::fclose(cn->out);
    if (cn->err != nullptr) std::fclose(cn->err);
    cn->in = cn->out = cn->err = nullptr;
    if (cn->done == 1) {
        if (cn->srcpath[0] != '\0') zusdrm(cn->srcpath);
    } else {
        // The target itself was never touched; only a temporary file of this
        // run can be left, and the copy engine has normally removed it.
        zucprmo();
    }
    std::free(cn);
}

int zucspt(FILE *stream, const char *text) {
    return std::fprintf(stream, "%s\n", text);
}

[[noreturn]] void zucsper(zucscn *cn, const char *message) {
    const int err = errno;
    const char *text = std::strerror(err);
    // Room for both paths whole: a report is never cut.
    static char report[3 * kPath + 512];
    if (err > 0 && text != nullptr) {
        std::snprintf(report, sizeof report,
                      "     SRC PATH: %s\n     DST PATH: %s\n   ZUCS ERROR: %s\n"
                      " SYSTEM ERRNO: %d\nSYSTEM ERRMSG: %s\n",
                      cn->srcpath, cn->dstpath, message, err, text);
    } else {
        std::snprintf(report, sizeof report,
                      "     SRC PATH: %s\n     DST PATH: %s\n   ZUCS ERROR: %s (internal)\n",
                      cn->srcpath, cn->dstpath, message);
    }
    std::fprintf(cn->out, "%s", report);
    zucscnds(cn);
    std::exit(1);
}

namespace {

// Bounded copy into a path buffer of the context; false when `text` is
// longer than the 2047 characters a path buffer holds.
bool setpath(char *buffer, const char *text) {
    if (text == nullptr) return true;
    if (std::strlen(text) >= kPath) return false;
    zutxcp(buffer, text, 65535);
    return true;
}

// A target that is the source itself (same name, a hard link, or a symbolic
// link to it) is refused before anything is opened: writing it would empty
// the file being read.
void refusesame(zucscn *cn, const char *message) {
    const int saved = errno;
    struct stat src;
    struct stat dst;
    if (stat(cn->srcpath, &src) == 0 && stat(cn->dstpath, &dst) == 0 && src.st_dev == dst.st_dev &&
        src.st_ino == dst.st_ino) {
        errno = EINVAL;
        zusderr("zucscp: target %s is the source %s", cn->dstpath, cn->srcpath);
        zucsper(cn, message);
    }
    errno = saved;
}

}  // namespace

unsigned zucscp(zucscn *cn) {
    if (cn->mode == 1) {
        const char *msg = "compressing file";
        zutxcp(cn->dst, cn->srcarg, 65535);
        zutxcp(cn->srcpath, cn->srcarg, 65535);
        if (zucpun(cn->dst, cn->dstpath) != ZUSD_OK) zucsper(cn, msg);
        const std::size_t len = std::strlen(cn->srcarg);
        if (len > 0 && cn->srcarg[len - 1] == '_') {
            zucsper(cn, "source filename already contains '_' extension");
        }
        refusesame(cn, msg);
        std::uint32_t index = 0;
        const unsigned st = zucpsp(cn->srcarg, cn->dst, 0, 1, -1, 0, 0, 1, 0, "", "", nullptr,
                                   nullptr, nullptr, nullptr, nullptr, 0, &index);
        if (st != ZUSD_OK) zucsper(cn, msg);
    } else {
        const char *msg = "uncompressing file";
        const std::size_t len = std::strlen(cn->srcarg);
        if (len == 0 || cn->srcarg[len - 1] != '_') {
            if (zucpun(cn->srcarg, cn->srcpath) != ZUSD_OK) zucsper(cn, msg);
        } else {
            zutxcp(cn->srcpath, cn->srcarg, 65535);
            zutxnt(cn->srcarg, static_cast<std::uint16_t>(len - 1));
        }
        if (cn->dst[0] == '\0') zutxcp(cn->dst, cn->srcarg, 65535);
        zutxcp(cn->dstpath, cn->dst, 65535);
        refusesame(cn, msg);
        const unsigned st = zucpjn(cn->srcarg, cn->dst, 0, 0, 0, 1, 0, "", "", nullptr, nullptr,
                                   nullptr, nullptr, 0, 0, nullptr);
        if (st != ZUSD_OK) zucsper(cn, msg);
    }
    cn->done = 1;
    return ZUSD_OK;
}

int main(int argc, char **argv) {
    // Standard streams closed by the caller are opened on the null device, so
    // that no file this run opens takes their place and receives the report.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) return 1;
    }
    zucsin();
    zucscn *cn = zucscncr();
    if (cn == nullptr) return 1;

    // The command name: the last component of argv[0] without its extension.
    char lead[ZUSD_LEADSZ], dir[ZUSD_DIRSZ], base[ZUSD_BASESZ], ext[ZUSD_EXTSZ];
    if (zusdup(argc > 0 ? argv[0] : nullptr, lead, dir, base, ext) != ZUSD_OK) base[0] = '\0';
    const bool zucomp = zutxsm(base, "zucomp", 65535) != 0;
    const bool zuuncomp = zutxsm(base, "zuuncomp", 65535) != 0;

    // An argument that does not fit a path buffer is never cut: a cut name
    // could name another file, which the run would then remove.
    const bool fits1 = argc < 2 || setpath(cn->srcarg, argv[1]);
    if (argc == 2 && (zucomp || zuuncomp)) {
        cn->mode = zucomp ? 1 : 0;
        if (!fits1) {
            errno = ENAMETOOLONG;
            zucsper(cn, zucomp ? "compressing file" : "uncompressing file");
        }
        zucscp(cn);
    } else if (argc == 3 && !zucomp) {
        cn->mode = 0;
        if (!fits1 || !setpath(cn->dst, argv[2])) {
            errno = ENAMETOOLONG;
            zucsper(cn, "uncompressing file");
        }
        zucscp(cn);
    } else {
        if (argc == 3) setpath(cn->dst, argv[2]);
        zucspt(cn->out, kUsage);
    }
    zucscnds(cn);
    return 0;
}
