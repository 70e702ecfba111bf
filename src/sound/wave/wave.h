// SPDX-License-Identifier: GPL-3.0-or-later
// The wave service: the small layer that stands in for the Windows wave audio
// functions and events, with the same names and the behaviour the sound
// streams rely on. Buffers handed to a device are filled (capture) or played
// (playback) in the order handed over; a finished buffer gets WHDR_DONE in its
// header before the device signals its event; a reset hands back every queued
// buffer marked done; the event is also signalled when a device opens or closes.
//
// Devices come from one of three back ends: PortAudio (real cards), a virtual
// pair of devices (MARVANE_VIRTUAL_SOUND=DIR) and a manually clocked back end
// for unit tests (see manual.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace marvane::sound::wave {

using BOOL = int;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using UINT_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using MMRESULT = UINT;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

struct WaveDevice;
struct Event;
using HWAVEIN = WaveDevice*;
using HWAVEOUT = WaveDevice*;
using HANDLE = Event*;

constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);
constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr DWORD CALLBACK_EVENT = 0x50000;
constexpr int MAXPNAMELEN = 32;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr DWORD WHDR_DONE = 0x01;
constexpr DWORD WHDR_PREPARED = 0x02;
constexpr DWORD WHDR_INQUEUE = 0x10;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;

struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

// dwFlags is written by the device's thread and read by the stream's, so it
// is atomic; every other field belongs to whoever holds the buffer.
struct WAVEHDR {
    char* lpData = nullptr;
    DWORD dwBufferLength = 0;
    DWORD dwBytesRecorded = 0;
    DWORD_PTR dwUser = 0;
    std::atomic<DWORD> dwFlags{0};
    DWORD dwLoops = 0;
    WAVEHDR* lpNext = nullptr;  // the device's queue link
    DWORD_PTR reserved = 0;     // bytes already filled or played
};

struct WAVEINCAPSA {
    WORD wMid;
    WORD wPid;
    UINT vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
};

struct WAVEOUTCAPSA {
    WORD wMid;
    WORD wPid;
    UINT vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;
};

// Events: unnamed; attributes and name are ignored.
HANDLE CreateEventA(void* attributes, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds);
BOOL CloseHandle(HANDLE event);

UINT waveInGetNumDevs();
UINT waveOutGetNumDevs();
MMRESULT waveInGetDevCapsA(UINT_PTR deviceId, WAVEINCAPSA* caps, UINT size);
MMRESULT waveOutGetDevCapsA(UINT_PTR deviceId, WAVEOUTCAPSA* caps, UINT size);

// Only CALLBACK_EVENT is supported: callback is the HANDLE of the event. On
// failure *handle is set to nullptr.
MMRESULT waveInOpen(HWAVEIN* handle, UINT deviceId, const WAVEFORMATEX* format,
                    DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
MMRESULT waveInClose(HWAVEIN handle);
MMRESULT waveInReset(HWAVEIN handle);
MMRESULT waveInStart(HWAVEIN handle);
MMRESULT waveInStop(HWAVEIN handle);
MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size);
MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size);
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, UINT size);

MMRESULT waveOutOpen(HWAVEOUT* handle, UINT deviceId, const WAVEFORMATEX* format,
                     DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
MMRESULT waveOutClose(HWAVEOUT handle);
MMRESULT waveOutReset(HWAVEOUT handle);
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT size);
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT size);
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, UINT size);

// Linux additions. A device that stopped working while open (unplugged, sound
// server gone) reports failed; a null handle counts as failed too. The device
// signals its event once when it fails, so a waiting stream wakes up.
bool waveInFailed(HWAVEIN handle);
bool waveOutFailed(HWAVEOUT handle);
// Why the device failed, in the sound system's words ("" when it did not
// say, or while it works); at most size - 1 characters.
void waveInGetFailReason(HWAVEIN handle, char* text, std::size_t size);
void waveOutGetFailReason(HWAVEOUT handle, char* text, std::size_t size);

// Linux additions for a device that failed or hangs: closes it without
// waiting for it. Every queued buffer comes back marked done at once, and
// from then on the device touches no buffer and signals no event; a device
// that had not failed yet fails with `reason`. The back end's own close,
// which may wait for a device that hangs, runs on a thread of its own, after
// which the device is freed. The handle must not be used again.
MMRESULT waveInAbandon(HWAVEIN handle, const char* reason);
MMRESULT waveOutAbandon(HWAVEOUT handle, const char* reason);
// Abandoned devices whose close has not finished yet.
int waveAbandonedPending();

// Linux addition: the capture as it arrives. Called on the device side with
// every piece that a recording capture device delivers, at the device's
// rate (the stream's), in order, buffers queued or not; under the device's
// lock, so that the calls of a device closed and of the next one opened
// never overlap. It must not block. Null (the default) for none.
using CaptureTap = void (*)(const std::int16_t* samples, std::size_t count);
void waveInSetTap(CaptureTap tap);

// Linux additions for devices that come and go. Whether the system's devices
// have changed since the lists were built (a card plugged in or out, or
// renumbered); a rebuild of the lists of the back end in use, which needs
// every device closed (none open, none abandoned and still closing); and the
// number of builds so far, which tells whether a device number of an older
// list still means the same device.
bool waveListOutdated();
void waveRescanDevices();
unsigned waveListGeneration();
// Whether the devices finish buffers by a clock of their own (all but the
// manual back end's, whose tests finish them), so that one that stops
// finishing them has hung.
bool waveDevicesKeepTime();

// The whole name of a device (the capabilities record holds at most
// MAXPNAMELEN - 1 bytes of it), and the listed device that WAVE_MAPPER opens
// (WAVE_MAPPER when it is none of the listed ones).
MMRESULT waveInGetFullName(UINT deviceId, std::string& name);
MMRESULT waveOutGetFullName(UINT deviceId, std::string& name);
UINT waveInGetDefaultId();
UINT waveOutGetDefaultId();

// Picks the back end and builds its device lists: the manual one when a test
// installed it, the virtual one when MARVANE_VIRTUAL_SOUND names a folder,
// PortAudio otherwise. Devices open at the time must have been closed.
void startWaveService();

}  // namespace marvane::sound::wave
