// SPDX-License-Identifier: GPL-3.0-or-later
// The capture and playback stream logic on the manually clocked device: the
// tests complete buffers themselves, so every order and count is exact.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "sound/sound.h"
#include "sound/streams.h"
#include "sound/wave/manual.h"
#include "support.h"

namespace marvane::sound {
namespace {

using wave::Direction;
namespace manual = wave::manual;

constexpr int block = 1024;
constexpr int rate = 11025;

std::vector<std::int16_t> ramp(std::int16_t first, int n = block) {
    std::vector<std::int16_t> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(first + i);
    return v;
}

std::vector<std::int16_t> silence(int n = block) {
    return std::vector<std::int16_t>(static_cast<std::size_t>(n), 0);
}

// Spins until a thread waits on the device's event.
void awaitWaiter(Direction direction) {
    while (manual::waiters(direction) == 0) std::this_thread::yield();
}

class Streams : public ::testing::Test {
protected:
    void SetUp() override {
        manual::install();
        manual::setDevices({"Line In", "USB Codec"}, {"Speakers", "USB Codec"});
        initSoundCards();
    }
    void TearDown() override {
        closeSoundDevices();
        manual::uninstall();
    }
    static void startCapture() {
        selectCaptureDevice(0, true);
        configureCapture(block, rate);
    }
    static void startPlayback() {
        selectPlaybackDevice(0, true);
        configurePlayback(block, rate);
    }
    // Plays every queued buffer and returns what came out.
    static std::vector<std::int16_t> playAll() {
        while (manual::completePlayback()) {
        }
        std::vector<std::int16_t> out = manual::played();
        manual::clearPlayed();
        return out;
    }
    static void append(std::vector<std::int16_t>& to, const std::vector<std::int16_t>& what) {
        to.insert(to.end(), what.begin(), what.end());
    }
};

// ---- start-up and device lists ----

TEST_F(Streams, InitListsDevicesInOrderAndSetsTheStartValues) {
    EXPECT_EQ(inputDeviceCount(), 2);
    EXPECT_EQ(outputDeviceCount(), 2);
    EXPECT_STREQ(inputDeviceName(1), "USB Codec");
    EXPECT_STREQ(outputDeviceName(0), "Speakers");
    EXPECT_EQ(waveFormat.nSamplesPerSec, 48000u);
    EXPECT_EQ(waveFormat.nAvgBytesPerSec, 96000u);
    EXPECT_EQ(waveFormat.nBlockAlign, 2);
    EXPECT_TRUE(captureStream.reopenPending.load());
    EXPECT_TRUE(playbackStream.reopenPending.load());
    EXPECT_TRUE(captureStream.blocking.load());
    EXPECT_FALSE(playbackStream.blocking.load());
    EXPECT_EQ(captureStream.deviceNumber.load(), 0);
}

TEST_F(Streams, MoreThanEightDevicesListOnlyTheFirstEight) {
    std::vector<std::string> many;
    for (int i = 0; i < 10; ++i) many.push_back("Card " + std::to_string(i));
    manual::setDevices(many, many);
    initSoundCards();
    EXPECT_EQ(inputDeviceCount(), 8);
    EXPECT_EQ(outputDeviceCount(), 8);
    EXPECT_STREQ(inputDeviceName(7), "Card 7");
    // A number of 8 or more opens the default device, not device 8.
    selectCaptureDevice(8, true);
    configureCapture(block, rate);
    EXPECT_EQ(manual::lastOpenedId(Direction::input), wave::WAVE_MAPPER);
}

TEST_F(Streams, NamesAreCutTo31CharactersAndAFailedDeviceKeepsABlankName) {
    manual::setDevices({"A very long name of a sound card device, 45 ch", "B"}, {"C"});
    manual::failCaps(Direction::input, 1);
    initSoundCards();
    EXPECT_EQ(std::strlen(inputDeviceName(0)), 31u);
    EXPECT_STREQ(inputDeviceName(1), "");
    EXPECT_EQ(inputDeviceCount(), 2);
}

// Catches two cards of one make that the dialog can no longer tell apart, a
// cut through a UTF-8 character, and a whole name lost for scnames.txt.
TEST_F(Streams, LongNamesKeepTheirTailInTheListAndWholeForNames) {
    const std::string first = "USB Audio CODEC: USB Audio Device (hw:1,0)";
    const std::string second = "USB Audio CODEC: USB Audio Device (hw:2,0)";
    const std::string accented = "Carte son \xc3\xa9l\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"
                                 "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9 sans num\xc3\xa9ro";
    manual::setDevices({first, second, accented}, {"Short name (hw:0,0)"});
    initSoundCards();
    EXPECT_STREQ(inputDeviceName(0), "USB Audio CODEC: US... (hw:1,0)");
    EXPECT_STREQ(inputDeviceName(1), "USB Audio CODEC: US... (hw:2,0)");
    EXPECT_STREQ(outputDeviceName(0), "Short name (hw:0,0)");
    const std::string cut = inputDeviceName(2);
    EXPECT_LE(cut.size(), 31u);
    EXPECT_EQ(cut.substr(cut.size() - 10), "ns num\xc3\xa9ro");
    for (std::size_t i = 0; i < cut.size(); ++i) {  // every character whole
        const auto c = static_cast<unsigned char>(cut[i]);
        if (c == 0xc3) {
            EXPECT_TRUE(i + 1 < cut.size() && (cut[i + 1] & 0xc0) == 0x80) << i;
        }
    }
    EXPECT_EQ(inputDeviceFullName(0), first);
    EXPECT_EQ(inputDeviceFullName(2), accented);
    EXPECT_STREQ(inputDeviceFullName(3), "");
}

TEST_F(Streams, NoDeviceOnOneSideSaysSoOnce) {
    manual::setDevices({}, {"Speakers"});
    test::NoticeCapture notices;
    initSoundCards();
    EXPECT_EQ(notices.text(), "No audio device found.");
    // With no input listed, device 0 becomes the default device.
    selectCaptureDevice(0, true);
    EXPECT_EQ(captureStream.deviceNumber.load(), -1);
}

// ---- capture ----

TEST_F(Streams, ConfigureOpensAtTheStreamRateAndQueuesFourBuffers) {
    startCapture();
    EXPECT_EQ(manual::openCount(Direction::input), 1);
    EXPECT_EQ(manual::lastOpenedRate(Direction::input), rate);
    EXPECT_EQ(waveFormat.nSamplesPerSec, 11025u);
    EXPECT_EQ(waveFormat.nAvgBytesPerSec, 22050u);
    EXPECT_EQ(manual::queued(Direction::input), 4u);
    EXPECT_EQ(captureStream.nextIndex, 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(captureStream.headers[i].dwBufferLength, 2048u);
}

TEST_F(Streams, ReadsReturnBlocksInRecordingOrder) {
    startCapture();
    std::vector<std::int16_t> got(block);
    for (int b = 0; b < 6; ++b) {
        ASSERT_TRUE(manual::completeCapture(static_cast<std::int16_t>(b * 1000)));
        EXPECT_FALSE(readCaptureBlock(got.data()));
        EXPECT_EQ(got, ramp(static_cast<std::int16_t>(b * 1000))) << "block " << b;
    }
    EXPECT_EQ(manual::queued(Direction::input), 4u);
}

TEST_F(Streams, FourUnreadBlocksGiveOneOverrunThenThreeImmediateReadsThenAWait) {
    startCapture();
    for (int b = 0; b < 4; ++b) ASSERT_TRUE(manual::completeCapture(static_cast<std::int16_t>(b * 100)));
    // Recording has stalled: a fifth chunk has nowhere to go.
    EXPECT_FALSE(manual::completeCapture(9999));
    std::vector<std::int16_t> got(block);
    EXPECT_TRUE(readCaptureBlock(got.data()));
    EXPECT_EQ(got, ramp(0));
    for (int b = 1; b < 4; ++b) {
        EXPECT_FALSE(readCaptureBlock(got.data()));
        EXPECT_EQ(got, ramp(static_cast<std::int16_t>(b * 100)));
    }
    std::atomic<bool> overrun{true};
    std::thread reader([&] { overrun = readCaptureBlock(got.data()); });
    awaitWaiter(Direction::input);  // the fifth read waits for the device
    ASSERT_TRUE(manual::completeCapture(4242));
    reader.join();
    EXPECT_FALSE(overrun.load());
    EXPECT_EQ(got, ramp(4242));
}

TEST_F(Streams, NonBlockingReadWithNothingReadyLeavesTheDestinationAlone) {
    startCapture();
    selectCaptureDevice(0, false);
    std::vector<std::int16_t> got(block, 77);
    EXPECT_FALSE(readCaptureBlock(got.data()));
    EXPECT_EQ(got, std::vector<std::int16_t>(block, 77));
    EXPECT_EQ(manual::openCount(Direction::input), 2);  // the select reopened it
    ASSERT_TRUE(manual::completeCapture(5));
    EXPECT_FALSE(readCaptureBlock(got.data()));
    EXPECT_EQ(got, ramp(5));
}

TEST_F(Streams, ReconfiguringWithANewLengthRebuildsTheBuffers) {
    startCapture();
    configureCapture(256, rate);
    EXPECT_EQ(manual::openCount(Direction::input), 1);  // no select: no reopen
    for (int i = 0; i < 4; ++i) EXPECT_EQ(captureStream.headers[i].dwBufferLength, 512u);
    ASSERT_TRUE(manual::completeCapture(10));
    std::vector<std::int16_t> got(256);
    EXPECT_FALSE(readCaptureBlock(got.data()));
    EXPECT_EQ(got, ramp(10, 256));
}

TEST_F(Streams, SelectingTheSameDeviceStillReopensItAtTheNextRead) {
    startCapture();
    ASSERT_TRUE(manual::completeCapture(1));
    selectCaptureDevice(0, true);
    EXPECT_EQ(manual::openCount(Direction::input), 1);  // nothing opened by the select
    std::vector<std::int16_t> got(block, 0);
    std::thread reader([&] { readCaptureBlock(got.data()); });
    awaitWaiter(Direction::input);
    EXPECT_EQ(manual::openCount(Direction::input), 2);
    ASSERT_TRUE(manual::completeCapture(300));  // the old block was lost with the reopen
    reader.join();
    EXPECT_EQ(got, ramp(300));
}

TEST_F(Streams, ANumberBeyondTheListOpensTheDefaultDeviceAndOtherNegativesFail) {
    selectCaptureDevice(2, true);
    EXPECT_EQ(captureStream.deviceNumber.load(), -1);
    configureCapture(block, rate);
    EXPECT_EQ(manual::lastOpenedId(Direction::input), wave::WAVE_MAPPER);
    selectCaptureDevice(-3, true);
    EXPECT_EQ(captureStream.deviceNumber.load(), -3);
    test::NoticeCapture notices;
    std::vector<std::int16_t> got(block, 5);
    EXPECT_FALSE(readCaptureBlock(got.data()));
    EXPECT_EQ(notices.text(), "Sound Interface Start, waveInOpen() failed.");
    EXPECT_EQ(got, std::vector<std::int16_t>(block, 5));
}

TEST_F(Streams, ACaptureDeviceThatDidNotOpenReturnsFalseUntilTheNextSelect) {
    manual::setOpenResult(Direction::input, wave::MMSYSERR_NODRIVER);
    test::NoticeCapture notices;
    startCapture();
    EXPECT_EQ(notices.text(), "Sound Interface Start, waveInOpen() failed.");
    std::vector<std::int16_t> got(block, 9);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(readCaptureBlock(got.data()));  // returns, no hang
    EXPECT_EQ(got, std::vector<std::int16_t>(block, 9));
    EXPECT_EQ(manual::openCount(Direction::input), 1);  // no retry by itself
    manual::setOpenResult(Direction::input, wave::MMSYSERR_NOERROR);
    selectCaptureDevice(1, true);
    std::thread reader([&] { readCaptureBlock(got.data()); });
    awaitWaiter(Direction::input);
    ASSERT_TRUE(manual::completeCapture(-50));
    reader.join();
    EXPECT_EQ(got, ramp(-50));
    EXPECT_EQ(manual::lastOpenedId(Direction::input), 1u);
}

TEST_F(Streams, ACaptureDeviceThatVanishesWakesTheReaderAndReadsFalse) {
    startCapture();
    std::vector<std::int16_t> got(block, 3);
    std::atomic<bool> result{true};
    std::thread reader([&] { result = readCaptureBlock(got.data()); });
    awaitWaiter(Direction::input);
    manual::failDevice(Direction::input);
    reader.join();
    EXPECT_FALSE(result.load());
    EXPECT_EQ(got, std::vector<std::int16_t>(block, 3));
    EXPECT_FALSE(readCaptureBlock(got.data()));
    // A select brings it back.
    selectCaptureDevice(0, true);
    std::thread again([&] { result = readCaptureBlock(got.data()); });
    awaitWaiter(Direction::input);
    ASSERT_TRUE(manual::completeCapture(8));
    again.join();
    EXPECT_EQ(got, ramp(8));
}

// ---- playback ----

TEST_F(Streams, ConfigurePlaybackStartsWithFourBlocksOfSilence) {
    startPlayback();
    EXPECT_EQ(manual::openCount(Direction::output), 1);
    EXPECT_EQ(manual::queued(Direction::output), 4u);
    EXPECT_EQ(playAll(), silence(4 * block));
}

TEST_F(Streams, AWriteBehindQueuedAudioGoesIntoTheHighestFinishedBuffer) {
    startPlayback();
    ASSERT_TRUE(manual::completePlayback());
    ASSERT_TRUE(manual::completePlayback());  // buffers 0 and 1 finished
    EXPECT_FALSE(writePlaybackBlock(ramp(100).data()));
    EXPECT_EQ(std::memcmp(playbackStream.buffers[1], ramp(100).data(), 2 * block), 0);
    EXPECT_FALSE(writePlaybackBlock(ramp(200).data()));
    EXPECT_EQ(std::memcmp(playbackStream.buffers[0], ramp(200).data(), 2 * block), 0);
    std::vector<std::int16_t> expected = silence(4 * block);
    append(expected, ramp(100));
    append(expected, ramp(200));
    EXPECT_EQ(playAll(), expected);
}

TEST_F(Streams, AfterRunningDryTwoSilentBlocksGoAheadThenBuffer3ThenBuffer0) {
    startPlayback();
    playAll();  // all four finished: the output ran dry
    EXPECT_TRUE(writePlaybackBlock(ramp(1000).data()));
    EXPECT_EQ(std::memcmp(playbackStream.buffers[2], ramp(1000).data(), 2 * block), 0);
    EXPECT_FALSE(writePlaybackBlock(ramp(2000).data()));  // buffer 3 was free
    EXPECT_EQ(std::memcmp(playbackStream.buffers[3], ramp(2000).data(), 2 * block), 0);
    std::atomic<bool> indication{true};
    std::thread writer([&] { indication = writePlaybackBlock(ramp(3000).data()); });
    awaitWaiter(Direction::output);  // the third write waits for buffer 0
    ASSERT_TRUE(manual::completePlayback());
    writer.join();
    EXPECT_FALSE(indication.load());
    EXPECT_EQ(std::memcmp(playbackStream.buffers[0], ramp(3000).data(), 2 * block), 0);
    std::vector<std::int16_t> expected = silence(2 * block);
    append(expected, ramp(1000));
    append(expected, ramp(2000));
    append(expected, ramp(3000));
    EXPECT_EQ(playAll(), expected);
}

TEST_F(Streams, ANonBlockingWriteWithNoFreeBufferDropsTheBlock) {
    configurePlayback(block, rate);  // after start-up playback does not block
    EXPECT_TRUE(writePlaybackBlock(ramp(1).data()));
    EXPECT_EQ(playAll(), silence(4 * block));
}

TEST_F(Streams, ReconfiguringPlaybackQueuesSilenceOfTheNewLength) {
    startPlayback();
    configurePlayback(300, rate);
    EXPECT_EQ(manual::openCount(Direction::output), 2);  // playback always reopens
    EXPECT_EQ(playAll(), silence(4 * 300));
}

TEST_F(Streams, APlaybackDeviceThatDidNotOpenDropsBlocksAndRetriesAfterASelect) {
    manual::setOpenResult(Direction::output, wave::MMSYSERR_ERROR);
    test::NoticeCapture notices;
    startPlayback();
    EXPECT_TRUE(writePlaybackBlock(ramp(1).data()));
    EXPECT_EQ(notices.text(), "Sound Interface Start, waveOutOpen() failed.");
    manual::setOpenResult(Direction::output, wave::MMSYSERR_NOERROR);
    selectPlaybackDevice(0, true);
    std::atomic<bool> indication{true};
    std::thread writer([&] { indication = writePlaybackBlock(ramp(7).data()); });
    awaitWaiter(Direction::output);  // reopened, four silent blocks ahead
    EXPECT_EQ(manual::openCount(Direction::output), 2);
    ASSERT_TRUE(manual::completePlayback());
    writer.join();
    EXPECT_FALSE(indication.load());
    std::vector<std::int16_t> expected = silence(4 * block);
    append(expected, ramp(7));
    EXPECT_EQ(playAll(), expected);
}

TEST_F(Streams, APlaybackDeviceThatVanishesWakesTheWriter) {
    startPlayback();
    std::atomic<bool> indication{false};
    std::thread writer([&] { indication = writePlaybackBlock(ramp(1).data()); });
    awaitWaiter(Direction::output);
    manual::failDevice(Direction::output);
    writer.join();
    EXPECT_TRUE(indication.load());  // the block was dropped
    EXPECT_TRUE(writePlaybackBlock(ramp(2).data()));
}

}  // namespace
}  // namespace marvane::sound
