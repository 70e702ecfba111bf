// SPDX-License-Identifier: GPL-3.0-or-later
// The PortAudio back end against a real sound server: a private PulseAudio
// with a null sink "marvane", reached through ALSA's "default" device. Where
// the server cannot start here, the tests say so and are skipped.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sound/sound.h"
#include "sound/streams.h"
#include "sound/wave/manual.h"
#include "sound/wave/portaudio.h"
#include "support.h"

extern char** environ;

namespace marvane::sound {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int block = 1024;
constexpr int rate = 11025;

// Starts a program with its output going to `output`; -1 when it could not.
pid_t spawn(const std::vector<std::string>& args, const std::string& output = "/dev/null",
            char** env = environ) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

int finish(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run(const std::vector<std::string>& args) {
    pid_t pid = spawn(args);
    return pid < 0 ? -1 : finish(pid);
}

void stop(pid_t& pid, int signal = SIGTERM) {
    if (pid > 0) {
        kill(pid, signal);
        finish(pid);
    }
    pid = -1;
}

struct PulseServer {
    test::TempDir dir;
    pid_t pid = -1;
    std::string why;  // the reason it did not start

    bool start() {
        std::string socket = dir.file("pulse.sock");
        setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
        // Its own home, so that nothing of the machine's user is touched.
        std::vector<std::string> envText;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "HOME=", 5) != 0) envText.emplace_back(*e);
        }
        envText.push_back("HOME=" + dir.path);
        std::vector<char*> env;
        for (auto& e : envText) env.push_back(e.data());
        env.push_back(nullptr);
        pid = spawn({"pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
                     "--use-pid-file=no",
                     "--load=module-native-protocol-unix socket=" + socket + " auth-anonymous=1",
                     "--load=module-null-sink sink_name=marvane rate=11025 channels=1"},
                    dir.file("pulse.log"), env.data());
        if (pid < 0) {
            why = "pulseaudio could not be started (is it installed?)";
            return false;
        }
        auto until = Clock::now() + std::chrono::seconds(20);
        while (run({"pactl", "info"}) != 0) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                std::ifstream log(dir.file("pulse.log"));
                std::string text((std::istreambuf_iterator<char>(log)), {});
                why = "pulseaudio exited at start: " + text.substr(text.size() > 400 ? text.size() - 400 : 0);
                return false;
            }
            if (Clock::now() > until) {
                stop(pid);
                why = "pulseaudio did not answer within 20 s";
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        run({"pactl", "set-default-sink", "marvane"});
        run({"pactl", "set-default-source", "marvane.monitor"});
        return true;
    }

    ~PulseServer() {
        stop(pid);
        unsetenv("PULSE_SERVER");
    }
};

class RealtimePulse : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        wave::manual::uninstall();
        unsetenv("MARVANE_VIRTUAL_SOUND");
        if (!server.start()) GTEST_SKIP() << "no PulseAudio here: " << server.why;
        wave::portaudio::forceDeviceRate(GetParam());
        initSoundCards();
    }
    void TearDown() override {
        closeSoundDevices();
        wave::portaudio::forceDeviceRate(0);
    }
    PulseServer server;
};

// Phase of the tone in each block, for a given frequency; a lost stretch of
// samples shows as a jump.
std::vector<double> blockPhases(const std::vector<std::int16_t>& s, double frequency) {
    std::vector<double> phases;
    for (std::size_t b = 0; b + block <= s.size(); b += block) {
        std::complex<double> z;
        for (std::size_t i = b; i < b + block; ++i) {
            z += static_cast<double>(s[i]) *
                 std::polar(1.0, -2 * M_PI * frequency * static_cast<double>(i) / rate);
        }
        phases.push_back(std::arg(z));
    }
    return phases;
}

double wrapDegrees(double radians) {
    double d = std::remainder(radians, 2 * M_PI);
    return d * 180 / M_PI;
}

TEST_P(RealtimePulse, CapturesAPlayedToneAt11025WithoutLosingABlock) {
    ASSERT_GT(inputDeviceCount(), 0) << "PortAudio found no capture device through ALSA";
    ASSERT_TRUE(test::writeWav(server.dir.file("tone.wav"), test::tone(1000, rate, rate * 9, 10000),
                               rate, 1));
    selectCaptureDevice(-1, true);
    configureCapture(block, rate);
    pid_t player = spawn({"paplay", "--device=marvane", server.dir.file("tone.wav")});
    ASSERT_GT(player, 0);

    std::vector<std::int16_t> got(block);
    int waited = 0;
    do {
        readCaptureBlock(got.data());
        ASSERT_LT(++waited, 100) << "the tone never arrived";
    } while (test::rms(got.data(), block) < 1000);

    std::vector<std::int16_t> all;
    int overruns = 0;
    for (int b = 0; b < 54; ++b) {  // five seconds
        overruns += readCaptureBlock(got.data()) ? 1 : 0;
        all.insert(all.end(), got.begin(), got.end());
    }
    stop(player);
    EXPECT_EQ(overruns, 0);
    double frequency = test::toneFrequency(all, rate);
    EXPECT_NEAR(frequency, 1000.0, 10.0);
    std::vector<double> phases = blockPhases(all, frequency);
    double worst = 0;
    for (std::size_t b = 1; b < phases.size(); ++b) {
        worst = std::max(worst, std::abs(wrapDegrees(phases[b] - phases[b - 1])));
    }
    EXPECT_LT(worst, 10.0) << "the tone jumps: samples were lost between blocks";
    EXPECT_GT(test::rms(all.data(), all.size()), 6000.0);
}

