// SPDX-License-Identifier: GPL-3.0-or-later
// Keying through hamlib against Debian's rigctld with hamlib's dummy rig on a
// loopback port, the rig's PTT read from rigctld itself: the keying front's
// suspend and stop reach the rig as they reach a serial port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
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
using marvane::testing::TempWorkingDir;
using marvane::testing::writeFile;

int loopbackSocket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval patience{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    return fd;
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// The TCP port a process listens on, 0 while none: its listening sockets
// in /proc/net/tcp, found by the inodes of its descriptors.
int listeningPortOf(pid_t pid) {
    std::set<std::string> inodes;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
    }
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, skip, inode;
        fields >> slot >> local >> remote >> state;
        for (int i = 0; i < 5; ++i) fields >> skip;
        fields >> inode;
        if (state == "0A" && inodes.count(inode) != 0)
            return std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
    }
    return 0;
}

// rigctld -m 1 (the dummy rig, given a PTT by -P RIG) on a port it binds
// itself (0: the kernel's choice).
class Rigctld {
public:
    Rigctld() {
        std::vector<const char*> argv{"rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1",
                                      "-t", "0", nullptr};
        if (posix_spawnp(&pid_, "rigctld", nullptr, nullptr, const_cast<char**>(argv.data()),
                         environ) != 0)
            pid_ = -1;
        for (int i = 0; i < 300 && pid_ > 0 && (port_ = listeningPortOf(pid_)) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (int i = 0; i < 300 && port_ > 0 && ptt() < 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ~Rigctld() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }

    // The rig's PTT as rigctld answers "t": 0 or 1, -1 without an answer.
    // rigctld now and then closes a new connection unanswered on a loaded
    // machine: the question is asked again then.
    int ptt() const {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const int answer = askPtt();
            if (answer >= 0) return answer;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

private:
    int askPtt() const {
        const int fd = loopbackSocket();
        const sockaddr_in a = loopback(port_);
        std::string answer;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
            ::write(fd, "t\n", 2) == 2) {
            char c;
            while (::read(fd, &c, 1) == 1 && c != '\n') answer += c;
        }
        ::close(fd);
        return answer == "0" || answer == "1" ? answer[0] - '0' : -1;
    }

    int port_ = 0;
    pid_t pid_ = -1;
};

std::vector<std::string> notices;
void keepNotice(const char* text) { notices.emplace_back(text); }

// Catches a stop signal that leaves the rig keyed (the suspend must reach the
// rig, not only a serial port), a continue that does not key it again, and a
// keying call after the stop that still reaches the rig.
TEST(HamlibKeying, SuspendResumeAndStopReachTheRig) {
    TempWorkingDir workdir("marvane-hamlib");
    Rigctld rig;
    ASSERT_EQ(rig.ptt(), 0) << "rigctld did not come up";
    writeFile("txport.bin", "1 comport\n");  // not used: hamlib keys
    writeFile("marvane.conf", "[ptt]\nmethod = hamlib\nrig_model = 2\nrig_port = 127.0.0.1:" +
                                  std::to_string(rig.port()) + "\n");
    marvane::config::setNoticeSink(keepNotice);
    marvane::config::loadSettings();
    startKeying();
    EXPECT_STREQ(keyingMethodName(), "hamlib");
    EXPECT_FALSE(pttPortOpen());

    pttOn();
    EXPECT_EQ(rig.ptt(), 1);
    suspendKeying();
    EXPECT_EQ(rig.ptt(), 0);
    resumeKeying();
    EXPECT_EQ(rig.ptt(), 1);
    pttOff();
    EXPECT_EQ(rig.ptt(), 0);

    stopKeying();
    pttOn();
    EXPECT_EQ(rig.ptt(), 0);
    marvane::config::setNoticeSink(nullptr);
    ASSERT_EQ(notices.size(), 1u);  // which method keys, and no failure
    EXPECT_EQ(notices[0].rfind("ptt: keyed through hamlib: rig model 2 ", 0), 0u) << notices[0];
}

}  // namespace
