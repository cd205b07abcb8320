// Copy channel: opens, copies and closes the files of one copy in one of four
// ways (plain blocks, encoder, decoder, substitution) and carries times,
// owner and permission bits over. The output is written under a temporary
// name beside its final one and renamed into place only once it is whole
// and synced, so that its name never shows a partial file and a caller may
// remove the input once the channel reports success.
#include "szucp.h"

#include "zubf.h"
#include "zudt.h"
#include "zuet.h"
#include "zulz.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

zucpowrec zucpgbow = {0, 0, 0, -1, {}};

namespace {

constexpr std::uint32_t kNoLimit = 0xFFFFFFFFu;

// The first plain buffer size tried; each failed allocation halves it down
// to 384 bytes.
constexpr std::uint32_t kPlainBuffer = 49152;

bool coded(const zucpcb *ch) {
    return ch->compress != 0 || ch->decompress != 0;
}

// Keeps errno across clean-up work on a failure path, so that the caller's
// report shows the error of the call that failed, not of a later close.
struct ErrnoKeeper {
    int saved = errno;
    ~ErrnoKeeper() { errno = saved; }
};

// Bounded copy of a whole path into a ZUSD_PATHSZ buffer; false (errno
// ENAMETOOLONG) when it does not fit.
bool copypath(char *out, const char *path) {
    const std::size_t len = std::strlen(path);
    if (len >= ZUSD_PATHSZ) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(out, path, len + 1);
    return true;
}

// The name a channel of this kind reads (`_` appended for the decoder) or
// writes (`_` appended for the encoder).
unsigned inname(const zucpcb *ch, const char *name, char *out) {
    if (ch->decompress != 0) return zucpun(name, out);
    return copypath(out, name) ? ZUSD_OK : ZUSD_SYSERR;
}
unsigned outname(const zucpcb *ch, const char *name, char *out) {
    if (ch->compress != 0) return zucpun(name, out);
    return copypath(out, name) ? ZUSD_OK : ZUSD_SYSERR;
}

int streamfd(const zucpcb *ch, void *stream) {
    if (stream == nullptr) return -1;
    FILE *fp = coded(ch) ? static_cast<zubfcb *>(stream)->fp : static_cast<FILE *>(stream);
    return fp != nullptr ? fileno(fp) : -1;
}

// A code stream over a file the channel opened itself, so that the checks
// above apply to it. The stream owns the file, also when this fails.
zubfcb *codestream(int fd, bool reading) {
    FILE *fp = fdopen(fd, reading ? "r" : "w");
    if (fp == nullptr) {
        ErrnoKeeper keep;
        close(fd);
        return nullptr;
    }
    return zubfcr(fp, reading ? 1 : 0, 1);
}

// Clear O_NONBLOCK, used only so that opening a FIFO cannot hang.
bool blocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

// Open a regular input file for reading; -1 with errno set otherwise
// (*notregular set when it exists but is a directory, FIFO or device).
int openin(const char *path, bool *notregular) {
    *notregular = false;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        ErrnoKeeper keep;
        close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        *notregular = true;
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    if (!blocking(fd)) {
        ErrnoKeeper keep;
        close(fd);
        return -1;
    }
    return fd;
}

// Record `fd`, named `name` in `dfd`, as this run's file that a failure
// must remove. Written with every signal blocked (see zucpow).
void record(int fd, int dfd, const char *name) {
    struct stat st;
    zucpgbow.set = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (fstat(fd, &st) != 0) return;
    zucpgbow.dev = st.st_dev;
    zucpgbow.ino = st.st_ino;
    zucpgbow.dirfd = dfd;
    std::memcpy(zucpgbow.name, name, std::strlen(name) + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    zucpgbow.set = 1;
}

void unrecord() {
    zucpgbow.set = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// Six letters or digits for a temporary name, from the system's random
// source or, where that fails, from the clock, the process and a counter.
void suffix(char *out) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned counter = 0;
    unsigned char raw[6];
    if (getrandom(raw, sizeof raw, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof raw)) {
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        std::uint64_t x = static_cast<std::uint64_t>(now.tv_nsec) ^
                          (static_cast<std::uint64_t>(getpid()) << 32) ^ ++counter;
        for (auto &r : raw) {
            x = x * 6364136223846793005u + 1442695040888963407u;
            r = static_cast<unsigned char>(x >> 56);
        }
    }
    for (std::size_t i = 0; i < sizeof raw; ++i) out[i] = kDigits[raw[i] % 62];
    out[sizeof raw] = '\0';
}

// Create the temporary file for the final name `base` in `dfd`: ".<base>.XXXXXX"
// (the base cut so that the name fits NAME_MAX), new (O_EXCL, which also
// refuses a symbolic link planted at the name) and owner-only. Its name goes
// to `name` (256 bytes).
int maketemp(int dfd, const char *base, char *name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        char tail[7];
        suffix(tail);
        std::snprintf(name, 256, ".%.*s.%s", 247, base, tail);
        const int fd = openat(
            dfd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd != -1 || errno != EEXIST) return fd;
    }
    return -1;
}

// Why an existing output `st` is refused (errno set), or null: a symbolic
// link is never followed, only a regular file is replaced, and never the
// file being read (`infd`).
const char *refusal(const struct stat &st, int infd) {
    struct stat in;
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return "is a symbolic link";
    }
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return "is not a regular file";
    }
    if (infd != -1 && fstat(infd, &in) == 0 && in.st_dev == st.st_dev && in.st_ino == st.st_ino) {
        errno = EINVAL;
        return "is the file being read";
    }
    return nullptr;
}

