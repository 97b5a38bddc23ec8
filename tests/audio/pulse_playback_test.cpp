#include <glib.h>
#include <gtest/gtest.h>

#include <memory>

#include "audio/pulse_output.hpp"
#include "audio/session_audio.hpp"
#include "tests/audio/audio_test_util.hpp"
#include "tests/audio/pulse_rig.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"

namespace lumora::test {
namespace {

constexpr double kRate = PulseRig::kRate;
// When a stream joins a running sink, the server rewinds the sink to mix it in at once;
// the monitor has already recorded that stretch, so up to ~12 ms at the start of each new
// stream are missing from a capture. Every frame names its index, so what is captured
// still shows exactly where playback started.
constexpr std::int64_t kStartLoss = static_cast<std::int64_t>(0.02 * kRate);

void expectStartsAt(const Run& run, std::int64_t frame, const char* what) {
    EXPECT_GE(run.first, frame) << what;
    EXPECT_LE(run.first, frame + kStartLoss) << what;
}

bool spinUntil(const std::function<bool()>& done, double seconds) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    while (!done()) {
        if (g_get_monotonic_time() > deadline) return false;
        g_main_context_iteration(nullptr, FALSE);
        if (!g_main_context_pending(nullptr)) g_usleep(2000);
    }
    return true;
}
void spinFor(double seconds) {
    gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    spinUntil([&] { return g_get_monotonic_time() > end; }, seconds + 1);
}

// The session on a real PulseAudio daemon, driven by the real main loop.
struct Rig {
    TestEnv env;
    PulseRig pulse{env.runtimeDir()};
    std::unique_ptr<MainLoop> loop = makeGLibMainLoop();
    std::unique_ptr<PulseOutput> output = std::make_unique<PulseOutput>("Lumora test");
    std::shared_ptr<FakePageView> page = std::make_shared<FakePageView>();
    SessionAudio audio{*loop, *output, nullptr,
                       SessionAudioEnvironment{[this] { return env.cacheHome(); }, {}, {}}};
    Rig() { audio.setWebView(page); }

