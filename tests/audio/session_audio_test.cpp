#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <memory>

#include "audio/base64.hpp"
#include "audio/session_audio.hpp"
#include "audio/virtual_audio_output.hpp"
#include "tests/audio/audio_test_util.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"

namespace lumora::test {
namespace {

constexpr double kRate = 100;  // frames per second: small chunk files, exact arithmetic

struct Rig {
    TestEnv env;
    FakeMainLoop loop;
    VirtualAudioOutput output{loop, 0.25};  // a step the fake clock adds up exactly
    RecordingNowPlaying nowPlaying;
    std::shared_ptr<FakePageView> page = std::make_shared<FakePageView>();
    std::string webRoot = env.root() + "/web";
    SessionAudio audio{
        loop, output, &nowPlaying,
        SessionAudioEnvironment{
            [this] { return env.cacheHome() + "/Lumora/tmp"; }, [this] { return webRoot; }, {}}};
    Rig() {
        makeDirectories(env.cacheHome() + "/Lumora/tmp");
        audio.setWebView(page);
        output.capture = true;
        loop.waitForWorkers = [this] { audio.waitForFiles(); };
    }
    // Handles the message and applies what its file work gives back.
    void send(const nlohmann::json& body) {
        audio.handle(body["type"].get<std::string>(), body);
        settle();
    }
    void settle() { settleFiles(audio, loop); }
    void open(double duration, double chunkSec = 30, const std::string& id = "s1") {
        send(openMessage(id, duration, chunkSec, kRate));
    }
    void chunk(std::int64_t index) {
        send(patternChunk(audio.id(), index, audio.duration(), audio.chunkSec(), kRate));
    }
    void message(const std::string& type, std::optional<double> at = std::nullopt) {
        nlohmann::json body{{"type", type}, {"id", audio.id()}};
        if (at) body["at"] = *at;
        send(body);
    }
    std::string lastReport() {
        loop.runPosted();
        return page->scripts.empty() ? "" : page->scripts.back();
    }
    std::size_t reportCount() {
        loop.runPosted();
        return page->scripts.size();
    }
    std::string report(double t, bool playing) {
        return SessionAudio::reportScript(audio.id(), t, playing);
    }
};

TEST(SessionAudioMessages, OpenTakesDefaultsAndCountsChunks) {
    Rig rig;
    rig.send({{"type", "audioOpen"}});
    EXPECT_EQ(rig.audio.id().size(), 36u);
    for (char c : rig.audio.id()) EXPECT_FALSE(c >= 'a' && c <= 'z') << rig.audio.id();
    EXPECT_EQ(rig.audio.title(), "Lumora");
    EXPECT_EQ(rig.audio.duration(), 0);
    EXPECT_EQ(rig.audio.chunkSec(), 30);
    EXPECT_EQ(rig.audio.sampleRate(), 44100);
    EXPECT_EQ(rig.audio.total(), 1);
    std::string firstDir = *rig.audio.dir();

    rig.send(openMessage("abc", 95, 30, 48000));
    EXPECT_EQ(rig.audio.total(), 4);
    EXPECT_EQ(*rig.audio.dir(), rig.env.cacheHome() + "/Lumora/tmp/session-abc");
    struct stat info {};
    ASSERT_EQ(stat(rig.audio.dir()->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_FALSE(fileExists(firstDir)) << "the previous session's directory is removed";
    EXPECT_EQ(rig.nowPlaying.registrations, 1) << "commands are registered once per process";
    EXPECT_EQ(rig.reportCount(), 0u) << "opening reports nothing";
}

TEST(SessionAudioMessages, RefusesOpensThatCouldBreakPathsScriptsOrArithmetic) {
    Rig rig;
    rig.open(60);
    rig.chunk(0);
    std::string dir = *rig.audio.dir();
    for (const char* id : {"", "../evil", "a/b", "a'b", "a\\b", "x y", "caf\xc3\xa9", ".."}) {
        rig.send(openMessage(id, 60, 30, kRate));
        EXPECT_EQ(rig.audio.id(), "s1") << id;
    }
    rig.send(openMessage(std::string(129, 'a'), 60, 30, kRate));
    EXPECT_EQ(rig.audio.id(), "s1");
    for (auto [chunkSec, rate, duration] : {std::tuple{0.0, kRate, 60.0},
                                            {-30.0, kRate, 60.0},
                                            {30.0, 0.0, 60.0},
                                            {30.0, -1.0, 60.0},
                                            {1e-300, kRate, 1e300}}) {
        rig.send(openMessage("other", duration, chunkSec, rate));
        EXPECT_EQ(rig.audio.id(), "s1") << chunkSec << " " << rate << " " << duration;
    }
    EXPECT_TRUE(fileExists(dir + "/0.pcm")) << "a refused open leaves the session as it was";
    EXPECT_EQ(rig.audio.have().count(0), 1u);

    rig.send(openMessage(std::string(128, 'a'), 60, 30, kRate));
    EXPECT_EQ(rig.audio.id(), std::string(128, 'a'));
    rig.send(openMessage("Az09-_", 60, 30, kRate));
    EXPECT_EQ(rig.audio.id(), "Az09-_");
}

TEST(SessionAudioMessages, Base64IsStrict) {
    std::string out;
    EXPECT_TRUE(decodeBase64Strict("", out));
    EXPECT_EQ(out, "");
    ASSERT_TRUE(decodeBase64Strict("TWFu", out));
    EXPECT_EQ(out, "Man");
    ASSERT_TRUE(decodeBase64Strict("TWE=", out));
    EXPECT_EQ(out, "Ma");
    ASSERT_TRUE(decodeBase64Strict("TQ==", out));
    EXPECT_EQ(out, "M");
    ASSERT_TRUE(decodeBase64Strict("+/+/", out));
    EXPECT_EQ(out, "\xfb\xff\xbf");
    for (const char* bad : {"TWF", "TWFuT", "TW\nFu", "TWFu\n", " TWFu", "TWFu ", "TW=u",
                            "T===", "=TWF", "TQ=a", "-_-_", "TWFu\r\n", "TWFu====", "TQ==TWFu"})
        EXPECT_FALSE(decodeBase64Strict(bad, out)) << bad;
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    ASSERT_TRUE(decodeBase64Strict(encodeBase64(all), out));
    EXPECT_EQ(out, all);
}

TEST(SessionAudioMessages, StoresChunksAsFilesAndIgnoresBadOnes) {
    Rig rig;
    rig.open(95);
    std::string dir = *rig.audio.dir();
    rig.send({{"type", "audioChunk"}, {"id", "s1"}, {"index", 0}, {"pcm", encodeBase64("abcd")}});
    EXPECT_EQ(readFile(dir + "/0.pcm"), "abcd");
    rig.send({{"type", "audioChunk"}, {"id", "s1"}, {"index", 0}, {"pcm", encodeBase64("wxyz")}});
    EXPECT_EQ(readFile(dir + "/0.pcm"), "wxyz") << "a repeated index replaces the file";

    std::string broken = encodeBase64("12345678");
    broken.insert(4, "\n");
    rig.send({{"type", "audioChunk"}, {"id", "s1"}, {"index", 1}, {"pcm", broken}, {"total", 9}});
    EXPECT_FALSE(fileExists(dir + "/1.pcm"));
    EXPECT_EQ(rig.audio.have().count(1), 0u);
    EXPECT_EQ(rig.audio.total(), 4) << "an ignored chunk's total is not applied";

    rig.send({{"type", "audioChunk"}, {"id", "s1"}, {"index", 2.5}, {"pcm", "AAAA"}});
    rig.send({{"type", "audioChunk"}, {"id", "s1"}, {"index", "2"}, {"pcm", "AAAA"}});
    rig.send({{"type", "audioChunk"}, {"id", "other"}, {"index", 2}, {"pcm", "AAAA"}});
    rig.send({{"type", "audioChunk"}, {"index", 2}, {"pcm", "AAAA"}});
    EXPECT_EQ(rig.audio.have().count(2), 0u);

    rig.send({{"type", "audioChunk"}, {"id", "s1"}, {"index", 7}, {"pcm", "AAAA"}, {"total", 6}});
    rig.send({{"type", "audioChunk"}, {"id", "s1"}, {"index", -1}, {"pcm", "AAAA"}});
    rig.send({{"type", "audioChunk"}, {"id", "s1"}, {"index", 3.0}, {"pcm", "AAAA"}});
    EXPECT_TRUE(fileExists(dir + "/7.pcm"));
    EXPECT_TRUE(fileExists(dir + "/-1.pcm"));
    EXPECT_TRUE(fileExists(dir + "/3.pcm"));
    EXPECT_EQ(rig.audio.total(), 6);
    EXPECT_EQ(rig.audio.have(), (std::set<std::int64_t>{-1, 0, 3, 7}));

    rig.message("audioClose");
    EXPECT_FALSE(fileExists(dir));
    EXPECT_EQ(rig.audio.id(), "");
    EXPECT_EQ(rig.audio.total(), 0);
    EXPECT_FALSE(rig.nowPlaying.info.has_value());
    // Closed: even an empty id counts as current, but there is no directory to store into.
    rig.send({{"type", "audioChunk"}, {"id", ""}, {"index", 0}, {"pcm", "AAAA"}});
    EXPECT_TRUE(rig.audio.have().empty());
    rig.send({{"type", "audioChunk"}, {"id", "s1"}, {"index", 0}, {"pcm", "AAAA"}});
    EXPECT_TRUE(rig.audio.have().empty());
}

// Messages behind a pending chunk write wait for it and then take effect in the order
// received, so a play finds the chunk sent just before it, and a new session gets nothing
// of the one it replaces.
TEST(SessionAudioMessages, MessagesWaitInOrderBehindAPendingChunkWrite) {
    Rig rig;
    rig.open(90);
    auto unsettled = [&](const nlohmann::json& body) {
        rig.audio.handle(body["type"].get<std::string>(), body);
    };
    int updates = rig.nowPlaying.updates;
    unsettled(patternChunk("s1", 1, 90, 30, kRate));
    unsettled({{"type", "audioPlay"}, {"id", "s1"}, {"at", 45}});
    unsettled(patternChunk("s1", 2, 90, 30, kRate));
    unsettled({{"type", "audioSeek"}, {"id", "s1"}, {"at", 50}});
    EXPECT_TRUE(rig.audio.have().empty()) << "a chunk counts once its file is written";
    EXPECT_FALSE(rig.audio.playing()) << "the play waits for the chunk before it";
    EXPECT_EQ(rig.nowPlaying.updates, updates);
    rig.settle();
    EXPECT_EQ(rig.audio.have(), (std::set<std::int64_t>{1, 2}));
    EXPECT_TRUE(rig.audio.playing());
    EXPECT_FALSE(rig.audio.waitingAt().has_value()) << "the play and seek found their chunks";
    EXPECT_EQ(rig.audio.base(), 50.0) << "the seek came last";
    EXPECT_EQ(rig.audio.nextChunk(), 3);
    rig.loop.advance(1.0);
    auto runs = runsOf(rig.output.captured);
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.back().first, 5000);

    std::string oldDir = *rig.audio.dir();
    unsettled(patternChunk("s1", 0, 90, 30, kRate));
    unsettled({{"type", "audioPause"}, {"id", "s1"}});
    unsettled(openMessage("s2", 60, 30, kRate));
    unsettled(patternChunk("s2", 1, 60, 30, kRate));
    unsettled({{"type", "audioSeek"}, {"id", "s2"}, {"at", 40}});
    EXPECT_EQ(rig.audio.id(), "s1");
    rig.settle();
    EXPECT_EQ(rig.audio.id(), "s2");
    EXPECT_EQ(rig.audio.have(), (std::set<std::int64_t>{1})) << "nothing of s1 lands in s2";
    EXPECT_FALSE(rig.audio.playing()) << "s1 was paused, then closed";
    EXPECT_FALSE(rig.audio.waitingAt().has_value());
    EXPECT_EQ(rig.audio.nextChunk(), 2) << "the seek found s2's chunk 1";
    EXPECT_FALSE(fileExists(oldDir)) << "s1's files go after their writes";
    EXPECT_TRUE(readFile(rig.audio.chunkPath(1)) == patternBytes(3000, 3000));
    EXPECT_EQ(rig.audio.messagesWaiting(), 0u);
}

TEST(SessionAudioMessages, ReportTextIsShortestWithPointZero) {
    EXPECT_EQ(SessionAudio::timeText(0), "0.0");
    EXPECT_EQ(SessionAudio::timeText(12.5), "12.5");
    EXPECT_EQ(SessionAudio::timeText(95), "95.0");
    EXPECT_EQ(SessionAudio::timeText(0.1), "0.1");
    EXPECT_EQ(SessionAudio::timeText(1.0 / 3.0), "0.3333333333333333");
    EXPECT_EQ(SessionAudio::reportScript("abc", 12.5, true),
              "window.__lmNative && window.__lmNative({ id: 'abc', t: 12.5, playing: true })");
}

TEST(SessionAudioPlayback, RunsWaitsForMissingChunkResumesAndEnds) {
    Rig rig;
    rig.open(90);
    rig.chunk(0);
    rig.chunk(2);
    rig.message("audioPlay", 0);
    EXPECT_TRUE(rig.output.isRunning());
    rig.loop.advance(1.0);
    EXPECT_EQ(rig.lastReport(), rig.report(1.0, true));
    EXPECT_EQ(rig.nowPlaying.info->rate, 1.0);

    rig.loop.advance(30.0);  // chunk 0 has ended; chunk 1 is not there
    EXPECT_TRUE(rig.audio.playing());
    EXPECT_EQ(rig.audio.waitingAt(), 30.0);
    EXPECT_EQ(rig.audio.missing(), 1);
    EXPECT_EQ(rig.lastReport(), rig.report(30.0, false));
    EXPECT_EQ(rig.nowPlaying.state, true) << "a wait shows as playing";
    EXPECT_EQ(rig.nowPlaying.info->rate, 0.0) << "with rate 0";
    EXPECT_EQ(rig.nowPlaying.info->elapsed, 30.0);

    rig.loop.advance(5.0);
    rig.chunk(1);  // resumes at the waiting point, chunk 2 queued behind it
    EXPECT_FALSE(rig.audio.waitingAt().has_value());
    EXPECT_EQ(rig.audio.base(), 30.0);
    EXPECT_EQ(rig.audio.nextChunk(), 3);
    rig.loop.advance(1.0);
    EXPECT_EQ(rig.lastReport(), rig.report(31.0, true));

    rig.loop.advance(59.5);  // through chunk 2 to the end
    EXPECT_FALSE(rig.audio.playing());
    EXPECT_FALSE(rig.nowPlaying.state.value_or(true));
    auto reports = rig.page->scripts;
    EXPECT_NE(std::find(reports.begin(), reports.end(), rig.report(90.0, false)), reports.end());
    rig.loop.advance(1.0);
    EXPECT_EQ(rig.lastReport(), rig.report(30.0, false)) << "after the end the tick reports base";
    EXPECT_TRUE(rig.audio.tickRunning());

    // What sounded: frames 0…2999, silence during the wait, then 3000…8999 without a gap.
    auto runs = runsOf(rig.output.captured);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].first, 0);
    EXPECT_EQ(runs[0].last, 2999);
    EXPECT_EQ(runs[1].first, 3000);
    EXPECT_EQ(runs[1].last, 8999);
    EXPECT_EQ(runs[0].breaks + runs[1].breaks, 0);
    EXPECT_LE(rig.output.maxScheduled, 2u);
}

TEST(SessionAudioPlayback, SeekPlaysFromTheOffsetInsideItsChunk) {
    Rig rig;
    rig.open(90);
    rig.chunk(1);
    rig.chunk(2);
    rig.message("audioPlay", 45);
    EXPECT_EQ(rig.audio.nextChunk(), 3) << "chunk 1 plays, chunk 2 is queued behind it";
    rig.loop.advance(2.0);
    EXPECT_NEAR(rig.audio.currentTime(), 47.0, 1e-9);
    auto runs = runsOf(rig.output.captured);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].first, static_cast<std::int64_t>(45 * kRate))
        << "chunk 1 from frame 15 × rate";

    rig.message("audioSeek", -5);
    EXPECT_EQ(rig.audio.currentTime(), 0.0);
    EXPECT_EQ(rig.audio.waitingAt(), 0.0) << "chunk 0 is missing";
    rig.message("audioSeek", 500);
    EXPECT_EQ(rig.audio.base(), 90.0);
    // 90 s is exactly three chunks: the target is chunk 3, which the session does not have.
    EXPECT_EQ(rig.audio.missing(), 3);
    EXPECT_EQ(rig.audio.waitingAt(), 90.0);
    std::size_t before = rig.reportCount();
    rig.loop.advance(3.0);
    EXPECT_EQ(rig.lastReport(), rig.report(90.0, false));
    EXPECT_EQ(rig.reportCount(), before + 3) << "no end report, only the ticks";
    EXPECT_TRUE(rig.audio.playing());
}

