/* szucp.h - the volume copy engine: one copy channel per file (plain block
 * copy, compression through the encoder, uncompression through the decoder,
 * or a text copy that replaces %NAME% by values), the split driver that
 * writes one output or spreads it over volumes, and the join driver that
 * reads one input or joins pieces from volumes.
 *
 * Every operation returns a status code of szusd.h (0 for success) unless
 * noted. The engine prints nothing; failures are written to the error log.
 *
 * Output discipline: an output is written under a temporary name beside its
 * final one (created new, owner-only, never through a symbolic link) and
 * renamed into place only when it is complete: written, flushed, given its
 * times, owner and permission bits, and synced, after which its directory is
 * synced. Until then nothing at the final name changes, so a run that fails
 * or is killed never leaves a partial file there; an existing target (and
 * every other hard link to it) keeps its old content. The final name is
 * refused when it is a symbolic link, not a regular file, or the input. */
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
    int outdir;            /* directory of the open output; -1 none */
    int outfd;             /* the output itself, held from zucpow until it is committed or
                              discarded, so that times, owner and bits go to this file; -1 */
    std::uint32_t outdone; /* zucpcw wrote the output out whole */
    std::uint32_t atlimit; /* the last copy loop stopped at its limit, not at the end */
    char outbase[256];     /* final name of the output in `outdir` */
    char outtemp[256];     /* its temporary name there; empty when written in place */
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
/* Release: destroys the codec's table, closes what is open and removes an
 * output that was not committed (its final name never appeared), frees the
 * work record. */
void zucpui(zucpcb *channel);
/* Open the input `name` (with `_` appended for the decoder kind). 22 when it
 * cannot be opened, 20 when it is not a regular file. */
unsigned zucpor(zucpcb *channel, const char *name);
/* Open the output `name` (with `_` appended for the encoder kind) and set
 * `reported` to 0: a new file under a temporary name in the same directory,
 * or, with `append`, the file itself. 21 when it cannot be opened or the
 * name is refused. */
unsigned zucpow(zucpcb *channel, const char *name);
/* Close the input. */
unsigned zucpcr(zucpcb *channel);
/* Close the output's stream: its buffered bytes, for a coded stream with
 * `final` set also its last partial byte, are written and flushed. 21 when
 * this fails. The file stays held for zucpct and zucpcm, which syncs it. */
unsigned zucpcw(zucpcb *channel, int final);
/* Commit the output closed by zucpcw: give it the owner, group and
 * permission bits of `from` (none when `from` is null, or when `cbarg`
 * points to a record whose fifth 32-bit word is non-zero), sync it, rename
 * it to its final name and sync the directory. 0 when no output is held;
 * 21 when a step fails, the temporary file then removed. */
unsigned zucpcm(zucpcb *channel, const char *from, void *cbarg);
/* Kept for callers of the engine: an output is written beside its target
 * and renamed, so the target is never made writable or changed before the
 * rename. Does nothing; returns 0. */
unsigned zucppc(zucpcb *channel, const char *inname, const char *outname);
/* Give the output the access and modification times of the input (names
 * resolved for the channel's kind as zucpor and zucpow do). */
unsigned zucpct(zucpcb *channel, const char *inname, const char *outname);
/* Give `outname` (a regular file, not followed through a symbolic link)
 * the owner, group and permission bits of `inname`, unless `cbarg` points
 * to a record whose fifth 32-bit word is non-zero. The setuid and setgid
 * bits go over only where the owner and the group could. Returns 0. */
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

/* The file of an open channel that this run created and that must not
 * outlive a failure: the temporary output (or a new file written in place),
 * as its directory descriptor, name and identity. `set` is written last and
 * cleared first, so a signal handler may read the record. */
struct zucpowrec {
    volatile std::sig_atomic_t set;
    dev_t dev;
    ino_t ino;
    int dirfd;
    char name[256];
};
extern zucpowrec zucpgbow;
/* Remove the file recorded in zucpgbow when its name still holds that file
 * (checked without following a link); 1 when removed. Async-signal-safe;
 * logs nothing. */
int zucprmo(void);

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
