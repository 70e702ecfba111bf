// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the tests of the blocks the audio pump hands to the window thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <iterator>
#include <thread>

namespace marvane::testing {

// Stores blocks of 1024 equal values 0, 1, ..., 2999 from a second thread
// while this one copies them out; true when every copy held one value only.
// The last block stored stays in place.
template <typename T>
bool copiesStayWhole(void (*store)(const T*), void (*copy)(T*)) {
    std::atomic<bool> done{false};
    std::thread writer([&] {
        T block[1024];
        for (int k = 0; k < 3000; ++k) {
            std::fill(std::begin(block), std::end(block), static_cast<T>(k));
            store(block);
        }
        done = true;
    });
    bool whole = true;
    T copied[1024];
    while (!done) {
        copy(copied);
        for (T v : copied)
            whole = whole && v == copied[0];
    }
    writer.join();
    return whole;
}

} // namespace marvane::testing
