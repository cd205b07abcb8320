// The help viewer launcher: shows a page in the character-mode viewer (which
// has the terminal until it ends) or in the graphical viewer, started once
// and then told each further page over a TCP control connection on the
// loopback address 127.0.0.1, which no other host can reach.
//
// The control port is bound by the launcher itself and stays bound: the
// viewer inherits the bound socket as descriptor 3 (named in its environment
// as ZU_HELP_CONTROL_FD=3) and listens on it, so that no other program can
// take the port between its choice and the viewer's start. "-sdi" still
// names the port.
//
// Control commands, one line each, answered by the viewer:
//   OpenURL,3,"file:<page>",,1,1,,,0,1\r\n     show a page
//   Exit,0\r\n                                 close the viewer
#include "zuhlpb.h"

#include "uitk.h"
#include "zuhlpbp.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace zuhlpb_state {
pid_t bpid = -1;
int sock = -1;
char port_s[16];
}  // namespace zuhlpb_state

using namespace zuhlpb_state;

namespace {

constexpr int dft_port_id = 7710;
constexpr int kPortsTried = 100;
constexpr int kConnectAttempts = 5;

sockaddr_in sock_addr;
const linger sock_linger = {0, 0};
char urlf[512];
char page_arg[4096]; /* the page path handed to the character-mode viewer */
char opt_sdi[] = "-sdi";
char opt_url[] = "-url";
char *args[6];
const uitxds msg = {"", 0};

unsigned start_pause_ms = 6000;
unsigned retry_pause_ms = 2000;
/* The bound control socket chosen by zugsn, until the viewer has it. */
int port_sock = -1;
/* Where the viewer finds the control socket. */
constexpr int kControlFd = 3;
char control_env[] = "ZU_HELP_CONTROL_FD=3";

void pause_ms(unsigned ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void drop_connection() {
    if (sock != -1) close(sock);
    sock = -1;
}

/* Whether the viewer bpid has ended (and is reaped), asked without waiting;
 * a failed query counts as ended. */
bool viewer_ended() {
    int status;
    return waitpid(bpid, &status, WNOHANG) != 0;
}

/* Send all of a command. MSG_NOSIGNAL turns a write to a connection the
 * viewer has closed into EPIPE instead of a SIGPIPE that would end the
 * installer. Returns 0, or -1 with errno set. */
int send_all(int fd, const char *data, size_t len) {
    while (len > 0) {
        const ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

void drop_port() {
    if (port_sock != -1) close(port_sock);
    port_sock = -1;
}

/* Choose the control port: the first of 7710..7809 that can be bound on
 * 127.0.0.1. The bound socket is kept in port_sock for the viewer. Sets
 * port_s ("0" when none) and the port of sock_addr. */
void zugsn() {
    std::memset(&sock_addr, 0, sizeof sock_addr);
    sock_addr.sin_family = AF_INET;
    sock_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    drop_connection();
    drop_port();
    int port = 0;
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        std::perror("socket()");
    } else {
        int p = dft_port_id;
        for (; p < dft_port_id + kPortsTried; ++p) {
            sock_addr.sin_port = htons(static_cast<uint16_t>(p));
            if (bind(probe, reinterpret_cast<const sockaddr *>(&sock_addr), sizeof sock_addr) == 0)
                break;
        }
        if (p == dft_port_id + kPortsTried) {
            std::perror("zugetport");
            close(probe);
        } else {
            port = p;
            port_sock = probe;
        }
    }
    sock_addr.sin_port = htons(static_cast<uint16_t>(port));
    std::snprintf(port_s, sizeof port_s, "%d", port);
}

/* A page path goes into the control command between double quotes and the
 * command ends at CR LF: a path holding either could end the URL early or
 * add commands of its own. */
bool unsafe_page(const char *page) {
    return std::strpbrk(page, "\"\r\n") != nullptr;
}

/* Start a viewer for a page: 0 when a viewer process was started, -1 when
 * none could be. In character mode the viewer has ended again on return. */
int zusb(const zuhlprq *req, const char *page) {
    void *const app = req != nullptr ? req->app : nullptr;
    if (bpid == -1) zugsn();
    const int mode = uiapqp(app);
    if (mode == UIAP_CHARACTER) {
        const int n = std::snprintf(page_arg, sizeof page_arg, "%s", page);
        if (n < 0 || static_cast<size_t>(n) >= sizeof page_arg) {
            std::fprintf(stderr, "Talvex Installer: help page path too long: %s\n", page);
            return -1;
        }
        if (setenv("LYNX_HELP", zuhlp_path, 1) != 0) {
            std::perror("setenv");
            return -1;
        }
        args[0] = zulynx;
        args[1] = page_arg;
        args[2] = nullptr;
        uiwssu(app);
    } else if (mode == UIAP_GRAPHICAL) {
        const int n = std::snprintf(urlf, sizeof urlf, "file:%s", page);
        if (n < 0 || static_cast<size_t>(n) >= sizeof urlf) {
            std::fprintf(stderr, "Talvex Installer: help page path too long: %s\n", page);
            return -1;
        }
        args[0] = zuspyglass;
        args[1] = opt_sdi;
        args[2] = port_s;
        args[3] = opt_url;
        args[4] = urlf;
        args[5] = nullptr;
    } else {
        std::fprintf(stderr, "Talvex Installer: no help viewer for presentation mode %d\n", mode);
        return -1;
    }

    // Output still buffered now would otherwise be written twice, once by
    // each process.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        // The graphical viewer gets the bound control socket (dup2 leaves
        // the copy open across exec).
        if (mode == UIAP_GRAPHICAL && port_sock != -1 &&
            (dup2(port_sock, kControlFd) != kControlFd || putenv(control_env) != 0))
            std::perror("dup2");
        if (chdir(zuhlp_path) != 0) {
            std::perror("chdir");
        } else {
            execv(args[0], args);
            std::perror("execv");
        }
        std::fprintf(stderr, "Talvex Installer: failed in starting %s\n", args[0]);
        // _exit: the installer's exit handlers and stdio buffers belong to
        // the parent.
        _exit(1);
    }
    bpid = pid;
    drop_port();  // the viewer holds the port now
    if (pid < 0) {
        std::perror("fork");
        std::fputs("Talvex Installer: failed increating child process", stderr);
        bpid = -1;
        if (mode == UIAP_CHARACTER) uiwsre(app, &msg);
        return -1;
    }
    if (mode == UIAP_CHARACTER) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        uiwsre(app, &msg);
        bpid = -1;
        return 0;
    }
    pause_ms(start_pause_ms);
    return 0;
}

/* After the viewer was found gone (or was killed): start a new one for the
 * page, as zusb does. "exit" needs no new viewer: the old one is gone. */
int restart(const zuhlprq *req, const char *page) {
    if (std::strcmp(page, "exit") == 0) return 0;
    return zusb(req, page);
}

/* Connect sock to the viewer's control port, at most five attempts. Returns
 * 0 when connected; 1 when a new viewer was started instead (the old one had
 * ended, or never accepted and was killed); -1 when that new viewer could not
 * be started. */
int zucnnct(const zuhlprq *req, const char *page) {
    for (int attempt = 1;; ++attempt) {
        if (connect(sock, reinterpret_cast<const sockaddr *>(&sock_addr), sizeof sock_addr) == 0)
            return 0;
        std::perror("Connect()");
        pause_ms(retry_pause_ms);
        if (viewer_ended()) {
            drop_connection();
            bpid = -1;
            return restart(req, page) == 0 ? 1 : -1;
        }
        if (attempt == kConnectAttempts) break;
    }
    drop_connection();
    kill(bpid, SIGKILL);
    // Reap it, so that no dead viewer is left behind.
    int status;
    while (waitpid(bpid, &status, 0) < 0 && errno == EINTR) {
    }
    bpid = -1;
    return restart(req, page) == 0 ? 1 : -1;
}

}  // namespace

