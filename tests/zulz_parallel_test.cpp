/* Tests of the parallel decoder and encoder: the same bytes, status and log
 * as the serial decoder over every reference stream and over corrupt and cut
 * ones (small jobs and pieces, 2 and 3 threads); the encoder's documented
 * streams (tests/data/zulz_parallel.tsv); an interrupted parallel run of the
 * real command leaves nothing behind. */
#include "../fuzz/parallel_run.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <sched.h>
#include <sstream>

namespace {

using namespace zufuzz;

/* The input a row names (tests/data/zulz_parallel.tsv). */
Bytes input_of(const std::string &desc) {
    std::istringstream in(desc);
    std::string kind, name;
    unsigned a = 0, b = 1, c = 1;
    in >> kind;
    if (kind == "same" && in >> name >> b) return Bytes(b, static_cast<unsigned char>(name[0]));
    if (kind == "rep" && in >> name >> b) {
        const std::string one = zutest::data(name);
        Bytes all;
        while (b-- > 0) all.insert(all.end(), one.begin(), one.end());
        return all;
    }
    EXPECT_TRUE(kind == "rand" && in >> a >> b >> c) << desc;
    std::mt19937 rng(a);
    Bytes r(b);
    for (auto &x : r) x = static_cast<unsigned char>(rng() % c);
    return r;
}

Bytes stream_of(const std::string &cell) {
    return input_of("rep streams/" + cell.substr(1) + " 1");
}

Bytes encode(const Bytes &input, unsigned threads) {
    std::string log;
    return through_files(input, 0, 1, &log, [&](zubfcb *in, zubfcb *out) {
        zulzecst st{};
        st.table = zuetmk(14, 18);
        std::uint32_t lim = ZULZ_NOLIMIT;
        EXPECT_EQ(zulzpe(in, out, &st, threads, nullptr, nullptr), 0u);
        EXPECT_EQ(zulzec(in, out, &st, 14, &lim), 0u);
        EXPECT_TRUE(zulzecdn(&st));
        zuetds(st.table);
    });
}

/* With small jobs and pieces: every clear code may end a job, and a job's
 * output leaves in many pieces. */
Restored same_as_serial(const Bytes &s) {
    zulzpjob = 1, zulzppiece = 1000;
    const Restored serial = restore(s, 1);
    for (unsigned threads : {2u, 3u}) {
        const Restored par = restore(s, threads);
        EXPECT_EQ(par.status, serial.status) << threads;
        EXPECT_EQ(par.log, serial.log) << threads;
        EXPECT_TRUE(par.out == serial.out) << threads << " threads: " << par.out.size();
        /* A whole stream leaves no more than its last stretch (at most 16126
         * codes of 14 bits) to the serial decoder. */
        EXPECT_TRUE(serial.status != 0 || par.serial_at + 28230 >= s.size()) << par.serial_at;
    }
    zulzpjob = 64u << 10, zulzppiece = 128u << 10;
    return serial;
}

TEST(ZulzParallel, RestoresReferenceStreamsAsSerial) {
    for (const auto &row : zutest::table("zulz_streams.tsv")) {
        SCOPED_TRACE(row.at(0));
        if (row.at(2)[0] == '@') {
            EXPECT_EQ(same_as_serial(stream_of(row[2])).status, 0u);
        }
    }
}

TEST(ZulzParallel, EncoderGivesDocumentedStreams) {
    for (const auto &row : zutest::table("zulz_parallel.tsv")) {
        SCOPED_TRACE(row.at(0));
        const Bytes in = input_of(row[0]), want = stream_of(row.at(1));
        EXPECT_TRUE(encode(in, 2) == want);
        EXPECT_TRUE(encode(in, 3) == want);
        EXPECT_LT(double(want.size()), double(encode(in, 1).size()) * 1.005 + 4096);
        const Restored r = same_as_serial(want);
        EXPECT_TRUE(r.out == in);
        EXPECT_EQ(restore(want, 2).out.size(), in.size()); /* default job sizes */
    }
}

/* A stretch of codes made invalid near the start, in the middle and near the
 * end, and streams cut short anywhere: refused exactly as serially. */
TEST(ZulzParallel, RefusesCorruptStretchesAsSerial) {
    const Bytes good = stream_of("@alice29.txt_");
    for (double at : {0.01, 0.3, 0.5, 0.98}) {
        Bytes bad = good;
        const auto p = static_cast<std::size_t>(at * double(good.size()));
        for (std::size_t i = p; i < p + 4; ++i) bad[i] = 0xFF;
        SCOPED_TRACE(p);
        EXPECT_EQ(same_as_serial(bad).status, unsigned(ZUSD_RDERR));
    }
    for (std::size_t cut : {std::size_t(3), good.size() / 2, good.size() - 1})
        same_as_serial(Bytes(good.begin(), good.begin() + static_cast<long>(cut)));
}

/* ZU_THREADS: a count from 1 to 64; anything else leaves the defaults (the
 * encoder alone, the decoder on every core it may use). */
TEST(ZulzParallel, ThreadCountFromTheEnvironment) {
    EXPECT_EQ(zutest::run_in_child([] {
        cpu_set_t set;
        const int cores = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
        int bad = 0;
        const std::pair<const char *, int> rows[] = {{"", 0},  {"0", 0}, {"65", 0}, {"2x", 0},
                                                     {"-3", 0}, {"1", 1}, {"3", 3},   {"64", 64}};
        for (const auto &[v, n] : rows) {
            setenv("ZU_THREADS", v, 1);
            bad += int(zulzpt(1)) != (n ? n : 1) || int(zulzpt(0)) != (n ? n : cores);
        }
        return bad;
    }), 0);
}

/* SIGTERM to a parallel zucomp, then to a parallel zuuncomp, once each has
 * begun: only the input is left. */
TEST(ZulzParallel, InterruptLeavesNothing) {
    zutest::TempDir dir;
    const Bytes big = input_of("rand 5 24000000 32"), packed = encode(big, 2);
    const auto entries = [&] {
        return std::distance(std::filesystem::directory_iterator(dir.str()), {});
    };
    for (const char *cmd : {"zucomp", "zuuncomp"}) {
        const bool comp = cmd[2] == 'c';
        const std::string arg = dir / (comp ? "f" : "f_");
        zutest::spit(arg, comp ? std::string(big.begin(), big.end())
                               : std::string(packed.begin(), packed.end()));
        const int code = zutest::run_in_child([&] {
            const pid_t pid = fork();
            if (pid == 0) {
                setenv("ZU_THREADS", "2", 1);
                execl(ZUCOMP_BIN, cmd, arg.c_str(), static_cast<char *>(nullptr));
                _exit(127);
            }
            for (int i = 0; i < 20000 && entries() < 2; ++i) usleep(100);
            usleep(20000);
            kill(pid, SIGTERM);
            int ws = 0;
            waitpid(pid, &ws, 0);
            return WIFEXITED(ws) && WEXITSTATUS(ws) == 0 ? 1 : 0;
        });
        EXPECT_EQ(code, 0) << cmd << " finished before the signal";
        EXPECT_EQ(entries(), 1) << cmd;
        unlink(arg.c_str());
    }
}

}  // namespace
