// Removable volumes: the mount point and command settings, identification of
// the volume in the drive by its VOLUME.ID, the prompt loop that asks for the
// right volume, free space and block size of a file system, and the loading
// of the settings from the installer's variable store.
#include "szusd.h"
#include "zutx.h"

#include "shared.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <sys/statvfs.h>

char whtdsk[ZUSD_VOLSETSZ] = "/mnt";
char owhtdsk[ZUSD_VOLSETSZ] = "/mnt";
char mntcmd[ZUSD_VOLSETSZ] = "/etc/mount -r /dev/dsk/f0q18dt";
char umntcmd[ZUSD_VOLSETSZ] = "/usr/bin/umnt";
char floppylog[ZUSD_VOLSETSZ] = "";

int (*zusd_statvfs)(const char *path, struct statvfs *st) = ::statvfs;

namespace {

// Values of the identification file are read into buffers of this size.
constexpr std::uint16_t kIdValueSize = 4096;

// Copies `text` into a setting when it fits whole; a cut mount point or
// command would name another place or run another command.
bool set_setting(char (&setting)[ZUSD_VOLSETSZ], const char *text) {
    const std::size_t len = std::strlen(text);
    if (len >= ZUSD_VOLSETSZ) return false;
    std::memcpy(setting, text, len + 1);
    return true;
}

// The identification file: whtdsk joined with base VOLUME and extension ID.
// False when the joined path would not fit a path buffer.
bool id_path(char (&path)[ZUSD_VOLSETSZ]) {
    static_assert(ZUSD_VOLSETSZ == ZUSD_PATHSZ);
    return zusdcm(path, whtdsk, "", "VOLUME", "ID") == ZUSD_OK;
}

// Status of the file system that holds `path`. A path that does not exist
// yet (the name of an output about to be written) lies on the file system
// of its directory, which is asked instead.
int fs_status(const char *path, struct statvfs *st) {
    if (zusd_statvfs(path, st) == 0) return 0;
    if (errno != ENOENT) return -1;
    const int saved = errno;
    if (zusd_statvfs(zusdhd(path).c_str(), st) == 0) return 0;
    errno = saved;
    return -1;
}

}  // namespace

unsigned zusdfgv(const char *path, const char *volname, const unsigned *volnum) {
    (void)path;
    char idfile[ZUSD_VOLSETSZ];
    const bool have_path = id_path(idfile);
    if (volname == nullptr || volname[0] == '\0') return ZUSD_OK;
    zusdufm(0);
    if (!have_path) {
        zusdufu(0);
        return ZUSD_NOTFOUND;
    }

    char value[kIdValueSize];
    if (zusdtr("FLOPPY", idfile, nullptr, value, sizeof value) != ZUSD_OK) {
        zusdufu(0);
        return ZUSD_NOTFOUND;
    }
    std::uint32_t number = 0;
    if (!zutxp4(value, &number)) {
        zusdufu(0);
        return ZUSD_SYSERR;
    }
    if (zusdtr("VOLNAME", idfile, nullptr, value, sizeof value) != ZUSD_OK) {
        zusdufu(0);
        return ZUSD_NOTFOUND;
    }
    if (zutxsm(value, volname, 65535) && volnum != nullptr && number == *volnum) return ZUSD_OK;
    zusdufu(0);
    return ZUSD_NOTFOUND;
}

unsigned zusdfcv(const char *path, const char *volname, const char *label, unsigned volnum,
                 int resave, zusdvpfn prompt, void *context, int wrong) {
    unsigned status = zusdfgv(path, volname, &volnum);
    if (status == ZUSD_OK) return ZUSD_OK;
    for (unsigned attempt = 0;; ++attempt) {
        if (attempt > 0) wrong = status != ZUSD_SYSERR ? 1 : 0;
        // Without a prompt nobody can change the volume: give up rather
        // than check the same drive for ever.
        if (prompt == nullptr) return ZUSD_CANCELLED;
        int cancel = 0;
        prompt(context, whtdsk, label, volnum, "Unix", &cancel, wrong);
        // The user may have typed a new mount point; keep it a terminated
        // path whatever the callback left in the buffer.
        whtdsk[ZUSD_VOLSETSZ - 1] = '\0';
        zusdpt(whtdsk);
        if (cancel) return ZUSD_CANCELLED;
        if (resave) zusdfsv(volname, volnum);
        status = zusdfgv(path, volname, &volnum);
        if (status == ZUSD_OK) return ZUSD_OK;
    }
}

