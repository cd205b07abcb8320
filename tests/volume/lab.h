// A drive with removable volumes for the tests: each volume is a directory
// with its VOLUME.ID; the mount and unmount settings run the stand-in scripts
// of this directory through the shell, which make the mount point a symbolic
// link to the volume "in the drive". The prompt callback swaps volumes as a
// user would.
#ifndef ZU_TESTS_VOLUME_LAB_H
#define ZU_TESTS_VOLUME_LAB_H

#include "szusd.h"
#include "szusdu.h"
#include "../testutil.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace zutest {

// The lab is also the copy engine's callback argument, which reads the
// fifth 32-bit word of that record as "do not copy permission bits": the
// record starts with five zero words.
class VolumeLab {
  public:
    std::uint32_t cbwords[5] = {};

    // Action taken at each prompt: may change the drive, the mount point in
    // `location`, and must set *cancel.
    using Action = std::function<void(VolumeLab &, char *location, unsigned volnum, int *cancel)>;

    // The lab in the directory `at`, its settings process-wide: made in the
    // child of a test.
    explicit VolumeLab(const std::string &at) : root(at), state(at + "/state"), mnt(at + "/mnt") {
        EXPECT_EQ(mkdir(state.c_str(), 0700), 0);
        EXPECT_TRUE(setup_item("set:whtdsk=" + mnt));
        EXPECT_TRUE(setup_item("set:owhtdsk=" + mnt));
        const std::string scripts = "/bin/sh " ZU_TEST_SOURCE_DIR "/volume/";
        EXPECT_TRUE(setup_item("set:mntcmd=" + scripts + "mount.sh " + state));
        EXPECT_TRUE(setup_item("set:umntcmd=" + scripts + "umount.sh " + state));
        EXPECT_TRUE(setup_item("set:floppylog=" + state + "/floppy.log"));
    }

    // Makes volume `n` of the set "Set" in the directory vol<n>.
    void volume(int n) const {
        const std::string dir = root + "/vol" + std::to_string(n);
        mkdir(dir.c_str(), 0700);
        spit(dir + "/VOLUME.ID", "FLOPPY = " + std::to_string(n) + "\nVOLNAME = Set\n");
    }

    // The volume in the drive (none for an empty name), and the scripts' record of their calls.
    void insert(const std::string &dir) { spit(state + "/drive", dir); }
    std::string log() const { return slurp(state + "/log"); }

    // Records each call as label/volnum/platform/wrong, and "/w" when the
    // location is whtdsk itself.
    static void prompt(void *context, char *location, const char *label, unsigned volnum,
                       const char *platform, int *cancel, int wrong) {
        auto &lab = *static_cast<VolumeLab *>(context);
        lab.calls.push_back(words(shown(label) + "/" + std::to_string(volnum) + "/" +
                                  shown(platform) + "/" + std::to_string(wrong) +
                                  (location == whtdsk ? "/w" : "")));
        *cancel = 1;  // a callback that forgets its action gives up
        if (lab.action) lab.action(lab, location, volnum, cancel);
    }

    const std::string root, state, mnt;
    std::vector<std::string> calls;
    Action action;
};

}  // namespace zutest

#endif  // ZU_TESTS_VOLUME_LAB_H
