// SPDX-License-Identifier: GPL-3.0-or-later
// Notices quote what files and clients gave them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/notice.h"
#include "config/settings.h"

namespace marvane::config {
namespace {

std::vector<std::string> said;
void keep(const char* text) { said.emplace_back(text); }

// Catches a notice that passes on a line end or an escape sequence from a
// settings file: a carriage return inside a key let the rest of the notice
// overwrite the start of the line on the terminal.
TEST(Notice, ControlCharactersAreShownAsQuestionMarks) {
    said.clear();
    setNoticeSink(keep);
    notice("[%s]", "a\rb\nc\x1b[31m\td\x7f");
    parseSettings("[link]\nport\r\r = 1\r\nbad\rkey = 2\n", "marvane.conf");
    setNoticeSink(nullptr);
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[0], "[a?b?c?[31m\td?]");
    EXPECT_EQ(said[1], "marvane.conf line 3: [link] bad?key: no such setting; ignored");
}

}  // namespace
}  // namespace marvane::config
