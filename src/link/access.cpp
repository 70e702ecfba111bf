// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/access.h"

#include "config/notice.h"
#include "config/settings.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace marvane::link {

bool clientAllowed(const char* address) {
    in_addr a{};
    if (inet_pton(AF_INET, address, &a) != 1) return config::settings().link.allowEveryone;
    return config::clientAllowed(config::settings().link, ntohl(a.s_addr));
}

// The few most recent addresses are remembered; link server thread only.
void noteRefusal(const char* address) {
    struct Recent {
        char address[16];
        std::chrono::steady_clock::time_point at;
    };
    static Recent recent[16];
    static int next = 0;
    const auto now = std::chrono::steady_clock::now();
    for (Recent& r : recent)
        if (std::strcmp(r.address, address) == 0) {
            if (now - r.at < std::chrono::seconds(1)) return;
            r.at = now;
            config::notice("refused %s: not allowed", address);
            return;
        }
    Recent& r = recent[next];
    next = (next + 1) % 16;
    std::snprintf(r.address, sizeof r.address, "%s", address);
    r.at = now;
    config::notice("refused %s: not allowed", address);
}

} // namespace marvane::link
