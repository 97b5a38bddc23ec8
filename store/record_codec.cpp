#include "store/record_codec.hpp"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

namespace lumora {
namespace {

std::optional<std::string> zlibCompress(std::string_view text, int level) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::nullopt;
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    int result = deflate(&stream, Z_FINISH);
    std::size_t written = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END) return std::nullopt;
    out.resize(written);
    return out;
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

std::optional<std::string> libdeflateCompress(std::string_view text, int level) {
    std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(level));
    if (!compressor) return std::nullopt;
    std::string out(libdeflate_deflate_compress_bound(compressor.get(), text.size()), '\0');
    std::size_t written = libdeflate_deflate_compress(compressor.get(), text.data(), text.size(),
                                                      out.data(), out.size());
    if (written == 0) return std::nullopt;
    out.resize(written);
    return out;
}

}  // namespace

std::optional<std::string> compressRecord(std::string_view text, RecordCompression how) {
    // zlib's stream counters are 32-bit; the record limit is far below that anyway.
    if (text.size() > 0xFFFFFFFFu / 2) return std::nullopt;
    if (how.engine == RecordCompression::Engine::libdeflate)
        return libdeflateCompress(text, how.level);
    return zlibCompress(text, how.level);
}

std::optional<std::string> inflateRecord(std::string_view bytes, std::size_t limit) {
    if (bytes.size() > 0xFFFFFFFFu) return std::nullopt;
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    std::string out;
    // Grow as the output needs it, never past limit + 1: one byte over is enough to
    // know the record is too large without inflating the rest.
    std::size_t capacity =
        std::min<std::size_t>(limit + 1, std::max<std::size_t>(bytes.size() * 4, 4096));
    int result = Z_OK;
    for (;;) {
        out.resize(capacity);
        stream.next_out = reinterpret_cast<Bytef*>(out.data() + stream.total_out);
        stream.avail_out = static_cast<uInt>(capacity - stream.total_out);
        result = inflate(&stream, Z_NO_FLUSH);
        if (result == Z_STREAM_END) break;
        if (result != Z_OK && result != Z_BUF_ERROR) break;
        if (stream.avail_out != 0) break;  // input used up before the end of the stream
        if (stream.total_out > limit) break;
        if (capacity == limit + 1) break;
        capacity = std::min(limit + 1, capacity * 2);
    }
    std::size_t produced = stream.total_out;
    bool complete = result == Z_STREAM_END && stream.avail_in == 0 && produced <= limit;
    inflateEnd(&stream);
    if (!complete) return std::nullopt;
    out.resize(produced);
    return out;
}

}  // namespace lumora
