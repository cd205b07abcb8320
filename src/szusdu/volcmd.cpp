// The mount and unmount commands of removable volumes: the command line is
// built from the setting and the mount point, kept for a later re-run, and
// run through the shell with its error output sent to the floppy log.
#include "szusdu.h"
#include "zutx.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

char prevmnt[ZUSD_VOLSETSZ] = "/etc/mount -r /dev/dsk/f0q18dt /mnt";
char prevumnt[ZUSD_VOLSETSZ] = "/usr/bin/umnt /mnt";

namespace {

// Builds "<command> '<mount point>'" into `line` unless `reuse` asks for
// the last line again, then runs it. The command is a shell line of the
// installer's settings; the mount point, which the user may type at the
// prompt, is quoted as one word, so no blank, ';' or '$(...)' in it is read
// by the shell. A line that does not fit is not run at all: cut short it
// would be another command. `line` keeps its last value in that case.
int run_volume_command(const char *op, char (&line)[ZUSD_VOLSETSZ], const char *command,
                       int reuse) {
    if (!reuse) {
        char built[ZUSD_VOLSETSZ];
        const int n = std::snprintf(built, sizeof built, "%s ", command);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof built ||
            zusdqw(built, sizeof built, whtdsk) != ZUSD_OK) {
            errno = E2BIG;
            zusderr("%s: command line for %s does not fit %zu bytes; not run.", op, whtdsk,
                    sizeof built);
            return -1;
        }
        std::memcpy(line, built, std::strlen(built) + 1);
    }

    // A file system cannot be unmounted (or mounted over) while it is the
    // working directory.
    char cwd[ZUSD_VOLSETSZ];
    if (zusdwd(cwd, sizeof cwd) == ZUSD_OK && zutxsm(cwd, whtdsk, 65535)) zusdsd("/");

    int code = 0;
    if (zusdsp(line, "", floppylog, &code) != ZUSD_OK) return -1;
    return code;
}

}  // namespace

int zusdufm(int reuse) {
    return run_volume_command("zusdufm", prevmnt, mntcmd, reuse);
}

int zusdufu(int reuse) {
    return run_volume_command("zusdufu", prevumnt, umntcmd, reuse);
}
