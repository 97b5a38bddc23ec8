#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "audio/session_audio.hpp"
#include "audio/virtual_audio_output.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

// A page that posts 100,000 random and malformed messages through the real "lumora"
// channel to the real bridge, store and session audio. Nothing may crash, and the log may
// hold only the lines that the messages themselves call for: one per "log" message and one
// per unhandled type.
namespace lumora {
namespace {

using nlohmann::json;

constexpr int kMessages = 100000;
constexpr int kBatch = 1000;

// The services that would open windows or other programs, counted instead.
struct Counter final : PdfExporter, SharePicker, ActivityInhibitor, UrlOpener {
    std::optional<std::string> makePdf(const std::string&, const json&) override {
        ++pdfs;
        return std::nullopt;
    }
    void presentSavePanel(const std::string&, WeakPageView) override {}
    void sendPdfNote(WeakPageView, const std::string&) override { ++notes; }
    void share(const std::string&, const std::string&, WeakPageView) override { ++shares; }
    void begin(const std::string&) override { ++begins; }
    void end() override { ++ends; }
    void open(const std::string& uri) override { opened.push_back(uri); }
    int pdfs = 0, notes = 0, shares = 0, begins = 0, ends = 0;
    std::vector<std::string> opened;
};

// One message as page script, and the log line it calls for (if any).
struct Message {
    enum Line { None, PageLine, Unhandled };
    Message(std::string s, Line l = None, std::string t = {})
        : script(std::move(s)), line(l), type(std::move(t)) {}
    std::string script;
    Line line;
    std::string type;  // for Unhandled
};

const std::set<std::string> kKnownTypes = {
    "save",      "log",       "event",      "close",       "session",    "audioOpen", "audioChunk",
    "audioPlay", "audioSeek", "audioPause", "audioResume", "audioClose", "reminder",  "share",
    "sharePdf",  "open",      "review",     "cloudPull",   "cloudForget"};

class Generator {
  public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    Message next() {
        switch (pick(16)) {
            case 0:
                return {pickOf(kNonObjects)};
            case 1:
                return {"{type: " + pickOf(kBadTypes) + ", data: 1}"};
            case 2:
                return logMessage();
            case 3:
                return unknownType();
            case 4:
            case 5:
            case 6:
                return audio();
            case 7:
                return {"{type: 'save'" + (pick(4) == 0 ? ", data: " + anyValue() : "") +
                        ", sync: " + anyValue() + "}"};
            case 8:
                return {"{type: 'event', name: " + pickOf({"'screen'", "5", "null", "'x'"}) +
                        ", detail: " +
                        pickOf({"{screen: 7}", "'s'", "{screen: R(100000)}", "[1]",
                                "{screen: 'journal'}", "D(40)"}) +
                        "}"};
            case 9:
                return {"{type: 'session', active: " +
                        pickOf({"true", "'yes'", "1", "null", "false"}) + "}"};
            case 10:
                return {"{type: 'reminder', on: " + pickOf({"'true'", "1", "false"}) +
                        ", time: " + pickOf({"5", "'25:99'", "R(5000)", "null", "'07:30'"}) + "}"};
            case 11:
                return {"{type: 'share', subject: " + anyValue() + ", text: " + anyValue() + "}"};
            case 12:
                return {"{type: 'sharePdf', name: " + anyValue() + ", blocks: " +
                        pickOf({"{}", "[1, 2]", "'blocks'", "[{kind: 5}]", "D(100)", "null"}) +
                        "}"};
            case 13:
                return {"{type: " + pickOf({"'open'", "'review'"}) +
                        ", explicit: " + pickOf({"'true'", "1", "false"}) + ", url: " +
                        pickOf({"5", "'file:///etc/passwd'", "'javascript:alert(1)'", "'smb://x/y'",
                                "'lumora-gift:zz'", "R(70000)", "'http//no-scheme'", "null"}) +
                        "}"};
            case 14:
                return {"{type: 'close', reason: " + anyValue() + "}"};
            default:
                return {"{type: 'log', message: D(" + std::to_string(257 + pick(400)) + ")}"};
        }
    }

