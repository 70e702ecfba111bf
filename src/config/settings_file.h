// SPDX-License-Identifier: GPL-3.0-or-later
// Bounded reading and safe writing of the settings files in the working
// directory. A settings file is read whole into memory, at most
// kMaxSettingsBytes of it, and only when it is a regular file: a FIFO, a
// device (a link to /dev/urandom) or a file that never ends cannot hold up
// start-up or shutdown.
#pragma once

#include <cstdio>
#include <string>

namespace marvane::config {

inline constexpr std::size_t kMaxSettingsBytes = 64 * 1024;

enum class SettingsRead { ok, missing, unreadable };

// Reads at most kMaxSettingsBytes of the file into text. Missing: no such
// file. Unreadable: it exists but cannot be opened, or it is not a regular
// file; a notice says so once per call.
SettingsRead readSettingsFile(const char* path, std::string& text);

// A settings file as a stream for the formatted-input readers: the bounded
// copy of readSettingsFile behind a FILE*. file() is null unless the read
// was ok.
class SettingsFile {
public:
    explicit SettingsFile(const char* path);
    ~SettingsFile();
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    SettingsRead status() const { return status_; }
    std::FILE* file() const { return file_; }

private:
    std::string text_;
    SettingsRead status_;
    std::FILE* file_ = nullptr;
};

// Opens a settings file for writing, creating or emptying it, without ever
// waiting (a FIFO without a reader fails at once). Null on failure.
std::FILE* openSettingsForWriting(const char* path);

}  // namespace marvane::config
