// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up and shutdown of the station, for the window and the headless run.

#include "app/station.h"

#include "announce/announce.h"
#include "app/service_notify.h"
#include "audio/station_feed.h"
#include "config/notice.h"
#include "config/settings.h"
#include "link/link_server.h"
#include "ptt/ptt.h"
#include "sound/sound.h"
#include "web/web_station.h"

#include <chrono>
#include <cstdlib>
#include <exception>
#include <thread>

namespace marvane::app {

std::atomic<int> announceMenuOn{0};

namespace {

std::atomic<int> shutDown{0};

void runStep(void (*step)()) {
    if (step) step();
}

// `systemctl status` says what is wrong with the sound devices.
void tellServiceOfSound(const char* text) { setServiceStatus(StatusPart::sound, text); }

// A sound device lost for longer than [sound] give_up_seconds ends the run
// as an orderly end does, but with a failure status: a service manager that
// restarts on failure then tries a fresh start.
[[noreturn]] void watchForLostSound(int limit) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        if (sound::soundDeviceLostSeconds() <= limit) continue;
        config::notice("giving up: a sound device has been lost for more than %d s "
                       "([sound] give_up_seconds in %s); the station ends",
                       limit, config::kSettingsFileName);
        shutdownStation();
        config::notice("stopped");
        config::flushLog(2000);
        std::_Exit(kExitSoundLost);
    }
}

void startLostSoundWatch() {
    const int limit = config::settings().sound.giveUpSeconds;
    if (limit <= 0) return;
    try {
        std::thread(watchForLostSound, limit).detach();
    } catch (const std::exception&) {
        config::notice("[sound] give_up_seconds cannot be watched: the station never gives up");
    }
}

} // namespace

void startStation(const audio::StatusSink* sink, const WindowSteps* window) {
    // No step's result holds up the steps after it. The Linux port's own
    // settings come first: the link and the transmitter read them.
    config::loadSettings();
    if (config::settings().link.allowEveryone)
        config::notice("anyone who can reach port %d can connect and transmit: list the allowed "
                       "clients in %s, e.g. [link] allow = 192.168.1.0/24 127.0.0.1",
                       link::linkPort(), config::kSettingsFileName);
    sound::loadSoundCardChoice();
    sound::applySoundCardChoice();
    sound::setSoundStatusObserver(tellServiceOfSound);
    if (window) {
        runStep(window->createViewPens);
        runStep(window->buildSpectrumTables);
    }
    link::startLinkServer();
    // The keying method of [ptt]: the port of "txport.bin", or the rig.
    ptt::startKeying();
    if (window) runStep(window->startRefreshTimer);
    startServiceNotifier();
    startLostSoundWatch();
    // The listeners' audio is taken from the capture as it arrives.
    audio::startCaptureFeed();
    try {
        std::thread(audio::runAudioPump, sink).detach();
    } catch (const std::exception&) {
        // The station runs on without audio, as with a thread that never started.
    }
    // The web page shows the window's analysis; without a window the web
    // station builds its tables.
    web::startWebStation(window != nullptr);
    announceMenuOn.store(1);
    announce::setAnnouncing('Y');
    notifyServiceReady();
}

void shutdownStation() {
    if (shutDown.exchange(1)) return;
    notifyServiceStopping();
    // Unkey first and let go of the port or the rig (with HUPCL the kernel
    // drops both lines at close), so that the pump's later pttOn keys
    // nothing: the withdraw below may take up to 10 s and the transmitter
    // must not stay keyed.
    ptt::pttOff();
    ptt::stopKeying();
    if (announceMenuOn.load()) announce::setAnnouncing('N');
}

void toggleAnnouncing() {
    const int on = announceMenuOn.load() ? 0 : 1;
    announceMenuOn.store(on);
    announce::setAnnouncing(on ? 'Y' : 'N');
}

} // namespace marvane::app
