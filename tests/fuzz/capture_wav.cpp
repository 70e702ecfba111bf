// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual sound card's capture file: any bytes as capture.wav, opened for
// an 11025 Hz stream and read for eight blocks. No crash, no hang, no
// overrun, whatever the header claims (rates, channels, lengths).
#include "fuzz_support.h"
#include "sound/wave/capture_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace marvane::sound::wave;
    marvane::fuzz::putFile("capture.wav", data, size);
    CaptureFile source;
    openCaptureFile(source, "capture.wav", 11025);
    int16_t block[1024];
    for (int i = 0; i < 8; ++i) fillCapture(source, block, 1024);
    closeCaptureFile(source);
    return 0;
}
