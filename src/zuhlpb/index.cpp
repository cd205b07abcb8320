// The data side of the help module: the help directory and viewer paths
// recorded at the first change of directory, the routing index from help keys
// to page names, the lookup of a help request, and the temporary page made
// from a template for literal help text.
#include "zuhlpb.h"

#include "zuhlpbp.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zuhlpb_state {
char tvxinst_path[512];
char zuhlp_path[512];
char zuspyglass[512];
char zulynx[512];
char zutmphtml[512];
int tmphtml_created = 0;
int nhentry = 0;
}  // namespace zuhlpb_state

using namespace zuhlpb_state;

namespace {

/* One slot of the routing index; both pointers point into file_buf. A null
 * key marks an empty slot. */
struct hslot {
    const char *key;
    const char *value;
};

char *file_buf = nullptr; /* the routing file, cut into keys and values */
char *end_buf = nullptr;  /* end of the data read into file_buf */
hslot *hsh_tbl = nullptr; /* nhentry slots */
char buf[4096];           /* the path zulkup returns for a help file */

/* The slot count is a signed 32-bit number of twice the lines plus two; a
 * routing file is a few kilobytes, so anything near that bound is refused. */
constexpr off_t kMaxRoutingSize = 16L * 1024 * 1024;

[[noreturn]] void die(const char *label) {
    std::perror(label);
    std::exit(1);
}

/* "%s/%s" of a and b into out; false (out emptied) when it does not fit. */
bool join(char *out, size_t size, const char *a, const char *b) {
    const int n = std::snprintf(out, size, "%s/%s", a, b);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

/* Appends to a caller's buffer of `cap` bytes, always NUL-terminated; once
 * something does not fit, nothing more is added and fits stays false. */
struct composer {
    char *out;
    size_t cap;
    size_t len = 0;
    bool fits = true;

    composer(char *o, size_t c) : out(o), cap(c) { out[0] = '\0'; }
    void add(const char *s, size_t n) {
        if (!fits || n >= cap - len) {
            fits = false;
            return;
        }
        std::memcpy(out + len, s, n);
        len += n;
        out[len] = '\0';
    }
    void add(const char *s) { add(s, std::strlen(s)); }
};

/* Slot of a key: (len + key[0] + key[len/2] + key[len/2 + 1]) mod nhentry,
 * bytes taken unsigned. For a key of length 1 the last term is its
 * terminator; an empty key has no bytes to read and hashes to slot 0. */
int32_t zuhash(const char *key) {
    const auto *k = reinterpret_cast<const unsigned char *>(key);
    const size_t len = std::strlen(key);
    if (len == 0) return 0;
    const int64_t h = static_cast<int64_t>(len) + k[0] + k[len / 2] + k[len / 2 + 1];
    return static_cast<int32_t>(h % nhentry);
}

/* Insert or replace by linear probing. The table has at least twice as many
 * slots as the file has lines, so a full table means a broken invariant. An
 * empty key is not stored: no help reference can name it. */
void zuhins(const char *key, const char *value) {
    if (key[0] == '\0') return;
    const int32_t start = zuhash(key);
    int32_t i = start;
    while (hsh_tbl[i].key != nullptr && std::strcmp(hsh_tbl[i].key, key) != 0) {
        i = (i + 1) % nhentry;
        if (i == start) {
            std::fputs("INTERNAL ERROR - hash table full\n", stdout);
            std::exit(1);
        }
    }
    hsh_tbl[i].key = key;
    hsh_tbl[i].value = value;
}

/* Value stored for a key; null when absent (or the key is empty). */
const char *zuhfind(const char *key) {
    if (nhentry == 0 || key[0] == '\0') return nullptr;
    const int32_t start = zuhash(key);
    int32_t i = start;
    do {
        if (hsh_tbl[i].key == nullptr) return nullptr;
        if (std::strcmp(hsh_tbl[i].key, key) == 0) return hsh_tbl[i].value;
        i = (i + 1) % nhentry;
    } while (i != start);
    return nullptr;
}

void drop_page() {
    unlink(zutmphtml);
    tmphtml_created = 0;
}

/* Create the temporary page, owner-only and exclusively, so that nothing
 * planted at its name in a shared directory (a file or a link) is ever
 * written or followed. A page of this process from an earlier display is
 * removed and made again under the same name. When someone else holds the
 * name, the page gets another unique one, "tvxinst<pid>_XXXXXX.html" in the
 * same directory, which zutmphtml then names for the viewer. Null with
 * errno set when no page can be created. */
FILE *create_page() {
    if (tmphtml_created == 1) drop_page();
    int fd = open(zutmphtml, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd == -1 && errno == EEXIST) {
        char other[sizeof zutmphtml];
        const char *slash = std::strrchr(zutmphtml, '/');
        const int dirlen = slash != nullptr ? static_cast<int>(slash - zutmphtml) : 0;
        const int n = std::snprintf(other, sizeof other, "%.*s/tvxinst%d_XXXXXX.html", dirlen,
                                    zutmphtml, static_cast<int>(getpid()));
        if (n < 0 || static_cast<size_t>(n) >= sizeof other) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        fd = mkostemps(other, 5, O_CLOEXEC);
        if (fd != -1) std::memcpy(zutmphtml, other, static_cast<size_t>(n) + 1);
    }
    if (fd == -1) return nullptr;
    FILE *out = fdopen(fd, "w");
    if (out == nullptr) {
        const int e = errno;
        close(fd);
        unlink(zutmphtml);
        errno = e;
    }
    return out;
}

}  // namespace

namespace zuhlpb_state {

/* Read "routing.n" into file_buf and index its "key:value" lines. The key is
 * the text before the first colon, the value the text after the last one;
 * a later line with the same key replaces the value. A line without a colon
 * (or with nothing after its last colon) stores its key with no value, which
 * lookups treat as absent. */
void zuinhtbl() {
    char path[4096];
    if (!join(path, sizeof path, zuhlp_path, "routing.n")) {
        errno = ENAMETOOLONG;
        die("fopen");
    }
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) die("fopen");
    const int fd = fileno(f);
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0 || lseek(fd, 0, SEEK_SET) != 0) die("lseek");
    if (size > kMaxRoutingSize) {
        errno = EFBIG;
        die("read");
    }
    auto *data = static_cast<char *>(std::calloc(static_cast<size_t>(size) + 1, 1));
    if (data == nullptr) die("calloc");
    size_t got = 0;
    while (got < static_cast<size_t>(size)) {
        const ssize_t n = read(fd, data + got, static_cast<size_t>(size) - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) die("read");
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    std::fclose(f);
    data[got] = '\0';
    char *const end = data + got;

    int64_t lines = 0;
    for (const char *p = data; p < end; ++p) lines += (*p == '\n');
    // The terminator takes the place of a final line feed; a last line
    // without one keeps its last character (the NUL after the data ends it).
    if (got > 0 && end[-1] == '\n') end[-1] = '\0';

    const int64_t slots = 2 * (lines + 1);
    auto *tbl = static_cast<hslot *>(std::calloc(static_cast<size_t>(slots), sizeof(hslot)));
    if (tbl == nullptr) die("calloc");
    file_buf = data;
    end_buf = end;
    hsh_tbl = tbl;
    nhentry = static_cast<int>(slots);

    enum class scan { in_text, after_colon, after_eol };
    scan state = scan::in_text;
    const char *key = data;
    const char *value = nullptr;
    for (char *p = data; p < end_buf && *p != '\0'; ++p) {
        switch (*p) {
            case '\n':
                *p = '\0';
                zuhins(key, value);
                // The next line's key starts right here, even when the line
                // begins with a colon (an empty key, never stored).
                key = p + 1;
                value = nullptr;
                state = scan::after_eol;
                break;
            case ':':
                *p = '\0';
                value = nullptr;  // the value is what follows the last colon
                state = scan::after_colon;
                break;
            default:
                if (state == scan::after_colon) value = p;
                state = scan::in_text;
                break;
        }
    }
    if (state == scan::in_text) zuhins(key, value);
}

}  // namespace zuhlpb_state

