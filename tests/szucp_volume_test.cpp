// Multi-volume copies end to end: the split driver spreads a file over
// volumes and the join driver reads it back, each volume mounted by a
// shell-run mount command, identified by its VOLUME.ID and asked for through
// the prompt callback, the pieces named with their volume digits.
#include "szucp.h"
#include "szusd.h"
#include "volume/lab.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

namespace {

using zutest::exists;
using zutest::slurp;
using zutest::spit;

constexpr std::uint32_t kRest = 0xFFFFFFFFu;

std::uint64_t file_size(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : ~0ull;
}

// Text with repeats and some noise, so that the compressed stream is long
// enough to be cut into several pieces.
std::string sample(std::mt19937 &rng, std::size_t size) {
    static const char *words[] = {"volume ", "piece ", "drive ", "mount ", "label\n", "disk "};
    std::string out;
    while (out.size() < size) {
        if (rng() % 7 == 0)
            out += static_cast<char>(rng() % 256);
        else
            out += words[rng() % 6];
    }
    out.resize(size);
    return out;
}

// The whole compressed stream of `src`, in one piece at `path` + "_",
// without volumes; its size.
std::uint64_t whole_split(const std::string &src, const std::string &path) {
    char whole[ZUSD_PATHSZ];
    zutest::copy_path(whole, path);
    std::uint32_t one = 0;
    EXPECT_EQ(zucpsp(src.c_str(), whole, 0, 1, -1, 0, 0, 1, 0, "", "", nullptr, nullptr, nullptr,
                     nullptr, nullptr, 0, &one),
              ZUSD_OK);
    return file_size(path + "_");
}

class MultiVolume : public ::testing::Test {
  protected:
    void SetUp() override {
        lab.SetUp();
        // The default user: asked for volume n, puts volume n in the drive.
        lab.action = [](zutest::VolumeLab &l, char *, unsigned volnum, int *cancel) {
            l.insert(l.root + "/vol" + std::to_string(volnum));
            *cancel = 0;
        };
    }
    void TearDown() override {
        zusd_statvfs = ::statvfs;
        lab.TearDown();
    }

    // Volumes 1..n of the set, volume 1 in the drive, nothing mounted.
    void volumes(int n) {
        for (int i = 1; i <= n; ++i) lab.volume(i);
        zusdufu(0);
        lab.insert(lab.root + "/vol1");
    }
    std::string source(const std::string &text) {
        const std::string path = lab.root + "/source.txt";
        spit(path, text);
        return path;
    }
    std::string piece(int vol, char digit) const {
        return lab.root + "/vol" + std::to_string(vol) + "/" + digit + "data.txt_";
    }

    unsigned split(const std::string &src, std::uint32_t count, const std::uint32_t *sizes,
                   std::uint32_t *index, std::uint32_t reserve = 0, int kind = 1,
                   zusdpoll poll = nullptr, const char *volname = "Set",
                   const std::string &base = "0data.txt") {
        // kind: 1 encoder, 0 plain, 2 decoder (which reads src + "_").
        zutest::copy_path(target_, std::string(owhtdsk) + "/" + base);
        return zucpsp(src.c_str(), target_, 1, count, -1, reserve, 0, kind == 1, kind == 2,
                      volname, "Disk", zutest::VolumeLab::prompt, nullptr, poll, &lab, sizes, 0,
                      index);
    }
    unsigned join(const std::string &out, int decompress = 1, const char *volname = "set",
                  const std::string &base = "0data.txt") {
        if (volname[0] != '\0') {
            zusdufu(0);
            lab.insert(lab.root + "/vol1");
        }
        zutest::copy_path(source_, std::string(owhtdsk) + "/" + base);
        return zucpjn(source_, out.c_str(), 1, 0, 0, decompress, 0, volname, "Disk",
                      zutest::VolumeLab::prompt, nullptr, nullptr, &lab, 0, 0, nullptr);
    }

