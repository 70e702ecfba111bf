// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/settings_file.h"

#include "config/notice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace marvane::config {

SettingsRead readSettingsFile(const char* path, std::string& text) {
    text.clear();
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return SettingsRead::missing;
        notice("%s: cannot be read (%s); it is ignored", path, std::strerror(errno));
        return SettingsRead::unreadable;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        notice("%s: not a regular file; it is ignored", path);
        return SettingsRead::unreadable;
    }
    char buffer[4096];
    while (text.size() < kMaxSettingsBytes) {
        const std::size_t want = std::min(sizeof buffer, kMaxSettingsBytes - text.size());
        const ssize_t n = ::read(fd, buffer, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return SettingsRead::ok;
}

SettingsFile::SettingsFile(const char* path) : status_(readSettingsFile(path, text_)) {
    if (status_ != SettingsRead::ok) return;
    // fmemopen refuses a zero-sized buffer: an empty file reads as one that
    // ends at once.
    file_ = text_.empty() ? std::fopen("/dev/null", "r")
                          : fmemopen(text_.data(), text_.size(), "r");
    if (!file_) status_ = SettingsRead::unreadable;
}

SettingsFile::~SettingsFile() {
    if (file_) std::fclose(file_);
}

std::FILE* openSettingsForWriting(const char* path) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                          0644);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "w");
    if (!f) ::close(fd);
    return f;
}

}  // namespace marvane::config
