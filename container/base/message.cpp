#include "container/base/message.hpp"

#include "container/base/log.hpp"

#include <glib.h>

#include <cmath>
#include <limits>

namespace lumora {
namespace field {

const nlohmann::json* find(const nlohmann::json& body, const char* key) {
    if (!body.is_object()) return nullptr;
    auto it = body.find(key);
    return it == body.end() ? nullptr : &*it;
}

std::optional<std::string> string(const nlohmann::json& body, const char* key) {
    const auto* value = find(body, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::string string(const nlohmann::json& body, const char* key, const std::string& fallback) {
    return string(body, key).value_or(fallback);
}

bool boolean(const nlohmann::json& body, const char* key, bool fallback) {
    const auto* value = find(body, key);
    return value && value->is_boolean() ? value->get<bool>() : fallback;
}

std::optional<double> number(const nlohmann::json& body, const char* key) {
    const auto* value = find(body, key);
    if (!value || !value->is_number()) return std::nullopt;
    return value->get<double>();
}

double number(const nlohmann::json& body, const char* key, double fallback) {
    return number(body, key).value_or(fallback);
}

std::optional<std::int64_t> integer(const nlohmann::json& body, const char* key) {
    const auto* value = find(body, key);
    if (!value) return std::nullopt;
    if (value->is_number_unsigned()) {
        auto u = value->get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    if (value->is_number_integer()) return value->get<std::int64_t>();
    if (value->is_number_float()) {
        double d = value->get<double>();
        // 2^63 is the first double past the int64 range.
        if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 ||
            d >= 9223372036854775808.0)
            return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

nlohmann::json dictionary(const nlohmann::json& body, const char* key) {
    const auto* value = find(body, key);
    return value && value->is_object() ? *value : nlohmann::json::object();
}

const nlohmann::json* arrayOfDictionaries(const nlohmann::json& body, const char* key) {
    const auto* value = find(body, key);
    if (!value || !value->is_array()) return nullptr;
    for (const auto& element : *value)
        if (!element.is_object()) return nullptr;
    return value;
}

}  // namespace field

std::optional<std::string> compactJson(const nlohmann::json& value) {
    try {
        return value.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::string textualForm(const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {
bool finiteThroughout(const nlohmann::json& value, int depth) {
    if (depth > 10000) return false;
    switch (value.type()) {
        case nlohmann::json::value_t::number_float:
            return std::isfinite(value.get<double>());
        case nlohmann::json::value_t::array:
        case nlohmann::json::value_t::object:
            for (const auto& element : value)
                if (!finiteThroughout(element, depth + 1)) return false;
            return true;
        case nlohmann::json::value_t::binary:
        case nlohmann::json::value_t::discarded:
            return false;
        default:
            return true;
    }
}
}  // namespace

bool nestingWithin(std::string_view text, int maxDepth) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

namespace {
// The value of the "\\uXXXX" escape starting at at, or -1.
int escapedUnit(const std::string& text, std::size_t at) {
    if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
    int value = 0;
    for (std::size_t i = at + 2; i < at + 6; ++i) {
        int digit = g_ascii_xdigit_value(text[i]);
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}
bool isHighSurrogate(int unit) {
    return unit >= 0xd800 && unit <= 0xdbff;
}
bool isLowSurrogate(int unit) {
    return unit >= 0xdc00 && unit <= 0xdfff;
}
}  // namespace

std::size_t replaceLoneSurrogates(std::string& text) {
    // Only a surrogate's escape begins "\\ud"; most messages have none, and a save can be
    // megabytes.
    if (text.find("\\ud") == std::string::npos && text.find("\\uD") == std::string::npos) return 0;
    std::size_t replaced = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (!inString) {
            inString = c == '"';
            continue;
        }
        if (c == '"') {
            inString = false;
            continue;
        }
        if (c != '\\') continue;
        int unit = escapedUnit(text, i);
        if (unit < 0) {
            ++i;  // a two-character escape, or one the parser will refuse anyway
            continue;
        }
        if (isHighSurrogate(unit) && isLowSurrogate(escapedUnit(text, i + 6))) {
            i += 11;
            continue;
        }
        if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            text.replace(i, 6, "\\ufffd");
            ++replaced;
        }
        i += 5;
    }
    return replaced;
}

void logReplacedSurrogates(std::size_t replaced) {
    if (replaced > 0)
        log("message text held " + std::to_string(replaced) +
            " unpaired surrogate(s); replaced by U+FFFD");
}

void replaceLoneSurrogatesLogged(std::string& text) {
    logReplacedSurrogates(replaceLoneSurrogates(text));
}

bool isJsonDocument(const nlohmann::json& value) {
    return (value.is_object() || value.is_array()) && finiteThroughout(value, 0);
}

}  // namespace lumora
