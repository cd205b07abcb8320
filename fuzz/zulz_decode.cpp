/* Fuzz target: arbitrary bytes as a compressed stream, cut into arbitrary
 * volumes and restored under arbitrary output limits. The decoder must never
 * fault, must end with 0 or 20, and must restore the same bytes with the
 * same result as one uncut, unlimited call.
 * Input: byte 0 chooses the cuts, byte 1 the output step, the rest is the
 * stream. */
#include "fuzz_streams.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace zufuzz;
    if (size < 2) return 0;
    const unsigned cutseed = data[0];
    const std::uint32_t step = data[1];
    const unsigned char *s = data + 2;
    const std::size_t n = size - 2;
    const Decoded whole = decode(s, n, 0, 0);
    if (whole.status != 0 && whole.status != ZUSD_RDERR) fail("status of the whole stream");
    const Decoded pieces = decode(s, n, cutseed, step);
    if (pieces.status != whole.status) fail("status differs when cut");
    if (pieces.check != whole.check) fail("end check differs when cut");
    if (pieces.out != whole.out) fail("output differs when cut");
    return 0;
}