// Open the output `path` for the channel, through its directory, whose
// descriptor goes to ch->outdir. The final name must be free or hold a
// regular file that is not the file being read (`infd`); it is never
// followed through a symbolic link. Without `append` a temporary file is
// created beside it; with `append` the file itself is opened (created 0600
// when missing). The file is recorded in zucpgbow when this run made it.
// Returns the descriptor, or -1 with errno set (and *why for a refusal).
int openout(zucpcb *ch, const char *path, bool append, int infd, const char **why) {
    *why = nullptr;
    const int entry = errno;  // a free final name is no error to report later
    const std::string_view p(path);
    const std::size_t slash = p.rfind('/');
    char dir[ZUSD_PATHSZ];
    const char *base = path;
    if (slash == std::string_view::npos) {
        std::strcpy(dir, ".");
    } else {
        const std::size_t dlen = slash == 0 ? 1 : slash;
        std::memcpy(dir, path, dlen);  // path fits ZUSD_PATHSZ, so its prefix does
        dir[dlen] = '\0';
        base = path + slash + 1;
    }
    if (*base == '\0' || std::strlen(base) >= sizeof ch->outbase) {
        errno = *base == '\0' ? EISDIR : ENAMETOOLONG;
        return -1;
    }
    const int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd == -1) return -1;
    std::memcpy(ch->outbase, base, std::strlen(base) + 1);
    ch->outtemp[0] = '\0';

    // -1: go on; -2: refused or failed, errno set.
    int fd = -1;
    struct stat st;
    if (fstatat(dfd, base, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) fd = -2;
    } else if ((*why = refusal(st, infd)) != nullptr) {
        fd = -2;
    }
    if (fd == -1 && !append) {
        fd = maketemp(dfd, base, ch->outtemp);
        if (fd >= 0) record(fd, dfd, ch->outtemp);
    } else if (fd == -1) {
        const int flags = O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        fd = openat(dfd, base, flags | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            record(fd, dfd, base);
        } else if (errno == EEXIST) {
            fd = openat(dfd, base, flags);
            // Checked again on what was opened: the name may have changed.
            if (fd >= 0 && (fstat(fd, &st) != 0 || (*why = refusal(st, infd)) != nullptr)) {
                ErrnoKeeper keep;
                close(fd);
                fd = -2;
            }
        }
    }
    if (fd >= 0 && !blocking(fd)) {
        ErrnoKeeper keep;
        close(fd);
        fd = -2;
        zucprmo();
        unrecord();
    }
    if (fd < 0) {
        ErrnoKeeper keep;
        if (fd == -1 && errno == ELOOP) *why = "is a symbolic link";
        close(dfd);
        return -1;
    }
    ch->outdir = dfd;
    errno = entry;
    return fd;
}

