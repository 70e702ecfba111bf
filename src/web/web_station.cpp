// SPDX-License-Identifier: GPL-3.0-or-later
// The web station's server: one I/O thread runs every connection (TLS
// handshake, HTTP requests, WebSockets) with a time-out on each operation;
// the encoder thread hands its frames over to it; the login thread checks
// passwords. Everything in `Server` is touched by the I/O thread only.

#include "web/web_station.h"

#include "audio/level_control.h"
#include "audio/station_feed.h"
#include "config/notice.h"
#include "config/settings.h"
#include "display/refresh.h"
#include "display/spectrum.h"
#include "link/link_state.h"
#include "web/accounts.h"
#include "web/certificate.h"
#include "web/listener_audio.h"
#include "web/page_files.h"
#include "web/protocol.h"
#include "web/sessions.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <openssl/ssl.h>
#include <sodium.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace marvane::web {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using namespace std::chrono_literals;

constexpr auto kRequestTime = 10s;     // a whole request (headers within it)
constexpr auto kBehindLimit = 10s;     // a listener this far behind is dropped
constexpr std::size_t kControlQueue = 64;
constexpr int kMaxMessagesPerSecond = 50;
constexpr const char* kCookieName = "marvane_session";
constexpr const char* kSecurityPolicy =
    "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";

class WsSession;

// One message to one or many pages.
struct Outgoing {
    std::string bytes;
    bool binary = false;
    bool audio = false;  // may be dropped for a slow listener
};
using OutgoingPtr = std::shared_ptr<const Outgoing>;

struct LoginJob {
    std::optional<Account> account;
    std::string password;
    std::function<void(bool)> done;  // posted back to the I/O thread
};

struct Server {
    asio::io_context io{1};
    ssl::context tls{ssl::context::tls_server};
    tcp::acceptor acceptor{io};
    asio::steady_timer tick{io};
    asio::steady_timer retry{io};
    config::WebSettings settings;
    tcp::endpoint endpoint;

    AccountBook accounts;
    struct stat accountsFile {};
    bool accountsSeen = false;
    SessionTable sessions;
    LoginLimiter limiter;
    AddressCounts connections;
    std::vector<WsSession*> pages;  // accepted and counted as listeners
    std::string lastStatus;
    Clock::time_point lastStatusSent{};

    // Shared with the encoder thread.
    std::atomic<int> listeners{0};
    std::atomic<int> pcmListeners{0};

    std::mutex loginGuard;
    std::condition_variable loginWake;
    std::deque<LoginJob> loginJobs;
};

// Never destroyed: its threads end with the process.
Server* server = nullptr;

// A listener's queue holds about 300 ms of audio frames and spectra.
std::size_t audioQueueLimit() {
    return static_cast<std::size_t>(300 / server->settings.frameMs + 4);
}

// ---- small helpers ------------------------------------------------------

std::string clean(std::string_view text, std::size_t most = 40) {
    std::string out(text.substr(0, most));
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string cookieToken(const Request& req) {
    const auto header = req[http::field::cookie];
    std::string_view rest(header.data(), header.size());
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find(';'), rest.size());
        std::string_view pair = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        const std::size_t eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == kCookieName)
            return std::string(pair.substr(eq + 1));
    }
    return {};
}

