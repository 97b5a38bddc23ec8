#pragma once
#include <glib.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumora {

// Serves the page's files for "lumora" URLs from the web root. Path resolution,
// confinement and the MIME table live here; the WebKit glue only moves bytes.
class BundleSchemeHandler {
  public:
    struct Response {
        std::string mimeType;
        // Owned by GLib's allocator so the glue can hand it to WebKit without a copy.
        std::unique_ptr<char, void (*)(void*)> data{nullptr, g_free};
        std::size_t size = 0;
        std::vector<std::pair<std::string, std::string>> headers;  // exactly four
    };

    explicit BundleSchemeHandler(std::string root);

    const std::string& root() const { return root_; }

    // The file a request URI names, when it lies inside the root; nothing otherwise.
    std::optional<std::string> resolve(std::string_view uri) const;
    // The whole answer for a request URI; nothing means "file does not exist".
    std::optional<Response> respond(std::string_view uri) const;

    static std::string_view mimeTypeFor(std::string_view path);

  private:
    std::string root_;  // standardised, without trailing "/"
};

// Removes "." and ".." components and duplicate separators from an absolute path.
std::string standardisePath(std::string_view absolutePath);

// Decodes %XX escapes; nothing when an escape is malformed, or decodes to NUL or
// to text that is not UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace lumora