  private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    std::string pickOf(const std::vector<std::string>& options) {
        return options[pick(static_cast<int>(options.size()))];
    }
    // Any value a field could be given, from the usual to the absurd. Each one survives
    // the journey as JSON, so a message that carries it still arrives.
    // lineKept: only values that every JSON reader takes (no lone surrogates).
    std::string anyValue(bool lineKept = false) {
        switch (pick(lineKept ? 10 : 12)) {
            case 0:
                return "null";
            case 1:
                return "undefined";
            case 2:
                return "NaN";
            case 3:
                return "-Infinity";
            case 4:
                return "1e308";
            case 5:
                return "-0";
            case 6:
                return "'" + std::string(1 + pick(20), 'a' + pick(26)) + "'";
            case 7:
                return pick(500) == 0 ? "R(1000000)" : "R(" + std::to_string(pick(20000)) + ")";
            case 8:
                return "D(" + std::to_string(1 + pick(pick(10) ? 20 : 200)) + ")";
            case 9:
                return pick(2) ? "[1, 'two', {three: [3]}]" : "9007199254740993";
            case 10:
                return "{'\\u0000': '\\ud800', toString: 1}";
            default:
                return "true";
        }
    }
    Message logMessage() {
        Message m{"{type: 'log', message: " + anyValue(true) + "}", Message::PageLine};
        if (pick(4) == 0) m.script = "{type: 'log'}";
        return m;
    }
    Message unknownType() {
        std::string type;
        switch (pick(6)) {
            case 0:
                type = "audioopen";
                break;  // case matters
            case 5:
                return {"{type: R(10000)}", Message::Unhandled, std::string(10000, 'x')};
            case 1:
                type = "save ";
                break;
            case 2:
                type = "x" + std::to_string(pick(1000));
                break;
            case 3:
                type = "";
                break;
            default:
                type = "__proto__";
                break;
        }
        if (kKnownTypes.count(type)) type += "!";
        return {"{type: '" + type + "', body: " + anyValue(true) + "}", Message::Unhandled, type};
    }
    // Session messages in any order, for the current, an old or an unsafe id.
    Message audio() {
        static const std::vector<std::string> kinds = {"audioOpen", "audioChunk", "audioPlay",
                                                       "audioSeek", "audioPause", "audioResume",
                                                       "audioClose"};
        std::string kind = pickOf(kinds);
        std::string id = pickOf({"'s1'", "'s2'", "'../../etc'", "5", "R(300)", "null"});
        std::string body = "{type: '" + kind + "', id: " + id;
        if (kind == "audioOpen")
            body += ", duration: " + pickOf({"60", "-1", "1e308", "NaN", "'60'", "0"}) +
                    ", chunkSec: " + pickOf({"30", "0", "-5", "1e-300", "null"}) +
                    ", sampleRate: " + pickOf({"100", "0", "-44100", "1e12", "'48000'", "NaN"}) +
                    ", title: " + anyValue();
        else if (kind == "audioChunk")
            body +=
                ", index: " + pickOf({"0", "1", "-1", "1e20", "2.5", "'0'", "9007199254740993"}) +
                ", data: " + pickOf({"'AAAAAAAAAAA='", "'!!!!'", "'QUJD'", "R(40000)", "7", "''"});
        else if (kind == "audioSeek" || kind == "audioPlay")
            body += ", at: " + pickOf({"10", "-10", "1e308", "-1e308", "NaN", "'5'", "null"});
        return {body + "}"};
    }

