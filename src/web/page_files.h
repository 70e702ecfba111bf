// SPDX-License-Identifier: GPL-3.0-or-later
// The page's files (src/web/page/), built into the program at build time.
#pragma once

#include <cstddef>

namespace marvane::web {

struct PageFile {
    const char* path;  // "/app.js"
    const char* type;  // its Content-Type
    const unsigned char* data;
    std::size_t size;
};

extern const PageFile kPageFiles[];
extern const std::size_t kPageFileCount;

// The file served at path, or null.
const PageFile* findPageFile(const char* path, std::size_t length);

}  // namespace marvane::web
