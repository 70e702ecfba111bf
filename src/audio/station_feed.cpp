// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/station_feed.h"

#include "link/link_protocol.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace marvane::audio {

Feed stationFeed;

namespace {

long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, timeout,
                     nullptr, 0);
}

template <class Fill>
void publish(Feed& feed, FeedKind kind, int count, Fill fill) {
    count = std::clamp(count, 0, kFeedMaxSamples);
    const std::uint64_t number = feed.published.load(std::memory_order_relaxed) + 1;
    Feed::Slot& slot = feed.slots[number % kFeedSlots];
    if (slot.guard.try_lock()) {
        slot.block.number = number;
        slot.block.kind = kind;
        slot.block.count = count;
        fill(slot.block.samples, count);
        slot.guard.unlock();
    } else {
        feed.skipped.fetch_add(1, std::memory_order_relaxed);
    }
    feed.published.store(number, std::memory_order_release);
    feed.wakeWord.store(static_cast<std::uint32_t>(number), std::memory_order_release);
    futex(feed.wakeWord, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr);
}

} // namespace

void publishFeedBlock(Feed& feed, FeedKind kind, const std::int16_t* samples, int count) {
    publish(feed, kind, count, [samples](std::int16_t* to, int n) {
        std::memcpy(to, samples, sizeof(std::int16_t) * static_cast<size_t>(n));
    });
}

void publishLevelledBlock(Feed& feed, const double* levelled, int count) {
    publish(feed, FeedKind::receive, count, [levelled](std::int16_t* to, int n) {
        for (int i = 0; i < n; ++i) to[i] = link::saturateSample(levelled[i]);
    });
}

bool readFeed(Feed& feed, FeedCursor& cursor, FeedBlock& out) {
    const std::uint64_t published = feed.published.load(std::memory_order_acquire);
    if (cursor.next == 0) cursor.next = published + 1;
    // The writer may be filling the slot after the newest, which is the
    // oldest: a reader stays at least one slot clear of it.
    const std::uint64_t oldest =
        published > kFeedSlots - 2 ? published - (kFeedSlots - 2) : 1;
    if (cursor.next < oldest) {
        cursor.lost += oldest - cursor.next;
        cursor.next = oldest;
    }
    while (cursor.next <= published) {
        Feed::Slot& slot = feed.slots[cursor.next % kFeedSlots];
        const std::uint64_t wanted = cursor.next++;
        std::lock_guard lock(slot.guard);
        if (slot.block.number != wanted) {
            ++cursor.lost; // skipped by the writer, or already written over
            continue;
        }
        out.number = slot.block.number;
        out.kind = slot.block.kind;
        out.count = slot.block.count;
        std::memcpy(out.samples, slot.block.samples,
                    sizeof(std::int16_t) * static_cast<size_t>(slot.block.count));
        return true;
    }
    return false;
}

bool waitForFeed(Feed& feed, const FeedCursor& cursor, int ms) {
    const std::uint32_t seen = feed.wakeWord.load(std::memory_order_acquire);
    const std::uint64_t published = feed.published.load(std::memory_order_acquire);
    if (cursor.next != 0 && cursor.next <= published) return true;
    timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
    futex(feed.wakeWord, FUTEX_WAIT_PRIVATE, seen, &timeout);
    const std::uint64_t now = feed.published.load(std::memory_order_acquire);
    return cursor.next == 0 ? now != published : cursor.next <= now;
}

} // namespace marvane::audio
