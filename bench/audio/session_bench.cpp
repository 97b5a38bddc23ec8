// loadBuffer conversion against memcpy, and a 60-minute session delivered faster than
// real time on the virtual backend: RSS growth and converted chunks alive at once.
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "audio/base64.hpp"
#include "audio/session_audio.hpp"
#include "audio/virtual_audio_output.hpp"
#include "tests/support/fakes.hpp"

using namespace lumora;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

long rssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

std::string chunkBytes(std::size_t frames, unsigned seed) {
    std::string bytes(frames * 4, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 31 + seed) & 255);
    return bytes;
}

nlohmann::json chunkMessage(const std::string& id, std::int64_t index, std::string pcm) {
    return {{"type", "audioChunk"}, {"id", id}, {"index", index}, {"pcm", std::move(pcm)}};
}

std::string makeTemporaryDirectory() {
    std::string base = std::string(g_get_user_runtime_dir()) + "/lumora-bench-XXXXXX";
    if (!g_mkdtemp(base.data())) base = std::string(g_get_tmp_dir()) + "/lumora-bench";
    g_mkdir_with_parents(base.c_str(), 0700);
    return base;
}

}  // namespace

int main() {
    const double rate = 44100, chunkSec = 30;
    const auto frames = static_cast<std::size_t>(rate * chunkSec);
    const std::string dir = makeTemporaryDirectory();

    // loadBuffer: one 30 s chunk from its file to floats.
    {
        test::FakeMainLoop loop;
        VirtualAudioOutput output(loop);
        SessionAudio audio(loop, output, nullptr,
                           SessionAudioEnvironment{[&] { return dir; }, {}, {}});
        audio.handle("audioOpen", {{"type", "audioOpen"},
                                   {"id", "load"},
                                   {"duration", 60},
                                   {"chunkSec", chunkSec},
                                   {"sampleRate", rate}});
        std::string bytes = chunkBytes(frames, 7);
        audio.handle("audioChunk", chunkMessage("load", 0, encodeBase64(bytes)));
        std::vector<float> out(2 * frames);
        std::vector<char> copy(bytes.size()), copyOut(out.size() * sizeof(float));
        std::vector<double> convert, memcpyIn, memcpyOut, load;
        for (int round = 0; round < 15; ++round) {
            auto t0 = Clock::now();
            convertPcm16(reinterpret_cast<const unsigned char*>(bytes.data()), frames, out.data());
            auto t1 = Clock::now();
            std::memcpy(copy.data(), bytes.data(), bytes.size());
            auto t2 = Clock::now();
            std::memcpy(copyOut.data(), out.data(), copyOut.size());
            auto t3 = Clock::now();
            auto buffer = audio.loadBuffer(0, 0);
            auto t4 = Clock::now();
            if (!buffer || buffer->frames != frames) {
                std::printf("loadBuffer failed\n");
                return 1;
            }
            convert.push_back(seconds(t0, t1));
            memcpyIn.push_back(seconds(t1, t2));
            memcpyOut.push_back(seconds(t2, t3));
            load.push_back(seconds(t3, t4));
        }
        const double mb = static_cast<double>(bytes.size()) / 1e6;
        const double outMb = static_cast<double>(copyOut.size()) / 1e6;
        std::printf("loadBuffer, one 30 s chunk (%.2f MB int16 -> %.2f MB float), median of 15\n",
                    mb, outMb);
        std::printf("  conversion alone     %8.0f MB/s (input)  %6.2f ms\n", mb / medianOf(convert),
                    1e3 * medianOf(convert));
        std::printf("  memcpy of the input  %8.0f MB/s          %6.2f ms\n",
                    mb / medianOf(memcpyIn), 1e3 * medianOf(memcpyIn));
        std::printf("  memcpy of the output %8.0f MB/s (input)  %6.2f ms\n",
                    mb / medianOf(memcpyOut), 1e3 * medianOf(memcpyOut));
        std::printf("  loadBuffer (read + allocate + convert) %6.0f MB/s  %6.2f ms\n",
                    mb / medianOf(load), 1e3 * medianOf(load));
        std::printf("  ratio conversion / memcpy of the input: %.2fx the time\n",
                    medianOf(convert) / medianOf(memcpyIn));
        std::printf("  ratio conversion / memcpy of the output: %.2fx the time\n",
                    medianOf(convert) / medianOf(memcpyOut));
        std::printf("  ratio loadBuffer / memcpy of the input: %.2fx the time\n",
                    medianOf(load) / medianOf(memcpyIn));
    }

    // An hour: chunks arrive three times faster than they play.
    {
        test::FakeMainLoop loop;
        VirtualAudioOutput output(loop);
        SessionAudio audio(loop, output, nullptr,
                           SessionAudioEnvironment{[&] { return dir; }, {}, {}});
        const double duration = 3600;
        const auto total = static_cast<std::int64_t>(duration / chunkSec);
        const long before = rssKiB();
        long peak = before;
        int maxAlive = 0;
        auto sample = [&] {
            peak = std::max(peak, rssKiB());
            maxAlive = std::max(maxAlive, PcmBuffer::alive());
        };
        auto t0 = Clock::now();
        audio.handle("audioOpen", {{"type", "audioOpen"},
                                   {"id", "hour"},
                                   {"title", "Hour"},
                                   {"duration", duration},
                                   {"chunkSec", chunkSec},
                                   {"sampleRate", rate}});
        audio.handle("audioChunk", chunkMessage("hour", 0, encodeBase64(chunkBytes(frames, 0))));
        audio.handle("audioPlay", {{"type", "audioPlay"}, {"id", "hour"}, {"at", 0}});
        for (std::int64_t index = 1; index < total; ++index) {
            loop.advance(chunkSec / 3);
            sample();
            audio.handle(
                "audioChunk",
                chunkMessage("hour", index,
                             encodeBase64(chunkBytes(frames, static_cast<unsigned>(index)))));
            sample();
        }
        std::int64_t steps = 0;
        while (audio.playing() && steps++ < 10000) {
            loop.advance(1);
            if (steps % 10 == 0) sample();
        }
        auto t1 = Clock::now();
        sample();
        const long after = rssKiB();
        std::printf("60-minute session (%lld chunks of 30 s, delivered 3x faster than they play)\n",
                    static_cast<long long>(total));
        std::printf(
            "  played to the end: %s after %.1f s of virtual time (session %.0f s), in %.1f s of "
            "wall time\n",
            audio.playing() ? "no" : "yes", loop.now(), duration, seconds(t0, t1));
        std::printf("  RSS before %ld KiB, peak %ld KiB, after %ld KiB\n", before, peak, after);
        std::printf("  RSS growth at peak %.1f MB (goal <= 30 MB, %.2fx the goal)\n",
                    (peak - before) / 1024.0, (peak - before) / 1024.0 / 30.0);
        std::printf("  converted chunks alive at once, most: %d (goal <= 2)\n", maxAlive);
        audio.handle("audioClose", {{"type", "audioClose"}, {"id", "hour"}});
    }
    ::rmdir(dir.c_str());
    return 0;
}
