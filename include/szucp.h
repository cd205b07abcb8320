/* szucp.h - the volume copy engine: one copy channel per file (plain block
 * copy, compression through the encoder, uncompression through the decoder,
 * or a text copy that replaces %NAME% by values), the split driver that
 * writes one output or spreads it over volumes, and the join driver that
 * reads one input or joins pieces from volumes.
 *
 * Every operation returns a status code of szusd.h (0 for success) unless
 * noted. The engine prints nothing; failures are written to the error log.
 *
 * Output discipline: an output is opened without following a symbolic link
 * at its name, refused unless it is a regular file that is not the input,
 * created (or truncated) owner-only (0600) and given the input's permission
 * bits only at the end; closing it writes, flushes and syncs it (and its
 * directory entry) and reports any failure of these steps. */
#ifndef SZUCP_H
#define SZUCP_H

#include "szusd.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>
#include <ctime>

/* ---- Copy channel ------------------------------------------------------ */

/* Translation function of the substitution kind, called as
 * xlate(ctx1, ctx2, name, value, 4096, 0, 0, "", ""): `name` is the whole
 * name with both percent signs, `value` a buffer of `size` bytes to fill with
 * a terminated string. 0, or a status that ends the copy. */
typedef unsigned (*zucpxlt)(std::uint32_t ctx1, std::uint32_t ctx2, const char *name, char *value,
                            std::uint16_t size, std::uint32_t a, std::uint32_t b, const char *c,
                            const char *d);

/* Size of the substitution copy's name, value and partial-name buffers. */
inline constexpr std::size_t ZUCP_NAMESZ = 4096;

/* Copy channel: one per driver call. `in` and `out` are standard I/O streams
 * (FILE *) for the plain and substitution kinds and code streams (zubfcb *)
 * for the encoder and decoder kinds; null when closed. */
struct zucpcb {
    void *in;
    void *out;
    void *work;               /* zulzecst, zulzdcst, zucpsb or the plain buffer */
    std::uint32_t reported;   /* amount passed to progress since `out` was opened */
    std::uint32_t append;     /* plain, substitution: open the output with "a+" */
    std::uint32_t compress;   /* encoder kind */
    std::uint32_t decompress; /* decoder kind (0 when subst is set) */
    std::uint32_t subst;      /* substitution kind */
    std::uint32_t bufsize;    /* plain kind: size of the copy buffer */
    /* Bookkeeping of the engine's own. */
    int outdir;            /* directory of the open output, for its sync; -1 none */
    std::uint32_t atlimit; /* the last copy loop stopped at its limit, not at the end */
    /* The input's identity and times when it was opened, before reading it
     * moved its access time; the time step gives these to the output. */
    int intimes;           /* 1 when the fields below are set */
    dev_t indev;
    ino_t inino;
    struct timespec inatime;
    struct timespec inmtime;
};

/* Substitution record, the work record of the substitution kind. */
struct zucpsb {
    std::uint32_t ctx1;
    std::uint32_t ctx2;
    zucpxlt xlate;
    char partial[ZUCP_NAMESZ]; /* start of a name cut off by the end of a piece */
    std::uint32_t pending;     /* the last piece ended inside a name or after one % */
};

/* Set the channel up for one kind (tested in the order encoder, decoder,
 * substitution, plain): 5 when its work record cannot be made. */
unsigned zucpin(zucpcb *channel, int append, int compress, int decompress, int subst,
                std::uint32_t ctx1, std::uint32_t ctx2, zucpxlt xlate);
/* Release: destroys the codec's table, closes what is open (an output
 * without its final flush or sync), frees the work record. */
void zucpui(zucpcb *channel);
/* Open the input `name` (with `_` appended for the decoder kind). 22 when it
 * cannot be opened, 20 when it is not a regular file. */
unsigned zucpor(zucpcb *channel, const char *name);
/* Open the output `name` (with `_` appended for the encoder kind) and set
 * `reported` to 0. 21 when it cannot be opened or is refused. */
unsigned zucpow(zucpcb *channel, const char *name);
/* Close the input. */
unsigned zucpcr(zucpcb *channel);
/* Close the output: its buffered bytes, for a coded stream with `final` set
 * also its last partial byte, are written, flushed and synced with its
 * directory entry. 21 when any of this fails. */
unsigned zucpcw(zucpcb *channel, int final);
/* Make an existing output owner-writable (a symbolic link is left alone).
 * Returns 0. */
