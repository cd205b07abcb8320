// Status-code mapping of system error numbers and the error log: one line
// appended per failure to the file named by zusdlg or ZU_ERRORLOG.
#include "szusd.h"

#include "shared.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

char *zusdlg_filename = nullptr;
unsigned zusdlg_level = 0;
thread_local int zusdquiet = 0;

unsigned zusdes(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR: return ZUSD_NOTFOUND;
        case EACCES: return ZUSD_DENIED;
        default: return ZUSD_SYSERR;
    }
}

unsigned zusdest(int err) {
    switch (err) {
        case EPERM:
        case EACCES: return ZUSD_DENIED;
        case ENOENT:
        case ENOTDIR: return ZUSD_NOTFOUND;
        case EIO:
        case EROFS: return ZUSD_WRERR;
        default: return ZUSD_SYSERR;
    }
}

unsigned zusdesm(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR: return ZUSD_NOTFOUND;
        case EIO:
        case EBUSY:
        case EINVAL:
        case EROFS: return ZUSD_WRERR;
        case EACCES: return ZUSD_DENIED;
        default: return ZUSD_SYSERR;
    }
}

int zusdlg(const char *path, unsigned level) {
    if (path == nullptr) return 0;
    std::free(zusdlg_filename);
    zusdlg_filename = nullptr;
    zusdlg_level = 0;
    // Lengths are 16-bit throughout the string library; a longer name could
    // only be a cut (and so different) file name, so it leaves the log off.
    const size_t len = std::strlen(path);
    if (len > 0xFFFF) return 0;
    char *copy = static_cast<char *>(std::malloc(len + 1));
    if (copy == nullptr) return 0;
    std::memcpy(copy, path, len + 1);
    zusdlg_filename = copy;
    zusdlg_level = level;
    return 1;
}

FILE *zusdla(unsigned mask) {
    if (zusdquiet != 0) return nullptr;
    if (zusdlg_filename == nullptr) {
        if (const char *env = std::getenv("ZU_ERRORLOG")) zusdlg(env, 7);
    }
    if ((zusdlg_level & mask) != mask) return nullptr;
    if (zusdlg_level == 0 || zusdlg_filename == nullptr) return nullptr;
    // The log often lives in a shared directory such as /tmp: it is never
    // written through a link planted at its name, and a new one is the
    // owner's alone, since its records name the files a run worked on.
    const int fd = zusdox(zusdlg_filename, O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
    if (fd == -1) return nullptr;
    FILE *log = fdopen(fd, "a");
    if (log == nullptr) ::close(fd);
    return log;
}

int zusderr(const char *format, ...) {
    const int saved = errno;
    int result = 0;
    if (FILE *log = zusdla(1)) {
        time_t now;
        zusdgd(&now);
        char date[21];
        zusddu(&now, date, 0);
        std::fprintf(log, "(( ZUERR-OSD: %s [Errno=%-3d]  ", date, saved);
        va_list args;
        va_start(args, format);
        std::vfprintf(log, format, args);
        va_end(args);
        std::fputs(" ))\n", log);
        result = std::fclose(log);
    }
    errno = saved;
    return result;
}
