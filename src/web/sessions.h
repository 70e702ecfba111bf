// SPDX-License-Identifier: GPL-3.0-or-later
// Who is logged in, who may try again, and how many connections each address
// holds. Plain tables, touched by the web station's I/O thread only; every
// operation takes the time from its caller.
#pragma once

#include "web/accounts.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>

namespace marvane::web {

using Clock = std::chrono::steady_clock;

struct Session {
    std::string name;
    Role role = Role::listener;
    Clock::time_point expires;
};

// Sessions by their cookie's token. Bounded: past kMaxSessions the one that
// would end first makes room.
struct SessionTable {
    std::unordered_map<std::string, Session> byToken;
};

inline constexpr std::size_t kMaxSessions = 4096;

// A new session for name and role, lasting hours; returns its token (64
// hexadecimal digits from the system's random source).
std::string openSession(SessionTable& table, const std::string& name, Role role, int hours,
                        Clock::time_point now);
// The session of a token, or null (an expired one is removed).
const Session* findSession(SessionTable& table, const std::string& token, Clock::time_point now);
void closeSession(SessionTable& table, const std::string& token);
// Ends the sessions whose account is gone or whose role changed; returns how many.
std::size_t closeSessionsNotIn(SessionTable& table, const AccountBook& book);

// Five failed logins from one address within a minute make that address
// wait a minute.
inline constexpr int kLoginTries = 5;
inline constexpr auto kLoginWindow = std::chrono::seconds(60);

struct LoginLimiter {
    struct Entry {
        std::deque<Clock::time_point> failures;  // within the last minute
        int checking = 0;                        // logins being checked now
        Clock::time_point blockedUntil{};
    };
    std::unordered_map<std::string, Entry> byAddress;
};

// Whether a login from address may be checked now; when it may, it counts as
// being checked until loginDone.
bool mayTryLogin(LoginLimiter& limiter, const std::string& address, Clock::time_point now);
// The outcome of a login that mayTryLogin let through. True when this
// failure makes the address wait (the one moment to log it).
bool loginDone(LoginLimiter& limiter, const std::string& address, bool good, Clock::time_point now);
// A login that mayTryLogin let through but that was never checked.
void loginDropped(LoginLimiter& limiter, const std::string& address);

// Connections per address.
struct AddressCounts {
    std::unordered_map<std::string, int> open;
};

// Counts one more connection from address unless it holds limit already.
bool takeConnection(AddressCounts& counts, const std::string& address, int limit);
void releaseConnection(AddressCounts& counts, const std::string& address);

}  // namespace marvane::web
