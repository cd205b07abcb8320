/* szusd.h - the installer's portable system services: status codes, the
 * error log, stream macros, path names, definition files, volumes, file
 * status and times, processes and the environment.
 *
 * Every service returns a status code (0 for success) unless noted, logs a
 * failing system call once through zusderr, and hands further results back
 * through out-parameters. Sections below are grouped by concern. */
#ifndef SZUSD_H
#define SZUSD_H

#include <cstdarg>
#include <cstdint>
#include <cstdio>

/* ---- Status codes ------------------------------------------------------ */

enum : unsigned {
    ZUSD_OK = 0,         /* success */
    ZUSD_EOF = 1,        /* end of input while reading a token */
    ZUSD_NOMEM = 5,      /* memory allocation failed */
    ZUSD_UNDEFINED = 6,  /* name not defined (environment or definition file) */
    ZUSD_TOOLONG = 7,    /* token does not fit, or malformed delimiter specification */
    ZUSD_CANCELLED = 8,  /* the user cancelled a volume prompt */
    ZUSD_RDERR = 20,     /* input cannot be opened or read */
    ZUSD_WRERR = 21,     /* output cannot be written */
    ZUSD_NOTFOUND = 22,  /* no such file, directory or volume; wrong volume */
    ZUSD_NOMORE = 23,    /* no more directory entries; path without a file name */
    ZUSD_DENIED = 27,    /* permission denied */
    ZUSD_SYSERR = 29,    /* any other system failure */
    ZUSD_NOUSER = 30,    /* no such user name */
    ZUSD_NOGROUP = 31,   /* no such group name */
};

/* errno -> status: ENOENT, ENOTDIR -> 22; EACCES -> 27; anything else -> 29. */
unsigned zusdes(int err);
/* The mapping used for times and file comparison: EPERM, EACCES -> 27;
 * ENOENT, ENOTDIR -> 22; EIO, EROFS -> 21; anything else -> 29. */
unsigned zusdest(int err);

/* ---- Error log --------------------------------------------------------- */

/* Process-wide log settings: the log file (heap copy, null when off) and the
 * mask of record classes written (errors are class 1). */
extern char *zusdlg_filename;
extern unsigned zusdlg_level;

/* Configure the log: 1 when configured, 0 for a null path or no memory. */
int zusdlg(const char *path, unsigned level);
/* Open the log for one record of class `mask`; null when it is not wanted.
 * Configures the log from ZU_ERRORLOG (level 7) while none is set. */
FILE *zusdla(unsigned mask);
/* Append one error record; errno is the same after the call as before. */
int zusderr(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* ---- Stream macros ----------------------------------------------------- */

typedef FILE *ZUSDFILE;
#define ZUSDFN ((FILE *)nullptr)
#define ZUSDEO EOF
#define ZUSDORB(path) std::fopen((path), "r")
#define ZUSDOWB(path) std::fopen((path), "w")
#define ZUSDOAB(path) std::fopen((path), "a+")
#define ZUSDRB(file, buffer, count) std::fread((buffer), 1, (count), (file))
#define ZUSDWB(file, buffer, count) std::fwrite((buffer), 1, (count), (file))
#define ZUSDPC(c, file) std::putc((c), (file))
#define ZUSDUC(c, file) std::ungetc((c), (file))
#define ZUSDFR(file) std::ferror(file)

/* ---- Path names -------------------------------------------------------- */
/* (path splitting and joining, volume digits, current directory) */

/* ---- File status, removal, times and directories ----------------------- */

#include <ctime>
/* Store the current time at *t and return it. */
time_t zusdgd(time_t *t);
/* Format *t as local time into text (at least 21 bytes): sortable layout when
 * `sortable` is non-zero, else "%m/%d/%y %I:%M:%S %p". Returns the length. */
int zusddu(const time_t *t, char *text, int sortable);

/* ---- Definition files and environment lookup --------------------------- */

/* ---- Definition-file update and environment setting -------------------- */

/* ---- Processes, shell and interrupts ----------------------------------- */

/* ---- Volumes and removable media --------------------------------------- */

#endif /* SZUSD_H */
