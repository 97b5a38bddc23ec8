#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace lumora {

// Float samples of one scheduled chunk: two channels, interleaved (left, right), which
// is the layout the sound server takes without another copy.
struct PcmBuffer {
    PcmBuffer() { alive_.fetch_add(1, std::memory_order_relaxed); }
    ~PcmBuffer() { alive_.fetch_sub(1, std::memory_order_relaxed); }
    PcmBuffer(const PcmBuffer&) = delete;
    PcmBuffer& operator=(const PcmBuffer&) = delete;
    // Converted chunks in memory, process-wide: playback keeps at most two.
    static int alive() { return alive_.load(std::memory_order_relaxed); }

    std::uint32_t frames = 0;
    std::unique_ptr<float[]> samples;  // 2 × frames

    static std::shared_ptr<PcmBuffer> allocate(std::uint32_t frames);
    float left(std::uint32_t frame) const { return samples[2 * std::size_t(frame)]; }
    float right(std::uint32_t frame) const { return samples[2 * std::size_t(frame) + 1]; }

  private:
    static inline std::atomic<int> alive_{0};
};

// Signed 16-bit little-endian stereo frames to floats, each sample ÷ 32768.
void convertPcm16(const unsigned char* bytes, std::size_t frames, float* out);

}  // namespace lumora
