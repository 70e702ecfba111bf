// SPDX-License-Identifier: GPL-3.0-or-later
/* private-network COMMAND [ARG...]
 *
 * Runs COMMAND in a network namespace of its own, with only a loopback
 * interface that is up, so that a test can listen on fixed ports (the
 * directory's 80, the link's 3020) without needing them free on this machine
 * and without seeing anybody else's traffic.
 *
 * As root the namespace is made directly. Otherwise (or where root may not)
 * a user namespace comes with it, mapping the caller's own user and group ids
 * to themselves; for a caller other than root, ports below 1024 are opened to
 * everyone inside (that setting is the namespace's own), and the command runs
 * as the caller with one capability only, CAP_NET_ADMIN over that namespace,
 * so that a test may change its own network's settings (firewall rules) and
 * nothing else: file permissions hold for it as they do outside.
 *
 * The command learns the outcome from MARVANE_PRIVATE_NETWORK: "1" inside a
 * private namespace; otherwise empty, with the reason in
 * MARVANE_PRIVATE_NETWORK_PROBLEM, and the command runs on this machine's own
 * network. A test that must not run there skips itself.
 *
 * Exit status: the command's; 126 when a half-made namespace could not be
 * finished (the command does not run), 127 when the command cannot start.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <net/if.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

static char problem[256];

static void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(problem, sizeof problem, format, args);
    va_end(args);
}

static int writeText(const char* path, const char* text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        say("cannot open %s: %s", path, strerror(errno));
        return -1;
    }
    size_t length = strlen(text);
    ssize_t written = write(fd, text, length);
    int error = errno;
    close(fd);
    if (written != (ssize_t)length) {
        say("cannot write %s: %s", path, written < 0 ? strerror(error) : "short write");
        return -1;
    }
    return 0;
}

static int loopbackUp(void) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        say("no socket for the loopback interface: %s", strerror(errno));
        return -1;
    }
    struct ifreq request;
    memset(&request, 0, sizeof request);
    snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    int result = ioctl(fd, SIOCGIFFLAGS, &request);
    if (result == 0) {
        request.ifr_flags |= IFF_UP;
        result = ioctl(fd, SIOCSIFFLAGS, &request);
    }
    if (result != 0) say("cannot bring the loopback interface up: %s", strerror(errno));
    close(fd);
    return result;
}

/* CAP_NET_ADMIN made ambient: it survives the exec of the command (and of
 * what the command runs), which drops every other capability the user
 * namespace gave. */
static int keepNetworkAdmin(void) {
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
    memset(data, 0, sizeof data);
    if (syscall(SYS_capget, &header, data) != 0) {
        say("cannot read the capabilities: %s", strerror(errno));
        return -1;
    }
    data[CAP_TO_INDEX(CAP_NET_ADMIN)].inheritable |= CAP_TO_MASK(CAP_NET_ADMIN);
    if (syscall(SYS_capset, &header, data) != 0 ||
        prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_ADMIN, 0, 0) != 0) {
        say("cannot keep CAP_NET_ADMIN for the command: %s", strerror(errno));
        return -1;
    }
    return 0;
}

/* 1: inside a private namespace; 0: still on this machine's network (the
 * reason in problem); -1: a namespace was entered but could not be finished. */
static int enterPrivateNetwork(void) {
    uid_t uid = getuid();
    gid_t gid = getgid();
    int asRoot = geteuid() == 0;
    /* Root in a container may lack the right to a network namespace of its
     * own and still be allowed one under a user namespace. */
    int withUsers = !asRoot || unshare(CLONE_NEWNET) != 0;
    if (withUsers && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        say("no private network namespace can be made here (unshare: %s)", strerror(errno));
        return 0;
    }
    if (withUsers) {
        char map[64];
        if (writeText("/proc/self/setgroups", "deny") != 0) return -1;
        snprintf(map, sizeof map, "%u %u 1", (unsigned)uid, (unsigned)uid);
        if (writeText("/proc/self/uid_map", map) != 0) return -1;
        snprintf(map, sizeof map, "%u %u 1", (unsigned)gid, (unsigned)gid);
        if (writeText("/proc/self/gid_map", map) != 0) return -1;
    }
    if (loopbackUp() != 0) return -1;
    if (!asRoot && writeText("/proc/sys/net/ipv4/ip_unprivileged_port_start", "0") != 0)
        return -1;
    if (!asRoot && keepNetworkAdmin() != 0) return -1;
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s COMMAND [ARG...]\n", argv[0]);
        return 2;
    }
    int inside = enterPrivateNetwork();
    if (inside < 0) {
        fprintf(stderr, "private-network: %s\n", problem);
        return 126;
    }
    setenv("MARVANE_PRIVATE_NETWORK", inside ? "1" : "", 1);
    if (inside)
        unsetenv("MARVANE_PRIVATE_NETWORK_PROBLEM");
    else
        setenv("MARVANE_PRIVATE_NETWORK_PROBLEM", problem, 1);
    /* Not root: the exec drops the capabilities the user namespace gave, all
     * but the ambient one. */
    execvp(argv[1], argv + 1);
    fprintf(stderr, "private-network: cannot run %s: %s\n", argv[1], strerror(errno));
    return 127;
}
