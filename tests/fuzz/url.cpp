// SPDX-License-Identifier: GPL-3.0-or-later
// "url.txt": the five settings are the file's first five white-space-separated
// words, each cut to 99 characters (and, being C text, at a NUL byte); a
// missing word leaves its field as it was; every field stays terminated.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "announce/announce.h"
#include "config/settings_file.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace marvane;
    fuzz::putFile("url.txt", data, size);
    announce::DirectorySettings s;
    char* fields[] = {s.host, s.path, s.call, s.qrg, s.loc};
    for (char* f : fields) {
        std::memset(f, 'x', sizeof s.host);
        std::strcpy(f, "untouched");
    }
    announce::loadUrlFile(s);

    std::vector<std::string> words;
    std::string word;
    const std::size_t read = size < config::kMaxSettingsBytes ? size : config::kMaxSettingsBytes;
    for (std::size_t i = 0; i <= read && words.size() < 5; ++i) {
        if (i == read || std::isspace(data[i])) {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    for (std::size_t i = 0; i < 5; ++i) {
        fuzz::check(std::memchr(fields[i], '\0', sizeof s.host) != nullptr, "a field overran");
        std::string expected = "untouched";
        if (i < words.size()) expected = words[i].substr(0, 99).c_str();
        fuzz::check(expected == fields[i], "a field is not the word of the file");
    }
    return 0;
}
