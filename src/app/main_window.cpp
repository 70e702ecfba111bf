#include "app/main_window.h"

namespace marvane::app {

// No window yet: the station runs headless.
int runMainWindow(int, char**) { return -1; }

} // namespace marvane::app
