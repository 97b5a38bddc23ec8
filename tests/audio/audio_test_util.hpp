#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio/base64.hpp"
#include "audio/now_playing.hpp"
#include "audio/session_audio.hpp"
#include "tests/support/fakes.hpp"

namespace lumora::test {

// A signal that names each frame: the left sample counts up, the right one counts the
// left's wraps, so every frame of a session tells its own index.
inline std::int16_t leftOf(std::uint64_t frame) {
    return static_cast<std::int16_t>(static_cast<int>(frame % 32768) - 16384);
}
inline std::int16_t rightOf(std::uint64_t frame) {
    return static_cast<std::int16_t>(static_cast<int>((frame / 32768) % 32768) - 16384);
}
// The frame index a float frame names, or nothing for silence.
inline std::optional<std::int64_t> frameIndex(float left, float right) {
    if (left == 0.0f && right == 0.0f) return std::nullopt;
    auto l = static_cast<std::int64_t>(std::lround(left * 32768.0f)) + 16384;
    auto r = static_cast<std::int64_t>(std::lround(right * 32768.0f)) + 16384;
    return r * 32768 + l;
}

// Raw chunk bytes holding frames [first, first + count) of the signal.
inline std::string patternBytes(std::uint64_t first, std::uint64_t count) {
    std::string bytes(count * 4, '\0');
    for (std::uint64_t i = 0; i < count; ++i) {
        auto l = static_cast<std::uint16_t>(leftOf(first + i));
        auto r = static_cast<std::uint16_t>(rightOf(first + i));
        bytes[4 * i] = static_cast<char>(l & 0xFF);
        bytes[4 * i + 1] = static_cast<char>(l >> 8);
        bytes[4 * i + 2] = static_cast<char>(r & 0xFF);
        bytes[4 * i + 3] = static_cast<char>(r >> 8);
    }
    return bytes;
}

inline nlohmann::json openMessage(const std::string& id, double duration, double chunkSec,
                                  double rate) {
    return {{"type", "audioOpen"},  {"id", id},
            {"title", "Evening"},   {"duration", duration},
            {"chunkSec", chunkSec}, {"sampleRate", rate}};
}

// The chunk of a pattern session: chunk k starts at frame k × chunkSec × rate.
inline nlohmann::json patternChunk(const std::string& id, std::int64_t index, double duration,
                                   double chunkSec, double rate) {
    auto perChunk = static_cast<std::uint64_t>(chunkSec * rate);
    auto first = static_cast<std::uint64_t>(index) * perChunk;
    auto all = static_cast<std::uint64_t>(duration * rate);
    std::uint64_t count = first + perChunk <= all ? perChunk : all - first;
    return {{"type", "audioChunk"},
            {"id", id},
            {"index", index},
            {"pcm", encodeBase64(patternBytes(first, count))}};
}

// The non-silent runs of a capture, as frame indices.
struct Run {
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t breaks = 0;  // places inside the run where the index did not go up by one
};
inline std::vector<Run> runsOf(const std::vector<float>& interleaved) {
    std::vector<Run> runs;
    bool inRun = false;
    for (std::size_t i = 0; i + 1 < interleaved.size(); i += 2) {
        auto index = frameIndex(interleaved[i], interleaved[i + 1]);
        if (!index) {
            inRun = false;
            continue;
        }
        if (!inRun) {
            runs.push_back(Run{*index, *index, 0});
            inRun = true;
            continue;
        }
        if (*index != runs.back().last + 1) runs.back().breaks++;
        runs.back().last = *index;
    }
    return runs;
}

// Waits for the session's file work and applies its results. The worker posts into the
// fake loop, so the loop is touched only once the worker is idle; a result can let waiting
// chunks start writes of their own.
inline void settleFiles(SessionAudio& audio, FakeMainLoop& loop) {
    do {
        audio.waitForFiles();
        loop.runPosted();
    } while (audio.writesPending() > 0);
}

// Records what Now Playing was given.
class RecordingNowPlaying final : public NowPlayingCenter {
  public:
    void setNowPlaying(const std::optional<NowPlayingInfo>& next) override {
        info = next;
        ++updates;
    }
    void setPlaybackState(bool playing) override { state = playing; }
    void registerCommands(RemoteCommands next) override {
        commands = std::move(next);
        ++registrations;
    }
    std::optional<NowPlayingInfo> info;
    std::optional<bool> state;
    RemoteCommands commands;
    int registrations = 0;
    int updates = 0;
};

}  // namespace lumora::test
