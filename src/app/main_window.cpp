// SPDX-License-Identifier: GPL-3.0-or-later
// The main window "Marvane 1.0" (template 1000, menu 3000): the signal view,
// the three status boxes and the level bar, the menu commands, the 50 ms
// refresh, and the start-up and shutdown of the station around the window.
#include "app/main_window.h"

#include <FL/Enumerations.H>
#include <FL/Fl.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/icon.h"
#include "app/main_window_layout.h"
#include "app/main_window_status.h"
#include "app/sound_dialog.h"
#include "app/station.h"
#include "app/stop_signals.h"
#include "app/window_frame.h"
#include "audio/level_control.h"
#include "audio/tx_source.h"
#include "display/refresh.h"
#include "display/signal_view.h"
#include "display/spectrum.h"
#include "display/view_widget.h"
#include "link/link_state.h"
#include "ptt/ptt.h"

// Last: Xlib's macros (None, Status, ...) must not meet the headers above.
#include <FL/x.H>

namespace marvane::app {

namespace {

// Command identifiers of menu 3000.
enum Command : long {
    cmdExit = 150,
    cmdScope = 40101,
    cmdSpectrum = 40102,
    cmdWaterfall = 40103,
    cmdSoundCard = 40113,
    cmdCom1 = 40116,
    cmdCom2 = 40117,
    cmdCom3 = 40118,
    cmdCom4 = 40119,
    cmdComNone = 40120,
    cmdAnnounce = 40121,
};

constexpr double kRefreshPeriod = 0.05;  // seconds
constexpr int kTextSize = 12;
constexpr int kDisplayTries = 10;
constexpr std::chrono::milliseconds kDisplayRetryPause{100};

// The window and its controls; touched on the window thread only.
struct MainWindow {
    Fl_Window* window = nullptr;
    display::ViewWidget* graphView = nullptr;
    Fl_Input* addressBox = nullptr;
    Fl_Input* modeBox = nullptr;
    Fl_Progress* levelBar = nullptr;
    Fl_Input* infoBox = nullptr;
    bool closeRequested = false;
};

MainWindow mainWindow;

void onMenu(Fl_Widget*, void* data);

void* commandData(Command id) { return reinterpret_cast<void*>(static_cast<fl_intptr_t>(id)); }

// Menu 3000 as the resource holds it: no separators, "Anounce" checked.
Fl_Menu_Item menuItems[] = {
    {"Settings", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"Display", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"Scope", 0, onMenu, commandData(cmdScope), 0, 0, 0, 0, 0},
    {"Spectrum", 0, onMenu, commandData(cmdSpectrum), 0, 0, 0, 0, 0},
    {"Waterfall", 0, onMenu, commandData(cmdWaterfall), 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"Com Port", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"None", 0, onMenu, commandData(cmdComNone), 0, 0, 0, 0, 0},
    {"Com1", 0, onMenu, commandData(cmdCom1), 0, 0, 0, 0, 0},
    {"Com2", 0, onMenu, commandData(cmdCom2), 0, 0, 0, 0, 0},
    {"Com3", 0, onMenu, commandData(cmdCom3), 0, 0, 0, 0, 0},
    {"Com4", 0, onMenu, commandData(cmdCom4), 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"Anounce", 0, onMenu, commandData(cmdAnnounce), FL_MENU_TOGGLE | FL_MENU_VALUE, 0, 0, 0, 0},
    {"E&xit", 0, onMenu, commandData(cmdExit), 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"Sound", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"SoundCard", 0, onMenu, commandData(cmdSoundCard), 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
};

Fl_Menu_Item& announceItem() {
    for (Fl_Menu_Item& item : menuItems)
        if (item.user_data() == commandData(cmdAnnounce)) return item;
    std::abort();  // the table above holds it
}

// The Com Port menu's items choose the serial port that keys; with another
// keying method they stay in the menu, inactive.
void deactivatePortItems() {
    for (Fl_Menu_Item& item : menuItems) {
        const auto id = static_cast<long>(reinterpret_cast<fl_intptr_t>(item.user_data()));
        if (item.callback() == onMenu && id >= cmdCom1 && id <= cmdComNone) item.deactivate();
    }
}

// ---- status boxes and level bar ----

Fl_Input* box(StatusBox which) {
    switch (which) {
        case StatusBox::address: return mainWindow.addressBox;
        case StatusBox::mode: return mainWindow.modeBox;
        case StatusBox::info: return mainWindow.infoBox;
    }
    return nullptr;
}

// value() leaves the cursor, and so the view, at the end of the text: a long
// address would show only its tail. The view goes back to the start.
void setBoxText(Fl_Input* input, const char* text) {
    input->value(text);
    input->position(0);
}

// The narrow mode box shows a lost sound device's text only in part: the
// whole of it is the box's tooltip while it lasts.
void showText(StatusBox which, const char* text) {
    Fl_Input* input = box(which);
    setBoxText(input, text);
    if (which != StatusBox::mode) return;
    fl_font(input->textfont(), input->textsize());
    input->copy_tooltip(fl_width(text) > input->w() - 2 * Fl::box_dx(input->box()) ? text : nullptr);
}

// The bar's range is 0 to 100; a larger position shows it full.
void showLevel(int position) {
    if (position < 0) position = 0;
    if (position > 100) position = 100;
    mainWindow.levelBar->value(static_cast<float>(position));
}

void onAwake(void*) { applyPendingStatus(); }

bool wakeWindowThread() { return Fl::awake(onAwake, nullptr) == 0; }

constexpr StatusTarget statusTarget{showText, showLevel, wakeWindowThread};

// ---- the 50 ms refresh ----

std::string readPeerInfo() {
    char text[20];
    link::linkState.copyPeerInfo(text);
    return text;
}

void onRefreshTimer(void*) {
    Fl::repeat_timeout(kRefreshPeriod, onRefreshTimer);

    static double samples[display::kSpectrumBlockSize];
    static std::int16_t txSamples[display::kSpectrumBlockSize];
    audio::copyLevelledSamples(samples);

    display::RefreshInputs inputs;
    inputs.displayMode = display::displayMode.load();
    inputs.txActive = link::linkState.txActive.load() != 0;
    inputs.clientConnected = link::linkState.clientConnected.load() != 0;
    inputs.lastReportedFill = link::linkState.lastReportedFill.load();
    inputs.currentGain = audio::currentGain.load();
    inputs.peerInfoChanged = &link::linkState.peerInfoChanged;
    inputs.readPeerInfoText = readPeerInfo;
    inputs.levelledSamples = samples;
    if (inputs.txActive) {
        audio::copyTxBlock(txSamples);
        inputs.txBlock = txSamples;
    }

    const int rowBefore = display::waterfallRow;
    const display::RefreshOutputs out = display::onRefreshTimer(inputs, display::viewRaster);
    // While transmitting the views show the transmit block, which becomes
    // the levelled samples.
    if (out.samplesFromTxBlock) audio::storeLevelledSamples(samples);
    showLevel(out.levelBarPosition);
    if (out.infoTextChanged) setBoxText(mainWindow.infoBox, out.infoText.c_str());
    if (inputs.displayMode == display::kWaterfallMode) {
        // The new line went to the old row, the cursor to the next one up.
        const int rowAfter = display::waterfallRow;
        mainWindow.graphView->redrawRows(std::min(rowBefore, rowAfter),
                                         std::max(rowBefore, rowAfter));
    } else {
        mainWindow.graphView->redraw();
    }
}

void startRefreshTimer() { Fl::add_timeout(kRefreshPeriod, onRefreshTimer); }

constexpr WindowSteps windowSteps{display::createViewPens, display::buildSpectrumTables,
                                  startRefreshTimer};

// ---- commands ----

void choosePttPort(char choice) {
    // The choice is saved whether or not the port could be opened.
    ptt::openPttPort(choice);
    ptt::savePttChoice(choice);
}

void onCommand(long id) {
    switch (id) {
        case cmdExit: mainWindow.closeRequested = true; break;
        case cmdScope: display::displayMode = display::kScopeMode; break;
        case cmdSpectrum: display::displayMode = display::kSpectrumMode; break;
        case cmdWaterfall: display::displayMode = display::kWaterfallMode; break;
        case cmdSoundCard: runSoundCardDialog(mainWindow.window); break;
        case cmdComNone: choosePttPort('0'); break;
        case cmdCom1: choosePttPort('1'); break;
        case cmdCom2: choosePttPort('2'); break;
        case cmdCom3: choosePttPort('3'); break;
        case cmdCom4: choosePttPort('4'); break;
        case cmdAnnounce: {
            // The check mark follows the flag, and both change before the
            // announcer is called (switching off waits for the withdraw).
            Fl_Menu_Item& item = announceItem();
            if (announceMenuOn.load() != 0) {
                item.clear();
            } else {
                item.set();
            }
            toggleAnnouncing();
            break;
        }
        default: break;
    }
}

void onMenu(Fl_Widget*, void* data) { onCommand(static_cast<long>(reinterpret_cast<fl_intptr_t>(data))); }

// ---- closing ----

// The window's callback: its close box (FL_CLOSE), or Escape, which FLTK
// takes for closing a window and which here does nothing.
void onWindow(Fl_Widget*, void*) {
    if (Fl::event() == FL_CLOSE) mainWindow.closeRequested = true;
}

// Alt+F4 closes the window it is pressed in (the sound card dialog while it
// is open), as the close box does.
int onUnusedEvent(int event) {
    if (event != FL_SHORTCUT || Fl::event_key() != FL_F + 4 || !Fl::event_alt()) return 0;
    Fl_Window* target = Fl::modal() != nullptr ? Fl::modal() : mainWindow.window;
    if (target == nullptr || Fl::grab() != nullptr) return 0;
    Fl::handle(FL_CLOSE, target);
    return 1;
}

// SIGINT, SIGTERM and SIGHUP: the signal thread has the window thread close the
// window as its close box does (a modal dialog first, as its own close box).
void onStopSignalAwake(void*) {
    mainWindow.closeRequested = true;
    if (Fl_Window* dialog = Fl::modal()) Fl::handle(FL_CLOSE, dialog);
}

void onNothing(void*) {}

void onStopSignal(int) {
    // The wake-up queue can be full for a moment; the signal is not lost.
    while (Fl::awake(onStopSignalAwake, nullptr) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// ---- building the window ----

layout::Rect belowMenu(const layout::Rect& r) {
    return layout::Rect{r.x, r.y + layout::menuBarHeight, r.w, r.h};
}

Fl_Input* makeStatusBox(const layout::Rect& place) {
    const layout::Rect r = belowMenu(place);
    auto* input = new Fl_Input(r.x, r.y, r.w, r.h);
    input->textsize(kTextSize);
    // Typing into a box changes nothing: the program never reads it.
    input->when(FL_WHEN_NEVER);
    return input;
}

void buildMainWindow() {
    const layout::Rect& frame = layout::mainWindow;
    const int height = frame.h + layout::menuBarHeight;
    auto* window = new Fl_Window(frame.x, frame.y, frame.w, height, "Marvane 1.0");

    auto* menuBar = new Fl_Menu_Bar(0, 0, frame.w, layout::menuBarHeight);
    menuBar->menu(menuItems);
    menuBar->textsize(kTextSize + 1);
    menuBar->box(FL_FLAT_BOX);

    // Template order, which is also the focus order.
    const layout::Rect view = belowMenu(layout::graphView);
    mainWindow.graphView = new display::ViewWidget(view.x, view.y, display::viewRaster);
    mainWindow.addressBox = makeStatusBox(layout::addressBox);
    mainWindow.modeBox = makeStatusBox(layout::modeBox);
    const layout::Rect bar = belowMenu(layout::levelBar);
    mainWindow.levelBar = new Fl_Progress(bar.x, bar.y, bar.w, bar.h);
    mainWindow.levelBar->minimum(0);
    mainWindow.levelBar->maximum(100);
    mainWindow.levelBar->value(0);
    mainWindow.levelBar->selection_color(fl_rgb_color(0, 0, 128));
    mainWindow.infoBox = makeStatusBox(layout::infoBox);
    window->end();

    window->callback(onWindow);
    window->size_range(frame.w, height, frame.w, height);  // not resizable
    window->icon(programIcon());
    window->xclass("marvane");
    mainWindow.window = window;
}

// The display named by DISPLAY, or null. A busy X server can refuse a
// connection for a moment (EAGAIN on its socket), so a display that is set
// gets a few tries before the station runs without a window.
Display* openDisplay() {
    const char* name = std::getenv("DISPLAY");
    const int tries = name != nullptr && name[0] != '\0' ? kDisplayTries : 1;
    for (int i = 0; i < tries; ++i) {
        if (i > 0) std::this_thread::sleep_for(kDisplayRetryPause);
        if (Display* display = XOpenDisplay(nullptr)) return display;
    }
    return nullptr;
}

}  // namespace

int runMainWindow(int, char**) {
    // Before any thread starts, so that only the signal thread takes them.
    blockStopSignals(0);
    // Checked here so that a missing display falls back to the headless run
    // instead of FLTK's fatal error.
    Display* display = openDisplay();
    if (display == nullptr) return -1;
    fl_open_display(display);
    // FLTK's thread support: from here on other threads may Fl::awake the
    // window thread, which holds the lock whenever it is not waiting.
    Fl::lock();
    // FLTK sets up its wake-up queue and the queue's mutex on the first
    // Fl::awake with a callback; done here, before the pump and the signal
    // thread can both be first.
    Fl::awake(onNothing, nullptr);
    startStopSignalThread(onStopSignal);

    buildMainWindow();
    Fl::add_handler(onUnusedEvent);
    openStatusMailbox(&statusTarget);
    // Start-up runs while the window is being created: it shows only after.
    startStation(windowStatusSink(), &windowSteps);
    if (!ptt::keyingBySerialPort()) deactivatePortItems();
    mainWindow.window->show();
    // Template 1000: caption and close box, no minimise or maximise box.
    allowOnlyMoveAndClose(mainWindow.window);

    while (!mainWindow.closeRequested) Fl::wait();

    // The window goes first, as destroying it does; the withdraw that
    // shutdown may send can take seconds.
    Fl::remove_timeout(onRefreshTimer);
    closeStatusMailbox();
    mainWindow.window->hide();
    Fl::flush();
    shutdownStation();
    // The other threads are never stopped: the process ends without running
    // static destructors under them.
    std::fflush(stdout);
    std::_Exit(0);
}

}  // namespace marvane::app
