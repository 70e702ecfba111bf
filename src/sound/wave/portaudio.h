// Knobs of the PortAudio back end for tests.
#pragma once

namespace marvane::sound::wave::portaudio {

// Opens devices at this rate instead of the stream's (0: off), so that tests
// can run the conversion path on a sound server that takes any rate.
void forceDeviceRate(int rate);

}  // namespace marvane::sound::wave::portaudio
