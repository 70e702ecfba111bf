// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The unit of audio between the sound streams, the audio pump, the level
// control and the transmit sample source.

#include "link/link_protocol.h"

#include <array>
#include <cstdint>

namespace marvane::audio {

using link::kBlockSamples;
using link::kSampleRate;

using SampleBlock = std::array<int16_t, kBlockSamples>;

} // namespace marvane::audio
