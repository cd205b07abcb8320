// Private to the copy engine: the name of a piece on a volume and the checks
// that the drivers share.
#ifndef SZUCP_PIECE_H
#define SZUCP_PIECE_H

#include "szucp.h"

// The name of the current piece: `base` (the source or target name, with its
// volume digit) with the mount point the names were written for (owhtdsk)
// replaced by the current one (whtdsk) in its leading directory, into `out`
// of ZUSD_PATHSZ bytes. 29 when a part does not fit.
unsigned zucppn(const char *base, char *out);

// Bounded copy of a whole path into a ZUSD_PATHSZ buffer; 29 (errno
// ENAMETOOLONG) when it does not fit.
unsigned zucpcy(char *out, const char *path);

#endif
