// SPDX-License-Identifier: GPL-3.0-or-later
// "scnames.txt": the remembered device names, one per line, matched against a
// fixed device list as at start-up. A name is one line without white space
// around it; the device it finds is one of the list, and one whose name holds
// it (or holds it without its ALSA card number); a name that finds none keeps
// the number of "scconfig.txt"; every notice is one line.
#include <cctype>
#include <string>

#include "fuzz_support.h"
#include "sound/sound.h"

namespace {

const char* const kDevices[] = {"default", "USB Audio CODEC: USB Audio (hw:1,0)",
                                "HDA Intel PCH: ALC892 Analog (hw:0,0)", "pulse", ""};
constexpr int kCount = 5;

const char* deviceName(int i) { return i >= 0 && i < kCount ? kDevices[i] : ""; }

bool holdsIgnoringCase(std::string text, std::string part) {
    for (std::string* s : {&text, &part})
        for (char& c : *s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text.find(part) != std::string::npos;
}

bool trimmedLine(const std::string& name) {
    if (name.find('\n') != std::string::npos) return false;
    return name.empty() || (!std::isspace(static_cast<unsigned char>(name.front())) &&
                            !std::isspace(static_cast<unsigned char>(name.back())));
}

void checkName(const std::string& name) {
    using namespace marvane;
    fuzz::check(trimmedLine(name), "a name that is not one trimmed line");
    const int found = sound::findDeviceByName(name, kCount, deviceName);
    fuzz::check(found >= -1 && found < kCount, "a device outside the list");
    if (name.empty()) fuzz::check(found == -1, "an empty name finds a device");
    if (found < 0) return;
    std::string bare = name.substr(0, name.rfind("(hw:"));
    while (!bare.empty() && bare.back() == ' ') bare.pop_back();
    fuzz::check(holdsIgnoringCase(kDevices[found], name) ||
                    (!bare.empty() && holdsIgnoringCase(kDevices[found], bare)),
                "a device whose name does not hold the remembered name");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    marvane::fuzz::checkNoticesAreOneLine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace marvane;
    fuzz::putFile("scnames.txt", data, size);
    sound::playbackChoiceName = sound::captureChoiceName = "untouched";
    sound::loadSoundCardChoice();
    checkName(sound::playbackChoiceName);
    checkName(sound::captureChoiceName);
    return 0;
}