TEST_P(RealtimePulse, AWrittenToneIsHeardOnTheSinkMonitor) {
    ASSERT_GT(outputDeviceCount(), 0) << "PortAudio found no playback device through ALSA";
    selectPlaybackDevice(-1, true);
    configurePlayback(block, rate);
    std::string recording = server.dir.file("heard.raw");
    pid_t recorder = spawn({"parec", "--device=marvane.monitor", "--rate=11025", "--channels=1",
                            "--format=s16le", "--raw"},
                           recording);
    ASSERT_GT(recorder, 0);
    std::vector<std::int16_t> tone = test::tone(1000, rate, 33 * block, 10000);  // three seconds
    std::vector<std::int16_t> quiet(block, 0);
    for (int b = 0; b < 10; ++b) writePlaybackBlock(quiet.data());
    for (int b = 0; b < 33; ++b) writePlaybackBlock(tone.data() + b * block);
    for (int b = 0; b < 15; ++b) writePlaybackBlock(quiet.data());
    stop(recorder, SIGINT);

    std::ifstream in(recording, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::int16_t> heard(bytes.size() / 2);
    std::memcpy(heard.data(), bytes.data(), heard.size() * 2);
    std::size_t first = heard.size(), last = 0;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        if (std::abs(heard[i]) > 2000) {
            first = std::min(first, i);
            last = i;
        }
    }
    ASSERT_LT(first, last) << "nothing was heard (" << heard.size() << " samples recorded)";
    // Nothing of the three seconds is missing, and its first second is the tone.
    EXPECT_GT(static_cast<double>(last - first) / rate, 33.0 * block / rate - 0.1);
    ASSERT_GT(last - first, static_cast<std::size_t>(rate));
    std::vector<std::int16_t> second(heard.begin() + static_cast<std::ptrdiff_t>(first),
                                     heard.begin() + static_cast<std::ptrdiff_t>(first + rate));
    EXPECT_NEAR(test::toneFrequency(second, rate), 1000.0, 10.0);
}

INSTANTIATE_TEST_SUITE_P(Realtime, RealtimePulse, ::testing::Values(0, 48000),
                         [](const auto& info) {
                             return info.param == 0 ? std::string("At11025")
                                                    : "ConvertedFrom" + std::to_string(info.param);
                         });

// The server going away stands for an unplugged card: reads go on returning
// within a block's time, and a later select tries the device again.
TEST(RealtimePulseGone, AVanishedDeviceNeitherHangsNorCrashes) {
    wave::manual::uninstall();
    unsetenv("MARVANE_VIRTUAL_SOUND");
    PulseServer server;
    if (!server.start()) GTEST_SKIP() << "no PulseAudio here: " << server.why;
    initSoundCards();
    selectCaptureDevice(-1, true);
    selectPlaybackDevice(-1, true);
    configureCapture(block, rate);
    configurePlayback(block, rate);
    std::vector<std::int16_t> got(block);
    std::vector<std::int16_t> tone(block, 1000);
    readCaptureBlock(got.data());
    writePlaybackBlock(tone.data());
    stop(server.pid, SIGKILL);

    // The first calls may still find blocks that were done before the loss;
    // after them every call returns within about a block's time (93 ms),
    // checked here with a wide margin over the last 15 of 20.
    constexpr int calls = 20;
    std::vector<Clock::time_point> readAt, writtenAt;
    std::atomic<int> reads{0};
    std::thread reader([&] {
        for (int i = 0; i < calls; ++i) {
            readCaptureBlock(got.data());
            readAt.push_back(Clock::now());
            writePlaybackBlock(tone.data());
            writtenAt.push_back(Clock::now());
            reads++;
        }
    });
    auto until = Clock::now() + std::chrono::seconds(120);
    while (reads.load() < calls && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(reads.load(), calls) << "reads or writes hang after the device went away";
    reader.join();
    const double lateSpan = std::chrono::duration<double>(writtenAt.back() - readAt[calls - 16]).count();
    EXPECT_LT(lateSpan, 15 * 2 * (1024.0 / 11025.0) * 4) << "a call waits far longer than a block";
    EXPECT_TRUE(wave::waveOutFailed(playbackStream.deviceHandle));
    EXPECT_TRUE(wave::waveInFailed(captureStream.deviceHandle));

    test::NoticeCapture notices;
    selectCaptureDevice(-1, true);
    EXPECT_FALSE(readCaptureBlock(got.data()));
    EXPECT_EQ(notices.text(), "Sound Interface Start, waveInOpen() failed.");
    closeSoundDevices();
}

}  // namespace
}  // namespace marvane::sound
