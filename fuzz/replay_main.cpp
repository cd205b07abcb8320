/* Replays fuzz inputs without libFuzzer: every file in the directories
 * given is one input. */
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv) {
    int n = 0;
    for (int i = 1; i < argc; ++i)
        for (const auto &e : std::filesystem::directory_iterator(argv[i])) {
            std::ifstream f(e.path(), std::ios::binary);
            const std::string b((std::istreambuf_iterator<char>(f)), {});
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(b.data()), b.size());
            ++n;
        }
    std::printf("replayed %d inputs\n", n);
    return n > 0 ? 0 : 1;
}
