#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "audio/pulse_output.hpp"
#include "audio/session_audio.hpp"
#include "tests/audio/pulse_rig.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

namespace lumora::test {
namespace {

// The page renders a 440 Hz tone itself, cuts it into Base64 chunks and plays it.
constexpr const char* kPage = R"HTML(<!doctype html>
<html><body><script>
window.reports = [];
window.__lmNative = (r) => window.reports.push(r);
function post(m) { window.webkit.messageHandlers.lumora.postMessage(m); }
function chunk(index, rate, seconds, frequency) {
  const frames = rate * seconds, first = index * frames;
  const bytes = new Uint8Array(frames * 4), view = new DataView(bytes.buffer);
  for (let i = 0; i < frames; i++) {
    const v = Math.round(12000 * Math.sin(2 * Math.PI * frequency * (first + i) / rate));
    view.setInt16(4 * i, v, true);
    view.setInt16(4 * i + 2, v, true);
  }
  let text = '';
  for (let i = 0; i < bytes.length; i += 0x8000)
    text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  return btoa(text);
}
window.playTone = () => {
  post({type: 'audioOpen', id: 'tone', title: 'Tone', duration: 2, chunkSec: 1, sampleRate: 48000});
  for (let k = 0; k < 2; k++)
    post({type: 'audioChunk', id: 'tone', index: k, pcm: chunk(k, 48000, 1, 440)});
  post({type: 'audioPlay', id: 'tone', at: 0});
  return true;
};
</script></body></html>)HTML";

TEST(WebAudio, PageToneReachesTheSink) {
    TestEnv env;
    PulseRig pulse(env.runtimeDir());
    ASSERT_TRUE(pulse.ready());
    std::string webRoot = env.root() + "/web";
    makeDirectories(webRoot);
    writeFile(webRoot + "/index.html", kPage);

    initGtk();
    auto loop = makeGLibMainLoop();
    PulseOutput output;
    SessionAudio audio(*loop, output, nullptr,
                       SessionAudioEnvironment{[&] { return env.cacheHome(); }, {}, {}});
    WebStack::Options options;
    options.webRoot = webRoot;
    options.dataDirectory = env.dataHome() + "/Lumora";
    options.bridge.audio = &audio;
    options.controller.audio = &audio;
    WebStack stack(options);
    ASSERT_TRUE(stack.waitForLoads(1));

    pulse.startCapture();
    ASSERT_EQ(stack.eval("playTone()"), "true");
    ASSERT_TRUE(spinUntil([&] { return audio.id() == "tone" && audio.playing(); }, 10));
    ASSERT_TRUE(spinUntil(
        [&] {
            auto r = stack.eval("JSON.stringify(window.reports[window.reports.length - 1] || {})");
            return r && r->find("\\\"t\\\":2") != std::string::npos;
        },
        15))
        << "the page hears of the end";
    auto samples = pulse.stopCapture();

    // The tone: samples where it sounds, with 880 zero crossings a second.
    std::size_t first = 0, last = 0, crossings = 0;
    float peak = 0;
    for (std::size_t i = 0; i + 2 < samples.size(); i += 2) {
        if (samples[i] != 0.0f) {
            if (!first) first = i;
            last = i;
        }
        peak = std::max(peak, std::fabs(samples[i]));
        if ((samples[i] < 0) != (samples[i + 2] < 0) && first) ++crossings;
    }
    double seconds = static_cast<double>(last - first) / 2 / PulseRig::kRate;
    EXPECT_NEAR(seconds, 2.0, 0.05);
    EXPECT_NEAR(peak, 12000.0 / 32768.0, 0.01);
    EXPECT_NEAR(crossings / seconds, 880.0, 10.0);
    // And it is the same sine on both channels.
    for (std::size_t i = first; i < last; i += 998) EXPECT_EQ(samples[i], samples[i + 1]);
}

}  // namespace
}  // namespace lumora::test
