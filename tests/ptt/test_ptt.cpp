// SPDX-License-Identifier: GPL-3.0-or-later
// PTT keying: the order of line changes, the port's life cycle, "txport.bin",
// the device mapping, and the real termios layer on a pseudo-terminal (with the
// modem-line shim preloaded into a child program to watch RTS and DTR).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/workdir.h"
#include "config/notice.h"
#include "config/settings.h"
#include "ptt/ptt.h"

extern char** environ;

namespace {

using namespace marvane::ptt;
namespace fs = std::filesystem;
using marvane::testing::readFile;
using marvane::testing::TempWorkingDir;
using marvane::testing::writeFile;

// ---- a line layer that records every call --------------------------------

struct Call {
    std::string what;
    int fd;
};

std::mutex recMutex;  // guards rec
struct Recorder {
    std::vector<Call> calls;
    std::set<int> openFds;
    std::set<std::string> missingDevices;
    int nextFd = 100;
    int callsOnClosedFd = 0;
} rec;

std::string lineNames(int lines) {
    if (lines == (kLineRts | kLineDtr)) return "RTS+DTR";
    if (lines == kLineRts) return "RTS";
    if (lines == kLineDtr) return "DTR";
    return "?";
}

void record(const std::string& what, int fd, bool needsOpenFd = true) {
    std::lock_guard lock(recMutex);
    if (needsOpenFd && !rec.openFds.count(fd)) ++rec.callsOnClosedFd;
    rec.calls.push_back({what, fd});
}

int fakeOpen(const char* device) {
    std::lock_guard lock(recMutex);
    if (rec.missingDevices.count(device)) return -1;
    const int fd = rec.nextFd++;
    rec.openFds.insert(fd);
    rec.calls.push_back({std::string("open ") + device, fd});
    return fd;
}
void fakeClose(int fd) {
    record("close", fd);
    std::lock_guard lock(recMutex);
    rec.openFds.erase(fd);
}
// The yields widen the window in which an unlocked reopen could slip in.
int fakeRaise(int fd, int lines) {
    std::this_thread::yield();
    record("raise " + lineNames(lines), fd);
    return 0;
}
int fakeDrop(int fd, int lines) {
    std::this_thread::yield();
    record("drop " + lineNames(lines), fd);
    return 0;
}
void fakePrepare(int fd) { record("prepare", fd); }

const SerialLines kFakeLines{fakeOpen, fakeClose, fakeRaise, fakeDrop, fakePrepare};

std::vector<std::string> takeCalls() {
    std::lock_guard lock(recMutex);
    std::vector<std::string> out;
    for (const Call& c : rec.calls) out.push_back(c.what);
    rec.calls.clear();
    return out;
}

std::vector<int> observed;
std::mutex observedMutex;
void observe(int on) {
    std::lock_guard lock(observedMutex);
    observed.push_back(on);
}

// Each test runs in a fresh working directory (the settings files live there).
class PttTest : public ::testing::Test {
protected:
    void SetUp() override {
        setSerialLines(&kFakeLines);
        {
            std::lock_guard lock(recMutex);
            rec = Recorder{};
        }
        {
            std::lock_guard lock(observedMutex);
            observed.clear();
        }
        setPttObserver(observe);
    }
    void TearDown() override {
        setPttObserver(nullptr);
        setSerialLines(&kFakeLines);
        openPttPort('0');
    }
    TempWorkingDir workdir_{"marvane-ptt"};
};

using Lines = std::vector<std::string>;

// ---- keying and the port's life cycle -------------------------------------

// Catches a port left keyed after open (Linux raises both lines at open) or
// set up before the lines are dropped, and a wrong COMn -> ttyS mapping.
TEST_F(PttTest, OpenDropsBothLinesBeforeAnyOtherSetUp) {
    openPttPort('3');
    EXPECT_EQ(takeCalls(), (Lines{"open /dev/ttyS2", "drop RTS+DTR", "prepare", "drop RTS+DTR"}));
    EXPECT_TRUE(pttPortOpen());
}

// Catches DTR before RTS, or a keying call that changes only one line.
TEST_F(PttTest, KeyingRaisesRtsThenDtrAndDropsRtsThenDtr) {
    openPttPort('1');
    takeCalls();
    pttOn();
    EXPECT_EQ(takeCalls(), (Lines{"raise RTS", "raise DTR"}));
    pttOff();
    EXPECT_EQ(takeCalls(), (Lines{"drop RTS", "drop DTR"}));
    pttOn();
    pttOn();  // no record of the keying state: each call acts
    EXPECT_EQ(takeCalls(), (Lines{"raise RTS", "raise DTR", "raise RTS", "raise DTR"}));
}

// Catches keying calls that crash or touch a stale handle with no port open,
// and an observer that is skipped when there is no port.
TEST_F(PttTest, WithoutPortKeyingDoesNothingButIsStillReported) {
    pttOn();
    pttOff();
    openPttPort('0');
    pttOn();
    EXPECT_TRUE(takeCalls().empty());
    std::lock_guard lock(observedMutex);
    EXPECT_EQ(observed, (std::vector<int>{1, 0, 1}));
}

// Catches a reopen that leaves the lines keyed, or a pttOff that still acts on
// the old handle after the port was replaced mid-transmission.
TEST_F(PttTest, ReopeningTheSamePortMidTransmissionLeavesItUnkeyed) {
    openPttPort('2');
    pttOn();
    takeCalls();
    openPttPort('2');
    pttOff();
    std::lock_guard lock(recMutex);
    ASSERT_EQ(rec.calls.size(), 8u);
    // The old port's lines drop before it closes: HUPCL does not act while
    // another program holds the port open.
    EXPECT_EQ(rec.calls[0].what, "drop RTS+DTR");
    EXPECT_EQ(rec.calls[0].fd, 100);
    EXPECT_EQ(rec.calls[1].what, "close");
    EXPECT_EQ(rec.calls[1].fd, 100);
    EXPECT_EQ(rec.calls[2].what, "open /dev/ttyS1");
    EXPECT_EQ(rec.calls[3].what, "drop RTS+DTR");
    EXPECT_EQ(rec.calls[6].what, "drop RTS");
    EXPECT_EQ(rec.calls[6].fd, 101);
    EXPECT_EQ(rec.calls[7].fd, 101);
    EXPECT_EQ(rec.callsOnClosedFd, 0);
}

std::vector<std::string> notices;
void keepNotice(const char* text) { notices.emplace_back(text); }

// Catches a hamlib choice that falls back to the serial port (opening it
// raises RTS and DTR for an instant, and it may be the rig's own CAT port), a
// rig hamlib does not know that keys anything, and keying after the stop.
TEST_F(PttTest, StartKeyingOpensOnlyTheChosenMethodAndStopKeyingEndsIt) {
    marvane::config::setNoticeSink(keepNotice);
    writeFile("txport.bin", "1 comport\n");
    writeFile("marvane.conf", "[ptt]\nmethod = serial\n");
    marvane::config::loadSettings();
    startKeying();
    EXPECT_EQ(takeCalls(), (Lines{"open /dev/ttyS0", "drop RTS+DTR", "prepare", "drop RTS+DTR"}));
    EXPECT_TRUE(keyingBySerialPort());

    writeFile("marvane.conf", "[ptt]\nmethod = hamlib\nrig_model = 999999\n");
    marvane::config::loadSettings();
    notices.clear();
    startKeying();
    EXPECT_EQ(takeCalls(), (Lines{"drop RTS+DTR", "close"}));  // the serial port let go
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].rfind("ptt: hamlib knows no rig model 999999 (marvane.conf line 3;", 0), 0u)
        << notices[0];
    pttOn();
    pttOff();
    EXPECT_TRUE(takeCalls().empty());
    EXPECT_FALSE(keyingBySerialPort());

    fs::remove("marvane.conf");  // every default: the serial port again
    marvane::config::loadSettings();
    startKeying();
    EXPECT_EQ(takeCalls().size(), 4u);
    stopKeying();
    EXPECT_EQ(takeCalls(), (Lines{"drop RTS+DTR", "close"}));
    pttOn();
    EXPECT_TRUE(takeCalls().empty());
    EXPECT_STREQ(keyingMethodName(), "none");
    marvane::config::setNoticeSink(nullptr);
    {
        std::lock_guard lock(observedMutex);
        EXPECT_EQ(observed, (std::vector<int>{1, 0, 1}));  // every call still told
    }
    marvane::config::loadSettings();
    startKeying();  // serial, as for the other tests
    takeCalls();
}

