// Help viewer launcher: installer directory and help paths.
#include "zuhlpb.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {
char tvxinst_path[512];
char zuhlp_path[512];
char zuspyglass[512];
char zulynx[512];
char zutmphtml[512];
}  // namespace

void zuhlpin(const char * /*dir*/) {
    if (tvxinst_path[0] != '\0') return;
    const char *tmp = std::getenv("TMPDIR");
    if (tmp == nullptr) tmp = "/tmp";
    if (getcwd(tvxinst_path, sizeof tvxinst_path) == nullptr) {
        tvxinst_path[0] = '\0';
        return;
    }
    // A directory too long for the derived paths leaves the module unset
    // rather than holding cut (and so wrong) paths.
    if (std::strlen(tvxinst_path) + sizeof "/helpdoc" > sizeof zuhlp_path) {
        tvxinst_path[0] = '\0';
        return;
    }
    std::string_view dir(tvxinst_path);
    std::memcpy(zuhlp_path, dir.data(), dir.size());
    std::memcpy(zuhlp_path + dir.size(), "/helpdoc", sizeof "/helpdoc");
    std::memcpy(zuspyglass, dir.data(), dir.size());
    std::memcpy(zuspyglass + dir.size(), "/gtr", sizeof "/gtr");
    std::memcpy(zulynx, dir.data(), dir.size());
    std::memcpy(zulynx + dir.size(), "/gtrc", sizeof "/gtrc");
    if (std::snprintf(zutmphtml, sizeof zutmphtml, "%.480s/tvxinst%d.html", tmp, (int)getpid()) >=
        (int)sizeof zutmphtml)
        zutmphtml[0] = '\0';
}

void zuhlpcu(void) {}
