/* parallel_run.h - whole streams through files in memory: restored by the
 * parallel decoder and then the serial one from where it stopped (one
 * thread: the serial one alone), or compressed by the parallel encoder, with
 * the messages the error log received. */
#ifndef ZU_FUZZ_PARALLEL_RUN_H
#define ZU_FUZZ_PARALLEL_RUN_H

#include "fuzz_streams.h"

#include <fstream>
#include <unistd.h>

#include <string>

namespace zufuzz {

struct Restored {
    Bytes out;
    unsigned status = 0;
    std::string log;         /* the messages, without their dates and errno */
    std::uint64_t serial_at; /* input byte where the serial decoder took over */
};

/* Runs `fn(in, out)` over streams (coded as given) on files in memory with
 * the log on; the output's bytes, and the log's messages in *log. */
template <class Fn>
inline Bytes through_files(const Bytes &input, int incoded, int outcoded, std::string *log, Fn fn) {
    const std::string path = "/tmp/zu_parallel_log." + std::to_string(getpid());
    unlink(path.c_str());
    zusdlg(path.c_str(), 1);
    Mem in(input, 1, incoded), out({}, 0, outcoded);
    fn(in.s, out.s);
    const Bytes b = out.close(ZUBF_FLUSH);
    zusdlg_level = 0;
    std::ifstream lf(path);
    for (std::string line; std::getline(lf, line);)
        *log += line.substr(line.find("]  ") + 1) + "\n";
    unlink(path.c_str());
    return b;
}

inline Restored restore(const Bytes &stream, unsigned threads) {
    Restored r;
    r.out = through_files(stream, 1, 0, &r.log, [&](zubfcb *in, zubfcb *out) {
        Decoder st;
        r.status = zulzpd(in, out, &st, threads, nullptr, nullptr);
        r.serial_at = in->count;
        std::uint32_t lim = ZULZ_NOLIMIT;
        if (!r.status && !(r.status = zulzdc(in, out, &st, &lim))) r.status = zulzdcck(&st);
    });
    return r;
}

/* Restores `s` serially and on `threads` threads: the same bytes, status
 * and log, or a failure. */
inline Restored as_serial(const Bytes &s, unsigned threads) {
    const Restored serial = restore(s, 1), par = restore(s, threads);
    if (par.status != serial.status || par.log != serial.log || par.out != serial.out)
        fail("the parallel decoder differs from the serial one");
    return par;
}

/* The stream of the parallel encoder on `threads` threads (one: zulzec alone). */
inline Bytes compress(const Bytes &input, unsigned threads) {
    std::string log;
    return through_files(input, 0, 1, &log, [&](zubfcb *in, zubfcb *out) {
        Encoder st;
        std::uint32_t lim = ZULZ_NOLIMIT;
        if (zulzpe(in, out, &st, threads, nullptr, nullptr) || zulzec(in, out, &st, 14, &lim) ||
            !zulzecdn(&st))
            fail("parallel encoder");
    });
}

}  // namespace zufuzz

#endif /* ZU_FUZZ_PARALLEL_RUN_H */
