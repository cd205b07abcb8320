/* parallel.cpp - whole files decoded and encoded on several threads.
 *
 * Decoder: between two clear codes a stream depends on nothing before it,
 * and the width of every code follows from how many codes came since the
 * last reset. The calling thread scans the code widths (no strings are
 * made) and cuts the stream into jobs of at least zulzpjob bytes that each
 * end right after a clear code; worker threads restore jobs with zulzdc into
 * a few bounded output pieces each, and the calling thread writes the pieces
 * out in order. A job that fails for any reason (a corrupt code, a read
 * error) is written again from its start by the serial decoder, which then
 * also gives the serial status and log; the last job is always left to it,
 * so the end of the stream is judged exactly as in a serial run.
 *
 * Encoder: fixed 1 MiB blocks, each compressed by zulzec on a fresh table
 * into memory; the calling thread joins them bit by bit, with a clear code
 * between two blocks unless the first already ended with one (a full
 * table). The bytes depend only on the input.
 *
 * Workers block every signal (the calling thread takes them, and its
 * clean-up ends the whole process) and log nothing. */
#include "szusd.h"
#include "zulz.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

std::uint32_t zulzpjob = 64u << 10;
std::uint32_t zulzppiece = 128u << 10;

namespace {

constexpr unsigned kMaxThreads = 64;
constexpr std::uint32_t kInBuf = 32u << 10; /* input buffer of a worker's stream */
constexpr std::uint32_t kScanBuf = 64u << 10;
/* Longest stretch, in bits, the scan jumps over: after a refill the buffer
 * then holds the next half buffer of jumps, so refills stay rare whatever
 * the stretches' lengths. */
constexpr std::uint64_t kMaxJump = 8ull * (kScanBuf / 2 - 16);
constexpr std::uint64_t kBlock = 1u << 20; /* encoder block */
constexpr unsigned kPool = 3;              /* output pieces per decoder worker */
constexpr unsigned kDepth = 2;             /* jobs queued per decoder worker */

inline std::uint64_t load_be64(const unsigned char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

inline void store_be64(unsigned char *p, std::uint64_t v) {
    v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

/* A byte range of a file, read with pread, as a stdio stream. */
struct Range {
    int fd;
    off_t pos, end;
    bool error;
};

ssize_t range_read(void *cookie, char *buf, size_t n) {
    auto *r = static_cast<Range *>(cookie);
    if (r->end - r->pos < static_cast<off_t>(n)) n = static_cast<size_t>(r->end - r->pos);
    if (n == 0) return 0;
    ssize_t got;
    while ((got = pread(r->fd, buf, n, r->pos)) < 0 && errno == EINTR) {
    }
    if (got < 0) {
        r->error = true;
        return -1;
    }
    r->pos += got;
    return got;
}

FILE *range_open(Range *r) {
    cookie_io_functions_t io{range_read, nullptr, nullptr, nullptr};
    FILE *fp = fopencookie(r, "r", io);
    return fp;
}

/* A code stream over memory the caller owns (and `fp` for refills). */
void memstream(zubfcb &s, FILE *fp, unsigned char *buf, std::uint32_t size, int rd, int coded) {
    s = zubfcb{};
    s.fp = fp;
    s.buf = buf;
    s.bufsz = size;
    s.rdmode = static_cast<std::uint32_t>(rd);
    s.coded = static_cast<std::uint32_t>(coded);
    s.wpos = s.rpos = 31;
    for (int n = 0; n <= 16; ++n) s.masks[n] = static_cast<std::uint16_t>((1u << n) - 1u);
}

/* Start a thread with every signal blocked. */
bool spawn(pthread_t *th, void *(*fn)(void *), void *arg) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    const int rc = pthread_create(th, nullptr, fn, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc == 0;
}

/* Put the read stream at byte `at` of its file, nothing buffered. */
bool seekin(zubfcb *in, std::uint64_t at) {
    if (fseeko(in->fp, static_cast<off_t>(at), SEEK_SET) != 0) return false;
    in->idx = in->last = in->filled = 0;
    in->count = at;
    return true;
}

/* Ask a run's workers to stop, wait for them and let `release` free what
 * each one holds. */
template <class Shared, class Worker, class Release>
void finish(Shared &sh, Worker *w, unsigned n, Release release) {
    {
        std::lock_guard<std::mutex> lk(sh.mu);
        sh.stop = true;
    }
    sh.wake.notify_all();
    for (unsigned i = 0; i < n; ++i) {
        if (w[i].running) pthread_join(w[i].th, nullptr);
        release(w[i]);
    }
    delete[] w;
}

/* ---- decoder ---- */

struct Job {
    std::uint64_t start, end; /* bits: its first code; just after its last clear code */
};

struct Piece {
    unsigned char *buf;
    std::uint32_t n;
    bool last, failed;
};

struct Pd;

struct DWorker {
    Pd *pd = nullptr;
    pthread_t th{};
    bool running = false;
    Job jobs[kDepth + 1]{}; /* one more: a job written out but not yet dropped */
    unsigned jhead = 0, jcount = 0;
    Piece ready[kPool]{};
    unsigned rhead = 0, rcount = 0;
    unsigned char *spare[kPool]{};
    unsigned nspare = 0;
    unsigned char *bufs[kPool]{};
    zudtcb *table = nullptr;
    unsigned char *inbuf = nullptr;
};

struct Pd {
    std::mutex mu;
    std::condition_variable wake, ready;
    bool stop = false;
    int fd = -1;
    std::uint32_t piece = 0;
};

unsigned char *take_spare(DWorker *w) {
    std::unique_lock<std::mutex> lk(w->pd->mu);
    w->pd->wake.wait(lk, [w] { return w->pd->stop || w->nspare > 0; });
    return w->pd->stop ? nullptr : w->spare[--w->nspare];
}

void hand(DWorker *w, unsigned char *buf, std::uint32_t n, bool last, bool failed) {
    {
        std::lock_guard<std::mutex> lk(w->pd->mu);
        w->ready[(w->rhead + w->rcount) % kPool] = Piece{buf, n, last, failed};
        ++w->rcount;
    }
    w->pd->ready.notify_all();
}

/* Restore one job as after a clear code, piece by piece; the last piece
 * says whether the job ended where the scan said, right after a clear. */
void run_job(DWorker *w, const Job &job) {
    Pd *pd = w->pd;
    unsigned char *buf = take_spare(w);
    if (buf == nullptr) return;
    const std::uint64_t first = job.start / 8;
    const unsigned skip = static_cast<unsigned>(job.start % 8);
    const std::uint64_t stop = (job.end + 7) / 8;
    Range r{pd->fd, static_cast<off_t>(first + (skip != 0)), static_cast<off_t>(stop), false};
    FILE *fp = range_open(&r);
    bool ok = fp != nullptr;
    zubfcb in, out;
    memstream(in, fp, w->inbuf, kInBuf, 1, 1);
    memstream(out, nullptr, buf, pd->piece, 0, 0);
    zulzdcst st{};
    zudtbs(w->table);
    w->table->wbase = 0;
    st.table = w->table;
    st.state = 6;
    st.afterclear = st.begun = 1;
    st.wpos = st.rpos = 31;
    if (ok && skip != 0) {
        unsigned char b = 0;
        ok = pread(pd->fd, &b, 1, static_cast<off_t>(first)) == 1;
        st.acc = std::uint32_t(b) << (24 + skip);
        st.rpos = 31 - static_cast<std::int32_t>(8 - skip);
    }
    while (ok) {
        std::uint32_t lim = pd->piece; /* out.count restarts with every piece */
        if (zulzdc(&in, &out, &st, &lim) != ZUSD_OK) {
            ok = false;
        } else if (st.state >= 1 && st.state <= 4) { /* the piece is full */
            hand(w, buf, out.idx, false, false);
            if ((buf = take_spare(w)) == nullptr) break;
            out.buf = buf;
            out.idx = 0;
            out.count = 0;
            continue;
        } else {
            ok = st.state == 6 && st.afterclear != 0 && !r.error && r.pos == r.end &&
                 st.wpos - st.rpos == static_cast<std::int32_t>(stop * 8 - job.end);
        }
        break;
    }
    if (fp != nullptr) std::fclose(fp);
    if (buf != nullptr) hand(w, buf, out.idx, true, !ok);
}

void *dworker(void *arg) {
    zusdquiet = 1;
    auto *w = static_cast<DWorker *>(arg);
    Pd *pd = w->pd;
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lk(pd->mu);
            pd->wake.wait(lk, [w, pd] { return pd->stop || w->jcount > 0; });
            if (pd->stop) break;
            job = w->jobs[w->jhead];
        }
        run_job(w, job);
        std::lock_guard<std::mutex> lk(pd->mu);
        w->jhead = (w->jhead + 1) % (kDepth + 1);
        --w->jcount;
    }
    return nullptr;
}

/* The width scan: the file read ahead in a buffer, and the reader's width
 * rule after each code. */
struct Scan {
    int fd;
    unsigned char *buf; /* kScanBuf + 8 bytes: 8 zero bytes after the data */
    std::uint64_t base; /* file offset of buf[0] */
    std::uint32_t have;
    bool eof;
    std::uint64_t bit; /* next code */
    int width;
    std::uint32_t next, maxcode;
    bool first;
    /* The last stretch scanned code by code: where it began, and its length
     * in bits with the width of the clear code that ended it. */
    std::uint64_t from;
    std::uint64_t span;
    int spanw;
};

void refill(Scan &s) {
    const std::uint64_t at = s.bit / 8 - s.base;
    if (at >= s.have) {
        s.base += at;
        s.have = 0;
    } else {
        std::memmove(s.buf, s.buf + at, s.have - at);
        s.base += at;
        s.have -= static_cast<std::uint32_t>(at);
    }
    while (s.have < kScanBuf && !s.eof) {
        const ssize_t got = pread(s.fd, s.buf + s.have, kScanBuf - s.have,
                                  static_cast<off_t>(s.base + s.have));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) s.eof = true; /* a read error is met again by the serial decoder */
        if (got > 0) s.have += static_cast<std::uint32_t>(got);
    }
    std::memset(s.buf + s.have, 0, 8);
}

