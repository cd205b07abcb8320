/* zubf.h - the codec's buffered code stream: one open file with a large
 * byte buffer and a bit accumulator. Write streams take codes of 1 to 16
 * bits packed most significant bit first; read streams hand out bytes or
 * codes. Lower-level truth results: 1 for success, 0 for failure.
 *
 * The byte count is 64 bits wide, so a stream of 4 GiB or more keeps an
 * exact count; the codec's 32-bit volume limits are compared against it. */
#ifndef ZUBF_H
#define ZUBF_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

/* One open stream, made by zubfof/zubfor/zubfow/zubfcr, released by zubfcl. */
struct zubfcb {
    std::FILE *fp;           /* the open file */
    unsigned char *buf;      /* the stream's buffer, bufsz bytes */
    std::uint64_t count;     /* bytes taken (read) or put into buf (write) since opening */
    std::uint32_t acc;       /* bit accumulator; pending bits at its most significant end */
    std::uint16_t masks[17]; /* 2^n - 1 for n = 0 to 16 */
    std::uint32_t rdmode;    /* 1 read stream, 0 write stream */
    std::uint32_t coded; /* 1 when the stream carries codes (closing may write a partial byte) */
    std::int32_t wpos; /* write: bit just below the pending bits (24..31 between calls); read: 31 */
    std::int32_t rpos; /* read: bit just below the bits held; wpos - rpos bits available */
    std::uint32_t last;   /* read: index of the last valid byte of buf */
    std::uint32_t bufsz;  /* size of buf */
    std::uint32_t idx;    /* next byte to take (read) or next free byte (write) */
    std::uint32_t filled; /* read: 1 once a refill has put bytes into buf */
};

/* Flags of zubfcl. */
enum : int {
    ZUBF_FLUSH = 1, /* coded write stream: also write the last partial byte */
    ZUBF_SYNC = 2,  /* write stream: put the file's data on stable storage before closing */
};

/* Allocation used by every codec record, table and buffer (std::malloc by
 * default; memory is released with std::free). Tests replace it to make an
 * allocation fail. */
extern void *(*zubfma)(std::size_t size);

/* Open the file lead/dir/base/ext (joined by zusdcm) for reading ("r") or
 * writing ("w"); null when the record, the file or a buffer of at least 384
 * bytes cannot be had (an open failure is logged). */
zubfcb *zubfof(const char *lead, const char *dir, const char *base, const char *ext, int rdflag,
               int coded);
zubfcb *zubfor(const char *lead, const char *dir, const char *base, const char *ext, int coded);
zubfcb *zubfow(const char *lead, const char *dir, const char *base, const char *ext, int coded);
/* Make a stream around a file the caller has already opened (for instance
 * with its own open flags and mode); the stream owns `fp` from now on, also
 * when this fails (null: `fp` is closed). */
zubfcb *zubfcr(std::FILE *fp, int rdflag, int coded);

/* Close and free the stream (null is ignored). A write stream first writes
 * its buffered bytes, then its last partial byte when it is coded and
 * `flags` has ZUBF_FLUSH, then flushes (and with ZUBF_SYNC syncs) the file.
 * Returns 1, or 0 when any of these steps or the close failed (logged): the
 * file must then be taken as incomplete. Read streams return 1. */
int zubfcl(zubfcb *stream, int flags);

/* Put a code of n bits (1 to 16, value below 2^n). */
int zubfpb(zubfcb *stream, std::uint16_t code, int n);
/* Write the bits still pending, padded with zero bits, directly to the file. */
int zubffb(zubfcb *stream);
/* Get one byte. */
int zubfg1(zubfcb *stream, unsigned char *byte);
/* Get a code of n bits (1 to 16). A failure keeps the bytes already taken in
 * the accumulator, so a stream on the next volume can continue the code. */
int zubfgb(zubfcb *stream, std::uint16_t *code, int n);

/* Block operations of the codec's loops. */
/* Put n bytes ("zubfp1" on failure): fewer than 4096, or into memory, with
 * the buffer rule of a single put; more go straight to the file, after the
 * bytes the buffer holds. */
int zubfpn(zubfcb *stream, const unsigned char *data, std::size_t n);
/* Write a full buffer out and empty it ("zubfp1" on failure). */
int zubfwf(zubfcb *stream);
/* Refill an exhausted read buffer: the number of bytes now at buf[0..last]
 * (idx 0), 0 at the end of the file, -1 on a read error; the end and the
 * error are logged with `label` naming the operation. */
long zubfrf(zubfcb *stream, const char *label);
/* Bytes still unread in the buffer of a read stream. */
inline std::uint32_t zubfav(const zubfcb *s) {
    return (s->filled != 0 && s->last >= s->idx) ? s->last + 1 - s->idx : 0;
}

#endif /* ZUBF_H */
