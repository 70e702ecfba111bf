// SPDX-License-Identifier: GPL-3.0-or-later
// The remembered choice of sound devices ("scconfig.txt" by position,
// "scnames.txt" by name) and what the sound card selection dialog does.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <string>

#include "config/notice.h"
#include "config/settings_file.h"
#include "sound/sound.h"

namespace marvane::sound {

int playbackChoice = 0;
int captureChoice = 0;
std::string playbackChoiceName;
std::string captureChoiceName;

namespace {

constexpr const char* choiceFile = "scconfig.txt";
constexpr const char* namesFile = "scnames.txt";
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

// Line `index` (from 0) of text without its line end (LF or CR LF) and
// without the white space around it.
std::string lineOf(const std::string& text, int index) {
    std::size_t start = 0;
    for (int i = 0; i < index; ++i) {
        start = text.find('\n', start);
        if (start == std::string::npos) return "";
        ++start;
    }
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    while (start < end && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    while (end > start && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(start, end - start);
}

bool containsIgnoringCase(const std::string& text, const std::string& part) {
    if (part.size() > text.size()) return false;
    for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
        std::size_t i = 0;
        while (i < part.size() && std::tolower(static_cast<unsigned char>(text[at + i])) ==
                                      std::tolower(static_cast<unsigned char>(part[i])))
            ++i;
        if (i == part.size()) return true;
    }
    return false;
}

// The name without a closing ALSA card number such as " (hw:1,0)"; "" when
// it has none.
std::string withoutCardNumber(const std::string& name) {
    const std::size_t open = name.rfind("(hw:");
    if (open == std::string::npos || name.back() != ')') return "";
    std::size_t end = open;
    while (end > 0 && name[end - 1] == ' ') --end;
    return name.substr(0, end);
}

void resolveName(const char* role, const std::string& name, int& choice, int count,
                 const char* (*fullName)(int)) {
    if (name.empty()) return;
    const int found = findDeviceByName(name, count, fullName);
    if (found >= 0) {
        choice = found;
        return;
    }
    if (choice >= 0 && choice < count) {
        config::notice("%s: no %s device matches \"%.200s\"; device %d of %s is used", namesFile,
                       role, name.c_str(), choice, choiceFile);
    } else {
        config::notice("%s: no %s device matches \"%.200s\"; the system's default device is used",
                       namesFile, role, name.c_str());
    }
}

void fillList(const SoundCardList& list, int count, const char* (*name)(int), int choice) {
    list.resetContent(list.widget);
    for (int i = 0; i < count; ++i) list.addString(list.widget, name(i));
    list.setCurSel(list.widget, choice >= 0 && choice < count ? choice : -1);
}

}  // namespace

void loadSoundCardChoice() {
    std::string names;
    if (config::readSettingsFile(namesFile, names) == config::SettingsRead::ok) {
        playbackChoiceName = lineOf(names, 0);
        captureChoiceName = lineOf(names, 1);
    }
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

void saveSoundCardNames() {
    playbackChoiceName = outputDeviceFullName(playbackChoice);
    captureChoiceName = inputDeviceFullName(captureChoice);
    std::FILE* f = config::openSettingsForWriting(namesFile);
    if (f == nullptr) return;
    std::fprintf(f, "%s\n%s\n", playbackChoiceName.c_str(), captureChoiceName.c_str());
    std::fclose(f);
}

int findDeviceByName(const std::string& name, int count, const char* (*fullName)(int)) {
    for (const std::string& wanted : {name, withoutCardNumber(name)}) {
        if (wanted.empty()) continue;
        for (int i = 0; i < count; ++i)
            if (wanted == fullName(i)) return i;
        for (int i = 0; i < count; ++i)
            if (containsIgnoringCase(fullName(i), wanted)) return i;
    }
    return -1;
}

void resolveSoundCardNames() {
    resolveName("playback", playbackChoiceName, playbackChoice, outputDeviceCount(),
                outputDeviceFullName);
    resolveName("capture", captureChoiceName, captureChoice, inputDeviceCount(),
                inputDeviceFullName);
}

void applySoundCardChoice() {
    initSoundCards();
    resolveSoundCardNames();
    selectPlaybackDevice(playbackChoice, true);
    selectCaptureDevice(captureChoice, true);
    setDeviceNames(playbackChoiceName, captureChoiceName);
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
            saveSoundCardNames();
            setDeviceNames(playbackChoiceName, captureChoiceName);
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
