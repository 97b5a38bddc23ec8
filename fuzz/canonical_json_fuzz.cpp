// canonicalJson on arbitrary text: whatever it prints must be exactly what a parse into
// nlohmann::json and a print give, so both ways of saving store the same bytes.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "container/canonical_json.hpp"
#include "fuzz/fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto canonical = lumora::canonicalJson(text);
    if (!canonical) return 0;
    auto tree = nlohmann::json::parse(text, nullptr, false);
    FUZZ_CHECK(!tree.is_discarded());
    FUZZ_CHECK(tree.is_object() || tree.is_array());
    FUZZ_CHECK(*canonical == tree.dump());
    return 0;
}
