/* Fuzz target: arbitrary data through the encoder with arbitrary volume
 * limits, then back through the decoder volume by volume. The volumes must
 * join to the one-call stream, none may exceed its limit, and the decoder
 * must restore the data exactly.
 * The one-call stream must also be exactly the plain greedy coder's below.
 * Input: byte 0 chooses the volume limits, byte 1 the output step, the rest
 * is the data. */
#include "fuzz_streams.h"

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace {

/* Greedy longest match over a plain map: header 14, 9- to 14-bit codes, a
 * clear code when the table is full and after the last code then. */
zufuzz::Bytes greedy(const zufuzz::Bytes &in) {
    zufuzz::Bytes out;
    std::uint64_t acc = 0;
    int n = 0;
    auto put = [&](unsigned v, unsigned w) {
        for (acc = acc << w | v, n += w; n >= 8; n -= 8) out.push_back(std::uint8_t(acc >> (n - 8)));
    };
    put(14, 8);
    std::unordered_map<unsigned, unsigned> dict;
    unsigned next = 257, width = 9, ent = in[0] + 2u;
    for (std::size_t i = 1; i < in.size(); ++i) {
        const auto found = dict.find(unsigned(in[i]) << 16 | ent);
        if (found != dict.end()) {
            ent = found->second;
            continue;
        }
        put(ent, width);
        if (next < 16382) {
            dict[unsigned(in[i]) << 16 | ent] = ++next;
            width += next == 1u << width;
        } else {
            put(1, width);
            dict.clear(), next = 257, width = 9;
        }
        ent = in[i] + 2u;
    }
    put(ent, width);
    if (next >= 16382) put(1, width);
    if (n) out.push_back(std::uint8_t(acc << (8 - n)));
    return out;
}

}  // namespace

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
    std::minstd_rand sizes(seed + 1);
    const Encoded many = encode(input, [&] { return seed ? 3 + sizes() % (8 * seed) : ~0u; });
    if (many.status || many.joined != one.joined) fail("volumes unlike one call");
    const Decoded back = decode(many.joined, seed, data[1]);
    if (back.status != 0 || back.check != 0 || back.out != input) fail("round trip differs");
    return 0;
}
