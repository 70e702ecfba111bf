// SPDX-License-Identifier: GPL-3.0-or-later
// "txport.bin": the choice is the file's very first character (white space
// included), nothing for an empty file; whatever follows is read and ignored
// without overrunning the word buffer.
#include "fuzz_support.h"
#include "ptt/ptt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace marvane;
    fuzz::putFile("txport.bin", data, size);
    const char choice = ptt::loadPttChoice();
    fuzz::check(choice == (size > 0 ? static_cast<char>(data[0]) : 0),
                "the choice is not the file's first character");
    return 0;
}