/* The code of `width` bits at bit `bit` of the file, when the buffer (after
 * a refill if need be) holds it: false near the end of the data. */
bool peek(Scan &s, std::uint64_t bit, int width, std::uint32_t *code) {
    if (bit / 8 + 8 > s.base + s.have && !s.eof) refill(s);
    if (bit / 8 + 8 > s.base + s.have) return false;
    *code = static_cast<std::uint32_t>((load_be64(s.buf + (bit / 8 - s.base)) << (bit % 8)) >>
                                       (64 - width));
    return true;
}

/* Scan from `start` (just after a reset) to the clear code that ends a job:
 * true with s.bit just after it; false at the end of the stream.
 *
 * A stretch that fills the table has the same length as every other such
 * stretch, so the scan first looks for a clear code where the last stretch
 * would have put it and jumps there; only when none is found does it read
 * the stretch code by code. A jump can be fooled by a stretch that cleared
 * early and happens to hold the clear code's bits at that place: the worker
 * that restores the job then does not end where the scan said, and the
 * serial decoder takes over from the job's start. */
bool scan_job(Scan &s, std::uint64_t start) {
    for (;;) {
        std::uint32_t clear = 0;
        if (s.first && s.span != 0 && s.span <= kMaxJump &&
            peek(s, s.bit + s.span - s.spanw, s.spanw, &clear) && clear == 1) {
            s.bit += s.span;
            s.from = s.bit;
            if (s.bit / 8 - start / 8 >= zulzpjob) return true;
            continue;
        }
        const std::uint64_t at = s.bit / 8 - s.base;
        if (at + 8 > s.have) {
            if (!s.eof) {
                refill(s);
                continue;
            }
            if (8 * (s.base + s.have) - s.bit < static_cast<std::uint64_t>(s.width)) return false;
        }
        const auto code =
            static_cast<std::uint32_t>((load_be64(s.buf + at) << (s.bit % 8)) >> (64 - s.width));
        s.bit += static_cast<std::uint64_t>(s.width);
        if (s.first) {
            s.first = false;
        } else if (code == 1) {
            s.span = s.bit - s.from;
            s.spanw = s.width;
            s.from = s.bit;
            s.next = 257;
            s.width = 9;
            s.first = true;
            if (s.bit / 8 - start / 8 >= zulzpjob) return true;
        } else if (s.next + 1 < s.maxcode) {
            ++s.next;
            if ((s.next & (s.next + 1)) == 0 && s.next <= 32767) ++s.width;
        }
    }
}

