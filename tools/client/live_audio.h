// SPDX-License-Identifier: GPL-3.0-or-later
// The laptop's sound devices for the live client, through PortAudio's ALSA
// devices (the same list the station shows, pseudo devices left out): the
// output plays the receive audio through a Playout, the input captures the
// operator's microphone as link bytes for transmitting.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "playout.h"
#include "sound/wave/resampler.h"

namespace marvane::client {

// Starts PortAudio, its libraries' prints filtered; false after printing why
// not. It stays up until the process ends (Pa_Terminate unloads ALSA's
// plugins, which leaves what they allocated when they were loaded
// unreachable), unless a sound card comes that its device list lacks.
bool startSound();

// Whether ALSA has a sound card that PortAudio's device list, built at its
// last start, lacks; then, with every device closed, restartSound builds it
// anew (false when PortAudio does not start again).
bool soundCardAdded();
bool restartSound();

// Prints the input and output devices, the default of each marked.
void listDevices();

// The device of that direction whose name contains `name` (an exact name
// first, then the first that contains it, then the same ignoring case); the
// system's default device when name is null. -1 after printing why not
// (quietly: without).
int findDevice(bool input, const char* name, bool quietly = false);

struct Output {
    Playout playout;
    void* stream = nullptr;
    int channels = 1;
    double rate = 0;
    std::string name;
    std::size_t chunkFrames = 0;
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::string failReason;  // written before failed is set
    std::thread thread;

    // Opens the device at its own rate and starts playing (silence until the
    // buffer has filled). False after printing why not (quietly: without).
    bool open(int device, double linkRate, bool quietly = false);
    void close();
    ~Output() { close(); }
};

struct Input {
    void* stream = nullptr;
    int channels = 1;
    double rate = 0;
    std::string name;
    std::size_t chunkFrames = 0;
    sound::wave::Resampler resampler;
    std::vector<std::int16_t> frames, mono, converted;

    // Captured link bytes, from the capture thread to the network side.
    std::vector<std::uint8_t> ring;
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> taken{0};
    std::atomic<int> overflows{0};

    // The device runs only while transmitting: set by setActive, waited
    // for by the capture thread, which starts and stops the stream.
    std::mutex lock;
    std::condition_variable changed;
    bool active = false;
    std::atomic<int> peak{0};  // largest |sample| since takePeak
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::string failReason;  // written before failed is set
    std::thread thread;

    // Opens the device and stops it again until a transmission. False after
    // printing why not (quietly: without).
    bool open(int device, double linkRate, bool quietly = false);
    void close();
    ~Input() { close(); }
    void setActive(bool on);

    // Network side: moves up to `size` captured bytes into out.
    std::size_t take(std::uint8_t* out, std::size_t size);
    std::size_t waiting() const;
    int takePeak() { return peak.exchange(0, std::memory_order_relaxed); }

    void capture();  // the capture thread's body
    void queue(const std::int16_t* samples, std::size_t count);
};

}  // namespace marvane::client
