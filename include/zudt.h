/* zudt.h - the decoder's string table: for every code its prefix link and
 * last character, the current code width, and where the code's string was
 * last written, so that the decoder can copy a string from its own recent
 * output instead of walking the prefix chain.
 *
 * The table also owns the decoder's output window: the most recent output,
 * from which strings are copied. A string whose last occurrence has left the
 * window is rebuilt from the prefix links. */
#ifndef ZUDT_H
#define ZUDT_H

#include <cstdint>

/* Largest size of the output window and of the part of it kept when it
 * slides. The free part after a slide (window - kept part) exceeds the
 * longest possible string (65279 bytes for 65536 entries) with room to
 * spare. A table with fewer entries gets a window of four times its entry
 * count, at least ZUDT_WINLEAST, and keeps half of it: for 14-bit codes
 * 64 KiB, whose free half still holds the longest string (16127 bytes)
 * twice over. */
inline constexpr std::uint32_t ZUDT_WINSZ = 256u * 1024u;
inline constexpr std::uint32_t ZUDT_KEEP = 128u * 1024u;
inline constexpr std::uint32_t ZUDT_WINLEAST = 64u * 1024u;
inline constexpr std::uint32_t ZUDT_SLACK = 64u; /* over-copy room at the end */
/* Position of a literal not written since the last reset. */
inline constexpr std::uint64_t ZUDT_NOPOS = ~std::uint64_t(0);

struct zudtcb {
    std::uint32_t *ent;    /* maxcode + 1 entries: character x 65536 + prefix (0 ends a string) */
    std::uint32_t maxcode; /* number of entries minus one */
    std::uint16_t next;    /* highest code assigned (257 after a reset) */
    std::uint32_t width;   /* width of the next code to read (9 after a reset) */
    std::uint32_t *steps;  /* 65536-bit set: codes whose addition widens the code */
    std::uint64_t *pos; /* output position (from the stream's start) of each code's latest
                           string; ZUDT_NOPOS for a literal not written since the reset */
    std::uint16_t *len; /* length of each code's string */
    unsigned char *win; /* output window: winsz + ZUDT_SLACK bytes */
    std::uint32_t winsz; /* size of the window (up to ZUDT_WINSZ) */
    std::uint32_t keep;  /* part of it kept when it slides: half */
    std::uint64_t wbase; /* output position of win[0] */
};

/* New table for the header value h (0 to 18), reset; null when memory is
 * short or h is above 18. */
zudtcb *zudtmk(unsigned h);
/* Reset: literals 2 to 257, next 257, width 9. */
void zudtbs(zudtcb *table);
/* Replace the prefix link of `code` by `link`; returns the former link. */
std::uint16_t zudtrb(zudtcb *table, std::uint16_t code, std::uint16_t link);
/* Add (prefix, ch) as the next code when next + 1 < maxcode; the width grows
 * by one after codes 511, 1023, ..., 32767. 1 when added, 0 when full. */
int zudtad(zudtcb *table, std::uint16_t prefix, std::uint8_t ch);
/* Free the table and its window (null is ignored). */
void zudtds(zudtcb *table);

#endif /* ZUDT_H */
