#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "audio/session_audio.hpp"
#include "audio/virtual_audio_output.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

namespace lumora::test {
namespace {

// post() swallows what postMessage refuses (cycles, BigInt), as a page would.
constexpr const char* kPage = R"HTML(<!doctype html>
<html><body><script>
window.__lmNative = () => {};
function post(m) {
  try { window.webkit.messageHandlers.lumora.postMessage(m); } catch (e) {}
  return true;
}
function nest(n) { let v = 1; for (let i = 0; i < n; i++) v = [v]; return v; }
function bigChunk() {
  const bytes = new Uint8Array(30 * 44100 * 4);
  for (let i = 0; i < bytes.length; i++) bytes[i] = (i * 31 + 7) & 255;
  let text = '';
  for (let i = 0; i < bytes.length; i += 0x8000)
    text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  return btoa(text);
}
</script></body></html>)HTML";

// What one posted message left in the session.
struct Outcome {
    std::set<std::int64_t> have;
    std::int64_t total = 0;
    std::map<std::int64_t, std::string> files;
    bool operator==(const Outcome&) const = default;
};

std::string describe(const Outcome& o) {
    std::string text = "total " + std::to_string(o.total) + ", have {";
    for (auto i : o.have)
        text += " " + std::to_string(i) + ":" + std::to_string(o.files.at(i).size()) + "B";
    return text + " }";
}

class ChunkPath : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string webRoot = env.root() + "/web";
        makeDirectories(webRoot);
        writeFile(webRoot + "/index.html", kPage);
        initGtk();
        loop = makeGLibMainLoop();
        output = std::make_unique<VirtualAudioOutput>(*loop);
        audio = std::make_unique<SessionAudio>(
            *loop, *output, nullptr,
            SessionAudioEnvironment{[this] { return env.cacheHome(); }, {}, {}});
        WebStack::Options options;
        options.webRoot = webRoot;
        options.dataDirectory = env.dataHome() + "/Lumora";
        options.bridge.audio = audio.get();
        options.controller.audio = audio.get();
        stack = std::make_unique<WebStack>(options);
        ASSERT_TRUE(stack->waitForLoads(1));
    }
    void TearDown() override {
        stack.reset();
        audio.reset();
    }

    // A fresh session "c" (4 chunks of 10 s), then the message, then a marker chunk that
    // arrives after it: once the marker is in, the message has been handled.
    Outcome post(const std::string& message, bool fast) {
        stack->backend->setChunkFastPath(fast);
        EXPECT_EQ(stack->eval("post({type: 'audioOpen', id: 'c', duration: 40, chunkSec: 10, "
                              "sampleRate: 44100})"),
                  "true");
        EXPECT_EQ(stack->eval("post(" + message + ")"), "true") << message;
        EXPECT_EQ(stack->eval("post({type: 'audioChunk', id: 'c', index: 99, pcm: 'AAAA'})"),
                  "true");
        EXPECT_TRUE(spinUntil([&] { return audio->have().count(99) > 0; })) << message;
        Outcome o;
        o.total = audio->total();
        for (auto i : audio->have())
            if (i != 99) {
                o.have.insert(i);
                o.files[i] = readFile(audio->chunkPath(i));
            }
        return o;
    }

    // Both paths on one message; the fast path must have been taken when expected.
    Outcome both(const std::string& message, bool fastTaken) {
        auto before = stack->backend->fastChunks();
        Outcome fast = post(message, true);
        // The marker always takes it; the message itself only with a plain string "pcm".
        EXPECT_EQ(stack->backend->fastChunks() - before, fastTaken ? 2u : 1u) << message;
        before = stack->backend->fastChunks();
        Outcome ordinary = post(message, false);
        EXPECT_EQ(stack->backend->fastChunks(), before) << message;
        EXPECT_EQ(fast, ordinary) << message << "\n fast: " << describe(fast)
                                  << "\n ordinary: " << describe(ordinary);
        return fast;
    }

    TestEnv env;
    std::unique_ptr<MainLoop> loop;
    std::unique_ptr<VirtualAudioOutput> output;
    std::unique_ptr<SessionAudio> audio;
    std::unique_ptr<WebStack> stack;
};

