// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the unit tests whose code keeps its settings files in the working
// directory: a fresh temporary working directory, and whole files read and
// written.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace marvane::testing {

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// Makes a new folder /tmp/<prefix>-XXXXXX the working directory while it
// lives; then the old working directory is back and the folder is removed.
// Throws (failing the test) when the folder cannot be made.
class TempWorkingDir {
public:
    explicit TempWorkingDir(const std::string& prefix) : old_(std::filesystem::current_path()) {
        std::string name = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(name.data()) == nullptr)
            throw std::runtime_error("cannot make a folder like " + name);
        dir_ = name;
        std::filesystem::current_path(dir_);
    }
    ~TempWorkingDir() {
        std::error_code ignored;
        std::filesystem::current_path(old_, ignored);
        std::filesystem::remove_all(dir_, ignored);
    }
    TempWorkingDir(const TempWorkingDir&) = delete;
    TempWorkingDir& operator=(const TempWorkingDir&) = delete;

    const std::filesystem::path& path() const { return dir_; }

private:
    std::filesystem::path old_, dir_;
};

}  // namespace marvane::testing