// Catches "None" that leaves the old port open, and choices outside '1'..'8'
// that open something.
TEST_F(PttTest, NoneAndUnknownChoicesCloseThePortAndOpenNothing) {
    for (char choice : {'0', '9', ' ', '\n', 'a', '\0'}) {
        openPttPort('4');
        takeCalls();
        openPttPort(choice);
        EXPECT_EQ(takeCalls(), (Lines{"drop RTS+DTR", "close"})) << "choice code " << int(choice);
        EXPECT_FALSE(pttPortOpen());
    }
}

// Catches a failed open that leaves a bogus handle behind.
TEST_F(PttTest, PortThatCannotBeOpenedLeavesNoPort) {
    {
        std::lock_guard lock(recMutex);
        rec.missingDevices.insert("/dev/ttyS4");
    }
    openPttPort('5');
    EXPECT_FALSE(pttPortOpen());
    pttOn();
    EXPECT_EQ(takeCalls(), Lines{});
}

// Catches a keying call acting on a handle that a concurrent openPttPort has
// just closed, or a reopen landing between the two line changes of one call.
TEST_F(PttTest, KeyingNeverUsesAHandleClosedByAConcurrentReopen) {
    openPttPort('1');
    std::thread keyer([] {
        for (int i = 0; i < 2000; ++i) {
            pttOn();
            pttOff();
        }
    });
    for (int i = 0; i < 300; ++i) openPttPort(i % 5 == 4 ? '0' : '1');
    keyer.join();
    std::lock_guard lock(recMutex);
    EXPECT_EQ(rec.callsOnClosedFd, 0);
    for (size_t i = 0; i < rec.calls.size(); ++i) {
        const Call& c = rec.calls[i];
        if (c.what == "raise RTS" || c.what == "drop RTS") {
            ASSERT_LT(i + 1, rec.calls.size());
            const Call& next = rec.calls[i + 1];
            EXPECT_EQ(next.what, c.what == "raise RTS" ? "raise DTR" : "drop DTR") << "at " << i;
            EXPECT_EQ(next.fd, c.fd);
        }
    }
}

