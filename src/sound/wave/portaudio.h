// What the PortAudio back end offers beyond the wave service: its device
// filter, and a knob for tests.
#pragma once

namespace marvane::sound::wave::portaudio {

// Opens devices at this rate instead of the stream's (0: off), so that tests
// can run the conversion path on a sound server that takes any rate.
void forceDeviceRate(int rate);
// ALSA's pseudo devices (surround*, front, dmix, sysdefault, ...), which the
// device lists leave out.
bool isPseudoDevice(const char* name);

}  // namespace marvane::sound::wave::portaudio
