// "marvane.conf": every value in its range whatever the file holds, an allow
// list that is never empty once it stops letting everyone in (a bad list
// fails closed), networks whose host bits are clear, and every notice one line.
#include <cstring>

#include "config/notice.h"
#include "config/settings.h"
#include "fuzz_support.h"

namespace {

void oneLine(const char* text) {
    marvane::fuzz::check(std::strchr(text, '\n') == nullptr && std::strchr(text, '\r') == nullptr,
                         "a notice of more than one line");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    marvane::config::setNoticeSink(oneLine);
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
    return 0;
}