TEST_F(ChunkPath, GoodChunksAgreeAndStore) {
    const std::string bytes("\x00\x01\x02\x03", 4);
    struct Case {
        std::string message;
        std::int64_t index;
        std::int64_t total;
        std::string file;
    };
    const std::vector<Case> cases = {
        {"{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAECAw=='}", 1, 4, bytes},
        {"{type: 'audioChunk', id: 'c', index: 2.0, total: 7, pcm: 'AAECAw=='}", 2, 7, bytes},
        {"{type: 'audioChunk', id: 'c', index: 0, total: '7', pcm: 'AAECAw=='}", 0, 4, bytes},
        {"{type: 'audioChunk', id: 'c', index: 0, total: 2.5, pcm: 'AAECAw=='}", 0, 4, bytes},
        {"{type: 'audioChunk', id: 'c', index: 0, total: Infinity, pcm: 'AAECAw=='}", 0, 4, bytes},
        {"{type: 'audioChunk', id: 'c', index: 3, pcm: ''}", 3, 4, ""},
        {"{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAECAw==', extra: nest(200), "
         "note: 'caf\\u00e9'}",
         1, 4, bytes},
    };
    for (const auto& c : cases) {
        Outcome o = both(c.message, true);
        EXPECT_EQ(o.have, std::set<std::int64_t>{c.index}) << c.message;
        EXPECT_EQ(o.total, c.total) << c.message;
        EXPECT_EQ(o.files[c.index], c.file) << c.message;
    }
}

TEST_F(ChunkPath, MalformedChunksAgreeAndStoreNothing) {
    // Messages whose "pcm" is a plain string take the fast path.
    const std::vector<std::string> plain = {
        // Not strict Base64.
        "{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAE=A==='}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: 'AA AA'}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAECAw==\\n'}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAE'}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: 'AA-_'}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAAA\\u0000'}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAAA\\u0000AAAA'}",
        // Wrong or missing index and id.
        "{type: 'audioChunk', id: 'c', index: 1.5, pcm: 'AAECAw=='}",
        "{type: 'audioChunk', id: 'c', index: '1', pcm: 'AAECAw=='}",
        "{type: 'audioChunk', id: 'c', index: NaN, pcm: 'AAECAw=='}",
        "{type: 'audioChunk', id: 'c', index: 1e19, pcm: 'AAECAw=='}",
        "{type: 'audioChunk', id: 'c', index: [1], pcm: 'AAECAw=='}",
        "{type: 'audioChunk', id: 'c', pcm: 'AAECAw=='}",
        "{type: 'audioChunk', id: 'd', index: 1, pcm: 'AAECAw=='}",
        "{type: 'audioChunk', index: 1, pcm: 'AAECAw=='}",
        "{type: 'audioChunk', id: 5, index: 1, pcm: 'AAECAw=='}",
        // Anything else in the message that the ordinary path refuses.
        "{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAECAw==', extra: nest(300)}",
        "(() => { const m = {type: 'audioChunk', id: 'c', index: 1, pcm: 'AAECAw=='}; "
        "m.self = m; return m; })()",
    };
    for (const auto& message : plain) {
        Outcome o = both(message, true);
        EXPECT_TRUE(o.have.empty()) << message << ": " << describe(o);
        EXPECT_EQ(o.total, 4) << message;
    }
    // A surrogate without its partner in another field arrives as U+FFFD: the chunk counts.
    for (const std::string message :
         {"{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAECAw==', note: '\\udc00'}",
          "{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAECAw==', '\\ud800': 1}"}) {
        Outcome o = both(message, true);
        EXPECT_EQ(o.have.size(), 1u) << message << ": " << describe(o);
    }
    // Everything else goes the ordinary way whole.
    const std::vector<std::string> other = {
        "{type: 'audioChunk', id: 'c', index: 1}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: null}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: 4}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: ['AAECAw==']}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: {a: 'AAECAw=='}}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: undefined}",
        "{type: ['audioChunk'], id: 'c', index: 1, pcm: 'AAECAw=='}",
        // A type that only starts like a chunk's.
        "{type: 'audioChunk\\u0000', id: 'c', index: 1, pcm: 'AAECAw=='}",
        // Lone surrogates, which the string conversion would drop.
        "{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAAA\\ud800'}",
        "{type: 'audioChunk', id: 'c', index: 1, pcm: '\\udc00AAAA'}",
        // Not ASCII, so not Base64 either.
        "{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAA\\u00e9'}",
    };
    for (const auto& message : other) {
        Outcome o = both(message, false);
        EXPECT_TRUE(o.have.empty()) << message << ": " << describe(o);
    }
    // Whatever the channel makes of a BigInt elsewhere in a chunk, both paths agree on it.
    both("{type: 'audioChunk', id: 'c', index: 1, pcm: 'AAECAw==', big: 10n}", true);
}

