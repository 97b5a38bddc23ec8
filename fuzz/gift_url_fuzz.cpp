// Gift link checks: whatever the URL, an accepted code is safe between single quotes in
// a script, within the length limit, and only links of the given schemes give one.
#include <glib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.hpp"
#include "notify/gift_inbox.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    static const std::vector<std::string> schemes{"lumora-gift"};
    for (const std::string& url :
         {input, "lumora-gift://open?" + input, "lumora-gift://open?g=" + input}) {
        auto code = lumora::GiftInbox::giftCode(url, schemes);
        if (!code) continue;
        FUZZ_CHECK(url.starts_with("lumora-gift:"));
        const std::string& v = code->value;
        FUZZ_CHECK(g_utf8_validate(v.data(), static_cast<gssize>(v.size()), nullptr));
        FUZZ_CHECK(code->characters <= lumora::GiftInbox::kMaxCodeLength);
        FUZZ_CHECK(code->characters <= static_cast<std::size_t>(g_utf8_strlen(v.data(), -1)));
        // ASCII is limited to letters, digits, "-" and "_"; nothing can end the string
        // literal or the line, not even U+2028 and U+2029.
        for (unsigned char c : v)
            if (c < 0x80) FUZZ_CHECK(g_ascii_isalnum(c) || c == '-' || c == '_');
        FUZZ_CHECK(v.find("\xe2\x80\xa8") == std::string::npos);
        FUZZ_CHECK(v.find("\xe2\x80\xa9") == std::string::npos);
    }
    // The scheme is compared as written.
    FUZZ_CHECK(!lumora::GiftInbox::giftCode("LUMORA-GIFT://open?g=" + input, schemes));
    return 0;
}