unsigned zucppc(zucpcb *channel, const char *inname, const char *outname);
/* Give the output the access and modification times of the input (names
 * resolved for the channel's kind as zucpor and zucpow do). */
unsigned zucpct(zucpcb *channel, const char *inname, const char *outname);
/* Give `outname` the permission bits of `inname`, unless `cbarg` points to a
 * record whose fifth 32-bit word is non-zero. Returns 0. */
unsigned zucpsc(const char *inname, const char *outname, zusdprog progress, void *cbarg);
/* The copy loop: at most `limit` output bytes (0xFFFFFFFF: no limit). */
unsigned zucpcp(zucpcb *channel, std::uint32_t limit, zusdprog progress, zusdpoll poll,
                void *cbarg);
/* Output bytes per step of an unlimited encoder or decoder copy (8 MiB):
 * between steps the output is handed to the disk, so that closing it waits
 * for little. Tests set it small to cut copies into many steps. */
extern std::uint32_t zucpslice;
/* One plain block step: up to *count bytes from `in` to `out`; *count
 * receives the number read (0 at the end of the input). */
unsigned zucpcu(FILE *in, FILE *out, unsigned char *buffer, std::uint32_t *count);

/* `name` with `_` appended, as the compressed side of a channel names its
 * file (split, `_` added to the extension or the base name, joined), into
 * `out` of ZUSD_PATHSZ bytes. 29 when the name or a part of it does not fit. */
unsigned zucpun(const char *name, char *out);

/* The output that the engine last created or truncated, so that a clean-up
 * removes only a file that its own run made (a file that existed and was
 * never opened survives). `set` is written last and read first, so a signal
 * handler may read the record. */
struct zucpowrec {
    volatile std::sig_atomic_t set;
    dev_t dev;
    ino_t ino;
};
extern zucpowrec zucpgbow;
/* Remove `path` when it is still the output recorded in zucpgbow (checked
 * with lstat); 1 when removed. Async-signal-safe; logs nothing. */
int zucprmo(const char *path);

/* ---- Substitution copy ------------------------------------------------- */

/* Copy `in` to `out` replacing %NAME% by xlate's value and %% by %. *count
 * receives the number of input bytes consumed. 20 for a read failure or an
 * input ending inside a resumed name, 21 for a write failure, 29 for a name
 * longer than 4093 characters, or xlate's status. */
unsigned zucpci(FILE *in, FILE *out, zucpsb *record, std::uint32_t *count);

/* ---- Split and join drivers -------------------------------------------- */

/* Copy `source` to `target` through a channel of the given kind, spread
 * over `count` volumes starting with `volume` (0: no volumes, `target`
 * itself). `target` (ZUSD_PATHSZ bytes) receives the volume digit of the
 * piece last written. Each piece is limited to sizes[*index] or to the free
 * space less `reserve` (none when the reserve exceeds it); *index counts the
 * pieces written. A last piece that cannot take the rest of the input is a
 * failure (21), and so is a piece whose limit cannot take one code of what is
 * left (21, errno ENOSPC, logged "volume too small"): below 4 bytes for the
 * encoder's first piece, 3 for a later one, 1 for the other kinds. Such a
 * piece is removed and no further volume is asked for. */
unsigned zucpsp(const char *source, char *target, std::uint32_t volume, std::uint32_t count,
                long fsarg, std::uint32_t reserve, int append, int compress, int decompress,
                const char *volname, const char *disklabel, zusdvpfn prompt, zusdprog progress,
                zusdpoll poll, void *cbarg, const std::uint32_t *sizes, std::uint32_t reserved,
                std::uint32_t *index);
/* Copy `source` (ZUSD_PATHSZ bytes; with volumes the base of each piece's
 * name, rewritten with its volume digit) to `target` through a channel of
 * the decoder, substitution or plain kind, joining the pieces found on the
 * volumes from `volume` on (0: no volumes). 29 for the encoder kind; 20 for
 * a compressed input that was cut short or a name left open at its end. */
unsigned zucpjn(char *source, const char *target, std::uint32_t volume, int append, int compress,
                int decompress, int subst, const char *volname, const char *disklabel,
                zusdvpfn prompt, zusdprog progress, zusdpoll poll, void *cbarg, std::uint32_t ctx1,
                std::uint32_t ctx2, zucpxlt xlate);

#endif /* SZUCP_H */
