// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The client's byte stream cut into frames: a 6-byte header, then the payload
// its command calls for, each gathered whole however many pieces it arrives
// in, so that a slow or lossy link never costs the stream its framing. After
// a frame with an unknown letter, up to 1024 bytes of what follows (the rest
// of that read, else the next read) are thrown away. Only the first 10239
// bytes of an "S", "R" or "I" payload are payload; the rest of the announced
// length is read as headers.

#include "link/link_protocol.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace marvane::link {

struct LinkFrame {
    uint8_t command;
    int argument;          // byte 4 x 256 + byte 5
    uint8_t rates[2];      // bytes 4 and 5, as "F" takes them
    const uint8_t* payload;
    int payloadLength;     // whole, or 0
};

struct FrameReader {
    uint8_t header[kFrameSize] = {};
    int headerLength = 0;
    int payloadWanted = 0; // > 0 while a payload is being gathered
    int payloadLength = 0;
    bool discardNext = false;
    uint8_t payload[kPayloadBufferSize] = {};
    // When the last byte of an unfinished frame arrived.
    std::chrono::steady_clock::time_point lastByte{};
};

// Payload bytes that follow a header with this command and argument.
int payloadLengthFor(uint8_t command, int argument);
bool knownCommand(uint8_t command);

// Takes one read's bytes, calling onFrame(const LinkFrame&) for each frame
// they complete, in order.
template <class OnFrame>
void feedFrames(FrameReader& r, const uint8_t* bytes, size_t count, OnFrame&& onFrame) {
    size_t i = 0;
    if (r.discardNext && count > 0) {
        r.discardNext = false;
        i = count < static_cast<size_t>(kDiscardLength) ? count : kDiscardLength;
    }
    while (i < count) {
        if (r.payloadWanted > 0) {
            size_t take = static_cast<size_t>(r.payloadWanted - r.payloadLength);
            if (take > count - i) take = count - i;
            for (size_t k = 0; k < take; ++k) r.payload[r.payloadLength++] = bytes[i + k];
            i += take;
            if (r.payloadLength < r.payloadWanted) break;
        } else {
            r.header[r.headerLength++] = bytes[i++];
            if (r.headerLength < kFrameSize) continue;
            r.payloadWanted = payloadLengthFor(r.header[3], frameArgument(r.header));
            r.payloadLength = 0;
            if (r.payloadWanted > 0) continue;
        }
        const LinkFrame frame{r.header[3],
                              frameArgument(r.header),
                              {r.header[4], r.header[5]},
                              r.payload,
                              r.payloadWanted};
        r.headerLength = 0;
        r.payloadWanted = 0;
        r.payloadLength = 0;
        onFrame(frame);
        if (!knownCommand(frame.command)) {
            // Thrown away: the rest of this read, or else the next one.
            const size_t left = count - i;
            if (left == 0) {
                r.discardNext = true;
                break;
            }
            i += left < static_cast<size_t>(kDiscardLength) ? left : kDiscardLength;
        }
    }
    if (r.headerLength > 0 || r.payloadWanted > 0) r.lastByte = std::chrono::steady_clock::now();
}

// Whether a frame has begun and not yet ended.
inline bool frameUnfinished(const FrameReader& r) { return r.headerLength > 0 || r.payloadWanted > 0; }

} // namespace marvane::link
