#include "container/base/uri.hpp"

#include <glib.h>

#include "container/base/glib_ptr.hpp"

namespace lumora {

std::optional<std::string> uriScheme(const std::string& uri) {
    GPtr<GUri> parsed = GPtr<GUri>::adopt(g_uri_parse(uri.c_str(), G_URI_FLAGS_NONE, nullptr));
    if (!parsed) return std::nullopt;
    // GLib lower-cases the scheme; the comparison callers make is exact, so keep it as written.
    auto colon = uri.find(':');
    return colon == std::string::npos ? std::string() : uri.substr(0, colon);
}

}  // namespace lumora
