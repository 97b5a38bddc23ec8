#pragma once
#include <optional>
#include <string>

namespace lumora {

// The scheme of a URI as written, or nothing when GLib does not parse it as a URI.
std::optional<std::string> uriScheme(const std::string& uri);

}  // namespace lumora
