// Volume services: mount and unmount commands run through the shell, the
// identification check, the prompt loop with its last-attempt flag, settings
// loading, free space and block size (real and through the statvfs seam), and
// the console prompt's bounded read.
#include "szusd.h"
#include "szusdu.h"
#include "volume/lab.h"

#include <fcntl.h>
#include <map>
#include <sys/statvfs.h>

namespace {

using zutest::exists;
using zutest::run_in_child;
using zutest::slurp;
using zutest::spit;

class Volume : public ::testing::Test {
  protected:
    void SetUp() override { lab.SetUp(); }
    void TearDown() override { lab.TearDown(); }
    zutest::VolumeLab lab;
};

TEST_F(Volume, RightVolumeStaysMountedWrongOneIsUnmounted) {
    lab.insert(lab.volume("v", "disks", "2"));
    unsigned n = 2;
    ASSERT_EQ(zusdfgv(nullptr, "DISKS", &n), ZUSD_OK);
    EXPECT_EQ(lab.log(), "mount " + lab.mnt + "\n");
    EXPECT_TRUE(exists(lab.mnt + "/VOLUME.ID"));
    EXPECT_STREQ(prevmnt, (std::string(mntcmd) + " '" + lab.mnt + "'").c_str());

    lab.clear_log();
    n = 3;
    EXPECT_EQ(zusdfgv(nullptr, "disks", &n), ZUSD_NOTFOUND);
    EXPECT_EQ(lab.log(), "mount " + lab.mnt + "\numount " + lab.mnt + "\n");
    EXPECT_FALSE(exists(lab.mnt));
    n = 2;
    EXPECT_EQ(zusdfgv(nullptr, "other", &n), ZUSD_NOTFOUND);
}

TEST_F(Volume, NoNameAndBadIdentifications) {
    const unsigned n = 2;
    // No volume name to check: nothing is run.
    EXPECT_EQ(zusdfgv(nullptr, "", &n), ZUSD_OK);
    EXPECT_EQ(zusdfgv(nullptr, nullptr, &n), ZUSD_OK);
    EXPECT_FALSE(exists(lab.state + "/log"));
    lab.insert(lab.volume("noname", "", "2"));
    EXPECT_EQ(zusdfgv(nullptr, "set", &n), ZUSD_NOTFOUND);
    lab.insert(lab.volume("nonumber", "set", "two"));
    EXPECT_EQ(zusdfgv(nullptr, "set", &n), ZUSD_SYSERR);
    EXPECT_FALSE(exists(lab.mnt));
    // The size parser's multipliers apply to the number too.
    lab.insert(lab.volume("kilo", "set", "2K"));
    const unsigned k = 2048;
    EXPECT_EQ(zusdfgv(nullptr, "set", &k), ZUSD_OK);
    // An empty drive: the mount fails, its message goes to the floppy log.
    lab.eject();
    EXPECT_EQ(zusdfgv(nullptr, "set", &n), ZUSD_NOTFOUND);
    EXPECT_NE(slurp(floppylog).find("no volume in the drive"), std::string::npos);
    // Never written through a link at its name: the command is not run.
    spit(lab.state + "/victim", "keep");
    ASSERT_EQ(unlink(floppylog), 0);
    ASSERT_EQ(symlink((lab.state + "/victim").c_str(), floppylog), 0);
    lab.clear_log();
    EXPECT_EQ(zusdufm(0), -1);
    EXPECT_EQ(slurp(lab.state + "/victim"), "keep");
    EXPECT_FALSE(exists(lab.state + "/log"));
}

TEST_F(Volume, PromptLoopReportsWhyTheLastAttemptFailed) {
    const std::string bad = lab.volume("bad", "Set", "x");
    const std::string wrong = lab.volume(3);
    const std::string right = lab.volume(2);
    lab.eject();
    int step = 0;
    lab.action = [&](zutest::VolumeLab &l, char *, unsigned, int *cancel) {
        *cancel = 0;
        l.insert(step == 0 ? bad : step == 1 ? wrong : right);
        ++step;
    };
    ASSERT_EQ(zusdfcv(nullptr, "set", "Disk", 2, 1, zutest::VolumeLab::prompt, &lab, 0), ZUSD_OK);
    // First call: the caller's flag; after the unparseable one 0; after the
    // wrong one 1.
    std::vector<int> flags;
    for (const auto &c : lab.calls) {
        flags.push_back(c.wrong);
        EXPECT_EQ(c.label, "Disk");
        EXPECT_EQ(c.volnum, 2u);
        EXPECT_EQ(c.platform, "Unix");
        EXPECT_TRUE(c.location_is_whtdsk);
    }
    EXPECT_EQ(flags, (std::vector<int>{0, 0, 1}));
    EXPECT_TRUE(exists(lab.mnt + "/VOLUME.ID"));

    lab.calls.clear();
    zusdufu(0);
    lab.eject();
    step = 0;
    EXPECT_EQ(zusdfcv(nullptr, "set", "Disk", 2, 0, zutest::VolumeLab::prompt, &lab, 1), ZUSD_OK);
    ASSERT_GE(lab.calls.size(), 1u);
    EXPECT_EQ(lab.calls[0].wrong, 1);  // the caller's initial flag
}

TEST_F(Volume, CancelAndNoPrompt) {
    lab.eject();
    lab.action = [](zutest::VolumeLab &, char *, unsigned, int *cancel) { *cancel = 1; };
    EXPECT_EQ(zusdfcv(nullptr, "set", "L", 1, 1, zutest::VolumeLab::prompt, &lab, 0),
              ZUSD_CANCELLED);
    EXPECT_EQ(lab.calls.size(), 1u);
    EXPECT_EQ(zusdfcv(nullptr, "set", "L", 1, 1, nullptr, nullptr, 0), ZUSD_CANCELLED);
    lab.insert(lab.volume(1));
    EXPECT_EQ(zusdfcv(nullptr, "set", "L", 1, 1, nullptr, nullptr, 0), ZUSD_OK);
    EXPECT_EQ(zusdfsv("set", 1), ZUSD_OK);
}

TEST_F(Volume, MountPointTypedAtThePrompt) {
    const std::string other = lab.root + "/mnt2";
    lab.insert(lab.volume(1));
    lab.clear_log();
    // The drive holds volume 1, but the command mounts at the old place
    // until the user names the new one (with a stray newline and blanks).
    spit(lab.state + "/drive", "");
    lab.action = [&](zutest::VolumeLab &l, char *location, unsigned, int *cancel) {
        std::snprintf(location, ZUSD_VOLSETSZ, "%s \t\n", other.c_str());
        l.insert(l.root + "/vol1");
        *cancel = 0;
    };
    ASSERT_EQ(zusdfcv(nullptr, "set", "L", 1, 0, zutest::VolumeLab::prompt, &lab, 0), ZUSD_OK);
    EXPECT_STREQ(whtdsk, other.c_str());
    EXPECT_TRUE(exists(other + "/VOLUME.ID"));
    EXPECT_STREQ(owhtdsk, lab.mnt.c_str());
}

TEST_F(Volume, ReuseRunsTheLastLineAgain) {
    EXPECT_EQ(zusdufm(0), 32);  // nothing in the drive: the script's status
    EXPECT_EQ(zusdufu(0), 1);
    const std::string first_mount = prevmnt, first_umount = prevumnt;
    zutest::set(whtdsk, lab.root + "/elsewhere");
    zusdufm(1);
    zusdufu(1);
    EXPECT_STREQ(prevmnt, first_mount.c_str());
    EXPECT_STREQ(prevumnt, first_umount.c_str());
    EXPECT_EQ(lab.log(), "mount " + lab.mnt + "\numount " + lab.mnt + "\nmount " + lab.mnt +
                             "\numount " + lab.mnt + "\n");
}

TEST_F(Volume, OverLongCommandLineIsNotRun) {
    const std::string before = prevmnt;
    // Command and mount point fit their settings, the line does not.
    zutest::set(mntcmd, "/bin/sh " ZU_TEST_SOURCE_DIR "/volume/mount.sh " + lab.state + " " +
                            std::string(1900, 'x'));
    zutest::set(whtdsk, lab.root + "/" + std::string(200, 'm'));
    EXPECT_EQ(zusdufm(0), -1);
    EXPECT_STREQ(prevmnt, before.c_str());
    EXPECT_FALSE(exists(lab.state + "/log"));
}

// A mount point is one word of the command line whatever it holds: the
// script gets it whole, and the shell runs nothing of it.
TEST_F(Volume, MountPointReachesTheCommandAsOneWord) {
    const std::string mp = lab.root + "/x y;touch z'$(touch w)";
    EXPECT_EQ(run_in_child([&] {
                  ASSERT_EQ(chdir(lab.root.c_str()), 0);
                  zutest::set(whtdsk, mp);
                  EXPECT_EQ(zusdufm(0), 32);  // the drive is empty
                  zusdufu(0);
              }),
              0);
    EXPECT_EQ(lab.log(), "mount " + mp + "\numount " + mp + "\n");
    EXPECT_FALSE(exists(lab.root + "/z") || exists(lab.root + "/w"));
}

TEST_F(Volume, MountingFromInsideTheMountPointLeavesItFirst) {
    const std::string mp = lab.root + "/busy";
    ASSERT_EQ(mkdir(mp.c_str(), 0700), 0);
    EXPECT_EQ(run_in_child([&] {
                  ASSERT_EQ(chdir(mp.c_str()), 0);
                  zutest::set(whtdsk, mp);
                  zusdufm(0);
                  char cwd[64];
                  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
                  EXPECT_STREQ(cwd, "/");
              }),
              0);
    EXPECT_EQ(lab.log(), "mount " + mp + "\n");
}

// A variable store of names and texts for the settings loader: keys,
// handles and values are all the name itself.
struct Store {
    std::map<std::string, const char *> values;
    std::vector<std::string> events;
    std::string keyname[8];
    int nkeys = 0;