/* Cut the output back to `mark` bytes (the start of a failed job). */
bool rewind(zubfcb *out, std::uint64_t mark) {
    const std::uint64_t head = out->count - out->idx; /* bytes already handed to the file */
    if (mark >= head) {
        out->idx = static_cast<std::uint32_t>(mark - head);
    } else if (std::fflush(out->fp) != 0 || ftruncate(fileno(out->fp), static_cast<off_t>(mark)) != 0 ||
               fseeko(out->fp, static_cast<off_t>(mark), SEEK_SET) != 0) {
        zusderr("zulzpd:  cannot cut the output back to %llu bytes",
                static_cast<unsigned long long>(mark));
        return false;
    } else {
        out->idx = 0;
    }
    out->count = mark;
    return true;
}

/* Owns the workers of one parallel decode. */
struct DRun {
    Pd pd;
    DWorker *w = nullptr;
    unsigned n = 0;    /* workers set up */
    unsigned used = 0; /* of them running: the first `used` */
    ~DRun() {
        finish(pd, w, n, [](DWorker &k) {
            zudtds(k.table);
            std::free(k.inbuf);
            for (unsigned char *b : k.bufs) std::free(b);
        });
    }
    bool start(unsigned threads, unsigned header) {
        w = new (std::nothrow) DWorker[threads];
        if (w == nullptr) return false;
        n = threads;
        for (unsigned i = 0; i < threads; ++i) {
            DWorker &k = w[i];
            k.pd = &pd;
            k.table = zudtmk(header);
            k.inbuf = static_cast<unsigned char *>(std::malloc(kInBuf));
            bool got = k.table != nullptr && k.inbuf != nullptr;
            for (auto &b : k.bufs) {
                b = static_cast<unsigned char *>(std::malloc(pd.piece));
                got = got && b != nullptr;
            }
            if (!got || !spawn(&k.th, dworker, &k)) break;
            k.running = true;
            for (unsigned char *b : k.bufs) k.spare[k.nspare++] = b;
            ++used;
        }
        return used > 0;
    }
};


