// Writing definition files and the environment. Every change of a file,
// free lines and new files included, lands whole or not at all: under a lock
// that serialises the updaters of the file, the new content goes into a
// fresh work file beside it, is synced and renamed over the file, and the
// directory is synced. Readers see the old file or the new one, never a part.
#include "szusd.h"
#include "zutx.h"

#include "shared.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

unsigned zusdmy_wait = 5000;
int (*zusd_rename)(const char *from, const char *to) = ::rename;

namespace {

// Token and raw-line buffers of the rewrite.
constexpr std::uint16_t kTokenSize = 4096;

// Extension that names a definition file's companions: its work files
// "<base>.x1z.XXXXXX" and its lock file "<base>.x1z.lck".
constexpr const char kWorkExt[] = "x1z";

// Pause between two attempts at a lock that another updater holds: short
// against a rewrite of a few kilobytes, long enough not to spin.
constexpr long kLockPollNs = 2'000'000;

struct FileCloser {
    void operator()(FILE *f) const {
        if (f != nullptr) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string upper(const char *s) {
    std::string out(s != nullptr ? s : "");
    for (char &c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return out;
}

// Removes blanks, tabs, newlines and carriage returns.
void strip(std::string &s) {
    std::erase_if(s, [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
}

bool put(FILE *out, const char *s, std::size_t n) {
    return n == 0 || std::fwrite(s, 1, n, out) == n;
}

unsigned set_environment(const char *name, const char *value, const char *delims) {
    const std::string text =
        upper(name) + (delims != nullptr ? delims : "=") + (value != nullptr ? value : "");
    char *entry = static_cast<char *>(std::malloc(text.size() + 1));
    if (entry == nullptr) return ZUSD_NOMEM;
    std::memcpy(entry, text.c_str(), text.size() + 1);
    // From here on the string belongs to the environment.
    if (::putenv(entry) != 0) {
        zusderr("zusdmy: putenv(%s)!=0.", entry);
        std::free(entry);
        return ZUSD_SYSERR;
    }
    return ZUSD_OK;
}

// A descriptor closed when it goes out of scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd != -1) ::close(fd);
    }
};

// The stem of a definition file's companions: the file's path with its
// extension replaced, in the same directory (so the rename stays within one
// file system). False when the parts or the names made from it would not fit
// a path buffer.
bool work_stem(const char *file, std::string &stem) {
    char lead[ZUSD_LEADSZ];
    char dir[ZUSD_DIRSZ];
    char base[ZUSD_BASESZ];
    char ext[ZUSD_EXTSZ];
    char work[ZUSD_PATHSZ];
    if (zusdup(file, lead, dir, base, ext) != ZUSD_OK) return false;
    if (zusdcm(work, lead, dir, base, kWorkExt) != ZUSD_OK) return false;
    stem = work;
    return stem.size() + sizeof ".XXXXXX" <= ZUSD_PATHSZ;
}

// Serialises the updaters of one definition file: an exclusive flock on its
// lock file. A lock file, not the definition file, since every update
// replaces the file by a rename (a lock on it would guard a file that is no
// longer there) and a new file has nothing to lock yet. flock, not fcntl:
// its lock belongs to the open file, not to the process (which loses an
// fcntl lock when it closes any descriptor of the file), and the kernel
// drops it when its holder dies, so a killed updater leaves no stale lock.
// The lock file stays, empty. A lock held past zusdmy_wait milliseconds
// gives up: status 21 with one record.
unsigned take_lock(const std::string &path, Fd &lock) {
    lock.fd = zusdox(path.c_str(), O_RDONLY | O_CLOEXEC, 0666);
    if (lock.fd == -1) {
        zusderr("zusdmy: open(%s)==-1.", path.c_str());
        return ZUSD_WRERR;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(zusdmy_wait);
    while (::flock(lock.fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= until) {
            zusderr("zusdmy: flock(%s,LOCK_EX)!=0 (waited up to %u ms).", path.c_str(),
                    zusdmy_wait);
            return ZUSD_WRERR;
        }
        const timespec pause{0, kLockPollNs};
        ::nanosleep(&pause, nullptr);
    }
    return ZUSD_OK;
}

// Mode of a file created now with 0666, as a direct creation would give it.
// The umask can only be read by setting it; this program has one thread.
mode_t created_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Gives the work file the owner and group of the file it replaces, or at
// least the group, where this process may; otherwise it stays this user's.
bool keep_owner(int fd, const struct stat &old) {
    return ::fchown(fd, old.st_uid, old.st_gid) == 0 ||
           ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
}

// Copies the rest of the current line, its newline included. Returns false
// on a read error; `had_newline` tells whether the line ended with one.
bool copy_line(FILE *in, FILE *out, bool &had_newline) {
    had_newline = false;
    int c;
    while ((c = std::getc(in)) != EOF) {
        std::putc(c, out);
        if (c == '\n') {
            had_newline = true;
            return true;
        }
    }
    return !std::ferror(in);
}

void skip_line(FILE *in) {
    int c;
    while ((c = std::getc(in)) != EOF && c != '\n') {
    }
}

// Copies everything that is left of the input; `last` is the last byte
// copied (a newline when nothing was).
bool copy_rest(FILE *in, FILE *out, char &last) {
    char block[8192];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0) {
        if (std::fwrite(block, 1, n, out) != n) return false;
        last = block[n - 1];
    }
    return !std::ferror(in);
}

// The new content with `name` set to `value` (removed when the value is
// empty): every other byte of `in` (null for a file not there yet) kept.
unsigned with_entry(FILE *in, FILE *out, const std::string &name, char delimiter, int nameblanks,
                    const std::string &value) {
    char token[kTokenSize];
    char raw[kTokenSize];
    bool last_newline = true;
    while (in != nullptr) {
        const unsigned st = zusdgt(in, delimiter, 1, token, kTokenSize, raw);
        if (st != ZUSD_OK && st != ZUSD_EOF) return st;
        const std::size_t rawlen = std::strlen(raw);
        if (st == ZUSD_EOF && rawlen == 0) break;

        std::string found(token);
        if (!nameblanks) strip(found);
        // A token that ran into the end of the file is a name without a
        // delimiter and value; it is kept as it is.
        if (st == ZUSD_OK && zutxsm(found.c_str(), name.c_str(), 65535)) {
            if (!value.empty()) {
                put(out, raw, rawlen);
                // A line of a bare name gets its delimiter, so the value
                // cannot run into the name.
                const char last = rawlen > 0 ? raw[rawlen - 1] : '\0';
                const bool ends_delimited =
                    last != '\0' && (last == delimiter || (delimiter == ' ' && last == '\t'));
                if (delimiter != '\0' && !ends_delimited) std::putc(delimiter, out);
                put(out, value.c_str(), value.size());
                std::putc('\n', out);
            }
            skip_line(in);
            char unused = '\n';
            return copy_rest(in, out, unused) ? ZUSD_OK : ZUSD_WRERR;
        }
        put(out, raw, rawlen);
        bool had_newline = false;
        if (!copy_line(in, out, had_newline)) return ZUSD_RDERR;
        last_newline = had_newline;
        if (!had_newline) break;
    }
    if (!last_newline) std::putc('\n', out);
    if (!value.empty() && zusdal(out, name.c_str(), delimiter, value.c_str()) != ZUSD_OK)
        return ZUSD_WRERR;
    return ZUSD_OK;
}

// The new content with the free line `value` after all of `in`, which gets
// the newline its last line lacks.
unsigned with_line(FILE *in, FILE *out, const char *value) {
    char last = '\n';
    if (in != nullptr && !copy_rest(in, out, last)) return ZUSD_WRERR;
    if (last != '\n' && std::putc('\n', out) == EOF) return ZUSD_WRERR;
    return zusdal(out, nullptr, '\0', value);
}

// Puts the content that `write` produces in the place of `file` (whose
// open stream is `in`, null when it does not exist), through a work file
// created exclusively under a unique name after `stem`. The work file is
// private while it is written and gets the old file's permission bits and,
// where this process may give them, its owner and group just before the
// rename. Any failure before the rename leaves `file` as it was and removes
// the work file.
template <class Write>
unsigned replace(const char *file, const std::string &stem, FILE *in, Write write) {
    std::string work = stem + ".XXXXXX";
    const int fd = ::mkostemp(work.data(), O_CLOEXEC);
    if (fd == -1) {
        zusderr("zusdmy: mkostemp(%s)==-1.", work.c_str());
        return ZUSD_WRERR;
    }
    File out(::fdopen(fd, "w"));
    if (!out) ::close(fd);
    const auto fail = [&](unsigned status) {
        out.reset();
        ::unlink(work.c_str());
        return status;
    };
    if (!out) return fail(ZUSD_WRERR);
    const unsigned st = write(out.get());
    if (st != ZUSD_OK) return fail(st);

    struct stat old {};
    if (in != nullptr && ::fstat(::fileno(in), &old) == 0) {
        keep_owner(fd, old);
        // The bits after the owner: a change of owner clears set-id bits.
        ::fchmod(fd, old.st_mode & 07777);
    } else {
        ::fchmod(fd, created_mode());
    }
    if (std::fflush(out.get()) != 0 || std::ferror(out.get()) || ::fsync(fd) != 0)
        return fail(ZUSD_WRERR);
    if (std::fclose(out.release()) != 0) {
        ::unlink(work.c_str());
        return ZUSD_WRERR;
    }
    if (zusd_rename(work.c_str(), file) != 0) {
        zusderr("zusdmy: rename(%s,%s)!=0.", work.c_str(), file);
        const unsigned status = zusdesm(errno);
        ::unlink(work.c_str());
        return status;
    }
    // The new name survives a crash only once the directory is synced; file
    // systems that cannot sync a directory say EINVAL.
    const std::string dir = zusdhd(file);
    Fd d{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (d.fd == -1 || (::fsync(d.fd) != 0 && errno != EINVAL)) {
        zusderr("zusdmy: fsync(%s)!=0.", dir.c_str());
        return ZUSD_WRERR;
    }
    return ZUSD_OK;
}

}  // namespace

unsigned zusdal(FILE *stream, const char *name, char delimiter, const char *value) {
    bool ok = true;
    if (name != nullptr) ok = std::fputs(name, stream) != EOF || name[0] == '\0';
    if (ok && delimiter != '\0') ok = std::putc(delimiter, stream) != EOF;
    if (ok && value != nullptr) ok = std::fputs(value, stream) != EOF || value[0] == '\0';
    if (ok) ok = std::putc('\n', stream) != EOF;
    return ok && !std::ferror(stream) ? ZUSD_OK : ZUSD_WRERR;
}

unsigned zusdmy(const char *name, const char *value, const char *file, const char *delims) {
    if (file == nullptr) return set_environment(name, value, delims);
    const bool free_line = name == nullptr || name[0] == '\0';

    char delimiter = '\0';
    int nameblanks = 1;
    int valueblanks = 1;
    if (!free_line &&
        zusddd(delims != nullptr ? delims : "=", &delimiter, &nameblanks, &valueblanks) != ZUSD_OK)
        return ZUSD_TOOLONG;
    std::string key(free_line ? "" : name);
    std::string val(value != nullptr ? value : "");
    if (!nameblanks) strip(key);
    if (!valueblanks) strip(val);

    std::string stem;
    if (!work_stem(file, stem)) {
        zusderr("zusdmy: no work file name for %s.", file);
        return ZUSD_SYSERR;
    }
    // A device or FIFO is no definition file: its content may never end, and
    // the rename would put a plain file in the place of the node.
    if (struct stat st {}; ::stat(file, &st) == 0 && !S_ISREG(st.st_mode)) {
        zusderr("zusdmy: %s is not a regular file.", file);
        return ZUSD_WRERR;
    }
    Fd lock;
    if (const unsigned st = take_lock(stem + ".lck", lock)) return st;
    File in(std::fopen(file, "r"));
    if (!in) {
        // A file that is there but cannot be read is not replaced by one
        // that lacks its content.
        if (errno != ENOENT) {
            zusderr("zusdmy: fopen(%s,\"r\")==0.", file);
            return ZUSD_RDERR;
        }
        if (!free_line && val.empty()) return ZUSD_OK;  // nothing to remove
    }
    return replace(file, stem, in.get(), [&](FILE *out) {
        return free_line ? with_line(in.get(), out, value)
                         : with_entry(in.get(), out, key, delimiter, nameblanks, val);
    });
}
