// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual input's capture file, read directly: files at rates far from
// the stream's are not converted.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sound/wave/capture_file.h"
#include "support.h"

namespace marvane::sound::wave {
namespace {

// Catches a file at a rate far from the stream's that is converted anyway:
// a capture.wav at 1 sample per second took seconds per block to convert, and
// the virtual card's clock stalled. Such files give silence and one message;
// the rates at the limits still play.
TEST(CaptureFile, RatesBeyondTheLimitsGiveSilenceAndTheLimitsPlay) {
    test::TempDir dir;
    const struct {
        int rate;
        bool plays;
    } cases[] = {{1, false}, {999, false}, {1000, true}, {768000, true}, {768001, false}};
    for (const auto& c : cases) {
        const std::string path = dir.file(("capture-" + std::to_string(c.rate) + ".wav").c_str());
        ASSERT_TRUE(test::writeWav(path, std::vector<std::int16_t>(4000, 5000), c.rate, 1));
        testing::internal::CaptureStderr();
        CaptureFile source;
        openCaptureFile(source, path, 11025);
        std::vector<std::int16_t> got(4 * 1024, 1);
        for (int b = 0; b < 4; ++b) fillCapture(source, got.data() + b * 1024, 1024);
        closeCaptureFile(source);
        const std::string said = testing::internal::GetCapturedStderr();
        const bool played = std::any_of(got.begin(), got.end(), [](std::int16_t s) { return s != 0; });
        EXPECT_EQ(played, c.plays) << c.rate;
        EXPECT_EQ(said.find("outside 1000 to 768000; capturing silence") != std::string::npos,
                  !c.plays)
            << c.rate << ": " << said;
    }
}

}  // namespace
}  // namespace marvane::sound::wave
