// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/sound_dialog.h"

#include <FL/Enumerations.H>
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Window.H>

#include "app/icon.h"
#include "app/main_window_layout.h"
#include "app/window_frame.h"
#include "sound/sound.h"

namespace marvane::app {

namespace {

using sound::SoundCardDialogEvent;

// A list box as the dialog's lists behave: a click or a drag below the last
// entry leaves the selection as it is (Fl_Hold_Browser would clear it, and OK
// would then store -1 and move the audio to the default device).
class DeviceList : public Fl_Hold_Browser {
public:
    using Fl_Hold_Browser::Fl_Hold_Browser;

    int handle(int event) override {
        const bool mouse = event == FL_PUSH || event == FL_DRAG || event == FL_RELEASE;
        const bool onScrollbar = scrollbar.visible() && Fl::event_inside(&scrollbar);
        if (mouse && !onScrollbar && find_item(Fl::event_y()) == nullptr) return 1;
        return Fl_Hold_Browser::handle(event);
    }
};

// The list box operations over an Fl_Hold_Browser, whose lines count from 1.
void resetContent(void* widget) { static_cast<Fl_Hold_Browser*>(widget)->clear(); }

void addString(void* widget, const char* name) {
    static_cast<Fl_Hold_Browser*>(widget)->add(name);
}

void setCurSel(void* widget, int position) {
    auto* browser = static_cast<Fl_Hold_Browser*>(widget);
    if (position >= 0 && position < browser->size()) {
        browser->value(position + 1);
    } else {
        browser->deselect();
    }
}

int getCurSel(void* widget) {
    return static_cast<Fl_Hold_Browser*>(widget)->value() - 1;
}

struct Dialog {
    Fl_Window* window;
    sound::SoundCardList inputList;
    sound::SoundCardList outputList;
};

void handle(Dialog& dialog, SoundCardDialogEvent event) {
    if (sound::soundCardDialog(event, dialog.inputList, dialog.outputList)) dialog.window->hide();
}

// The window's callback: the close box, or Escape (which FLTK would take as
// closing the window; here it does nothing).
void onWindow(Fl_Widget*, void* data) {
    const bool closeBox = Fl::event() == FL_CLOSE;
    handle(*static_cast<Dialog*>(data),
           closeBox ? SoundCardDialogEvent::closeBox : SoundCardDialogEvent::escape);
}

void onOk(Fl_Widget*, void* data) { handle(*static_cast<Dialog*>(data), SoundCardDialogEvent::ok); }

Fl_Hold_Browser* makeList(const layout::Rect& r) {
    auto* list = new DeviceList(r.x, r.y, r.w, r.h);
    list->has_scrollbar(Fl_Browser_::VERTICAL);
    list->textsize(12);
    list->format_char(0);  // device names are shown as they are, "@" and all
    list->callback([](Fl_Widget*, void*) {});
    list->when(FL_WHEN_NEVER);
    return list;
}

void makeLabel(const layout::Rect& r, const char* text) {
    auto* label = new Fl_Box(r.x, r.y, r.w, r.h, text);
    label->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
    label->labelsize(12);
}

}  // namespace

void runSoundCardDialog(Fl_Window* owner) {
    const layout::Rect& size = layout::soundDialog;
    Fl_Window* window = new Fl_Window(size.w, size.h, "Sound Card Selection");
    // Template order, which is also the focus order: OK first, so Enter
    // presses it from the start.
    auto* ok = new Fl_Return_Button(layout::okButton.x, layout::okButton.y, layout::okButton.w,
                                    layout::okButton.h, "OK");
    ok->labelsize(12);
    Fl_Hold_Browser* output = makeList(layout::outputList);
    makeLabel(layout::outputLabel, "Sound Output Device");
    Fl_Hold_Browser* input = makeList(layout::inputList);
    makeLabel(layout::inputLabel, "Sound Input Device");
    window->end();

    Dialog dialog{window,
                  {input, resetContent, addString, setCurSel, getCurSel},
                  {output, resetContent, addString, setCurSel, getCurSel}};
    ok->callback(onOk, &dialog);
    window->callback(onWindow, &dialog);
    window->size_range(size.w, size.h, size.w, size.h);
    window->icon(programIcon());
    window->set_modal();
    if (owner != nullptr) {
        window->position(owner->x() + (owner->w() - size.w) / 2,
                         owner->y() + (owner->h() - size.h) / 2);
    }

    handle(dialog, SoundCardDialogEvent::init);
    window->show();
    allowOnlyMoveAndClose(window);
    while (window->shown()) Fl::wait();
    delete window;
}

}  // namespace marvane::app
