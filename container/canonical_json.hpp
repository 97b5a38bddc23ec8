#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace lumora {

// The compact JSON that parsing the text into nlohmann::json and printing it gives (keys
// sorted by their UTF-8 bytes, the last of a repeated key kept, numbers printed the same
// way), for the top-level object or array of a JSON text, without building that tree.
// The engine's own JSON text lists keys in no fixed order, so equal states need this to
// compare equal. Nothing for anything else, and for integers beyond 64 bits, which the
// tree keeps as doubles: callers then parse.
std::optional<std::string> canonicalJson(std::string_view text);

}  // namespace lumora