int zusd(const zuhlprq *req) {
    const char *text = req != nullptr ? req->hlptxt : nullptr;
    // "exit" asks the running graphical viewer to close; it names no page.
    const bool exit_cmd = text != nullptr && std::strcmp(text, "exit") == 0;
    char page[4096];
    if (exit_cmd) {
        std::memcpy(page, "exit", sizeof "exit");
    } else {
        const char *found = zulkup(req);
        if (found == nullptr) return 1;
        const int n = std::snprintf(page, sizeof page, "%s", found);
        if (n < 0 || static_cast<size_t>(n) >= sizeof page) return 1;
        if (unsafe_page(page)) {
            std::fputs(
                "Talvex Installer: help page path holds a double quote, CR or LF; "
                "not shown\n",
                stderr);
            return 1;
        }
    }

    if (bpid == -1) {
        if (exit_cmd) return 0;  // no viewer to close
        return zusb(req, page) == 0 ? 0 : 1;
    }
    if (viewer_ended()) {
        drop_connection();
        bpid = -1;
        return restart(req, page) == 0 ? 0 : 1;
    }
    if (sock == -1) {
        if (uiapqp(req != nullptr ? req->app : nullptr) != UIAP_GRAPHICAL) {
            std::fputs("Talvex Installer: the running help viewer takes no commands\n", stderr);
            return 1;
        }
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) {
            std::perror("socket()");
            return 1;
        }
        const int one = 1;
        if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
            std::perror("SO_REUSEADDR");
            close(s);
            return 1;
        }
        if (setsockopt(s, SOL_SOCKET, SO_LINGER, &sock_linger, sizeof sock_linger) != 0) {
            std::perror("SO_LINGER");
            close(s);
            return 1;
        }
        sock = s;
        const int c = zucnnct(req, page);
        if (c == 1) return 0;
        if (c != 0) return 1;
    }

    // The page path is shorter than 4096 bytes, so the command fits.
    char cmd[sizeof page + 64];
    const int len = exit_cmd ? std::snprintf(cmd, sizeof cmd, "Exit,0\r\n")
                             : std::snprintf(cmd, sizeof cmd,
                                             "OpenURL,%0d,\"file:%s\",,1,1,,,0,1\r\n", 3, page);
    errno = 0;
    if (send_all(sock, cmd, static_cast<size_t>(len)) == 0) {
        // The viewer answers every command; the answer's content means
        // nothing. No answer but the end of the connection means the viewer
        // closed it without taking the command, which then goes to a new
        // viewer like a failed write.
        char reply[4096];
        ssize_t got;
        do {
            got = recv(sock, reply, sizeof reply, 0);
        } while (got < 0 && errno == EINTR);
        if (got > 0 || (got < 0 && errno != ECONNRESET && errno != EPIPE)) return 0;
        drop_connection();
        bpid = -1;
        return restart(req, page) == 0 ? 0 : 1;
    }
    // The viewer has closed the connection (a reset says the same): show the
    // page in a new viewer.
    if (errno == EPIPE || errno == ECONNRESET) {
        drop_connection();
        bpid = -1;
        return restart(req, page) == 0 ? 0 : 1;
    }
    std::perror("write()");
    std::exit(1);
}

void zuhlpps(unsigned start_ms, unsigned retry_ms) {
    start_pause_ms = start_ms;
    retry_pause_ms = retry_ms;
}

void zuhlpqs(zuhlpvw *view) {
    view->tvxinst_path = tvxinst_path;
    view->zuhlp_path = zuhlp_path;
    view->zuspyglass = zuspyglass;
    view->zulynx = zulynx;
    view->zutmphtml = zutmphtml;
    view->tmphtml_created = tmphtml_created;
    view->nhentry = nhentry;
    view->bpid = static_cast<int>(bpid);
    view->sock = sock;
    view->port_s = port_s;
}
