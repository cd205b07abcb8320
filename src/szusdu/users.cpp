// Users, groups and ownership: directory and device tests, home directories
// and group names, the supplementary group list, applying owner, group and
// permission bits to installed files, and the write-permission test for the
// directory that will hold a new file.
#include "szusdu.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

const zusdu_calls zusdu_sys_default = {::getpwnam, ::getgrnam, ::getgrgid,
                                       ::getgroups, ::chmod, ::chown};
zusdu_calls zusdu_sys = {::getpwnam, ::getgrnam, ::getgrgid,
                         ::getgroups, ::chmod, ::chown};

namespace {

// Text for a log record; a null pointer must never reach printf's %s.
const char *shown(const char *text) { return text != nullptr ? text : "(null)"; }

bool has_text(const char *text) { return text != nullptr && text[0] != '\0'; }

// A heap copy the caller releases with free(); null when memory runs out.
char *copy_text(const char *text) {
    const size_t len = std::strlen(text);
    char *copy = static_cast<char *>(std::malloc(len + 1));
    if (copy != nullptr) std::memcpy(copy, text, len + 1);
    return copy;
}

}  // namespace

// The user entry and the group entry found last by zusdia. The system's
// lookups return storage that their next call overwrites (and zusduhd,
// zusdugn or zusdugi may make that call), so each cache points at the
// module's own copy of the name and number, never at the system's storage.
static struct passwd passwd_copy;
static struct passwd *passwd = nullptr;
static struct group group_copy;
static struct group *group = nullptr;

void zusdu_forget(void) {
    if (passwd != nullptr) std::free(passwd->pw_name);
    passwd = nullptr;
    if (group != nullptr) std::free(group->gr_name);
    group = nullptr;
}

namespace {

// Find the user number of `name`, through the cache. False when there is no
// such user. Without memory for the cached copy the number is still
// returned; the next call then simply looks the name up again.
bool find_user(const char *name, uid_t *uid) {
    if (passwd != nullptr && std::strcmp(passwd->pw_name, name) == 0) {
        *uid = passwd->pw_uid;
        return true;
    }
    if (passwd != nullptr) std::free(passwd->pw_name);
    passwd = nullptr;
    const struct passwd *found = zusdu_sys.getpwnam(name);
    if (found == nullptr) return false;
    *uid = found->pw_uid;
    if (found->pw_name != nullptr) {
        if (char *copy = copy_text(found->pw_name)) {
            passwd_copy = {};
            passwd_copy.pw_name = copy;
            passwd_copy.pw_uid = found->pw_uid;
            passwd_copy.pw_gid = found->pw_gid;
            passwd = &passwd_copy;
        }
    }
    return true;
}

bool find_group(const char *name, gid_t *gid) {
    if (group != nullptr && std::strcmp(group->gr_name, name) == 0) {
        *gid = group->gr_gid;
        return true;
    }
    if (group != nullptr) std::free(group->gr_name);
    group = nullptr;
    const struct group *found = zusdu_sys.getgrnam(name);
    if (found == nullptr) return false;
    *gid = found->gr_gid;
    if (found->gr_name != nullptr) {
        if (char *copy = copy_text(found->gr_name)) {
            group_copy = {};
            group_copy.gr_name = copy;
            group_copy.gr_gid = found->gr_gid;
            group = &group_copy;
        }
    }
    return true;
}

// Permission text: an octal number, blanks allowed around it. Signs, other
// digits and trailing text are not a number, so such text leaves the bits
// alone rather than being read as some other mode.
bool parse_mode(const char *text, mode_t *mode) {
    while (*text == ' ') ++text;
    if (*text < '0' || *text > '7') return false;
    unsigned long value = 0;
    for (; *text >= '0' && *text <= '7'; ++text) {
        value = value * 8 + static_cast<unsigned long>(*text - '0');
        if (value > 0xFFFFFFFFUL) return false;
    }
    while (*text == ' ') ++text;
    if (*text != '\0') return false;
    *mode = static_cast<mode_t>(value);
    return true;
}

unsigned chown_status(int err) {
    switch (err) {
        case EPERM:
        case EACCES: return ZUSD_DENIED;
        case ENOENT:
        case ENOTDIR: return ZUSD_NOTFOUND;
        case EROFS: return ZUSD_WRERR;
        default: return ZUSD_SYSERR;
    }
}

// The status mapping of the directory and device tests: a path below a
// plain file is reported as having no such name part.
unsigned stat_status(int err) {
    switch (err) {
        case ENOENT: return ZUSD_NOTFOUND;
        case EACCES: return ZUSD_DENIED;
        case ENOTDIR: return ZUSD_NOMORE;
        default: return ZUSD_SYSERR;
    }
}

}  // namespace

