// File status, removal, times and directory creation. Each service wraps one
// or two system calls, logs a failing call once and turns its error number
// into a status code; which failures count as success is part of each
// service's contract (a file that is not there counts as removed, and so on).
#include "szusd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

const char *text(const char *s) {
    return s != nullptr ? s : "";
}

// The size of `path` in full width, logged as zusdfz logs it.
unsigned statsize(const char *path, uint64_t *size) {
    struct stat st;
    if (stat(text(path), &st) != 0) {
        zusderr("zusdfz: stat(%s,...)!=0.", text(path));
        return zusdes(errno);
    }
    *size = static_cast<uint64_t>(st.st_size);
    return ZUSD_OK;
}

bool isdirectory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

unsigned zusdex(const char *path, int *exists) {
    if (access(text(path), F_OK) == 0) {
        *exists = 1;
        return ZUSD_OK;
    }
    if (errno == ENOENT || errno == ENOTDIR) {
        *exists = 0;
        return ZUSD_OK;
    }
    zusderr("zusdex: access(%s,%o)!=0.", text(path), 0);
    return errno == EACCES ? ZUSD_DENIED : ZUSD_SYSERR;
}

unsigned zusdpx(const char *path, int *exists) {
    return zusdex(path, exists);
}

unsigned zusdft(const char *path, int *isdir) {
    struct stat st;
    if (stat(text(path), &st) != 0) return zusdes(errno);
    *isdir = S_ISDIR(st.st_mode) ? 1 : 0;
    return ZUSD_OK;
}

// Sizes are handed out in 32 bits; a file of 4 GiB or more reads as the
// largest value instead of wrapping to a small (possibly zero) size.
unsigned zusdfz(const char *path, uint32_t *size) {
    uint64_t full = 0;
    if (const unsigned status = statsize(path, &full)) return status;
    *size = full > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(full);
    return ZUSD_OK;
}

unsigned zusdet(const char *first, const char *second, int *newer) {
    struct stat one, two;
    if (stat(text(first), &one) != 0 || stat(text(second), &two) != 0) {
        zusderr("zusdet: stat(%s -OR- %s,&status)!=0.", text(first), text(second));
        return zusdest(errno);
    }
    *newer = two.st_mtime >= one.st_mtime ? 1 : 0;
    return ZUSD_OK;
}

// The times go over with their sub-second part: utimensat takes the
// nanoseconds that stat reports, so a restored file is exactly as old as the
// file it was made from.
unsigned zusdct(const char *from, const char *to) {
    struct stat st;
    if (stat(text(from), &st) != 0) {
        zusderr("zusdct: stat(%s,&status)!=0.", text(from));
        return zusdest(errno);
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (utimensat(AT_FDCWD, text(to), times, 0) != 0) {
        zusderr("zusdct: utime(%s,&time)!=0.", text(to));
        return zusdest(errno);
    }
    return ZUSD_OK;
}

namespace {
unsigned fpstatus(int err) {
    if (err == ENOENT) return ZUSD_OK;
    return err == EACCES ? ZUSD_DENIED : ZUSD_SYSERR;
}
}  // namespace

// One byte cannot hold the owner's read bit nor the set-id and sticky bits;
// those stay as they are and only the low eight bits take the new value.
unsigned zusdfp(const char *path, const unsigned char *mode) {
    struct stat st;
    if (stat(text(path), &st) != 0) return fpstatus(errno);
    const mode_t bits = (st.st_mode & 07777 & ~static_cast<mode_t>(0377)) | *mode;
    if (chmod(text(path), bits) != 0) return fpstatus(errno);
    return ZUSD_OK;
}

unsigned zusdrm(const char *path) {
    if (unlink(text(path)) == 0) return ZUSD_OK;
    zusderr("zusdrm: unlink(%s)!=0.", text(path));
    switch (errno) {
        case EPERM:
        case EACCES:
            return ZUSD_DENIED;
        case ENOENT:
        case ENOTDIR:
            return ZUSD_OK;
        case EIO:
        case EBUSY:
        case EINVAL:
        case EROFS:
            return ZUSD_WRERR;
        default:
            return ZUSD_SYSERR;
    }
}

// Measured in full width: a file of exactly 4 GiB (or any multiple) is not
// empty even though its size does not fit 32 bits.
unsigned zusdrn(const char *path) {
    uint64_t size = 0;
    const unsigned status = statsize(path, &size);
    if (status == ZUSD_NOTFOUND) return ZUSD_OK;
    if (status != ZUSD_OK) return status;
    if (size != 0) return ZUSD_OK;
    return zusdrm(path);
}

unsigned zusdrr(const char *path) {
    if (rmdir(text(path)) == 0) return ZUSD_OK;
    zusderr("zusdrr: rmdir(%s)!=0.", text(path));
    switch (errno) {
        case ENOENT:
        case ENOTDIR:
        case EEXIST:
        case ENOTEMPTY:
            return ZUSD_OK;
        case EIO:
        case EBUSY:
        case EINVAL:
        case EROFS:
            return ZUSD_WRERR;
        case EACCES:
            return ZUSD_DENIED;
        default:
            return ZUSD_SYSERR;
    }
}

unsigned zusdmd(const char *path) {
    const char *p = text(path);
    const std::size_t len = std::strlen(p);
    char work[ZUSD_PATHSZ];
    if (len >= sizeof work) {
        errno = ENAMETOOLONG;
        zusderr("zusdmd: strlen(%s)>=%u.", p, ZUSD_PATHSZ);
        return ZUSD_SYSERR;
    }
    std::memcpy(work, p, len + 1);

    bool failed = false;
    for (std::size_t i = work[0] == '/' ? 1 : 0; i < len && !failed; ++i) {
        if (work[i] != '/') continue;
        work[i] = '\0';
        struct stat st;
        if (stat(work, &st) != 0) {
            // A parent made meanwhile by someone else is as good as our own.
            failed = errno != ENOENT || (mkdir(work, 0775) != 0 && errno != EEXIST);
        }
        if (!failed) work[i] = '/';
    }
    if (!failed) {
        if (mkdir(work, 0775) == 0) return ZUSD_OK;
        // Success only when a directory is really there: a plain file of that
        // name, or a refused creation, leaves the caller without one.
        if ((errno == EEXIST || errno == EACCES) && isdirectory(work)) return ZUSD_OK;
        if (errno == EEXIST) errno = ENOTDIR;
    }
    zusderr("zusdmd: stat -OR- mkdir(%s,...)!=0.", work);
    switch (errno) {
        case ENOENT:
        case ENOTDIR:
            return ZUSD_NOTFOUND;
        case EIO:
        case EROFS:
            return ZUSD_WRERR;
        case EACCES:
            return ZUSD_DENIED;
        case EEXIST:
            return ZUSD_OK;
        default:
            return ZUSD_SYSERR;
    }
}