// The page's own origin: what a browser sends in Origin for this Host.
bool ownOrigin(const Request& req) {
    const auto origin = req[http::field::origin];
    const auto host = req[http::field::host];
    return !host.empty() &&
           sameText(std::string_view(origin.data(), origin.size()),
                    "https://" + std::string(host.data(), host.size()));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One field of an application/x-www-form-urlencoded body.
std::string formField(const std::string& body, const char* name) {
    const std::string key = std::string(name) + "=";
    std::size_t at = 0;
    while (at <= body.size()) {
        const std::size_t end = std::min(body.find('&', at), body.size());
        if (body.compare(at, key.size(), key) == 0) {
            std::string out;
            for (std::size_t i = at + key.size(); i < end; ++i) {
                if (body[i] == '+') {
                    out += ' ';
                } else if (body[i] == '%' && i + 2 < end && hexValue(body[i + 1]) >= 0 &&
                           hexValue(body[i + 2]) >= 0) {
                    out += static_cast<char>(hexValue(body[i + 1]) * 16 + hexValue(body[i + 2]));
                    i += 2;
                } else {
                    out += body[i];
                }
            }
            return out;
        }
        at = end + 1;
    }
    return {};
}

std::string htmlEscape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

const PageFile* pageFile(const char* path) { return findPageFile(path, std::strlen(path)); }

Response makeResponse(const Request& req, http::status status, const std::string& type,
                      std::string body) {
    Response res{status, req.version()};
    res.set(http::field::server, "marvane");
    res.set(http::field::content_type, type);
    res.set("Content-Security-Policy", kSecurityPolicy);
    res.set("X-Content-Type-Options", "nosniff");
    res.set("Referrer-Policy", "same-origin");  // no-referrer would make a form's Origin "null"
    res.set(http::field::cache_control, "no-store");
    res.keep_alive(req.keep_alive());
    if (req.method() == http::verb::head) {
        res.content_length(body.size());
    } else {
        res.body() = std::move(body);
        res.prepare_payload();
    }
    return res;
}

Response textPage(const Request& req, http::status status, const std::string& text) {
    return makeResponse(req, status, "text/plain; charset=utf-8", text + "\n");
}

Response redirect(const Request& req, const char* where) {
    Response res = makeResponse(req, http::status::see_other, "text/plain; charset=utf-8", "");
    res.set(http::field::location, where);
    return res;
}

// The login page with a line for the visitor in place of its marker.
Response loginPage(const Request& req, http::status status, const std::string& line) {
    const PageFile* file = pageFile("/login.html");
    std::string html(reinterpret_cast<const char*>(file->data), file->size);
    std::string text = line;
    if (text.empty() && server->accounts.accounts.empty())
        text = "This station has no accounts yet. On the station, make one with: "
               "marvane --add-user NAME";
    const std::string marker = "<!--notice-->";
    const std::size_t at = html.find(marker);
    if (at != std::string::npos && !text.empty())
        html.replace(at, marker.size(), "<p class=\"notice\">" + htmlEscape(text) + "</p>");
    return makeResponse(req, status, file->type, std::move(html));
}

std::string sessionCookie(const std::string& token, long seconds) {
    return std::string(kCookieName) + "=" + token + "; Path=/; Max-Age=" + std::to_string(seconds) +
           "; HttpOnly; Secure; SameSite=Strict";
}

// ---- the listeners' pages -----------------------------------------------

// Releases the address's connection when the last holder of the connection
// (HTTP, then perhaps WebSocket) goes.
struct AddressSlot {
    std::string address;
    explicit AddressSlot(std::string a) : address(std::move(a)) {}
    ~AddressSlot() { releaseConnection(server->connections, address); }
    AddressSlot(const AddressSlot&) = delete;
    AddressSlot& operator=(const AddressSlot&) = delete;
};
using SlotPtr = std::shared_ptr<AddressSlot>;

std::string statusJson();

class WsSession : public std::enable_shared_from_this<WsSession> {
public:
    WsSession(beast::ssl_stream<beast::tcp_stream>&& stream, SlotPtr slot, std::string name,
              Role role, std::string token)
        : ws_(std::move(stream)), slot_(std::move(slot)), name_(std::move(name)), role_(role),
          token_(std::move(token)) {}

    ~WsSession() {
        if (!counted_) return;
        std::erase(server->pages, this);
        server->listeners.store(static_cast<int>(server->pages.size()));
        if (pcm_) server->pcmListeners.fetch_sub(1);
        config::notice("web: %s (%s) from %s left%s", name_.c_str(), roleName(role_),
                       slot_->address.c_str(), lostNote().c_str());
    }

    void start(Request req) {
        beast::get_lowest_layer(ws_).expires_never();
        // A few seconds of a listener's messages at most wait in the kernel:
        // one that does not read is seen falling behind, not hidden there.
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(asio::socket_base::send_buffer_size(16384),
                                                         ignored);
        // Each frame goes out as it comes, not held back until the page has
        // acknowledged the one before (which may wait for its delayed ACK).
        beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = kRequestTime;
        timeouts.idle_timeout = 30s;  // pinged after 15 s of quiet
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, "marvane"); }));
        ws_.read_message_max(kMaxPageMessage);
        ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
            self->onAccept(ec);
        });
    }

    const std::string& name() const { return name_; }
    Role role() const { return role_; }
    const std::string& token() const { return token_; }
    bool wantsPcm() const { return pcm_; }
    bool heard() const { return hello_; }

    void send(const OutgoingPtr& message) {
        if (closing_ || !message) return;
        if (message->audio && queue_.size() >= audioQueueLimit()) {
            ++lost_;
            if (behindSince_ == Clock::time_point{}) behindSince_ = Clock::now();
            return;
        }
        if (queue_.size() >= kControlQueue) return drop("its messages pile up");
        queue_.push_back(message);
        if (!writing_) writeNext();
    }

    void sendText(const std::string& json) {
        auto m = std::make_shared<Outgoing>();
        m->bytes = json;
        send(m);
    }

    // From the I/O thread's tick: a listener that cannot keep up goes.
    void check(Clock::time_point now) {
        if (closing_) return;
        const bool behind = behindSince_ != Clock::time_point{} && now - behindSince_ > kBehindLimit;
        const bool stuck = writing_ && now - lastProgress_ > kBehindLimit;
        if (behind || stuck) drop("10 s behind");
    }

    // Closes at once, without the closing handshake (a peer that does not read).
    void drop(const char* why) {
        if (closing_) return;
        closing_ = true;
        config::notice("web: %s (%s) from %s dropped: %s%s", name_.c_str(), roleName(role_),
                       slot_->address.c_str(), why, lostNote().c_str());
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    // Says why, then closes with the closing handshake.
    void end(const std::string& json, websocket::close_code code) {
        if (closing_) return;
        sendText(json);
        closeCode_ = code;
        closeAfterWrites_ = true;
        if (!writing_) writeNext();
    }

private:
    std::string lostNote() const {
        return lost_ == 0 ? std::string() : ", " + std::to_string(lost_) + " messages lost";
    }

    void onAccept(beast::error_code ec) {
        if (ec) return;
        if (static_cast<int>(server->pages.size()) >= server->settings.maxListeners) {
            config::notice("web: %s (%s) from %s refused: the station is full (%d listeners)",
                           name_.c_str(), roleName(role_), slot_->address.c_str(),
                           server->settings.maxListeners);
            end("{\"type\":\"full\",\"max\":" + std::to_string(server->settings.maxListeners) + "}",
                websocket::close_code::try_again_later);
        } else {
            counted_ = true;
            server->pages.push_back(this);
            server->listeners.store(static_cast<int>(server->pages.size()));
            config::notice("web: %s (%s) from %s listens", name_.c_str(), roleName(role_),
                           slot_->address.c_str());
        }
        readNext();
    }

    void readNext() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->onRead(ec);
        });
    }

    void onRead(beast::error_code ec) {
        if (ec) return;  // closed, dropped or timed out: the session ends
        const Clock::time_point now = Clock::now();
        if (now - secondStart_ > 1s) {
            secondStart_ = now;
            messages_ = 0;
        }
        if (++messages_ > kMaxMessagesPerSecond) return drop("too many messages");
        const std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        if (!counted_) return readNext();  // a full station only says so
        if (!ws_.got_text()) {
            // Sound from a page is for a controller, and none is taken yet.
            refuse("audio", roleAllows(role_, Role::operator_) ? "this station takes no sound from the page"
                                                               : "a listener cannot transmit");
        } else {
            handle(text);
        }
        if (!closing_) readNext();
    }

    void refuse(const std::string& what, const char* why) {
        config::notice("web: %s (%s) from %s refused %s: %s", name_.c_str(), roleName(role_),
                       slot_->address.c_str(), clean(what, 20).c_str(), why);
        sendText("{\"type\":\"refused\",\"what\":" + jsonString(clean(what, 20)) +
                 ",\"why\":" + jsonString(why) + "}");
    }

    void handle(const std::string& text) {
        PageMessage message;
        if (!parsePageMessage(text, message)) return refuse("message", "not a JSON object");
        const std::string type = message.text("type");
        Role least;
        if (!leastRoleFor(type, least)) return refuse(type, "no such message");
        if (!roleAllows(role_, least))
            return refuse(type, role_ == Role::operator_ ? "not allowed" : "only an operator may");
        if (type == "hello") return hello(message);
        if (type == "ping") {
            const std::string t = message.text("t");
            char* end = nullptr;
            const double value = std::strtod(t.c_str(), &end);
            sendText("{\"type\":\"pong\",\"t\":" +
                     (t.empty() || *end != '\0' ? std::string("0") : std::to_string(value)) + "}");
            return;
        }
        // An operator's control of the radio comes with the one state machine's controller.
        refuse(type, "the web station does not control the radio yet");
    }

    void hello(const PageMessage& message) {
        if (hello_) return refuse("hello", "already said");
        const auto codecs = message.lists.find("codecs");
        bool opus = false, pcm = false;
        if (codecs != message.lists.end())
            for (const std::string& c : codecs->second) {
                opus = opus || c == "opus";
                pcm = pcm || c == "pcm";
            }
        if (!opus && !pcm) return refuse("hello", "the page takes neither opus nor pcm");
        hello_ = true;
        pcm_ = !opus;
        if (pcm_) server->pcmListeners.fetch_add(1);
        sendText("{\"type\":\"hello\",\"name\":" + jsonString(name_) + ",\"role\":\"" +
                 roleName(role_) + "\",\"codec\":\"" + (pcm_ ? "pcm" : "opus") +
                 "\",\"rate\":" + std::to_string(kListenerRate) +
                 ",\"frameMs\":" + std::to_string(server->settings.frameMs) +
                 ",\"bins\":" + std::to_string(display::kSpectrumBinCount) + "}");
        sendText(statusJson());
    }

    void writeNext() {
        if (queue_.empty()) {
            if (closeAfterWrites_ && !closing_) {
                closing_ = true;
                ws_.async_close(closeCode_, [self = shared_from_this()](beast::error_code) {});
            }
            return;
        }
        writing_ = true;
        lastProgress_ = Clock::now();
        ws_.binary(queue_.front()->binary);
        ws_.async_write(asio::buffer(queue_.front()->bytes),
                        [self = shared_from_this()](beast::error_code ec, std::size_t) {
                            self->onWrite(ec);
                        });
    }

    void onWrite(beast::error_code ec) {
        writing_ = false;
        if (ec) {
            closing_ = true;
            queue_.clear();
            return;
        }
        queue_.pop_front();
        lastProgress_ = Clock::now();
        if (queue_.size() <= audioQueueLimit() / 2) behindSince_ = Clock::time_point{};
        writeNext();
    }

    websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws_;
    beast::flat_buffer buffer_;
    SlotPtr slot_;
    std::string name_;
    Role role_;
    std::string token_;
    std::deque<OutgoingPtr> queue_;
    bool writing_ = false;
    bool closing_ = false;
    bool closeAfterWrites_ = false;
    websocket::close_code closeCode_ = websocket::close_code::normal;
    bool counted_ = false;
    bool hello_ = false;
    bool pcm_ = false;
    std::uint64_t lost_ = 0;
    Clock::time_point behindSince_{};
    Clock::time_point lastProgress_ = Clock::now();
    Clock::time_point secondStart_{};
    int messages_ = 0;
};

