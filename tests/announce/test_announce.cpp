// SPDX-License-Identifier: GPL-3.0-or-later
// Directory announcer against a real HTTP directory on loopback port 80: the
// exact request bytes, "url.txt" handling, the one announcer loop, the 10 s
// bound on an exchange, and lookups and connections that fail.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "announce/announce.h"
#include "common/private_network.h"
#include "common/workdir.h"

namespace {

using namespace marvane::announce;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using marvane::testing::readFile;
using marvane::testing::TempWorkingDir;
using marvane::testing::writeFile;

// A directory web server on <address>:80, one connection at a time. It
// records each request as received (up to its blank line) and then answers
// and closes, stays silent, or sends an answer that never ends.
class Directory {
public:
    enum class Mode { answer, silent, endless };
    struct Request {
        std::string text;
        Clock::time_point at;
    };

    Directory(const char* address, Mode mode) : mode_(mode) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(80);
        inet_pton(AF_INET, address, &a.sin_addr);
        listening_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                     listen(fd_, 16) == 0;
        if (listening_) thread_ = std::thread([this] { run(); });
    }
    ~Directory() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(fd_);
    }
    bool listening() const { return listening_; }

    std::vector<Request> requests() {
        std::lock_guard lock(m_);
        return got_;
    }
    std::vector<std::string> texts() {
        std::vector<std::string> out;
        for (const Request& r : requests()) out.push_back(r.text);
        return out;
    }
    // Waits (generously) until n requests have come in.
    bool waitForRequests(size_t n) {
        std::unique_lock lock(m_);
        return arrived_.wait_for(lock, 20s, [&] { return got_.size() >= n; });
    }

