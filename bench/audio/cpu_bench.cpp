// CPU of the program's audio path during real playback on a PulseAudio null sink, beside
// pacat playing the same samples to the same sink.
#include <glib.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/base64.hpp"
#include "audio/pulse_output.hpp"
#include "audio/session_audio.hpp"
#include "bench/proc_stat.hpp"
#include "tests/audio/pulse_rig.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

extern char** environ;

using namespace lumora;
using namespace lumora::test;
using Clock = std::chrono::steady_clock;

namespace {

// The page cuts a 440 Hz tone into 30 s chunks itself, sends them and plays from 25 s.
constexpr const char* kPage = R"HTML(<!doctype html>
<html><body><script>
window.__lmNative = () => {};
function post(m) { window.webkit.messageHandlers.lumora.postMessage(m); }
function chunk(index, rate, seconds) {
  const frames = rate * seconds, first = index * frames;
  const bytes = new Uint8Array(frames * 4), view = new DataView(bytes.buffer);
  for (let i = 0; i < frames; i++) {
    const v = Math.round(12000 * Math.sin(2 * Math.PI * 440 * (first + i) / rate));
    view.setInt16(4 * i, v, true);
    view.setInt16(4 * i + 2, v, true);
  }
  let text = '';
  for (let i = 0; i < bytes.length; i += 0x8000)
    text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  return btoa(text);
}
window.start = () => {
  post({type: 'audioOpen', id: 'web', title: 'Tone', duration: 60, chunkSec: 30, sampleRate: 44100});
  for (let k = 0; k < 2; k++) post({type: 'audioChunk', id: 'web', index: k, pcm: chunk(k, 44100, 30)});
  post({type: 'audioPlay', id: 'web', at: 25});
  return true;
};
</script></body></html>)HTML";

// User and system time of another process, in seconds.
double processCpu(int pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    auto fields = lumora::bench::statFieldsAfterName(stat);
    // After the name: state is field 3 of stat, utime 14 and stime 15.
    if (fields.size() < 13) return 0;
    return static_cast<double>(std::stoll(fields[11]) + std::stoll(fields[12])) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

double cpuSeconds(const rusage& r) {
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double selfCpu() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return cpuSeconds(r);
}

void runFor(double seconds) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add(
        static_cast<guint>(seconds * 1000),
        +[](gpointer l) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(l));
            return G_SOURCE_REMOVE;
        },
        loop);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
}

// A sine whose phase runs on across chunks.
std::string toneBytes(std::size_t first, std::size_t frames, double rate) {
    std::string bytes(frames * 4, '\0');
    for (std::size_t i = 0; i < frames; ++i) {
        auto v = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * 440 * (first + i) / rate));
        auto u = static_cast<std::uint16_t>(v);
        for (int c = 0; c < 2; ++c) {
            bytes[4 * i + 2 * c] = static_cast<char>(u & 0xFF);
            bytes[4 * i + 2 * c + 1] = static_cast<char>(u >> 8);
        }
    }
    return bytes;
}

}  // namespace

