// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/sessions.h"

#include <sodium.h>

#include <algorithm>

namespace marvane::web {

std::string openSession(SessionTable& table, const std::string& name, Role role, int hours,
                        Clock::time_point now) {
    if (table.byToken.size() >= kMaxSessions) {
        auto first = std::min_element(table.byToken.begin(), table.byToken.end(),
                                      [](const auto& a, const auto& b) {
                                          return a.second.expires < b.second.expires;
                                      });
        table.byToken.erase(first);
    }
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    char hex[2 * sizeof random + 1];
    sodium_bin2hex(hex, sizeof hex, random, sizeof random);
    table.byToken[hex] = Session{name, role, now + std::chrono::hours(hours)};
    return hex;
}

const Session* findSession(SessionTable& table, const std::string& token, Clock::time_point now) {
    const auto found = table.byToken.find(token);
    if (found == table.byToken.end()) return nullptr;
    if (found->second.expires <= now) {
        table.byToken.erase(found);
        return nullptr;
    }
    return &found->second;
}

void closeSession(SessionTable& table, const std::string& token) { table.byToken.erase(token); }

std::size_t closeSessionsNotIn(SessionTable& table, const AccountBook& book) {
    return std::erase_if(table.byToken, [&book](const auto& entry) {
        const Account* account = findAccount(book, entry.second.name);
        return account == nullptr || account->role != entry.second.role;
    });
}

namespace {

void forget(LoginLimiter::Entry& entry, Clock::time_point now) {
    while (!entry.failures.empty() && now - entry.failures.front() >= kLoginWindow)
        entry.failures.pop_front();
}

// The table stays small: addresses with nothing to remember go.
void prune(LoginLimiter& limiter, Clock::time_point now) {
    if (limiter.byAddress.size() < 1024) return;
    for (auto it = limiter.byAddress.begin(); it != limiter.byAddress.end();) {
        LoginLimiter::Entry& entry = it->second;
        forget(entry, now);
        if (entry.failures.empty() && entry.checking == 0 && entry.blockedUntil <= now)
            it = limiter.byAddress.erase(it);
        else
            ++it;
    }
}

}  // namespace

bool mayTryLogin(LoginLimiter& limiter, const std::string& address, Clock::time_point now) {
    prune(limiter, now);
    LoginLimiter::Entry& entry = limiter.byAddress[address];
    forget(entry, now);
    if (entry.blockedUntil > now) return false;
    // Logins still being checked count as failures until they are known.
    if (static_cast<int>(entry.failures.size()) + entry.checking >= kLoginTries) return false;
    ++entry.checking;
    return true;
}

bool loginDone(LoginLimiter& limiter, const std::string& address, bool good, Clock::time_point now) {
    LoginLimiter::Entry& entry = limiter.byAddress[address];
    if (entry.checking > 0) --entry.checking;
    forget(entry, now);
    if (good) {
        entry.failures.clear();
        return false;
    }
    entry.failures.push_back(now);
    if (static_cast<int>(entry.failures.size()) < kLoginTries) return false;
    entry.blockedUntil = now + kLoginWindow;
    entry.failures.clear();
    return true;
}

void loginDropped(LoginLimiter& limiter, const std::string& address) {
    const auto found = limiter.byAddress.find(address);
    if (found != limiter.byAddress.end() && found->second.checking > 0) --found->second.checking;
}

bool takeConnection(AddressCounts& counts, const std::string& address, int limit) {
    int& open = counts.open[address];
    if (open >= limit) {
        if (open == 0) counts.open.erase(address);
        return false;
    }
    ++open;
    return true;
}

void releaseConnection(AddressCounts& counts, const std::string& address) {
    const auto found = counts.open.find(address);
    if (found == counts.open.end()) return;
    if (--found->second <= 0) counts.open.erase(found);
}

}  // namespace marvane::web