TEST(SessionAudioPlayback, StoppedSeekToMissingTargetWaitsSilently) {
    Rig rig;
    rig.open(90);
    rig.chunk(0);
    rig.message("audioSeek", 45);
    EXPECT_FALSE(rig.audio.playing());
    EXPECT_EQ(rig.audio.waitingAt(), 45.0);
    EXPECT_EQ(rig.audio.currentTime(), 45.0);
    rig.chunk(1);
    EXPECT_FALSE(rig.audio.waitingAt().has_value());
    EXPECT_FALSE(rig.audio.playing());
    EXPECT_FALSE(rig.output.nodePlaying());
    rig.message("audioResume");
    rig.loop.advance(1.0);
    auto runs = runsOf(rig.output.captured);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].first, 4500);
    EXPECT_EQ(rig.reportCount(), 0u) << "no tick before audioPlay";
}

TEST(SessionAudioPlayback, StaleCompletionsChangeNothing) {
    Rig rig;
    rig.open(60);
    rig.chunk(0);
    rig.chunk(1);
    rig.message("audioPlay", 0);
    rig.loop.advance(1.0);
    auto generation = rig.audio.generation();
    // The seek drops chunks 0 and 1; their completions arrive after it. Were the one for
    // the last chunk taken as current, the session would end here.
    rig.audio.seek(15);
    EXPECT_GT(rig.loop.pendingPosts(), 0u);
    rig.loop.runPosted();
    EXPECT_TRUE(rig.audio.playing());
    EXPECT_GT(rig.audio.generation(), generation);
    EXPECT_EQ(rig.audio.nextChunk(), 2);
    rig.audio.chunkPlayed(generation, 0);
    rig.audio.chunkPlayed(generation, 1);
    EXPECT_TRUE(rig.audio.playing());
    EXPECT_EQ(rig.reportCount(), 1u);
    rig.loop.advance(2.0);
    EXPECT_EQ(rig.lastReport(), rig.report(17.0, true));
}