/* ---- encoder ---- */

struct Pe;

struct EWorker {
    Pe *pe = nullptr;
    pthread_t th{};
    bool running = false;
    unsigned first = 0; /* blocks first, first + n, ... */
    zuetcb *table = nullptr;
    unsigned char *inbuf = nullptr, *outbuf = nullptr;
    /* The block in hand (full: ready for the writer). */
    bool full = false;
    std::uint64_t block = 0, inlen = 0;
    std::uint32_t bytes = 0; /* output bytes, the header byte first */
    std::uint32_t acc = 0;   /* pending bits at the most significant end */
    int pend = 0;
    unsigned width = 0; /* of the clear code after it; 0 when it ended with one */
    unsigned status = ZUSD_OK;
};

struct Pe {
    std::mutex mu;
    std::condition_variable wake, ready;
    bool stop = false;
    int fd = -1;
    unsigned n = 0;
};

/* Worst output of a block: 1 header byte, at most 2 bytes per input byte. */
constexpr std::size_t kOutCap = 2 * kBlock + 64;

void encode_block(EWorker *w, std::uint64_t k) {
    Range r{w->pe->fd, static_cast<off_t>(k * kBlock), static_cast<off_t>((k + 1) * kBlock), false};
    FILE *fp = range_open(&r);
    w->block = k;
    w->inlen = 0;
    w->status = fp != nullptr ? ZUSD_OK : ZUSD_NOMEM;
    if (fp == nullptr) return;
    zubfcb in, out;
    memstream(in, fp, w->inbuf, kInBuf, 1, 0);
    memstream(out, nullptr, w->outbuf, static_cast<std::uint32_t>(kOutCap), 0, 1);
    zuetbs(w->table);
    zulzecst st{};
    st.table = w->table;
    std::uint32_t lim = ZULZ_NOLIMIT;
    const unsigned status = zulzec(&in, &out, &st, 14, &lim);
    std::fclose(fp);
    w->inlen = in.count;
    w->status = r.error ? ZUSD_RDERR : status == ZUSD_RDERR && in.count == 0 ? ZUSD_OK : status;
    w->bytes = out.idx;
    w->pend = 31 - out.wpos;
    w->acc = out.acc;
    w->width = w->table->next == 257 ? 0 : zuetgb(w->table);
}