unsigned zusdfsv(const char *volname, unsigned volnum) {
    (void)volname;
    (void)volnum;
    return ZUSD_OK;
}

unsigned zusdfpv(const char *path, long word, std::uint32_t *freebytes) {
    (void)word;
    return zusdfs(path, freebytes);
}

unsigned zusdfs(const char *path, std::uint32_t *freebytes) {
    struct statvfs st {};
    if (fs_status(path, &st) != 0) {
        zusderr("zusdfs: statfs/statvfs(%s,...)!=0.", path);
        *freebytes = 0;
        return zusdes(errno);
    }
    // More than 4 GiB free is still "enough": saturate instead of wrapping
    // to a small number that would cut pieces short or refuse a volume.
    const unsigned long long bytes = static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
    const bool overflow =
        st.f_frsize != 0 && bytes / st.f_frsize != static_cast<unsigned long long>(st.f_bavail);
    *freebytes =
        overflow || bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(bytes);
    return ZUSD_OK;
}

unsigned zusdbs(const char *path, std::uint32_t *size) {
    struct statvfs st {};
    if (fs_status(path, &st) != 0) {
        zusderr("zusdbs: statfs/statvfs(%s,...)!=0.", path);
        *size = 0;
        return zusdes(errno);
    }
    *size = st.f_frsize > 0xFFFFFFFFul ? 0 : static_cast<std::uint32_t>(st.f_frsize);
    return ZUSD_OK;
}

std::uint32_t zusdcs(const char *path, std::uint32_t length) {
    std::uint32_t block = 0;
    if (zusdbs(path, &block) != ZUSD_OK || block == 0) return length;
    const std::uint64_t rounded = (static_cast<std::uint64_t>(length) + block - 1) / block * block;
    return rounded > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rounded);
}

void zusdfvp(char *answer, const char *location, const char *label, long volnum, std::size_t size) {
    std::printf("Insert disk to be labeled '%s %ld' into '%s': ", label ? label : "", volnum,
                location ? location : "");
    std::fflush(stdout);
    if (answer == nullptr || size == 0) return;
    answer[0] = '\0';
    // fgets takes an int bound; a larger buffer is simply not filled further.
    const int bound = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    if (std::fgets(answer, bound, stdin) == nullptr) {
        answer[0] = '\0';
        return;
    }
    const std::size_t len = std::strlen(answer);
    if (len > 0 && answer[len - 1] == '\n') {
        answer[len - 1] = '\0';
    } else if (len + 1 == size) {
        // The line did not fit: drop the rest of it so that it cannot be
        // taken as the answer to the next prompt.
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') {
        }
    }
}

unsigned zusdvi(void *store, void *scope, zusdvifind find, zusdvikey key, void *a, void *b,
                zusdvipresent present, zusdvivalue value, zusdvitext text, zusdvirelease release) {
    static constexpr const char *kNames[4] = {"default_floppy_location", "default_mount_command",
                                              "default_unmount_command", "floppy_install_log"};
    void *handles[4] = {};
    for (int i = 0; i < 4; ++i) handles[i] = find(store, scope, key(store, scope, kNames[i]), a, b);

    unsigned status = ZUSD_OK;
    for (int i = 0; i < 4; ++i) {
        if (!present(store, handles[i])) continue;
        void *val = value(store, handles[i]);
        const char *txt = text(store, val);
        if (txt == nullptr) continue;
        switch (i) {
            case 0: {
                // The mount point keeps its value on this platform; the
                // location is only handed on to the (empty) drive setting.
                char location[ZUSD_VOLSETSZ];
                if (set_setting(location, txt)) {
                    zusddr(location);
                    zusdud(location);
                } else {
                    status = ZUSD_TOOLONG;
                }
                break;
            }
            case 1:
                if (!set_setting(mntcmd, txt)) status = ZUSD_TOOLONG;
                break;
            case 2:
                if (!set_setting(umntcmd, txt)) status = ZUSD_TOOLONG;
                break;
            default:
                if (!set_setting(floppylog, txt)) status = ZUSD_TOOLONG;
                break;
        }
        release(store, val);
    }
    return status;
}
