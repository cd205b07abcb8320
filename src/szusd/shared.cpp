// Files in directories that others may write: logs appended to by several
// processes are opened without following a link at their name, and created
// exclusively when they are new, so that nobody can point them elsewhere.
#include "shared.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// A name removed and created again by others between our two opens sends us
// round again; a few rounds are plenty for any honest race.
constexpr int kOpenRounds = 4;

}  // namespace

int zusdox(const char *path, int flags, mode_t mode) {
    // O_NONBLOCK only for the open itself: a FIFO without a reader would
    // otherwise block it for ever.
    const int how = flags | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    for (int round = 0; round < kOpenRounds; ++round) {
        int fd = ::open(path, how);
        if (fd == -1 && errno == ENOENT) {
            fd = ::open(path, how | O_CREAT | O_EXCL, mode);
            if (fd == -1 && errno == EEXIST) continue;
        }
        if (fd == -1) return -1;
        const int now = ::fcntl(fd, F_GETFL);
        if ((flags & O_NONBLOCK) == 0 &&
            (now == -1 || ::fcntl(fd, F_SETFL, now & ~O_NONBLOCK) == -1)) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return -1;
        }
        return fd;
    }
    errno = EEXIST;
    return -1;
}

std::string zusdhd(const char *path) {
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) return ".";
    if (slash == path) return "/";
    return std::string(path, static_cast<std::size_t>(slash - path));
}