// Owner, group and permission bits of `from` for the output: through `fd`
// when it is open, else by `name` without following a symbolic link. An
// owner or group that cannot be given (the process may not) keeps its
// setuid or setgid bit from going over: those bits would then grant another
// user's or group's rights.
void carry(int fd, const char *name, const struct stat &from) {
    const auto look = [&](struct stat *st) {
        return fd >= 0 ? fstat(fd, st) : fstatat(AT_FDCWD, name, st, AT_SYMLINK_NOFOLLOW);
    };
    const auto own = [&](uid_t uid, gid_t gid) {
        return fd >= 0 ? fchown(fd, uid, gid)
                       : fchownat(AT_FDCWD, name, uid, gid, AT_SYMLINK_NOFOLLOW);
    };
    struct stat now;
    if (look(&now) != 0 || !S_ISREG(now.st_mode)) return;
    if ((now.st_uid != from.st_uid || now.st_gid != from.st_gid) &&
        own(from.st_uid, from.st_gid) != 0 && now.st_gid != from.st_gid) {
        own(static_cast<uid_t>(-1), from.st_gid);  // the group alone, where the owner may not
    }
    if (look(&now) != 0) return;
    mode_t mode = from.st_mode & 07777;
    if (now.st_uid != from.st_uid) mode &= ~static_cast<mode_t>(S_ISUID);
    if (now.st_gid != from.st_gid) mode &= ~static_cast<mode_t>(S_ISGID);
    if (mode != (from.st_mode & 07777)) {
        zusderr("zucpsc: chown(%s,%u,%u)!=0: setuid and setgid bits not carried over", name,
                static_cast<unsigned>(from.st_uid), static_cast<unsigned>(from.st_gid));
    }
    if ((fd >= 0 ? fchmod(fd, mode) : fchmodat(AT_FDCWD, name, mode, AT_SYMLINK_NOFOLLOW)) != 0) {
        zusderr("zucpsc: chmod(%s,%o)!=0.", name, static_cast<unsigned>(mode));
    }
}

// Whether the callback record asks for no permission step (its fifth word).
bool nobits(const void *cbarg) {
    return cbarg != nullptr && static_cast<const std::uint32_t *>(cbarg)[4] != 0;
}

// Give up the held output: a temporary file that was not committed is
// removed; a file written in place (appended to) stays as it was written.
void discard(zucpcb *ch) {
    ErrnoKeeper keep;
    if (ch->outtemp[0] != '\0') zucprmo();
    unrecord();
    if (ch->outfd != -1) close(ch->outfd);
    if (ch->outdir != -1) close(ch->outdir);
    ch->outfd = ch->outdir = -1;
    ch->outdone = 0;
    ch->outtemp[0] = '\0';
}

// Sync a directory so that a new entry in it survives a crash. File systems
// that cannot sync a directory say EINVAL; there is nothing more to do then.
bool syncdir(int dfd) {
    return fsync(dfd) == 0 || errno == EINVAL;
}

}  // namespace

unsigned zucpun(const char *name, char *out) {
    char lead[ZUSD_LEADSZ], dir[ZUSD_DIRSZ], base[ZUSD_BASESZ], ext[ZUSD_EXTSZ];
    out[0] = '\0';
    if (name == nullptr || std::strlen(name) >= ZUSD_PATHSZ ||
        zusdup(name, lead, dir, base, ext) != ZUSD_OK || zusdcf(base, ext) != ZUSD_OK ||
        zusdcm(out, lead, dir, base, ext) != ZUSD_OK) {
        out[0] = '\0';
        errno = ENAMETOOLONG;
        return ZUSD_SYSERR;
    }
    return ZUSD_OK;
}

