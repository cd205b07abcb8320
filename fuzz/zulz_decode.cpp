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
    const Bytes s(data + 2, data + size);
    const Decoded whole = decode(s, 0, 0), pieces = decode(s, data[0], data[1]);
    if (whole.status != 0 && whole.status != ZUSD_RDERR) fail("status of the whole stream");
    if (pieces.status != whole.status || pieces.check != whole.check) fail("cut: other result");
    if (pieces.out != whole.out) fail("output differs when cut");
    return 0;
}
