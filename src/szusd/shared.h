// Private to the system services: opening a file that sits in a directory
// other users may write, and the directory that holds a path.
#ifndef SZUSD_SHARED_H
#define SZUSD_SHARED_H

#include <string>

#include <sys/types.h>

// Opens `path` with `flags` (the access mode and what else the caller wants,
// such as O_APPEND or O_CLOEXEC), never through a symbolic link at its name
// and without hanging on a FIFO planted there. A missing file is created
// exclusively with `mode` (less the umask); when another process creates it
// in between, that file is opened instead. -1 with errno set on failure
// (ELOOP for a link). Only async-signal-safe calls, so a child between fork
// and exec may use it.
int zusdox(const char *path, int flags, mode_t mode);

// The directory that holds `path`: the text before its last '/', "/" for a
// name directly under the root, "." for a bare name.
std::string zusdhd(const char *path);

#endif
