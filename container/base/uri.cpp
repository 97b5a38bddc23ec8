#include "container/base/uri.hpp"

#include <glib.h>

#include <memory>

#include "container/base/glib_ptr.hpp"

namespace lumora {

std::optional<std::string> uriScheme(const std::string& uri) {
    GPtr<GUri> parsed = GPtr<GUri>::adopt(g_uri_parse(uri.c_str(), G_URI_FLAGS_NONE, nullptr));
    if (!parsed) return std::nullopt;
    // GLib lower-cases the scheme; the comparison callers make is exact, so keep it as written.
    auto colon = uri.find(':');
    return colon == std::string::npos ? std::string() : uri.substr(0, colon);
}

std::optional<std::string> loggableScheme(const std::string& uri) {
    // Lenient: a link GLib will not parse whole still shows what kind of link it was.
    std::unique_ptr<gchar, GFreeDeleter> scheme(g_uri_parse_scheme(uri.c_str()));
    if (!scheme) return std::nullopt;
    return std::string(scheme.get()) + ":";
}

std::string loggableUri(const std::string& uri) {
    auto scheme = loggableScheme(uri);
    if (!scheme) return "a link without a scheme";
    GPtr<GUri> parsed = GPtr<GUri>::adopt(g_uri_parse(uri.c_str(), G_URI_FLAGS_NONE, nullptr));
    const char* host = parsed ? g_uri_get_host(parsed.get()) : nullptr;
    if (!host || !*host) return *scheme;
    return *scheme + "//" + host;
}

}  // namespace lumora
