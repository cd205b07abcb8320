// Copy channel: opens, copies and closes the files of one copy in one of four
// ways (plain blocks, encoder, decoder, substitution) and carries times and
// permission bits over. The output is never reached through a symbolic link,
// is owner-only while it is written, and is flushed and synced on closing so
// that a caller may remove the input once the channel reports success.
#include "szucp.h"

#include "zubf.h"
#include "zudt.h"
#include "zuet.h"
#include "zulz.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

zucpowrec zucpgbow = {0, 0, 0};

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

// Open the output `path` for the channel: through its directory, never
// through a symbolic link at its name, only a regular file that is not the
// file being read (`infd`). A new file is created 0600; an existing one,
// unless appended to, is made 0600 and then truncated. The file is recorded
// in zucpgbow once it is this run's. Returns the descriptor (and the
// directory's in *dirfd), or -1 with errno set.
int openout(const char *path, bool append, int infd, int *dirfd, const char **why) {
    *dirfd = -1;
    *why = nullptr;
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
    if (*base == '\0') {
        errno = EISDIR;
        return -1;
    }
    const int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd == -1) return -1;

    const int flags =
        (append ? O_RDWR | O_APPEND : O_WRONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    bool created = true;
    int fd = openat(dfd, base, flags | O_CREAT | O_EXCL, 0600);
    if (fd == -1 && errno == EEXIST) {
        created = false;
        fd = openat(dfd, base, flags);
        if (fd == -1 && errno == ELOOP) *why = "is a symbolic link";
    }
    if (fd == -1) {
        ErrnoKeeper keep;
        close(dfd);
        return -1;
    }
    struct stat st;
    struct stat in;
    bool ok = fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        *why = "is not a regular file";
        ok = false;
    }
    if (ok && infd != -1 && fstat(infd, &in) == 0 && in.st_dev == st.st_dev &&
        in.st_ino == st.st_ino) {
        errno = EINVAL;
        *why = "is the file being read";
        ok = false;
    }
    const auto record = [&st]() {
        zucpgbow.set = 0;
        zucpgbow.dev = st.st_dev;
        zucpgbow.ino = st.st_ino;
        zucpgbow.set = 1;
    };
    if (ok && created) record();
    if (ok && !append && !created) {
        // Private before any byte goes in; the input's bits come at the end.
        if ((st.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0) ok = false;
        if (ok) {
            record();
            if (st.st_size != 0 && ftruncate(fd, 0) != 0) {
                zucpgbow.set = 0;
                ok = false;
            }
        }
    }
    if (ok && !blocking(fd)) ok = false;
    if (!ok) {
        ErrnoKeeper keep;
        close(fd);
        close(dfd);
        return -1;
    }
    *dirfd = dfd;
    return fd;
}

// Write out, flush and sync a stdio stream; false on any failure.
bool syncstream(FILE *fp) {
    if (std::fflush(fp) != 0 || std::ferror(fp) != 0) return false;
    return fsync(fileno(fp)) == 0;
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

int zucprmo(const char *path) {
    if (zucpgbow.set == 0 || path == nullptr || path[0] == '\0') return 0;
    struct stat st;
    if (lstat(path, &st) != 0 || st.st_dev != zucpgbow.dev || st.st_ino != zucpgbow.ino) return 0;
    if (unlink(path) != 0) return 0;
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
    if (ch->outdir != -1) close(ch->outdir);
    ch->outdir = -1;
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
    const bool append = ch->append != 0 && !coded(ch);
    int dfd = -1;
    const char *why = nullptr;
    // An interrupt between creating the file and recording it as this run's
    // would leave it behind: it waits until the record is made.
    sigset_t block;
    sigset_t old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &old);
    const int fd = openout(path, append, streamfd(ch, ch->in), &dfd, &why);
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
    ch->out =
        coded(ch) ? static_cast<void *>(codestream(fd, false)) : fdopen(fd, append ? "a+" : "w");
    if (ch->out == nullptr) {
        ErrnoKeeper keep;
        if (!coded(ch)) close(fd);
        close(dfd);
        zusderr("zucpow:  %s( %s ) == ZUSDFN", macro, path);
        return ZUSD_WRERR;
    }
    if (ch->outdir != -1) close(ch->outdir);
    ch->outdir = dfd;
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
    if (coded(ch)) {
        const int flags = (final != 0 ? ZUBF_FLUSH : 0) | ZUBF_SYNC;
        ok = zubfcl(static_cast<zubfcb *>(ch->out), flags) != 0;
    } else {
        FILE *fp = static_cast<FILE *>(ch->out);
        ok = syncstream(fp);
        ErrnoKeeper keep;
        if (std::fclose(fp) != 0 && ok) {
            keep.saved = errno;
            ok = false;
        }
    }
    ch->out = nullptr;
    if (ok && ch->outdir != -1) ok = syncdir(ch->outdir);
    if (ch->outdir != -1) {
        ErrnoKeeper keep;
        close(ch->outdir);
    }
    ch->outdir = -1;
    if (!ok) {
        zusderr("zucpcw:  ZUSDFR( OUTfile ) after writing, flushing and syncing it");
        return ZUSD_WRERR;
    }
    return ZUSD_OK;
}

