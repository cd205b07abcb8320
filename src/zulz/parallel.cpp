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
 * into bounded output pieces (the encoder stops before a code when a piece
 * is nearly full and goes on into the next); the calling thread joins the
 * blocks bit by bit, with a clear code between two blocks unless the first
 * already ended with one (a full table). The bytes depend only on the input.
 *
 * Jobs and blocks go to whichever worker is free, so a slow one holds up
 * only its own worker while the others go on, as far as their pieces last.
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
constexpr std::uint32_t kRdBuf = 64u << 10; /* the buffer of its file range: one pread each */
constexpr std::uint32_t kScanBuf = 64u << 10;
/* Longest stretch, in bits, the scan jumps over: after a refill the buffer
 * then holds the next half buffer of jumps, so refills stay rare whatever
 * the stretches' lengths. */
constexpr std::uint64_t kMaxJump = 8ull * (kScanBuf / 2 - 16);
constexpr std::uint64_t kBlock = 1u << 20; /* encoder block */
constexpr unsigned kDPool = 3;             /* output pieces per decoder worker */
constexpr unsigned kEPool = 8;             /* output pieces per encoder worker */
constexpr unsigned kDepth = 2;             /* jobs posted and not written, per decoder worker */

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

/* `buf` (kRdBuf bytes) is the stream's buffer: stdio's own would be 8 KiB,
 * and a pread each 8 KiB costs more than the copy out of the buffer. */