void *eworker(void *arg) {
    zusdquiet = 1;
    auto *w = static_cast<EWorker *>(arg);
    Pe *pe = w->pe;
    for (std::uint64_t k = w->first;; k += pe->n) {
        {
            std::unique_lock<std::mutex> lk(pe->mu);
            pe->wake.wait(lk, [w, pe] { return pe->stop || !w->full; });
            if (pe->stop) break;
        }
        encode_block(w, k);
        {
            std::lock_guard<std::mutex> lk(pe->mu);
            w->full = true;
        }
        pe->ready.notify_all();
        if (w->status != ZUSD_OK || w->inlen < kBlock) break;
    }
    return nullptr;
}

/* Owns the workers of one parallel encode. */
struct ERun {
    Pe pe;
    EWorker *w = nullptr;
    unsigned n = 0;
    zuetcb *lent = nullptr; /* the caller's table, worker 0's (not freed here) */
    ~ERun() {
        finish(pe, w, n, [this](EWorker &k) {
            if (k.table != lent) zuetds(k.table);
            std::free(k.inbuf);
            std::free(k.outbuf);
        });
    }
    /* Every worker or none: the blocks are dealt out by number. */
    bool start(unsigned threads) {
        w = new (std::nothrow) EWorker[threads];
        if (w == nullptr) return false;
        n = threads;
        pe.n = threads;
        for (unsigned i = 0; i < threads; ++i) {
            EWorker &k = w[i];
            k.pe = &pe;
            k.first = i;
            k.table = i == 0 && lent != nullptr ? lent : zuetmk(14, 18);
            k.inbuf = static_cast<unsigned char *>(std::malloc(kInBuf));
            k.outbuf = static_cast<unsigned char *>(std::malloc(kOutCap));
            if (k.table == nullptr || k.inbuf == nullptr || k.outbuf == nullptr) return false;
        }
        for (unsigned i = 0; i < threads; ++i) {
            if (!spawn(&w[i].th, eworker, &w[i])) return false;
            w[i].running = true;
        }
        return true;
    }
};

/* Bits joined onto a write stream at any bit position. */
struct Joiner {
    zubfcb *out = nullptr;
    unsigned char stage[4096];
    std::uint32_t used = 0;
    std::uint32_t acc = 0; /* the low `an` bits are pending */
    int an = 0;
    bool ok = true;
    void flush() {
        if (used > 0 && ok) ok = zubfpn(out, stage, used) != 0;
        used = 0;
    }
    void code(std::uint32_t v, int w) {
        acc = (acc << w) | v;
        an += w;
        while (an >= 8) {
            an -= 8;
            if (used == sizeof stage) flush();
            stage[used++] = static_cast<unsigned char>(acc >> an);
        }
        acc &= (1u << an) - 1u;
    }
    void bytes(const unsigned char *p, std::size_t n) {
        if (an == 0) {
            flush();
            if (ok) ok = zubfpn(out, p, n) != 0;
            return;
        }
        /* Shifted right by an bits, eight bytes at a time while they last. */
        const int back = 8 - an;
        const std::uint32_t low = (1u << an) - 1u;
        while (n > 0) {
            if (used == sizeof stage) flush();
            std::size_t k = sizeof stage - used;
            if (k > n) k = n;
            std::size_t i = 0;
            for (; i + 8 <= k; i += 8) {
                const std::uint64_t v = load_be64(p + i);
                store_be64(stage + used + i, (std::uint64_t(acc) << (64 - an)) | (v >> an));
                acc = static_cast<std::uint32_t>(v) & low;
            }
            for (; i < k; ++i) {
                stage[used + i] = static_cast<unsigned char>((acc << back) | (p[i] >> an));
                acc = p[i] & low;
            }
            used += static_cast<std::uint32_t>(k);
            p += k;
            n -= k;
        }
    }
};

}  // namespace

