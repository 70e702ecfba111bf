// SPDX-License-Identifier: GPL-3.0-or-later
// The peer's advertised receive window, from the kernel's own TCP_INFO layout
// (glibc's copy of tcp_info predates the field, and the two headers cannot
// be included together).
#include "net/tcp_window.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace marvane::net {

long peerReceiveWindow(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd)
        return -1;
    return static_cast<long>(info.tcpi_snd_wnd);
}

} // namespace marvane::net
