// SPDX-License-Identifier: GPL-3.0-or-later
// "scconfig.txt" and the sound card dialog's logic.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../common/workdir.h"  // tests/ is not on this folder's include path
#include "config/notice.h"
#include "sound/sound.h"
#include "sound/streams.h"
#include "sound/wave/manual.h"
#include "support.h"

namespace marvane::sound {
namespace {

namespace manual = wave::manual;

// A list box as plain data, standing in for the dialog's widget.
struct FakeList {
    std::vector<std::string> entries;
    int selected = -1;
    int resets = 0;
};

SoundCardList listOf(FakeList& f) {
    return SoundCardList{
        &f,
        [](void* w) {
            auto* l = static_cast<FakeList*>(w);
            l->entries.clear();
            l->selected = -1;
            l->resets++;
        },
        [](void* w, const char* name) { static_cast<FakeList*>(w)->entries.emplace_back(name); },
        [](void* w, int position) {
            auto* l = static_cast<FakeList*>(w);
            l->selected = position >= 0 && position < static_cast<int>(l->entries.size()) ? position : -1;
        },
        [](void* w) { return static_cast<FakeList*>(w)->selected; },
    };
}

using marvane::testing::readFile;
using marvane::testing::TempWorkingDir;
using marvane::testing::writeFile;

class Choice : public ::testing::Test {
protected:
    void SetUp() override {
        manual::install();
        manual::setDevices({"Line In", "USB Codec"}, {"Speakers", "USB Codec", "HDMI"});
        playbackChoice = 0;
        captureChoice = 0;
    }
    void TearDown() override {
        closeSoundDevices();
        manual::uninstall();
    }
    TempWorkingDir workdir{"marvane-sound"};
};

TEST_F(Choice, NoFileKeepsTheFirstDeviceOfEachList) {
    playbackChoice = 0;
    captureChoice = 0;
    loadSoundCardChoice();
    EXPECT_EQ(playbackChoice, 0);
    EXPECT_EQ(captureChoice, 0);
    applySoundCardChoice();
    EXPECT_EQ(playbackStream.deviceNumber.load(), 0);
    EXPECT_EQ(captureStream.deviceNumber.load(), 0);
    EXPECT_TRUE(playbackStream.blocking.load());
    EXPECT_TRUE(captureStream.blocking.load());
    EXPECT_FALSE(std::filesystem::exists("scconfig.txt"));  // only written on a choice
}

TEST_F(Choice, SavingWritesTwoLinesOutputFirst) {
    playbackChoice = 2;
    captureChoice = -1;
    saveSoundCardChoice();
    EXPECT_EQ(readFile("scconfig.txt"), "2 SCout\n-1 SCin\n");
}

TEST_F(Choice, ReadingTakesTheExampleFile) {
    writeFile("scconfig.txt", "2 SCout\n-1 SCin\n");
    loadSoundCardChoice();
    EXPECT_EQ(playbackChoice, 2);
    EXPECT_EQ(captureChoice, -1);
    applySoundCardChoice();
    EXPECT_EQ(playbackStream.deviceNumber.load(), 2);
    EXPECT_EQ(captureStream.deviceNumber.load(), -1);
}

TEST_F(Choice, AFileWrittenWithCrLfReadsTheSame) {
    writeFile("scconfig.txt", "1 SCout\r\n0 SCin\r\n");
    loadSoundCardChoice();
    EXPECT_EQ(playbackChoice, 1);
    EXPECT_EQ(captureChoice, 0);
}

TEST_F(Choice, SwappedLinesAreTakenByTheirOrderNotTheirWords) {
    writeFile("scconfig.txt", "1 SCin\n0 SCout\n");
    loadSoundCardChoice();
    EXPECT_EQ(playbackChoice, 1);
    EXPECT_EQ(captureChoice, 0);
}

TEST_F(Choice, GarbageLeavesTheChoicesAsFarAsItCannotBeRead) {
    playbackChoice = 4;
    captureChoice = 6;
    writeFile("scconfig.txt", "garbage\n");
    loadSoundCardChoice();
    EXPECT_EQ(playbackChoice, 4);
    EXPECT_EQ(captureChoice, 6);

    writeFile("scconfig.txt", "3 SCout\nnot-a-number SCin\n");
    loadSoundCardChoice();
    EXPECT_EQ(playbackChoice, 3);
    EXPECT_EQ(captureChoice, 6);

    writeFile("scconfig.txt", "5");
    loadSoundCardChoice();
    EXPECT_EQ(playbackChoice, 5);
    EXPECT_EQ(captureChoice, 6);

    writeFile("scconfig.txt", "");
    loadSoundCardChoice();
    EXPECT_EQ(playbackChoice, 5);
}

TEST_F(Choice, HugeNumbersDoNotWrapIntoValidDevices) {
    writeFile("scconfig.txt", "4294967297 SCout\n-99999999999 SCin\n");
    loadSoundCardChoice();
    EXPECT_EQ(playbackChoice, 2147483647);
    EXPECT_EQ(captureChoice, -2147483647 - 1);
}

TEST_F(Choice, AWordLongerThanTheFormatPushesItsRestIntoTheSecondNumber) {
    writeFile("scconfig.txt", "1 " + std::string(103, 'x') + "7 SCin\n");
    loadSoundCardChoice();
    EXPECT_EQ(playbackChoice, 1);
    EXPECT_EQ(captureChoice, 7);
}

TEST_F(Choice, AnUnwritableFileIsNotReported) {
    std::filesystem::create_directory("scconfig.txt");
    playbackChoice = 1;
    test::NoticeCapture notices;
    saveSoundCardChoice();
    EXPECT_EQ(notices.text(), "");
}

TEST_F(Choice, OpeningTheDialogFillsBothListsAndPreselectsTheChoices) {
    playbackChoice = 2;
    captureChoice = 1;
    applySoundCardChoice();
    FakeList in, out;
    EXPECT_FALSE(soundCardDialog(SoundCardDialogEvent::init, listOf(in), listOf(out)));
    EXPECT_EQ(in.entries, (std::vector<std::string>{"Line In", "USB Codec"}));
    EXPECT_EQ(out.entries, (std::vector<std::string>{"Speakers", "USB Codec", "HDMI"}));
    EXPECT_EQ(in.selected, 1);
    EXPECT_EQ(out.selected, 2);
    // Each opening starts from empty lists.
    soundCardDialog(SoundCardDialogEvent::init, listOf(in), listOf(out));
    EXPECT_EQ(in.entries.size(), 2u);
    EXPECT_EQ(in.resets, 2);
}

TEST_F(Choice, AChoiceBeyondTheListShowsNoSelectionAndOkStoresMinusOne) {
    writeFile("scconfig.txt", "5 SCout\n0 SCin\n");
    loadSoundCardChoice();
    applySoundCardChoice();
    EXPECT_EQ(playbackStream.deviceNumber.load(), -1);  // the default device
    EXPECT_EQ(playbackChoice, 5);                       // the choice itself is kept
    FakeList in, out;
    soundCardDialog(SoundCardDialogEvent::init, listOf(in), listOf(out));
    EXPECT_EQ(out.selected, -1);
    EXPECT_TRUE(soundCardDialog(SoundCardDialogEvent::ok, listOf(in), listOf(out)));
    EXPECT_EQ(playbackChoice, -1);
    EXPECT_EQ(readFile("scconfig.txt"), "-1 SCout\n0 SCin\n");
}

TEST_F(Choice, OkTakesTheSelectionsReopensBothDevicesAndRewritesTheFile) {
    applySoundCardChoice();
    configureCapture(1024, 11025);
    configurePlayback(1024, 11025);
    EXPECT_FALSE(captureStream.reopenPending.load());
    FakeList in, out;
    soundCardDialog(SoundCardDialogEvent::init, listOf(in), listOf(out));
    out.selected = 1;
    EXPECT_TRUE(soundCardDialog(SoundCardDialogEvent::ok, listOf(in), listOf(out)));
    EXPECT_EQ(playbackChoice, 1);
    EXPECT_EQ(captureChoice, 0);
    EXPECT_TRUE(captureStream.reopenPending.load());  // even though unchanged
    EXPECT_TRUE(playbackStream.reopenPending.load());
    EXPECT_EQ(playbackStream.deviceNumber.load(), 1);
    EXPECT_EQ(readFile("scconfig.txt"), "1 SCout\n0 SCin\n");
}

TEST_F(Choice, AnEmptyListGivesMinusOneOnOk) {
    manual::setDevices({}, {"Speakers"});
    test::NoticeCapture notices;
    applySoundCardChoice();
    (void)notices;
    FakeList in, out;
    soundCardDialog(SoundCardDialogEvent::init, listOf(in), listOf(out));
    EXPECT_TRUE(in.entries.empty());
    soundCardDialog(SoundCardDialogEvent::ok, listOf(in), listOf(out));
    EXPECT_EQ(captureChoice, -1);
    EXPECT_EQ(captureStream.deviceNumber.load(), -1);
}

TEST_F(Choice, TheCloseBoxClosesWithoutChangingAnythingAndEscapeDoesNothing) {
    applySoundCardChoice();
    configureCapture(1024, 11025);
    FakeList in, out;
    soundCardDialog(SoundCardDialogEvent::init, listOf(in), listOf(out));
    in.selected = 1;
    out.selected = 2;
    EXPECT_FALSE(soundCardDialog(SoundCardDialogEvent::escape, listOf(in), listOf(out)));
    EXPECT_FALSE(soundCardDialog(SoundCardDialogEvent::other, listOf(in), listOf(out)));
    EXPECT_TRUE(soundCardDialog(SoundCardDialogEvent::closeBox, listOf(in), listOf(out)));
    EXPECT_EQ(playbackChoice, 0);
    EXPECT_EQ(captureChoice, 0);
    EXPECT_FALSE(captureStream.reopenPending.load());
    EXPECT_FALSE(std::filesystem::exists("scconfig.txt"));
}

// "scnames.txt": catches a renumbered card losing the radio's audio, a name
// that is taken by its case or its exact end, an unmatched name that is not
// reported or reported more than once, and names cut to the list's 31
// characters when the dialog saves them.
TEST_F(Choice, NamesInScnamesChooseTheirDevicesWhateverTheNumbers) {
    manual::setDevices({"Line In", "USB Audio CODEC: USB Audio Device (hw:2,0)"},
                       {"Speakers", "USB Audio CODEC: USB Audio Device (hw:2,0)", "HDMI"});
    writeFile("scconfig.txt", "0 SCout\n0 SCin\n");
    // Written when the codec was card 1; a hand-written part of a name on line 2.
    writeFile("scnames.txt", "USB Audio CODEC: USB Audio Device (hw:1,0)\r\n  line in \r\n");
    std::vector<std::string> notes;
    static std::vector<std::string>* sink;
    sink = &notes;
    config::setNoticeSink([](const char* text) { sink->emplace_back(text); });
    loadSoundCardChoice();
    applySoundCardChoice();
    EXPECT_EQ(playbackChoice, 1);
    EXPECT_EQ(captureChoice, 0);
    EXPECT_EQ(playbackStream.deviceNumber.load(), 1);
    EXPECT_TRUE(notes.empty());

    // The whole name wins over an earlier device that merely contains it.
    manual::setDevices({"HDMI 2", "HDMI"}, {"Speakers"});
    writeFile("scconfig.txt", "0 SCout\n1 SCin\n");
    writeFile("scnames.txt", "headphones\nHDMI\n");
    loadSoundCardChoice();
    applySoundCardChoice();
    EXPECT_EQ(captureChoice, 1);
    EXPECT_EQ(playbackChoice, 0);  // no match: the number stays
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0],
              "scnames.txt: no playback device matches \"headphones\"; device 0 of scconfig.txt "
              "is used");

    const std::string longName = "A sound card whose name is far longer than 31 characters";
    manual::setDevices({"In"}, {"Speakers", longName});
    applySoundCardChoice();
    FakeList in, out;
    soundCardDialog(SoundCardDialogEvent::init, listOf(in), listOf(out));
    out.selected = 1;
    in.selected = 0;
    soundCardDialog(SoundCardDialogEvent::ok, listOf(in), listOf(out));
    EXPECT_EQ(readFile("scnames.txt"), longName + "\nIn\n");
    in.selected = -1;
    soundCardDialog(SoundCardDialogEvent::ok, listOf(in), listOf(out));
    EXPECT_EQ(readFile("scnames.txt"), longName + "\n\n");
    config::setNoticeSink(nullptr);
}

}  // namespace
}  // namespace marvane::sound