int main() {
    TestEnv env;
    PulseRig pulse(env.runtimeDir());
    if (!pulse.ready()) {
        std::printf("no PulseAudio daemon\n");
        return 1;
    }
    const double rate = 44100, chunkSec = 30, duration = 60, window = 12;
    const auto frames = static_cast<std::size_t>(rate * chunkSec);

    double ours = 0, wall = 0;
    {
        auto loop = makeGLibMainLoop();
        PulseOutput output("Lumora bench");
        SessionAudio audio(*loop, output, nullptr,
                           SessionAudioEnvironment{[&] { return env.cacheHome(); }, {}, {}});
        audio.handle("audioOpen", {{"type", "audioOpen"},
                                   {"id", "cpu"},
                                   {"duration", duration},
                                   {"chunkSec", chunkSec},
                                   {"sampleRate", rate}});
        for (int k = 0; k < 2; ++k)
            audio.handle("audioChunk",
                         {{"type", "audioChunk"},
                          {"id", "cpu"},
                          {"index", k},
                          {"pcm", encodeBase64(toneBytes(k * frames, frames, rate))}});
        audio.handle("audioPlay", {{"type", "audioPlay"}, {"id", "cpu"}, {"at", 25}});
        runFor(2);  // past the start and the first chunk boundary's scheduling
        double c0 = selfCpu();
        auto t0 = Clock::now();
        runFor(window);
        ours = selfCpu() - c0;
        wall = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("playback on a null sink, %.1f s of wall time, position %.1f s, playing %s\n",
                    wall, audio.currentTime(), audio.playing() ? "yes" : "no");
        audio.handle("audioClose", {{"type", "audioClose"}, {"id", "cpu"}});
    }

    // The whole program: the page in the real web view sends the chunks and plays.
    double webUi = 0, webPage = 0, webWall = 0;
    {
        std::string webRoot = env.root() + "/web";
        makeDirectories(webRoot);
        writeFile(webRoot + "/index.html", kPage);
        initGtk();
        auto loop = makeGLibMainLoop();
        PulseOutput output("Lumora bench");
        SessionAudio audio(*loop, output, nullptr,
                           SessionAudioEnvironment{[&] { return env.cacheHome(); }, {}, {}});
        WebStack::Options options;
        options.webRoot = webRoot;
        options.dataDirectory = env.dataHome() + "/Lumora";
        options.bridge.audio = &audio;
        options.controller.audio = &audio;
        WebStack stack(options);
        if (!stack.waitForLoads(1) || stack.eval("start()") != "true" ||
            !spinUntil([&] { return audio.playing(); }, 60)) {
            std::printf("the page did not start playing\n");
            return 1;
        }
        runFor(2);
        int pid = stack.webProcessPid();
        double c0 = selfCpu(), p0 = processCpu(pid);
        auto t0 = Clock::now();
        runFor(window);
        webUi = selfCpu() - c0;
        webPage = processCpu(pid) - p0;
        webWall = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf(
            "playback from the page in the real web view, %.1f s, position %.1f s, "
            "playing %s\n",
            webWall, audio.currentTime(), audio.playing() ? "yes" : "no");
    }

    // pacat with the same float samples, to the same sink, for the same stretch.
    std::string raw = env.cacheHome() + "/tone.f32";
    {
        std::string bytes = toneBytes(0, static_cast<std::size_t>(rate * window), rate);
        std::string floats(bytes.size() * 2, '\0');
        auto* out = reinterpret_cast<float*>(floats.data());
        convertPcm16(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size() / 4, out);
        writeFile(raw, floats);
    }
    std::vector<std::string> args = {"pacat",
                                     "--playback",
                                     "--raw",
                                     "--format=float32le",
                                     "--rate=44100",
                                     "--channels=2",
                                     "--latency-msec=150",
                                     "-d",
                                     "test",
                                     raw};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    auto p0 = Clock::now();
    if (posix_spawnp(&pid, "pacat", nullptr, nullptr, argv.data(), environ) != 0) {
        std::printf("pacat did not start\n");
        return 1;
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    double pacatWall = std::chrono::duration<double>(Clock::now() - p0).count();
    double pacat = cpuSeconds(usage);

    std::printf(
        "  program (main loop + libpulse thread)  %.3f s CPU = %.2f%% of one core "
        "(goal <= 3%%)\n",
        ours, 100 * ours / wall);
    std::printf(
        "  pacat, same samples and sink           %.3f s CPU in %.1f s = %.2f%% of one core\n",
        pacat, pacatWall, 100 * pacat / pacatWall);
    std::printf("  ratio program / pacat: %.2fx\n",
                (ours / wall) / std::max(pacat / pacatWall, 1e-6));
    std::printf(
        "  whole program with its page: UI process %.2f%%, web process %.2f%%, "
        "together %.2f%% of one core (goal <= 3%%)\n",
        100 * webUi / webWall, 100 * webPage / webWall, 100 * (webUi + webPage) / webWall);
    std::printf("  ratio whole program / pacat: %.2fx\n",
                ((webUi + webPage) / webWall) / std::max(pacat / pacatWall, 1e-6));
    return 0;
}
