#include "container/base/page_call.hpp"

#include <glib.h>

#include <nlohmann/json.hpp>

#include "container/base/message.hpp"

namespace lumora {

std::string pageCall(std::string_view callback, std::string_view argument) {
    std::string script;
    script.reserve(callback.size() * 2 + argument.size() + 20);
    script.append("window.").append(callback).append(" && window.").append(callback);
    script.append("(").append(argument).append(")");
    return script;
}

std::optional<std::string> textArgument(std::string_view text) {
    auto array = compactJson(nlohmann::json::array({std::string(text)}));
    if (!array) return std::nullopt;
    return *array + "[0]";
}

namespace {
bool isNumberType(GUnicodeType type) {
    return type == G_UNICODE_DECIMAL_NUMBER || type == G_UNICODE_LETTER_NUMBER ||
           type == G_UNICODE_OTHER_NUMBER;
}
bool isMark(GUnicodeType type) {
    return type == G_UNICODE_NON_SPACING_MARK || type == G_UNICODE_SPACING_MARK ||
           type == G_UNICODE_ENCLOSING_MARK;
}
}  // namespace

std::string utf8Prefix(std::string_view text, std::size_t count) {
    std::size_t i = 0;
    for (std::size_t seen = 0; i < text.size() && seen < count; ++seen) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    }
    return std::string(text.substr(0, i));
}

std::string scriptSafe(std::string_view text) {
    std::string kept;
    kept.reserve(text.size());
    const char* p = text.data();
    const char* end = p + text.size();
    bool previousKept = false;  // combining marks stay with a kept base character
    while (p < end) {
        gunichar c = g_utf8_get_char_validated(p, end - p);
        if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
            ++p;  // not UTF-8: drop the byte
            previousKept = false;
            continue;
        }
        const char* next = g_utf8_next_char(p);
        GUnicodeType type = g_unichar_type(c);
        bool keep = c == '-' || c == '_' || g_unichar_isalpha(c) || isNumberType(type) ||
                    (previousKept && isMark(type));
        if (keep) kept.append(p, next);
        previousKept = keep;
        p = next;
    }
    return kept;
}

}  // namespace lumora
