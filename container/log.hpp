#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace lumora {

// One line per notable event: "[Lumora] <message>".
void log(std::string_view message);

using LogSink = std::function<void(std::string_view line)>;
// Replaces where log lines go (tests capture them). An empty sink restores the default,
// which writes to journald when stderr is connected to it and to stderr otherwise.
void setLogSink(LogSink sink);

}  // namespace lumora
