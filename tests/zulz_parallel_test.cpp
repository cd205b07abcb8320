/* Tests of the parallel codec that change process-wide state: the thread
 * count from ZU_THREADS, and an interrupted parallel run of the real command,
 * which leaves nothing behind. (Its streams are tested in zulz_test.cpp.) */
#include "../fuzz/parallel_run.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <sched.h>

namespace {

using namespace zufuzz;

/* ZU_THREADS: a count from 1 to 64; anything else leaves the defaults (the
 * encoder alone, the decoder on every core it may use). */
TEST(ZulzParallel, ThreadCountFromTheEnvironment) {
    EXPECT_EQ(zutest::run_in_child([] {
        cpu_set_t set;
        const unsigned all = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
        int bad = 0;
        const std::pair<const char *, unsigned> rows[] = {
            {"", 0}, {"0", 0}, {"65", 0}, {"2x", 0}, {"-3", 0}, {"1", 1}, {"3", 3}, {"64", 64}};
        for (const auto &[v, n] : rows)
            bad += setenv("ZU_THREADS", v, 1) || zulzpt(1) != std::max(n, 1u) ||
                   zulzpt(0) != (n ? n : all);
        return bad;
    }), 0);
}

/* SIGTERM to a parallel zucomp, then to a parallel zuuncomp, once each has
 * begun: only the input is left. */
TEST(ZulzParallel, InterruptLeavesNothing) {
    zutest::TempDir dir;
    std::mt19937 rng(5);
    Bytes big(24000000);
    for (auto &x : big) x = rng() % 32;
    const Bytes packed = compress(big, 2);
    const auto entries = [&] {
        return std::distance(std::filesystem::directory_iterator(dir.str()), {});
    };
    for (const char *cmd : {"zucomp", "zuuncomp"}) {
        const std::string arg = dir / (cmd[2] == 'c' ? "f" : "f_");
        const Bytes &from = cmd[2] == 'c' ? big : packed;
        zutest::spit(arg, std::string(from.begin(), from.end()));
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