void zuhlpin(const char * /*dir*/) {
    if (tvxinst_path[0] != '\0') return;
    const char *tmp = std::getenv("TMPDIR");
    if (tmp == nullptr || tmp[0] == '\0') tmp = "/tmp";
    const pid_t pid = getpid();
    char cwd[sizeof tvxinst_path];
    if (getcwd(cwd, sizeof cwd) == nullptr) return;
    // Paths that would not fit leave the module uninitialised rather than
    // holding cut, and so wrong, paths.
    char help[sizeof zuhlp_path], gtr[sizeof zuspyglass], gtrc[sizeof zulynx];
    if (!join(help, sizeof help, cwd, "helpdoc") || !join(gtr, sizeof gtr, cwd, "gtr") ||
        !join(gtrc, sizeof gtrc, cwd, "gtrc"))
        return;
    // A temporary directory too long for the page path leaves the page path
    // empty: pages for literal text are then refused.
    const int n = std::snprintf(zutmphtml, sizeof zutmphtml, "%s/tvxinst%d.html", tmp,
                                static_cast<int>(pid));
    if (n < 0 || static_cast<size_t>(n) >= sizeof zutmphtml) zutmphtml[0] = '\0';
    std::memcpy(zuhlp_path, help, sizeof help);
    std::memcpy(zuspyglass, gtr, sizeof gtr);
    std::memcpy(zulynx, gtrc, sizeof gtrc);
    std::memcpy(tvxinst_path, cwd, sizeof cwd);
}

