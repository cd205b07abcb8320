/* zulz.h - the dictionary codec: a resumable encoder and decoder of the
 * compressed stream (header byte, then 9- to 14-bit LZW codes packed most
 * significant bit first, with a clear code).
 *
 * Both run over code streams (zubf.h) and keep everything they need between
 * calls in a resume record, so one stream can be written over several output
 * volumes, and read back from pieces cut at any byte boundary.
 *
 * Resume records are plain records: a zero-initialized record (for instance
 * `zulzdcst st{}`) is a fresh one. The caller owns it and the table in it:
 * zuetmk/zuetds for the encoder, zudtds for the decoder (which makes its own
 * table from the stream's header).
 *
 * Limits: a 32-bit amount, 0xFFFFFFFF meaning no limit at all (a run of any
 * length, also past 4 GiB). On return the limit holds the output stream's
 * count, saturated at 0xFFFFFFFF. */
#ifndef ZULZ_H
#define ZULZ_H

#include "zubf.h"
#include "zudt.h"
#include "zuet.h"

#include <cstdint>

/* The "no limit" value of the encoder's and decoder's limits. */
inline constexpr std::uint32_t ZULZ_NOLIMIT = 0xFFFFFFFFu;

/* ---- Encoder ---- */

/* Encoder states:
 *   0  not started, running, or finished (see `started`, `eof`)
 *   1  suspended before writing `code` (the volume was full)
 *   2  suspended before writing a clear code (the volume was full)
 *
 *   0 --volume full before a code--> 1 --next call writes it--> 0
 *   0 --volume full before a clear--> 2 --next call writes it--> 0 */
struct zulzecst {
    zuetcb *table;      /* zuetmk(14, 18) by the caller */
    std::uint16_t code; /* code held over a suspension */
    std::int32_t wpos;  /* output bit state saved at the end of every call */
    std::int32_t rpos;
    std::uint32_t acc;
    std::uint32_t state; /* 0, 1 or 2 (above) */
    std::uint8_t ch;     /* character that ended the match of `code` */
    /* Added state: */
    std::uint8_t started; /* the header has been written */
    std::uint8_t eof;     /* the input has ended: later calls never read it again */
    std::uint32_t failed; /* status of a failed call; later calls return it */
};

/* Compress from `in` (read stream) into `out` (coded write stream) until the
 * input ends (state 0) or `out` holds limit - 2 bytes or more before a code
 * (state 1 or 2): a volume never receives more than limit - 1 bytes (or the
 * header byte alone when the limit is below 2). The first call writes the
 * header value as 8 bits. Every call begins with the 0 to 7 bits left over
 * from the previous one. A call after the input has ended finishes the held
 * step and reads nothing; a call after a finished run writes nothing.
 * Status: 0; 20 empty input (first call) or read error; 21 write failure. */
unsigned zulzec(zubfcb *in, zubfcb *out, zulzecst *state, std::uint16_t header,
                std::uint32_t *limit);
/* 1 when the whole input has been coded (the last piece may be closed with
 * ZUBF_FLUSH), 0 while input or a held code remains. */
int zulzecdn(const zulzecst *state);

/* ---- Decoder ---- */

/* Decoder states:
 *   0  nothing read yet: the header comes next
 *   1  output limit reached before the last character of a string
 *   2  output limit reached before the character of the first code after a clear code
 *   3  output limit reached before a character of a string that is not its last
 *   4  output limit reached before the repeated first character of a code read
 *      before it was in the table
 *   5  input exhausted: the next code follows `oldcode`
 *   6  input exhausted: the next code is a first code (after the header or a
 *      clear code), which must be a literal
 *   7  refused (a corrupt stream, or no memory for the table); `failed` holds the status
 *
 *   0 --header--> 6 --literal--> 5 --code--> 5;  5 --clear--> 6
 *   any of 5, 6 --output at the limit--> 1..4 --next call--> 5
 * Input may end at any byte boundary, in any state: the call returns 0 with
 * the bits taken so far in the record, and the next call continues them. */