// A 30 s chunk at 44.1 kHz: 7.06 MB of Base64, the size the page really sends.
TEST_F(ChunkPath, FullChunkAgreesAndStoresEveryByte) {
    std::string expected(30 * 44100 * 4, '\0');
    for (std::size_t i = 0; i < expected.size(); ++i)
        expected[i] = static_cast<char>((i * 31 + 7) & 255);
    ASSERT_EQ(stack->eval("(window.big = bigChunk()).length"), "7056000");
    Outcome o = both("{type: 'audioChunk', id: 'c', index: 2, total: 4, pcm: window.big}", true);
    ASSERT_EQ(o.have, std::set<std::int64_t>{2});
    EXPECT_TRUE(o.files[2] == expected) << "stored " << o.files[2].size() << " bytes";
    // One character off is refused on both paths.
    Outcome bad =
        both("{type: 'audioChunk', id: 'c', index: 2, pcm: window.big.slice(0, -1) + '.'}", true);
    EXPECT_TRUE(bad.have.empty());
}

// Messages posted right behind a full chunk wait for its write: the play finds the chunk,
// and a new session gets nothing of the old one's chunk still being written.
TEST_F(ChunkPath, MessagesBehindAChunkWaitForItsWrite) {
    ASSERT_EQ(stack->eval("(window.big = bigChunk()).length"), "7056000");
    ASSERT_EQ(stack->eval("post({type: 'audioOpen', id: 'c', duration: 40, chunkSec: 10, "
                          "sampleRate: 44100}) && "
                          "post({type: 'audioChunk', id: 'c', index: 1, pcm: window.big}) && "
                          "post({type: 'audioPlay', id: 'c', at: 15})"),
              "true");
    ASSERT_TRUE(spinUntil([&] { return audio->playing(); }));
    EXPECT_FALSE(audio->waitingAt().has_value()) << "the play found the chunk sent before it";
    EXPECT_EQ(audio->nextChunk(), 2);

    std::string oldDir = *audio->dir();
    ASSERT_EQ(stack->eval("post({type: 'audioChunk', id: 'c', index: 2, pcm: window.big}) && "
                          "post({type: 'audioOpen', id: 'd', duration: 40, chunkSec: 10, "
                          "sampleRate: 44100}) && "
                          "post({type: 'audioChunk', id: 'd', index: 0, pcm: 'AAECAw=='}) && "
                          "post({type: 'audioSeek', id: 'd', at: 0}) && "
                          "post({type: 'audioChunk', id: 'd', index: 99, pcm: 'AAAA'})"),
              "true");
    ASSERT_TRUE(spinUntil([&] { return audio->id() == "d" && audio->have().count(99) > 0; }));
    EXPECT_EQ(audio->have(), (std::set<std::int64_t>{0, 99})) << "nothing of c lands in d";
    EXPECT_FALSE(audio->waitingAt().has_value()) << "the seek found d's chunk 0";
    EXPECT_EQ(audio->nextChunk(), 1);
    audio->waitForFiles();
    EXPECT_FALSE(fileExists(oldDir)) << "c's files go once their writes are done";
}

}  // namespace
}  // namespace lumora::test
