// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the fuzz targets: a private working folder for the readers of
// settings files, the input put there as a file, and a check that stops the
// run with a message (libFuzzer keeps the input that did it).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/notice.h"

namespace marvane::fuzz {

// Stops the run: the input broke a rule that must hold for every input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool holds, const char* what) {
    if (!holds) fail(what);
}

// Makes a new folder the working directory, once per process: the settings
// readers read their files from there.
inline const std::string& workFolder() {
    static const std::string folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/marvane-fuzz-XXXXXX";
        if (mkdtemp(name.data()) == nullptr || chdir(name.c_str()) != 0) fail("no work folder");
        return name;
    }();
    return folder;
}

// The input as the file `name` of the work folder; the previous one is replaced.
inline void putFile(const char* name, const uint8_t* data, std::size_t size) {
    workFolder();
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail("cannot write the input file");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) fail("cannot write the input file");
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

// Routes the notices into a check that each is one line (control
// characters of a file never split a log line).
inline void checkNoticesAreOneLine() {
    config::setNoticeSink([](const char* text) {
        check(std::strchr(text, '\n') == nullptr && std::strchr(text, '\r') == nullptr,
              "a notice of more than one line");
    });
}

}  // namespace marvane::fuzz
