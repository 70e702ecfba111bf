// SPDX-License-Identifier: GPL-3.0-or-later
// The hamlib keying method: the transmitter keyed through a rig that hamlib
// drives. ptt_type RIG sends the rig's CAT command; RTS and DTR raise a line
// of the rig's port (or of ptt_port); CM108, GPIO and GPION drive the pin of
// a USB sound interface or a GPIO line named by ptt_port.
//
// A keying call makes one exchange with an open rig and nothing more. Opening
// and closing a rig can take seconds (some CAT rigs are asked several things
// at open, each waited for), so after start-up they run on a rig thread of
// their own: a keying call that finds the rig closed or busy asks that thread
// to open it and to key it as the last call wanted, and returns at once.
#include "config/notice.h"
#include "ptt/keying.h"

#include <hamlib/rig.h>

#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace marvane::ptt {
namespace {

// hamlib waits this long for each answer, and tries once more: a rig that
// does not answer costs about 0.5 s per keying call, and the audio pump is
// never held longer.
constexpr const char* kTimeoutMs = "250";
constexpr const char* kRetries = "1";

// rig, rigName and deviceFiles are set at start and cleared at stop, while no
// rig thread runs. hamlib's rig is used by one thread at a time: rigMutex is
// held around every use, and a keying call never waits for it.
std::mutex rigMutex;
RIG* rig = nullptr;
bool rigOpen = false;
bool rigFailed = false;  // an exchange failed: closed and opened anew before the next one
std::string rigName;  // "rig model 2 (Hamlib NET rigctl) at 127.0.0.1:4532", for notices
// The device files the rig is opened through. hamlib tries a serial device
// that is not there for about 2 s before it gives up: one that is missing
// (an unplugged USB adapter) fails the open at once instead.
std::vector<std::string> deviceFiles;

// hamlib's own text for an error code, without its line end.
std::string errorText(int code) {
    std::string text = rigerror2(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : text;
}

// What the rig thread is asked to do, under jobMutex.
std::mutex jobMutex;
std::condition_variable jobWake;
bool openWanted = false;  // open the rig if it is not, then key it as keyWanted says
bool stopping = false;
bool keyWanted = false;   // what the last keying call asked for
// Never destroyed while it runs: a program may end without stopKeying.
std::thread* rigThread = nullptr;
bool rigThreadRunning = false;

void closeRig() {
    if (rigOpen) rig_close(rig);
    rigOpen = false;
    rigFailed = false;
}

// One attempt to open the rig; `what` begins the notice on failure.
bool openRig(const char* what, const char* after) {
    for (const std::string& device : deviceFiles) {
        struct stat st {};
        if (::stat(device.c_str(), &st) != 0) {
            config::notice("%s: cannot open the %s: %s: %s%s", what, rigName.c_str(),
                           device.c_str(), std::strerror(errno), after);
            return false;
        }
    }
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
    if (rigThreadRunning) {
        {
            std::lock_guard lock(jobMutex);
            stopping = true;
        }
        jobWake.notify_one();
        rigThread->join();
        delete rigThread;
        rigThread = nullptr;
        rigThreadRunning = false;
    }
    std::lock_guard lock(rigMutex);
    closeRig();
    rig_cleanup(rig);
    rig = nullptr;
    std::lock_guard job(jobMutex);
    stopping = openWanted = keyWanted = false;
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
    const bool serialLine = s.pttType == "RTS" || s.pttType == "DTR";
    if (serialLine && s.pttPort.empty() && caps->port_type != RIG_PORT_SERIAL) {
        config::notice("ptt: ptt_type = %s needs ptt_port, the serial port whose line keys: the %s "
                       "has no serial port of its own; nothing is keyed",
                       s.pttType.c_str(), rigName.c_str());
        return false;
    }
    if (!s.rigPort.empty() && !setConf("rig_pathname", s.rigPort)) return false;
    if (!setConf("ptt_type", s.pttType)) return false;
    // RTS or DTR of the rig's own port when the PTT has none of its own.
    const std::string pttPort = s.pttPort.empty() && serialLine ? s.rigPort : s.pttPort;
    if (!pttPort.empty() && !setConf("ptt_pathname", pttPort)) return false;
    deviceFiles.clear();
    for (const std::string& device : {s.rigPort, pttPort})
        if (!device.empty() && device[0] == '/') deviceFiles.push_back(device);
    if (s.serialSpeed > 0 && !setConf("serial_speed", std::to_string(s.serialSpeed))) return false;
    if (!setConf("timeout", kTimeoutMs) || !setConf("retry", kRetries)) return false;
    // The PTT read back after unkeying must come from the rig, not from
    // hamlib's record of what it last set.
    rig_set_cache_timeout_ms(rig, HAMLIB_CACHE_ALL, 0);
    return true;
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

// One keying exchange with the open rig (rigMutex held): set its PTT and,
// after unkeying, read it back. A failure is noticed and marks the rig failed.
void exchangeLocked(bool on) {
    const char* what = on ? "ptt on failed" : "ptt off failed";
    const int result = rig_set_ptt(rig, RIG_VFO_CURR, on ? RIG_PTT_ON : RIG_PTT_OFF);
    if (result != RIG_OK) {
        config::notice("%s: %s: %s", what, rigName.c_str(), errorText(result).c_str());
        rigFailed = true;  // a lost connection or device stays lost: opened anew
        return;
    }
    if (!on && !confirmUnkeyed()) rigFailed = true;
}

// Opens the rig anew where it is closed or failed, then keys it as the last
// keying call wanted (rigMutex held). On the rig thread, or on the keying
// thread when there is none.
void reopenAndKeyLocked() {
    bool on;
    {
        std::lock_guard lock(jobMutex);
        on = keyWanted;
    }
    if (rigFailed) closeRig();
    if (!rigOpen && !openRig(on ? "ptt on failed" : "ptt off failed", "")) return;
    exchangeLocked(on);
}

void runRigThread() {
    for (;;) {
        {
            std::unique_lock lock(jobMutex);
            jobWake.wait(lock, [] { return openWanted || stopping; });
            // A pending job is done even when stopping: it may be the unkey
            // of the shutdown.
            if (!openWanted) return;
            openWanted = false;
        }
        std::lock_guard lock(rigMutex);
        reopenAndKeyLocked();
    }
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
    {
        // Opened here, before anything keys; unkeyed at once, as a serial
        // port is, in case a run before left it keyed.
        std::lock_guard lock(rigMutex);
        if (openRig("ptt", "; it is tried again at each keying")) exchangeLocked(false);
    }
    try {
        rigThread = new std::thread(runRigThread);
        rigThreadRunning = true;
    } catch (const std::exception&) {
        // Keying calls then open the rig themselves, and may wait for it.
    }
}

void keyHamlib(bool on) {
    if (!rig) return;
    {
        std::lock_guard lock(jobMutex);
        keyWanted = on;
    }
    std::unique_lock lock(rigMutex, std::defer_lock);
    if (!rigThreadRunning) {
        lock.lock();
        reopenAndKeyLocked();
        return;
    }
    // The rig thread holds the rig while it opens or closes it: it keys as
    // wanted once it is done, and the keying thread does not wait for that.
    if (lock.try_lock() && rigOpen && !rigFailed) {
        // A failure here leaves the rig to the next keying call, which has
        // the rig thread close and open it.
        exchangeLocked(on);
        return;
    }
    if (lock.owns_lock()) lock.unlock();
    {
        std::lock_guard job(jobMutex);
        openWanted = true;
    }
    jobWake.notify_one();
}

constexpr KeyingMethod kHamlibKeying{"hamlib", startHamlib, keyHamlib, stopHamlib};

}  // namespace

const KeyingMethod& hamlibKeying() { return kHamlibKeying; }

}  // namespace marvane::ptt
