// Copy engine, through its drivers only (bytes, statuses, error-log records,
// files left): a property over random data and cuts for every kind, the
// table tests/data/szucp_cases.tsv (error paths, and substitution cases at
// every cut), and volumes asked for through the prompt and filled for real
// where the machine can mount a small file system.
#include "szucp.h"
#include "volume/lab.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <random>

namespace {

using zutest::slurp;
using Sizes = std::vector<std::uint32_t>;
constexpr std::uint32_t kRest = 0xFFFFFFFFu;

// One driver call, also its callback argument, whose fifth word is 0 (else
// the permission bits would not go over). Volume 0 writes one output (none
// for count 0); from volume 1 on, one piece per size, or `count` pieces each
// limited by the free space less `reserve`. Progress is summed with `report`;
// the poll stops the copy with 77 at its call number `stop`.
struct Job {
    std::uint32_t words[5] = {}, volume = 0, count = 1;
    Sizes sizes = {};
    bool report = false;
    mutable int stop = 0, append = 0;
    std::uint32_t reserve = 0;
    const char *volname = "";
    zutest::VolumeLab *lab = nullptr;
    mutable std::uint64_t progress = 0;
    mutable std::uint32_t index = 0;
    mutable std::string grow = {};  // a directory (not empty) that appears at the first poll
    static int tally(void *j, std::uint32_t n) { return static_cast<Job *>(j)->progress += n, 0; }
    static unsigned poll(void *j) {
        auto *job = static_cast<Job *>(j);
        if (!job->grow.empty() && mkdir(job->grow.c_str(), 0700) == 0)
            mkdir((job->grow + "/x").c_str(), 0700);
        return job->grow.clear(), --job->stop == 0 ? 77 : 0;
    }
};
// %X% is 1, %E% empty, %BIG% 3000 letters, %FAIL% fails with 31; any other
// name comes back in brackets, so that a row shows what xlate was given.
unsigned xlate(std::uint32_t, std::uint32_t, const char *name, char *value, std::uint16_t size,
               std::uint32_t, std::uint32_t, const char *, const char *) {
    const std::string n = name, v = n == "%X%" ? "1" : n == "%E%" ? "" : "[" + n + "]";
    std::snprintf(value, size, "%s", n == "%BIG%" ? std::string(3000, 'v').c_str() : v.c_str());
    return n == "%FAIL%" ? 31 : 0;
}

// Kinds: 'p' plain, 'c' encoder (split) or decoder (join), 'd' decoder
// (split), 's' substitution (join), 'e' encoder (join: refused).
unsigned run(bool split, const std::string &from, const std::string &to, char kind, const Job &j) {
    std::string name = split ? to : from;  // whole, with room to be rewritten in place
    name.resize(std::max<std::size_t>(name.size() + 1, ZUSD_PATHSZ));
    void *arg = j.lab != nullptr ? static_cast<void *>(j.lab) : const_cast<Job *>(&j);
    const zusdvpfn ask = j.lab != nullptr ? zutest::VolumeLab::prompt : nullptr;
    const zusdprog progress = j.report ? Job::tally : nullptr;
    const zusdpoll poll = j.stop > 0 || !j.grow.empty() ? Job::poll : nullptr;
    j.index = 0;
    if (split)
        return zucpsp(from.c_str(), name.data(), j.volume, j.count, -1, j.reserve, j.append,
                      kind == 'c', kind == 'd', j.volname, "Disk", ask, progress, poll, arg,
                      j.sizes.empty() ? nullptr : j.sizes.data(), 0, &j.index);
    return zucpjn(name.data(), to.c_str(), j.volume, j.append, kind == 'e', kind == 'c',
                  kind == 's', j.volname, "Disk", ask, progress, poll, arg, 11, 22, xlate);
}

TEST(SzucpCopy, PiecesMakeTheOneVolumeStreamAndJoinToTheOriginal) {
    std::mt19937 rng(20261207);
    const std::uint32_t slice = zucpslice;
    for (int round = 0; round < 45; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        zutest::TempDir tmp("szucp.");
        const char kind = "pcd"[round % 3];
        const std::string src =
            tmp.file("s", round < 3 ? zutest::data("alice29.txt")
                                    : zutest::content(zutest::words(
                                          "rand", rng(), 1 + rng() % 30000, 2 + rng() % 255)));
        const std::string data = slurp(src), ext = kind == 'c' ? "_" : "";
        const mode_t mode = round % 2 != 0 ? 0640 : 0604;
        const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(chmod(src.c_str(), mode) | utimensat(AT_FDCWD, src.c_str(), times, 0), 0);
        zucpslice = rng() % 3 == 0 ? 0 : 16 + rng() % 4096;
        ASSERT_EQ(run(true, src, src, 'c', {}), ZUSD_OK);  // s_, read by the decoder kind
        const std::string whole = kind == 'c' ? slurp(src + "_") : data;
        Sizes sizes;  // from the least limits that take a code
        for (std::size_t i = 1 + rng() % 4; i > 1; --i) {
            const std::uint32_t least = kind != 'c' ? 1 : sizes.empty() ? 4 : 3;
            sizes.push_back(least + rng() % (rng() % 2 ? 8 : 3000));
        }
        sizes.push_back(kRest);
        const std::uint32_t n = std::uint32_t(sizes.size());
        for (const Job &job : std::vector<Job>{
                 {.report = true}, {.volume = 1, .count = n, .sizes = sizes, .report = true}}) {
            const std::string out = tmp / (job.volume == 0 ? "w" : "xw");
            ASSERT_EQ(run(true, src, out, kind, job), ZUSD_OK);
            EXPECT_LE(whole.size() - job.progress, kind == 'c' ? 1u : 0u);
            std::string joined, piece;  // pieces 1, 2, ... 0; one alone keeps its name
            for (std::size_t i = 1; i <= job.count; ++i) {
                const std::string digit = job.count == 1 ? "x" : std::to_string(i % job.count);
                piece = tmp / ((job.volume == 0 ? "" : digit) + "w" + ext);
                EXPECT_LE(slurp(piece).size(), job.volume == 0 ? kRest : sizes[i - 1]) << piece;
                joined += slurp(piece);
            }
            EXPECT_TRUE(joined == whole);
            struct stat st {};  // the last piece gets the times and bits of the source
            ASSERT_EQ(stat(piece.c_str(), &st), 0);
            EXPECT_TRUE((st.st_mode & 07777) == mode && st.st_mtim.tv_sec == 1000000000);
            const Job back{.volume = job.volume, .report = true};
            ASSERT_EQ(run(false, out, tmp / "r", kind == 'c' ? 'c' : 'p', back), ZUSD_OK);
            EXPECT_TRUE(slurp(tmp / "r") == data);
            EXPECT_EQ(back.progress, zusdcs((tmp / "r").c_str(), std::uint32_t(data.size())));
        }
    }
    zucpslice = slice;
}

// The items of a list separated by `sep` ("-": none).
std::vector<std::string> items(const std::string &list, char sep) {
    return list == "-" ? std::vector<std::string>{} : zutest::split(list, sep);
}
// One row of the table (its head tells the columns), with the cut `cut`.
void check(const std::vector<std::string> &r, const std::string &cut) {
    zutest::TempDir tmp("szucp.");
    const std::string d = tmp / "d", log = tmp / "log", from = d + "/s", parts = tmp / "p/xs";
    const bool split = r[1] == "split", coded = r[2] == "c";
    const std::string fault = r[6], arg = fault.substr(fault.find(':') + 1);
    const std::string in = from + (!split && coded ? "_" : ""), big(255, 'L');
    // deep:N: a target of N characters, its directory named with repeated slashes
    const std::size_t deep =
        r[4].starts_with("deep:") ? std::stoul(r[4].substr(5)) - d.size() - 3 : 0;
    const std::string to =
        r[4] == "self" ? from : d + std::string(deep, '/') + "/" + (r[4] == "long" ? big : "0t");
    const std::string out = to + (split && coded ? "_" : "");
    ASSERT_EQ(mkdir(d.c_str(), 0700) | mkdir((tmp / "p").c_str(), 0700), 0);
    if (r[3] == "dir" || r[4] == "dir") mkdir((r[3] == "dir" ? in : out).c_str(), 0700);
    if (r[3] != "dir") zutest::spit(in, zutest::content(r[3]));
    if (r[4] == "old") zutest::spit(out, "old");
    chmod(out.c_str(), 0600);
    if (r[4] == "link") symlink("s", out.c_str());
    chmod(in.c_str(), 0640);
    Job job = cut == "-" ? Job{} : cut == "0" ? Job{.count = 0} : Job{.volume = 1, .count = 2};
    for (const auto &x : items(job.volume == 0 || cut == "free" ? "-" : cut, ','))
        job.sizes.push_back(x == "R" ? kRest : std::stoul(x));
    if (!job.sizes.empty()) job.count = std::uint32_t(job.sizes.size());
    // A join with cuts reads the plain pieces of the source.
    ASSERT_EQ(split || job.volume == 0 ? ZUSD_OK : run(true, from, parts, 'p', job), ZUSD_OK);
    job.stop = fault.rfind("poll:", 0) == 0 ? std::stoi(arg) : 0;
    job.append = fault == "append";
    if (fault == "dirpoll") job.grow = to;
    job.words[4] = fault == "nobits";
    const int st = zutest::run_in_child([&] {
        const rlim_t most = fault.rfind("fsize:", 0) == 0 ? std::stoul(arg) : RLIM_INFINITY;
        const struct rlimit lim = {most, most};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0 || signal(SIGXFSZ, SIG_IGN) == SIG_ERR) return -1;
        zusdlg(log.c_str(), 1);
        if (fault.rfind("space:", 0) == 0) {  // space:BLOCKS:RESERVE
            zutest::setup_item("statvfs:512/" + std::to_string(std::stoul(arg)) + "/0");
            job.reserve = std::uint32_t(std::stoul(arg.substr(arg.find(':') + 1)));
        }
        if (fault == "statfail") zutest::setup_item("statvfs:512/0/5");
        if (fault == "longmount") zutest::setup_item("set:whtdsk=/" + std::string(2040, 'm'));
        if (fault == "longmount") zutest::setup_item("set:owhtdsk=/tmp");
        const std::size_t fds = zutest::open_files();  // a run leaves none open: else 99
        const int got = int(run(split, !split && job.volume != 0 ? parts : from, to, r[2][0], job));
        return zutest::open_files() == fds ? got : 99;
    });
    EXPECT_EQ(st, std::stoi(r[7]));
    const bool absent = r[8][0] == '!';  // !TEXT: the log must not hold TEXT, else once
    const std::string logged = slurp(log), needle = r[8].substr(absent);
    const std::size_t pos = logged.find(needle);
    EXPECT_TRUE(r[8] == "-" || (absent ? pos == std::string::npos
                                       : pos != std::string::npos &&
                                             logged.find(needle, pos + 1) == std::string::npos))
        << logged;
    // The names in d, each with =CONTENT and @MODE where the row asks for them.
    std::vector<std::string> got, want = items(r[9], ',');
    for (const auto &e : std::filesystem::directory_iterator(d)) got.push_back(e.path().filename());
    std::sort(got.begin(), got.end());
    for (std::size_t i = 0; i < std::min(got.size(), want.size()); ++i) {
        const std::string path = d + "/" + got[i];
        if (want[i].find('=') != std::string::npos) got[i] += "=" + slurp(path);
        if (want[i].find('@') != std::string::npos) got[i] += "@" + zutest::mode_of(path.c_str());
    }
    EXPECT_EQ(got, want);
}

