#include "docs/share_text.hpp"

#include <glib.h>

namespace lumora {

namespace {

// Everything but the unreserved characters is escaped, "&", "=", "?" and "#" included.
std::string escaped(const std::string& text) {
    gchar* escapedText = g_uri_escape_string(text.c_str(), nullptr, FALSE);
    std::string result = escapedText ? escapedText : "";
    g_free(escapedText);
    return result;
}

std::string crlfLines(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (c == '\n' || c == '\r')
            result += "\r\n";
        else
            result += c;
    }
    return result;
}

}  // namespace

std::string mailtoUri(const std::string& subject, const std::string& body) {
    return "mailto:?subject=" + escaped(subject) + "&body=" + escaped(crlfLines(body));
}

}  // namespace lumora
