// SPDX-License-Identifier: GPL-3.0-or-later
// "marvane.conf": every value in its range whatever the file holds, an allow
// list that is never empty once it stops letting everyone in (a bad list
// fails closed), networks whose host bits are clear, hamlib chosen only with
// a rig model and the device its PTT type needs, device names one word of
// printable characters, and every notice one line.
#include <string>

#include "config/settings.h"
#include "fuzz_support.h"

namespace {

// One word of printable characters, at most 200 of them; empty for none.
bool deviceName(const std::string& name) {
    if (name.size() > 200) return false;
    for (const char c : name)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    marvane::fuzz::checkNoticesAreOneLine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace marvane;
    fuzz::putFile(config::kSettingsFileName, data, size);
    config::loadSettings();
    const config::Settings& s = config::settings();
    fuzz::check(s.link.port >= 1 && s.link.port <= 65535, "a link port outside 1..65535");
    fuzz::check(s.transmit.maxSeconds >= 0 && s.transmit.maxSeconds <= 86400 &&
                    s.transmit.silenceSeconds >= 0 && s.transmit.silenceSeconds <= 86400,
                "a transmit limit outside 0..86400 s");
    fuzz::check(s.link.allowEveryone || !s.link.allow.empty(), "an empty allow list");
    for (const config::Ipv4Network& n : s.link.allow)
        fuzz::check((n.address & ~n.mask) == 0, "an allowed network with host bits");

    const config::PttSettings& p = s.ptt;
    const std::string& type = p.pttType;
    fuzz::check(type == "RIG" || type == "RTS" || type == "DTR" || type == "CM108" ||
                    type == "GPIO" || type == "GPION",
                "a PTT type that is none of the known ones");
    fuzz::check(deviceName(p.rigPort) && deviceName(p.pttPort), "a device name that is not one word");
    fuzz::check(p.serialSpeed == 0 || (p.serialSpeed >= 50 && p.serialSpeed <= 10000000),
                "a serial speed outside 50..10000000");
    if (p.method == config::PttMethod::hamlib) {
        fuzz::check(p.rigModel >= 1 && p.rigModel <= 999999, "hamlib without a rig model");
        const bool ownDevice = type == "CM108" || type == "GPIO" || type == "GPION";
        const bool serialLine = type == "RTS" || type == "DTR";
        fuzz::check(!ownDevice || !p.pttPort.empty(), "a CM108 or GPIO PTT without its device");
        fuzz::check(!serialLine || !p.pttPort.empty() || !p.rigPort.empty(),
                    "an RTS or DTR PTT without a serial port");
    }
    return 0;
}