FILE *range_open(Range *r, unsigned char *buf) {
    cookie_io_functions_t io{range_read, nullptr, nullptr, nullptr};
    FILE *fp = fopencookie(r, "r", io);
    if (fp != nullptr) setvbuf(fp, reinterpret_cast<char *>(buf), _IOFBF, kRdBuf);
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

/* ---- workers ---- */

/* Work items (decoder jobs, encoder blocks) are numbered in output order;
 * each worker fills output pieces from a pool of its own, and the calling
 * thread writes the items' pieces out in order. */

constexpr unsigned kMaxPool = 8;
constexpr unsigned kRing = 1024; /* items taken and not yet written out, at most */

struct Job {
    std::uint64_t start, end; /* bits: its first code; just after its last clear code */
};

/* A piece of output. The last piece of an item says whether it failed,
 * and the last piece of an encoder block how the block ended. */
struct Piece {
    unsigned char *buf;
    std::uint32_t n;
    bool last;
    unsigned status = ZUSD_OK;
    std::uint64_t inlen = 0; /* input bytes of the block */
    std::uint32_t acc = 0;   /* pending bits at the most significant end */
    int pend = 0;
    unsigned width = 0; /* of the clear code after the block; 0 when it ended with one */
};

struct Run;

struct Worker {
    Run *run = nullptr;
    pthread_t th{};
    bool running = false;
    Piece ready[kMaxPool]{}; /* filled, in output order */
    unsigned rhead = 0, rcount = 0;
    unsigned char *spare[kMaxPool]{};
    unsigned nspare = 0;
    unsigned char *bufs[kMaxPool]{};
    zudtcb *dtable = nullptr; /* the decoder's, or */
    zuetcb *etable = nullptr; /* the encoder's */
    unsigned char *inbuf = nullptr; /* kInBuf bytes, then the range's kRdBuf */
};

void *work(void *arg);

/* What the threads of one run share (under mu), and the workers it owns. */
struct Run {
    std::mutex mu;
    std::condition_variable wake, ready;
    bool stop = false;
    int fd = -1;
    std::uint32_t piece = 0; /* bytes per output piece */
    unsigned pool = 0;       /* pieces per worker */
    std::uint64_t posted = 0, taken = 0, written = 0; /* items */
    Job jobs[kRing];       /* the decoder's items, as posted */
    unsigned owner[kRing]; /* the worker of each item taken */
    Worker *w = nullptr;
    unsigned n = 0;         /* workers set up */
    unsigned used = 0;      /* of them running: the first `used` */
    zuetcb *lent = nullptr; /* the caller's table for worker 0 (not freed here) */

    ~Run() {
        {
            std::lock_guard<std::mutex> lk(mu);
            stop = true;
        }
        wake.notify_all();
        for (unsigned i = 0; i < n; ++i) {
            Worker &k = w[i];
            if (k.running) pthread_join(k.th, nullptr);
            zudtds(k.dtable);
            if (k.etable != lent) zuetds(k.etable);
            std::free(k.inbuf);
            for (unsigned char *b : k.bufs) std::free(b);
        }
        delete[] w;
    }
    /* Workers for an encoder, or a decoder of streams with this header;
     * true when at least one runs. */
    bool start(unsigned threads, bool encoder, unsigned header) {
        w = new (std::nothrow) Worker[threads];
        if (w == nullptr) return false;
        n = threads;
        for (unsigned i = 0; i < threads; ++i) {
            Worker &k = w[i];
            k.run = this;
            bool got;
            if (encoder) {
                k.etable = i == 0 && lent != nullptr ? lent : zuetmk(14, 18);
                got = k.etable != nullptr;
            } else {
                got = (k.dtable = zudtmk(header)) != nullptr;
            }
            k.inbuf = static_cast<unsigned char *>(std::malloc(kInBuf + kRdBuf));
            got = got && k.inbuf != nullptr;
            for (unsigned b = 0; b < pool; ++b) {
                k.bufs[b] = static_cast<unsigned char *>(std::malloc(piece));
                got = got && k.bufs[b] != nullptr;
            }
            if (!got) break;
            /* Its pool is whole before it runs: it may ask for a piece at once. */
            for (unsigned b = 0; b < pool; ++b) k.spare[k.nspare++] = k.bufs[b];
            if (!spawn(&k.th, work, &k)) break;
            k.running = true;
            ++used;
        }
        return used > 0;
    }

    /* The calling thread's side: the next piece of `item`, in order. */
    Piece next(std::uint64_t item, Worker **from) {
        std::unique_lock<std::mutex> lk(mu);
        ready.wait(lk, [&] { return taken > item && w[owner[item % kRing]].rcount > 0; });
        Worker &k = w[owner[item % kRing]];
        const Piece p = k.ready[k.rhead];
        k.rhead = (k.rhead + 1) % pool;
        --k.rcount;
        *from = &k;
        return p;
    }
    /* A piece written out goes back to its worker's pool. */
    void give_back(Worker *k, const Piece &p) {
        {
            std::lock_guard<std::mutex> lk(mu);
            k->spare[k->nspare++] = p.buf;
            if (p.last) ++written;
        }
        wake.notify_all();
    }
};

/* The workers' side. */
bool take(Worker *w, std::uint64_t *item, Job *job) {
    Run *r = w->run;
    std::unique_lock<std::mutex> lk(r->mu);
    r->wake.wait(lk, [r] { return r->stop || (r->taken < r->posted && r->taken - r->written < kRing); });
    if (r->stop) return false;
    *item = r->taken++;
    *job = r->jobs[*item % kRing];
    r->owner[*item % kRing] = static_cast<unsigned>(w - r->w);
    return true;
}

unsigned char *take_spare(Worker *w) {
    Run *r = w->run;
    std::unique_lock<std::mutex> lk(r->mu);
    r->wake.wait(lk, [w, r] { return r->stop || w->nspare > 0; });
    return r->stop ? nullptr : w->spare[--w->nspare];
}

void hand(Worker *w, const Piece &p) {
    Run *r = w->run;
    {
        std::lock_guard<std::mutex> lk(r->mu);
        w->ready[(w->rhead + w->rcount) % r->pool] = p;
        ++w->rcount;
    }
    r->ready.notify_all();
}

/* Hand the full piece `out` writes into and go on in a spare one: its
 * buffer, or null when the run stops. */
unsigned char *turn_piece(Worker *w, zubfcb &out) {
    hand(w, Piece{out.buf, out.idx, false});
    unsigned char *buf = take_spare(w);
    out.buf = buf;
    out.idx = 0;
    out.count = 0; /* the piece's limit counts from its start */
    return buf;
}

/* ---- decoder ---- */

/* Restore one job as after a clear code, piece by piece; the last piece
 * says whether the job ended where the scan said, right after a clear. */
void run_job(Worker *w, const Job &job) {
    Run *run = w->run;
    unsigned char *buf = take_spare(w);
    if (buf == nullptr) return;
    const std::uint64_t first = job.start / 8;
    const unsigned skip = static_cast<unsigned>(job.start % 8);
    const std::uint64_t stop = (job.end + 7) / 8;
    Range r{run->fd, static_cast<off_t>(first + (skip != 0)), static_cast<off_t>(stop), false};
    FILE *fp = range_open(&r, w->inbuf + kInBuf);
    bool ok = fp != nullptr;
    zubfcb in, out;
    memstream(in, fp, w->inbuf, kInBuf, 1, 1);
    memstream(out, nullptr, buf, run->piece, 0, 0);
    zulzdcst st{};
    zudtbs(w->dtable);
    w->dtable->wbase = 0;
    st.table = w->dtable;
    st.state = 6;
    st.afterclear = st.begun = 1;
    st.wpos = st.rpos = 31;
    if (ok && skip != 0) {
        unsigned char b = 0;
        ok = pread(run->fd, &b, 1, static_cast<off_t>(first)) == 1;
        st.acc = std::uint32_t(b) << (24 + skip);
        st.rpos = 31 - static_cast<std::int32_t>(8 - skip);
    }
    while (ok) {
        std::uint32_t lim = run->piece;
        if (zulzdc(&in, &out, &st, &lim) != ZUSD_OK) {
            ok = false;
        } else if (st.state >= 1 && st.state <= 4) { /* the piece is full */
            if ((buf = turn_piece(w, out)) == nullptr) break;
            continue;
        } else {
            ok = st.state == 6 && st.afterclear != 0 && !r.error && r.pos == r.end &&
                 st.wpos - st.rpos == static_cast<std::int32_t>(stop * 8 - job.end);
        }
        break;
    }
    if (fp != nullptr) std::fclose(fp);
    if (buf != nullptr) hand(w, Piece{buf, out.idx, true, ok ? ZUSD_OK : ZUSD_RDERR});
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

/* ---- encoder ---- */

/* Compress block k on a fresh table, piece by piece: the encoder stops
 * before a code once a piece is nearly full and goes on into the next. */
void encode_block(Worker *w, std::uint64_t k) {
    Run *run = w->run;
    unsigned char *buf = take_spare(w);
    if (buf == nullptr) return;
    Range r{run->fd, static_cast<off_t>(k * kBlock), static_cast<off_t>((k + 1) * kBlock), false};
    FILE *fp = range_open(&r, w->inbuf + kInBuf);
    Piece end{buf, 0, true, ZUSD_NOMEM};
    if (fp != nullptr) {
        zubfcb in, out;
        memstream(in, fp, w->inbuf, kInBuf, 1, 0);
        memstream(out, nullptr, buf, run->piece, 0, 1);
        zuetbs(w->etable);
        zulzecst st{};
        st.table = w->etable;
        unsigned status;
        for (;;) {
            std::uint32_t lim = run->piece;
            status = zulzec(&in, &out, &st, 14, &lim);
            if (status != ZUSD_OK || zulzecdn(&st)) break;
            if ((buf = turn_piece(w, out)) == nullptr) break;
        }
        std::fclose(fp);
        if (buf == nullptr) return;
        end.buf = buf;
        end.n = out.idx;
        end.inlen = in.count;
        end.status = r.error ? ZUSD_RDERR : status == ZUSD_RDERR && in.count == 0 ? ZUSD_OK : status;
        end.pend = 31 - out.wpos;
        end.acc = out.acc;
        end.width = w->etable->next == 257 ? 0 : zuetgb(w->etable);
    }
    if (end.status != ZUSD_OK || end.inlen < kBlock) {
        std::lock_guard<std::mutex> lk(run->mu);
        if (run->posted > k + 1) run->posted = k + 1; /* no block after the last */
    }
    hand(w, end);
}

void *work(void *arg) {
    zusdquiet = 1;
    auto *w = static_cast<Worker *>(arg);
    std::uint64_t item;
    Job job;
    while (take(w, &item, &job)) {
        if (w->etable != nullptr)
            encode_block(w, item);
        else
            run_job(w, job);
    }
    return nullptr;
}

/* Bits joined onto a write stream at any bit position. The stage goes to
 * the file in one write when full: half a piece, so a piece costs about two
 * writes, not one per page. */
struct Joiner {
    zubfcb *out = nullptr;
    unsigned char stage[64u << 10];
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
    Run run;
    run.fd = s.fd;
    run.piece = zulzppiece < 64 ? 64 : zulzppiece;
    run.pool = kDPool;
    if (!run.start(threads, false, header)) return ZUSD_OK;

    std::uint64_t jw = 0; /* jobs written */
    std::uint64_t mark = out->count;
    Job pending{resume, s.bit};
    unsigned status = ZUSD_OK;
    for (;;) {
        /* Only this thread posts: it reads `posted` without the lock. */
        while (scanning && run.posted - jw < std::uint64_t(kDepth) * run.used) {
            {
                std::lock_guard<std::mutex> lk(run.mu);
                run.jobs[run.posted % kRing] = pending;
                ++run.posted;
            }
            run.wake.notify_all();
            const std::uint64_t jobstart = s.bit;
            scanning = scan_job(s, jobstart);
            pending = Job{jobstart, s.bit};
        }
        if (jw == run.posted) break;
        Worker *k = nullptr;
        const Piece p = run.next(jw, &k);
        const bool failed = p.status != ZUSD_OK;
        const bool put = !failed && zubfpn(out, p.buf, p.n) != 0;
        run.give_back(k, p);
        if (failed) {
            if (!rewind(out, mark)) status = ZUSD_WRERR;
            break;
        }
        if (!put) {
            status = ZUSD_WRERR;
            break;
        }
        if (p.last) {
            resume = run.jobs[jw % kRing].end; /* kept: fewer than kRing are posted ahead */
            ++jw;
            mark = out->count;
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
    Run run;
    run.fd = fd;
    run.piece = zulzppiece < 64 ? 64 : zulzppiece;
    run.pool = kEPool;
    run.posted = ~std::uint64_t(0); /* until a worker meets the end */
    run.lent = st->table;           /* a finished run does not use it again */
    if (!run.start(threads, true, 14)) return ZUSD_NOMEM;
    Joiner j;
    j.out = out;
    std::uint64_t total = 0;
    unsigned width = 0, status = ZUSD_OK;
    bool last = false;
    for (std::uint64_t k = 0; !last && status == ZUSD_OK; ++k) {
        for (bool first = true;; first = false) {
            Worker *from = nullptr;
            const Piece p = run.next(k, &from);
            if (p.last && (p.status != ZUSD_OK || (p.inlen == 0 && k == 0))) {
                status = p.status != ZUSD_OK ? p.status : ZUSD_RDERR;
                zusderr("zulzpe:  block %llu of the input could not be compressed (status %u)",
                        static_cast<unsigned long long>(k), status);
                run.give_back(from, p);
                break;
            }
            /* A block after the last whole one may be empty: it adds nothing. */
            if (!p.last || p.inlen > 0) {
                if (first && width != 0) j.code(1, static_cast<int>(width));
                const std::uint32_t skip = first && k > 0 ? 1 : 0; /* every block's own header byte */
                j.bytes(p.buf + skip, p.n - skip);
            }
            if (p.last) {
                if (p.inlen > 0) {
                    if (p.pend > 0) j.code(p.acc >> (32 - p.pend), p.pend);
                    width = p.width;
                }
                total += p.inlen;
                last = p.inlen < kBlock;
            }
            run.give_back(from, p);
            j.flush();
            if (!j.ok) {
                status = ZUSD_WRERR;
                break;
            }
            if (step != nullptr && (status = step(arg)) != ZUSD_OK) break;
            if (p.last) break;
        }
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
