// Platform checks: the language-support data check and its directory
// variable, name translation through the system layer, and the portable
// operations that have no work to do on this platform.
#include "szusdu.h"

#include "slsys.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int zusdcheckbt(void) {
    // Both variables come from the user's environment and may be of any
    // length: a boot-file path that does not fit is reported as absent.
    char boot[1024];
    int len;
    if (const char *nls = std::getenv("TVX_NLS32"))
        len = std::snprintf(boot, sizeof boot, "%s/langset.dat", nls);
    else if (const char *home = std::getenv("TALVEX_HOME"))
        len = std::snprintf(boot, sizeof boot, "%s/tcommon/nls/admin/data/langset.dat", home);
    else
        return 1;
    if (len < 0 || static_cast<size_t>(len) >= sizeof boot) return 1;
    FILE *file = std::fopen(boot, "r");
    if (file == nullptr) return 1;
    std::fclose(file);
    return 0;
}

// The entry handed to putenv last: the environment refers to it directly, so
// it lives until a later call has replaced or removed it.
static char *tvx_nls_entry = nullptr;

unsigned zusdset_tvx_nls(const char *dir) {
    if (dir == nullptr) {
        // A bare name removes the variable.
        static char bare[] = "TVX_NLS32";
        if (putenv(bare) != 0) return ZUSD_NOMEM;
        std::free(tvx_nls_entry);
        tvx_nls_entry = nullptr;
        return ZUSD_OK;
    }
    static constexpr char prefix[] = "TVX_NLS32=";
    const size_t len = std::strlen(dir);
    char *entry = static_cast<char *>(std::malloc(sizeof prefix + len));
    if (entry == nullptr) return ZUSD_NOMEM;
    std::memcpy(entry, prefix, sizeof prefix - 1);
    std::memcpy(entry + sizeof prefix - 1, dir, len + 1);
    if (putenv(entry) != 0) {
        std::free(entry);
        return ZUSD_NOMEM;
    }
    std::free(tvx_nls_entry);
    tvx_nls_entry = entry;
    return ZUSD_OK;
}

unsigned zusdtr7(const char *name, char *out, unsigned size) {
    const int len = slctbev(name, out, size);
    if (len == SLCTBEV_UNDEFINED) return ZUSD_UNDEFINED;
    if (len < 0 || static_cast<unsigned>(len) >= size) return ZUSD_SYSERR;
    out[len] = '\0';
    return ZUSD_OK;
}

unsigned zusdtr6(const char *name, char *out, unsigned size) {
    int undefined = 0;
    if (sltln(name, out, size, &undefined) == nullptr)
        return undefined ? ZUSD_UNDEFINED : ZUSD_SYSERR;
    return ZUSD_OK;
}

unsigned zusdos(void) { return ZUSD_SYSERR; }
unsigned zusdev(void) { return ZUSD_SYSERR; }
unsigned zusdfv(void) { return ZUSD_SYSERR; }
unsigned zusdtp(void) { return ZUSD_SYSERR; }
unsigned zusdtb(void) { return ZUSD_SYSERR; }
unsigned zusdcb(void) { return ZUSD_SYSERR; }

unsigned zusdpa(void) { return ZUSD_OK; }
unsigned zusdra(void) { return ZUSD_OK; }
unsigned zusdoc(void) { return ZUSD_OK; }
unsigned zusdcc(void) { return ZUSD_OK; }
unsigned zusdis(void) { return ZUSD_OK; }

int zusdwdg(void) { return 1; }

unsigned zusddb(const char *, const char *, const char *, long *out) {
    if (out != nullptr) *out = 0;
    return ZUSD_OK;
}

unsigned zusdsq(const char *, const char *, const char *, long *out) {
    if (out != nullptr) *out = 0;
    return ZUSD_OK;
}

unsigned zusdii(const char *, long *out) {
    errno = 0;
    if (out != nullptr) *out = 0;
    return ZUSD_OK;
}

namespace {

// Whole paths live in 2048-byte buffers. A path that does not fit is not
// cut (that would name another file): `to` is left empty and false returned.
constexpr size_t kPathBuffer = 2048;

bool copy_path(const char *from, char *to, size_t *copied) {
    *copied = 0;
    if (to == nullptr) return false;
    to[0] = '\0';
    if (from == nullptr) return true;
    const size_t len = strnlen(from, kPathBuffer);
    if (len >= kPathBuffer) return false;
    std::memcpy(to, from, len + 1);
    *copied = len;
    return true;
}

}  // namespace

unsigned zusdep(const char *from, char *to) {
    size_t copied;
    return copy_path(from, to, &copied) ? ZUSD_OK : ZUSD_TOOLONG;
}

unsigned zusdp2v(const char *from, char *to) {
    size_t copied;
    copy_path(from, to, &copied);
    return static_cast<unsigned>(copied);
}

int zusdws(int *a, int *b, int *c, int *d, int *e, int *f) {
    if (a != nullptr) *a = 2;
    if (b != nullptr) *b = 2;
    if (c != nullptr) *c = 30;
    if (d != nullptr) *d = 2;
    if (e != nullptr) *e = 0;
    if (f != nullptr) *f = 30;
    return 2;
}

unsigned zusdmc(void *to, const void *from, unsigned n) {
    if (n > 0 && to != nullptr && from != nullptr) std::memmove(to, from, n);
    return n;
}

void zusdpi(void) {}
void zusdbk(void) {}
void zusdsb(void) {}
void zusdci(void) {}
void zusdvrm(void) {}