unsigned zulzpt(int encoder) {
    const char *v = std::getenv("ZU_THREADS");
    if (v != nullptr && *v != '\0') {
        char *end = nullptr;
        const long n = std::strtol(v, &end, 10);
        if (*end == '\0' && n >= 1 && n <= static_cast<long>(kMaxThreads))
            return static_cast<unsigned>(n);
    }
    if (encoder != 0) return 1;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int n = CPU_COUNT(&set);
    return n < 1 ? 1u : n > static_cast<int>(kMaxThreads) ? kMaxThreads : static_cast<unsigned>(n);
}

unsigned zulzpd(zubfcb *in, zubfcb *out, zulzdcst *st, unsigned threads, zulzpfn step, void *arg) {
    if (threads < 2 || in->fp == nullptr || st->state != 0 || in->count != 0 || zubfav(in) != 0)
        return ZUSD_OK;
    if (threads > kMaxThreads) threads = kMaxThreads;
    Scan s{};
    s.fd = fileno(in->fp);
    s.buf = static_cast<unsigned char *>(std::malloc(kScanBuf + 8));
    if (s.buf == nullptr) return ZUSD_OK;
    struct Free {
        unsigned char *p;
        ~Free() { std::free(p); }
    } freebuf{s.buf};
    refill(s);
    const unsigned header = s.have > 0 ? s.buf[0] : 256;
    if (header > 18) return ZUSD_OK; /* the serial decoder refuses it */
    s.maxcode = header <= 9 ? 511u : header <= 16 ? (1u << header) - 1u : 65535u;
    s.bit = s.from = 8;
    s.width = 9;
    s.next = 257;
    s.first = true;

    std::uint64_t resume = 8; /* start of the first job not written out */
    bool scanning = scan_job(s, resume);
    if (!scanning) return ZUSD_OK; /* a single job: all of it serial */
    DRun run;
    run.pd.fd = s.fd;
    run.pd.piece = zulzppiece < 64 ? 64 : zulzppiece;
    if (!run.start(threads, header)) return ZUSD_OK;
    Pd &pd = run.pd;

    std::uint64_t js = 0, jw = 0; /* jobs scanned, jobs written */
    std::uint64_t jobstart = resume;
    std::uint64_t mark = out->count;
    Job pending{resume, s.bit};
    constexpr unsigned kRing = kDepth * kMaxThreads + 1;
    std::uint64_t ends[kRing]; /* ends of the jobs scanned and not yet written */
    unsigned status = ZUSD_OK;
    for (;;) {
        while (scanning && js - jw < std::uint64_t(kDepth) * run.used) {
            DWorker &k = run.w[js % run.used];
            {
                std::lock_guard<std::mutex> lk(pd.mu);
                k.jobs[(k.jhead + k.jcount) % (kDepth + 1)] = pending;
                ++k.jcount;
            }
            pd.wake.notify_all();
            ends[js % kRing] = pending.end;
            ++js;
            jobstart = s.bit;
            scanning = scan_job(s, jobstart);
            pending = Job{jobstart, s.bit};
        }
        if (jw == js) break;
        DWorker &k = run.w[jw % run.used];
        Piece p;
        {
            std::unique_lock<std::mutex> lk(pd.mu);
            pd.ready.wait(lk, [&k] { return k.rcount > 0; });
            p = k.ready[k.rhead];
            k.rhead = (k.rhead + 1) % kPool;
            --k.rcount;
        }
        const bool put = !p.failed && zubfpn(out, p.buf, p.n) != 0;
        {
            std::lock_guard<std::mutex> lk(pd.mu);
            k.spare[k.nspare++] = p.buf;
        }
        pd.wake.notify_all();
        if (p.failed) {
            if (!rewind(out, mark)) status = ZUSD_WRERR;
            break;
        }
        if (!put) {
            status = ZUSD_WRERR;
            break;
        }
        if (p.last) {
            ++jw;
            mark = out->count;
            resume = ends[(jw - 1) % kRing];
        }
        if (step != nullptr && (status = step(arg)) != ZUSD_OK) break;
    }
    if (status != ZUSD_OK || resume == 8) return status;

    /* The serial decoder goes on from `resume`, just after a clear code. */
    st->table = zudtmk(header);
    if (st->table == nullptr) return ZUSD_NOMEM;
    st->state = 6;
    st->afterclear = st->begun = 1;
    st->code = 1;
    st->wpos = st->rpos = 31;
    std::uint64_t at = resume / 8;
    if (const unsigned skip = static_cast<unsigned>(resume % 8); skip != 0) {
        unsigned char b = 0;
        if (pread(s.fd, &b, 1, static_cast<off_t>(at)) != 1) b = 0;
        st->acc = std::uint32_t(b) << (24 + skip);
        st->rpos = 31 - static_cast<std::int32_t>(8 - skip);
        ++at;
    }
    if (!seekin(in, at)) {
        zusderr("zulzpd:  cannot go back to byte %llu of the input",
                static_cast<unsigned long long>(at));
        return ZUSD_RDERR;
    }
    return ZUSD_OK;
}

