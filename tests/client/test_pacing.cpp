// SPDX-License-Identifier: GPL-3.0-or-later
// The live transmit pacing by fill reports, and the silence that ends a
// live transmission.
#include <gtest/gtest.h>

#include "pacing.h"

namespace marvane::client {
namespace {

constexpr double kReportSeconds = 2 * 1024 / 11025.0;

// Reports `count` times the fill `fill`.
void reports(LivePacer& p, int count, int fill) {
    for (int i = 0; i < count; ++i)
        p.report(fill, kReportSeconds);
}

TEST(LivePacer, DropsOnlyAStandingExcessAndWidensItsMarginForJitter) {
    LivePacer p;
    p.start(11025.0);
    const int target = p.targetFill();
    EXPECT_NEAR(target / 11025.0, 0.3, 0.02);  // a block and 0.2 s

    // At the target, and swinging half a block around it: nothing dropped.
    reports(p, 50, target);
    for (int i = 0; i < 50; ++i)
        p.report(target + (i % 2 ? 500 : -500), kReportSeconds);
    EXPECT_EQ(p.dropFrom(1000), 1000u);

    // One report high is a burst, not a standing excess.
    p.report(target + 5000, kReportSeconds);
    reports(p, 7, target);
    EXPECT_EQ(p.dropFrom(1000), 1000u);

    // A block and a half above for 1.5 s: that much leaves the audio still
    // to send, spread over the captures that follow.
    reports(p, 8, target + 1500);
    EXPECT_EQ(p.dropFrom(1000), 0u);
    EXPECT_EQ(p.dropFrom(1000), 500u);
    EXPECT_EQ(p.dropped, 1500u);

    // A report below a block: silence went on the air; the margin grows.
    p.report(900, kReportSeconds);
    EXPECT_EQ(p.shortBlocks, 1);
    EXPECT_GT(p.targetFill(), target);
    const int widened = p.targetFill();
    // Calm reports for 20 s give some of it back, down to the first margin.
    reports(p, static_cast<int>(20 / kReportSeconds) + 1, widened);
    EXPECT_LT(p.targetFill(), widened);
    reports(p, static_cast<int>(200 / kReportSeconds), widened);
    EXPECT_EQ(p.targetFill(), target);
}

TEST(LivePacer, TheFirstReportsAfterTransmitSayNothingAboutJitter) {
    LivePacer p;
    p.start(11025.0);
    const int target = p.targetFill();
    reports(p, 3, 0);  // the ring is still filling
    EXPECT_EQ(p.shortBlocks, 0);
    EXPECT_EQ(p.targetFill(), target);
    p.report(0, kReportSeconds);
    EXPECT_EQ(p.shortBlocks, 1);
}

TEST(TailSilence, CoversTheDroppedRestTheQueuedBlocksAndTheDeviceInWholeBlocks) {
    for (bool half : {false, true}) {
        const int block = half ? 512 : 1024;
        const double rate = half ? 5512.5 : 11025.0;
        std::size_t file = tailSilenceBytes(half, false);
        std::size_t live = tailSilenceBytes(half, true);
        EXPECT_EQ(file % static_cast<std::size_t>(block), 0u) << half;
        EXPECT_GE(static_cast<double>(file), 4 * block + 0.25 * rate) << half;
        EXPECT_LT(static_cast<double>(file), 5 * block + 0.25 * rate) << half;
        // Up to 1023 bytes at the end of the ring are dropped, and at half
        // rate the filter holds 16 more.
        EXPECT_EQ(live, file + 1024 + (half ? 16 : 0)) << half;
    }
}

}  // namespace
}  // namespace marvane::client
