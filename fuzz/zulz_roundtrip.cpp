/* Fuzz target: arbitrary data through the encoder with arbitrary volume
 * limits, then back through the decoder volume by volume. The pieces must
 * join to the one-call stream, no piece may exceed its limit, and the
 * decoder must restore the data exactly.
 * Input: byte 0 chooses the volume limits, byte 1 the output step, the rest
 * is the data. */
#include "fuzz_streams.h"

#include <cstddef>
#include <cstdint>

namespace {

using namespace zufuzz;

struct Encoded {
    std::vector<Bytes> pieces;
    unsigned status = 0;
};

/* Volumes of 3 + (seed-driven) bytes; seed 0: one unlimited volume. */
Encoded encode(const Bytes &data, unsigned seed) {
    Encoded e;
    zulzecst st{};
    st.table = zuetmk(14, 18);
    if (!st.table) fail("zuetmk");
    MemIn in(data.data(), data.size(), 0);
    Sizes sizes(seed);
    for (;;) {
        MemOut out(1);
        const std::uint32_t limit = seed ? sizes.next(3, seed * 8) : ZULZ_NOLIMIT;
        std::uint32_t lim = limit;
        e.status = zulzec(in.s, out.s, &st, 14, &lim);
        if (lim != out.s->count) fail("limit does not hold the count");
        if (limit != ZULZ_NOLIMIT && out.s->count > limit - 1) fail("volume over its limit");
        const bool done = zulzecdn(&st) != 0;
        e.pieces.push_back(out.close(done || e.status ? ZUBF_FLUSH : 0));
        if (e.status || done) break;
        if (e.pieces.size() > 100000000) fail("no progress");
    }
    zuetds(st.table);
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned seed = data[0];
    const std::uint32_t step = data[1];
    const Bytes input(data + 2, data + size);
    const Encoded one = encode(input, 0);
    if (input.empty()) {
        if (one.status != ZUSD_RDERR) fail("empty input not refused");
        return 0;
    }
    if (one.status != 0 || one.pieces.size() != 1) fail("one-volume encode");
    const Encoded many = encode(input, seed);
    if (many.status != 0) fail("volume encode status");
    Bytes joined;
    for (const auto &p : many.pieces) joined.insert(joined.end(), p.begin(), p.end());
    if (joined != one.pieces[0]) fail("volumes do not join to the one-volume stream");
    const Decoded back = decode(joined.data(), joined.size(), seed, step);
    if (back.status != 0 || back.check != 0) fail("decode of a correct stream");
    if (back.out != input) fail("round trip differs");
    return 0;
}
