// The hamlib keying method: the transmitter keyed through a rig that hamlib
// drives. ptt_type RIG sends the rig's CAT command; RTS and DTR raise a line
// of the rig's port (or of ptt_port); CM108, GPIO and GPION drive the pin of
// a USB sound interface or a GPIO line named by ptt_port.
#include "config/notice.h"
#include "ptt/keying.h"

#include <hamlib/rig.h>

#include <csignal>
#include <string>

namespace marvane::ptt {
namespace {

// hamlib waits this long for each answer, and tries once more: a rig that
// does not answer costs about 0.5 s per keying call, and the audio pump is
// never held longer.
constexpr const char* kTimeoutMs = "250";
constexpr const char* kRetries = "1";

// Only the keying front calls in here, one call at a time.
RIG* rig = nullptr;
bool rigOpen = false;
std::string rigName;  // "rig model 2 (Hamlib NET rigctl) at 127.0.0.1:4532", for notices

// hamlib's own text for an error code, without its line end.
std::string errorText(int code) {
    std::string text = rigerror2(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : text;
}

void closeRig() {
    if (!rigOpen) return;
    rig_close(rig);
    rigOpen = false;
}

// One attempt to open the rig; `what` begins the notice on failure.
bool openRig(const char* what, const char* after) {
    const int result = rig_open(rig);
    if (result != RIG_OK) {
        config::notice("%s: cannot open the %s: %s%s", what, rigName.c_str(),
                       errorText(result).c_str(), after);
        return false;
    }
    rigOpen = true;
    return true;
}

bool setConf(const char* name, const std::string& value) {
    const int result = rig_set_conf(rig, rig_token_lookup(rig, name), value.c_str());
    if (result == RIG_OK) return true;
    config::notice("ptt: hamlib does not take %s = %s for %s: %s; nothing is keyed", name,
                   value.c_str(), rigName.c_str(), errorText(result).c_str());
    return false;
}

void stopHamlib() {
    if (!rig) return;
    closeRig();
    rig_cleanup(rig);
    rig = nullptr;
}

// Sets up the rig from [ptt]; false (with a notice) when it cannot key.
bool configure(const config::PttSettings& s) {
    const rig_caps* caps = rig->caps;
    rigName = "rig model " + std::to_string(s.rigModel) + " (" + caps->mfg_name + " " +
              caps->model_name + ")";
    if (!s.rigPort.empty()) rigName += " at " + s.rigPort;
    // hamlib's default device for a serial rig is /dev/ttyS0, on many
    // machines the console: a rig on a serial port is opened only by name.
    if (s.rigPort.empty() && caps->port_type == RIG_PORT_SERIAL) {
        config::notice("ptt: the %s is on a serial port: name it in [ptt] rig_port "
                       "(e.g. rig_port = /dev/ttyUSB0); nothing is keyed",
                       rigName.c_str());
        return false;
    }
    if (!s.rigPort.empty() && !setConf("rig_pathname", s.rigPort)) return false;
    if (!setConf("ptt_type", s.pttType)) return false;
    // RTS or DTR of the rig's own port when the PTT has none of its own.
    const std::string pttPort =
        s.pttPort.empty() && (s.pttType == "RTS" || s.pttType == "DTR") ? s.rigPort : s.pttPort;
    if (!pttPort.empty() && !setConf("ptt_pathname", pttPort)) return false;
    if (s.serialSpeed > 0 && !setConf("serial_speed", std::to_string(s.serialSpeed))) return false;
    if (!setConf("timeout", kTimeoutMs) || !setConf("retry", kRetries)) return false;
    // The PTT read back after unkeying must come from the rig, not from
    // hamlib's record of what it last set.
    rig_set_cache_timeout_ms(rig, HAMLIB_CACHE_ALL, 0);
    return true;
}

void startHamlib(const config::PttSettings& s) {
    stopHamlib();
    rig_set_debug(RIG_DEBUG_NONE);
    // hamlib writes to a rigctld's socket without MSG_NOSIGNAL: a rigctld
    // that went away must fail the keying call, not end the process.
    struct sigaction pipe {};
    if (sigaction(SIGPIPE, nullptr, &pipe) == 0 && pipe.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);

    rig = rig_init(static_cast<rig_model_t>(s.rigModel));
    if (!rig) {
        config::notice("ptt: hamlib knows no rig model %d (%s line %d; rigctl -l lists them); "
                       "nothing is keyed",
                       s.rigModel, config::kSettingsFileName, s.rigModelLine);
        return;
    }
    if (!configure(s)) {
        rig_cleanup(rig);
        rig = nullptr;
        return;
    }
    const std::string port = s.pttPort.empty() ? "" : ", ptt_port " + s.pttPort;
    config::notice("ptt: keyed through hamlib: %s, ptt_type %s%s", rigName.c_str(),
                   s.pttType.c_str(), port.c_str());
    openRig("ptt", "; it is tried again at each keying");
}

// After unkeying: the rig's own PTT state where it can report it, set again
// once while it still shows keyed. False (noticed) when unkeying failed.
bool confirmUnkeyed() {
    for (int attempt = 0;; ++attempt) {
        ptt_t state = RIG_PTT_OFF;
        const int result = rig_get_ptt(rig, RIG_VFO_CURR, &state);
        if (result == -RIG_ENAVAIL || result == -RIG_ENIMPL) return true;  // cannot report
        if (result != RIG_OK) {
            config::notice("ptt off failed: cannot read the PTT back from the %s: %s",
                           rigName.c_str(), errorText(result).c_str());
            return false;
        }
        if (state == RIG_PTT_OFF) return true;
        if (attempt == 1) {
            config::notice("ptt off failed: the %s still reports its PTT on", rigName.c_str());
            return false;
        }
        const int again = rig_set_ptt(rig, RIG_VFO_CURR, RIG_PTT_OFF);
        if (again != RIG_OK) {
            config::notice("ptt off failed: %s: %s", rigName.c_str(), errorText(again).c_str());
            return false;
        }
    }
}

void keyHamlib(bool on) {
    if (!rig) return;
    const char* what = on ? "ptt on failed" : "ptt off failed";
    if (!rigOpen && !openRig(what, "")) return;
    const int result = rig_set_ptt(rig, RIG_VFO_CURR, on ? RIG_PTT_ON : RIG_PTT_OFF);
    if (result != RIG_OK) {
        config::notice("%s: %s: %s", what, rigName.c_str(), errorText(result).c_str());
        // A lost connection or device stays lost: the next keying opens the rig anew.
        closeRig();
        return;
    }
    if (!on && !confirmUnkeyed()) closeRig();
}

constexpr KeyingMethod kHamlibKeying{"hamlib", startHamlib, keyHamlib, stopHamlib};

}  // namespace

const KeyingMethod& hamlibKeying() { return kHamlibKeying; }

}  // namespace marvane::ptt
