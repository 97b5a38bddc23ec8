#include "audio/base64.hpp"

#include <array>
#include <cstdint>

namespace lumora {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> makeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& v : table) v = kInvalid;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}
constexpr auto kTable = makeTable();
}  // namespace

bool decodeBase64Strict(std::string_view text, std::string& out) {
    const std::size_t n = text.size();
    if (n % 4 != 0) return false;
    std::size_t padding = 0;
    if (n >= 1 && text[n - 1] == '=') padding = text[n - 2] == '=' ? 2 : 1;
    out.resize(n / 4 * 3 - padding);
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    const std::size_t whole = padding ? n - 4 : n;
    // OR-ing the lookups lets one test per group catch any character outside the alphabet.
    std::uint8_t bad = 0;
    for (std::size_t i = 0; i < whole; i += 4) {
        std::uint8_t a = kTable[in[i]], b = kTable[in[i + 1]], c = kTable[in[i + 2]],
                     d = kTable[in[i + 3]];
        bad |= a | b | c | d;
        std::uint32_t v =
            (std::uint32_t(a) << 18) | (std::uint32_t(b) << 12) | (std::uint32_t(c) << 6) | d;
        o[0] = static_cast<unsigned char>(v >> 16);
        o[1] = static_cast<unsigned char>(v >> 8);
        o[2] = static_cast<unsigned char>(v);
        o += 3;
    }
    if (bad & 0x80) return false;
    if (padding) {
        std::uint8_t a = kTable[in[n - 4]], b = kTable[in[n - 3]];
        std::uint8_t c = padding == 1 ? kTable[in[n - 2]] : 0;
        if ((a | b | c) & 0x80) return false;
        std::uint32_t v =
            (std::uint32_t(a) << 18) | (std::uint32_t(b) << 12) | (std::uint32_t(c) << 6);
        o[0] = static_cast<unsigned char>(v >> 16);
        if (padding == 1) o[1] = static_cast<unsigned char>(v >> 8);
    }
    return true;
}

std::string encodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest) {
        std::uint32_t v = in[i] << 16 | (rest == 2 ? in[i + 1] << 8 : 0);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace lumora