TEST(SessionAudioPlayback, LateChunkIsQueuedBehindThePlayingOne) {
    Rig rig;
    rig.open(90);
    rig.chunk(0);
    rig.message("audioPlay", 0);
    rig.loop.advance(1.0);
    EXPECT_EQ(rig.audio.missing(), 1) << "scheduling found chunk 1 missing";
    EXPECT_FALSE(rig.audio.waitingAt().has_value()) << "but chunk 0 plays on";
    rig.chunk(1);
    EXPECT_EQ(rig.audio.nextChunk(), 2);
    rig.chunk(2);
    rig.loop.advance(90.0);
    auto runs = runsOf(rig.output.captured);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].first, 0);
    EXPECT_EQ(runs[0].last, 8999);
    EXPECT_EQ(runs[0].breaks, 0);
}

TEST(SessionAudioPlayback, PauseKeepsPositionAndResumeSeeksThere) {
    Rig rig;
    rig.open(90);
    rig.chunk(0);
    rig.message("audioPlay", 0);
    rig.loop.advance(12.5);
    std::size_t before = rig.reportCount();
    rig.message("audioPause");
    EXPECT_EQ(rig.reportCount(), before) << "the page's pause gets no report of its own";
    EXPECT_EQ(rig.audio.base(), 12.5);
    rig.loop.advance(1.0);
    EXPECT_EQ(rig.lastReport(), rig.report(12.5, false));
    rig.message("audioResume");
    rig.message("audioResume");  // while playing: nothing
    rig.loop.advance(1.0);
    EXPECT_EQ(rig.lastReport(), rig.report(13.0, true)) << "half a second after resuming";

    // A pause during a wait keeps the waiting time; resuming waits there again.
    rig.loop.advance(20.0);
    EXPECT_EQ(rig.audio.waitingAt(), 30.0);
    rig.message("audioPause");
    EXPECT_EQ(rig.audio.base(), 30.0);
    EXPECT_EQ(rig.audio.missing(), 1);
    rig.message("audioResume");
    EXPECT_EQ(rig.audio.waitingAt(), 30.0);
}