    static Store &of(void *s) { return *static_cast<Store *>(s); }
    static const std::string &name(void *key) { return *static_cast<std::string *>(key); }
    static void *key(void *s, void *, const char *text) {
        of(s).keyname[of(s).nkeys] = text;
        return &of(s).keyname[of(s).nkeys++];
    }
    static void *find(void *s, void *, void *key, void *, void *) {
        of(s).events.push_back("find " + name(key));
        return key;
    }
    static int present(void *s, void *h) { return of(s).values.count(name(h)) ? 1 : 0; }
    static void *value(void *, void *h) { return h; }
    static const char *text(void *s, void *v) { return of(s).values[name(v)]; }
    static void release(void *s, void *v) { of(s).events.push_back("release " + name(v)); }
    unsigned load() {
        return zusdvi(this, nullptr, find, key, nullptr, nullptr, present, value, text, release);
    }
};

TEST_F(Volume, SettingsLoadedFromTheStore) {
    Store st;
    st.values["default_floppy_location"] = "/media/floppy/";
    st.values["default_mount_command"] = "mount -t vfat /dev/fd0";
    st.values["default_unmount_command"] = nullptr;  // present without text
    st.values["floppy_install_log"] = "/var/log/fl.log";
    const std::string umnt_before = umntcmd;
    EXPECT_EQ(st.load(), ZUSD_OK);
    EXPECT_STREQ(mntcmd, "mount -t vfat /dev/fd0");
    EXPECT_STREQ(umntcmd, umnt_before.c_str());
    EXPECT_STREQ(floppylog, "/var/log/fl.log");
    EXPECT_STREQ(whtdsk, lab.mnt.c_str());  // the location does not move it
    EXPECT_EQ(st.events, (std::vector<std::string>{
                             "find default_floppy_location", "find default_mount_command",
                             "find default_unmount_command", "find floppy_install_log",
                             "release default_floppy_location", "release default_mount_command",
                             "release floppy_install_log"}));

    // A text too long for its setting is refused whole, never cut.
    const std::string huge(ZUSD_VOLSETSZ, 'c');
    Store big;
    big.values["default_mount_command"] = huge.c_str();
    EXPECT_EQ(big.load(), ZUSD_TOOLONG);
    EXPECT_STREQ(mntcmd, "mount -t vfat /dev/fd0");
}

// ---- free space and block size ---------------------------------------------

struct statvfs g_fake {};
int g_fake_errno = 0;
int fake_statvfs(const char *, struct statvfs *st) {
    if (g_fake_errno != 0) {
        errno = g_fake_errno;
        return -1;
    }
    *st = g_fake;
    return 0;
}

class FreeSpace : public ::testing::Test {
  protected:
    void TearDown() override { zusd_statvfs = ::statvfs; }
    void fake(unsigned long frsize, unsigned long long avail, int err = 0) {
        g_fake = {};
        g_fake.f_frsize = frsize;
        g_fake.f_bsize = frsize;
        g_fake.f_bavail = avail;
        g_fake_errno = err;
        zusd_statvfs = fake_statvfs;
    }
};

TEST_F(FreeSpace, RealFileSystem) {
    std::uint32_t bytes = 0, block = 0;
    ASSERT_EQ(zusdfs("/tmp", &bytes), ZUSD_OK);
    ASSERT_EQ(zusdbs("/tmp", &block), ZUSD_OK);
    EXPECT_GT(block, 0u);
    std::uint32_t same = 1;
    EXPECT_EQ(zusdfpv("/tmp", -1, &same), ZUSD_OK);
    bytes = 7;
    block = 7;
    EXPECT_EQ(zusdfs("/no/such/path", &bytes), ZUSD_NOTFOUND);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(zusdbs("/no/such/path", &block), ZUSD_NOTFOUND);
    EXPECT_EQ(block, 0u);
}

TEST_F(FreeSpace, SaturatesAboveFourGigabytes) {
    const struct {
        unsigned long frsize;
        unsigned long long avail;
        int err;
        unsigned status;
        std::uint32_t bytes;
    } cases[] = {{4096, (5ull << 30) / 4096, 0, ZUSD_OK, 0xFFFFFFFFu},
                 {4096, 1ull << 62, 0, ZUSD_OK, 0xFFFFFFFFu},  // the product overflows 64 bits
                 {1024, 3, 0, ZUSD_OK, 3072},
                 {1024, 3, EACCES, ZUSD_DENIED, 0}};
    for (const auto &c : cases) {
        fake(c.frsize, c.avail, c.err);
        std::uint32_t bytes = 7;
        EXPECT_EQ(zusdfs("/x", &bytes), c.status) << c.frsize << " x " << c.avail;
        EXPECT_EQ(bytes, c.bytes) << c.frsize << " x " << c.avail;
    }
}

// Whole blocks, saturating; the length itself when the block size is unknown.
TEST_F(FreeSpace, SizeOnDiskRoundsToWholeBlocks) {
    const struct {
        unsigned long frsize;
        int err;
        std::uint32_t length, on_disk;
    } cases[] = {{512, 0, 0, 0},      {512, 0, 1, 512},
                 {512, 0, 512, 512},  {512, 0, 513, 1024},
                 {512, 0, 0xFFFFFF01u, 0xFFFFFFFFu},
                 {0, 0, 513, 513},    {512, ENOENT, 513, 513}};
    for (const auto &c : cases) {
        fake(c.frsize, 0, c.err);
        EXPECT_EQ(zusdcs("/x", c.length), c.on_disk) << c.frsize << " " << c.err << " " << c.length;
    }
}

// ---- console prompt --------------------------------------------------------

TEST_F(Volume, ConsolePromptReadsOnlyWhatFits) {
    const std::string in = lab.root + "/answers", out = lab.root + "/screen";
    spit(in, "/media/a-very-long-answer\n/mnt/b\n");
    // Its standard output is the screen under test: the child reports by exit code.
    const int code = run_in_child([&] {
        const int i = open(in.c_str(), O_RDONLY);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (i < 0 || o < 0 || dup2(i, 0) != 0 || dup2(o, 1) != 1) return 2;
        char answer[12];
        std::memset(answer, '#', sizeof answer);
        zusdfvp(answer, "/mnt", "Disk", 3, 8);
        const bool first = std::string(answer) == "/media/" && answer[8] == '#';
        zusdfvp(answer, "/mnt", "Disk", 4, 8);
        const bool second = std::string(answer) == "/mnt/b";
        zusdfvp(answer, "/mnt", "Disk", 5, 8);  // end of input: empty answer
        return first && second && answer[0] == '\0' ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(slurp(out),
              "Insert disk to be labeled 'Disk 3' into '/mnt': "
              "Insert disk to be labeled 'Disk 4' into '/mnt': "
              "Insert disk to be labeled 'Disk 5' into '/mnt': ");
}

}  // namespace