int zucprmo(void) {
    if (zucpgbow.set == 0) return 0;
    struct stat st;
    if (fstatat(zucpgbow.dirfd, zucpgbow.name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        st.st_dev != zucpgbow.dev || st.st_ino != zucpgbow.ino)
        return 0;
    if (unlinkat(zucpgbow.dirfd, zucpgbow.name, 0) != 0) return 0;
    zucpgbow.set = 0;
    return 1;
}

unsigned zucpin(zucpcb *ch, int append, int compress, int decompress, int subst, std::uint32_t ctx1,
                std::uint32_t ctx2, zucpxlt xlate) {
    ch->in = ch->out = ch->work = nullptr;
    ch->reported = 0;
    ch->append = append != 0;
    ch->compress = compress != 0;
    ch->decompress = subst != 0 ? 0 : decompress != 0;
    ch->subst = subst != 0;
    ch->bufsize = 0;
    ch->outdir = -1;
    ch->outfd = -1;
    ch->outdone = 0;
    ch->outbase[0] = ch->outtemp[0] = '\0';
    ch->atlimit = 0;
    ch->intimes = 0;
    if (ch->compress != 0) {
        auto *rec = new (std::nothrow) zulzecst{};
        if (rec == nullptr) return ZUSD_NOMEM;
        rec->table = zuetmk(14, 18);
        if (rec->table == nullptr) {
            delete rec;
            return ZUSD_NOMEM;
        }
        rec->state = 0;
        ch->work = rec;
    } else if (ch->decompress != 0) {
        auto *rec = new (std::nothrow) zulzdcst{};
        if (rec == nullptr) return ZUSD_NOMEM;
        rec->table = nullptr;
        rec->state = 0;
        ch->work = rec;
    } else if (ch->subst != 0) {
        auto *rec = new (std::nothrow) zucpsb{};
        if (rec == nullptr) return ZUSD_NOMEM;
        rec->ctx1 = ctx1;
        rec->ctx2 = ctx2;
        rec->xlate = xlate;
        rec->partial[0] = '\0';
        rec->pending = 0;
        ch->work = rec;
    } else {
        for (std::uint32_t size = kPlainBuffer; size >= 384; size /= 2) {
            ch->work = std::malloc(size);
            if (ch->work != nullptr) {
                ch->bufsize = size;
                break;
            }
        }
        if (ch->work == nullptr) return ZUSD_NOMEM;
    }
    return ZUSD_OK;
}

void zucpui(zucpcb *ch) {
    ErrnoKeeper keep;
    if (ch->compress != 0 && ch->work != nullptr) {
        auto *rec = static_cast<zulzecst *>(ch->work);
        if (rec->table != nullptr) zuetds(rec->table);
        rec->table = nullptr;
    } else if (ch->decompress != 0 && ch->work != nullptr) {
        auto *rec = static_cast<zulzdcst *>(ch->work);
        if (rec->table != nullptr) zudtds(rec->table);
        rec->table = nullptr;
    }
    zucpcr(ch);
    // An output still open here belongs to a copy that failed: close it
    // without its last partial byte and without a sync.
    if (ch->out != nullptr) {
        if (coded(ch)) {
            zubfcl(static_cast<zubfcb *>(ch->out), 0);
        } else {
            std::fclose(static_cast<FILE *>(ch->out));
        }
        ch->out = nullptr;
    }
    discard(ch);
    if (ch->compress != 0) {
        delete static_cast<zulzecst *>(ch->work);
    } else if (ch->decompress != 0) {
        delete static_cast<zulzdcst *>(ch->work);
    } else if (ch->subst != 0) {
        delete static_cast<zucpsb *>(ch->work);
    } else {
        std::free(ch->work);
    }
    ch->work = nullptr;
}

unsigned zucpor(zucpcb *ch, const char *name) {
    char path[ZUSD_PATHSZ];
    const unsigned st = inname(ch, name, path);
    if (st != ZUSD_OK) {
        zusderr("zucpor:  ZUSDORB( %s ) == ZUSDFN", name);
        return st;
    }
    bool notregular = false;
    const int fd = openin(path, &notregular);
    if (fd == -1) {
        zusderr(
            notregular ? "zucpor:  %s is not a regular file" : "zucpor:  ZUSDORB( %s ) == ZUSDFN",
            path);
        return notregular ? ZUSD_RDERR : ZUSD_NOTFOUND;
    }
    struct stat opened;
    ch->intimes = fstat(fd, &opened) == 0 ? 1 : 0;
    if (ch->intimes != 0) {
        ch->indev = opened.st_dev;
        ch->inino = opened.st_ino;
        ch->inatime = opened.st_atim;
        ch->inmtime = opened.st_mtim;
    }
    ch->in = coded(ch) ? static_cast<void *>(codestream(fd, true)) : fdopen(fd, "r");
    if (ch->in == nullptr) {
        ErrnoKeeper keep;
        if (!coded(ch)) close(fd);
        zusderr("zucpor:  ZUSDORB( %s ) == ZUSDFN", path);
        return ZUSD_NOTFOUND;
    }
    return ZUSD_OK;
}

unsigned zucpow(zucpcb *ch, const char *name) {
    const char *macro = ch->append != 0 && !coded(ch) ? "ZUSDOAB" : "ZUSDOWB";
    char path[ZUSD_PATHSZ];
    if (outname(ch, name, path) != ZUSD_OK) {
        zusderr("zucpow:  %s( %s ) == ZUSDFN", macro, name);
        return ZUSD_WRERR;
    }
    discard(ch);  // an earlier output that was never committed
    const bool append = ch->append != 0 && !coded(ch);
    const char *why = nullptr;
    // A signal between creating the file and recording it as this run's
    // would leave it behind: every signal waits until the record is made.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    const int fd = openout(ch, path, append, streamfd(ch, ch->in), &why);
    {
        ErrnoKeeper keep;
        sigprocmask(SIG_SETMASK, &old, nullptr);
    }
    if (fd == -1) {
        if (why != nullptr) {
            zusderr("zucpow:  %s( %s ) == ZUSDFN: it %s", macro, path, why);
        } else {
            zusderr("zucpow:  %s( %s ) == ZUSDFN", macro, path);
        }
        return ZUSD_WRERR;
    }
    // The stream owns `fd`; the channel holds a second descriptor of the
    // file for the steps after the stream is closed.
    ch->outfd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (ch->outfd == -1) {
        ErrnoKeeper keep;
        close(fd);
    } else if (coded(ch)) {
        ch->out = codestream(fd, false);
    } else if ((ch->out = fdopen(fd, append ? "a+" : "w")) == nullptr) {
        ErrnoKeeper keep;
        close(fd);
    }
    if (ch->out == nullptr) {
        discard(ch);
        zusderr("zucpow:  %s( %s ) == ZUSDFN", macro, path);
        return ZUSD_WRERR;
    }
    ch->reported = 0;
    return ZUSD_OK;
}

unsigned zucpcr(zucpcb *ch) {
    if (ch->in == nullptr) return ZUSD_OK;
    if (coded(ch)) {
        zubfcl(static_cast<zubfcb *>(ch->in), 0);
    } else {
        std::fclose(static_cast<FILE *>(ch->in));
    }
    ch->in = nullptr;
    return ZUSD_OK;
}

unsigned zucpcw(zucpcb *ch, int final) {
    if (ch->out == nullptr) return ZUSD_OK;
    bool ok = true;
    // The sync comes with the commit, once owner, bits and times are set too.
    if (coded(ch)) {
        ok = zubfcl(static_cast<zubfcb *>(ch->out), final != 0 ? ZUBF_FLUSH : 0) != 0;
    } else {
        FILE *fp = static_cast<FILE *>(ch->out);
        ok = std::fflush(fp) == 0 && std::ferror(fp) == 0;
        ErrnoKeeper keep;
        if (std::fclose(fp) != 0 && ok) {
            keep.saved = errno;
            ok = false;
        }
    }
    ch->out = nullptr;
    if (!ok) {
        zusderr("zucpcw:  ZUSDFR( OUTfile ) after writing and flushing it");
        return ZUSD_WRERR;
    }
    ch->outdone = 1;
    return ZUSD_OK;
}

unsigned zucpcm(zucpcb *ch, const char *from, void *cbarg) {
    if (ch->outfd == -1) return ZUSD_OK;
    const char *failed = nullptr;
    if (ch->outdone == 0) {
        errno = EINVAL;
        failed = "the output was not written out whole";
    } else {
        struct stat st;
        if (from != nullptr && !nobits(cbarg) && stat(from, &st) == 0) {
            carry(ch->outfd, ch->outbase, st);
        }
        // Data, owner, bits and times reach the disk before the name shows
        // the file; a write the disk could not take fails here too.
        if (fsync(ch->outfd) != 0) {
            failed = "fsync( OUTfile ) != 0";
        } else if (ch->outtemp[0] != '\0' &&
                   renameat(ch->outdir, ch->outtemp, ch->outdir, ch->outbase) != 0) {
            failed = "rename( temporary file, output ) != 0";
        } else {
            unrecord();
            ch->outtemp[0] = '\0';
            if (!syncdir(ch->outdir)) failed = "fsync( directory ) != 0";
        }
    }
    if (failed != nullptr) zusderr("zucpcm:  %s: %s", ch->outbase, failed);
    discard(ch);
    return failed != nullptr ? ZUSD_WRERR : ZUSD_OK;
}

unsigned zucppc(zucpcb * /*ch*/, const char * /*inname*/, const char * /*name*/) {
    return ZUSD_OK;
}

unsigned zucpct(zucpcb *ch, const char *in, const char *out) {
    char from[ZUSD_PATHSZ], to[ZUSD_PATHSZ];
    unsigned st = inname(ch, in, from);
    if (st == ZUSD_OK) st = outname(ch, out, to);
    if (st != ZUSD_OK) return st;
    // Reading the input has moved its access time to now; the times it had
    // when it was opened are the ones the output must carry.
    struct stat now;
    const bool same = ch->intimes != 0 && stat(from, &now) == 0 && now.st_dev == ch->indev &&
                      now.st_ino == ch->inino;
    if (!same && ch->outfd == -1) return zusdct(from, to);
    struct timespec times[2];
    if (same) {
        times[0] = ch->inatime;
        times[1] = ch->inmtime;
    } else if (stat(from, &now) == 0) {
        times[0] = now.st_atim;
        times[1] = now.st_mtim;
    } else {
        zusderr("zusdct: stat(%s,&status)!=0.", from);
        return zusdest(errno);
    }
    // A held output gets its times before its name shows it.
    if ((ch->outfd != -1 ? futimens(ch->outfd, times) : utimensat(AT_FDCWD, to, times, 0)) != 0) {
        zusderr("zusdct: utime(%s,&time)!=0.", to);
        return zusdest(errno);
    }
    return ZUSD_OK;
}

unsigned zucpsc(const char *in, const char *out, zusdprog /*progress*/, void *cbarg) {
    if (nobits(cbarg)) return ZUSD_OK;
    ErrnoKeeper keep;
    struct stat st;
    if (stat(in, &st) == 0) carry(-1, out, st);
    return ZUSD_OK;
}

unsigned zucpcu(FILE *in, FILE *out, unsigned char *buffer, std::uint32_t *count) {
    const std::size_t got = ZUSDRB(in, buffer, *count);
    if (ZUSDFR(in) != 0) {
        zusderr("zucpcu:  ZUSDFR( INfile ) after ZUSDRB( INfile )");
        return ZUSD_RDERR;
    }
    if (got > 0 && ZUSDWB(out, buffer, got) != got) {
        zusderr("zucpcu:  ZUSDWB( OUTfile,buffer,%d ) != %d", static_cast<int>(got),
                static_cast<int>(got));
        return ZUSD_WRERR;
    }
    if (ZUSDFR(out) != 0) {
        zusderr("zucpcu:  ZUSDFR( OUTfile )");
        return ZUSD_WRERR;
    }
    *count = static_cast<std::uint32_t>(got);
    return ZUSD_OK;
}

std::uint32_t zucpslice = 8u << 20;

namespace {

// Sends a codec copy's output towards the disk while the copy goes on: a
// thread of its own waits in fdatasync for what has been written so far,
// so the sync at the commit finds only the last steps' data left (on a
// virtual disk the sync costs about as much as the data it has to flush,
// even when the kernel has written it out already). The commit still
// syncs. The kernel reports a write error to one sync only, so an error
// this thread meets fails the copy. Without the thread (it could not be
// started) the kernel is only told to start writing.
class Flusher {
public:
    explicit Flusher(int fd) : fd_(fd) {}
    Flusher(const Flusher &) = delete;
    Flusher &operator=(const Flusher &) = delete;
    ~Flusher() { stop(); }

    // Data written so far is to go to the disk.
    void poke() {
        if (fd_ == -1) return;
        if (!started_) {
            started_ = true;
            sigset_t all, old;
            sigfillset(&all);  // the copying thread takes every signal
            pthread_sigmask(SIG_BLOCK, &all, &old);
            running_ = pthread_create(&th_, nullptr, run, this) == 0;
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
        }
        if (!running_) {
            sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
            return;
        }
        {
            std::lock_guard<std::mutex> lk(mu_);
            want_ = true;
        }
        cv_.notify_one();
    }

    // Waits for a sync under way; 0, or the errno of a sync that failed.
    int stop() {
        if (running_) {
            {
                std::lock_guard<std::mutex> lk(mu_);
                done_ = true;
            }
            cv_.notify_one();
            pthread_join(th_, nullptr);
            running_ = false;
        }
        return error_;
    }

private:
    static void *run(void *arg) {
        auto *f = static_cast<Flusher *>(arg);
        std::unique_lock<std::mutex> lk(f->mu_);
        for (;;) {
            f->cv_.wait(lk, [f] { return f->want_ || f->done_; });
            if (f->done_) return nullptr;
            f->want_ = false;
            lk.unlock();
            // Files that cannot be synced (EINVAL) are left to the commit.
            const int e = fdatasync(f->fd_) == 0 || errno == EINVAL ? 0 : errno;
            lk.lock();
            if (e != 0 && f->error_ == 0) f->error_ = e;
        }
    }

    int fd_;
    bool started_ = false, running_ = false;
    std::mutex mu_;
    std::condition_variable cv_;
    bool want_ = false, done_ = false;
    int error_ = 0;
    pthread_t th_{};
};

struct Steps {
    zucpcb *ch;
    zusdprog progress;
    zusdpoll poll;
    void *cbarg;
    std::uint64_t slice, next; /* a parallel run's steps end at `next` output bytes */
    Flusher *flush;
};

// After a step: progress gets the output's growth, and the poll may stop
// the copy (its status is returned).
unsigned stepped(void *arg) {
    auto *s = static_cast<Steps *>(arg);
    const std::uint64_t count = static_cast<zubfcb *>(s->ch->out)->count;
    const std::uint32_t n = count > kNoLimit ? kNoLimit : static_cast<std::uint32_t>(count);
    if (s->progress != nullptr) {
        s->progress(s->cbarg, n - s->ch->reported);
        s->ch->reported = n;
    }
    return s->poll != nullptr ? s->poll(s->cbarg) : ZUSD_OK;
}

// A parallel run's output has grown: a step once it has grown by a slice,
// after which the output is started on its way to the disk as well.
unsigned parstep(void *arg) {
    auto *s = static_cast<Steps *>(arg);
    auto *out = static_cast<zubfcb *>(s->ch->out);
    if (out->count < s->next) return ZUSD_OK;
    s->next = out->count + s->slice;
    const unsigned stop = stepped(arg);
    if (stop == 0) s->flush->poke();
    return stop;
}

unsigned runsteps(zucpcb *ch, zusdprog progress, zusdpoll poll, void *cbarg, Flusher *flush) {
    auto *in = static_cast<zubfcb *>(ch->in);
    auto *out = static_cast<zubfcb *>(ch->out);
    // The encoder stops once the output is within 2 bytes of its limit, so a
    // step must allow more than that to make headway.
    const std::uint64_t slice = zucpslice == 0 ? kNoLimit : zucpslice < 16 ? 16 : zucpslice;
    Steps steps{ch, progress, poll, cbarg, slice, out->count + slice, flush};
    const unsigned threads = zulzpt(ch->compress);
    const unsigned pst =
        threads < 2            ? ZUSD_OK
        : ch->compress != 0 ? zulzpe(in, out, static_cast<zulzecst *>(ch->work), threads, parstep, &steps)
                            : zulzpd(in, out, static_cast<zulzdcst *>(ch->work), threads, parstep, &steps);
    if (pst != ZUSD_OK) return pst;
    for (;;) {
        const std::uint64_t until = out->count + slice;
        const bool last = until >= kNoLimit;
        std::uint32_t n = last ? kNoLimit : static_cast<std::uint32_t>(until);
        unsigned st;
        bool done;
        if (ch->compress != 0) {
            auto *rec = static_cast<zulzecst *>(ch->work);
            st = zulzec(in, out, rec, 14, &n);
            done = zulzecdn(rec) != 0;
        } else {
            auto *rec = static_cast<zulzdcst *>(ch->work);
            st = zulzdc(in, out, rec, &n);
            done = rec->state < 1 || rec->state > 4;  // not held back at the limit
        }
        if (st != ZUSD_OK) return st;
        if (const unsigned stop = stepped(&steps); stop != 0) return stop;
        if (done || last) return ZUSD_OK;
        flush->poke();
    }
}

// An unlimited codec copy runs as a series of steps of about zucpslice
// output bytes each (the encoder and decoder stop at an output limit and go
// on from there on the same stream), and after each step the output is
// sent on its way to the disk (Flusher). The sync when the output is closed
// then waits only for the last steps' data. Outputs past the 32-bit range
// finish in one unlimited step. Progress gets the output's growth after
// each step. With threads to spare (zulzpt), the whole file goes first
// through the parallel encoder or decoder, which leave the serial one at
// its end (the decoder: at the start of its last stretch).
unsigned codecsteps(zucpcb *ch, zusdprog progress, zusdpoll poll, void *cbarg) {
    auto *out = static_cast<zubfcb *>(ch->out);
    Flusher flush(out->fp != nullptr ? fileno(out->fp) : -1);
    unsigned st = runsteps(ch, progress, poll, cbarg, &flush);
    if (const int e = flush.stop(); e != 0 && st == ZUSD_OK) {
        errno = e;
        zusderr("zucpcp:  fdatasync( OUTfile ) != 0");
        st = ZUSD_WRERR;
    }
    return st;
}

}  // namespace

// The limit 0xFFFFFFFF means no limit: the amount left is then never counted
// down, so a plain copy of more than 4 GiB is not cut at 4 GiB, and a codec
// copy runs to the end of its input.
unsigned zucpcp(zucpcb *ch, std::uint32_t limit, zusdprog progress, zusdpoll poll, void *cbarg) {
    ch->atlimit = 0;
    if (limit == 0) return ZUSD_OK;
    const bool unlimited = limit == kNoLimit;
    if (unlimited && coded(ch)) return codecsteps(ch, progress, poll, cbarg);
    std::uint64_t remaining = limit;
    for (;;) {
        std::uint32_t requested = 0;
        std::uint32_t n = 0;
        unsigned st;
        if (ch->subst != 0) {
            requested = static_cast<std::uint32_t>(remaining);
            st = zucpci(static_cast<FILE *>(ch->in), static_cast<FILE *>(ch->out),
                        static_cast<zucpsb *>(ch->work), &n);
        } else if (ch->compress != 0) {
            requested = n = static_cast<std::uint32_t>(remaining);
            st = zulzec(static_cast<zubfcb *>(ch->in), static_cast<zubfcb *>(ch->out),
                        static_cast<zulzecst *>(ch->work), 14, &n);
        } else if (ch->decompress != 0) {
            requested = n = static_cast<std::uint32_t>(remaining);
            st = zulzdc(static_cast<zubfcb *>(ch->in), static_cast<zubfcb *>(ch->out),
                        static_cast<zulzdcst *>(ch->work), &n);
        } else {
            requested =
                remaining < ch->bufsize ? static_cast<std::uint32_t>(remaining) : ch->bufsize;
            n = requested;
            st = zucpcu(static_cast<FILE *>(ch->in), static_cast<FILE *>(ch->out),
                        static_cast<unsigned char *>(ch->work), &n);
        }
        if (st != ZUSD_OK) return st;
        if (progress != nullptr) {
            if (ch->decompress != 0) {
                progress(cbarg, n - ch->reported);  // the decoder's count is cumulative
                ch->reported = n;
            } else {
                progress(cbarg, n);
                ch->reported += n;
            }
        }
        if (poll != nullptr) {
            const unsigned stop = poll(cbarg);
            if (stop != 0) return stop;
        }
        if (!unlimited) remaining -= n < remaining ? n : remaining;
        if (n < requested) return ZUSD_OK;
        if (remaining == 0) {
            ch->atlimit = 1;
            return ZUSD_OK;
        }
        if (unlimited && (coded(ch) || ch->subst != 0)) return ZUSD_OK;
    }
}