unsigned zulzpe(zubfcb *in, zubfcb *out, zulzecst *st, unsigned threads, zulzpfn step, void *arg) {
    if (threads < 2 || in->fp == nullptr || st->started != 0 || in->count != 0 ||
        zubfav(in) != 0 || out->count != 0 || out->wpos != 31)
        return ZUSD_OK;
    if (threads > kMaxThreads) threads = kMaxThreads;
    const int fd = fileno(in->fp);
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) || static_cast<std::uint64_t>(sb.st_size) <= kBlock)
        return ZUSD_OK; /* one block: the serial bytes */
    ERun run;
    run.pe.fd = fd;
    run.lent = st->table; /* a finished run does not use it again */
    if (!run.start(threads)) return ZUSD_NOMEM;
    Pe &pe = run.pe;
    Joiner j;
    j.out = out;
    std::uint64_t total = 0;
    unsigned width = 0, status = ZUSD_OK;
    for (std::uint64_t k = 0;; ++k) {
        EWorker &w = run.w[k % run.n];
        {
            std::unique_lock<std::mutex> lk(pe.mu);
            pe.ready.wait(lk, [&w] { return w.full; });
        }
        if (w.status != ZUSD_OK || (w.inlen == 0 && k == 0)) {
            status = w.status != ZUSD_OK ? w.status : ZUSD_RDERR;
            zusderr("zulzpe:  block %llu of the input could not be compressed (status %u)",
                    static_cast<unsigned long long>(k), status);
            break;
        }
        const bool last = w.inlen < kBlock;
        if (w.inlen > 0) {
            if (width != 0) j.code(1, static_cast<int>(width));
            const std::uint32_t skip = k == 0 ? 0 : 1; /* every block's own header byte */
            j.bytes(w.outbuf + skip, w.bytes - skip);
            if (w.pend > 0) j.code(w.acc >> (32 - w.pend), w.pend);
            width = w.width;
            total += w.inlen;
        }
        {
            std::lock_guard<std::mutex> lk(pe.mu);
            w.full = false;
        }
        pe.wake.notify_all();
        j.flush();
        if (!j.ok) {
            status = ZUSD_WRERR;
            break;
        }
        if (last) break;
        if (step != nullptr && (status = step(arg)) != ZUSD_OK) break;
    }
    if (status != ZUSD_OK) {
        st->failed = status;
        return status;
    }
    /* A finished run, as zulzec leaves it; the end of the input is met (and
     * logged) as in a serial run. */
    out->acc = j.an > 0 ? j.acc << (32 - j.an) : 0;
    out->wpos = 31 - j.an;
    out->rpos = 31;
    st->acc = out->acc;
    st->wpos = out->wpos;
    st->rpos = out->rpos;
    st->started = st->eof = 1;
    st->state = 0;
    if (seekin(in, total)) zubfrf(in, "zubfg1");
    in->count = total;
    return ZUSD_OK;
}
