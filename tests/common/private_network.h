// SPDX-License-Identifier: GPL-3.0-or-later
// For the unit tests that listen on fixed ports or rely on what a loopback
// address answers on port 80: CTest starts them through private-network,
// which gives them a network namespace of their own. Where none could be
// made, or the test was started some other way, the test is skipped, so that
// it never listens on, or talks to, this machine's own port 80.
#pragma once

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace marvane::testing {

// Empty inside a private network namespace, else why the test cannot run.
inline std::string privateNetworkProblem() {
    const char* inside = std::getenv("MARVANE_PRIVATE_NETWORK");
    if (inside != nullptr && std::string(inside) == "1") return {};
    const char* problem = std::getenv("MARVANE_PRIVATE_NETWORK_PROBLEM");
    if (inside != nullptr && problem != nullptr) return problem;
    return "not started in a private network namespace (CTest runs it through private-network)";
}

}  // namespace marvane::testing

// Skips the current test unless it runs in a private network namespace.
#define MARVANE_REQUIRE_PRIVATE_NETWORK()                                                  \
    do {                                                                                   \
        const std::string problem_ = ::marvane::testing::privateNetworkProblem();          \
        if (!problem_.empty()) GTEST_SKIP() << problem_;                                   \
    } while (0)