unsigned zusduir(int *isroot) {
    if (isroot != nullptr) *isroot = geteuid() == 0 ? 1 : 0;
    return ZUSD_OK;
}

unsigned zusduid(const char *path, int *isdir) {
    int unused;
    if (isdir == nullptr) isdir = &unused;
    *isdir = 0;
    if (path == nullptr) return ZUSD_NOTFOUND;
    struct stat status;
    if (stat(path, &status) != 0) {
        zusderr("zusduid: stat(%s,&status)!=0.", path);
        return stat_status(errno);
    }
    *isdir = S_ISDIR(status.st_mode) ? 1 : 0;
    return ZUSD_OK;
}

unsigned zusdurf(const char *path, int *ischr) {
    int unused;
    if (ischr == nullptr) ischr = &unused;
    *ischr = 0;
    if (path == nullptr) return ZUSD_NOTFOUND;
    struct stat status;
    if (stat(path, &status) != 0) {
        zusderr("zusdurf: stat(%s,&status)!=0.", path);
        return stat_status(errno);
    }
    *ischr = S_ISCHR(status.st_mode) ? 1 : 0;
    return ZUSD_OK;
}

unsigned zusduhd(const char *user, char **home) {
    const struct passwd *entry = user != nullptr ? zusdu_sys.getpwnam(user) : nullptr;
    if (entry == nullptr) {
        zusderr("zusduhd: getpwnam(%s)==0.", shown(user));
        return ZUSD_NOUSER;
    }
    char *copy = copy_text(entry->pw_dir != nullptr ? entry->pw_dir : "");
    if (copy == nullptr) return ZUSD_NOMEM;
    if (home != nullptr)
        *home = copy;
    else
        std::free(copy);
    return ZUSD_OK;
}

unsigned zusdugn(const char *user, char **name) {
    const struct passwd *entry = user != nullptr ? zusdu_sys.getpwnam(user) : nullptr;
    if (entry == nullptr) {
        zusderr("zusdugn: getpwnam(%s)==0.", shown(user));
        return ZUSD_NOUSER;
    }
    const gid_t gid = entry->pw_gid;
    const struct group *primary = zusdu_sys.getgrgid(gid);
    if (primary == nullptr || primary->gr_name == nullptr) {
        zusderr("zusdugn: getgrgid(%d)==0.", static_cast<int>(gid));
        return ZUSD_NOGROUP;
    }
    char *copy = copy_text(primary->gr_name);
    if (copy == nullptr) return ZUSD_NOMEM;
    if (name != nullptr)
        *name = copy;
    else
        std::free(copy);
    return ZUSD_OK;
}

unsigned zusdugl(uint16_t *count, gid_t **list) {
    uint16_t unused_count;
    gid_t *unused_list;
    if (count == nullptr) count = &unused_count;
    if (list == nullptr) list = &unused_list;
    *count = 0;
    *list = nullptr;
    const int total = zusdu_sys.getgroups(0, nullptr);
    if (total == -1) {
        zusderr("zusdugl: getgroups(?,?)==-1.");
        return ZUSD_SYSERR;
    }
    if (total <= 0) return ZUSD_OK;
    // The count is 16 bits wide; a larger list cannot be handed out whole.
    if (total > 0xFFFF) {
        zusderr("zusdugl: getgroups(0,0)=%d>65535.", total);
        return ZUSD_SYSERR;
    }
    // One entry to spare, should a group be added between the two calls.
    const int room = total + 1;
    gid_t *groups = static_cast<gid_t *>(std::malloc(sizeof(gid_t) * static_cast<size_t>(room)));
    if (groups == nullptr) return ZUSD_NOMEM;
    const int fetched = zusdu_sys.getgroups(room, groups);
    if (fetched == -1 || fetched > room) {
        std::free(groups);
        zusderr("zusdugl: getgroups(?,?)==-1.");
        return ZUSD_SYSERR;
    }
    if (fetched <= 0 || fetched > 0xFFFF) {
        std::free(groups);
        if (fetched <= 0) return ZUSD_OK;
        zusderr("zusdugl: getgroups(%d,list)=%d>65535.", room, fetched);
        return ZUSD_SYSERR;
    }
    *count = static_cast<uint16_t>(fetched);
    *list = groups;
    return ZUSD_OK;
}

