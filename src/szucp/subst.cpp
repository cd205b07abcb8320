// Substitution copy: a text copy that replaces every %NAME% by the value that
// the caller's translation function gives for it, and %% by one %. A name cut
// by the end of one piece is kept in the record and finished at the start of
// the next piece.
#include "szucp.h"

#include <cerrno>
#include <cstring>

namespace {

// A name is held with its leading %, then its closing % and a terminator,
// all in ZUCP_NAMESZ bytes: at most ZUCP_NAMESZ - 3 characters of body.
constexpr std::size_t kMaxHeld = ZUCP_NAMESZ - 2;  // % and body, before the closing %

struct Step {
    FILE *in;
    FILE *out;
    zucpsb *rec;
    std::uint32_t *count;
    char name[ZUCP_NAMESZ];
    std::size_t len = 0;

    // Next input byte, or EOF at the end; a read error is also EOF and is
    // told apart by failed().
    int get() {
        const int c = std::getc(in);
        if (c != EOF) ++*count;
        return c;
    }
    bool failed() const { return std::ferror(in) != 0; }

    unsigned put(int c) {
        if (ZUSDPC(c, out) == ZUSDEO) {
            zusderr("zucpci:  ZUSDPC((char)%d,OUTfile ) == ZUSDEO", c);
            return ZUSD_WRERR;
        }
        return ZUSD_OK;
    }

    // Add a body character; 29 when the name would not fit its buffer.
    unsigned add(int c) {
        if (len >= kMaxHeld) return ZUSD_SYSERR;
        name[len++] = static_cast<char>(c);
        return ZUSD_OK;
    }

    // Close the name with its % and write its value.
    unsigned translate() {
        name[len++] = '%';
        name[len] = '\0';
        char value[ZUCP_NAMESZ];
        value[0] = '\0';
        const unsigned st =
            rec->xlate(rec->ctx1, rec->ctx2, name, value, ZUCP_NAMESZ, 0, 0, "", "");
        len = 0;
        if (st != ZUSD_OK) return st;
        value[ZUCP_NAMESZ - 1] = '\0';  // a value without terminator is cut at its buffer
        const std::size_t n = std::strlen(value);
        if (n > 0 && ZUSDWB(out, value, n) != n) {
            zusderr("zucpci:  ZUSDWB( OUTfile,buf,%d ) != %d", static_cast<int>(n),
                    static_cast<int>(n));
            return ZUSD_WRERR;
        }
        return ZUSD_OK;
    }

    // Keep the name begun so far for the next piece.
    void suspend() {
        name[len] = '\0';
        std::memcpy(rec->partial, name, len + 1);
        rec->pending = 1;
    }

    // Finish a name (or a single %) left open by the previous piece.
    unsigned resume() {
        len = std::strlen(rec->partial);
        std::memcpy(name, rec->partial, len + 1);
        rec->partial[0] = '\0';
        for (;;) {
            const int c = get();
            if (c == EOF) return ZUSD_RDERR;
            if (c == '%') {
                const unsigned st = len == 0 ? put('%') : translate();
                if (st != ZUSD_OK) return st;
                break;
            }
            // After a single % at the end of the last piece, the name starts
            // here; its leading % is put back so that xlate sees %NAME%.
            if (len == 0) name[len++] = '%';
            const unsigned st = add(c);
            if (st != ZUSD_OK) return st;
        }
        rec->pending = 0;
        return ZUSD_OK;
    }

    unsigned run() {
        if (rec->pending != 0) {
            const unsigned st = resume();
            if (st != ZUSD_OK) return st;
        }
        for (;;) {
            int c = get();
            if (c == EOF) return failed() ? readerror() : ZUSD_OK;
            if (c != '%') {
                const unsigned st = put(c);
                if (st != ZUSD_OK) return st;
                continue;
            }
            len = 0;
            name[len++] = '%';
            c = get();
            if (c == EOF) {
                if (failed()) return readerror();
                // A single % ends the piece: the next piece says what it is.
                rec->partial[0] = '\0';
                rec->pending = 1;
                return ZUSD_OK;
            }
            if (c == '%') {
                const unsigned st = put('%');
                if (st != ZUSD_OK) return st;
                continue;
            }
            if (ZUSDUC(c, in) == ZUSDEO) {
                zusderr("zucpci:  ZUSDUC((char)%d,INfile ) == ZUSDEO", c);
                return ZUSD_RDERR;
            }
            --*count;  // counted again when read once more below
            for (;;) {
                c = get();
                if (c == EOF) {
                    if (failed()) return readerror();
                    suspend();
                    return ZUSD_OK;
                }
                const unsigned st = c == '%' ? translate() : add(c);
                if (st != ZUSD_OK) return st;
                if (c == '%') break;
            }
        }
    }

    unsigned readerror() {
        zusderr("zucpci:  ZUSDFR( INfile ) after ZUSDRB( INfile )");
        return ZUSD_RDERR;
    }
};

}  // namespace

unsigned zucpci(FILE *in, FILE *out, zucpsb *record, std::uint32_t *count) {
    *count = 0;
    Step step{in, out, record, count, {}, 0};
    return step.run();
}
