// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_window_status.h"

#include <cstdio>
#include <mutex>

namespace marvane::app {

namespace {

constexpr int kBoxCount = 3;
constexpr int kTextSize = 64;  // the address is 15 characters, the info word 19

// The guard is held for copies only, never while the window draws.
struct Mailbox {
    std::mutex guard;
    const StatusTarget* target = nullptr;  // null while no window is up
    bool textPending[kBoxCount] = {};
    char text[kBoxCount][kTextSize] = {};
    bool levelPending = false;
    int level = 0;
    bool wakePending = false;  // a wake is on its way; no second one needed
};

Mailbox mailbox;

// Stores one change and wakes the window thread if no wake is on its way.
template <typename Store>
void post(Store store) {
    const StatusTarget* target;
    {
        std::lock_guard lock(mailbox.guard);
        target = mailbox.target;
        if (target == nullptr) return;
        store();
        if (mailbox.wakePending) return;
        mailbox.wakePending = true;
    }
    if (!target->wakeWindowThread()) {
        // Shown with the next change that gets through.
        std::lock_guard lock(mailbox.guard);
        mailbox.wakePending = false;
    }
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
void passTransmitStage() { postText(StatusBox::mode, "TX"); }

void setLevelBar(int position) {
    post([position] {
        mailbox.level = position;
        mailbox.levelPending = true;
    });
}

constexpr audio::StatusSink sink{setAddressText, setModeText, setInfoText, setLevelBar,
                                 passTransmitStage};

}  // namespace

void openStatusMailbox(const StatusTarget* target) {
    std::lock_guard lock(mailbox.guard);
    mailbox.target = target;
    for (bool& pending : mailbox.textPending) pending = false;
    mailbox.levelPending = false;
    mailbox.wakePending = false;
}

void closeStatusMailbox() {
    std::lock_guard lock(mailbox.guard);
    mailbox.target = nullptr;
}

void applyPendingStatus() {
    bool textPending[kBoxCount];
    char text[kBoxCount][kTextSize];
    bool levelPending;
    int level;
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
    }
    for (int i = 0; i < kBoxCount; ++i)
        if (textPending[i]) target->showText(static_cast<StatusBox>(i), text[i]);
    if (levelPending) target->showLevel(level);
}

const audio::StatusSink* windowStatusSink() { return &sink; }

}  // namespace marvane::app