    std::mt19937 rng_;
    const std::vector<std::string> kNonObjects = {"42",
                                                  "'save'",
                                                  "null",
                                                  "undefined",
                                                  "[{type: 'log', message: 'in an array'}]",
                                                  "true",
                                                  "{}",
                                                  "new Date(0)",
                                                  "new Map([['type', 'log']])",
                                                  "R(100000)",
                                                  "D(600)"};
    const std::vector<std::string> kBadTypes = {"5",    "null",      "{}",  "['log']",
                                                "true", "undefined", "D(3)"};
};

// "[Lumora]  unhandled message: " and the type fill a line of at most 4 KiB with its mark.
constexpr std::size_t kLongestType = 4096 - 29 - 3;

TEST(HostilePage, HundredThousandMalformedMessagesNeitherCrashNorFloodTheLog) {
    test::TestEnv env;
    test::LogCapture logs;
    std::string webRoot = env.root() + "/web";
    test::makeDirectories(webRoot);
    test::writeFile(webRoot + "/index.html",
                    "<!doctype html><html><body><h1>Hostile</h1></body></html>");

    auto loop = makeGLibMainLoop();
    VirtualAudioOutput output(*loop);
    SessionAudio audio(
        *loop, output, nullptr,
        SessionAudioEnvironment{[&] { return env.cacheHome(); }, [&] { return webRoot; }, {}});
    Counter counter;
    test::WebStack::Options options;
    options.webRoot = webRoot;
    options.dataDirectory = env.dataHome() + "/Lumora";
    options.bridge = {&audio, &counter, &counter, &counter, &counter};
    options.controller = {&audio, nullptr};
    options.loop = loop.get();
    test::WebStack stack(options);
    ASSERT_TRUE(stack.waitForLoads(1));
    // R: a long string; D: nesting n deep; P: posts, reporting a value the channel refused.
    ASSERT_EQ(stack.eval(R"(window.R = n => 'x'.repeat(n);
        window.D = n => { let v = 0; for (let i = 0; i < n; i++) v = i % 2 ? [v] : {v}; return v; };
        window.P = m => { try { window.webkit.messageHandlers.lumora.postMessage(m); return 0; }
                          catch (e) { return 1; } };
        true)"),
              "true");
    std::size_t before = logs.lines.size();

    Generator generator(20261208);
    std::size_t pageLines = 0;
    std::map<std::string, std::size_t> unhandled;
    int refused = 0;
    for (int sent = 0; sent < kMessages; sent += kBatch) {
        std::string script = "(() => { let t = 0;\n";
        for (int i = 0; i < kBatch; ++i) {
            Message m = generator.next();
            if (m.line == Message::PageLine) ++pageLines;
            // A line is cut at 4 KiB, so a long type shows only its beginning.
            if (m.line == Message::Unhandled)
                ++unhandled[m.type.size() > kLongestType ? m.type.substr(0, kLongestType) + "\u2026"
                                                         : m.type];
            script += "t += P(" + m.script + ");\n";
        }
        script += "return t; })()";
        auto result = stack.eval(script);
        ASSERT_TRUE(result) << "batch at " << sent << " did not run";
        refused += std::atoi(result->c_str());
    }
    // Messages arrive in order; this one marks the end.
    ASSERT_EQ(stack.eval("P({type: 'end-of-hostile-messages'})"), "0");
    ASSERT_TRUE(test::spinUntil(
        [&] { return logs.contains("unhandled message: end-of-hostile-messages"); }, 120));
    test::spinFor(0.5);

    std::vector<std::string> lines(logs.lines.begin() + static_cast<long>(before),
                                   logs.lines.end());
    std::size_t gotPage = 0, gotUnhandled = 0, repaired = 0, other = 0;
    std::map<std::string, std::size_t> gotTypes;
    std::vector<std::string> others;
    for (const auto& line : lines) {
        if (line.rfind("[Lumora]  page: ", 0) == 0) {
            ++gotPage;
        } else if (line.rfind("[Lumora]  unhandled message: ", 0) == 0) {
            ++gotUnhandled;
            ++gotTypes[line.substr(29)];
        } else if (line.find("unpaired surrogate(s); replaced by U+FFFD") != line.npos) {
            ++repaired;  // text cut through an emoji: carried, with one line per message
        } else {
            ++other;
            if (others.size() < 5) others.push_back(line.substr(0, 200));
        }
    }
    std::size_t expectedUnhandled = 1;
    for (const auto& [type, n] : unhandled) expectedUnhandled += n;
    unhandled["end-of-hostile-messages"] = 1;
    std::printf(
        "hostile page: %d messages sent (%d refused by the channel), %zu log lines "
        "(%zu page, %zu unhandled, %zu repaired, %zu other); expected %zu page + %zu "
        "unhandled\n",
        kMessages + 1, refused, lines.size(), gotPage, gotUnhandled, repaired, other, pageLines,
        expectedUnhandled);
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(gotPage, pageLines);
    EXPECT_EQ(gotUnhandled, expectedUnhandled);
    EXPECT_EQ(gotTypes, unhandled);
    EXPECT_EQ(other, 0u) << (others.empty() ? "" : others.front());
    for (const auto& line : others) ADD_FAILURE() << "unexpected log line: " << line;

    // Nothing that left the page was let through to a handler.
    for (const auto& uri : counter.opened)
        EXPECT_TRUE(uri.rfind("https:", 0) == 0 || uri.rfind("mailto:", 0) == 0) << uri;
    EXPECT_GT(counter.notes, 0);
    EXPECT_LE(counter.ends, counter.begins);

    // The page, the bridge and the store still work.
    ASSERT_EQ(stack.eval("P({type: 'save', data: {after: true}})"), "0");
    ASSERT_EQ(stack.eval("P({type: 'event', name: 'screen', detail: {screen: 'after'}})"), "0");
    ASSERT_TRUE(test::spinUntil([&] { return stack.controller->screen == "after"; }));
    EXPECT_EQ(stack.store->load(), std::optional<std::string>(R"({"after":true})"));
    EXPECT_EQ(stack.loads, 1) << "the page reloaded";
}

}  // namespace
}  // namespace lumora