// ---- HTTP ---------------------------------------------------------------

void queueLogin(LoginJob job) {
    {
        std::lock_guard lock(server->loginGuard);
        server->loginJobs.push_back(std::move(job));
    }
    server->loginWake.notify_one();
}

bool loginQueueFull() {
    std::lock_guard lock(server->loginGuard);
    return server->loginJobs.size() >= 16;
}

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket&& socket, SlotPtr slot)
        : stream_(std::move(socket), server->tls), slot_(std::move(slot)) {}

    void start() {
        beast::get_lowest_layer(stream_).expires_after(kRequestTime);
        stream_.async_handshake(ssl::stream_base::server,
                                [self = shared_from_this()](beast::error_code ec) {
                                    if (!ec) self->readNext();
                                });
    }

private:
    void readNext() {
        parser_.emplace();
        parser_->header_limit(8 * 1024);
        parser_->body_limit(4 * 1024);
        beast::get_lowest_layer(stream_).expires_after(kRequestTime);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             self->onRead(ec);
                         });
    }

    void onRead(beast::error_code ec) {
        const std::string& address = slot_->address;
        if (ec == http::error::end_of_stream || ec == asio::ssl::error::stream_truncated) return close();
        if (ec == beast::error::timeout) {
            if (parser_->got_some())
                config::notice("web: %s sent no whole request within 10 s; closed", address.c_str());
            return;
        }
        if (ec == http::error::header_limit)
            return answerBad(http::status::request_header_fields_too_large, "headers over 8 KiB");
        if (ec == http::error::body_limit)
            return answerBad(http::status::payload_too_large, "a body over 4 KiB");
        if (ec && ec.category() == http::make_error_code(http::error::bad_target).category())
            return answerBad(http::status::bad_request, ec.message().c_str());
        if (ec) return;  // the connection failed
        Request req = parser_->release();
        if (websocket::is_upgrade(req)) return upgrade(std::move(req));
        route(std::move(req));
    }

    void answerBad(http::status status, const char* what) {
        config::notice("web: bad request from %s: %s; answered %d", slot_->address.c_str(),
                       clean(what, 80).c_str(), static_cast<int>(status));
        Request req;
        req.version(11);
        Response res = textPage(req, status, std::string(http::obsolete_reason(status)));
        res.keep_alive(false);
        write(std::move(res));
    }

    const Session* session(const Request& req) {
        const std::string token = cookieToken(req);
        return token.empty() ? nullptr : findSession(server->sessions, token, Clock::now());
    }

    void route(Request req) {
        const std::string target(req.target());
        const std::string path = target.substr(0, target.find('?'));
        const bool get = req.method() == http::verb::get || req.method() == http::verb::head;
        const bool post = req.method() == http::verb::post;
        if (path == "/" && get) {
            if (session(req) == nullptr && !server->settings.guests) return write(redirect(req, "/login"));
            const PageFile* page = pageFile("/index.html");
            return write(makeResponse(req, http::status::ok, page->type,
                                      std::string(reinterpret_cast<const char*>(page->data), page->size)));
        }
        if (path == "/login" && get) {
            if (session(req) != nullptr) return write(redirect(req, "/"));
            return write(loginPage(req, http::status::ok, ""));
        }
        if ((path == "/login" || path == "/logout") && post) {
            if (!req[http::field::origin].empty() && !ownOrigin(req)) {
                config::notice("web: %s from %s refused: Origin %s is not this station's", path.c_str(),
                               slot_->address.c_str(), clean(req[http::field::origin], 80).c_str());
                return write(textPage(req, http::status::forbidden, "Forbidden"));
            }
            return path == "/login" ? login(std::move(req)) : logout(req);
        }
        if (path == "/ws") return write(textPage(req, http::status::upgrade_required, "WebSocket only"));
        // The two pages are served at / and /login only.
        const PageFile* file =
            path == "/index.html" || path == "/login.html" ? nullptr : pageFile(path.c_str());
        if (file != nullptr && get) {
            Response res = makeResponse(req, http::status::ok, file->type,
                                        std::string(reinterpret_cast<const char*>(file->data), file->size));
            res.set(http::field::cache_control, "no-cache");
            return write(std::move(res));
        }
        if (file == nullptr && path != "/" && path != "/login" && path != "/logout")
            return write(textPage(req, http::status::not_found, "Not found"));
        write(textPage(req, http::status::method_not_allowed, "Method not allowed"));
    }

    void login(Request req) {
        const std::string name = formField(req.body(), "name");
        std::string password = formField(req.body(), "password");
        const std::string shown = clean(name, 32);
        const std::string& address = slot_->address;
        if (!mayTryLogin(server->limiter, address, Clock::now()))
            return write(loginPage(req, http::status::too_many_requests,
                                   "Too many failed logins from your address: wait a minute, then try again."));
        if (loginQueueFull()) {
            loginDropped(server->limiter, address);
            return write(loginPage(req, http::status::service_unavailable, "The station is busy: try again."));
        }
        LoginJob job;
        if (const Account* account = findAccount(server->accounts, name)) job.account = *account;
        job.password = std::move(password);
        auto request = std::make_shared<Request>(std::move(req));
        job.done = [self = shared_from_this(), request, name, shown](bool good) {
            const std::string& address = self->slot_->address;
            const bool blocked = loginDone(server->limiter, address, good, Clock::now());
            const Account* account = good ? findAccount(server->accounts, name) : nullptr;
            if (account == nullptr) {
                config::notice("web: login of \"%s\" from %s refused: wrong name or password",
                               shown.c_str(), address.c_str());
                if (blocked)
                    config::notice("web: %d failed logins from %s within a minute: it waits a minute",
                                   kLoginTries, address.c_str());
                return self->write(loginPage(*request, http::status::unauthorized,
                                             "Wrong name or password."));
            }
            const int hours = server->settings.sessionHours;
            const std::string token = openSession(server->sessions, account->name, account->role,
                                                  hours, Clock::now());
            config::notice("web: login %s (%s) from %s", account->name.c_str(),
                           roleName(account->role), address.c_str());
            Response res = redirect(*request, "/");
            res.set(http::field::set_cookie, sessionCookie(token, hours * 3600L));
            self->write(std::move(res));
        };
        queueLogin(std::move(job));
    }

    void logout(const Request& req) {
        const std::string token = cookieToken(req);
        if (const Session* s = token.empty() ? nullptr : findSession(server->sessions, token, Clock::now())) {
            config::notice("web: logout %s from %s", s->name.c_str(), slot_->address.c_str());
            closeSession(server->sessions, token);
            for (WsSession* page : server->pages)
                if (page->token() == token) page->end("{\"type\":\"bye\",\"why\":\"logged out\"}",
                                                       websocket::close_code::normal);
        }
        Response res = redirect(req, "/login");
        res.set(http::field::set_cookie, sessionCookie("", 0));
        write(std::move(res));
    }

    void upgrade(Request req) {
        const std::string& address = slot_->address;
        if (req.target() != "/ws") return write(textPage(req, http::status::not_found, "Not found"));
        if (!ownOrigin(req)) {
            config::notice("web: WebSocket from %s refused: Origin \"%s\" is not this station's",
                           address.c_str(), clean(req[http::field::origin], 80).c_str());
            return write(textPage(req, http::status::forbidden, "Forbidden"));
        }
        const std::string token = cookieToken(req);
        const Session* s = token.empty() ? nullptr : findSession(server->sessions, token, Clock::now());
        if (s == nullptr && !server->settings.guests) {
            config::notice("web: WebSocket from %s refused: no session", address.c_str());
            return write(textPage(req, http::status::unauthorized, "Log in first"));
        }
        auto page = std::make_shared<WsSession>(std::move(stream_), slot_, s ? s->name : "guest",
                                                s ? s->role : Role::guest, s ? token : "");
        page->start(std::move(req));
    }

    void write(Response res) {
        auto response = std::make_shared<Response>(std::move(res));
        beast::get_lowest_layer(stream_).expires_after(kRequestTime);
        http::async_write(stream_, *response,
                          [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                              if (ec) return;
                              if (!response->keep_alive()) return self->close();
                              self->readNext();
                          });
    }

    void close() {
        beast::get_lowest_layer(stream_).expires_after(kRequestTime);
        stream_.async_shutdown([self = shared_from_this()](beast::error_code) {});
    }

    beast::ssl_stream<beast::tcp_stream> stream_;
    beast::flat_buffer buffer_{16 * 1024};
    std::optional<http::request_parser<http::string_body>> parser_;
    SlotPtr slot_;
};

