// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual sound card (MARVANE_VIRTUAL_SOUND=DIR) through the real stream
// logic: what capture.wav holds comes out of the capture stream, and what the
// playback stream plays lands in playback.wav sample for sample.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "sound/sound.h"
#include "sound/wave/manual.h"
#include "support.h"

namespace marvane::sound {
namespace {

constexpr int block = 1024;
constexpr int rate = 11025;

class Virtual : public ::testing::Test {
protected:
    void SetUp() override {
        wave::manual::uninstall();
        setenv("MARVANE_VIRTUAL_SOUND", dir.path.c_str(), 1);
    }
    void TearDown() override {
        closeSoundDevices();
        unsetenv("MARVANE_VIRTUAL_SOUND");
    }
    void start() {
        initSoundCards();
        selectCaptureDevice(0, true);
        selectPlaybackDevice(0, true);
    }
    // Waits (bounded) until playback.wav's header announces `frames` frames.
    test::WavContent awaitPlayback(std::size_t frames) {
        test::WavContent w;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < until) {
            w = test::readWav(dir.file("playback.wav"));
            if (w.ok && w.samples.size() >= frames) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return w;
    }
    test::TempDir dir;
};

TEST_F(Virtual, ListsOneVirtualDeviceEachWay) {
    start();
    EXPECT_EQ(inputDeviceCount(), 1);
    EXPECT_EQ(outputDeviceCount(), 1);
    EXPECT_STREQ(inputDeviceName(0), "Virtual Input");
    EXPECT_STREQ(outputDeviceName(0), "Virtual Output");
}

TEST_F(Virtual, CaptureWithoutAFileIsSilence) {
    start();
    configureCapture(block, rate);
    std::vector<std::int16_t> got(block, 1);
    for (int b = 0; b < 3; ++b) {
        readCaptureBlock(got.data());
        EXPECT_EQ(got, std::vector<std::int16_t>(block, 0));
    }
}

TEST_F(Virtual, CaptureLoopsTheFileSampleForSample) {
    // 3000 distinct samples: each block must continue the previous one.
    std::vector<std::int16_t> loop(3000);
    for (std::size_t i = 0; i < loop.size(); ++i) loop[i] = static_cast<std::int16_t>(i * 7 - 10000);
    ASSERT_TRUE(test::writeWav(dir.file("capture.wav"), loop, rate, 1));
    start();
    configureCapture(block, rate);
    std::vector<std::int16_t> got(block);
    long position = -1;
    for (int b = 0; b < 6; ++b) {
        bool overrun = readCaptureBlock(got.data());
        long first = (got[0] + 10000) / 7;
        ASSERT_GE(first, 0);
        ASSERT_LT(first, 3000);
        if (position >= 0 && !overrun) {
            EXPECT_EQ(first, position) << "block " << b;
        }
        for (int i = 0; i < block; ++i) {
            ASSERT_EQ(got[static_cast<std::size_t>(i)], loop[static_cast<std::size_t>((first + i) % 3000)])
                << "block " << b << " sample " << i;
        }
        position = (first + block) % 3000;
    }
}

TEST_F(Virtual, CaptureConvertsAStereo48000FileTo11025Mono) {
    ASSERT_TRUE(test::writeWav(dir.file("capture.wav"), test::tone(1000, 48000, 48000, 12000, 2),
                               48000, 2));
    start();
    configureCapture(block, rate);
    std::vector<std::int16_t> all;
    std::vector<std::int16_t> got(block);
    for (int b = 0; b < 6; ++b) {
        readCaptureBlock(got.data());
        if (b >= 1) all.insert(all.end(), got.begin(), got.end());  // past the filter's start
    }
    EXPECT_NEAR(test::toneFrequency(all, rate), 1000.0, 10.0);
    EXPECT_NEAR(test::rms(all.data(), all.size()), 12000 / std::sqrt(2.0), 300.0);
}

TEST_F(Virtual, ACaptureFileThatIsNotAudioGivesOneMessageAndSilence) {
    test::TempDir other;
    setenv("MARVANE_VIRTUAL_SOUND", other.path.c_str(), 1);
    {
        std::FILE* f = std::fopen(other.file("capture.wav").c_str(), "w");
        std::fputs("this is not a sound file\n", f);
        std::fclose(f);
    }
    testing::internal::CaptureStderr();
    start();
    configureCapture(block, rate);
    selectCaptureDevice(0, true);
    std::vector<std::int16_t> got(block, 1);
    readCaptureBlock(got.data());  // reopens: no second message
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("capture.wav is not audio"), std::string::npos) << said;
    EXPECT_EQ(said.find("not audio"), said.rfind("not audio"));
    EXPECT_EQ(got, std::vector<std::int16_t>(block, 0));
}

std::vector<std::int16_t> pattern(int b) {
    std::vector<std::int16_t> v(block);
    for (int i = 0; i < block; ++i) v[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(b * 1000 + i - 16000);
    return v;
}

TEST_F(Virtual, PlaybackLandsInTheFileSampleForSampleSilenceIncluded) {
    start();
    configurePlayback(block, rate);
    std::vector<std::int16_t> expected(4 * block, 0);  // the four silent blocks of a start
    for (int b = 0; b < 12; ++b) {
        std::vector<std::int16_t> data = b == 5 ? std::vector<std::int16_t>(block, 0) : pattern(b);
        if (writePlaybackBlock(data.data())) {
            expected.insert(expected.end(), 2 * block, 0);  // the output ran dry: restarted
        }
        expected.insert(expected.end(), data.begin(), data.end());
    }
    test::WavContent w = awaitPlayback(expected.size());
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.rate, rate);
    EXPECT_EQ(w.channels, 1);
    EXPECT_EQ(w.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(w.samples, expected);
}

TEST_F(Virtual, TheFileIsReadableWhilePlayingAndAReopenAppends) {
    start();
    configurePlayback(block, rate);
    std::vector<std::int16_t> expected(4 * block, 0);
    for (int b = 0; b < 30; ++b) {
        std::vector<std::int16_t> data = pattern(b % 20);
        if (writePlaybackBlock(data.data())) expected.insert(expected.end(), 2 * block, 0);
        expected.insert(expected.end(), data.begin(), data.end());
    }
    // About two seconds have been played: the header has been brought up to
    // date on the way, and what it announces is already there.
    test::WavContent now = test::readWav(dir.file("playback.wav"));
    ASSERT_TRUE(now.ok);
    // At most four blocks are still queued, and the header lags what has
    // been played by less than a second.
    EXPECT_GE(now.samples.size() + 4 * block + rate, expected.size()) << "header not kept up to date";
    ASSERT_LE(now.samples.size(), expected.size());
    EXPECT_TRUE(std::equal(now.samples.begin(), now.samples.end(), expected.begin()));

    // Once all of it has been played (a reopen drops what is still queued),
    // the device is opened again: the file grows on.
    ASSERT_EQ(awaitPlayback(expected.size()).samples, expected);
    selectPlaybackDevice(0, true);
    std::vector<std::int16_t> last = pattern(3);
    expected.insert(expected.end(), 4 * block, 0);  // the reopen starts with silence
    if (writePlaybackBlock(last.data())) expected.insert(expected.end(), 2 * block, 0);
    expected.insert(expected.end(), last.begin(), last.end());
    test::WavContent w = awaitPlayback(expected.size());
    EXPECT_EQ(w.samples, expected);
}

// Blocks per second over ten seconds, for capture and playback at once. The
// capture file counts samples, so a block lost while the test thread was
// held up is still counted; a playback restart begins a new segment. The
// rate is taken from the calls that returned on time (see SlopeFit), so a
// loaded machine that holds the test up makes no difference.
TEST(RealtimeVirtual, BothDevicesRunAt11025Over1024BlocksPerSecond) {
    wave::manual::uninstall();
    test::TempDir dir;
    std::vector<std::int16_t> counter(65536);
    for (std::size_t i = 0; i < counter.size(); ++i) counter[i] = static_cast<std::int16_t>(i - 32768);
    ASSERT_TRUE(test::writeWav(dir.file("capture.wav"), counter, rate, 1));
    setenv("MARVANE_VIRTUAL_SOUND", dir.path.c_str(), 1);
    initSoundCards();
    selectCaptureDevice(0, true);
    selectPlaybackDevice(0, true);
    configureCapture(block, rate);
    configurePlayback(block, rate);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point origin = Clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - origin).count(); };
    constexpr int blocks = 108;  // about ten seconds

