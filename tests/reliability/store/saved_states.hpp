#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

// The states the kill test saves: state n is {"seq": n, "sum": <FNV-1a of the body's
// compact JSON>, "body": <text made from n>}, between a few bytes and 32 KB, so kills
// land in every step of a save. A file that is not exactly one of them is a fault.
namespace lumora::test {

inline std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

inline std::uint64_t fnv1a(const std::string& text) {
    std::uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
    return h;
}

inline nlohmann::json stateBody(std::uint64_t seq) {
    std::uint64_t r = mix(seq);
    std::size_t size = (r % 8 == 0) ? 16384 + static_cast<std::size_t>(r % 16384)
                                    : static_cast<std::size_t>(r % 4096);
    std::string text(size, 'a');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + ((r >> (i % 32)) + i * 7) % 26);
    return nlohmann::json{{"text", text}, {"n", seq}, {"odd", seq % 2 == 1}};
}

inline nlohmann::json savedState(std::uint64_t seq) {
    nlohmann::json body = stateBody(seq);
    return {{"seq", seq}, {"sum", fnv1a(body.dump())}, {"body", body}};
}

// The sequence number of a loaded file when it is exactly one of the states.
inline std::optional<std::uint64_t> verifiedSeq(const std::string& text) {
    auto value = nlohmann::json::parse(text, nullptr, false);
    if (!value.is_object() || !value.contains("seq") || !value["seq"].is_number_unsigned())
        return std::nullopt;
    auto seq = value["seq"].get<std::uint64_t>();
    if (!value.contains("sum") || !value["sum"].is_number_unsigned() || !value.contains("body"))
        return std::nullopt;
    if (value["sum"].get<std::uint64_t>() != fnv1a(value["body"].dump())) return std::nullopt;
    nlohmann::json expected = savedState(seq);
    if (value != expected || text != expected.dump()) return std::nullopt;
    return seq;
}

}  // namespace lumora::test
