// Definition files: lines of name, delimiter and value. The token reader,
// the delimiter patterns, lookup of one name (or of an environment
// variable), the list of all names, and the section list of .ini files.
#include "szusd.h"
#include "zutx.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// The platform this program runs on, as the lookup names it.
constexpr const char kOwnPlatform[] = "unix";

// Values of the list mode are read into a buffer of this size.
constexpr std::uint16_t kListValueSize = 4096;

bool is_blank(int c) {
    return c == ' ' || c == '\t';
}

bool same(const char *a, const char *b) {
    return zutxsm(a, b, 65535) != 0;
}

// Removes blanks (space and tab) from `s` in place.
void remove_blanks(std::string &s) {
    std::erase_if(s, [](char c) { return is_blank(static_cast<unsigned char>(c)); });
}

// Reads up to and including the next newline. 0 when one was found; at the
// end of the stream 6 when it simply ended there, 29 after a read error.
unsigned skip_line(FILE *stream) {
    int c;
    while ((c = std::getc(stream)) != EOF) {
        if (c == '\n') return ZUSD_OK;
    }
    return std::feof(stream) && !std::ferror(stream) ? ZUSD_UNDEFINED : ZUSD_SYSERR;
}

// Status of a stream that has just given EOF from getc.
unsigned end_status(FILE *stream) {
    if (std::ferror(stream)) return ZUSD_SYSERR;
    if (std::feof(stream)) return ZUSD_EOF;
    return ZUSD_OK;
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using Buffer = std::unique_ptr<char, FreeDeleter>;

// Splits `file` and tells whether it has a base name; `ext` receives its
// extension. False also when the path cannot be split (too long a part).
bool split_file(const char *file, char *ext) {
    char lead[ZUSD_LEADSZ];
    char dir[ZUSD_DIRSZ];
    char base[ZUSD_BASESZ];
    if (zusdup(file, lead, dir, base, ext) != ZUSD_OK) return false;
    return base[0] != '\0';
}

// Lookup with no file: the environment variable of the upper-cased name.
unsigned lookup_env(const char *name, char *out, std::uint16_t size) {
    std::string upper(name);
    for (char &c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    const char *value = std::getenv(upper.c_str());
    if (value == nullptr) return ZUSD_UNDEFINED;
    const std::size_t len = std::strlen(value);
    if (len >= size) return ZUSD_SYSERR;
    std::memcpy(out, value, len + 1);
    return ZUSD_OK;
}

// Lookup mode: finds the first line whose name token equals `name` and reads
// the rest of that line as its value.
unsigned lookup_name(FILE *f, const std::string &name, char delimiter, int nameblanks,
                     int valueblanks, char *out, std::uint16_t size, char *work) {
    unsigned st = zusdgt(f, delimiter, nameblanks, out, size, work);
    while (st == ZUSD_OK && !same(out, name.c_str())) {
        st = skip_line(f);
        if (st != ZUSD_OK) return st;
        st = zusdgt(f, delimiter, nameblanks, out, size, work);
    }
    if (st != ZUSD_OK) return st;
    st = zusdgt(f, '\0', valueblanks, out, size, work);
    if (st == ZUSD_EOF) st = ZUSD_OK;
    if (st == ZUSD_OK && !valueblanks) zutxrw(out);
    return st;
}

// List mode: the names of all lines with a non-empty value, each followed by
// a NUL, the list ended by one more NUL. Every name is read with the room
// left in `out` as its bound, so the list as a whole can never overrun it.
unsigned list_names(FILE *f, char delimiter, int nameblanks, int valueblanks, char *out,
                    std::uint16_t size, char *work) {
    if (size == 0) return ZUSD_TOOLONG;
    const std::uint16_t value_bound = size < kListValueSize ? size : kListValueSize;
    char value[kListValueSize];
    std::size_t pos = 0;
    unsigned st = ZUSD_OK;
    for (;;) {
        // One byte stays free for the NUL that ends the list.
        const auto room = static_cast<std::uint16_t>(size - pos - 1);
        char *name = out + pos;
        st = zusdgt(f, delimiter, nameblanks, name, room, work);
        if (st != ZUSD_OK) break;
        bool last = false;
        if (name[0] != '\0') {
            unsigned vst = zusdgt(f, '\0', valueblanks, value, value_bound, work);
            // A value too long for the buffer is still a value; a value that
            // ends with the file ends the list after this line.
            if (vst == ZUSD_TOOLONG) {
                value[0] = 'x';
                value[1] = '\0';
                vst = ZUSD_OK;
            }
            if (vst == ZUSD_EOF) {
                last = true;
            } else if (vst != ZUSD_OK) {
                st = vst;
                break;
            }
            if (!valueblanks) {
                zutxrw(name);
                zutxrw(value);
            }
            if (value[0] != '\0') pos += std::strlen(name) + 1;
        }
        if (last) break;
        st = skip_line(f);
        if (st != ZUSD_OK) break;
    }
    out[pos] = '\0';
    return st == ZUSD_EOF ? ZUSD_OK : st;
}

}  // namespace

int zusdcdp(const char *platform) {
    if (platform == nullptr) return 0;
    if (same(platform, kOwnPlatform)) return 1;
    const bool own_windows_family = same(kOwnPlatform, "Windows") ||
                                    same(kOwnPlatform, "Netware") || same(kOwnPlatform, "win95") ||
                                    same(kOwnPlatform, "nt");
    const bool own_nt_family = same(kOwnPlatform, "win95") || same(kOwnPlatform, "nt");
    if ((same(platform, "Windows") || same(platform, "Netware")) && own_windows_family) return 1;
    if ((same(platform, "win95") || same(platform, "nt")) && own_nt_family) return 1;
    return 0;
}

unsigned zusddd(const char *delims, char *delimiter, int *nameblanks, int *valueblanks) {
    if (delims == nullptr) delims = " = ";
    const std::size_t len = std::strlen(delims);
    const auto at = [delims](std::size_t i) { return static_cast<unsigned char>(delims[i]); };
    char delim = '\0';
    int names = 1;
    int values = 1;
    if (len == 0) {
        values = 0;
    } else if (len == 1) {
        delim = delims[0];
    } else if (len == 2 && is_blank(at(0))) {
        delim = delims[1];
        names = 0;
    } else if (len == 2 && is_blank(at(1))) {
        delim = delims[0];
        values = 0;
    } else if (len == 3 && is_blank(at(0)) && is_blank(at(2))) {
        delim = delims[1];
        names = 0;
        values = 0;
    } else {
        return ZUSD_TOOLONG;
    }
    *delimiter = delim;
    *nameblanks = names;
    *valueblanks = values;
    return ZUSD_OK;
}

unsigned zusdgt(FILE *stream, char delimiter, int keep, char *token, std::uint16_t size,
                char *raw) {
    // Both buffers hold `size` bytes: at most size - 1 characters and a NUL.
    if (size == 0) return ZUSD_TOOLONG;
    const auto delim = static_cast<unsigned char>(delimiter);
    const auto is_delim = [delim](int c) { return c == delim || (delim == ' ' && c == '\t'); };
    std::size_t tl = 0;
    std::size_t rl = 0;
    const auto finish = [&] {
        token[tl] = '\0';
        raw[rl] = '\0';
    };

    int c = std::getc(stream);
    if (c == EOF) {
        finish();
        return end_status(stream);
    }
    for (;;) {
        if (c == '\n') {
            const bool pushed = std::ungetc(c, stream) != EOF;
            finish();
            return pushed ? ZUSD_OK : ZUSD_SYSERR;
        }
        // Dropped blanks and skipped delimiters go into `raw` too, so it can
        // fill before the token does.
        if (rl == static_cast<std::size_t>(size) - 1) {
            finish();
            return ZUSD_TOOLONG;
        }
        raw[rl++] = static_cast<char>(c);
        if (is_delim(c)) {
            if (tl > 0) break;
        } else if (keep || !is_blank(c)) {
            token[tl++] = static_cast<char>(c);
            if (tl == static_cast<std::size_t>(size) - 1) {
                finish();
                return ZUSD_TOOLONG;
            }
        }
        c = std::getc(stream);
        if (c == EOF) {
            const unsigned st = end_status(stream);
            if (st == ZUSD_SYSERR) tl = 0;
            finish();
            return st;
        }
    }
    // A tab ended a token delimited by spaces: the blanks that follow belong
    // to the same gap.
    unsigned st = ZUSD_OK;
    if (delim == ' ' && c == '\t' && !keep) {
        int next;
        while ((next = std::getc(stream)) != EOF && is_blank(next)) {
        }
        if (next != EOF && std::ungetc(next, stream) == EOF) st = ZUSD_SYSERR;
    }
    finish();
    return st;
}

unsigned zusdtr(const char *name, const char *file, const char *delims, char *out,
                std::uint16_t size) {
    return zusdtrp(name, file, delims, out, size, kOwnPlatform);
}

unsigned zusdtrp(const char *name, const char *file, const char *delims, char *out,
                 std::uint16_t size, const char *platform) {
    if (!zusdcdp(platform)) return ZUSD_SYSERR;
    if (name == nullptr) name = "";
    if (file == nullptr || file[0] == '\0') return lookup_env(name, out, size);

    char ext[ZUSD_EXTSZ];
    if (!split_file(file, ext)) return ZUSD_NOMORE;
    Buffer work(static_cast<char *>(std::malloc(size == 0 ? 1 : size)));
    if (!work) return ZUSD_NOMEM;
    File f(std::fopen(file, "r"));
    if (!f) return ZUSD_RDERR;

    char delimiter = '\0';
    int nameblanks = 0;
    int valueblanks = 0;
    if (zusddd(delims, &delimiter, &nameblanks, &valueblanks) != ZUSD_OK) return ZUSD_TOOLONG;

    std::string wanted(name);
    if (!nameblanks) remove_blanks(wanted);
    unsigned st;
    if (name[0] != '\0')
        st =
            lookup_name(f.get(), wanted, delimiter, nameblanks, valueblanks, out, size, work.get());
    else
        st = list_names(f.get(), delimiter, nameblanks, valueblanks, out, size, work.get());
    return st == ZUSD_EOF ? ZUSD_UNDEFINED : st;
}

unsigned zusdfc(const char *file, char *out, std::uint16_t size) {
    char ext[ZUSD_EXTSZ];
    if (!split_file(file, ext) || !same(ext, "ini")) return ZUSD_NOMORE;
    if (size == 0) return ZUSD_TOOLONG;
    Buffer work(static_cast<char *>(std::malloc(size)));
    Buffer token(static_cast<char *>(std::malloc(size)));
    if (!work || !token) return ZUSD_NOMEM;
    File f(std::fopen(file, "r"));
    if (!f) return ZUSD_RDERR;

    std::size_t pos = 0;
    unsigned st;
    for (;;) {
        st = zusdgt(f.get(), ']', 1, token.get(), size, work.get());
        if (st != ZUSD_OK && st != ZUSD_EOF) break;
        // A last line without its newline is still a line.
        const char *t = token.get();
        while (*t == ' ') ++t;
        if (*t == '[') {
            ++t;
            const std::size_t len = std::strlen(t);
            // The name, its NUL, and the NUL that ends the list must fit.
            if (pos + len + 2 > size) {
                st = ZUSD_TOOLONG;
                break;
            }
            std::memcpy(out + pos, t, len + 1);
            pos += len + 1;
        }
        if (st == ZUSD_EOF) break;
        const unsigned skip = skip_line(f.get());
        if (skip == ZUSD_SYSERR) {
            st = skip;
            break;
        }
        if (skip == ZUSD_UNDEFINED) {
            st = ZUSD_OK;
            break;
        }
    }
    out[pos] = '\0';
    return st == ZUSD_EOF ? ZUSD_OK : st;
}