TEST(SessionAudioPlayback, UnreadableChunkPlaysOutWithoutWaiting) {
    Rig rig;
    rig.open(90);
    rig.chunk(0);
    rig.chunk(1);
    ::remove(rig.audio.chunkPath(1).c_str());
    rig.message("audioPlay", 0);
    EXPECT_EQ(rig.audio.missing(), 1);
    rig.loop.advance(35.0);
    EXPECT_FALSE(rig.audio.waitingAt().has_value());
    EXPECT_EQ(rig.lastReport(), rig.report(35.0, true)) << "silent but reported as playing";
    rig.chunk(1);  // sent again: scheduled at once
    EXPECT_EQ(rig.audio.nextChunk(), 2);

    // A seek into the tail of the last chunk, after its final frame, finds nothing to play.
    rig.send({{"type", "audioChunk"},
              {"id", "s1"},
              {"index", 2},
              {"pcm", encodeBase64(patternBytes(6000, 100))}});
    rig.message("audioSeek", 75);
    EXPECT_EQ(rig.audio.missing(), 2);
    EXPECT_FALSE(rig.audio.waitingAt().has_value());
}

TEST(SessionAudioPlayback, LoadBufferConvertsSixteenBitFrames) {
    Rig rig;
    rig.open(60);
    std::string bytes = {'\x00', '\x80', '\xff', '\x7f',  // -32768, 32767
                         '\x01', '\x00', '\xff', '\xff',  // 1, -1
                         '\x07'};                         // a stray byte is never played
    rig.send({{"type", "audioChunk"}, {"id", "s1"}, {"index", 0}, {"pcm", encodeBase64(bytes)}});
    auto buffer = rig.audio.loadBuffer(0, 0);
    ASSERT_TRUE(buffer);
    ASSERT_EQ(buffer->frames, 2u);
    EXPECT_EQ(buffer->left(0), -1.0f);
    EXPECT_EQ(buffer->right(0), 32767.0f / 32768.0f);
    EXPECT_EQ(buffer->left(1), 1.0f / 32768.0f);
    EXPECT_EQ(buffer->right(1), -1.0f / 32768.0f);
    auto tail = rig.audio.loadBuffer(0, 1);
    ASSERT_TRUE(tail);
    ASSERT_EQ(tail->frames, 1u);
    EXPECT_EQ(tail->left(0), 1.0f / 32768.0f);
    EXPECT_FALSE(rig.audio.loadBuffer(0, 2));
    EXPECT_FALSE(rig.audio.loadBuffer(5, 0));
}

