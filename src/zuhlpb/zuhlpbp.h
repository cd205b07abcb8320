/* zuhlpbp.h - private to the help module: the state shared by the index
 * (index.cpp) and the launcher (launcher.cpp). Not a public header. */
#ifndef ZUHLPBP_H
#define ZUHLPBP_H

#include <sys/types.h>

namespace zuhlpb_state {

/* Paths fixed at the first zuhlpin; empty until then. */
extern char tvxinst_path[512];
extern char zuhlp_path[512];
extern char zuspyglass[512];
extern char zulynx[512];
extern char zutmphtml[512];
extern int tmphtml_created;
extern int nhentry;

/* Launcher state, defined in launcher.cpp. */
extern pid_t bpid;
extern int sock;
extern char port_s[16];

/* Build the routing index; ends the process on failure. */
void zuinhtbl();

}  // namespace zuhlpb_state

#endif /* ZUHLPBP_H */
