/* szusdu.h - the system services' companion module: users, groups, ownership
 * and platform checks, and the state behind the volume mount commands. */
#ifndef SZUSDU_H
#define SZUSDU_H

#include "szusd.h"

/* ---- Users, groups, ownership and platform checks ---------------------- */

#include <sys/types.h> /* uid_t, gid_t, mode_t */

struct passwd;
struct group;

/* File attributes applied by zusdia. Each field may be null or empty, which
 * leaves that attribute as it is. */
struct zusdfat {
    const char *owner; /* user name of the new owner */
    const char *group; /* name of the new group */
    const char *mode;  /* permission bits as octal text, e.g. "644" */
};

/* The system calls of this section, reached through one table so that tests
 * can count lookups or make a call fail with a chosen errno. Assigning a
 * member replaces that call; zusdu_sys_default holds the system's own. */
struct zusdu_calls {
    struct passwd *(*getpwnam)(const char *name);
    struct group *(*getgrnam)(const char *name);
    struct group *(*getgrgid)(gid_t gid);
    int (*getgroups)(int size, gid_t *list);
    int (*chmod)(const char *path, mode_t mode);
    int (*chown)(const char *path, uid_t owner, gid_t group);
};
extern zusdu_calls zusdu_sys;
extern const zusdu_calls zusdu_sys_default;
/* Forget the user and group entries that zusdia keeps from its last lookups. */
void zusdu_forget(void);

/* *isroot <- 1 when the effective user is the superuser, else 0. Returns 0. */
unsigned zusduir(int *isroot);
/* *isdir <- 1 when path is a directory. Status: 0; stat failures map
 * ENOENT -> 22, EACCES -> 27, ENOTDIR -> 23, anything else -> 29. */
unsigned zusduid(const char *path, int *isdir);
/* *ischr <- 1 when path is a character device; status as zusduid. */
unsigned zusdurf(const char *path, int *ischr);
/* *home <- heap copy of the user's home directory (caller frees).
 * 30 for an unknown user, 5 without memory. */
unsigned zusduhd(const char *user, char **home);
/* *name <- heap copy of the name of the user's primary group (caller frees).
 * 30 for an unknown user, 31 for an unknown group, 5 without memory. */
unsigned zusdugn(const char *user, char **name);
/* Supplementary groups of the process: *count and *list, a heap array of
 * *count group numbers (null when there are none; caller frees). 29 when the
 * system cannot tell, or the number does not fit the 16-bit count; 5
 * without memory. */
unsigned zusdugl(uint16_t *count, gid_t **list);
/* *name <- heap copy of the name of group list[index] (caller frees).
 * 31 when there is no such group, 5 without memory. */
unsigned zusdugi(uint16_t index, const gid_t *list, char **name);
/* Apply the permission bits, then owner and group, of `attributes` to path.
 * A null record does nothing. User and group entries found last are kept,
 * so repeated calls for the same names look them up once.
 * Status: 30 unknown user, 31 unknown group; chmod failures map EPERM,
 * EACCES -> 27, ENOENT, ENOTDIR -> 22, EIO, EROFS -> 21; chown failures the
 * same except EIO -> 29; anything else 29. "/dev/null" keeps its bits. */
unsigned zusdia(const char *path, const zusdfat *attributes);
/* *ok <- 1 when the real user owns, or the real group is the group of, the
 * directory that will hold path (path is cut in place at its last '/'; a
 * path without '/' is tested against the current directory). A path that
 * does not exist yet is fine; other stat failures give 0. Returns 0. */
unsigned zusdugw(char *path, int *ok);
/* 0 when the language-support boot file can be read, 1 otherwise (also
 * when neither TVX_NLS32 nor TALVEX_HOME is set, or the path is too long). */
int zusdcheckbt(void);
/* Point the language support at dir (TVX_NLS32=dir), or remove TVX_NLS32
 * for a null dir. The entry stays valid until the next call. Returns 0, or
 * 5 when the environment could not be changed. */
unsigned zusdset_tvx_nls(const char *dir);
/* Translate name into out (room for size bytes, terminated): zusdtr7 as an
 * environment value, zusdtr6 as a logical name. 0 when found, 6 when the
 * name is not defined, 29 when it cannot be translated (or does not fit). */
unsigned zusdtr7(const char *name, char *out, unsigned size);
unsigned zusdtr6(const char *name, char *out, unsigned size);

/* Portable operations that have no work to do on this platform. */
unsigned zusdos(void); /* the six below return 29: not provided */
unsigned zusdev(void);
unsigned zusdfv(void);
unsigned zusdtp(void);
unsigned zusdtb(void);
unsigned zusdcb(void);
unsigned zusdpa(void); /* the five below return 0 */
unsigned zusdra(void);
unsigned zusdoc(void);
unsigned zusdcc(void);
unsigned zusdis(void);
int zusdwdg(void); /* returns 1 */
/* *out <- 0, return 0. */
unsigned zusddb(const char *a, const char *b, const char *c, long *out);
unsigned zusdsq(const char *a, const char *b, const char *c, long *out);
/* errno <- 0, *out <- 0, return 0. */
unsigned zusdii(const char *a, long *out);
/* Copy the path `from` into `to` (a 2048-byte path buffer). zusdep returns
 * 0, or 7 (to left empty) when from does not fit; zusdp2v returns the
 * number of characters copied, 0 (to left empty) when from does not fit. */
unsigned zusdep(const char *from, char *to);
unsigned zusdp2v(const char *from, char *to);
/* Outputs <- 2, 2, 30, 2, 0, 30; returns 2. */
int zusdws(int *a, int *b, int *c, int *d, int *e, int *f);
/* Copy n bytes from `from` to `to`; returns n. */
unsigned zusdmc(void *to, const void *from, unsigned n);
void zusdpi(void); /* the five do nothing */
void zusdbk(void);
void zusdsb(void);
void zusdci(void);
void zusdvrm(void);

/* ---- Volume mount commands --------------------------------------------- */

/* The last mount and unmount command lines built (ZUSD_VOLSETSZ bytes each);
 * zusdufm(1) and zusdufu(1) run them again. Owned by szusdu. */
extern char prevmnt[ZUSD_VOLSETSZ];
extern char prevumnt[ZUSD_VOLSETSZ];
/* zusdufm and zusdufu are declared with the volume services in szusd.h. */

#endif /* SZUSDU_H */
