// SPDX-License-Identifier: GPL-3.0-or-later
// "comports.txt": for each port choice the device is the default
// /dev/ttyS(n-1) or a word of the file, never empty and never holding white
// space; a choice outside "1".."8" names no device.
#include <cctype>
#include <string>

#include "config/settings_file.h"
#include "fuzz_support.h"
#include "ptt/serial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace marvane;
    fuzz::putFile("comports.txt", data, size);
    const std::string text(reinterpret_cast<const char*>(data),
                           size < config::kMaxSettingsBytes ? size : config::kMaxSettingsBytes);
    for (const char choice : {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', ':', '\0'}) {
        const std::string device = ptt::serialDeviceFor(choice);
        if (choice < '1' || choice > '8') {
            fuzz::check(device.empty(), "a device for a choice that names no port");
            continue;
        }
        fuzz::check(!device.empty(), "no device for a port");
        for (const char c : device)
            fuzz::check(!std::isspace(static_cast<unsigned char>(c)), "white space in a device");
        const std::string fallback = "/dev/ttyS" + std::to_string(choice - '1');
        fuzz::check(device == fallback || text.find(device) != std::string::npos,
                    "a device that is neither the default nor in the file");
    }
    return 0;
}