TEST(SessionAudioRemote, CommandsActAndReport) {
    Rig rig;
    rig.open(90);
    rig.chunk(0);
    rig.chunk(1);
    rig.chunk(2);
    auto& commands = rig.nowPlaying.commands;
    ASSERT_TRUE(commands.play);

    EXPECT_EQ(commands.play(), CommandStatus::Success);
    EXPECT_EQ(rig.lastReport(), rig.report(0.0, true));
    std::size_t count = rig.reportCount();
    EXPECT_EQ(commands.play(), CommandStatus::Success);
    EXPECT_EQ(rig.reportCount(), count) << "play while playing sends no report";
    EXPECT_EQ(rig.loop.pendingTimers(), 1u) << "the output's timer only: play starts no tick";

    rig.loop.advance(10.0);
    commands.skipBackward();
    EXPECT_EQ(rig.lastReport(), rig.report(0.0, true));
    commands.pause();
    EXPECT_EQ(rig.lastReport(), rig.report(0.0, false));
    commands.skipForward();
    EXPECT_EQ(rig.lastReport(), rig.report(15.0, false)) << "skipping while paused stays paused";
    EXPECT_FALSE(rig.output.nodePlaying());
    commands.toggle();
    EXPECT_EQ(rig.lastReport(), rig.report(15.0, true));
    commands.changePosition(80);
    commands.skipForward();
    // Limited to the duration, which is the start of chunk 3: a wait, reported as such.
    EXPECT_EQ(rig.lastReport(), rig.report(90.0, false));
    EXPECT_EQ(rig.audio.waitingAt(), 90.0);
    EXPECT_TRUE(rig.audio.playing());
    commands.toggle();  // a toggle during a wait pauses at the waiting time
    EXPECT_FALSE(rig.audio.playing());
    EXPECT_FALSE(rig.audio.waitingAt().has_value());
    EXPECT_EQ(rig.audio.base(), 90.0);
    EXPECT_EQ(rig.lastReport(), rig.report(90.0, false));

    EXPECT_DOUBLE_EQ(commands.position(), 90.0);
}

