#pragma once
#include <optional>
#include <string>

namespace lumora {

// The scheme of a URI as written, or nothing when GLib does not parse it as a URI.
std::optional<std::string> uriScheme(const std::string& uri);

// What of a URI the log may show. Its user part, path, query and fragment can hold the
// user's own words (a mailto: link's body) or a password, so they never reach the log.
// "mailto:", "https:"; nothing when the text has no scheme.
std::optional<std::string> loggableScheme(const std::string& uri);
// "https://example.org", "mailto:"; "a link without a scheme" when it has none.
std::string loggableUri(const std::string& uri);

}  // namespace lumora