// ---- the device a COM port stands for --------------------------------------

// Catches an ignored "comports.txt", a lookup that matches the wrong port, and
// ports 5..8 (reachable only from "txport.bin") being unmapped.
TEST_F(PttTest, ComportsFileMapsPortsAndTheRestUseTtyS) {
    writeFile("comports.txt", "COM3 /dev/ttyUSB0\ncom7: /dev/ttyACM1\nCOM13 /dev/nothing\n");
    EXPECT_EQ(serialDeviceFor('3'), "/dev/ttyUSB0");
    EXPECT_EQ(serialDeviceFor('7'), "/dev/ttyACM1");
    EXPECT_EQ(serialDeviceFor('1'), "/dev/ttyS0");
    EXPECT_EQ(serialDeviceFor('8'), "/dev/ttyS7");
    EXPECT_EQ(serialDeviceFor('0'), "");
    EXPECT_EQ(serialDeviceFor('9'), "");
    openPttPort('7');
    EXPECT_EQ(takeCalls().front(), "open /dev/ttyACM1");
}

// ---- "txport.bin" ----------------------------------------------------------

// Catches a wrong file format (the word, the blank, the line end).
TEST_F(PttTest, SavedChoiceIsOneLineAndReadsBack) {
    savePttChoice('3');
    EXPECT_EQ(readFile("txport.bin"), "3 comport\n");
    EXPECT_EQ(loadPttChoice(), '3');
    savePttChoice('0');
    EXPECT_EQ(readFile("txport.bin"), "0 comport\n");
    EXPECT_EQ(loadPttChoice(), '0');
}