TEST(SessionAudioRemote, NowPlayingInfoAndTheClosedSession) {
    Rig rig;
    rig.open(90);
    rig.chunk(0);
    rig.message("audioPlay", 0);
    ASSERT_TRUE(rig.nowPlaying.info);
    EXPECT_EQ(rig.nowPlaying.info->title, "Evening");
    EXPECT_EQ(rig.nowPlaying.info->artist, "Orvin \u00b7 Lumora");
    EXPECT_EQ(rig.nowPlaying.info->duration, 90);
    EXPECT_FALSE(rig.nowPlaying.info->artworkFile) << "no artwork file, no artwork";

    rig.message("audioClose");
    EXPECT_FALSE(rig.nowPlaying.info);
    EXPECT_FALSE(rig.output.isRunning());
    // A media key on the closed session: the engine starts, and it waits at base.
    rig.nowPlaying.commands.play();
    EXPECT_TRUE(rig.output.isRunning());
    EXPECT_TRUE(rig.audio.playing());
    EXPECT_TRUE(rig.audio.waitingAt().has_value());
    EXPECT_TRUE(rig.nowPlaying.info);
    EXPECT_NE(rig.lastReport().find("({ id: '', t: 0.0"), std::string::npos);

    // The artwork is looked up once, on first use; a later file makes no difference.
    makeDirectories(rig.webRoot + "/assets/img");
    writeFile(rig.webRoot + "/assets/img/artwork.png", "\x89PNG\r\n\x1a\n0000");
    rig.audio.updateNowPlaying();
    EXPECT_FALSE(rig.nowPlaying.info->artworkFile);
}

