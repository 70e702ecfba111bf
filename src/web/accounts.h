// SPDX-License-Identifier: GPL-3.0-or-later
// The web station's accounts: "web-users.txt" in the working folder, one
// account a line ("name role hash"), the hash an Argon2id string of
// libsodium's crypto_pwhash_str. Readable by its owner only. Made and
// changed by `marvane --add-user`, `--remove-user`; the station reads it
// again whenever it changes.
#pragma once

#include <string>
#include <vector>

namespace marvane::web {

inline constexpr const char* kAccountsFileName = "web-users.txt";

// A guest listens without an account (guests = yes); a listener has an
// account that may only listen; an operator may, once the station lets web
// operators transmit, also take control.
enum class Role { guest, listener, operator_ };

const char* roleName(Role role);

struct Account {
    std::string name;
    Role role = Role::listener;
    std::string hash;  // crypto_pwhash_str's text
};

struct AccountBook {
    std::vector<Account> accounts;
};

// 1 to 32 of A-Z a-z 0-9 . _ -
bool validAccountName(const std::string& name);

// Parses the file's text; each bad line is one notice naming file and line,
// and is left out (that name cannot log in).
AccountBook parseAccounts(const std::string& text, const char* fileName);

// Reads the file (missing: no accounts; unreadable: no accounts and a notice).
AccountBook readAccounts(const char* path = kAccountsFileName);

// Writes the book whole, through a file beside it that replaces it, mode 0600.
// False with a reason in error.
bool writeAccounts(const AccountBook& book, const char* path, std::string& error);

const Account* findAccount(const AccountBook& book, const std::string& name);

// libsodium ready; false when it cannot be used (then nobody logs in).
bool passwordHashingReady();
// The Argon2id string of a password; empty when hashing failed (out of memory).
std::string hashPassword(const std::string& password);
// Whether the password matches; takes as long for a hash that is not there.
bool checkPassword(const Account* account, const std::string& password);

// The commands: --add-user NAME [--listener], --remove-user NAME,
// --list-users. The password comes from the terminal (asked twice, not
// echoed) or, when standard input is no terminal, from its first line.
// Return the exit code; messages on the standard error.
int addUserCommand(const char* name, bool listener, const char* path = kAccountsFileName);
int removeUserCommand(const char* name, const char* path = kAccountsFileName);
int listUsersCommand(const char* path = kAccountsFileName);

}  // namespace marvane::web
