/* codec_bench - in-memory throughput of the encoder and decoder.
 *
 * For every file of the sample directory (default tests/data of the
 * checkout) and for a 64 MiB mixed file made from files on this machine
 * (executables from /usr/bin, text from /usr/share and /usr/include), it
 * encodes and decodes the data in memory several times and prints the
 * median MB/s (1 MB = 10^6 bytes of uncompressed data) of each, and the
 * compression ratio. The round trip is checked every time. Times are
 * processor time of the process (steadier than wall time on a busy machine).
 *
 * Usage: codec_bench [corpus-dir] [runs] [mixed-MiB (0: none)] */
#include "zulz.h"

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <malloc.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

Bytes read_file(const fs::path &p, std::size_t most = ~std::size_t(0)) {
    std::ifstream f(p, std::ios::binary);
    Bytes b;
    char chunk[65536];
    while (b.size() < most) {
        f.read(chunk,
               static_cast<std::streamsize>(std::min<std::size_t>(sizeof chunk, most - b.size())));
        const auto n = static_cast<std::size_t>(f.gcount());
        if (n == 0) break;
        b.insert(b.end(), chunk, chunk + n);
    }
    return b;
}

/* A write stream into a growing memory buffer that keeps its capacity. */
struct Sink {
    Bytes data;
};

ssize_t sink_write(void *cookie, const char *buf, size_t size) {
    auto *s = static_cast<Sink *>(cookie);
    s->data.insert(s->data.end(), buf, buf + size);
    return static_cast<ssize_t>(size);
}

zubfcb *writer(Sink &s, int coded) {
    s.data.clear();
    cookie_io_functions_t io{nullptr, sink_write, nullptr, nullptr};
    return zubfcr(fopencookie(&s, "w", io), 0, coded);
}

zubfcb *reader(Bytes &b, int coded) {
    return zubfcr(fmemopen(b.data(), b.size(), "r"), 1, coded);
}

/* Processor time of this process: on a shared machine it is far steadier
 * than wall time, and the codec neither waits nor sleeps in memory. */
double cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool encode(Bytes &in, Sink &out) {
    zulzecst st{};
    st.table = zuetmk(14, 18);
    zubfcb *i = reader(in, 0);
    zubfcb *o = writer(out, 1);
    std::uint32_t lim = ZULZ_NOLIMIT;
    const unsigned s = zulzec(i, o, &st, 14, &lim);
    const int ok = zubfcl(o, ZUBF_FLUSH);
    zubfcl(i, 0);
    zuetds(st.table);
    return s == 0 && ok;
}

bool decode(Bytes &in, Sink &out) {
    zulzdcst st{};
    zubfcb *i = reader(in, 1);
    zubfcb *o = writer(out, 0);
    std::uint32_t lim = ZULZ_NOLIMIT;
    const unsigned s = zulzdc(i, o, &st, &lim);
    const int ok = zubfcl(o, 0);
    zubfcl(i, 0);
    const unsigned end = s ? s : zulzdcck(&st);
    zudtds(st.table);
    return end == 0 && ok;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void bench(const std::string &name, Bytes &data, int runs) {
    Sink packed, restored;
    packed.data.reserve(data.size() + data.size() / 2 + 64);
    restored.data.reserve(data.size() + 64);
    std::vector<double> enc, dec;
    for (int r = 0; r < runs; ++r) {
        double t0 = cpu_now();
        if (!encode(data, packed)) {
            std::printf("%-16s encode failed\n", name.c_str());
            return;
        }
        enc.push_back(cpu_now() - t0);
        Bytes stream = packed.data;
        t0 = cpu_now();
        if (!decode(stream, restored) || restored.data != data) {
            std::printf("%-16s decode failed or differs\n", name.c_str());
            return;
        }
        dec.push_back(cpu_now() - t0);
    }
    const double mb = static_cast<double>(data.size()) / 1e6;
    std::printf("| %-16s | %10zu | %6.3f | %8.1f | %8.1f |\n", name.c_str(), data.size(),
                static_cast<double>(packed.data.size()) / static_cast<double>(data.size()),
                mb / median(enc), mb / median(dec));
    std::fflush(stdout);
}

/* 64 MiB from files on this machine: text and executables in turns of up
 * to 1 MiB each, in a fixed (sorted) order. */
Bytes mixed_file(std::size_t size) {
    std::vector<fs::path> text, bin;
    auto collect = [](const char *dir, std::vector<fs::path> &into, bool textual) {
        std::error_code ec;
        for (fs::recursive_directory_iterator
                 it(dir, fs::directory_options::skip_permission_denied, ec),
             end;
             it != end; it.increment(ec)) {
            if (ec) break;
            if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
            const auto ext = it->path().extension().string();
            const bool compressed = ext == ".gz" || ext == ".xz" || ext == ".bz2" || ext == ".png";
            if (textual && compressed) continue;
            into.push_back(it->path());
        }
        std::sort(into.begin(), into.end());
    };
    collect("/usr/bin", bin, false);
    collect("/usr/share/doc", text, true);
    collect("/usr/include", text, true);
    collect("/usr/share/common-licenses", text, true);
    Bytes out;
    out.reserve(size);
    std::size_t ti = 0, bi = 0;
    bool turn_text = true;
    while (out.size() < size && (ti < text.size() || bi < bin.size())) {
        std::vector<fs::path> &list = turn_text && ti < text.size() ? text : bin;
        std::size_t &i = &list == &text ? ti : bi;
        if (i >= list.size()) {
            turn_text = !turn_text;
            continue;
        }
        std::size_t got = 0;
        while (got < (1u << 20) && i < list.size() && out.size() < size) {
            const Bytes b =
                read_file(list[i++], std::min<std::size_t>(size - out.size(), 1u << 20));
            out.insert(out.end(), b.begin(), b.end());
            got += b.size();
        }
        turn_text = !turn_text;
    }
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    /* Keep freed tables and buffers in the heap: each call allocates its
     * tables afresh, and on a virtual machine the page faults of fresh
     * mappings would otherwise outweigh the coding of a small file. */
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    const std::string dir = argc > 1 ? argv[1] : ZU_CORPUS_DIR;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::size_t mixed_mib = argc > 3 ? static_cast<std::size_t>(std::atoi(argv[3])) : 64;
    std::printf(
        "Codec throughput, in memory, median of %d runs (MB/s of uncompressed data, CPU time)\n\n",
        runs);
    std::printf("| %-16s | %10s | %6s | %8s | %8s |\n", "file", "bytes", "ratio", "encode",
                "decode");
    std::printf("|------------------|-----------:|-------:|---------:|---------:|\n");
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
        if (e.is_regular_file() && e.path().filename() != "README.md") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    Bytes all;
    for (const auto &f : files) {
        Bytes b = read_file(f);
        if (b.empty()) continue;
        all.insert(all.end(), b.begin(), b.end());
        bench(f.filename().string(), b, runs);
    }
    if (!all.empty()) bench("corpus (all)", all, runs);
    if (mixed_mib == 0) return 0;
    Bytes mixed = mixed_file(mixed_mib << 20);
    const std::string name = "mixed " + std::to_string(mixed_mib) + " MiB";
    if (mixed.size() == (mixed_mib << 20))
        bench(name, mixed, runs);
    else
        std::printf("mixed file: only %zu bytes found\n", mixed.size());
    return 0;
}
