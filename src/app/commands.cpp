// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/commands.h"

#include <atomic>
#include <cstring>
#include <string>

#include "config/notice.h"
#include "config/settings.h"
#include "ptt/ptt.h"
#include "sound/sound.h"

namespace marvane::app {

void printUsage(std::FILE* out) {
    std::fputs(
        "usage: marvane [--headless | --list-devices | --unkey | --help | --version]\n"
        "       marvane --add-user NAME [--listener] | --remove-user NAME | --list-users\n"
        "Puts the station's audio on the network (TCP port 3020, and the web station\n"
        "on HTTPS port 8443). The settings files (scconfig.txt, scnames.txt,\n"
        "txport.bin, comports.txt, url.txt, marvane.conf, web-users.txt) are read\n"
        "from the working folder.\n"
        "  (none)          the station in its main window; without a display, headless\n"
        "  --headless      the station without a window: one log line per change;\n"
        "                  SIGINT or SIGTERM ends it, SIGUSR1 switches announcing\n"
        "  --list-devices  list the playback and capture devices with their numbers\n"
        "                  (scconfig.txt) and whole names (scnames.txt), marking the\n"
        "                  system's default and the chosen ones, and exit\n"
        "  --unkey         unkey the transmitter as the station keys it ([ptt] in\n"
        "                  marvane.conf: RTS and DTR of the port txport.bin names, or\n"
        "                  the rig) and exit (1 when the port or the rig is not reached)\n"
        "  --add-user NAME [--listener]\n"
        "                  add (or change) a web station account: asks for its\n"
        "                  password twice (or reads one line when standard input is\n"
        "                  no terminal); an operator, or a listener with --listener\n"
        "  --remove-user NAME  remove a web station account (its sessions end)\n"
        "  --list-users    list the web station's accounts and their roles\n"
        "  --help          show this text and exit\n"
        "  --version       show the version and exit\n"
        "For tests and machines without a sound card (these win over marvane.conf):\n"
        "  MARVANE_PORT=N  the link listens on port N instead of 3020\n"
        "  MARVANE_WEB_PORT=N  the web station listens on port N instead of [web]'s\n"
        "  MARVANE_VIRTUAL_SOUND=DIR\n"
        "                  one virtual input and output instead of the sound cards:\n"
        "                  capture plays DIR/capture.wav in a loop (silence without\n"
        "                  it), playback is written to DIR/playback.wav\n",
        out);
}

void printVersion() { std::printf("marvane %s\n", MARVANE_VERSION); }

int listDevices() {
    sound::printDeviceLists();
    return 0;
}

namespace {

// --unkey's notices are its diagnostics: on the standard error. The keying
// front reports an unkey that reached neither the port nor the rig as
// "ptt off failed: <reason>"; that makes the exit status 1.
std::atomic<bool> unkeyFailed{false};

void unkeyNotice(const char* text) {
    if (std::strncmp(text, "ptt off failed", 14) == 0) unkeyFailed.store(true);
    std::fprintf(stderr, "marvane --unkey: %s\n", text);
}

}  // namespace

int unkey() {
    config::setNoticeSink(unkeyNotice);
    // The keying method of marvane.conf and the port of txport.bin, as the
    // station keys them: a port that failed at the start is opened once more
    // by the unkey, a rig likewise (stopKeying waits for that).
    config::loadSettings();
    ptt::startKeying();
    const bool serialPort = ptt::keyingBySerialPort() && ptt::pttPortOpen();
    const std::string method = ptt::keyingMethodName();
    ptt::pttOff();
    ptt::stopKeying();
    if (unkeyFailed.load()) {
        std::fprintf(stderr, "marvane --unkey: the transmitter may still be keyed\n");
        return 1;
    }
    if (serialPort)
        std::printf("marvane --unkey: RTS and DTR dropped on COM%c\n", ptt::loadPttChoice());
    else
        std::printf("marvane --unkey: done (%s keying)\n", method.c_str());
    return 0;
}

} // namespace marvane::app