TEST(SzucpCases, EveryRowEndsWithItsStatusReportAndFiles) {
    for (const auto &r : zutest::table("szucp_cases.tsv")) {
        ASSERT_EQ(r.size(), 10u);
        for (std::size_t i = 0; i < (r[5] == "all" ? zutest::content(r[3]).size() : 1); ++i) {
            SCOPED_TRACE(r[0] + " cut " + std::to_string(i));
            check(r, r[5] != "all" ? r[5] : i == 0 ? "R" : std::to_string(i) + ",R");
        }
    }
}

// Pieces go to the volumes that the prompt asks for, through the mount point
// it moved: small file systems in a private mount namespace of a child where
// the machine allows, else their free space through the seam. The first
// volume is filled, none overfilled, and the pieces join back; a prompt
// cancelled ends the split with 8, the pieces finished so far kept.
TEST(SzucpVolume, PiecesFillTheVolumesThePromptAsksFor) {
    zutest::TempDir tmp("szucp.");
    const std::string src = tmp / "source", out = tmp / "out", vol = tmp / "vol";
    const std::string p[] = {"1/1data_", "2/2data_", "3/0data_"};
    zutest::spit(src, zutest::content("rand 3 40000 16"));
    ASSERT_EQ(run(true, src, out, 'c', {}), ZUSD_OK);
    const std::uint64_t size = slurp(out + "_").size(), room = (size / 12288 + 1) * 4096;
    const int code = zutest::run_in_child([&] {
        zutest::VolumeLab lab(tmp.str());
        const std::string base = std::string(owhtdsk) + "/0data";
        std::vector<unsigned> asked;
        lab.action = [&](zutest::VolumeLab &l, char *location, unsigned volnum, int *cancel) {
            std::snprintf(location, ZUSD_VOLSETSZ, "%s", (l.root + "/mnt2").c_str());
            l.insert(vol + std::to_string(volnum));
            asked.push_back(volnum);
            *cancel = asked.size() > 4;
        };
        bool real = unshare(CLONE_NEWNS) == 0 &&
                    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        const std::string opts = "size=" + std::to_string(room + 4096);
        for (int v = 1; v <= 3; ++v) {  // the volume's directory, then its file system
            lab.volume(v);
            real = real &&
                   mount("tmpfs", (vol + std::to_string(v)).c_str(), "tmpfs", 0, opts.c_str()) == 0;
            lab.volume(v);
        }
        if (!real) zutest::setup_item("statvfs:512/" + std::to_string(room / 512) + "/0");
        const Job job = {.volume = 1, .count = 3, .volname = "Set", .lab = &lab};
        for (int k = 0; k < 3; ++k) {  // split, join, split cancelled
            zusdufu(0);
            lab.insert(vol + "1");
            if (k == 2) unlink((vol + p[0]).c_str());
            EXPECT_EQ(run(k != 1, k == 1 ? base : src, k == 1 ? out : base, 'c', job),
                      k < 2 ? ZUSD_OK : ZUSD_CANCELLED);
            const std::uint64_t p1 = slurp(vol + p[0]).size(), p2 = slurp(vol + p[1]).size();
            EXPECT_TRUE(k != 0 || (p1 <= room && p1 + 64 > room && p2 <= room &&
                                   p1 + p2 + slurp(vol + p[2]).size() == size));
        }
        EXPECT_EQ(asked, (std::vector<unsigned>{2, 3, 2, 3, 2}));
        EXPECT_EQ(slurp(out), slurp(src));
        EXPECT_TRUE(job.index == 1 && zutest::exists(vol + p[0]));
    });
    EXPECT_EQ(code, 0);
}

// With no limit the plain copy loop does not count down: a copy of more than
// 4 GiB is not cut at 4 GiB (opt-in: it writes over 4 GiB).
TEST(SzucpBig, PlainCopyOverFourGib) {
    const char *big = std::getenv("ZU_BIG_TESTS");
    if (big == nullptr || std::string(big) != "1") GTEST_SKIP() << "set ZU_BIG_TESTS=1";
    zutest::TempDir tmp("szucp.");
    const std::string huge = tmp.file("huge", "E"), copy = tmp / "copy";
    ASSERT_EQ(truncate(huge.c_str(), (4LL << 30) + 4097), 0);
    ASSERT_EQ(run(false, huge, copy, 'p', {}), ZUSD_OK);
    struct stat st {};
    EXPECT_TRUE(stat(copy.c_str(), &st) == 0 && st.st_size == (4LL << 30) + 4097);
}

}  // namespace
