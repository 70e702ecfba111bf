#include "app/commands.h"

#include "config/settings.h"
#include "ptt/ptt.h"
#include "sound/sound.h"

namespace marvane::app {

void printUsage(std::FILE* out) {
    std::fputs(
        "usage: marvane [--headless | --list-devices | --unkey | --help | --version]\n"
        "Puts the station's audio on the network (TCP port 3020). The settings files\n"
        "(scconfig.txt, scnames.txt, txport.bin, comports.txt, url.txt, marvane.conf)\n"
        "are read from the working folder.\n"
        "  (none)          the station in its main window; without a display, headless\n"
        "  --headless      the station without a window: one log line per change;\n"
        "                  SIGINT or SIGTERM ends it, SIGUSR1 switches announcing\n"
        "  --list-devices  list the playback and capture devices with their numbers\n"
        "                  (scconfig.txt) and whole names (scnames.txt), marking the\n"
        "                  system's default and the chosen ones, and exit\n"
        "  --unkey         drop RTS and DTR on the PTT port that txport.bin names, and\n"
        "                  exit (1 when that port cannot be opened)\n"
        "  --help          show this text and exit\n"
        "  --version       show the version and exit\n",
        out);
}

void printVersion() { std::printf("marvane %s\n", MARVANE_VERSION); }

int listDevices() {
    sound::printDeviceLists();
    return 0;
}

int unkey() {
    // The keying settings of marvane.conf apply as they do for the station.
    config::loadSettings();
    const char choice = ptt::loadPttChoice();
    if (choice < '1' || choice > '8') {
        std::printf("marvane --unkey: txport.bin chooses no PTT port\n");
        return 0;
    }
    ptt::openPttPort(choice);
    if (!ptt::pttPortOpen()) {
        std::fprintf(stderr, "marvane --unkey: the PTT port COM%c cannot be opened\n", choice);
        return 1;
    }
    ptt::pttOff();
    ptt::openPttPort('0');
    std::printf("marvane --unkey: RTS and DTR dropped on COM%c\n", choice);
    return 0;
}

} // namespace marvane::app