    void send(const nlohmann::json& body) { audio.handle(body["type"].get<std::string>(), body); }
    void open(double duration, double chunkSec) {
        send(openMessage("real", duration, chunkSec, kRate));
    }
    void chunk(std::int64_t index) {
        send(patternChunk("real", index, audio.duration(), audio.chunkSec(), kRate));
    }
    void message(const std::string& type, std::optional<double> at = std::nullopt) {
        nlohmann::json body{{"type", type}, {"id", "real"}};
        if (at) body["at"] = *at;
        send(body);
    }
    bool reported(const std::string& script) {
        return std::find(page->scripts.begin(), page->scripts.end(), script) != page->scripts.end();
    }
    bool waitForEnd(double seconds) {
        std::string end = SessionAudio::reportScript("real", audio.duration(), false);
        return spinUntil([&] { return reported(end); }, seconds);
    }
};

std::string describe(const std::vector<Run>& runs) {
    std::string text;
    for (const auto& r : runs)
        text += "[" + std::to_string(r.first) + ".." + std::to_string(r.last) + " breaks " +
                std::to_string(r.breaks) + "] ";
    return text;
}

TEST(PulsePlayback, ChunksPlayWithoutGapsToTheEnd) {
    Rig rig;
    ASSERT_TRUE(rig.pulse.ready());
    rig.open(2.2, 0.5);  // five chunks, the last one shorter
    for (int k = 0; k < 5; ++k) rig.chunk(k);
    rig.pulse.startCapture();
    rig.message("audioPlay", 0);
    ASSERT_TRUE(rig.waitForEnd(15));
    EXPECT_FALSE(rig.audio.playing());
    auto runs = runsOf(rig.pulse.stopCapture());
    ASSERT_EQ(runs.size(), 1u) << describe(runs);
    expectStartsAt(runs[0], 0, "from the first frame");
    EXPECT_EQ(runs[0].last, static_cast<std::int64_t>(2.2 * kRate) - 1);
    EXPECT_EQ(runs[0].breaks, 0) << "no missing, repeated or foreign frame at any boundary";
}

TEST(PulsePlayback, SeekPlaysTheSecondChunkFromItsMiddle) {
    Rig rig;
    ASSERT_TRUE(rig.pulse.ready());
    rig.open(90, 30);
    rig.chunk(1);
    rig.chunk(2);
    rig.pulse.startCapture();
    rig.message("audioPlay", 45);
    // Time for the chunk to be read on the audio worker and the server to start it, even
    // on a loaded machine.
    spinFor(1.0);
    rig.message("audioPause");
    auto runs = runsOf(rig.pulse.stopCapture());
    ASSERT_EQ(runs.size(), 1u) << describe(runs);
    expectStartsAt(runs[0], static_cast<std::int64_t>(30 * kRate + 15 * kRate),
                   "chunk 1 from its frame 15 × rate");
    EXPECT_GT(runs[0].last - runs[0].first, static_cast<std::int64_t>(0.3 * kRate));
    EXPECT_EQ(runs[0].breaks, 0);
    EXPECT_NEAR(rig.audio.base(), 45.0 + (runs[0].last - runs[0].first) / kRate, 0.05)
        << "the position is what was heard";
}

TEST(PulsePlayback, MissingChunkWaitsAndResumesAtTheWaitingPoint) {
    Rig rig;
    ASSERT_TRUE(rig.pulse.ready());
    rig.open(1.5, 0.5);
    rig.chunk(0);
    rig.chunk(2);
    rig.pulse.startCapture();
    rig.message("audioPlay", 0);
    ASSERT_TRUE(spinUntil([&] { return rig.audio.waitingAt().has_value(); }, 10));
    EXPECT_EQ(*rig.audio.waitingAt(), 0.5);
    std::string waiting = SessionAudio::reportScript("real", 0.5, false);
    ASSERT_TRUE(spinUntil([&] { return rig.reported(waiting); }, 5)) << "reports say playing false";
    EXPECT_TRUE(rig.audio.playing());
    rig.chunk(1);
    ASSERT_TRUE(rig.waitForEnd(10));
    auto runs = runsOf(rig.pulse.stopCapture());
    ASSERT_EQ(runs.size(), 2u) << describe(runs);
    expectStartsAt(runs[0], 0, "from the first frame");
    EXPECT_EQ(runs[0].last, static_cast<std::int64_t>(0.5 * kRate) - 1);
    expectStartsAt(runs[1], static_cast<std::int64_t>(0.5 * kRate), "resumed where it waited");
    EXPECT_EQ(runs[1].last, static_cast<std::int64_t>(1.5 * kRate) - 1);
    EXPECT_EQ(runs[0].breaks + runs[1].breaks, 0);
}

TEST(PulsePlayback, PauseAndResumeKeepThePosition) {
    Rig rig;
    ASSERT_TRUE(rig.pulse.ready());
    rig.open(3, 1);
    for (int k = 0; k < 3; ++k) rig.chunk(k);
    rig.pulse.startCapture();
    rig.message("audioPlay", 0);
    spinFor(0.8);
    rig.message("audioPause");
    double paused = rig.audio.base();
    EXPECT_GT(paused, 0.4);
    spinFor(0.4);
    EXPECT_EQ(rig.audio.currentTime(), paused);
    rig.message("audioResume");
    ASSERT_TRUE(rig.waitForEnd(10));
    auto runs = runsOf(rig.pulse.stopCapture());
    ASSERT_EQ(runs.size(), 2u) << describe(runs);
    const auto fifty = static_cast<std::int64_t>(0.05 * kRate);
    EXPECT_LE(std::llabs(runs[1].first - runs[0].last), fifty)
        << "what is heard after the pause follows what was heard before it";
    expectStartsAt(runs[1], static_cast<std::int64_t>(paused * kRate), "resumed at the pause");
    EXPECT_EQ(runs[1].last, static_cast<std::int64_t>(3 * kRate) - 1);
    EXPECT_EQ(runs[1].breaks, 0);
}

TEST(PulsePlayback, DefaultSinkChangeRestartsAtTheCurrentPosition) {
    Rig rig;
    ASSERT_TRUE(rig.pulse.ready());
    rig.open(6, 1);
    for (int k = 0; k < 6; ++k) rig.chunk(k);
    rig.message("audioPlay", 0);
    ASSERT_TRUE(spinUntil([&] { return rig.output->streamIndex() >= 0; }, 5));
    spinFor(1.0);
    rig.pulse.addSink("other");
    auto generation = rig.audio.generation();
    double before = rig.audio.currentTime();
    rig.pulse.pactl("set-default-sink other");
    ASSERT_TRUE(spinUntil([&] { return rig.audio.generation() != generation; }, 5))
        << "the change reaches the session";
    EXPECT_GE(rig.audio.base(), before);
    EXPECT_LE(rig.audio.base(), before + 0.5);
    ASSERT_TRUE(spinUntil([&] { return rig.output->streamIndex() >= 0; }, 5));
    // The new stream plays on the new default sink.
    std::string sinks = rig.pulse.pactl("list sinks short");
    std::string otherIndex = sinks.substr(0, sinks.find('\t', sinks.find("other") - 3));
    for (std::size_t line = 0; line < sinks.size();) {
        std::size_t end = sinks.find('\n', line);
        std::string row = sinks.substr(line, end - line);
        if (row.find("\tother\t") != std::string::npos) otherIndex = row.substr(0, row.find('\t'));
        line = end == std::string::npos ? sinks.size() : end + 1;
    }
    std::string inputs = rig.pulse.pactl("list sink-inputs short");
    std::string ours = std::to_string(rig.output->streamIndex()) + "\t" + otherIndex + "\t";
    EXPECT_NE(inputs.find(ours), std::string::npos) << inputs << " / " << ours;
    double restarted = rig.audio.currentTime();
    spinFor(0.5);
    EXPECT_GT(rig.audio.currentTime(), restarted + 0.2) << "and goes on playing";
    EXPECT_TRUE(rig.audio.playing());
}

}  // namespace
}  // namespace lumora::test