// ---- the I/O thread's own work -------------------------------------------

void acceptNext() {
    server->acceptor.async_accept([](beast::error_code ec, tcp::socket socket) {
        if (!ec) {
            beast::error_code e;
            const auto remote = socket.remote_endpoint(e);
            std::string address = e ? "?" : remote.address().to_string();
            if (takeConnection(server->connections, address, server->settings.maxPerAddress)) {
                auto slot = std::make_shared<AddressSlot>(address);
                std::make_shared<HttpSession>(std::move(socket), std::move(slot))->start();
            } else {
                config::notice("web: %s refused: it holds %d connections already ([web] max_per_address)",
                               address.c_str(), server->settings.maxPerAddress);
                socket.close(e);
            }
        } else if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space) {
            // Out of files: wait a moment rather than spin.
            server->retry.expires_after(1s);
            server->retry.async_wait([](beast::error_code) { acceptNext(); });
            return;
        }
        if (ec != asio::error::operation_aborted) acceptNext();
    });
}

bool openListener(std::string* why = nullptr) {
    beast::error_code ec;
    tcp::acceptor& acceptor = server->acceptor;
    if (acceptor.is_open()) acceptor.close(ec);
    acceptor.open(server->endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(server->endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        if (why) *why = ec.message();
        acceptor.close(ec);
        return false;
    }
    acceptNext();
    return true;
}

void listenAgainLater() {
    server->retry.expires_after(10s);
    server->retry.async_wait([](beast::error_code ec) {
        if (ec) return;
        if (openListener())
            config::notice("web: listening on port %d now", server->endpoint.port());
        else
            listenAgainLater();
    });
}

std::string statusJson() {
    link::LinkState& state = link::linkState;
    const bool connected = state.clientConnected.load() != 0;
    const bool transmitting = state.txActive.load() != 0;
    char address[16] = {};
    char info[20] = {};
    if (connected) state.copyPeerAddress(address);
    state.copyPeerInfo(info);
    const int level = display::levelBarPosition(transmitting, connected, state.lastReportedFill.load(),
                                                audio::currentGain.load());
    return std::string("{\"type\":\"status\",\"client\":") + jsonString(connected ? address : "") +
           ",\"info\":" + jsonString(clean(info, 19)) + ",\"mode\":\"" + (transmitting ? "TX" : "RX") +
           "\",\"level\":" + std::to_string(level) +
           ",\"listeners\":" + std::to_string(server->pages.size()) + "}";
}

// The accounts file again when it changed: a removed account or a changed
// role ends that account's sessions and pages.
void rereadAccounts() {
    struct stat now{};
    const bool there = ::stat(kAccountsFileName, &now) == 0;
    const struct stat& was = server->accountsFile;
    if (server->accountsSeen && there == (was.st_ino != 0) &&
        (!there || (now.st_ino == was.st_ino && now.st_size == was.st_size &&
                    now.st_mtim.tv_sec == was.st_mtim.tv_sec &&
                    now.st_mtim.tv_nsec == was.st_mtim.tv_nsec)))
        return;
    const bool first = !server->accountsSeen;
    server->accountsSeen = true;
    server->accountsFile = {};
    if (there) server->accountsFile = now;
    server->accounts = readAccounts(kAccountsFileName);
    const std::size_t ended = closeSessionsNotIn(server->sessions, server->accounts);
    if (first) {
        if (server->accounts.accounts.empty() && !server->settings.guests)
            config::notice("web: no accounts yet, nobody can listen: make one with "
                           "marvane --add-user NAME");
        return;
    }
    config::notice("web: %s read again: %zu accounts%s", kAccountsFileName,
                   server->accounts.accounts.size(),
                   ended ? ", sessions of removed or changed accounts ended" : "");
    for (WsSession* page : server->pages) {
        if (page->role() == Role::guest) continue;
        const Account* a = findAccount(server->accounts, page->name());
        if (a == nullptr || a->role != page->role())
            page->end("{\"type\":\"bye\",\"why\":\"account changed\"}", websocket::close_code::policy_error);
    }
}

void onTick() {
    const Clock::time_point now = Clock::now();
    rereadAccounts();
    const std::string status = statusJson();
    if (status != server->lastStatus || now - server->lastStatusSent > 5s) {
        server->lastStatus = status;
        server->lastStatusSent = now;
        auto message = std::make_shared<Outgoing>();
        message->bytes = status;
        for (WsSession* page : server->pages)
            if (page->heard()) page->send(message);
    }
    for (WsSession* page : server->pages) page->check(now);
    server->tick.expires_after(250ms);
    server->tick.async_wait([](beast::error_code ec) {
        if (!ec) onTick();
    });
}

void runIo() {
    auto guard = asio::make_work_guard(server->io);
    for (;;) {
        try {
            server->io.run();
            return;
        } catch (const std::exception& e) {
            config::notice("web: %s", e.what());
        }
    }
}

void runLogins() {
    for (;;) {
        LoginJob job;
        {
            std::unique_lock lock(server->loginGuard);
            server->loginWake.wait(lock, [] { return !server->loginJobs.empty(); });
            job = std::move(server->loginJobs.front());
            server->loginJobs.pop_front();
        }
        const bool good = checkPassword(job.account ? &*job.account : nullptr, job.password);
        sodium_memzero(job.password.data(), job.password.size());
        asio::post(server->io, [done = std::move(job.done), good] { done(good); });
    }
}

// ---- the encoder thread --------------------------------------------------

struct EncoderState {
    std::uint16_t sequence = 0;
};

void postFrame(const ListenerFrame& frame, void* user) {
    EncoderState& state = *static_cast<EncoderState*>(user);
    const std::uint16_t sequence = state.sequence++;
    const unsigned char flags = frame.transmit ? kTransmitFlag : 0;
    auto opus = std::make_shared<Outgoing>();
    opus->binary = opus->audio = true;
    opus->bytes.resize(4 + static_cast<std::size_t>(frame.opusBytes));
    opus->bytes[0] = static_cast<char>(kOpusMessage);
    opus->bytes[1] = static_cast<char>(flags);
    opus->bytes[2] = static_cast<char>(sequence & 0xff);
    opus->bytes[3] = static_cast<char>(sequence >> 8);
    std::memcpy(opus->bytes.data() + 4, frame.opus, static_cast<std::size_t>(frame.opusBytes));
    std::shared_ptr<Outgoing> pcm;
    if (server->pcmListeners.load() > 0) {
        pcm = std::make_shared<Outgoing>();
        pcm->binary = pcm->audio = true;
        pcm->bytes.resize(4 + 2 * static_cast<std::size_t>(frame.samples));
        pcm->bytes[0] = static_cast<char>(kPcmMessage);
        std::memcpy(pcm->bytes.data() + 1, opus->bytes.data() + 1, 3);
        for (int i = 0; i < frame.samples; ++i) {
            const auto s = static_cast<std::uint16_t>(frame.pcm[i]);
            pcm->bytes[4 + 2 * i] = static_cast<char>(s & 0xff);
            pcm->bytes[5 + 2 * i] = static_cast<char>(s >> 8);
        }
    }
    asio::post(server->io, [opus = OutgoingPtr(opus), pcm = OutgoingPtr(pcm)] {
        for (WsSession* page : server->pages)
            if (page->heard()) page->send(page->wantsPcm() ? pcm : opus);
    });
}

void postSpectrum(const double* bins, bool transmit) {
    auto message = std::make_shared<Outgoing>();
    message->binary = message->audio = true;
    message->bytes.resize(2 + packedBinBytes(display::kSpectrumBinCount));
    message->bytes[0] = static_cast<char>(kSpectrumMessage);
    message->bytes[1] = static_cast<char>(transmit ? kTransmitFlag : 0);
    packSpectrum(bins, display::kSpectrumBinCount,
                 reinterpret_cast<unsigned char*>(message->bytes.data() + 2));
    asio::post(server->io, [message = OutgoingPtr(message)] {
        for (WsSession* page : server->pages)
            if (page->heard()) page->send(message);
    });
}

// The listeners hear the capture as it arrives (captureFeed), so that their
// delay does not hold the pump's whole blocks; while the station transmits,
// the blocks that go on the air (stationFeed). The pump's blocks also say
// which of the two it is, pace the spectrum, and stand in for the capture
// while the capture device is lost (the pump then reads silence).
struct EncoderSources {
    audio::FeedCursor pieces;
    audio::FeedCursor blocks;
    bool transmitting = false;
    Clock::time_point lastPiece{};
};

constexpr auto kCaptureQuiet = 250ms;  // no piece for this long: the device is lost
constexpr int kPieceWaitMs = 20;       // the pump's blocks are looked for this often at least

// The transmitted blocks come whole, a block's time apart: they are handed
// on at the pace they play, as the capture's pieces are, so that the pages
// need no deeper buffer for them.
struct TransmitPacer {
    static constexpr int kHeld = 4 * audio::kFeedMaxSamples;
    std::int16_t samples[kHeld] = {};
    int count = 0;
    Clock::time_point start{};
    std::int64_t released = 0;  // since start
};

void holdTransmitted(TransmitPacer& pacer, const audio::FeedBlock& block, Clock::time_point now) {
    if (pacer.count == 0) {
        pacer.start = now;
        pacer.released = 0;
    }
    const int room = TransmitPacer::kHeld - pacer.count;
    if (block.count > room) {  // the encoder fell behind: the oldest go
        const int gone = block.count - room;
        std::memmove(pacer.samples, pacer.samples + gone,
                     static_cast<std::size_t>(pacer.count - gone) * sizeof(std::int16_t));
        pacer.count -= gone;
    }
    std::memcpy(pacer.samples + pacer.count, block.samples,
                static_cast<std::size_t>(block.count) * sizeof(std::int16_t));
    pacer.count += block.count;
}

// The samples due by now (all of them with `all`); more than two blocks
// held are let go of at once, should the pump run ahead of this clock.
void releaseTransmitted(TransmitPacer& pacer, Clock::time_point now, bool all, ListenerAudio& audio,
                       EncoderState& state) {
    const double seconds = std::chrono::duration<double>(now - pacer.start).count();
    const auto due = static_cast<std::int64_t>(seconds * audio::kFeedRate) - pacer.released;
    int n = static_cast<int>(std::clamp<std::int64_t>(due, 0, pacer.count));
    n = std::max(n, pacer.count - 2 * audio::kFeedMaxSamples);
    if (all) n = pacer.count;
    for (int at = 0; at < n; at += kMaxBlockSamples)
        addListenerSamples(audio, pacer.samples + at, std::min(kMaxBlockSamples, n - at), true, postFrame, &state);
    std::memmove(pacer.samples, pacer.samples + n, static_cast<std::size_t>(pacer.count - n) * sizeof(std::int16_t));
    pacer.count -= n;
    pacer.released += n;
}

void runEncoder(bool spectrumTablesBuilt) {
    if (!spectrumTablesBuilt) display::buildSpectrumTables();
    static ListenerAudio audioState;  // large: not on the thread's stack
    static audio::FeedBlock block;
    static audio::FeedBlock piece;
    static double samples[display::kSpectrumBlockSize];
    static double bins[display::kSpectrumBinCount];
    EncoderState state;
    if (!openListenerAudio(audioState, server->settings.frameMs)) {
        config::notice("web: the Opus encoder or the resampler cannot be made: listeners hear nothing");
        return;
    }
    EncoderSources from;
    static TransmitPacer pacer;
    bool idle = true;
    auto heard = [&] {
        if (server->listeners.load() == 0) {
            idle = true;
            pacer.count = 0;
            return false;
        }
        if (idle) resetListenerAudio(audioState);
        idle = false;
        return true;
    };
    for (;;) {
        audio::waitForFeed(audio::captureFeed, from.pieces, kPieceWaitMs);
        const Clock::time_point now = Clock::now();
        while (audio::readFeed(audio::captureFeed, from.pieces, piece)) {
            from.lastPiece = now;
            // While transmitting, what the receiver hears is not the station's.
            if (!from.transmitting && heard())
                addListenerSamples(audioState, piece.samples, piece.count, false, postFrame, &state);
        }
        bool spectrum = false;
        bool transmit = false;
        while (audio::readFeed(audio::stationFeed, from.blocks, block)) {
            transmit = block.kind == audio::FeedKind::transmit;
            from.transmitting = transmit;
            spectrum = true;
            if (!heard()) continue;
            if (transmit) {
                holdTransmitted(pacer, block, now);
            } else {
                // Back to receive: what went on the air is heard to its end first.
                if (pacer.count > 0) releaseTransmitted(pacer, now, true, audioState, state);
                if (now - from.lastPiece > kCaptureQuiet)
                    addListenerSamples(audioState, block.samples, block.count, false, postFrame, &state);
            }
        }
        if (pacer.count > 0 && heard()) releaseTransmitted(pacer, now, false, audioState, state);
        if (!spectrum || server->listeners.load() == 0) continue;
        // The window's analysis: the levelled receive block, or while
        // transmitting the block that went on the air.
        if (transmit) {
            std::fill(samples, samples + display::kSpectrumBlockSize, 0.0);
            for (int i = 0; i < std::min(block.count, display::kSpectrumBlockSize); ++i) samples[i] = block.samples[i];
        } else {
            audio::copyLevelledSamples(samples);
        }
        display::computeSpectrum(samples, bins);
        postSpectrum(bins, transmit);
    }
}

std::string hostForAddress() {
    if (server->settings.listenAddress != 0) return server->endpoint.address().to_string();
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
    return host;
}

bool setUpTls(const CertificateFiles& files, std::string& error) {
    beast::error_code ec;
    ssl::context& tls = server->tls;
    tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                    ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                    ssl::context::single_dh_use);
    SSL_CTX_set_min_proto_version(tls.native_handle(), TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(tls.native_handle(), "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20");
    tls.use_certificate_chain_file(files.certificate, ec);
    if (ec) {
        error = files.certificate + ": " + ec.message();
        return false;
    }
    tls.use_private_key_file(files.key, ssl::context::pem, ec);
    if (ec) {
        error = files.key + ": " + ec.message();
        return false;
    }
    if (SSL_CTX_check_private_key(tls.native_handle()) != 1) {
        error = files.key + " is not the key of " + files.certificate;
        return false;
    }
    return true;
}

}  // namespace

