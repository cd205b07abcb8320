/* Fuzz target: arbitrary bytes as a compressed file, restored by the
 * parallel decoder (then the serial one from where it stops) and by the
 * serial one alone. Both must give the same bytes, the same status and the
 * same log messages.
 * Input: byte 0 chooses the least job size and the thread count, byte 1
 * the output piece size, the rest is the stream. */
#include "fuzz_streams.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    zulzpjob = data[0] % 32;
    zulzppiece = 64 + 16u * data[1];
    zufuzz::as_serial(zufuzz::Bytes(data + 2, data + size), 2 + data[0] / 128);
    return 0;
}
