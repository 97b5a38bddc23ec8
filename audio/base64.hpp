#pragma once
#include <string>
#include <string_view>

namespace lumora {

// Strict Base64: the standard alphabet, "=" padding to a multiple of four characters,
// nothing else (no white space, no line breaks, no URL-safe letters). Replaces out with
// the decoded bytes; returns false, leaving out unspecified, when the text does not qualify.
bool decodeBase64Strict(std::string_view text, std::string& out);

// Standard Base64 with padding.
std::string encodeBase64(std::string_view bytes);

}  // namespace lumora
