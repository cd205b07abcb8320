// Volume services: mount and unmount commands run through the shell, the
// identification check, the prompt loop with its last-attempt flag, settings
// loading, free space and block size (real and through the statvfs seam), and
// the console prompt's bounded read.
#include "szusd.h"
#include "szusdu.h"
#include "volume/lab.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/statvfs.h>
#include <sys/wait.h>

namespace {

using zutest::exists;
using zutest::slurp;
using zutest::spit;

class Volume : public ::testing::Test {
  protected:
    void SetUp() override { lab.SetUp(); }
    void TearDown() override { lab.TearDown(); }
    zutest::VolumeLab lab;
};

TEST_F(Volume, EmptyVolumeNameRunsNothing) {
    const unsigned n = 1;
    EXPECT_EQ(zusdfgv(nullptr, "", &n), ZUSD_OK);
    EXPECT_EQ(zusdfgv(nullptr, nullptr, &n), ZUSD_OK);
    EXPECT_FALSE(exists(lab.state + "/log"));
}

TEST_F(Volume, RightVolumeStaysMountedWrongOneIsUnmounted) {
    lab.insert(lab.volume("v", "disks", "2"));
    unsigned n = 2;
    ASSERT_EQ(zusdfgv(nullptr, "DISKS", &n), ZUSD_OK);
    EXPECT_EQ(lab.log(), "mount " + lab.mnt + "\n");
    EXPECT_TRUE(exists(lab.mnt + "/VOLUME.ID"));
    EXPECT_STREQ(prevmnt, (std::string(mntcmd) + " " + lab.mnt).c_str());

    lab.clear_log();
    n = 3;
    EXPECT_EQ(zusdfgv(nullptr, "disks", &n), ZUSD_NOTFOUND);
    EXPECT_EQ(lab.log(), "mount " + lab.mnt + "\numount " + lab.mnt + "\n");
    EXPECT_FALSE(exists(lab.mnt));
    n = 2;
    EXPECT_EQ(zusdfgv(nullptr, "other", &n), ZUSD_NOTFOUND);
}

TEST_F(Volume, BadIdentifications) {
    const unsigned n = 2;
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
    ASSERT_EQ(lab.calls.size(), 3u);
    // First call: the caller's flag; after the unparseable one 0; after the
    // wrong one 1.
    EXPECT_EQ(lab.calls[0].wrong, 0);
    EXPECT_EQ(lab.calls[1].wrong, 0);
    EXPECT_EQ(lab.calls[2].wrong, 1);
    for (const auto &c : lab.calls) {
        EXPECT_EQ(c.label, "Disk");
        EXPECT_EQ(c.volnum, 2u);
        EXPECT_EQ(c.platform, "Unix");
        EXPECT_TRUE(c.location_is_whtdsk);
    }
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

TEST_F(Volume, MountingFromInsideTheMountPointLeavesItFirst) {
    const std::string mp = lab.root + "/busy";
    ASSERT_EQ(mkdir(mp.c_str(), 0700), 0);
    fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        setpgid(0, 0);
        if (chdir(mp.c_str()) != 0) _exit(2);
        std::memcpy(whtdsk, mp.c_str(), mp.size() + 1);
        zusdufm(0);
        char cwd[64];
        _exit(getcwd(cwd, sizeof cwd) != nullptr && std::string(cwd) == "/" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(lab.log(), "mount " + mp + "\n");
}

// A variable store of names and texts for the settings loader.
struct Store {
    std::map<std::string, const char *> values;
    std::vector<std::string> events;
    std::string keyname[8];
    int nkeys = 0;
};
void *store_key(void *s, void *, const char *name) {
    auto &st = *static_cast<Store *>(s);
    st.keyname[st.nkeys] = name;
    return &st.keyname[st.nkeys++];
}
void *store_find(void *s, void *, void *key, void *, void *) {
    static_cast<Store *>(s)->events.push_back("find " + *static_cast<std::string *>(key));
    return key;
}
int store_present(void *s, void *h) {
    return static_cast<Store *>(s)->values.count(*static_cast<std::string *>(h)) ? 1 : 0;
}
void *store_value(void *, void *h) {
    return h;
}
const char *store_text(void *s, void *v) {
    return static_cast<Store *>(s)->values[*static_cast<std::string *>(v)];
}
void store_release(void *s, void *v) {
    static_cast<Store *>(s)->events.push_back("release " + *static_cast<std::string *>(v));
}

TEST_F(Volume, SettingsLoadedFromTheStore) {
    Store st;
    st.values["default_floppy_location"] = "/media/floppy/";
    st.values["default_mount_command"] = "mount -t vfat /dev/fd0";
    st.values["default_unmount_command"] = nullptr;  // present without text
    st.values["floppy_install_log"] = "/var/log/fl.log";
    const std::string umnt_before = umntcmd;
    EXPECT_EQ(zusdvi(&st, nullptr, store_find, store_key, nullptr, nullptr, store_present,
                     store_value, store_text, store_release),
              ZUSD_OK);
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
    EXPECT_EQ(zusdvi(&big, nullptr, store_find, store_key, nullptr, nullptr, store_present,
                     store_value, store_text, store_release),
              ZUSD_TOOLONG);
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
    std::uint32_t bytes = 0;
    fake(4096, (5ull << 30) / 4096);
    ASSERT_EQ(zusdfs("/x", &bytes), ZUSD_OK);
    EXPECT_EQ(bytes, 0xFFFFFFFFu);
    fake(4096, 1ull << 62);  // the product itself overflows 64 bits
    ASSERT_EQ(zusdfs("/x", &bytes), ZUSD_OK);
    EXPECT_EQ(bytes, 0xFFFFFFFFu);
    fake(1024, 3);
    ASSERT_EQ(zusdfs("/x", &bytes), ZUSD_OK);
    EXPECT_EQ(bytes, 3072u);
    fake(1024, 3, EACCES);
    EXPECT_EQ(zusdfs("/x", &bytes), ZUSD_DENIED);
    EXPECT_EQ(bytes, 0u);
}

TEST_F(FreeSpace, SizeOnDiskRoundsToWholeBlocks) {
    fake(512, 0);
    EXPECT_EQ(zusdcs("/x", 0), 0u);
    EXPECT_EQ(zusdcs("/x", 1), 512u);
    EXPECT_EQ(zusdcs("/x", 512), 512u);
    EXPECT_EQ(zusdcs("/x", 513), 1024u);
    EXPECT_EQ(zusdcs("/x", 0xFFFFFF01u), 0xFFFFFFFFu);
    fake(0, 0);
    EXPECT_EQ(zusdcs("/x", 513), 513u);
    fake(512, 0, ENOENT);
    EXPECT_EQ(zusdcs("/x", 513), 513u);
}

// ---- console prompt --------------------------------------------------------

TEST_F(Volume, ConsolePromptReadsOnlyWhatFits) {
    const std::string in = lab.root + "/answers", out = lab.root + "/screen";
    spit(in, "/media/a-very-long-answer\n/mnt/b\n");
    fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        setpgid(0, 0);
        const int i = open(in.c_str(), O_RDONLY);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (i < 0 || o < 0 || dup2(i, 0) != 0 || dup2(o, 1) != 1) _exit(2);
        char answer[12];
        std::memset(answer, '#', sizeof answer);
        char guard[4] = {'#', '#', '#', '#'};
        zusdfvp(answer, "/mnt", "Disk", 3, 8);
        bool ok = std::string(answer) == "/media/" && answer[8] == '#' && guard[0] == '#';
        zusdfvp(answer, "/mnt", "Disk", 4, 8);
        ok = ok && std::string(answer) == "/mnt/b";
        zusdfvp(answer, "/mnt", "Disk", 5, 8);  // end of input: empty answer
        ok = ok && answer[0] == '\0';
        fflush(stdout);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(slurp(out),
              "Insert disk to be labeled 'Disk 3' into '/mnt': "
              "Insert disk to be labeled 'Disk 4' into '/mnt': "
              "Insert disk to be labeled 'Disk 5' into '/mnt': ");
}

}  // namespace
