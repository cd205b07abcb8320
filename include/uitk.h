/* uitk.h - the least layer of the character-mode user-interface toolkit that
 * the help viewer launcher needs: the presentation mode of an application and
 * giving the terminal to a child program and taking it back.
 *
 * The application handle is opaque to its callers. A null handle stands for
 * the character-mode toolkit itself, which always answers mode 5. A non-null
 * handle is a `uiapcb` record: its `mode` is the answer (tests set 1 for a
 * graphical display), and it counts the suspensions and resumptions. */
#ifndef UITK_H
#define UITK_H

#include <cstdint>

/* Presentation modes answered by uiapqp. */
enum : int {
    UIAP_GRAPHICAL = 1, /* graphical display */
    UIAP_CHARACTER = 5, /* character terminal */
};

/* Text descriptor: a text and its length in bytes. */
struct uitxds {
    const char *txt;
    int32_t len;
};

/* Operations reported to an application's hook. */
enum : int {
    UIWS_SUSPEND = 1,
    UIWS_RESUME = 2,
};

/* Application record behind a non-null application handle. */
struct uiapcb {
    int mode;           /* what uiapqp answers */
    int suspended;      /* 1 while the terminal is given away */
    unsigned nsuspend;  /* calls of uiwssu */
    unsigned nresume;   /* calls of uiwsre */
    int32_t msglen;     /* length of the message last given to uiwsre, -1 for none */
    /* Called after each suspension or resumption; may be null. */
    void (*hook)(uiapcb *app, int op);
    void *user; /* free for the hook */
};

/* The presentation mode of the application: 5 character terminal, 1 graphical. */
int uiapqp(void *app);
/* Stop using the terminal (flush pending output) so that a child program can
 * have it. Returns 1. */
int uiwssu(void *app);
/* Take the terminal back after a child program; `msg` (may be null) holds a
 * message to show, none when its length is 0. Returns 1. */
int uiwsre(void *app, const uitxds *msg);

#endif /* UITK_H */
