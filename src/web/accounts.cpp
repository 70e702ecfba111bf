// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/accounts.h"

#include "config/notice.h"
#include "config/settings_file.h"

#include <sodium.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace marvane::web {

namespace {

constexpr std::size_t kMaxPasswordBytes = 1024;
constexpr std::size_t kMinPasswordChars = 8;

bool parseRole(const std::string& word, Role& role) {
    if (word == "operator") role = Role::operator_;
    else if (word == "listener") role = Role::listener;
    else return false;
    return true;
}

// A hash made once, checked against when a name has no account, so that a
// wrong name costs the same time as a wrong password.
const std::string& standInHash() {
    static const std::string hash = hashPassword("no such account: never matches");
    return hash;
}

}  // namespace

const char* roleName(Role role) {
    switch (role) {
    case Role::guest: return "guest";
    case Role::listener: return "listener";
    case Role::operator_: return "operator";
    }
    return "guest";
}

bool validAccountName(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
            return false;
    return true;
}

AccountBook parseAccounts(const std::string& text, const char* fileName) {
    AccountBook book;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream words(line);
        std::string name, role, hash, extra;
        if (!(words >> name) || name[0] == '#') continue;
        Account account;
        words >> role >> hash;
        const bool good = validAccountName(name) && parseRole(role, account.role) &&
                          hash.rfind("$argon2id$", 0) == 0 &&
                          hash.size() < crypto_pwhash_STRBYTES && !(words >> extra) &&
                          findAccount(book, name) == nullptr;
        if (!good) {
            config::notice("%s line %d: not \"name operator|listener hash\" of an account "
                           "(or the name again); nobody logs in with it",
                           fileName, number);
            continue;
        }
        account.name = name;
        account.hash = hash;
        book.accounts.push_back(std::move(account));
    }
    return book;
}

AccountBook readAccounts(const char* path) {
    std::string text;
    if (config::readSettingsFile(path, text) != config::SettingsRead::ok) return {};
    return parseAccounts(text, path);
}

bool writeAccounts(const AccountBook& book, const char* path, std::string& error) {
    std::string text;
    for (const Account& a : book.accounts)
        text += a.name + " " + roleName(a.role) + " " + a.hash + "\n";
    const std::string temporary = std::string(path) + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                          0600);
    if (fd < 0) {
        error = temporary + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0;
    std::size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok) ok = std::rename(temporary.c_str(), path) == 0;
    if (!ok) {
        error = std::string(path) + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
    }
    return ok;
}

const Account* findAccount(const AccountBook& book, const std::string& name) {
    for (const Account& a : book.accounts)
        if (a.name == name) return &a;
    return nullptr;
}

bool passwordHashingReady() { return sodium_init() >= 0; }

std::string hashPassword(const std::string& password) {
    if (!passwordHashingReady()) return {};
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return {};
    return out;
}

bool checkPassword(const Account* account, const std::string& password) {
    const std::string& hash = account ? account->hash : standInHash();
    if (hash.empty() || !passwordHashingReady()) return false;
    const bool match =
        crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
    return match && account != nullptr;
}

namespace {

// One line from standard input, without its line end; false at its end.
bool readLine(std::string& out) {
    out.clear();
    char c;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return !out.empty();
        if (c == '\n') return true;
        if (out.size() <= kMaxPasswordBytes) out += c;
    }
}

bool askPassword(const char* prompt, std::string& out) {
    termios saved{};
    const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fprintf(stderr, "%s", prompt);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool got = readLine(out);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return got;
}

// The password for --add-user, asked twice on a terminal; empty when none.
std::string newPassword() {
    std::string first;
    if (!askPassword("Password: ", first)) return {};
    if (::isatty(STDIN_FILENO)) {
        std::string again;
        if (!askPassword("Again: ", again) || again != first) {
            std::fprintf(stderr, "marvane: the two passwords differ; nothing was changed\n");
            return {};
        }
    }
    return first;
}

}  // namespace

int addUserCommand(const char* name, bool listener, const char* path) {
    if (!validAccountName(name)) {
        std::fprintf(stderr, "marvane: \"%s\" is not an account name (1 to 32 of A-Z a-z 0-9 . _ -)\n",
                     name);
        return 1;
    }
    if (!passwordHashingReady()) {
        std::fprintf(stderr, "marvane: libsodium cannot be started; nothing was changed\n");
        return 1;
    }
    const std::string password = newPassword();
    if (password.empty()) {
        std::fprintf(stderr, "marvane: no password given; nothing was changed\n");
        return 1;
    }
    if (password.size() < kMinPasswordChars || password.size() > kMaxPasswordBytes) {
        std::fprintf(stderr, "marvane: the password must have %zu to %zu characters; nothing was changed\n",
                     kMinPasswordChars, kMaxPasswordBytes);
        return 1;
    }
    Account account{name, listener ? Role::listener : Role::operator_, hashPassword(password)};
    if (account.hash.empty()) {
        std::fprintf(stderr, "marvane: the password could not be hashed (out of memory?)\n");
        return 1;
    }
    AccountBook book = readAccounts(path);
    bool replaced = false;
    for (Account& a : book.accounts)
        if (a.name == account.name) {
            a = account;
            replaced = true;
        }
    if (!replaced) book.accounts.push_back(account);
    std::string error;
    if (!writeAccounts(book, path, error)) {
        std::fprintf(stderr, "marvane: cannot write %s\n", error.c_str());
        return 1;
    }
    std::printf("marvane: %s %s (%s) in %s\n", replaced ? "changed" : "added", name,
                roleName(account.role), path);
    return 0;
}

int removeUserCommand(const char* name, const char* path) {
    AccountBook book = readAccounts(path);
    const std::size_t before = book.accounts.size();
    std::erase_if(book.accounts, [name](const Account& a) { return a.name == name; });
    if (book.accounts.size() == before) {
        std::fprintf(stderr, "marvane: no account \"%s\" in %s\n", name, path);
        return 1;
    }
    std::string error;
    if (!writeAccounts(book, path, error)) {
        std::fprintf(stderr, "marvane: cannot write %s\n", error.c_str());
        return 1;
    }
    std::printf("marvane: removed %s from %s\n", name, path);
    return 0;
}

int listUsersCommand(const char* path) {
    const AccountBook book = readAccounts(path);
    if (book.accounts.empty()) std::printf("no accounts in %s: marvane --add-user NAME makes one\n", path);
    for (const Account& a : book.accounts) std::printf("%s %s\n", a.name.c_str(), roleName(a.role));
    return 0;
}

}  // namespace marvane::web
