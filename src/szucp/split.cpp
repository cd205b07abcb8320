// Split driver: copies one source into one output, or spreads it over a
// given number of volumes, each piece limited by a size table or by the free
// space of its volume. The encoder keeps its state from piece to piece, so
// the pieces together are one compressed stream.
#include "piece.h"

#include "zubf.h"
#include "zulz.h"

#include <cerrno>

namespace {

// Releases the channel on every way out of the driver.
struct Channel {
    zucpcb cb{};
    ~Channel() { zucpui(&cb); }
};

// Whether the input still holds data for the outputs: the encoder has not
// coded all of it or holds a code back, the decoder holds output back or has
// input left, a plain copy has bytes left to read.
bool inputleft(zucpcb *ch) {
    if (ch->compress != 0) return zulzecdn(static_cast<const zulzecst *>(ch->work)) == 0;
    if (ch->subst != 0) return false;
    FILE *in = static_cast<FILE *>(ch->in);
    if (ch->decompress != 0) {
        const std::uint32_t state = static_cast<const zulzdcst *>(ch->work)->state;
        const auto *coded = static_cast<const zubfcb *>(ch->in);
        if ((state >= 1 && state <= 4) || zubfav(coded) > 0) return true;
        in = coded->fp;
    }
    const int c = std::getc(in);
    if (c == EOF) return false;
    std::ungetc(c, in);
    return true;
}

// The least limit under which a piece takes anything. The encoder suspends
// before a code once the piece holds limit - 2 bytes: the first piece holds
// the header byte before its first code, so it needs 4; a later one holds no
// whole byte (only the 0 to 7 bits carried over), so it needs 3. A plain or
// decoder copy writes up to its limit and needs 1.
std::uint32_t leastlimit(const zucpcb *ch) {
    if (ch->compress == 0) return 1;
    return static_cast<const zulzecst *>(ch->work)->started != 0 ? 3 : 4;
}

}  // namespace

unsigned zucpsp(const char *source, char *target, std::uint32_t volume, std::uint32_t count,
                long fsarg, std::uint32_t reserve, int append, int compress, int decompress,
                const char *volname, const char *disklabel, zusdvpfn prompt, zusdprog progress,
                zusdpoll poll, void *cbarg, const std::uint32_t *sizes, std::uint32_t /*reserved*/,
                std::uint32_t *index) {
    std::uint32_t noindex = 0;
    if (index == nullptr) index = &noindex;
    const std::uint32_t pieces = count;
    Channel ch;
    unsigned st = zucpin(&ch.cb, append, compress, decompress, 0, 0, 0, nullptr);
    if (st != ZUSD_OK) return st;
    if (volume != 0) {
        st = zusdfcv(target, volname, disklabel, volume, 1, prompt, cbarg, 0);
        if (st != ZUSD_OK) return st;
    }
    st = zucpor(&ch.cb, source);
    if (st != ZUSD_OK) return st;

    char vtarget[ZUSD_PATHSZ];
    if (volume != 0) {
        if (count >= 2 && (st = zusdfsf(target, 1, 0)) != ZUSD_OK) return st;
        st = zucppn(target, vtarget);
    } else {
        st = zucpcy(vtarget, target);
    }
    if (st != ZUSD_OK) return st;

    while (count != 0) {
        const int final = count < 2;
        st = zucpow(&ch.cb, vtarget);
        if (st != ZUSD_OK) return st;
        std::uint32_t freebytes = 0xFFFFFFFFu;
        if (volume != 0) {
            st = zusdfpv(vtarget, fsarg, &freebytes);
            if (st != ZUSD_OK) return st;
        }
        // Less free space than the reserve leaves no room at all (not,
        // wrapped around, nearly 4 GiB).
        const std::uint32_t limit = sizes != nullptr     ? sizes[*index]
                                    : freebytes > reserve ? freebytes - reserve
                                                          : 0;
        // A volume that cannot take one code of what is left would get an
        // empty piece, and the next volume would be asked for without any
        // progress: the split ends here, and the piece just opened goes
        // (releasing the channel removes it).
        if (limit < leastlimit(&ch.cb) && inputleft(&ch.cb)) {
            errno = ENOSPC;
            zusderr("zucpsp: volume too small for %s: limit %u, at least %u needed", vtarget,
                    limit, leastlimit(&ch.cb));
            return ZUSD_WRERR;
        }
        st = zucpcp(&ch.cb, limit, progress, poll, cbarg);
        if (st == ZUSD_OK && final && inputleft(&ch.cb)) {
            // The pieces would hold only a part of the source.
            errno = ENOSPC;
            zusderr("zucpsp: the last piece %s cannot take the rest of %s", vtarget, source);
            st = ZUSD_WRERR;
        }
        // An unfinished piece never gets its name: releasing the channel
        // removes it.
        if (st == ZUSD_OK) st = zucpcw(&ch.cb, final);
        if (st == ZUSD_OK) st = zucpct(&ch.cb, source, vtarget);
        // Each piece takes its name once it is whole, before the volume is
        // changed; the last one first gets the source's owner and bits.
        if (st == ZUSD_OK) st = zucpcm(&ch.cb, final ? source : nullptr, cbarg);
        if (st != ZUSD_OK) return st;
        ++volume;
        ++*index;
        --count;
        if (count != 0) {
            st = zusdfsf(target, 0, count < 2);
            if (st == ZUSD_OK)
                st = zusdfcv(target, volname, disklabel, volume, 1, prompt, cbarg, 0);
            if (st == ZUSD_OK) st = zucppn(target, vtarget);
            if (st != ZUSD_OK) return st;
        }
    }
    zucpcr(&ch.cb);
    if (pieces != 0) return ZUSD_OK;
    // No piece was written: the permission step still runs on the target.
    char written[ZUSD_PATHSZ];
    st = ch.cb.compress != 0 ? zucpun(vtarget, written) : zucpcy(written, vtarget);
    if (st != ZUSD_OK) return st;
    return zucpsc(source, written, progress, cbarg);
}