    test::SlopeFit playFit(1024.0 / 11025.0);
    std::thread player([&] {
        std::vector<std::int16_t> data(block, 100);
        for (int b = 0; b < blocks; ++b) {
            if (writePlaybackBlock(data.data())) playFit.endSegment();
            playFit.add(b, seconds());
        }
    });
    test::SlopeFit captureFit(1024.0 / 11025.0);
    std::vector<std::int16_t> got(block);
    readCaptureBlock(got.data());
    long index = 0;
    int previous = (got[0] + 32768) / block;
    for (int b = 0; b < blocks; ++b) {
        readCaptureBlock(got.data());
        int at = (got[0] + 32768) / block;
        index += (at - previous + 64) % 64;  // 64 blocks in the file's loop
        previous = at;
        captureFit.add(static_cast<double>(index), seconds());
    }
    player.join();
    closeSoundDevices();
    unsetenv("MARVANE_VIRTUAL_SOUND");

    const double expected = 11025.0 / 1024.0;
    const double captureRate = 1 / captureFit.slope();
    const double playbackRate = 1 / playFit.slope();
    RecordProperty("capture_blocks_per_second", std::to_string(captureRate));
    RecordProperty("playback_blocks_per_second", std::to_string(playbackRate));
    EXPECT_NEAR(captureRate, expected, expected * 0.005);
    EXPECT_NEAR(playbackRate, expected, expected * 0.005);
}

}  // namespace
}  // namespace marvane::sound