// Catches a missing or empty file giving anything but 0, and a reader that
// skips leading white space (the first character is the choice).
TEST_F(PttTest, LoadTakesTheVeryFirstCharacterOrZero) {
    EXPECT_EQ(loadPttChoice(), '\0');
    writeFile("txport.bin", "");
    EXPECT_EQ(loadPttChoice(), '\0');
    writeFile("txport.bin", " 3 comport\n");
    EXPECT_EQ(loadPttChoice(), ' ');
    writeFile("txport.bin", "\n3 comport\n");
    EXPECT_EQ(loadPttChoice(), '\n');
    writeFile("txport.bin", "7 comport\r\n");  // written on Windows
    EXPECT_EQ(loadPttChoice(), '7');
    writeFile("txport.bin", "5");
    EXPECT_EQ(loadPttChoice(), '5');
}

// Catches an overrun of the 104-character word buffer (ASan reports it).
TEST_F(PttTest, OverlongWordInChoiceFileIsBounded) {
    writeFile("txport.bin", "6 " + std::string(5000, 'w') + "\n");
    EXPECT_EQ(loadPttChoice(), '6');
}

// Catches start-up opening the wrong port for a choice the menu lacks.
TEST_F(PttTest, ChoiceSevenFromFileOpensCom7) {
    writeFile("txport.bin", "7 comport\n");
    openPttPort(loadPttChoice());
    EXPECT_EQ(takeCalls().front(), "open /dev/ttyS6");
}

// ---- the real termios layer on a pseudo-terminal ---------------------------

struct Pty {
    int master = -1;
    std::string slave;
    ~Pty() {
        if (master >= 0) close(master);
    }
};

void openPty(Pty& pty) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(pty.master, 0);
    ASSERT_EQ(grantpt(pty.master), 0);
    ASSERT_EQ(unlockpt(pty.master), 0);
    char name[128];
    ASSERT_EQ(ptsname_r(pty.master, name, sizeof name), 0);
    pty.slave = name;
}

// Sets the pty's termios to the opposite of what the PTT set-up wants, so the
// set-up has to change it; returns a descriptor to read it back.
int presetPty(const Pty& pty, termios& before) {
    const int fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return fd;
    termios t{};
    tcgetattr(fd, &t);
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    t.c_cflag |= CRTSCTS;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);
    tcgetattr(fd, &before);
    return fd;
}

// Catches a set-up that leaves hardware flow control on, forgets HUPCL (a
// process that dies keyed would leave the transmitter on), or changes the
// speed or framing.
TEST_F(PttTest, TermiosSetUpTurnsFlowControlOffAndHangUpOnCloseOn) {
    Pty pty;
    openPty(pty);
    termios before{};
    const int check = presetPty(pty, before);
    ASSERT_GE(check, 0);
    ASSERT_TRUE(before.c_cflag & CRTSCTS);
    ASSERT_FALSE(before.c_cflag & HUPCL);
    writeFile("comports.txt", "COM2 " + pty.slave + "\n");
    setSerialLines(nullptr);
    openPttPort('2');
    EXPECT_TRUE(pttPortOpen());
    termios after{};
    ASSERT_EQ(tcgetattr(check, &after), 0);
    EXPECT_TRUE(after.c_cflag & HUPCL);
    EXPECT_FALSE(after.c_cflag & CRTSCTS);
    const tcflag_t changed = HUPCL | CRTSCTS;
    EXPECT_EQ(after.c_cflag & ~changed, before.c_cflag & ~changed);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), B9600);
    pttOn();  // a pty refuses the modem-line calls: silently ignored
    pttOff();
    openPttPort('0');
    EXPECT_FALSE(pttPortOpen());
    close(check);
}

// Catches a failed open of a real device that leaves a port behind.
TEST_F(PttTest, RealLayerLeavesNoPortWhenTheDeviceIsMissing) {
    writeFile("comports.txt", "COM4 " + (workdir_.path() / "no-such-tty").string() + "\n");
    setSerialLines(nullptr);
    openPttPort('4');
    EXPECT_FALSE(pttPortOpen());
    pttOn();
}

// ---- the real library in a child program, lines watched by the shim -------

