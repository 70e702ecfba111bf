// SPDX-License-Identifier: GPL-3.0-or-later
/* Preloaded (LD_PRELOAD) into a program that keys PTT on a pseudo-terminal.
 * A pty refuses the modem-line ioctls (ENOTTY), so for any tty descriptor that
 * refuses them this library answers TIOCMBIS, TIOCMBIC, TIOCMSET and TIOCMGET
 * itself, keeps RTS and DTR per descriptor and appends each change to the file
 * named by MARVANE_TIOCM_LOG, one line each:
 *
 *   open: RTS=1 DTR=1            open(2) of such a tty (or the first modem-line
 *                                call on a descriptor opened otherwise); the
 *                                kernel raises both lines when a port opens
 *   termios CRTSCTS=0 HUPCL=1: RTS=0 DTR=0
 *                                tcsetattr, with the two flags it sets
 *   drop RTS+DTR: RTS=0 DTR=0    TIOCMBIC
 *   raise RTS: RTS=1 DTR=0       TIOCMBIS
 *   set RTS: RTS=1 DTR=0         TIOCMSET
 *   close (HUPCL): RTS=0 DTR=0   close; with HUPCL the kernel drops both lines,
 *   close: RTS=1 DTR=1           without it they stay as they were
 *
 * Built without sanitizers; an ASan program it is preloaded into needs
 * ASAN_OPTIONS=verify_asan_link_order=0. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#define MAX_FDS 4096
#define BOTH (TIOCM_RTS | TIOCM_DTR)

static pthread_mutex_t shim_lock = PTHREAD_MUTEX_INITIALIZER;
static unsigned char tracked[MAX_FDS];
static int line_state[MAX_FDS];

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*close_fn)(int);
typedef int (*open_fn)(const char*, int, ...);
typedef int (*tcsetattr_fn)(int, int, const struct termios*);

static ioctl_fn real_ioctl(void) {
    static ioctl_fn fn;
    if (!fn) fn = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return fn;
}

static close_fn real_close(void) {
    static close_fn fn;
    if (!fn) fn = (close_fn)dlsym(RTLD_NEXT, "close");
    return fn;
}

static open_fn real_open(const char* name) {
    return (open_fn)dlsym(RTLD_NEXT, name);
}

static tcsetattr_fn real_tcsetattr(void) {
    static tcsetattr_fn fn;
    if (!fn) fn = (tcsetattr_fn)dlsym(RTLD_NEXT, "tcsetattr");
    return fn;
}

static const char* line_names(int lines) {
    switch (lines & BOTH) {
    case TIOCM_RTS: return "RTS";
    case TIOCM_DTR: return "DTR";
    case BOTH: return "RTS+DTR";
    default: return "none";
    }
}

/* Caller holds shim_lock. */
static void log_change(const char* what, int fd) {
    const char* path = getenv("MARVANE_TIOCM_LOG");
    if (!path || !*path) return;
    char line[128];
    int n = snprintf(line, sizeof line, "%s: RTS=%d DTR=%d\n", what,
                     (line_state[fd] & TIOCM_RTS) ? 1 : 0, (line_state[fd] & TIOCM_DTR) ? 1 : 0);
    static open_fn plain_open;
    if (!plain_open) plain_open = real_open("open");
    int log = plain_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log < 0) return;
    if (write(log, line, (size_t)n) < 0) { /* nothing to do about it */ }
    real_close()(log);
}

static int is_modem_request(unsigned long request) {
    return request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET ||
           request == TIOCMGET;
}

/* Caller holds shim_lock; fd is tracked. */
static int emulate(int fd, unsigned long request, int* arg) {
    char what[32];
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    if (request == TIOCMGET) {
        *arg = line_state[fd];
        return 0;
    }
    if (request == TIOCMBIS) {
        line_state[fd] |= *arg & BOTH;
        snprintf(what, sizeof what, "raise %s", line_names(*arg));
    } else if (request == TIOCMBIC) {
        line_state[fd] &= ~(*arg & BOTH);
        snprintf(what, sizeof what, "drop %s", line_names(*arg));
    } else {
        line_state[fd] = *arg & BOTH;
        snprintf(what, sizeof what, "set %s", line_names(*arg));
    }
    log_change(what, fd);
    return 0;
}

/* Caller holds shim_lock. Starts tracking a tty that refuses the modem-line
 * ioctls; returns whether fd is tracked. */
static int track(int fd) {
    if (tracked[fd]) return 1;
    int lines;
    int saved = errno;
    int refused = isatty(fd) && real_ioctl()(fd, TIOCMGET, &lines) != 0 && errno == ENOTTY;
    errno = saved;
    if (!refused) return 0;
    tracked[fd] = 1;
    line_state[fd] = BOTH;
    log_change("open", fd);
    return 1;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    if (!is_modem_request(request) || fd < 0 || fd >= MAX_FDS)
        return real_ioctl()(fd, request, arg);

    pthread_mutex_lock(&shim_lock);
    if (!track(fd)) {
        pthread_mutex_unlock(&shim_lock);
        return real_ioctl()(fd, request, arg);
    }
    int r = emulate(fd, request, (int*)arg);
    int saved = errno;
    pthread_mutex_unlock(&shim_lock);
    errno = saved;
    return r;
}

static int opened(int fd) {
    if (fd >= 0 && fd < MAX_FDS) {
        int saved = errno;
        pthread_mutex_lock(&shim_lock);
        tracked[fd] = 0; /* a descriptor number closed behind our back */
        track(fd);
        pthread_mutex_unlock(&shim_lock);
        errno = saved;
    }
    return fd;
}

#define OPEN_WRAPPER(name)                                          \
    int name(const char* path, int flags, ...) {                    \
        mode_t mode = 0;                                            \
        if (flags & (O_CREAT | O_TMPFILE)) {                        \
            va_list ap;                                             \
            va_start(ap, flags);                                    \
            mode = va_arg(ap, mode_t);                              \
            va_end(ap);                                             \
        }                                                           \
        static open_fn fn;                                          \
        if (!fn) fn = real_open(#name);                             \
        return opened(fn(path, flags, mode));                       \
    }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

int tcsetattr(int fd, int actions, const struct termios* t) {
    int r = real_tcsetattr()(fd, actions, t);
    if (fd >= 0 && fd < MAX_FDS && t) {
        int saved = errno;
        pthread_mutex_lock(&shim_lock);
        if (tracked[fd]) {
            char what[48];
            snprintf(what, sizeof what, "termios CRTSCTS=%d HUPCL=%d",
                     (t->c_cflag & CRTSCTS) ? 1 : 0, (t->c_cflag & HUPCL) ? 1 : 0);
            log_change(what, fd);
        }
        pthread_mutex_unlock(&shim_lock);
        errno = saved;
    }
    return r;
}

int close(int fd) {
    if (fd >= 0 && fd < MAX_FDS) {
        pthread_mutex_lock(&shim_lock);
        if (tracked[fd]) {
            struct termios t;
            int hupcl = tcgetattr(fd, &t) == 0 && (t.c_cflag & HUPCL);
            if (hupcl) line_state[fd] = 0;
            log_change(hupcl ? "close (HUPCL)" : "close", fd);
            tracked[fd] = 0;
        }
        pthread_mutex_unlock(&shim_lock);
    }
    return real_close()(fd);
}
