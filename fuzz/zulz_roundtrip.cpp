/* Fuzz target: arbitrary data through the encoder with arbitrary volume
 * limits, then back through the decoder volume by volume. The volumes must
 * join to the one-call stream, none may exceed its limit, and the decoder
 * must restore the data exactly.
 * The one-call stream must also be exactly the plain greedy coder's, and so
 * must the stream of another code width (byte 1 chooses it, 9 to 16 bits).
 * Input: byte 0 chooses the volume limits, byte 1 the output step, the rest
 * is the data. */
#include "fuzz_streams.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace zufuzz;
    if (size < 2) return 0;
    const unsigned seed = data[0];
    const Bytes input(data + 2, data + size);
    const Encoded one = encode(input, [] { return ZULZ_NOLIMIT; });
    if (one.status != (input.empty() ? ZUSD_RDERR : 0u) || one.volumes != 2u - input.empty())
        fail("one-volume encode");
    if (input.empty()) return 0; /* the header alone, refused */
    if (one.joined != greedy(input)) fail("not the greedy coder's stream");
    const unsigned bits = 9 + data[1] % 8;
    if (encode(input, [] { return ZULZ_NOLIMIT; }, bits).joined != greedy(input, bits))
        fail("another width: not the greedy coder's stream");
    std::minstd_rand sizes(seed + 1);
    const Encoded many = encode(input, [&] { return seed ? 3 + sizes() % (8 * seed) : ~0u; });
    if (many.status || many.joined != one.joined) fail("volumes unlike one call");
    const Decoded back = decode(many.joined, seed, data[1]);
    if (back.status != 0 || back.check != 0 || back.out != input) fail("round trip differs");
    return 0;
}
