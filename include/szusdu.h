/* szusdu.h - the system services' companion module: users, groups, ownership
 * and platform checks, and the state behind the volume mount commands. */
#ifndef SZUSDU_H
#define SZUSDU_H

#include "szusd.h"

/* ---- Users, groups, ownership and platform checks ---------------------- */

/* ---- Volume mount commands --------------------------------------------- */

#endif /* SZUSDU_H */
