// Page text on its way into the program and into the log.
#include <glib.h>
#include <gtest/gtest.h>

#include "container/base/log.hpp"
#include "container/base/message.hpp"
#include "tests/support/fakes.hpp"

namespace lumora {
namespace {

TEST(PageText, OnlyUnpairedSurrogateEscapesAreReplaced) {
    struct Case {
        std::string in, out;
        std::size_t replaced;
    };
    const Case cases[] = {
        {R"({"a":"x\ud83d"})", R"({"a":"x\ufffd"})", 1},      // at the end
        {R"({"k\uDC00":1})", R"({"k\ufffd":1})", 1},          // in a key
        {R"(["\udc00\ud800y"])", R"(["\ufffd\ufffdy"])", 2},  // reversed pair
        {R"(["\ud83d\ude00","\uD83D\uDE00"])", R"(["\ud83d\ude00","\uD83D\uDE00"])", 0},
        {R"(["\\ud800"])", R"(["\\ud800"])", 0},  // an escaped backslash, then text
        {R"(["\ud800\n"])", R"(["\ufffd\n"])", 1},
        {R"(["\ud800)", R"(["\ufffd)", 1},  // cut off: the parser refuses it later anyway
    };
    for (const auto& c : cases) {
        std::string text = c.in;
        EXPECT_EQ(replaceLoneSurrogates(text), c.replaced) << c.in;
        EXPECT_EQ(text, c.out) << c.in;
    }
}

// A page cannot forge a line of its own, reach the terminal with escape sequences, or
// flood the journal with one message.
TEST(PageText, LogLinesEscapeControlsAndAreCapped) {
    test::LogCapture logs;
    log(" page: ok\n[Lumora] forged\r\x1b[31mred\x7f\xc2\x85next\xff\tend é");
    ASSERT_EQ(logs.lines.size(), 1u);
    EXPECT_EQ(logs.lines[0],
              "[Lumora]  page: ok\\n[Lumora] forged\\r\\x1b[31mred\\x7f\\u0085next\\xff\\tend é");
    log(" page: " + std::string(3000, 'a') + std::string(3000, '\n'));
    ASSERT_EQ(logs.lines.size(), 2u);
    EXPECT_LE(logs.lines[1].size(), 4096u);
    EXPECT_EQ(logs.lines[1].find('\n'), std::string::npos);
    EXPECT_TRUE(logs.lines[1].ends_with("…"));
    std::string accents = "x";
    for (int i = 0; i < 3000; ++i) accents += "é";
    log(accents);  // the cut falls inside a character, so it moves back before it
    EXPECT_LE(logs.lines[2].size(), 4096u);
    EXPECT_TRUE(
        g_utf8_validate(logs.lines[2].data(), static_cast<gssize>(logs.lines[2].size()), nullptr));
}

}  // namespace
}  // namespace lumora
