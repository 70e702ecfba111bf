// The remembered choice of sound devices ("scconfig.txt") and what the sound
// card selection dialog does.
#include <cctype>
#include <climits>
#include <cstdio>

#include "config/settings_file.h"
#include "sound/sound.h"

namespace marvane::sound {

int playbackChoice = 0;
int captureChoice = 0;

namespace {

constexpr const char* choiceFile = "scconfig.txt";
constexpr int maxWord = 103;

// Formatted input of one "%d": white space skipped, an optional sign, then at
// least one digit. Values beyond the int range saturate.
bool readInt(std::FILE* f, int& value) {
    int c;
    do c = std::fgetc(f);
    while (c != EOF && std::isspace(c));
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = std::fgetc(f);
    }
    if (c == EOF || !std::isdigit(c)) return false;
    long long v = 0;
    while (c != EOF && std::isdigit(c)) {
        if (v <= static_cast<long long>(INT_MAX) + 1) v = v * 10 + (c - '0');
        c = std::fgetc(f);
    }
    if (c != EOF) std::ungetc(c, f);
    if (negative) v = -v;
    value = static_cast<int>(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
    return true;
}

// Formatted input of one "%s" of at most maxWord characters.
bool readWord(std::FILE* f) {
    int c;
    do c = std::fgetc(f);
    while (c != EOF && std::isspace(c));
    if (c == EOF) return false;
    int n = 0;
    while (c != EOF && !std::isspace(c)) {
        if (++n == maxWord) return true;  // a longer word's rest stays unread
        c = std::fgetc(f);
    }
    if (c != EOF) std::ungetc(c, f);
    return true;
}

void fillList(const SoundCardList& list, int count, const char* (*name)(int), int choice) {
    list.resetContent(list.widget);
    for (int i = 0; i < count; ++i) list.addString(list.widget, name(i));
    list.setCurSel(list.widget, choice >= 0 && choice < count ? choice : -1);
}

}  // namespace

void loadSoundCardChoice() {
    const config::SettingsFile file(choiceFile);
    std::FILE* f = file.file();
    if (f == nullptr) return;
    // The roles come from the order of the lines; the words are not checked.
    int value;
    if (readInt(f, value)) {
        playbackChoice = value;
        if (readWord(f) && readInt(f, value)) {
            captureChoice = value;
            readWord(f);
        }
    }
}

void saveSoundCardChoice() {
    std::FILE* f = config::openSettingsForWriting(choiceFile);
    if (f == nullptr) return;
    std::fprintf(f, "%d SCout\n", playbackChoice);
    std::fprintf(f, "%d SCin\n", captureChoice);
    std::fclose(f);
}

void applySoundCardChoice() {
    initSoundCards();
    selectPlaybackDevice(playbackChoice, true);
    selectCaptureDevice(captureChoice, true);
}

bool soundCardDialog(SoundCardDialogEvent event, const SoundCardList& inputList,
                     const SoundCardList& outputList) {
    switch (event) {
        case SoundCardDialogEvent::init:
            fillList(inputList, inputDeviceCount(), inputDeviceName, captureChoice);
            fillList(outputList, outputDeviceCount(), outputDeviceName, playbackChoice);
            return false;
        case SoundCardDialogEvent::ok:
            playbackChoice = outputList.getCurSel(outputList.widget);
            selectPlaybackDevice(playbackChoice, true);
            captureChoice = inputList.getCurSel(inputList.widget);
            selectCaptureDevice(captureChoice, true);
            saveSoundCardChoice();
            return true;
        case SoundCardDialogEvent::closeBox:
            return true;
        case SoundCardDialogEvent::escape:
        case SoundCardDialogEvent::other:
            return false;
    }
    return false;
}

}  // namespace marvane::sound