// Runs ptt_probe with the shim preloaded in the working directory and returns
// the shim's log.
std::string runProbeWithShim(const std::vector<std::string>& steps) {
    const std::string log = (fs::current_path() / "lines.log").string();
    std::vector<std::string> env;
    std::string asan = "verify_asan_link_order=0";
    for (char** e = environ; *e; ++e) {
        const std::string var = *e;
        if (var.rfind("ASAN_OPTIONS=", 0) == 0)
            asan = var.substr(13) + ":" + asan;
        else if (var.rfind("LD_PRELOAD=", 0) != 0 && var.rfind("MARVANE_TIOCM_LOG=", 0) != 0)
            env.push_back(var);
    }
    env.push_back("ASAN_OPTIONS=" + asan);
    env.push_back(std::string("LD_PRELOAD=") + TIOCM_SHIM_PATH);
    env.push_back("MARVANE_TIOCM_LOG=" + log);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{PTT_PROBE_PATH};
    args.insert(args.end(), steps.begin(), steps.end());
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawn(&pid, PTT_PROBE_PATH, nullptr, nullptr, argv.data(), envp.data()) != 0) {
        ADD_FAILURE() << "cannot start " << PTT_PROBE_PATH;
        return {};
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    return readFile(log);
}

// Catches, on a real descriptor: lines left up after open, keying in the wrong
// order, and a port closed without HUPCL (the kernel would leave the lines).
TEST_F(PttTest, ShimSeesLinesDroppedAtOpenKeyedInOrderAndHungUpAtClose) {
    Pty pty;
    openPty(pty);
    termios before{};
    const int check = presetPty(pty, before);  // HUPCL off until the set-up
    ASSERT_GE(check, 0);
    writeFile("comports.txt", "COM3 " + pty.slave + "\n");
    writeFile("txport.bin", "3 comport\n");
    EXPECT_EQ(runProbeWithShim({"startup", "on", "off", "on", "open=0"}),
              "open: RTS=1 DTR=1\n"
              "drop RTS+DTR: RTS=0 DTR=0\n"
              "termios CRTSCTS=0 HUPCL=1: RTS=0 DTR=0\n"
              "drop RTS+DTR: RTS=0 DTR=0\n"
              "raise RTS: RTS=1 DTR=0\n"
              "raise DTR: RTS=1 DTR=1\n"
              "drop RTS: RTS=0 DTR=1\n"
              "drop DTR: RTS=0 DTR=0\n"
              "raise RTS: RTS=1 DTR=0\n"
              "raise DTR: RTS=1 DTR=1\n"
              "drop RTS+DTR: RTS=0 DTR=0\n"
              "close (HUPCL): RTS=0 DTR=0\n");
    close(check);
}

// Catches a reopen mid-transmission that leaves the new port keyed, or a
// pttOff that does not reach the new port.
TEST_F(PttTest, ShimSeesReopenWhileKeyedLeaveTheNewPortDown) {
    Pty pty;
    openPty(pty);
    writeFile("comports.txt", "COM1 " + pty.slave + "\n");
    EXPECT_EQ(runProbeWithShim({"open=1", "on", "open=1", "off"}),
              "open: RTS=1 DTR=1\n"
              "drop RTS+DTR: RTS=0 DTR=0\n"
              "termios CRTSCTS=0 HUPCL=1: RTS=0 DTR=0\n"
              "drop RTS+DTR: RTS=0 DTR=0\n"
              "raise RTS: RTS=1 DTR=0\n"
              "raise DTR: RTS=1 DTR=1\n"
              "drop RTS+DTR: RTS=0 DTR=0\n"
              "close (HUPCL): RTS=0 DTR=0\n"
              "open: RTS=1 DTR=1\n"
              "drop RTS+DTR: RTS=0 DTR=0\n"
              "termios CRTSCTS=0 HUPCL=1: RTS=0 DTR=0\n"
              "drop RTS+DTR: RTS=0 DTR=0\n"
              "drop RTS: RTS=0 DTR=0\n"
              "drop DTR: RTS=0 DTR=0\n");
}

}  // namespace