struct zulzdcst {
    zudtcb *table;     /* made from the header by the first call */
    std::int32_t wpos; /* input bit state, saved at the end of every call */
    std::int32_t rpos;
    std::uint32_t acc;
    std::uint16_t oldcode; /* the previous code */
    std::uint16_t code;    /* the current code */
    std::uint16_t link;    /* (not used by this decoder; kept for the record's layout) */
    std::uint16_t pending; /* code read before it was in the table, while its string is written */
    std::uint32_t state;   /* 0 to 7 (above) */
    std::uint8_t finchar;  /* first character of the current string */
    std::uint8_t ch;       /* character about to be written */
    /* Added state: */
    std::uint8_t begun;      /* the stream's first character has been written */
    std::uint8_t afterclear; /* state 6 was entered by a clear code, not the header */
    std::uint32_t failed;    /* status of a refused call; later calls return it */
    std::uint64_t produced;  /* bytes restored into the window so far */
    std::uint64_t delivered; /* bytes of them put into the output stream */
};

/* Restore from `in` (coded read stream) into `out` (byte write stream) until
 * the input is exhausted (state 5 or 6, or 0 before the header) or the
 * output's count reaches `*limit` (states 1 to 4). On return `*limit` holds
 * the output's count (saturated). Status: 0; 5 no memory for the table; 20 a
 * read error or a stream that no correct writer produces (header above 18,
 * code 0, a code the table cannot name yet, a first code that is not a
 * literal), logged once; 21 write failure. */
unsigned zulzdc(zubfcb *in, zubfcb *out, zulzdcst *state, std::uint32_t *limit);
/* After the last piece: 0 when the stream read so far ends where a correct
 * writer may end it (after a code, with at most 7 bits of padding left, and
 * all its output written); otherwise 20 with one log record (a stream cut
 * short: no header, no first code, a code cut off, or output still held). */
unsigned zulzdcck(const zulzdcst *state);

/* ---- Whole files on several threads ---- */

/* Threads for a whole-file run, from ZU_THREADS (a number from 1 to 64):
 * unset (or not such a number), the decoder takes every core the process may
 * run on and the encoder runs alone; 1 keeps both serial. */
unsigned zulzpt(int encoder);

/* Called with the caller's argument as the output of a parallel run grows
 * (after each piece or block written); a nonzero result stops the run with
 * that status. */
using zulzpfn = unsigned (*)(void *arg);
/* Least compressed bytes of one decoder job and size of one output piece
 * (tunable for tests; defaults 64 KiB and 128 KiB). */
extern std::uint32_t zulzpjob;
extern std::uint32_t zulzppiece;

/* Parallel decoder: restores the stream of the regular file under `in`
 * (fresh: nothing read) into `out` on `threads` threads, up to the start of
 * its last job (a stretch ending with a clear code), and leaves `in` and the
 * fresh record `st` there, so that zulzdc called as for a serial run does the
 * rest and ends exactly as a serial run would (also with the same output,
 * status and log when a stretch is corrupt: a failed job is decoded again by
 * zulzdc, from its start). Status: 0, 21 write failure, or the callback's. */
unsigned zulzpd(zubfcb *in, zubfcb *out, zulzdcst *st, unsigned threads, zulzpfn step,
                void *arg);

/* Parallel encoder: compresses the regular file under `in` (fresh) in 1 MiB
 * blocks on `threads` threads, each block after the first beginning with a
 * clear code and a fresh table; the bytes do not depend on `threads`. A
 * file of one block or less is left to zulzec (the bytes are the same).
 * On success `st` is a finished run: zulzecdn(st) is 1. Status: 0, 20 read
 * error, 21 write failure, 5 no memory, or the callback's. */
unsigned zulzpe(zubfcb *in, zubfcb *out, zulzecst *st, unsigned threads, zulzpfn step,
                void *arg);

#endif /* ZULZ_H */
