// Join driver: reads one input, or the pieces of one input from a series of
// volumes, into one output. The decoder (or the substitution copy) keeps its
// state from piece to piece, so the pieces are read as one stream.
#include "piece.h"

#include "zubf.h"
#include "zulz.h"

#include <cerrno>

namespace {

struct Channel {
    zucpcb cb{};
    ~Channel() { zucpui(&cb); }
};

// A correct writer pads the last byte of a compressed stream with at most 7
// bits. A stream that ends inside a code (or before its first code) was cut
// short, and what was restored is only a prefix of the file.
unsigned cutshort(const zucpcb *ch) {
    if (ch->decompress == 0) return ZUSD_OK;
    const unsigned st = zulzdcck(static_cast<const zulzdcst *>(ch->work));
    if (st != ZUSD_OK) return st;
    // Bytes the decoder left in the stream's buffer, too few for its next
    // code, are left-over bits as well: 8 or more of them.
    const auto *in = static_cast<const zubfcb *>(ch->in);
    if (in != nullptr && zubfav(in) != 0) {
        zusderr("zucpjn:  compressed input cut short inside a code (%u bytes left)",
                static_cast<unsigned>(zubfav(in)));
        return ZUSD_RDERR;
    }
    return ZUSD_OK;
}

// Copy one piece that is open as the channel's input, then close it. The
// last piece is checked for a stream that was cut short.
unsigned copypiece(zucpcb *ch, bool last, zusdprog progress, zusdpoll poll, void *cbarg) {
    unsigned st = zucpcp(ch, 0xFFFFFFFFu, progress, poll, cbarg);
    if (st == ZUSD_OK && last && (st = cutshort(ch)) != ZUSD_OK) errno = 0;
    if (st != ZUSD_OK) return st;
    return zucpcr(ch);
}

}  // namespace

unsigned zucpjn(char *source, const char *target, std::uint32_t volume, int append, int compress,
                int decompress, int subst, const char *volname, const char *disklabel,
                zusdvpfn prompt, zusdprog progress, zusdpoll poll, void *cbarg, std::uint32_t ctx1,
                std::uint32_t ctx2, zucpxlt xlate) {
    if (compress != 0) return ZUSD_SYSERR;
    Channel ch;
    unsigned st = zucpin(&ch.cb, append, 0, decompress, subst, ctx1, ctx2, xlate);
    if (st != ZUSD_OK) return st;
    bool multi = false;
    char vsource[ZUSD_PATHSZ];
    if (volume != 0) {
        st = zusdfcv(source, volname, disklabel, volume, 0, prompt, cbarg, 0);
        if (st == ZUSD_OK) st = zucppn(source, vsource);
    } else {
        st = zucpcy(vsource, source);
    }
    if (st != ZUSD_OK) return st;

    st = zucpor(&ch.cb, vsource);
    if (st != ZUSD_OK) {
        if (volume == 0) return st;
        // Not under its plain name: the first of several pieces.
        st = zusdfsf(source, 1, 0);
        if (st == ZUSD_OK) st = zucppn(source, vsource);
        if (st == ZUSD_OK) st = zucpor(&ch.cb, vsource);
        if (st != ZUSD_OK) return st;
        multi = true;
    }
    st = zucpow(&ch.cb, target);
    if (st != ZUSD_OK) return st;
    st = copypiece(&ch.cb, !multi, progress, poll, cbarg);
    if (st != ZUSD_OK) return st;

    while (multi) {
        ++volume;
        st = zusdfsf(source, 0, 0);
        if (st == ZUSD_OK) st = zusdfcv(source, volname, disklabel, volume, 0, prompt, cbarg, 0);
        if (st == ZUSD_OK) st = zucppn(source, vsource);
        if (st != ZUSD_OK) return st;
        if (zucpor(&ch.cb, vsource) == ZUSD_OK) {
            st = copypiece(&ch.cb, false, progress, poll, cbarg);
            if (st != ZUSD_OK) return st;
            continue;
        }
        // No middle piece under that name: the last piece, on the same volume.
        st = zusdfsf(source, 0, 1);
        if (st == ZUSD_OK) st = zusdfcv(source, volname, disklabel, volume, 0, prompt, cbarg, 0);
        if (st == ZUSD_OK) st = zucppn(source, vsource);
        if (st == ZUSD_OK) st = zucpor(&ch.cb, vsource);
        if (st == ZUSD_OK) st = copypiece(&ch.cb, true, progress, poll, cbarg);
        if (st != ZUSD_OK) return st;
        multi = false;
    }
    if (ch.cb.subst != 0 && static_cast<const zucpsb *>(ch.cb.work)->pending != 0) {
        return ZUSD_RDERR;
    }
    // Until the commit the output has only its temporary name; every
    // failure up to it leaves the target as it was.
    st = zucpcw(&ch.cb, 1);
    if (st == ZUSD_OK) st = zucpct(&ch.cb, vsource, target);
    char read[ZUSD_PATHSZ];
    if (st == ZUSD_OK) st = ch.cb.decompress != 0 ? zucpun(vsource, read) : zucpcy(read, vsource);
    if (st == ZUSD_OK) st = zucpcm(&ch.cb, read, cbarg);
    if (st != ZUSD_OK) return st;
    if (progress != nullptr) {
        progress(cbarg, zusdcs(target, ch.cb.reported) - ch.cb.reported);
    }
    return st;
}