void startWebStation(bool spectrumTablesBuilt) {
    if (server != nullptr) return;
    config::WebSettings settings = config::settings().web;
    if (const char* text = std::getenv("MARVANE_WEB_PORT")) {
        const int port = std::atoi(text);
        if (port >= 0 && port <= 65535) settings.port = port;
    }
    if (settings.port == 0) {
        config::notice("web: no web station ([web] port = 0)");
        return;
    }
    if (!passwordHashingReady()) {
        config::notice("web: libsodium cannot be started; there is no web station");
        return;
    }
    CertificateFiles files;
    std::string error;
    if (!prepareCertificate(settings.certificate, settings.key, files, error)) {
        config::notice("web: %s; there is no web station", error.c_str());
        return;
    }
    server = new Server;
    server->settings = settings;
    if (!setUpTls(files, error)) {
        config::notice("web: %s; there is no web station", error.c_str());
        return;
    }
    if (files.madeNow)
        config::notice("web: made a self-signed certificate for this machine: %s (key %s)",
                       files.certificate.c_str(), files.key.c_str());
    config::notice("web: certificate SHA-256 fingerprint %s", files.fingerprint.c_str());
    server->endpoint = tcp::endpoint(asio::ip::address_v4(settings.listenAddress),
                                     static_cast<unsigned short>(settings.port));
    rereadAccounts();
    std::string why;
    if (openListener(&why)) {
        config::notice("web: https://%s:%d/", hostForAddress().c_str(), settings.port);
    } else {
        config::notice("web: cannot listen on %s:%d (%s); trying again every 10 s",
                       server->endpoint.address().to_string().c_str(), settings.port, why.c_str());
        listenAgainLater();
    }
    onTick();
    try {
        std::thread(runIo).detach();
        std::thread(runLogins).detach();
        std::thread(runEncoder, spectrumTablesBuilt).detach();
    } catch (const std::exception& e) {
        config::notice("web: cannot start its threads: %s", e.what());
    }
}

}  // namespace marvane::web
