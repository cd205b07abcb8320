// Copy engine: the copy loop's limit and callbacks, the plain block step, the
// substitution copy (also across piece boundaries), the channel's naming and
// output discipline, and the split and join drivers without volumes.
#include "szucp.h"
#include "szusd.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::string;
using zutest::exists;

Bytes randombytes(std::size_t n, unsigned seed, int alphabet = 256) {
    std::mt19937 gen(seed);
    Bytes b(n, '\0');
    for (auto &x : b) x = static_cast<char>(gen() % alphabet);
    return b;
}

// Callbacks: progress amounts are summed; poll stops after `stopafter` calls.
// As a callback argument the record's fifth word is 0, so the permission step
// runs.
struct Calls {
    std::uint32_t words[5] = {0, 0, 0, 0, 0};
    std::uint64_t progress = 0;
    int progresscalls = 0;
    int polls = 0;
    int stopafter = -1;
};
int onprogress(void *arg, std::uint32_t amount) {
    auto *c = static_cast<Calls *>(arg);
    c->progress += amount;
    ++c->progresscalls;
    return 0;
}
unsigned onpoll(void *arg) {
    auto *c = static_cast<Calls *>(arg);
    return ++c->polls == c->stopafter ? 77u : 0u;
}

class Szucp : public ::testing::Test {
  protected:
    zutest::TempDir tmp{"szucp_test."};
    const std::string dir = tmp.str();
    void SetUp() override { zucpgbow.set = 0; }
    std::string p(const std::string &name) const { return tmp / name; }

    // A plain copy of `data` with `limit`; the output's contents.
    Bytes plaincopy(const Bytes &data, std::uint32_t limit, unsigned *status,
                    Calls *calls = nullptr, std::uint32_t *bufsize = nullptr) {
        zutest::spit(p("in"), data);
        zucpcb ch;
        EXPECT_EQ(zucpin(&ch, 0, 0, 0, 0, 0, 0, nullptr), ZUSD_OK);
        if (bufsize != nullptr) *bufsize = ch.bufsize;
        EXPECT_EQ(zucpor(&ch, p("in").c_str()), ZUSD_OK);
        EXPECT_EQ(zucpow(&ch, p("out").c_str()), ZUSD_OK);
        *status = zucpcp(&ch, limit, calls != nullptr ? onprogress : nullptr,
                         calls != nullptr ? onpoll : nullptr, calls);
        EXPECT_EQ(zucpcw(&ch, 1), ZUSD_OK);
        EXPECT_EQ(zucpcm(&ch, nullptr, nullptr), ZUSD_OK);
        zucpui(&ch);
        return zutest::slurp(p("out"));
    }
};

// ---- Copy loop and plain block step ----------------------------------------

TEST_F(Szucp, PlainCopyLoopLimitsAndBufferMultiples) {
    unsigned st = 1;
    std::uint32_t bufsize = 0;
    EXPECT_TRUE(plaincopy({}, 0xFFFFFFFFu, &st, nullptr, &bufsize).empty());
    EXPECT_EQ(st, ZUSD_OK);
    EXPECT_EQ(bufsize, 49152u);

    const Bytes two = randombytes(2 * 49152, 1);  // ends with a read of 0 bytes
    Calls calls;
    EXPECT_EQ(plaincopy(two, 0xFFFFFFFFu, &st, &calls), two);
    EXPECT_EQ(st, ZUSD_OK);
    EXPECT_EQ(calls.progress, two.size());
    EXPECT_EQ(calls.progresscalls, 3);
    EXPECT_EQ(calls.polls, 3);

    const Bytes data = randombytes(100000, 2);
    for (const std::uint32_t limit : {0u, 1000u, 60000u, 100000u}) {  // 0 copies nothing
        EXPECT_EQ(plaincopy(data, limit, &st), data.substr(0, limit)) << limit;
        EXPECT_EQ(st, ZUSD_OK) << limit;
    }
}

TEST_F(Szucp, PollStopsTheCopyWithItsValue) {
    Calls calls;
    calls.stopafter = 2;
    unsigned st = 0;
    const Bytes data = randombytes(200000, 3);
    const Bytes out = plaincopy(data, 0xFFFFFFFFu, &st, &calls);
    EXPECT_EQ(st, 77u);
    EXPECT_EQ(out, data.substr(0, 2 * 49152));
    EXPECT_EQ(calls.progress, 2u * 49152);
}