    zutest::VolumeLab lab;
    char target_[ZUSD_PATHSZ] = {};
    char source_[ZUSD_PATHSZ] = {};
};

TEST_F(MultiVolume, ThreeVolumesBySizesTableJoinedBack) {
    std::mt19937 rng(11);
    const std::string text = sample(rng, 30000);
    const std::string src = source(text);
    volumes(3);
    const std::uint32_t sizes[3] = {2000, 3000, kRest};
    std::uint32_t index = 0;
    ASSERT_EQ(split(src, 3, sizes, &index), ZUSD_OK);
    EXPECT_EQ(index, 3u);
    // First, middle and last piece by their volume digits, each on its own
    // volume and within its size.
    EXPECT_LE(file_size(piece(1, '1')), 2000u);
    EXPECT_GT(file_size(piece(1, '1')), 1900u);
    EXPECT_LE(file_size(piece(2, '2')), 3000u);
    EXPECT_GT(file_size(piece(2, '2')), 2900u);
    EXPECT_GT(file_size(piece(3, '0')), 0u);
    EXPECT_LT(file_size(piece(3, '0')), ~0ull);
    EXPECT_FALSE(exists(piece(1, '2')));
    EXPECT_STREQ(target_, (lab.mnt + "/0data.txt").c_str());
    ASSERT_EQ(lab.calls.size(), 2u);
    EXPECT_EQ(lab.calls[0].volnum, 2u);
    EXPECT_EQ(lab.calls[1].volnum, 3u);
    EXPECT_EQ(lab.calls[0].wrong, 0);
    EXPECT_EQ(lab.calls[0].label, "Disk");
    // The source is not the engine's to remove.
    EXPECT_TRUE(exists(src));

    lab.calls.clear();
    const std::string out = lab.root + "/restored";
    ASSERT_EQ(join(out), ZUSD_OK);
    EXPECT_EQ(slurp(out), text);
    ASSERT_EQ(lab.calls.size(), 2u);
    EXPECT_EQ(lab.calls[0].volnum, 2u);
    EXPECT_EQ(lab.calls[1].volnum, 3u);
    EXPECT_STREQ(source_, (lab.mnt + "/0data.txt").c_str());
}

TEST_F(MultiVolume, WrongAndUnreadableVolumesAskAgain) {
    std::mt19937 rng(12);
    const std::string text = sample(rng, 12000);
    const std::string src = source(text);
    volumes(3);
    lab.volume("bad", "Set", "2x");
    int step = 0;
    // Asked for volume 2: first the unreadable one, then volume 3, then 2.
    lab.action = [&](zutest::VolumeLab &l, char *, unsigned volnum, int *cancel) {
        *cancel = 0;
        if (volnum == 2 && step == 0)
            l.insert(l.root + "/bad");
        else if (volnum == 2 && step == 1)
            l.insert(l.root + "/vol3");
        else
            l.insert(l.root + "/vol" + std::to_string(volnum));
        ++step;
    };
    const std::uint32_t sizes[2] = {1500, kRest};
    std::uint32_t index = 0;
    ASSERT_EQ(split(src, 2, sizes, &index), ZUSD_OK);
    ASSERT_EQ(lab.calls.size(), 3u);
    EXPECT_EQ(lab.calls[0].wrong, 0);
    EXPECT_EQ(lab.calls[1].wrong, 0);  // after the unparseable identification
    EXPECT_EQ(lab.calls[2].wrong, 1);  // after the wrong volume
    EXPECT_TRUE(exists(piece(2, '0')));
    EXPECT_FALSE(exists(piece(3, '0')));
    EXPECT_FALSE(exists(lab.root + "/bad/0data.txt_"));

    lab.calls.clear();
    step = 5;
    ASSERT_EQ(join(lab.root + "/restored"), ZUSD_OK);
    EXPECT_EQ(slurp(lab.root + "/restored"), text);
}

TEST_F(MultiVolume, CancelAtThePromptKeepsFinishedPieces) {
    std::mt19937 rng(13);
    const std::string src = source(sample(rng, 12000));
    volumes(3);
    lab.action = [](zutest::VolumeLab &, char *, unsigned, int *cancel) { *cancel = 1; };
    const std::uint32_t sizes[3] = {1500, 1500, kRest};
    std::uint32_t index = 0;
    EXPECT_EQ(split(src, 3, sizes, &index), ZUSD_CANCELLED);
    EXPECT_EQ(index, 1u);
    EXPECT_TRUE(exists(piece(1, '1')));
    EXPECT_FALSE(exists(piece(2, '2')));
    EXPECT_FALSE(exists(piece(1, '2')));
}

unsigned cancel_now(void *) {
    return ZUSD_CANCELLED;
}

TEST_F(MultiVolume, CancelDuringAPieceRemovesIt) {
    std::mt19937 rng(14);
    const std::string src = source(sample(rng, 12000));
    volumes(2);
    const std::uint32_t sizes[2] = {1500, kRest};
    std::uint32_t index = 0;
    EXPECT_EQ(split(src, 2, sizes, &index, 0, 1, cancel_now), ZUSD_CANCELLED);
    EXPECT_EQ(index, 0u);
    EXPECT_FALSE(exists(piece(1, '1')));
    EXPECT_TRUE(lab.calls.empty());
}

// Free space as the volume's file system reports it, through the seam.
std::uint32_t g_free_blocks = 0;
int small_fs(const char *, struct statvfs *st) {
    *st = {};
    st->f_bsize = st->f_frsize = 512;
    st->f_bavail = g_free_blocks;
    return 0;
}

TEST_F(MultiVolume, PiecesLimitedByFreeSpaceLessReserve) {
    std::mt19937 rng(15);
    const std::string text = sample(rng, 20000);
    const std::string src = source(text);
    volumes(3);
    // Find the compressed size, then give each volume a third of it and a bit.
    const std::uint64_t whole = whole_split(src, lab.root + "/whole");
    ASSERT_GT(whole, 3000u);
    const std::uint32_t reserve = 700;
    g_free_blocks = static_cast<std::uint32_t>((whole / 3 + 100 + reserve) / 512 + 1);
    const std::uint32_t limit = g_free_blocks * 512 - reserve;
    zusd_statvfs = small_fs;
    std::uint32_t index = 0;
    ASSERT_EQ(split(src, 3, nullptr, &index, reserve), ZUSD_OK);
    EXPECT_LE(file_size(piece(1, '1')), limit);
    EXPECT_LE(file_size(piece(2, '2')), limit);
    EXPECT_LE(file_size(piece(3, '0')), limit);
    EXPECT_EQ(file_size(piece(1, '1')) + file_size(piece(2, '2')) + file_size(piece(3, '0')),
              whole);

    // Too little space for the whole stream: the last piece is refused, and
    // the old last piece under its name is left as it was.
    const std::string last = slurp(piece(3, '0'));
    g_free_blocks = static_cast<std::uint32_t>((whole / 4 + reserve) / 512);
    index = 0;
    EXPECT_EQ(split(src, 3, nullptr, &index, reserve), ZUSD_WRERR);
    EXPECT_EQ(slurp(piece(3, '0')), last);
    zusd_statvfs = ::statvfs;
    ASSERT_EQ(unlink(piece(3, '0').c_str()), 0);

    ASSERT_EQ(join(lab.root + "/restored"), ZUSD_NOTFOUND);  // the set is incomplete
}

TEST_F(MultiVolume, JoinFindsTheWholeFileUnderItsPlainName) {
    std::mt19937 rng(16);
    const std::string text = sample(rng, 9000);
    const std::string src = source(text);
    volumes(1);
    ASSERT_LT(whole_split(src, lab.root + "/vol1/0data.txt"), ~0ull);
    lab.action = [](zutest::VolumeLab &, char *, unsigned, int *cancel) { *cancel = 1; };
    const std::string out = lab.root + "/restored";
    ASSERT_EQ(join(out), ZUSD_OK);
    EXPECT_EQ(slurp(out), text);
    EXPECT_TRUE(lab.calls.empty());                           // no further volume asked for
    EXPECT_STREQ(source_, (lab.mnt + "/0data.txt").c_str());  // digit unchanged
}

TEST_F(MultiVolume, MountPointChangedAtThePromptMovesThePieces) {
    std::mt19937 rng(17);
    const std::string text = sample(rng, 12000);
    const std::string src = source(text);
    volumes(3);
    const std::string moved = lab.root + "/mnt2";
    lab.action = [&](zutest::VolumeLab &l, char *location, unsigned volnum, int *cancel) {
        std::snprintf(location, ZUSD_VOLSETSZ, "%s\n", moved.c_str());
        l.insert(l.root + "/vol" + std::to_string(volnum));
        *cancel = 0;
    };
    const std::uint32_t sizes[3] = {1200, 1200, kRest};
    std::uint32_t index = 0;
    ASSERT_EQ(split(src, 3, sizes, &index), ZUSD_OK);
    EXPECT_STREQ(whtdsk, moved.c_str());
    EXPECT_STREQ(owhtdsk, lab.mnt.c_str());
    // The pieces reached their volumes through the new mount point.
    EXPECT_TRUE(exists(piece(1, '1')));
    EXPECT_TRUE(exists(piece(2, '2')));
    EXPECT_TRUE(exists(piece(3, '0')));
    EXPECT_TRUE(exists(moved));
    EXPECT_STREQ(target_, (lab.mnt + "/0data.txt").c_str());  // written for owhtdsk

    // The join, started at the new mount point, reads names written for the
    // old one there.
    const std::string out = lab.root + "/restored";
    zusdufu(0);
    ASSERT_EQ(join(out), ZUSD_OK);
    EXPECT_EQ(slurp(out), text);
}

// A volume that cannot take one code of what is left is refused with a
// report, leaves no piece and is not followed by a prompt for the next one.
// The least limit is exact: 4 for the encoder's first piece (its header byte
// comes first), 3 for a later one, 1 for a plain or decoder copy; the limit
// comes from the sizes table or from the free space less the reserve.
TEST_F(MultiVolume, VolumeTooSmallForOneCodeIsRefused) {
    std::mt19937 rng(19);
    const std::string src = source(sample(rng, 6000));
    ASSERT_LT(whole_split(src, src), ~0ull);  // src + "_" for the decoder
    const struct {
        int kind;
        std::vector<std::uint32_t> sizes;  // empty: 512 bytes free, less the reserve
        std::uint32_t reserve;
        int pieces;  // the volumes that got a piece; all of them when none is refused
    } rows[] = {
        {1, {1, kRest}, 0, 0},      {1, {3, kRest}, 0, 0},      {1, {4, kRest}, 0, 2},
        {1, {100, 2, kRest}, 0, 1}, {1, {100, 3, kRest}, 0, 3}, {0, {0, kRest}, 0, 0},
        {0, {1, 100, kRest}, 0, 3}, {1, {}, 511, 0},            {0, {}, 600, 0},
        {2, {0, kRest}, 0, 0},      {2, {1, kRest}, 0, 2},
        {1, {100000, 1, kRest}, 0, 3},  // all coded before: an empty piece by design
    };
    const std::string log_path = lab.root + "/err.log";
    zutest::LogTo log(log_path);
    g_free_blocks = 1;
    for (const auto &row : rows) {
        const auto count = static_cast<std::uint32_t>(row.sizes.empty() ? 2 : row.sizes.size());
        SCOPED_TRACE("row " + std::to_string(&row - rows));
        ASSERT_EQ(std::system(("rm -rf " + lab.root + "/vol* " + log_path).c_str()), 0);
        volumes(3);
        lab.calls.clear();
        zusd_statvfs = row.sizes.empty() ? small_fs : ::statvfs;
        std::uint32_t index = 0;
        const bool refused = row.pieces < static_cast<int>(count);
        EXPECT_EQ(split(src, count, row.sizes.empty() ? nullptr : row.sizes.data(), &index,
                        row.reserve, row.kind),
                  refused ? ZUSD_WRERR : ZUSD_OK);
        EXPECT_EQ(log.has("volume too small"), refused);
        EXPECT_EQ(static_cast<int>(lab.calls.size()), refused ? row.pieces : row.pieces - 1);
        for (std::uint32_t v = 1; v <= count; ++v) {
            const char digit = v == count ? '0' : static_cast<char>('0' + v);
            std::string name = piece(static_cast<int>(v), digit);
            if (row.kind != 1) name.pop_back();
            EXPECT_EQ(exists(name), static_cast<int>(v) <= row.pieces) << name;
        }
    }
}

// Random piece sizes, tiny ones included, for the encoder and the plain kind.
// Most rounds need no volume name, so no command runs and all pieces go to
// one directory; every fifth round goes through the mount commands.
TEST_F(MultiVolume, CutPointsEverywhere) {
    const std::string flat = lab.root + "/flat";
    ASSERT_EQ(mkdir(flat.c_str(), 0700), 0);
    std::mt19937 rng(20240611);
    for (int round = 0; round < 40; ++round) {
        const unsigned seed = static_cast<unsigned>(rng());
        SCOPED_TRACE("round " + std::to_string(round) + " seed " + std::to_string(seed));
        std::mt19937 r(seed);
        const std::string text = sample(r, 1 + r() % 5000);
        const std::string src = source(text);
        const int count = 2 + static_cast<int>(r() % 4);
        const int compress = round % 3 == 2 ? 0 : 1;
        const bool mounted = round % 5 == 0;
        std::vector<std::uint32_t> sizes;
        for (int i = 0; i + 1 < count; ++i) {
            // From the least limit that takes a code (see VolumeTooSmall...).
            const std::uint32_t least = compress == 0 ? 1 : i == 0 ? 4 : 3;
            const unsigned kind = r() % 3;
            sizes.push_back(least + (kind == 0 ? r() % 8 : kind == 1 ? r() % 64 : r() % 1500));
        }
        sizes.push_back(kRest);
        ASSERT_EQ(std::system(("rm -rf " + lab.root + "/vol* " + flat + "/*").c_str()), 0);
        const char *volname = mounted ? "Set" : "";
        if (mounted) {
            zutest::set(whtdsk, lab.mnt);
            zutest::set(owhtdsk, lab.mnt);
            volumes(count);
        } else {
            zutest::set(whtdsk, flat);
            zutest::set(owhtdsk, flat);
        }
        lab.calls.clear();
        std::uint32_t index = 0;
        ASSERT_EQ(split(src, static_cast<std::uint32_t>(count), sizes.data(), &index, 0, compress,
                        nullptr, volname, "xdata.txt"),
                  ZUSD_OK);
        ASSERT_EQ(index, static_cast<std::uint32_t>(count));
        for (int v = 1; v < count; ++v) {
            const char digit = static_cast<char>('0' + v);
            const std::string dir = mounted ? lab.root + "/vol" + std::to_string(v) : flat;
            const std::string name = dir + "/" + digit + "data.txt" + (compress ? "_" : "");
            EXPECT_LE(file_size(name), sizes[static_cast<std::size_t>(v - 1)]) << name;
        }
        const std::string out = lab.root + "/restored";
        unlink(out.c_str());
        ASSERT_EQ(join(out, compress, mounted ? "set" : "", "xdata.txt"), ZUSD_OK);
        ASSERT_EQ(slurp(out), text);
    }
}

// A real small file system where the machine allows one: a tmpfs on each
// volume, mounted in a private mount namespace of a child, so nothing outside
// the child ever sees it. Free space decides the cut points.
TEST_F(MultiVolume, RealSmallFileSystemWherePermitted) {
    std::mt19937 rng(18);
    const std::string text = sample(rng, 40000);
    const std::string src = source(text);
    volumes(3);
    const std::uint64_t size = whole_split(src, lab.root + "/whole");
    // Pages per volume: one for VOLUME.ID, the rest for more than a third of
    // the stream, so three volumes hold it and the first is filled.
    const std::uint64_t pages = size / 3 / 4096 + 2;
    const std::uint64_t room = (pages - 1) * 4096;
    const int code = zutest::run_in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return 77;
        const std::string opts = "size=" + std::to_string(pages * 4096);
        for (int v = 1; v <= 3; ++v) {
            const std::string dir = lab.root + "/vol" + std::to_string(v);
            const std::string id = slurp(dir + "/VOLUME.ID");
            if (mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0) return 77;
            spit(dir + "/VOLUME.ID", id);
        }
        std::uint32_t index = 0;
        const unsigned st = split(src, 3, nullptr, &index, 0);
        const std::uint64_t p1 = file_size(piece(1, '1')), p2 = file_size(piece(2, '2'));
        const std::uint64_t p3 = file_size(piece(3, '0'));
        // The first volume is filled; no piece is larger than its volume.
        const bool ok = st == ZUSD_OK && index == 3 && p1 <= room && p1 + 64 > room && p2 <= room &&
                        p3 <= room && p1 + p2 + p3 == size &&
                        join(lab.root + "/restored") == ZUSD_OK &&
                        slurp(lab.root + "/restored") == text;
        return ok ? 0 : 1;
    });
    if (code == 77) GTEST_SKIP() << "no private tmpfs mount on this machine";
    EXPECT_EQ(code, 0);
}

}  // namespace