unsigned zusdugi(uint16_t index, const gid_t *list, char **name) {
    if (list == nullptr) {
        zusderr("zusdugi: getgrgid(list[%u]) without a list.", static_cast<unsigned>(index));
        return ZUSD_NOGROUP;
    }
    const gid_t gid = list[index];
    const struct group *entry = zusdu_sys.getgrgid(gid);
    if (entry == nullptr || entry->gr_name == nullptr) {
        zusderr("zusdugi: getgrgid(%d)==0.", static_cast<int>(gid));
        return ZUSD_NOGROUP;
    }
    char *copy = copy_text(entry->gr_name);
    if (copy == nullptr) return ZUSD_NOMEM;
    if (name != nullptr)
        *name = copy;
    else
        std::free(copy);
    return ZUSD_OK;
}

unsigned zusdia(const char *path, const zusdfat *attributes) {
    if (attributes == nullptr) return ZUSD_OK;

    mode_t mode;
    if (has_text(attributes->mode) && parse_mode(attributes->mode, &mode) &&
        (path == nullptr || std::strcmp(path, "/dev/null") != 0)) {
        if (path == nullptr) return ZUSD_NOTFOUND;
        if (zusdu_sys.chmod(path, mode) != 0) {
            zusderr("zusdia: chmod(%s,%x)!=0.", path, static_cast<unsigned>(mode));
            return zusdest(errno);
        }
    }

    const bool have_owner = has_text(attributes->owner);
    const bool have_group = has_text(attributes->group);
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    if (have_owner && !find_user(attributes->owner, &uid)) {
        zusderr("zusdia: getpwnam(%s)==0.", attributes->owner);
        return ZUSD_NOUSER;
    }
    if (have_group && !find_group(attributes->group, &gid)) {
        zusderr("zusdia: getgrnam(%s)==0.", attributes->group);
        return ZUSD_NOGROUP;
    }
    if (!have_owner && !have_group) return ZUSD_OK;
    if (path == nullptr) return ZUSD_NOTFOUND;
    if (zusdu_sys.chown(path, uid, gid) != 0) {
        zusderr("zusdia: chown(%s,%d,%d)!=0.", path, static_cast<int>(uid), static_cast<int>(gid));
        return chown_status(errno);
    }
    return ZUSD_OK;
}

unsigned zusdugw(char *path, int *ok) {
    int unused;
    if (ok == nullptr) ok = &unused;
    *ok = 1;
    if (path == nullptr) {
        *ok = 0;
        return ZUSD_OK;
    }
    struct stat status;
    // A missing file is fine: it is about to be created.
    if (stat(path, &status) != 0 && errno != ENOENT) {
        zusderr("zusdugw:  stat( %s, &buf ) < 0", path);
        *ok = 0;
        return ZUSD_OK;
    }
    // The directory that holds the file: the path cut at its last '/', the
    // root itself for a file directly under it, and the current directory
    // for a bare name.
    const char *dir = ".";
    if (char *slash = std::strrchr(path, '/')) {
        if (slash == path)
            slash[1] = '\0';
        else
            *slash = '\0';
        dir = path;
    }
    if (stat(dir, &status) != 0) {
        zusderr("zusdugw:  stat( %s, &buf ) < 0", dir);
        *ok = 0;
        return ZUSD_OK;
    }
    *ok = status.st_uid == getuid() || status.st_gid == getgid() ? 1 : 0;
    return ZUSD_OK;
}
