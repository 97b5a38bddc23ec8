#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace lumora {

// "window.<cb> && window.<cb>(<argument>)": harmless while the page lacks the callback.
std::string pageCall(std::string_view callback, std::string_view argument);

// Free text as a script expression that cannot break out of the call: a one-element
// JSON array followed by "[0]". Nothing when the text is not valid UTF-8.
std::optional<std::string> textArgument(std::string_view text);

// Keeps letters, numbers, "-" and "_", so the result can sit between single quotes.
std::string scriptSafe(std::string_view text);

// The first count characters (code points) of a UTF-8 text.
std::string utf8Prefix(std::string_view text, std::size_t count);

}  // namespace lumora