TEST(SessionAudioRemote, ArtworkIsTheImageUnderTheWebRoot) {
    Rig rig;
    makeDirectories(rig.webRoot + "/assets/img");
    writeFile(rig.webRoot + "/assets/img/artwork.png", "\x89PNG\r\n\x1a\n0000");
    rig.open(90);
    rig.audio.updateNowPlaying();
    EXPECT_EQ(rig.nowPlaying.info->artworkFile, rig.webRoot + "/assets/img/artwork.png");

    Rig notImage;
    makeDirectories(notImage.webRoot + "/assets/img");
    writeFile(notImage.webRoot + "/assets/img/artwork.png", "not an image");
    notImage.open(90);
    notImage.audio.updateNowPlaying();
    EXPECT_FALSE(notImage.nowPlaying.info->artworkFile);
}

TEST(SessionAudioPlayback, ConfigurationChangeRestartsOnlyWhilePlaying) {
    Rig rig;
    rig.open(90);
    rig.chunk(0);
    rig.chunk(1);
    rig.output.simulateConfigurationChange();
    auto generation = rig.audio.generation();
    rig.loop.runPosted();
    EXPECT_EQ(rig.audio.generation(), generation) << "stopped: nothing happens";
    EXPECT_FALSE(rig.output.isRunning());

    rig.message("audioPlay", 20);
    rig.loop.advance(2.0);
    rig.output.stopEngine();  // the device went away under the engine
    rig.output.simulateConfigurationChange();
    rig.loop.runPosted();
    EXPECT_TRUE(rig.output.isRunning()) << "the engine is restarted";
    EXPECT_EQ(rig.audio.base(), 22.0) << "playback goes on from where it was";
    rig.loop.advance(1.0);
    EXPECT_TRUE(rig.output.nodePlaying());
    EXPECT_GT(rig.audio.currentTime(), 20.0);
}

TEST(SessionAudioPlayback, EngineThatFailsToStartStaysAtBase) {
    Rig rig;
    rig.output.failStart = true;
    rig.open(90);
    rig.chunk(0);
    rig.message("audioPlay", 5);
    rig.loop.advance(2.0);
    EXPECT_EQ(rig.audio.currentTime(), 5.0);
    EXPECT_EQ(rig.lastReport(), rig.report(5.0, true));
}

}  // namespace
}  // namespace lumora::test
