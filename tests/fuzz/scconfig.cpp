// SPDX-License-Identifier: GPL-3.0-or-later
// "scconfig.txt": the reader takes the two choices as formatted input does
// ("%d %s" twice). Checked against the C library's own fscanf on the same
// file, wherever fscanf's result is defined (no number beyond int).
#include <cctype>
#include <cstdio>

#include "config/settings_file.h"
#include "fuzz_support.h"
#include "sound/sound.h"

namespace {

constexpr int kUntouched = -123456789;

bool numbersFitInt(const uint8_t* data, std::size_t size) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < size; ++i) {
        run = std::isdigit(data[i]) ? run + 1 : 0;
        if (run > 9) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace marvane;
    fuzz::putFile("scconfig.txt", data, size);
    sound::playbackChoice = sound::captureChoice = kUntouched;
    sound::loadSoundCardChoice();
    if (size > config::kMaxSettingsBytes || !numbersFitInt(data, size)) return 0;

    int playback = kUntouched, capture = kUntouched, value;
    char word[104];
    std::FILE* f = std::fopen("scconfig.txt", "r");
    if (f == nullptr) fuzz::fail("cannot read the input file back");
    if (std::fscanf(f, "%d", &value) == 1) {
        playback = value;
        if (std::fscanf(f, " %103s", word) == 1 && std::fscanf(f, "%d", &value) == 1) capture = value;
    }
    std::fclose(f);
    fuzz::check(sound::playbackChoice == playback && sound::captureChoice == capture,
                "the choices differ from what formatted input reads");
    return 0;
}
