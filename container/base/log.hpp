#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace lumora {

// One line per notable event: "[Lumora] <message>". Much of what is logged comes from the
// page, so control characters are escaped (a line break cannot start a line of its own)
// and a line is cut at 4 KiB.
void log(std::string_view message);

// The text with C0 and C1 controls and DEL written as escapes ("\n", "\x1b", "\u0085")
// and bytes that are not UTF-8 as "\xNN".
std::string logSafe(std::string_view text);

using LogSink = std::function<void(std::string_view line)>;
// Replaces where log lines go (tests capture them). An empty sink restores the default,
// which writes to journald when stderr is connected to it and to stderr otherwise.
void setLogSink(LogSink sink);

}  // namespace lumora