private:
    bool waitReadable(int fd, short events) {
        while (!stop_) {
            pollfd p{fd, events, 0};
            if (poll(&p, 1, 20) > 0) return true;
        }
        return false;
    }

    void run() {
        while (waitReadable(fd_, POLLIN)) {
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            serve(c);
            close(c);
        }
    }

    void serve(int c) {
        std::string text;
        char buf[4096];
        while (text.find("\n\n") == std::string::npos && waitReadable(c, POLLIN)) {
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
        {
            std::lock_guard lock(m_);
            got_.push_back({text, Clock::now()});
        }
        arrived_.notify_all();
        if (mode_ == Mode::answer) {
            const char reply[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nok\n";
            send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
        } else if (mode_ == Mode::silent) {
            while (waitReadable(c, POLLIN) && recv(c, buf, sizeof buf, 0) > 0) {
            }
        } else {
            std::memset(buf, 'x', sizeof buf);
            while (waitReadable(c, POLLOUT) && send(c, buf, sizeof buf, MSG_NOSIGNAL) > 0) {
            }
        }
    }

    Mode mode_;
    int fd_ = -1;
    bool listening_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::condition_variable arrived_;
    std::vector<Request> got_;
};

std::mutex outcomeMutex;
std::vector<std::string> outcomes;
void observe(int, int, const char* outcome) {
    std::lock_guard lock(outcomeMutex);
    outcomes.push_back(outcome);
}
// The announcer's thread reports after the directory has answered, so a
// request seen by the directory is not yet an outcome. (Looked at again and
// again: the detached announcer may outlive a condition variable here.)
bool waitForOutcomes(size_t n) {
    const auto end = Clock::now() + 20s;
    while (Clock::now() < end) {
        {
            std::lock_guard lock(outcomeMutex);
            if (outcomes.size() >= n) return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}
std::vector<std::string> takeOutcomes() {
    std::lock_guard lock(outcomeMutex);
    return std::exchange(outcomes, {});
}

std::string announcement(const std::string& host, const std::string& path, const std::string& call,
                         const std::string& qrg, const std::string& loc) {
    return "GET " + path + "/vela.php?call=" + call + "&qrg=" + qrg + "&loc=" + loc +
           " HTTP/1.0\nREFERER: " + host + "\nHost: " + host + "\n\n";
}
std::string withdrawal(const std::string& host, const std::string& path, const std::string& call) {
    return "GET " + path + "/vela.php?call=" + call + "&qrg=.0. HTTP/1.0\nREFERER: " + host +
           "\nHost: " + host + "\n\n";
}

DirectorySettings settings(const char* host, const char* path, const char* call, const char* qrg,
                           const char* loc) {
    DirectorySettings s{};
    std::snprintf(s.host, sizeof s.host, "%s", host);
    std::snprintf(s.path, sizeof s.path, "%s", path);
    std::snprintf(s.call, sizeof s.call, "%s", call);
    std::snprintf(s.qrg, sizeof s.qrg, "%s", qrg);
    std::snprintf(s.loc, sizeof s.loc, "%s", loc);
    return s;
}

// Nothing listens here: connections are refused.
constexpr const char* kNobody = "127.80.80.80";

// Each test runs in a network namespace of its own, so its directory has
// port 80 to itself and nobody else's announcements reach it. It starts
// switched off with empty settings, in a fresh working directory, and with a
// short first delay and a long period.
class AnnounceTest : public ::testing::Test {
protected:
    void SetUp() override {
        MARVANE_REQUIRE_PRIVATE_NETWORK();
        setAnnouncerTimingForTests(100ms, 600s);
        replaceDirectorySettings(settings(kNobody, "", "", "", ""));
        setAnnouncing('N');  // refused at once
        replaceDirectorySettings(DirectorySettings{});
        takeOutcomes();
        setAnnounceObserver(observe);
    }
    void TearDown() override {
        if (IsSkipped()) return;
        replaceDirectorySettings(settings(kNobody, "", "", "", ""));
        setAnnouncing('N');
        setAnnounceObserver(nullptr);
    }
    TempWorkingDir workdir_{"marvane-announce"};
};

// ---- the requests ----------------------------------------------------------

// Catches a wrong default file, default host or request text (CR LF line
// ends, "Referer" spelling, a loc parameter in the withdraw), and an
// announcement sent before the first delay.
TEST_F(AnnounceTest, FirstRunWritesDefaultsAnnouncesToLocalhostAndWithdraws) {
    Directory directory("127.0.0.1", Directory::Mode::answer);
    ASSERT_TRUE(directory.listening());
    setAnnouncerTimingForTests(300ms, 600s);
    const auto on = Clock::now();
    setAnnouncing('Y');
    EXPECT_EQ(readFile("url.txt"), "localhost\n/member/oktavo/vela\nN0CALL\n0\n-\n");
    ASSERT_TRUE(directory.waitForRequests(1));
    EXPECT_GE(directory.requests()[0].at - on, 300ms);
    EXPECT_EQ(directory.texts()[0],
              "GET /member/oktavo/vela/vela.php?call=N0CALL&qrg=0&loc=- HTTP/1.0\n"
              "REFERER: localhost\nHost: localhost\n\n");
    ASSERT_TRUE(waitForOutcomes(1));
    setAnnouncing('N');
    ASSERT_EQ(directory.texts().size(), 2u);
    EXPECT_EQ(directory.texts()[1],
              "GET /member/oktavo/vela/vela.php?call=N0CALL&qrg=.0. HTTP/1.0\n"
              "REFERER: localhost\nHost: localhost\n\n");
    EXPECT_EQ(takeOutcomes(), (std::vector<std::string>{"announce ok", "withdraw ok"}));
}

// Catches missing words that wipe fields, or empty fields left out of the
// request instead of sent empty.
TEST_F(AnnounceTest, ThreeWordFileSendsEmptyQrgAndLoc) {
    Directory directory("127.0.0.1", Directory::Mode::answer);
    ASSERT_TRUE(directory.listening());
    writeFile("url.txt", "127.0.0.1 /dir DL0ABC\n");
    setAnnouncing('Y');
    ASSERT_TRUE(directory.waitForRequests(1));
    EXPECT_EQ(directory.texts()[0], announcement("127.0.0.1", "/dir", "DL0ABC", "", ""));
    EXPECT_EQ(readFile("url.txt"), "127.0.0.1 /dir DL0ABC\n");  // not rewritten
}

// Catches an overrun of a 99-character field, the tail of a long word read as
// the next field, and a request buffer too small for the longest request.
TEST_F(AnnounceTest, OversizedWordsAreCutTo99Characters) {
    Directory directory("127.0.0.1", Directory::Mode::answer);
    ASSERT_TRUE(directory.listening());
    const std::string path = std::string("/").append(300, 'p');
    const std::string call(150, 'c'), qrg(100, 'q'), loc(5000, 'l');
    writeFile("url.txt", "127.0.0.1\n" + path + "\n" + call + "\n" + qrg + "\n" + loc + "\n");
    setAnnouncing('Y');
    const DirectorySettings s = currentDirectorySettings();
    EXPECT_EQ(std::string(s.path), path.substr(0, 99));
    EXPECT_EQ(std::string(s.call), call.substr(0, 99));
    EXPECT_EQ(std::string(s.loc), loc.substr(0, 99));
    ASSERT_TRUE(directory.waitForRequests(1));
    EXPECT_EQ(directory.texts()[0],
              announcement("127.0.0.1", path.substr(0, 99), call.substr(0, 99),
                           qrg.substr(0, 99), loc.substr(0, 99)));
    setAnnouncing('N');
    ASSERT_EQ(directory.texts().size(), 2u);
    EXPECT_EQ(directory.texts()[1],
              withdrawal("127.0.0.1", path.substr(0, 99), call.substr(0, 99)));
}

// ---- "url.txt" -------------------------------------------------------------

// Catches a reader that depends on line ends (one line, CR LF) or that clears
// fields when the file is empty.
TEST_F(AnnounceTest, UrlFileLayoutsReadAlikeAndAnEmptyFileChangesNothing) {
    const DirectorySettings expected = settings(kNobody, "/d", "K1ABC", "7.1", "FN31");
    const std::string layouts[] = {
        std::string(kNobody) + "\n/d\nK1ABC\n7.1\nFN31\n",
        std::string(kNobody) + " /d K1ABC 7.1 FN31",
        std::string(kNobody) + "\r\n/d\r\nK1ABC\r\n7.1\r\nFN31\r\n",
        std::string("  \t") + kNobody + "\t/d  K1ABC\n\n7.1 FN31 extra words",
    };
    for (const std::string& text : layouts) {
        replaceDirectorySettings(DirectorySettings{});
        writeFile("url.txt", text);
        setAnnouncing('Y');
        const DirectorySettings s = currentDirectorySettings();
        EXPECT_EQ(std::memcmp(&s, &expected, sizeof s), 0) << text;
        setAnnouncing('N');
    }
    writeFile("url.txt", "");
    setAnnouncing('Y');
    const DirectorySettings s = currentDirectorySettings();
    EXPECT_EQ(std::memcmp(&s, &expected, sizeof s), 0);
    EXPECT_EQ(readFile("url.txt"), "");
}

// Catches a switch-on that re-reads the file while already on, and a
// switch-on after a switch-off that does not.
TEST_F(AnnounceTest, SwitchOnRereadsTheFileOnlyFromOff) {
    writeFile("url.txt", std::string(kNobody) + " /a AAA 1 X\n");
    setAnnouncing('Y');
    writeFile("url.txt", std::string(kNobody) + " /b BBB 2 Y\n");
    setAnnouncing('Y');
    EXPECT_STREQ(currentDirectorySettings().call, "AAA");
    setAnnouncing('N');
    setAnnouncing('Y');
    EXPECT_STREQ(currentDirectorySettings().call, "BBB");
}

// ---- the announcer loop ----------------------------------------------------

// Catches an announcement sent while announcing is off, and a switch-off
// that does not withdraw at once.
TEST_F(AnnounceTest, NothingButTheWithdrawWhileOff) {
    Directory directory("127.0.0.1", Directory::Mode::answer);
    ASSERT_TRUE(directory.listening());
    writeFile("url.txt", "127.0.0.1 /d OFF 1 X\n");
    setAnnouncerTimingForTests(300ms, 300ms);
    setAnnouncing('Y');
    setAnnouncing('N');
    EXPECT_EQ(directory.texts(), std::vector<std::string>{withdrawal("127.0.0.1", "/d", "OFF")});
    std::this_thread::sleep_for(1200ms);  // several wakes of the loop
    EXPECT_EQ(directory.texts().size(), 1u);
}

// Catches a later switch-on that waits for the old period instead of waking
// the loop, and one that starts a second loop beside the first.
TEST_F(AnnounceTest, OneLoopWokenByEachSwitchOn) {
    Directory directory("127.0.0.1", Directory::Mode::answer);
    ASSERT_TRUE(directory.listening());
    writeFile("url.txt", "127.0.0.1 /d LOOP 1 X\n");
    const std::string hello = announcement("127.0.0.1", "/d", "LOOP", "1", "X");
    auto announcementsSince = [&](Clock::time_point from, Clock::time_point to) {
        int n = 0;
        for (const auto& r : directory.requests())
            if (r.text == hello && r.at >= from && r.at <= to) ++n;
        return n;
    };

    setAnnouncing('Y');
    ASSERT_TRUE(directory.waitForRequests(1));
    setAnnouncing('N');
    setAnnouncing('Y');  // the 600 s period would hold a loop that is not woken
    ASSERT_TRUE(directory.waitForRequests(3));
    EXPECT_EQ(announcementsSince(Clock::time_point{}, Clock::now()), 2);

    // Loops started at each switch-on would each announce in the window.
    setAnnouncerTimingForTests(500ms, 1000ms);
    setAnnouncing('N');
    setAnnouncing('Y');
    setAnnouncing('N');
    const auto last = Clock::now();
    setAnnouncing('Y');
    const size_t before = directory.requests().size();
    ASSERT_TRUE(directory.waitForRequests(before + 1));
    std::this_thread::sleep_until(last + 2000ms);
    // One loop: at 500 ms, then 1000 ms after that exchange ended; no more.
    EXPECT_LE(announcementsSince(last, last + 2000ms), 2);
    EXPECT_GE(announcementsSince(last, Clock::now()), 1);
}

// Catches a request in flight reading settings half replaced by a switch-on
// (ThreadSanitizer reports an unguarded read; a torn copy mixes the sets).
TEST_F(AnnounceTest, RequestsInFlightUseAConsistentCopyOfTheSettings) {
    Directory directory("127.0.0.1", Directory::Mode::answer);
    ASSERT_TRUE(directory.listening());
    setAnnouncerTimingForTests(600s, 600s);  // only the calls below send
    const std::string files[] = {"127.0.0.1 /a AAAA 1.1 AA11\n", "127.0.0.1 /bb BB 22.22 B2\n"};
    writeFile("url.txt", files[0]);
    setAnnouncing('Y');
    std::thread announcer([] {
        for (int i = 0; i < 40; ++i) announce(0);
    });
    for (int i = 0; i < 40; ++i) {
        writeFile("url.txt", files[i % 2]);
        setAnnouncing('N');
        setAnnouncing('Y');
    }
    announcer.join();
    const std::string allowed[] = {
        announcement("127.0.0.1", "/a", "AAAA", "1.1", "AA11"),
        announcement("127.0.0.1", "/bb", "BB", "22.22", "B2"),
        withdrawal("127.0.0.1", "/a", "AAAA"),
        withdrawal("127.0.0.1", "/bb", "BB"),
    };
    const auto texts = directory.texts();
    EXPECT_EQ(texts.size(), 80u);
    for (const std::string& t : texts)
        EXPECT_TRUE(t == allowed[0] || t == allowed[1] || t == allowed[2] || t == allowed[3]) << t;
}

// ---- failures and the 10 s bound -------------------------------------------

// Catches a lookup failure reported as success or sent anyway. The label is
// longer than DNS allows, so the resolver fails without sending a query.
TEST_F(AnnounceTest, HostThatDoesNotResolveFailsAtOnce) {
    const std::string host = std::string(64, 'a') + ".invalid";
    replaceDirectorySettings(settings(host.c_str(), "/d", "C", "1", "L"));
    EXPECT_EQ(announce(0), -1);
    EXPECT_EQ(announce(1), -1);
    replaceDirectorySettings(settings("", "/d", "C", "1", "L"));
    EXPECT_EQ(announce(0), -1);
    EXPECT_EQ(takeOutcomes(), (std::vector<std::string>{"announce failed: cannot resolve " + host,
                                                         "withdraw failed: cannot resolve " + host,
                                                         "announce failed: no host in url.txt"}));
}

// Catches a refused connection reported as success.
TEST_F(AnnounceTest, RefusedPortFails) {
    replaceDirectorySettings(settings(kNobody, "/d", "C", "1", "L"));
    EXPECT_EQ(announce(0), -1);
    EXPECT_EQ(takeOutcomes(), std::vector<std::string>{"announce failed: cannot connect to " +
                                                       std::string(kNobody) + ":80"});
}

// Catches an exchange with no bound: a directory that accepts and never
// answers must not hold the announcer (or shutdown) for more than 10 s.
TEST_F(AnnounceTest, SilentDirectoryIsGivenUpAfterTenSeconds) {
    Directory directory("127.0.0.1", Directory::Mode::silent);
    ASSERT_TRUE(directory.listening());
    replaceDirectorySettings(settings("127.0.0.1", "/d", "QUIET", "1", "L"));
    const auto start = Clock::now();
    EXPECT_EQ(announce(0), -1);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 9s);
    EXPECT_LT(took, 20s);
    EXPECT_EQ(directory.texts(),
              std::vector<std::string>{announcement("127.0.0.1", "/d", "QUIET", "1", "L")});
    EXPECT_EQ(takeOutcomes(), std::vector<std::string>{"announce failed: no answer within 10 s"});
}

// Catches a read loop that follows an endless answer for ever; this one runs
// through the switch-off, as shutdown does.
TEST_F(AnnounceTest, EndlessAnswerIsCutOffAtShutdownAfterTenSeconds) {
    Directory directory("127.0.0.1", Directory::Mode::endless);
    ASSERT_TRUE(directory.listening());
    replaceDirectorySettings(settings("127.0.0.1", "/d", "CHATTY", "1", "L"));
    const auto start = Clock::now();
    setAnnouncing('N');
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 9s);
    EXPECT_LT(took, 20s);
    EXPECT_EQ(directory.texts(), std::vector<std::string>{withdrawal("127.0.0.1", "/d", "CHATTY")});
    EXPECT_EQ(takeOutcomes(),
              std::vector<std::string>{"withdraw failed: answer not finished within 10 s"});
}

}  // namespace
