// The strict Base64 decoder of the audio chunks, against the encoder.
#include <cstdint>
#include <string>
#include <string_view>

#include "audio/base64.hpp"
#include "fuzz/fuzz_check.hpp"

namespace {

bool inAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// The shape a strict decoder accepts: groups of four, "=" only as the last one or two.
bool wellFormed(std::string_view text) {
    if (text.size() % 4 != 0) return false;
    std::size_t pad = 0;
    while (pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
    if (pad > 2) return false;
    for (std::size_t i = 0; i + pad < text.size(); ++i)
        if (!inAlphabet(text[i])) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);

    // Any bytes survive encoding and strict decoding.
    std::string encoded = lumora::encodeBase64(input);
    FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
    FUZZ_CHECK(wellFormed(encoded));
    std::string decoded;
    FUZZ_CHECK(lumora::decodeBase64Strict(encoded, decoded));
    FUZZ_CHECK(decoded == input);

    // Any text is accepted exactly when it is well formed, and then decodes to bytes
    // that encode back to text of the same length and the same bytes.
    std::string out = "sentinel";
    bool accepted = lumora::decodeBase64Strict(input, out);
    FUZZ_CHECK(accepted == wellFormed(input));
    if (accepted) {
        std::string again = lumora::encodeBase64(out);
        FUZZ_CHECK(again.size() == size);
        std::string twice;
        FUZZ_CHECK(lumora::decodeBase64Strict(again, twice) && twice == out);
        // Only the unused low bits of the last character may differ.
        FUZZ_CHECK(again.substr(0, size >= 4 ? size - 4 : 0) ==
                   input.substr(0, size >= 4 ? size - 4 : 0));
    }
    return 0;
}
