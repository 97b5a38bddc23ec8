#include "container/scheme_handler.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace lumora {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The raw path of a URI: after "scheme:" and an optional "//authority", up to "?" or "#".
std::string_view rawPath(std::string_view uri) {
    auto colon = uri.find(':');
    std::string_view rest = colon == std::string_view::npos ? uri : uri.substr(colon + 1);
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        auto slash = rest.find_first_of("/?#");
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
    }
    auto end = rest.find_first_of("?#");
    return end == std::string_view::npos ? rest : rest.substr(0, end);
}

std::string_view extensionOf(std::string_view path) {
    auto slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

}  // namespace

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int hi = hexValue(text[i + 1]);
            int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (c == '\0') return std::nullopt;
        out.push_back(c);
    }
    if (!g_utf8_validate(out.data(), static_cast<gssize>(out.size()), nullptr)) return std::nullopt;
    return out;
}

std::string standardisePath(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        auto end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        auto part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (auto part : parts) out.append("/").append(part);
    return out.empty() ? "/" : out;
}

BundleSchemeHandler::BundleSchemeHandler(std::string root) : root_(standardisePath(root)) {}

std::optional<std::string> BundleSchemeHandler::resolve(std::string_view uri) const {
    std::string path(rawPath(uri));
    // Decoded twice on purpose: once as the URL's path, once more on top of it.
    for (int round = 0; round < 2; ++round)
        if (auto decoded = percentDecode(path)) path = std::move(*decoded);
    if (path.find('\0') != std::string::npos) return std::nullopt;
    if (path.empty() || path == "/") path = "/index.html";
    std::string relative = path.substr(1);
    std::string file = standardisePath(root_ + "/" + relative);
    if (file != root_ &&
        !(file.size() > root_.size() && file.starts_with(root_) && file[root_.size()] == '/'))
        return std::nullopt;
    return file;
}

std::optional<BundleSchemeHandler::Response> BundleSchemeHandler::respond(
    std::string_view uri) const {
    auto file = resolve(uri);
    if (!file) return std::nullopt;
    gchar* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(file->c_str(), &contents, &length, nullptr)) return std::nullopt;
    Response response;
    response.data.reset(contents);
    response.size = length;
    response.mimeType = std::string(mimeTypeFor(*file));
    response.headers = {
        {"Content-Type", response.mimeType},
        {"Content-Length", std::to_string(length)},
        {"Access-Control-Allow-Origin", "*"},
        {"Cache-Control", "no-cache"},
    };
    return response;
}

std::string_view BundleSchemeHandler::mimeTypeFor(std::string_view path) {
    // Module scripts and WebAssembly are refused by the engine under any other type.
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 13> kTypes{{
        {"html", "text/html"},
        {"js", "text/javascript"},
        {"mjs", "text/javascript"},
        {"wasm", "application/wasm"},
        {"css", "text/css"},
        {"json", "application/json"},
        {"woff2", "font/woff2"},
        {"webp", "image/webp"},
        {"png", "image/png"},
        {"jpg", "image/jpeg"},
        {"svg", "image/svg+xml"},
        {"mp4", "audio/mp4"},
        {"txt", "text/plain"},
    }};
    std::string extension(extensionOf(path));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& [ext, type] : kTypes)
        if (ext == extension) return type;
    return "application/octet-stream";
}

}  // namespace lumora
