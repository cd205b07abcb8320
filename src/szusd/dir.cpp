// Directory listings: an open directory handle owned by the caller between
// zusdod and zusdcd; each entry comes with its size and directory flag.
#include "szusd.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

unsigned zusdod(DIR **handle, const char *path, uint32_t *a, uint32_t *b) {
    if (a != nullptr) *a = 0;
    if (b != nullptr) *b = 0;
    const char *p = path != nullptr ? path : "";
    *handle = opendir(p);
    if (*handle != nullptr) return ZUSD_OK;
    zusderr("zusdod: opendir(%s)==0.", p);
    return zusdes(errno);
}

unsigned zusdnx(DIR **handle, const char *dir, uint32_t /*x*/, char *name, uint32_t *size,
                int *isdir) {
    if (*handle == nullptr) {
        errno = EBADF;
        zusderr("zusdnx: readdir(%lx)==0.", 0ul);
        return ZUSD_SYSERR;
    }
    const struct dirent *entry;
    for (;;) {
        // readdir gives null both at the end and on an error; errno tells.
        errno = 0;
        entry = readdir(*handle);
        if (entry == nullptr) {
            if (errno == 0) return ZUSD_NOMORE;
            zusderr("zusdnx: readdir(%lx)==0.", reinterpret_cast<unsigned long>(*handle));
            return zusdes(errno);
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) break;
    }
    // A name is at most NAME_MAX (255) bytes, so it fits ZUSD_BASESZ.
    const std::size_t len = std::strlen(entry->d_name);
    if (len >= ZUSD_BASESZ) {
        errno = ENAMETOOLONG;
        zusderr("zusdnx: strlen(%s)>=%u.", entry->d_name, ZUSD_BASESZ);
        return ZUSD_SYSERR;
    }
    std::memcpy(name, entry->d_name, len + 1);

    char work[ZUSD_PATHSZ];
    if (const unsigned status = zusdcm(work, "", dir, name, "")) return status;
    struct stat st;
    if (stat(work, &st) != 0) {
        zusderr("zusdnx: stat(%s,&status)!=0.", work);
        return zusdes(errno);
    }
    const auto full = static_cast<uint64_t>(st.st_size);
    *size = full > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(full);
    *isdir = S_ISDIR(st.st_mode) ? 1 : 0;
    return ZUSD_OK;
}

unsigned zusdrs(DIR **handle, uint32_t /*x*/, uint32_t *position) {
    if (position != nullptr) *position = 0;
    if (*handle != nullptr) rewinddir(*handle);
    return ZUSD_OK;
}

unsigned zusdcd(DIR **handle) {
    if (*handle == nullptr) return ZUSD_OK;
    // The handle's value is kept for the log as a plain number: closedir
    // releases what it points to.
    unsigned long value;
    static_assert(sizeof value == sizeof *handle);
    std::memcpy(&value, handle, sizeof value);
    DIR *const open = *handle;
    *handle = nullptr;
    if (closedir(open) == 0) return ZUSD_OK;
    zusderr("zusdcd: closedir(%lx)!=0.", value);
    return zusdes(errno);
}