TEST_F(Szucp, PlainBlockStepReportsReadAndWriteFailures) {
    unsigned char buffer[4096];
    std::uint32_t count = sizeof buffer;
    FILE *dirstream = std::fopen(dir.c_str(), "r");  // reading a directory fails
    ASSERT_NE(dirstream, nullptr);
    FILE *out = std::fopen(p("o").c_str(), "w");
    EXPECT_EQ(zucpcu(dirstream, out, buffer, &count), ZUSD_RDERR);
    std::fclose(dirstream);
    std::fclose(out);

    zutest::spit(p("i"), randombytes(1000, 4));
    FILE *in = std::fopen(p("i").c_str(), "r");
    FILE *full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    count = sizeof buffer;
    EXPECT_EQ(zucpcu(in, full, buffer, &count), ZUSD_WRERR);
    std::fclose(in);
    std::fclose(full);
}

// ---- Substitution copy -----------------------------------------------------

struct Xlate {
    static std::map<std::string, std::string> values;
    static std::vector<std::string> names;
    static unsigned fail;
    static unsigned call(std::uint32_t ctx1, std::uint32_t ctx2, const char *name, char *value,
                         std::uint16_t size, std::uint32_t, std::uint32_t, const char *,
                         const char *) {
        EXPECT_EQ(ctx1, 11u);
        EXPECT_EQ(ctx2, 22u);
        EXPECT_EQ(size, 4096u);
        names.emplace_back(name);
        if (fail != 0) return fail;
        const auto it = values.find(name);
        std::snprintf(value, size, "%s", it != values.end() ? it->second.c_str() : "");
        return 0;
    }
};
std::map<std::string, std::string> Xlate::values;
std::vector<std::string> Xlate::names;
unsigned Xlate::fail = 0;

class Subst : public Szucp {
  protected:
    void SetUp() override {
        Szucp::SetUp();
        Xlate::values = {{"%X%", "1"}, {"%HOME%", "/home/u"}, {"%E%", ""}, {"%ABC%", "abc!"}};
        Xlate::names.clear();
        Xlate::fail = 0;
        rec.ctx1 = 11;
        rec.ctx2 = 22;
        rec.xlate = Xlate::call;
        rec.partial[0] = '\0';
        rec.pending = 0;
    }
    // Feed `pieces` one after another to the same record; the output so far.
    std::string feed(const std::vector<std::string> &pieces, unsigned *last,
                     std::uint32_t *count = nullptr) {
        FILE *out = std::tmpfile();
        *last = 0;
        for (const auto &piece : pieces) {
            FILE *in = std::tmpfile();
            std::fwrite(piece.data(), 1, piece.size(), in);
            std::rewind(in);
            std::uint32_t n = 99;
            *last = zucpci(in, out, &rec, &n);
            if (count != nullptr) *count = n;
            std::fclose(in);
            if (*last != 0) break;
        }
        std::fflush(out);
        std::rewind(out);
        std::string result;
        for (int c; (c = std::fgetc(out)) != EOF;) result.push_back(static_cast<char>(c));
        std::fclose(out);
        return result;
    }
    zucpsb rec{};
};

TEST_F(Subst, ReplacesNamesAndDoubledPercents) {
    unsigned st = 1;
    std::uint32_t count = 0;
    EXPECT_EQ(feed({"plain text\n"}, &st, &count), "plain text\n");
    EXPECT_EQ(count, 11u);
    for (const auto &[in, out] : std::vector<std::pair<std::string, std::string>>{
             {"%%", "%"},
             {"100%%", "100%"},
             {"a%X%b", "a1b"},
             {"a%E%b", "ab"},
             {"cd %HOME%/x %X%%X%", "cd /home/u/x 11"},
             {"% spaces\nand lines %", ""}}) {  // whatever lies between
        SCOPED_TRACE(in);
        EXPECT_EQ(feed({in}, &st), out);
        EXPECT_EQ(st, 0u);
        EXPECT_EQ(rec.pending, 0u);
    }
    EXPECT_EQ(Xlate::names.back(), "% spaces\nand lines %");
}

TEST_F(Subst, NameCutByAPieceBoundaryIsFinishedInTheNext) {
    unsigned st = 1;
    EXPECT_EQ(feed({"x%AB"}, &st), "x");
    EXPECT_EQ(rec.pending, 1u);
    EXPECT_STREQ(rec.partial, "%AB");
    EXPECT_EQ(feed({"C%y"}, &st), "abc!y");
    EXPECT_EQ(Xlate::names.back(), "%ABC%");
    EXPECT_EQ(rec.pending, 0u);

    EXPECT_EQ(feed({"50%", "%off"}, &st), "50%off");  // a single % at the end
    EXPECT_EQ(feed({"a%", "X%b"}, &st), "a1b");       // its name keeps its %
    EXPECT_EQ(Xlate::names.back(), "%X%");
    EXPECT_EQ(st, 0u);
}

