// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_window_status.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace marvane::app {

namespace {

constexpr int kBoxCount = 3;
constexpr int kTextSize = 64;  // the address is 15 characters, the info word 19

struct Mailbox {
    std::mutex guard;
    std::condition_variable shown;
    const StatusTarget* target = nullptr;  // null while no window is up
    std::chrono::milliseconds wait = kStatusWait;
    bool textPending[kBoxCount] = {};
    char text[kBoxCount][kTextSize] = {};
    bool levelPending = false;
    int level = 0;
    bool wakePending = false;    // a wake is on its way; no second one needed
    std::uint64_t stored = 0;    // changes stored so far
    std::uint64_t applied = 0;   // changes shown so far
};

Mailbox mailbox;

// Stores one change (under the guard), wakes the window thread if no wake is
// on its way, and waits until the change has been shown, the window is gone
// or the wait has run out.
template <typename Store>
void post(Store store) {
    std::unique_lock lock(mailbox.guard);
    const StatusTarget* target = mailbox.target;
    if (target == nullptr) return;
    store();
    const std::uint64_t mine = ++mailbox.stored;
    const auto deadline = std::chrono::steady_clock::now() + mailbox.wait;
    if (!mailbox.wakePending) {
        mailbox.wakePending = true;
        lock.unlock();
        const bool woken = target->wakeWindowThread();
        lock.lock();
        if (!woken) {
            // Shown with the next change that gets through.
            mailbox.wakePending = false;
            return;
        }
    }
    mailbox.shown.wait_until(lock, deadline, [mine] {
        return mailbox.target == nullptr || mailbox.applied >= mine;
    });
}

void postText(StatusBox box, const char* text) {
    post([box, text] {
        const int i = static_cast<int>(box);
        std::snprintf(mailbox.text[i], kTextSize, "%s", text != nullptr ? text : "");
        mailbox.textPending[i] = true;
    });
}

void setAddressText(const char* text) { postText(StatusBox::address, text); }
void setModeText(const char* text) { postText(StatusBox::mode, text); }
void setInfoText(const char* text) { postText(StatusBox::info, text); }

void setLevelBar(int position) {
    post([position] {
        mailbox.level = position;
        mailbox.levelPending = true;
    });
}

constexpr audio::StatusSink sink{setAddressText, setModeText, setInfoText, setLevelBar};

}  // namespace

void openStatusMailbox(const StatusTarget* target, std::chrono::milliseconds wait) {
    std::lock_guard lock(mailbox.guard);
    mailbox.target = target;
    mailbox.wait = wait;
    for (bool& pending : mailbox.textPending) pending = false;
    mailbox.levelPending = false;
    mailbox.wakePending = false;
    mailbox.applied = mailbox.stored;
}

void closeStatusMailbox() {
    {
        std::lock_guard lock(mailbox.guard);
        mailbox.target = nullptr;
    }
    mailbox.shown.notify_all();
}

void applyPendingStatus() {
    bool textPending[kBoxCount];
    char text[kBoxCount][kTextSize];
    bool levelPending;
    int level;
    std::uint64_t upTo;
    const StatusTarget* target;
    {
        std::lock_guard lock(mailbox.guard);
        target = mailbox.target;
        if (target == nullptr) return;
        // A change stored from here on needs a wake of its own.
        mailbox.wakePending = false;
        for (int i = 0; i < kBoxCount; ++i) {
            textPending[i] = mailbox.textPending[i];
            mailbox.textPending[i] = false;
            if (textPending[i]) std::snprintf(text[i], kTextSize, "%s", mailbox.text[i]);
        }
        levelPending = mailbox.levelPending;
        mailbox.levelPending = false;
        level = mailbox.level;
        upTo = mailbox.stored;
    }
    for (int i = 0; i < kBoxCount; ++i)
        if (textPending[i]) target->showText(static_cast<StatusBox>(i), text[i]);
    if (levelPending) target->showLevel(level);
    {
        std::lock_guard lock(mailbox.guard);
        if (upTo > mailbox.applied) mailbox.applied = upTo;
    }
    mailbox.shown.notify_all();
}

const audio::StatusSink* windowStatusSink() { return &sink; }

}  // namespace marvane::app
