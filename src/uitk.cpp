// The toolkit's least layer for the help viewer launcher: presentation mode
// and handing the terminal to a child program. The character-mode toolkit
// draws nothing here, so suspending and resuming only flush and keep count.
#include "uitk.h"

#include <cstdio>

int uiapqp(void *app) {
    if (app == nullptr) return UIAP_CHARACTER;
    return static_cast<uiapcb *>(app)->mode;
}

int uiwssu(void *app) {
    // Output still buffered must reach the terminal before the child draws.
    std::fflush(stdout);
    std::fflush(stderr);
    if (app != nullptr) {
        auto *a = static_cast<uiapcb *>(app);
        a->suspended = 1;
        ++a->nsuspend;
        if (a->hook != nullptr) a->hook(a, UIWS_SUSPEND);
    }
    return 1;
}

int uiwsre(void *app, const uitxds *msg) {
    if (msg != nullptr && msg->len > 0 && msg->txt != nullptr)
        std::fprintf(stdout, "%.*s\n", static_cast<int>(msg->len), msg->txt);
    if (app != nullptr) {
        auto *a = static_cast<uiapcb *>(app);
        a->suspended = 0;
        ++a->nresume;
        a->msglen = msg != nullptr ? msg->len : -1;
        if (a->hook != nullptr) a->hook(a, UIWS_RESUME);
    }
    return 1;
}