TEST_F(Subst, EveryCutPointGivesTheSameOutput) {
    const std::string input = "a%X%b%%c%HOME%d%ABC%%E%e%%";
    unsigned st = 1;
    const std::string whole = feed({input}, &st);
    ASSERT_EQ(st, 0u);
    ASSERT_EQ(whole, "a1b%c/home/udabc!e%");
    for (std::size_t i = 1; i < input.size(); ++i) {
        rec.pending = 0;
        rec.partial[0] = '\0';
        EXPECT_EQ(feed({input.substr(0, i), input.substr(i)}, &st), whole) << i;
        EXPECT_EQ(st, 0u) << i;
        EXPECT_EQ(rec.pending, 0u) << i;
    }
    // A resumed name must end in the piece that resumes it.
    rec.pending = 0;
    feed({"a%HO", "M", "E%"}, &st);
    EXPECT_EQ(st, ZUSD_RDERR);
}

TEST_F(Subst, FailuresAndBounds) {
    unsigned st = 0;
    feed({"a%AB", ""}, &st);  // input ends inside a resumed name
    EXPECT_EQ(st, ZUSD_RDERR);
    rec.pending = 0;
    rec.partial[0] = '\0';

    const std::string fits(4093, 'n');
    Xlate::values["%" + fits + "%"] = "ok";
    EXPECT_EQ(feed({"%" + fits + "%"}, &st), "ok");
    EXPECT_EQ(st, 0u);
    feed({"%" + fits + "n%"}, &st);
    EXPECT_EQ(st, ZUSD_SYSERR);
    feed({"%" + fits.substr(0, 2000), fits.substr(0, 2094) + "%"}, &st);  // also when resumed
    EXPECT_EQ(st, ZUSD_SYSERR);
    rec.pending = 0;
    rec.partial[0] = '\0';

    Xlate::fail = 31;
    feed({"x%X%"}, &st);
    EXPECT_EQ(st, 31u);
}

// ---- Channel names and outputs ------------------------------------------------

TEST_F(Szucp, CompressedSideNames) {
    const std::string toolong(2047, 'x');
    for (const auto &[name, expected, status] :
         std::vector<std::tuple<std::string, std::string, unsigned>>{
             {"data.txt", "data.txt_", ZUSD_OK},
             {"data", "data_", ZUSD_OK},
             {"/a/b.c/d", "/a/b.c/d_", ZUSD_OK},
             {toolong, "", ZUSD_SYSERR}}) {
        SCOPED_TRACE(name);
        char out[ZUSD_PATHSZ];
        EXPECT_EQ(zucpun(name.c_str(), out), status);
        EXPECT_EQ(std::string(out), expected);
    }
}

