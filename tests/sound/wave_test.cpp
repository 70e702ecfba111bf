// SPDX-License-Identifier: GPL-3.0-or-later
// The wave service's own promises, which the stream logic relies on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "sound/wave/backend.h"
#include "sound/wave/manual.h"
#include "sound/wave/portaudio.h"
#include "sound/wave/wave.h"

namespace marvane::sound::wave {
namespace {

class WaveService : public ::testing::Test {
protected:
    void SetUp() override {
        manual::install();
        manual::setDevices({"In"}, {"Out"});
        startWaveService();
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        format = {WAVE_FORMAT_PCM, 1, 11025, 22050, 2, 16, 0};
        for (int i = 0; i < 3; ++i) {
            memory[i].assign(8, 0);
            headers[i].lpData = reinterpret_cast<char*>(memory[i].data());
            headers[i].dwBufferLength = 16;
        }
    }
    void TearDown() override {
        CloseHandle(event);
        manual::uninstall();
    }
    HANDLE event = nullptr;
    WAVEFORMATEX format{};
    WAVEHDR headers[3];
    std::vector<std::int16_t> memory[3];
};

TEST_F(WaveService, TheEventIsSignalledAtOpenAndAtClose) {
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, 0, &format, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // auto-reset
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

TEST_F(WaveService, CaptureBuffersFillInOrderAndAreDoneBeforeTheEvent) {
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(event), 0,
                         CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    ResetEvent(event);
    for (auto& h : headers) {
        ASSERT_EQ(waveInPrepareHeader(in, &h, sizeof h), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &h, sizeof h), MMSYSERR_NOERROR);
    }
    EXPECT_FALSE(manual::completeCapture(1));  // not recording before waveInStart
    waveInStart(in);
    std::thread waiter([&] {
        EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        EXPECT_TRUE(headers[0].dwFlags.load() & WHDR_DONE);
    });
    while (manual::waitersOn(event) == 0) std::this_thread::yield();
    ASSERT_TRUE(manual::completeCapture(100));
    waiter.join();
    ASSERT_TRUE(manual::completeCapture(200));
    EXPECT_EQ(memory[0][0], 100);
    EXPECT_EQ(memory[1][0], 200);
    EXPECT_EQ(headers[1].dwBytesRecorded, 16u);
    EXPECT_FALSE(headers[2].dwFlags.load() & WHDR_DONE);
    waveInClose(in);
}

TEST_F(WaveService, ResetHandsBackEveryQueuedBufferDone) {
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, 0, &format, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    ResetEvent(event);
    for (auto& h : headers) {
        waveOutPrepareHeader(out, &h, sizeof h);
        waveOutWrite(out, &h, sizeof h);
    }
    EXPECT_EQ(waveOutUnprepareHeader(out, &headers[0], sizeof headers[0]), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    for (auto& h : headers) EXPECT_TRUE(h.dwFlags.load() & WHDR_DONE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(manual::queued(Direction::output), 0u);
    waveOutClose(out);
}

TEST_F(WaveService, PlaybackPlaysInQueueOrderAndUnpreparingTwiceDoesNoHarm) {
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, 0, &format, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    manual::clearPlayed();
    for (int i : {2, 0, 1}) {
        memory[i].assign(8, static_cast<std::int16_t>(i + 1));
        waveOutPrepareHeader(out, &headers[i], sizeof headers[i]);
        waveOutWrite(out, &headers[i], sizeof headers[i]);
    }
    while (manual::completePlayback()) {
    }
    std::vector<std::int16_t> expected;
    for (int v : {3, 1, 2}) expected.insert(expected.end(), 8, static_cast<std::int16_t>(v));
    EXPECT_EQ(manual::played(), expected);
    EXPECT_EQ(waveOutUnprepareHeader(out, &headers[0], sizeof headers[0]), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(out, &headers[0], sizeof headers[0]), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(out, &headers[0], sizeof headers[0]), WAVERR_UNPREPARED);
    waveOutClose(out);
}

TEST_F(WaveService, OpenRejectsOtherFormatsAndUnknownDevices) {
    HWAVEIN in = reinterpret_cast<HWAVEIN>(1);
    WAVEFORMATEX stereo = format;
    stereo.nChannels = 2;
    EXPECT_EQ(waveInOpen(&in, 0, &stereo, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT),
              WAVERR_BADFORMAT);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(waveInOpen(&in, 5, &format, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT),
              MMSYSERR_BADDEVICEID);
    EXPECT_TRUE(waveInFailed(in));
    EXPECT_EQ(waveInAddBuffer(nullptr, &headers[0], sizeof headers[0]), MMSYSERR_INVALHANDLE);
}

// What the streams rely on to let go of a device that failed or hangs
// without waiting for it: the buffers are theirs again at once, and the
// device never touches them nor signals again, whatever it does later.
TEST_F(WaveService, AnAbandonedDeviceHandsBackItsBuffersAndIsSilentFromThenOn) {
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, 0, &format, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    for (auto& h : headers) {
        waveInPrepareHeader(in, &h, sizeof h);
        waveInAddBuffer(in, &h, sizeof h);
    }
    waveInStart(in);
    char reason[64];
    waveInGetFailReason(in, reason, sizeof reason);
    EXPECT_STREQ(reason, "");  // working
    manual::failDevice(Direction::input, "No such device");
    waveInGetFailReason(in, reason, sizeof reason);
    EXPECT_STREQ(reason, "No such device");
    ResetEvent(event);
    EXPECT_EQ(waveInAbandon(in, "hangs"), MMSYSERR_NOERROR);  // the first reason stays
    for (auto& h : headers) EXPECT_TRUE(h.dwFlags.load() & WHDR_DONE);
    for (auto& h : headers) h.dwFlags.store(0);  // the stream's again
    EXPECT_FALSE(manual::completeCapture(7));
    EXPECT_EQ(memory[0][0], 0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    for (int i = 0; i < 1000 && waveAbandonedPending() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(waveAbandonedPending(), 0);
    EXPECT_FALSE(manual::isOpen(Direction::input));
}

// The capture tap gets the device's pieces as they come, before and
// beyond the buffers (an overrun loses nothing there), only while recording.
std::vector<std::int16_t> tapped;
void tap(const std::int16_t* samples, std::size_t count) { tapped.insert(tapped.end(), samples, samples + count); }

TEST_F(WaveService, TheCaptureTapGetsEveryPieceWhileRecording) {
    tapped.clear();
    waveInSetTap(tap);
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, 0, &format, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    waveInPrepareHeader(in, &headers[0], sizeof headers[0]);
    waveInAddBuffer(in, &headers[0], sizeof headers[0]);
    const std::int16_t piece[13] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    deliverCapture(in, piece, 3);  // not recording yet
    EXPECT_TRUE(tapped.empty());
    waveInStart(in);
    deliverCapture(in, piece, 3);
    deliverCapture(in, piece + 3, 10);  // five fill the buffer, five find none
    EXPECT_EQ(tapped, std::vector<std::int16_t>(piece, piece + 13));
    EXPECT_EQ(memory[0][7], 8);
    waveInStop(in);
    deliverCapture(in, piece, 3);
    EXPECT_EQ(tapped.size(), 13u);
    waveInClose(in);
    waveInSetTap(nullptr);
}

TEST_F(WaveService, AnEventWaitWithATimeOutEndsWithoutASignal) {
    EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_TIMEOUT);
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_OBJECT_0);
}

// The cards and the sound server stay in the lists; ALSA's plugin and
// channel-map entries, which all reach the same card, are left out.
TEST(DeviceFilter, LeavesOutAlsaPseudoDevicesOnly) {
    for (const char* name : {"surround51", "surround40", "front", "rear", "center_lfe", "side",
                             "iec958", "spdif", "hdmi", "dmix", "dsnoop", "sysdefault",
                             "lavrate", "samplerate", "speexrate", "upmix", "vdownmix", "jack",
                             "oss"})
        EXPECT_TRUE(portaudio::isPseudoDevice(name)) << name;
    for (const char* name : {"pulse", "pipewire", "default", "HDA Intel PCH: ALC892 Analog (hw:0,0)",
                             "HDA Intel PCH: HDMI 0 (hw:0,3)", "USB Audio CODEC: - (hw:1,0)",
                             "frontier", "ossified"})
        EXPECT_FALSE(portaudio::isPseudoDevice(name)) << name;
}

// PortAudio's, ALSA's and JACK's own prints are dropped line by line, in
// whatever pieces they come; every other line passes as it comes, without
// waiting for its end.
TEST(LibraryPrints, OnlyTheLibrariesLinesAreDropped) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::FILE* filtered = portaudio::openLibraryPrintFilter(pipeEnds[1]);
    ASSERT_NE(filtered, nullptr);
    std::fputs("Expression 'err' failed in 'src/hostapi/alsa/pa_linux_alsa.c', line: 3355\n", filtered);
    std::fputs("capture device lost: radio: ", filtered);
    std::fputs("it stopped working\nALSA lib pcm.c:8570:(snd_pcm_recover) underrun occurred\n",
               filtered);
    for (const char* piece : {"Exp", "ression 'r' failed", " in 'src/hostapi/x.c'\n"})
        std::fputs(piece, filtered);
    std::fprintf(filtered, "Exp\nCannot connect to server socket err = %s\n", "No such file");
    std::fputs("ALSA library: ours\nno line end yet", filtered);
    std::string passed(200, '\0');
    const ssize_t n = read(pipeEnds[0], passed.data(), passed.size());
    ASSERT_GT(n, 0);
    passed.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(passed, "capture device lost: radio: it stopped working\nExp\nALSA library: ours\n"
                      "no line end yet");
    EXPECT_TRUE(portaudio::isLibraryPrint("JackShmReadWritePtr::~JackShmReadWritePtr - Init not done"));
    EXPECT_FALSE(portaudio::isLibraryPrint("Expression"));
    close(pipeEnds[0]);
    close(pipeEnds[1]);

    // The process's stderr, as the libraries print to it (here libc's own
    // psignal), onto descriptor 2, which stays the same descriptor.
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::fflush(stderr);
    const int savedError = dup(2);
    dup2(pipeEnds[1], 2);
    portaudio::filterLibraryPrints();
    portaudio::filterLibraryPrints();
    psignal(SIGINT, "Expression 'interrupted' failed in 'src/hostapi/alsa/pa_linux_alsa.c'");
    psignal(SIGINT, "ours");
    std::fflush(stderr);
    dup2(savedError, 2);
    close(savedError);
    close(pipeEnds[1]);
    std::string printed(200, '\0');
    const ssize_t got = read(pipeEnds[0], printed.data(), printed.size());
    close(pipeEnds[0]);
    ASSERT_GT(got, 0);
    printed.resize(static_cast<std::size_t>(got));
    EXPECT_EQ(printed, "ours: Interrupt\n");
}

}  // namespace
}  // namespace marvane::sound::wave
