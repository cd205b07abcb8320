/* zuhlpb.h - help viewer launcher: the help directory, the routing index from
 * help keys to pages, temporary pages, and the outside viewer programs. */
#ifndef ZUHLPB_H
#define ZUHLPB_H

/* Record the installer directory (the working directory at the first call);
 * later calls change nothing. The argument is not used. */
void zuhlpin(const char *dir);
/* Clean-up before exit: remove a temporary page this process wrote. */
void zuhlpcu(void);

#endif /* ZUHLPB_H */