// The output is written under a temporary name beside its own, owner-only,
// and takes its name only when committed; released without a commit it
// leaves nothing, and the file under the name is untouched.
TEST_F(Szucp, EncoderOutputTakesItsUnderscoreNameOnlyWhenCommitted) {
    zutest::spit(p("f"), "aaa");
    ASSERT_EQ(chmod(p("f").c_str(), 0644), 0);
    zucpcb ch;
    for (const bool commit : {true, false}) {
        SCOPED_TRACE(commit);
        ASSERT_EQ(zucpin(&ch, 0, 1, 0, 0, 0, 0, nullptr), ZUSD_OK);
        ASSERT_EQ(zucpor(&ch, p("f").c_str()), ZUSD_OK);
        ASSERT_EQ(zucpow(&ch, p("f").c_str()), ZUSD_OK);
        const std::string temp = p(zucpgbow.name);
        struct stat st;
        ASSERT_EQ(lstat(temp.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_TRUE(zucpgbow.set == 1 && zucpgbow.ino == st.st_ino);
        EXPECT_EQ(std::string(zucpgbow.name).rfind(".f_.", 0), 0u);
        Calls calls;
        EXPECT_EQ(zucpcp(&ch, 0xFFFFFFFFu, onprogress, nullptr, &calls), ZUSD_OK);
        EXPECT_EQ(zucpcw(&ch, 1), ZUSD_OK);
        EXPECT_EQ(calls.progress, 3u);  // what the encoder wrote before the final byte
        EXPECT_EQ(exists(p("f_")), !commit);
        if (commit) {
            EXPECT_EQ(zucpcm(&ch, p("f").c_str(), nullptr), ZUSD_OK);
        }
        zucpui(&ch);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2)
            << "no temporary file is left";
        EXPECT_EQ(zucpgbow.set, 0);
        EXPECT_EQ(zutest::slurp(p("f_")), Bytes("\x0E\x31\xC0\x80"));
        ASSERT_EQ(stat(p("f_").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        ASSERT_EQ(chmod(p("f").c_str(), 0640), 0);  // unchanged at f_ without a commit
    }
    // The decoder side reads f_ for the name f.
    ASSERT_EQ(zucpin(&ch, 0, 0, 1, 0, 0, 0, nullptr), ZUSD_OK);
    ASSERT_EQ(zucpor(&ch, p("f").c_str()), ZUSD_OK);
    ASSERT_EQ(zucpow(&ch, p("g").c_str()), ZUSD_OK);
    Calls calls;
    EXPECT_EQ(zucpcp(&ch, 0xFFFFFFFFu, onprogress, nullptr, &calls), ZUSD_OK);
    EXPECT_EQ(zucpcw(&ch, 1), ZUSD_OK);
    EXPECT_EQ(zucpcm(&ch, nullptr, nullptr), ZUSD_OK);
    EXPECT_EQ(calls.progress, 3u);
    zucpui(&ch);
    EXPECT_EQ(zutest::slurp(p("g")), "aaa");
}

TEST_F(Szucp, OutputRefusedWhenItIsTheInputALinkOrNotAFile) {
    zutest::spit(p("f"), "data");
    zucpcb ch;
    ASSERT_EQ(zucpin(&ch, 0, 0, 0, 0, 0, 0, nullptr), ZUSD_OK);
    ASSERT_EQ(zucpor(&ch, p("f").c_str()), ZUSD_OK);
    EXPECT_EQ(zucpow(&ch, p("f").c_str()), ZUSD_WRERR);
    ASSERT_EQ(symlink("f", p("l").c_str()), 0);
    EXPECT_EQ(zucpow(&ch, p("l").c_str()), ZUSD_WRERR);
    ASSERT_EQ(mkdir(p("d").c_str(), 0755), 0);
    EXPECT_EQ(zucpow(&ch, p("d").c_str()), ZUSD_WRERR);
    EXPECT_EQ(zucpgbow.set, 0);
    zucpui(&ch);
    EXPECT_EQ(zutest::slurp(p("f")), "data");

    // Only the recorded output is removed by the clean-up helper.
    EXPECT_EQ(zucprmo(), 0);
    EXPECT_TRUE(exists(p("f")));
}

TEST_F(Szucp, PermissionStepHonoursTheCallbackRecord) {
    zutest::spit(p("a"), "x");
    zutest::spit(p("b"), "y");
    ASSERT_EQ(chmod(p("a").c_str(), 0640), 0);
    ASSERT_EQ(chmod(p("b").c_str(), 0600), 0);
    std::uint32_t record[5] = {0, 0, 0, 0, 1};
    EXPECT_EQ(zucpsc(p("a").c_str(), p("b").c_str(), nullptr, record), ZUSD_OK);
    struct stat st;
    ASSERT_EQ(stat(p("b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    record[4] = 0;
    EXPECT_EQ(zucpsc(p("a").c_str(), p("b").c_str(), nullptr, record), ZUSD_OK);
    ASSERT_EQ(stat(p("b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// ---- Drivers without volumes ------------------------------------------------

unsigned split(const std::string &source, const std::string &target, int compress,
               std::uint32_t count = 1, const std::uint32_t *sizes = nullptr) {
    char buffer[ZUSD_PATHSZ];
    std::snprintf(buffer, sizeof buffer, "%s", target.c_str());
    std::uint32_t index = 0;
    return zucpsp(source.c_str(), buffer, 0, count, -1, 0, 0, compress, 0, "", "", nullptr, nullptr,
                  nullptr, nullptr, sizes, 0, &index);
}
unsigned join(const std::string &source, const std::string &target, int decompress,
              int compress = 0, zusdprog progress = nullptr, void *arg = nullptr) {
    char buffer[ZUSD_PATHSZ];
    std::snprintf(buffer, sizeof buffer, "%s", source.c_str());
    return zucpjn(buffer, target.c_str(), 0, 0, compress, decompress, 0, "", "", nullptr, progress,
                  nullptr, arg, 0, 0, nullptr);
}

TEST_F(Szucp, SplitAndJoinRoundTripWithoutVolumes) {
    const Bytes data = randombytes(300000, 5, 5);
    zutest::spit(p("f"), data);
    ASSERT_EQ(chmod(p("f").c_str(), 0640), 0);
    ASSERT_EQ(split(p("f"), p("f"), 1), ZUSD_OK);
    struct stat st;
    ASSERT_EQ(stat(p("f_").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    Calls calls;
    ASSERT_EQ(join(p("f"), p("g"), 1, 0, onprogress, &calls), ZUSD_OK);
    EXPECT_EQ(zutest::slurp(p("g")), data);
    // The last report tops the total up to whole blocks of the target's file system.
    struct statfs fs;
    ASSERT_EQ(statfs(dir.c_str(), &fs), 0);
    const std::uint64_t block = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
    EXPECT_EQ(calls.progress, (data.size() + block - 1) / block * block);
}

// Two pieces (no volumes: the second piece's name gets the digit 0): the
// first ends without its partial byte, whose bits open the second, so the
// pieces together are the one-piece stream.
TEST_F(Szucp, SplitIntoTwoPiecesCarriesTheStreamOver) {
    const Bytes data = randombytes(40000, 12, 7);
    zutest::spit(p("1f"), data);
    ASSERT_EQ(split(p("1f"), p("1f"), 1), ZUSD_OK);
    const Bytes whole = zutest::slurp(p("1f_"));
    ASSERT_EQ(unlink(p("1f_").c_str()), 0);
    for (const std::uint32_t first : {4u, 5u, 1000u, 7777u}) {
        const std::uint32_t sizes[] = {first, 0xFFFFFFFFu};
        ASSERT_EQ(split(p("1f"), p("1f"), 1, 2, sizes), ZUSD_OK) << first;
        Bytes joined = zutest::slurp(p("1f_"));
        EXPECT_LE(joined.size(), first - 1) << first;
        const Bytes second = zutest::slurp(p("0f_"));
        joined.insert(joined.end(), second.begin(), second.end());
        EXPECT_EQ(joined, whole) << first;
    }
}

// An unlimited codec copy cut into many small steps writes the same bytes as
// one step, and restores them the same way.
TEST_F(Szucp, CodecCopyInStepsGivesTheSameStream) {
    const Bytes data = randombytes(200000, 13, 11);
    zutest::spit(p("f"), data);
    const std::uint32_t saved = zucpslice;
    zucpslice = 0;  // one step
    ASSERT_EQ(split(p("f"), p("f"), 1), ZUSD_OK);
    const Bytes whole = zutest::slurp(p("f_"));
    for (const std::uint32_t slice : {1u, 16u, 17u, 1000u, 65536u}) {
        zucpslice = slice;
        ASSERT_EQ(split(p("f"), p("f"), 1), ZUSD_OK) << slice;
        EXPECT_EQ(zutest::slurp(p("f_")), whole) << slice;
        Calls calls;
        ASSERT_EQ(join(p("f"), p("g"), 1, 0, onprogress, &calls), ZUSD_OK) << slice;
        EXPECT_EQ(zutest::slurp(p("g")), data) << slice;
        EXPECT_GT(calls.progresscalls, 2) << slice;
    }
    zucpslice = saved;
}

TEST_F(Szucp, SplitWithCountZeroWritesNothing) {
    zutest::spit(p("f"), "abc");
    ASSERT_EQ(chmod(p("f").c_str(), 0604), 0);
    zutest::spit(p("t_"), "old");
    ASSERT_EQ(chmod(p("t_").c_str(), 0600), 0);
    EXPECT_EQ(split(p("f"), p("t"), 1, 0), ZUSD_OK);
    EXPECT_EQ(zutest::slurp(p("t_")), "old");
    struct stat st;
    ASSERT_EQ(stat(p("t_").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);  // the permission step still runs
}

TEST_F(Szucp, EmptySourceFailsAndItsOutputIsRemoved) {
    zutest::spit(p("e"), "");
    EXPECT_EQ(split(p("e"), p("e"), 1), ZUSD_RDERR);
    EXPECT_FALSE(exists(p("e_")));
}

TEST_F(Szucp, LastPieceTooSmallForTheDataIsAFailure) {
    const Bytes data = randombytes(5000, 6);
    zutest::spit(p("f"), data);
    const std::uint32_t small[] = {100};
    errno = 0;
    EXPECT_EQ(split(p("f"), p("f"), 1, 1, small), ZUSD_WRERR);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(exists(p("f_")));  // the unfinished compressed piece is removed
    EXPECT_EQ(zutest::slurp(p("f")), data);

    EXPECT_EQ(split(p("f"), p("plain"), 0, 1, small), ZUSD_WRERR);
    const std::uint32_t exact[] = {5000};
    EXPECT_EQ(split(p("f"), p("plain"), 0, 1, exact), ZUSD_OK);  // exactly enough
    EXPECT_EQ(zutest::slurp(p("plain")), data);
}

TEST_F(Szucp, JoinRefusalsAndMissingInput) {
    zutest::spit(p("t"), "target");
    EXPECT_EQ(join(p("nothing"), p("t"), 0, 1), ZUSD_SYSERR);  // the encoder kind
    EXPECT_EQ(zutest::slurp(p("t")), "target");
    EXPECT_EQ(join(p("missing"), p("new"), 1), ZUSD_NOTFOUND);
    EXPECT_FALSE(exists(p("new")));

    zutest::spit(p("c_"), Bytes("\x0E\x31"));  // header and 8 bits: no first code
    EXPECT_EQ(join(p("c"), p("out"), 1), ZUSD_RDERR);
}

TEST_F(Szucp, SubstitutionJoinLeftInsideANameFails) {
    zutest::spit(p("s"), "text %UNFINISHED");
    char buffer[ZUSD_PATHSZ];
    std::snprintf(buffer, sizeof buffer, "%s", p("s").c_str());
    EXPECT_EQ(zucpjn(buffer, p("o").c_str(), 0, 0, 0, 0, 1, "", "", nullptr, nullptr, nullptr,
                     nullptr, 11, 22, Xlate::call),
              ZUSD_RDERR);
}

// ---- zusdcp and the cross-device move ---------------------------------------

TEST_F(Szucp, MoveAcrossFileSystemsCopiesThenRemoves) {
    struct stat shm {};
    struct stat here {};
    if (stat("/dev/shm", &shm) != 0 || stat(dir.c_str(), &here) != 0 || shm.st_dev == here.st_dev) {
        GTEST_SKIP() << "/dev/shm and /tmp are not two file systems here";
    }
    char tmpl[] = "/dev/shm/szucp_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string from = std::string(tmpl) + "/file";
    const Bytes data = randombytes(123457, 9);
    zutest::spit(from, data);
    ASSERT_EQ(chmod(from.c_str(), 0640), 0);

    ASSERT_EQ(zusdcp(from.c_str(), p("copy").c_str(), 0, 0, nullptr, 0, nullptr), ZUSD_OK);
    EXPECT_EQ(zutest::slurp(p("copy")), data);
    EXPECT_TRUE(exists(from));

    Calls calls;
    ASSERT_EQ(zusdmv(from.c_str(), p("moved").c_str(), 0, 0, onprogress, 0, &calls), ZUSD_OK);
    EXPECT_EQ(zutest::slurp(p("moved")), data);
    EXPECT_FALSE(exists(from));
    EXPECT_GE(calls.progress, data.size());
    struct stat st;
    ASSERT_EQ(stat(p("moved").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    rmdir(tmpl);
}

// With no limit the plain copy loop does not count down: a copy of more than
// 4 GiB is not cut at 4 GiB (opt-in: it writes over 4 GiB).
TEST_F(Szucp, PlainCopyOverFourGib) {
    const char *big = std::getenv("ZU_BIG_TESTS");
    if (big == nullptr || std::strcmp(big, "1") != 0) GTEST_SKIP() << "set ZU_BIG_TESTS=1";
    const off_t size = (4LL << 30) + 4097;
    {
        const int fd = open(p("huge").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_NE(fd, -1);
        ASSERT_EQ(ftruncate(fd, size), 0);
        ASSERT_EQ(pwrite(fd, "E", 1, size - 1), 1);
        close(fd);
    }
    ASSERT_EQ(zusdcp(p("huge").c_str(), p("copy").c_str(), 0, 0, nullptr, 0, nullptr), ZUSD_OK);
    struct stat st;
    ASSERT_EQ(stat(p("copy").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    const int fd = open(p("copy").c_str(), O_RDONLY);
    char last = 0;
    EXPECT_EQ(pread(fd, &last, 1, size - 1), 1);
    EXPECT_EQ(last, 'E');
    close(fd);
}

}  // namespace
