// Writing definition files and the environment: an entry is set, replaced or
// removed by writing the whole new content to a work file beside the file
// (extension "x1z") which then replaces it in one rename; free lines and the
// first entry of a new file are appended directly.
#include "szusd.h"
#include "zutx.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Token and raw-line buffers of the rewrite.
constexpr std::uint16_t kTokenSize = 4096;

// Extension of the work file that takes the definition file's place.
constexpr const char kWorkExt[] = "x1z";

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

unsigned append_free_line(const char *value, const char *file) {
    File in(std::fopen(file, "r"));
    if (!in) {
        File created(std::fopen(file, "a"));
        if (!created) return ZUSD_WRERR;
        if (std::fclose(created.release()) != 0) return ZUSD_WRERR;
        in.reset(std::fopen(file, "r"));
        if (!in) return ZUSD_RDERR;
    }
    bool newline_first = false;
    if (std::fseek(in.get(), -1, SEEK_END) == 0) {
        const int last = std::getc(in.get());
        newline_first = last != EOF && last != '\n';
    }
    in.reset();

    File out(std::fopen(file, "a"));
    if (!out) return ZUSD_WRERR;
    if (newline_first && std::putc('\n', out.get()) == EOF) return ZUSD_WRERR;
    if (zusdal(out.get(), nullptr, '\0', value) != ZUSD_OK) return ZUSD_WRERR;
    if (std::fclose(out.release()) != 0) return ZUSD_WRERR;
    return ZUSD_OK;
}

// The first entry of a file that does not exist yet.
unsigned create_with_entry(const char *file, const std::string &name, char delimiter,
                           const std::string &value) {
    File out(std::fopen(file, "a"));
    if (!out) return ZUSD_WRERR;
    if (zusdal(out.get(), name.c_str(), delimiter, value.c_str()) != ZUSD_OK) {
        out.reset();
        zusdrm(file);
        return ZUSD_WRERR;
    }
    if (std::fclose(out.release()) != 0) {
        zusdrm(file);
        return ZUSD_WRERR;
    }
    return ZUSD_OK;
}

// The work file's path: `file` with its extension replaced. Refused when it
// would name the file itself, whose content writing the work file would
// destroy, or when it does not fit a path buffer.
bool work_path(const char *file, char (&work)[ZUSD_PATHSZ]) {
    char lead[ZUSD_LEADSZ];
    char dir[ZUSD_DIRSZ];
    char base[ZUSD_BASESZ];
    char ext[ZUSD_EXTSZ];
    if (zusdup(file, lead, dir, base, ext) != ZUSD_OK) return false;
    if (zusdcm(work, lead, dir, base, kWorkExt) != ZUSD_OK) return false;
    return std::strcmp(work, file) != 0 && !zutxsm(ext, kWorkExt, 65535);
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

// Copies everything that is left of the input.
bool copy_rest(FILE *in, FILE *out) {
    char block[8192];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0) {
        if (std::fwrite(block, 1, n, out) != n) return false;
    }
    return !std::ferror(in);
}

// Rewrites `file` through the work file with `name` set to `value` (removed
// when the value is empty). The file is replaced only after the whole new
// content is on disk, by one rename: at no moment is it missing or partial.
unsigned rewrite_entry(FILE *in, const char *file, const std::string &name, char delimiter,
                       int nameblanks, const std::string &value) {
    char work[ZUSD_PATHSZ];
    if (!work_path(file, work)) {
        zusderr("zusdmy: no work file name for %s.", file);
        return ZUSD_SYSERR;
    }
    File out(std::fopen(work, "w"));
    if (!out) return ZUSD_WRERR;
    const auto fail = [&](unsigned status) {
        out.reset();
        ::unlink(work);
        return status;
    };

    char token[kTokenSize];
    char raw[kTokenSize];
    bool matched = false;
    bool last_newline = true;
    for (;;) {
        const unsigned st = zusdgt(in, delimiter, 1, token, kTokenSize, raw);
        if (st != ZUSD_OK && st != ZUSD_EOF) return fail(st);
        const std::size_t rawlen = std::strlen(raw);
        if (st == ZUSD_EOF && rawlen == 0) break;

        std::string found(token);
        if (!nameblanks) strip(found);
        // A token that ran into the end of the file is a name without a
        // delimiter and value; it is kept as it is.
        if (st == ZUSD_OK && zutxsm(found.c_str(), name.c_str(), 65535)) {
            if (!value.empty()) {
                put(out.get(), raw, rawlen);
                // A line of a bare name gets its delimiter, so the value
                // cannot run into the name.
                const char last = rawlen > 0 ? raw[rawlen - 1] : '\0';
                const bool ends_delimited =
                    last != '\0' && (last == delimiter || (delimiter == ' ' && last == '\t'));
                if (delimiter != '\0' && !ends_delimited) std::putc(delimiter, out.get());
                put(out.get(), value.c_str(), value.size());
                std::putc('\n', out.get());
            }
            skip_line(in);
            if (!copy_rest(in, out.get())) return fail(ZUSD_WRERR);
            matched = true;
            break;
        }
        put(out.get(), raw, rawlen);
        bool had_newline = false;
        if (!copy_line(in, out.get(), had_newline)) return fail(ZUSD_RDERR);
        last_newline = had_newline;
        if (!had_newline) break;
    }
    if (!matched) {
        if (!last_newline) std::putc('\n', out.get());
        if (!value.empty() && zusdal(out.get(), name.c_str(), delimiter, value.c_str()) != ZUSD_OK)
            return fail(ZUSD_WRERR);
    }

    // The new file keeps the old one's permission bits.
    struct stat old {};
    if (::fstat(::fileno(in), &old) == 0) ::fchmod(::fileno(out.get()), old.st_mode & 07777);
    if (std::fflush(out.get()) != 0 || std::ferror(out.get()) || ::fsync(::fileno(out.get())) != 0)
        return fail(ZUSD_WRERR);
    if (std::fclose(out.release()) != 0) {
        ::unlink(work);
        return ZUSD_WRERR;
    }
    if (::rename(work, file) != 0) {
        zusderr("zusdmy: rename(%s,%s)!=0.", work, file);
        const unsigned status = zusdesm(errno);
        ::unlink(work);
        return status;
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
    if (name == nullptr || name[0] == '\0') return append_free_line(value, file);

    char delimiter = '\0';
    int nameblanks = 1;
    int valueblanks = 1;
    if (zusddd(delims != nullptr ? delims : "=", &delimiter, &nameblanks, &valueblanks) != ZUSD_OK)
        return ZUSD_TOOLONG;
    std::string key(name);
    std::string val(value != nullptr ? value : "");
    if (!nameblanks) strip(key);
    if (!valueblanks) strip(val);

    File in(std::fopen(file, "r"));
    if (!in) {
        if (val.empty()) return ZUSD_OK;
        return create_with_entry(file, key, delimiter, val);
    }
    return rewrite_entry(in.get(), file, key, delimiter, nameblanks, val);
}
