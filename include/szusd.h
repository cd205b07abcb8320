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
    ZUSD_TOOLONG = 7,    /* token does not fit, or malformed delimiter pattern */
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
/* The mapping used for renames: ENOENT, ENOTDIR -> 22; EIO, EBUSY, EINVAL,
 * EROFS -> 21; EACCES -> 27; anything else -> 29. */
unsigned zusdesm(int err);

/* ---- Error log --------------------------------------------------------- */

/* Process-wide log settings: the log file (heap copy, null when off) and the
 * mask of record classes written (errors are class 1). */
extern char *zusdlg_filename;
extern unsigned zusdlg_level;

/* Configure the log: 1 when configured, 0 for a null path or no memory. */
int zusdlg(const char *path, unsigned level);
/* Open the log for one record of class `mask`; null when it is not wanted.
 * Configures the log from ZU_ERRORLOG (level 7) while none is set. The log
 * is appended to, never through a symbolic link at its name (no record is
 * written then); a new one is created exclusively, owner-only (0600). */
FILE *zusdla(unsigned mask);
/* Append one error record; errno is the same after the call as before. */
int zusderr(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Nonzero in a thread whose records are dropped: the codec's worker threads,
 * whose failures the calling thread reports itself. */
extern thread_local int zusdquiet;

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
/* A path is handled as four parts: lead (the directory of an absolute path),
 * dir (the directory of a relative path), base (the last component without
 * its extension) and ext (the text after the extension dot). The buffers for
 * the parts and for whole paths have the sizes below; a part or path that
 * does not fit is refused with ZUSD_SYSERR and one log record, and the
 * caller's buffers are never overrun. */

enum : unsigned {
    ZUSD_PATHSZ = 2048, /* whole path, terminator included */
    ZUSD_LEADSZ = 256,  /* lead part */
    ZUSD_DIRSZ = 256,   /* dir part */
    ZUSD_BASESZ = 256,  /* base part, and a directory entry's name */
    ZUSD_EXTSZ = 20,    /* ext part */
};

/* Split `path` (null counts as empty) into the four parts. On ZUSD_SYSERR
 * all four parts are empty. */
unsigned zusdup(const char *path, char *lead, char *dir, char *base, char *ext);
/* Join the parts into `out` (ZUSD_PATHSZ bytes); any part may be null.
 * On ZUSD_SYSERR `out` is empty. `out` may be one of the parts. */
unsigned zusdcm(char *out, const char *lead, const char *dir, const char *base, const char *ext);
/* Compressed-file name: append `_` to ext, or to base when ext is empty.
 * Leaves both unchanged and returns ZUSD_SYSERR when the result would not fit. */
unsigned zusdcf(char *base, char *ext);
/* Set the volume digit of the base name held in `path` (ZUSD_PATHSZ bytes):
 * toggle gives '1' (or '2' after '1'), else reset gives '0', else the digit
 * is incremented. ZUSD_NOMORE when the base name has no digit position;
 * `path` is unchanged on any failure. */
unsigned zusdfsf(char *path, int toggle, int reset);
/* Normalise a typed path: backslashes become slashes, trailing blanks (space,
 * tab, newline) are cut. */
void zusdpt(char *path);
/* Drop one trailing `/` from a path of two or more characters; returns the
 * length before. */
unsigned zusddr(char *path);
/* Current working directory into `buffer` of `size` bytes. */
unsigned zusdwd(char *buffer, uint16_t size);
/* Change the working directory (an empty path changes nothing). */
unsigned zusdsd(const char *path);
/* Replace the directory in `path` (ZUSD_PATHSZ bytes) by its absolute form;
 * the working directory is the same afterwards. */
unsigned zusdcr(char *path);
/* Set `path` to the empty string. */
void zusdfd(char *path);
/* Operations with no effect on this platform. */
void zusdsv(void);
void zusdud(const char *location = nullptr);
void zusdur(void);

/* ---- File status, removal, times and directories ----------------------- */

#include <ctime>
#include <dirent.h>

/* Copy callbacks: progress(context, amount), result ignored; poll(context),
 * whose non-zero result stops a copy and becomes its status. */
typedef int (*zusdprog)(void *context, uint32_t amount);
typedef unsigned (*zusdpoll)(void *context);

/* Existence (access mode 0): *exists 1 or 0; a missing path or a path under
 * a plain file is 0 with status 0. */
unsigned zusdex(const char *path, int *exists);
unsigned zusdpx(const char *path, int *exists);
/* *isdir 1 for a directory, else 0. Not logged. */
unsigned zusdft(const char *path, int *isdir);
/* File size in bytes; 0xFFFFFFFF for a file of 4 GiB or more. */
unsigned zusdfz(const char *path, uint32_t *size);
/* *newer 1 when the modification time of `second` is at least that of
 * `first`. */
unsigned zusdet(const char *first, const char *second, int *newer);
/* Give `to` the access and modification times of `from`. */
unsigned zusdct(const char *from, const char *to);
/* Set the low eight permission bits of `path` to *mode; the bits above stay.
 * A missing path counts as success. Not logged. */
unsigned zusdfp(const char *path, const unsigned char *mode);
/* Remove a file; a file that is not there counts as removed. */
unsigned zusdrm(const char *path);
/* Remove a file only when it is empty. */
unsigned zusdrn(const char *path);
/* Remove a directory; a missing or non-empty directory counts as success. */
unsigned zusdrr(const char *path);
/* Create a directory and its missing parents with mode 0775. */
unsigned zusdmd(const char *path);
/* Rename `from` to `to`; across file systems, copy with zusdcp and remove
 * `from`. `length` is reported to `progress` (rounded to whole blocks). */
unsigned zusdmv(const char *from, const char *to, uint32_t x, uint32_t length, zusdprog progress,
                uint32_t y, void *context);
/* Plain copy of `from` to `to` through the copy engine, no volumes. */
unsigned zusdcp(const char *from, const char *to, uint32_t x, uint32_t length, zusdprog progress,
                uint32_t y, void *context);
/* Directory listings: open (a and b set to 0), next entry without "." and
 * "..", rewind, close. zusdnx copies the entry's name into `name`
 * (ZUSD_BASESZ bytes), its size (saturated like zusdfz) and directory flag;
 * ZUSD_NOMORE at the end. */
unsigned zusdod(DIR **handle, const char *path, uint32_t *a, uint32_t *b);
unsigned zusdnx(DIR **handle, const char *dir, uint32_t x, char *name, uint32_t *size, int *isdir);
unsigned zusdrs(DIR **handle, uint32_t x, uint32_t *position);
unsigned zusdcd(DIR **handle);

/* Store the current time at *t and return it. */
time_t zusdgd(time_t *t);
/* Format *t as local time into text (at least 21 bytes): sortable layout when
 * `sortable` is non-zero, else "%m/%d/%y %I:%M:%S %p". Returns the length. */
int zusddu(const time_t *t, char *text, int sortable);
/* Length of the display text of *t. */
int zusddl(const time_t *t);
/* Parse display text into *t and return it; (time_t)-1 when it does not
 * parse. */
time_t zusddp(time_t *t, const char *text);
/* The parser behind zusddp: "m/d/y h:m:s AM|PM" into *tm (layout not read).
 * 0, or ZUSD_SYSERR for text of another form. */
unsigned zusdbt(const char *text, const char *layout, struct tm *tm);
/* *to = *from. */
void zusddc(time_t *to, const time_t *from);

/* ---- Definition files and environment lookup --------------------------- */

/* A definition file holds lines of name, delimiter and value. A delimiter
 * pattern names the delimiter and whether blanks around it count:
 * "" (NUL: the name is the whole line), "X", " X", "X ", " X "; null means
 * " = ". Names compare with ASCII letters folded. */

/* Look `name` up in `file` (or the environment when file is null or empty)
 * and copy its value into `out` of `size` bytes. An empty name lists the
 * names that have values, each NUL-terminated, the list ended by one more
 * NUL. 0, or 6 not defined, 7 too long/malformed pattern, 20 unreadable,
 * 23 no file name, 29 other failure or unsupported platform, 5 no memory. */
unsigned zusdtr(const char *name, const char *file, const char *delims, char *out,
                std::uint16_t size);
unsigned zusdtrp(const char *name, const char *file, const char *delims, char *out,
                 std::uint16_t size, const char *platform);
/* Read one token ended by `delimiter` (a space delimiter also takes a tab)
 * or the end of the line into `token` of `size` bytes; `raw` (also `size`
 * bytes) receives the characters read without the newline, which is left on
 * the stream. Blanks are dropped from the token unless `keep`. 0, 1 at end
 * of file, 7 when the token or the raw line does not fit, 29 on error. */
unsigned zusdgt(FILE *stream, char delimiter, int keep, char *token,
                std::uint16_t size, char *raw);
/* Decode a delimiter pattern (null means " = "); 7 when malformed. */
unsigned zusddd(const char *delims, char *delimiter, int *nameblanks,
                int *valueblanks);
/* 1 when `platform` suits this program's platform ("unix"), else 0. */
int zusdcdp(const char *platform);
/* List the [section] names of a .ini file into `out` of `size` bytes, each
 * NUL-terminated, the list ended by one more NUL. */
unsigned zusdfc(const char *file, char *out, std::uint16_t size);

/* ---- Definition-file update and environment setting -------------------- */

/* Set `name` to `value` in the definition file `file` (null pattern means "="),
 * or in the environment when `file` is null. An empty or null value removes
 * the entry; an empty name appends `value` as a free line. Every change is
 * written to a work file "<base>.x1z.XXXXXX" (created exclusively, unique)
 * which replaces the file atomically, keeping its permission bits and,
 * where possible, its owner. 0, or 5, 7, 20 (file unreadable), 21, 29. */
unsigned zusdmy(const char *name, const char *value, const char *file,
                const char *delims);
/* Updates of one file are serialised by a lock on "<base>.x1z.lck" beside
 * it; an update that waits more than zusdmy_wait milliseconds (5000) for
 * the lock fails with 21 and one log record. The rename that puts the new
 * content in place goes through zusd_rename (rename); a test may point it
 * elsewhere to stop an updater at that moment. */
extern unsigned zusdmy_wait;
extern int (*zusd_rename)(const char *from, const char *to);
/* Write one entry line: name, the delimiter unless NUL, the value unless
 * null, a newline. 21 when a character cannot be written. */
unsigned zusdal(FILE *stream, const char *name, char delimiter, const char *value);

/* ---- Processes, shell and interrupts ----------------------------------- */

/* Run `command` through /bin/sh -c with standard input from /dev/null and
 * standard output and error appended to outpath and errpath (null or empty
 * means /dev/null; equal names share one descriptor; never through a
 * symbolic link at their names; created exclusively with 0640 when new).
 * 0 with the command's exit code in *exitcode; 29 when it could not be run
 * or ended abnormally. */
unsigned zusdsp(const char *command, const char *outpath, const char *errpath,
                int *exitcode);
/* Run `command` with system(); 0 with its exit code, 29 when the call fails
 * or the command is empty. */
unsigned zusdsy(const char *command, int *exitcode);
/* Run the user's shell (_OSHELL, else SHELL, else /bin/sh). */
unsigned zusdsh(void);
/* Append `word` to the command line `line` (`size` bytes, terminated) as one
 * shell word: in single quotes, each ' written as '\''. 0, or 7 with `line`
 * unchanged when the result would not fit. */
unsigned zusdqw(char *line, std::size_t size, const char *word);

/* Shutdown hooks, set once by the user interface; empty hooks are skipped.
 * The first word of uicntxt is the current window. */
typedef void (*zusduishtdn)(void *uicntxt, int how);
typedef void (*zusdtkshtdn)(void *toolkit);
typedef void (*zusdwnshtdn)(void *toolkit, void *window);
typedef void (*zusdmmngrse)(void *memmngr);
extern void *uicntxt;
extern void *toolkit;
extern void *memmngr;
extern zusduishtdn uishtdn;
extern zusdtkshtdn tkshtdn;
extern zusdwnshtdn wnshtdn;
extern zusdmmngrse mmngrse;

/* Store the hooks and install zusdst for the interrupt signal. */
void zusdss(void *context, void *tk, void *mm, zusduishtdn uidown,
            zusdtkshtdn tkdown, zusdwnshtdn wndown, zusdmmngrse mmreset);
/* Install zusdsl (zusdsa) or zusdst (zusdsr) for the interrupt signal. */
void zusdsa(void);
void zusdsr(void);
/* Interrupt handler: close the window, shut the toolkit and the user
 * interface down, clean up and end the process with status 0. */
void zusdst(int sig);
/* Interrupt handler: reset the memory manager and stay installed. */
void zusdsl(int sig);
/* Final clean-up: ignore interrupts, interrupt the whole process group, and
 * remove the help module's temporary page. */
void zusdcu(void);
/* Print a message pair, plain or inside the installer's support text. */
void zusdms(const char *first, const char *second, int plain);
/* The system's text for errno (errno then set to 0), or null. */
const char *zusdio(void);

/* ---- Volumes and removable media --------------------------------------- */

#include <cstddef>

/* Size of each volume setting and command-line buffer. */
inline constexpr std::size_t ZUSD_VOLSETSZ = 2048;

/* Process-wide volume settings (each ZUSD_VOLSETSZ bytes, NUL-terminated):
 * whtdsk   the mount point of the removable volume ("/mnt"); the volume
 *          prompt may change it;
 * owhtdsk  the mount point for which target paths were written ("/mnt");
 *          the copy engine replaces it by whtdsk inside paths;
 * mntcmd   the mount command without the mount point;
 * umntcmd  the unmount command without the mount point;
 * floppylog  the file receiving the commands' error output ("" = none). */
extern char whtdsk[ZUSD_VOLSETSZ];
extern char owhtdsk[ZUSD_VOLSETSZ];
extern char mntcmd[ZUSD_VOLSETSZ];
extern char umntcmd[ZUSD_VOLSETSZ];
extern char floppylog[ZUSD_VOLSETSZ];

/* Volume prompt callback: context word, the mount point whtdsk as an editable
 * buffer of ZUSD_VOLSETSZ bytes, the label text, the volume number wanted,
 * the platform word "Unix", the cancel flag (set on every call, non-zero to
 * give up) and a flag that is 1 when the previous attempt found a wrong
 * volume or none could be read, 0 otherwise. */
typedef void (*zusdvpfn)(void *context, char *location, const char *label,
                         unsigned volnum, const char *platform, int *cancel,
                         int wrong);

/* Run the mount (unmount) command on whtdsk through the shell, standard
 * output discarded, standard error to floppylog. With `reuse` set the last
 * command line is run again. Returns the command's exit status, or -1 when
 * it could not be run (command line too long for its buffer, no process,
 * abnormal end). Defined in szusdu. */
int zusdufm(int reuse);
int zusdufu(int reuse);

/* Check the volume in the drive: mounts it and compares its VOLUME.ID
 * (FLOPPY number, VOLNAME name) with volname and *volnum. 0 when it is the
 * right one (left mounted); 22 when wrong or unreadable, 29 when its number
 * cannot be parsed (both unmounted). An empty volname returns 0 at once. */
unsigned zusdfgv(const char *path, const char *volname, const unsigned *volnum);
/* Check the volume, prompting until it is right: 0, or 8 when the prompt
 * cancels. `resave` records each volume's identity; `wrong` is the prompt's
 * first last-attempt flag. */
unsigned zusdfcv(const char *path, const char *volname, const char *label,
                 unsigned volnum, int resave, zusdvpfn prompt, void *context,
                 int wrong);
/* Record a volume's identity: nothing to do on this platform; returns 0. */
unsigned zusdfsv(const char *volname, unsigned volnum);
/* The file-system status call behind zusdfs and zusdbs (statvfs); a test
 * may point it elsewhere to stand in for a small or failing file system. */
struct statvfs;
extern int (*zusd_statvfs)(const char *path, struct statvfs *st);
/* Free bytes on the file system holding path; the same as zusdfs. */
unsigned zusdfpv(const char *path, long word, std::uint32_t *freebytes);
/* Free bytes available to unprivileged users, saturated at 0xFFFFFFFF. */
unsigned zusdfs(const char *path, std::uint32_t *freebytes);
/* Fragment (block) size of the file system holding path. */
unsigned zusdbs(const char *path, std::uint32_t *size);
/* `length` rounded up to whole blocks of path's file system (unchanged when
 * the block size is unknown; saturated at 0xFFFFFFFF). */
std::uint32_t zusdcs(const char *path, std::uint32_t length);
/* Console prompt for a volume: writes the request to standard output and
 * reads one line (its newline removed) into `answer` of `size` bytes. */
void zusdfvp(char *answer, const char *location, const char *label, long volnum,
             std::size_t size = ZUSD_VOLSETSZ);

/* Installer variable store callbacks for zusdvi; every one takes the store
 * as its first argument. */
typedef void *(*zusdvikey)(void *store, void *scope, const char *name);
typedef void *(*zusdvifind)(void *store, void *scope, void *key, void *a, void *b);
typedef int (*zusdvipresent)(void *store, void *handle);
typedef void *(*zusdvivalue)(void *store, void *handle);
typedef const char *(*zusdvitext)(void *store, void *value);
typedef void (*zusdvirelease)(void *store, void *value);
/* Load the settings "default_floppy_location", "default_mount_command",
 * "default_unmount_command" and "floppy_install_log" from the store. A text
 * that does not fit its setting is refused (the setting keeps its value) and
 * the result is 7; otherwise 0. */
unsigned zusdvi(void *store, void *scope, zusdvifind find, zusdvikey key, void *a,
                void *b, zusdvipresent present, zusdvivalue value, zusdvitext text,
                zusdvirelease release);

#endif /* SZUSD_H */
