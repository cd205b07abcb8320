/* zuhlpb.h - help viewer launcher: the help directory, the routing index from
 * help keys to pages, temporary pages, and the outside viewer programs.
 *
 * The help directory is "helpdoc" in the installer directory (the working
 * directory at the first zuhlpin). Its file "routing.n" maps keys to page
 * names, one "key:value" line each. Pages are shown by the character-mode
 * viewer "gtrc" or the graphical viewer "gtr" from the installer directory;
 * the graphical one is driven over a TCP control connection on 127.0.0.1. */
#ifndef ZUHLPB_H
#define ZUHLPB_H

/* A help request, owned by the caller. */
struct zuhlprq {
    /* A help reference "?type key", or literal text to show; null or empty
     * for none. */
    const char *hlptxt;
    /* Title of a page made for literal text; may be null. */
    const char *title;
    /* The application's toolkit handle (uitk.h); only handed on. */
    void *app;
};

/* Record the installer directory (the working directory at the first call);
 * later calls change nothing. The argument is not used. */
void zuhlpin(const char *dir);
/* Clean-up before exit: remove a temporary page this process wrote and
 * release the routing index. */
void zuhlpcu(void);

/* Path of the page for a request (owned by this module, overwritten by the
 * next call). Builds the routing index when it is not built yet. Literal
 * text gives the temporary page made from the "ON_THE_FLY" template; a
 * missing key gives the "NO_HELP_AVAILABLE" page. Null, with a line on
 * standard error, when the module is not initialised, no page is defined, or
 * the path would not fit its buffer. A routing file or template that cannot
 * be read ends the process with status 1. */
const char *zulkup(const zuhlprq *req);
/* Write the temporary page from the template `tmpl` of the help directory:
 * lines holding "PUT_TITLE_HERE" get the title (or are dropped without one),
 * every "%s" becomes the help directory, and the request's text follows the
 * line holding "ON_THE_FLY". The page is created exclusively and owner-only,
 * never through a link; when its name is taken by a file that is not this
 * process's page, it gets another unique one ("tvxinst<pid>_XXXXXX.html" in
 * the same directory). Returns the page's path, or null (with a line on
 * standard error and no page left behind) when a path or a composed line
 * would not fit its buffer. */
const char *zubldhtml(const zuhlprq *req, const char *tmpl);

/* Show the page for a request in a viewer: 0 when the page was handed to a
 * viewer, 1 when it could not be (no page, no viewer could be started, the
 * control connection could not be set up). On a character terminal the
 * character-mode viewer runs until the user leaves it; on a graphical display
 * the graphical viewer is started once and told later pages over its control
 * connection, and started again when it has gone away. The help text "exit"
 * closes a running graphical viewer (and starts none). A page path holding a
 * double quote, CR or LF is refused (1): it cannot be put in a command. */
int zusd(const zuhlprq *req);

/* ---- Test seams -------------------------------------------------------- */

/* Pauses after starting the graphical viewer and between connection
 * attempts, in milliseconds (defaults 6000 and 2000). */
void zuhlpps(unsigned start_ms, unsigned retry_ms);

/* A read-only view of the module state. */
struct zuhlpvw {
    const char *tvxinst_path;
    const char *zuhlp_path;
    const char *zuspyglass;
    const char *zulynx;
    const char *zutmphtml;
    int tmphtml_created;
    int nhentry; /* slots of the routing index, 0 when not built */
    int bpid;    /* the running viewer, -1 for none */
    int sock;    /* the control connection, -1 when closed */
    const char *port_s;
};
void zuhlpqs(zuhlpvw *view);

#endif /* ZUHLPB_H */
