// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace marvane::net {

// The receive window the peer of a TCP socket advertises, in bytes; -1 where
// the kernel does not report it.
long peerReceiveWindow(int fd);

} // namespace marvane::net
