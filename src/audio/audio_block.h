// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The unit of audio between the sound streams, the audio pump, the level
// control and the transmit sample source.

#include <array>
#include <cstdint>

namespace marvane::audio {

inline constexpr int kBlockLength = 1024;
inline constexpr int kSampleRate = 11025;

using SampleBlock = std::array<int16_t, kBlockLength>;

} // namespace marvane::audio