unsigned zucppc(zucpcb *ch, const char * /*inname*/, const char *name) {
    char path[ZUSD_PATHSZ];
    if (outname(ch, name, path) != ZUSD_OK) return ZUSD_OK;
    ErrnoKeeper keep;
    struct stat st;
    if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return ZUSD_OK;
    if (!S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR) != 0) return ZUSD_OK;
    // The file being read is never made writable here: opening the output
    // refuses it.
    const int infd = streamfd(ch, ch->in);
    struct stat in;
    if (infd != -1 && fstat(infd, &in) == 0 && in.st_dev == st.st_dev && in.st_ino == st.st_ino)
        return ZUSD_OK;
    // Without following a link that may have been put at the name since.
    fchmodat(AT_FDCWD, path, (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW);
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
    if (ch->intimes == 0 || stat(from, &now) != 0 || now.st_dev != ch->indev ||
        now.st_ino != ch->inino) {
        return zusdct(from, to);
    }
    const struct timespec times[2] = {ch->inatime, ch->inmtime};
    if (utimensat(AT_FDCWD, to, times, 0) != 0) {
        zusderr("zusdct: utime(%s,&time)!=0.", to);
        return zusdest(errno);
    }
    return ZUSD_OK;
}

unsigned zucpsc(const char *in, const char *out, zusdprog /*progress*/, void *cbarg) {
    if (cbarg != nullptr && static_cast<const std::uint32_t *>(cbarg)[4] != 0) return ZUSD_OK;
    ErrnoKeeper keep;
    struct stat st;
    if (stat(in, &st) != 0) return ZUSD_OK;
    if (fchmodat(AT_FDCWD, out, st.st_mode & 07777, AT_SYMLINK_NOFOLLOW) != 0) {
        zusderr("zucpsc: chmod(%s,%o)!=0.", out, static_cast<unsigned>(st.st_mode & 07777));
    }
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

// An unlimited codec copy runs as a series of steps of about zucpslice
// output bytes each (the encoder and decoder stop at an output limit and go
// on from there on the same stream), and after each step the kernel is told
// to start writing the output out. The sync when the output is closed then
// waits only for the last step's data. Outputs past the 32-bit range finish
// in one unlimited step. Progress gets the output's growth after each step.
unsigned codecsteps(zucpcb *ch, zusdprog progress, zusdpoll poll, void *cbarg) {
    auto *in = static_cast<zubfcb *>(ch->in);
    auto *out = static_cast<zubfcb *>(ch->out);
    // The encoder stops once the output is within 2 bytes of its limit, so a
    // step must allow more than that to make headway.
    const std::uint64_t slice = zucpslice == 0 ? kNoLimit : zucpslice < 16 ? 16 : zucpslice;
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
        if (progress != nullptr) {
            progress(cbarg, n - ch->reported);
            ch->reported = n;
        }
        if (poll != nullptr) {
            const unsigned stop = poll(cbarg);
            if (stop != 0) return stop;
        }
        if (done || last) return ZUSD_OK;
        if (out->fp != nullptr) sync_file_range(fileno(out->fp), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
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
