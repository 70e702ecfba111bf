// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared by the pump and station tests: a record of the status sink's and
// the PTT's calls in the order they came, and the one-pump-per-process rule.

#include "audio/audio_pump.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace marvane::testing {

// Events as "address idle", "mode  ", "info  ", "level 0", "ptt 1", ...
struct EventLog {
    std::mutex m;
    std::condition_variable changed;
    std::vector<std::string> events;

    void add(std::string event) {
        {
            std::lock_guard lock(m);
            events.push_back(std::move(event));
        }
        changed.notify_all();
    }
    void clear() {
        std::lock_guard lock(m);
        events.clear();
    }
    std::vector<std::string> copy() {
        std::lock_guard lock(m);
        return events;
    }
    // True once at least n events are recorded (generous patience).
    bool waitForCount(std::size_t n) {
        std::unique_lock lock(m);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return events.size() >= n; });
    }
};

// Never destroyed: the pump thread outlives the test.
inline EventLog& eventLog() {
    static auto* log = new EventLog;
    return *log;
}

inline const audio::StatusSink* recordingSink() {
    static const audio::StatusSink sink{
        [](const char* t) { eventLog().add(std::string("address ") + t); },
        [](const char* t) { eventLog().add(std::string("mode ") + t); },
        [](const char* t) { eventLog().add(std::string("info ") + t); },
        [](int p) { eventLog().add("level " + std::to_string(p)); },
        [] { eventLog().add("mode TX, passing"); },
    };
    return &sink;
}

inline void recordPtt(int on) { eventLog().add(on ? "ptt 1" : "ptt 0"); }

} // namespace marvane::testing
