// marvane: the station in its main window, or without one (--headless, or
// when no display can be opened).

#include "app/headless.h"
#include "app/main_window.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else {
            std::fprintf(stderr, "usage: marvane [--headless]\n");
            return 1;
        }
    }
    if (!headless) {
        const int code = marvane::app::runMainWindow(argc, argv);
        if (code >= 0) return code;
    }
    return marvane::app::runHeadless();
}