void zuhlpcu(void) {
    if (tmphtml_created == 1) drop_page();
    if (nhentry != 0) {
        std::free(hsh_tbl);
        std::free(file_buf);
        hsh_tbl = nullptr;
        file_buf = nullptr;
        end_buf = nullptr;
        nhentry = 0;
    }
}

const char *zulkup(const zuhlprq *req) {
    if (tvxinst_path[0] == '\0') {
        std::fputs("Talvex Installer: help is not initialised\n", stderr);
        return nullptr;
    }
    if (nhentry == 0) zuinhtbl();
    const char *text = req != nullptr ? req->hlptxt : nullptr;
    const char *ref = text;
    bool on_the_fly = false;
    if (text == nullptr || text[0] == '\0') {
        ref = "?html NO_HELP_AVAILABLE";
    } else if (text[0] != '?') {
        ref = "?html ON_THE_FLY";
        on_the_fly = true;
    }
    // The key follows the last blank or control character; a reference
    // without one has no key and gets the page for missing help.
    const char *key = "";
    for (const char *p = ref; *p != '\0'; ++p)
        if (static_cast<unsigned char>(*p) < 33) key = p + 1;
    const char *value = zuhfind(key);
    if (value == nullptr || value[0] == '\0') value = zuhfind("NO_HELP_AVAILABLE");
    if (value == nullptr || value[0] == '\0') {
        std::fputs("Talvex Installer: no help page for this request\n", stderr);
        return nullptr;
    }
    if (on_the_fly) return zubldhtml(req, value);
    if (!join(buf, sizeof buf, zuhlp_path, value)) {
        std::fprintf(stderr, "Talvex Installer: help page path too long: %s\n", value);
        return nullptr;
    }
    return buf;
}

const char *zubldhtml(const zuhlprq *req, const char *tmpl) {
    if (zutmphtml[0] == '\0' || tvxinst_path[0] == '\0') {
        std::fputs("Talvex Installer: no place for a temporary help page\n", stderr);
        return nullptr;
    }
    char path[4096];
    if (tmpl == nullptr || !join(path, sizeof path, zuhlp_path, tmpl)) {
        std::fputs("Talvex Installer: help template path too long\n", stderr);
        return nullptr;
    }
    const char *title = req != nullptr ? req->title : nullptr;
    const char *text = req != nullptr ? req->hlptxt : nullptr;
    FILE *in = std::fopen(path, "r");
    if (in == nullptr) die("fopen");
    FILE *out = create_page();
    if (out == nullptr) die("fopen");

    static constexpr char kTitle[] = "PUT_TITLE_HERE";
    char piece[4096];
    char line[4096];
    bool fits = true;
    while (fits && std::fgets(piece, sizeof piece, in) != nullptr) {
        if (const char *mark = std::strstr(piece, kTitle)) {
            if (title == nullptr) continue;
            composer c(line, sizeof line);
            c.add(piece, static_cast<size_t>(mark - piece));
            c.add(title);
            c.add(mark + sizeof kTitle - 1);
            fits = c.fits;
            if (fits) std::fputs(line, out);
        } else if (std::strstr(piece, "%s") != nullptr) {
            // The template is text, not a format: each "%s" becomes the help
            // directory and every other '%' sequence ("%%", "%n", ...) is
            // copied as it stands.
            composer c(line, sizeof line);
            for (const char *p = piece; *p != '\0' && c.fits;) {
                if (p[0] == '%' && p[1] == 's') {
                    c.add(zuhlp_path);
                    p += 2;
                } else if (p[0] == '%' && p[1] == '%') {
                    c.add(p, 2);
                    p += 2;
                } else {
                    c.add(p, 1);
                    ++p;
                }
            }
            fits = c.fits;
            if (fits) std::fputs(line, out);
        } else if (std::strstr(piece, "ON_THE_FLY") != nullptr) {
            std::fputs(piece, out);
            if (text != nullptr) {
                std::fputs("<p>\n", out);
                std::fputs(text, out);
                std::fputc('\n', out);
            }
        } else {
            std::fputs(piece, out);
        }
    }
    const bool read_failed = std::ferror(in) != 0;
    const int read_errno = errno;
    std::fclose(in);
    if (!fits) {
        std::fclose(out);
        drop_page();
        std::fprintf(stderr, "Talvex Installer: help template line too long in %s\n", path);
        return nullptr;
    }
    if (read_failed) {
        std::fclose(out);
        drop_page();
        errno = read_errno;
        die("read");
    }
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        const int e = errno;
        std::fclose(out);
        drop_page();
        errno = e;
        die("fwrite");
    }
    if (std::fclose(out) != 0) {
        const int e = errno;
        drop_page();
        errno = e;
        die("fclose");
    }
    tmphtml_created = 1;
    return zutmphtml;
}
