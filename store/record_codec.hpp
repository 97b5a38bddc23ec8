#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumora {

// The cloud record's bytes: raw DEFLATE (RFC 1951, no header, no checksum), so any
// raw-inflate implementation reads it.
struct RecordCompression {
    enum class Engine { zlib, libdeflate };
    Engine engine;
    int level;
};

// What the program writes with; chosen by bench/cloud_save_bench.
inline constexpr RecordCompression kRecordCompression{RecordCompression::Engine::libdeflate, 4};
// The usual zlib default, the benchmark's baseline.
inline constexpr RecordCompression kZlibDefault{RecordCompression::Engine::zlib, 6};

// Records inflating beyond this are refused: a few hundred kilobytes of DEFLATE can
// expand to gigabytes.
inline constexpr std::size_t kInflateLimit = 64u * 1024 * 1024;

// The same text and settings always give the same bytes. Nothing on failure.
std::optional<std::string> compressRecord(std::string_view text,
                                          RecordCompression how = kRecordCompression);

// The inflated bytes of one complete raw DEFLATE stream with nothing after it; nothing
// when the stream is damaged, cut short, followed by other bytes, or would exceed limit.
std::optional<std::string> inflateRecord(std::string_view bytes, std::size_t limit = kInflateLimit);

}  // namespace lumora
