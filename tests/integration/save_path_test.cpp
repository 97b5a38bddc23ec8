#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/fakes.hpp"
#include "tests/support/forwarding_host.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

namespace lumora::test {
namespace {

using nlohmann::json;

constexpr const char* kPage = R"HTML(<!doctype html>
<html><body><script>
function post(m) {
  try { window.webkit.messageHandlers.lumora.postMessage(m); } catch (e) {}
  return true;
}
function nest(n) { let v = 1; for (let i = 0; i < n; i++) v = [v]; return v; }
</script></body></html>)HTML";

// One save as it reached the host, with what the database file held after it.
struct Save {
    json value;
    bool sync = false;
    std::string file;
};

// The standalone host behind a recorder of every save that reaches it.
struct SaveRecorder final : ForwardingHost {
    SaveRecorder(StandaloneHost& inner, std::string databasePath)
        : ForwardingHost(inner), standalone(inner), databasePath(std::move(databasePath)) {}
    void saveState(const json& data, bool sync) override {
        inner.saveState(data, sync);
        saves.push_back({data, sync, fileText()});
    }
    void saveDocument(std::string document, bool sync) override {
        inner.saveDocument(document, sync);
        saves.push_back({json::parse(document), sync, fileText()});
    }
    std::string fileText() const {
        standalone.finishWrites();
        return fileExists(databasePath) ? readFile(databasePath) : std::string();
    }
    StandaloneHost& standalone;
    std::string databasePath;
    std::vector<Save> saves;
};

// Saves taken straight from the engine's JSON text must store exactly what the ordinary
// path (parse the whole message, print the data) stores, and refuse the same ones.
class SavePath : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string webRoot = env.root() + "/web";
        makeDirectories(webRoot);
        writeFile(webRoot + "/index.html", kPage);
        initGtk();
        WebStack::Options options;
        options.webRoot = webRoot;
        options.dataDirectory = env.dataHome() + "/Lumora";
        options.wrapHost = [this,
                            path = options.dataDirectory + "/lumora.json"](LumoraHost& standalone) {
            auto recorder =
                std::make_unique<SaveRecorder>(static_cast<StandaloneHost&>(standalone), path);
            this->recorder = recorder.get();
            return recorder;
        };
        stack = std::make_unique<WebStack>(options);
        ASSERT_TRUE(stack->waitForLoads(1));
    }

    // The saves one message caused, with the file set to kBefore first; a log message
    // after it marks when it has been handled.
    std::vector<Save> post(const std::string& message, bool fast) {
        stack->backend->setSaveFastPath(fast);
        recorder->saves.clear();
        writeFile(stack->store->path(), kBefore);
        std::string marker = "handled " + std::to_string(++posted) + ".";
        EXPECT_EQ(stack->eval("post(" + message + ")"), "true") << message;
        EXPECT_EQ(stack->eval("post({type: 'log', message: '" + marker + "'})"), "true");
        EXPECT_TRUE(spinUntil([&] { return logs.contains("page: " + marker); })) << message;
        return recorder->saves;
    }

    // Both paths, which must store the same bytes; the direct one must have been taken
    // when expected.
    std::vector<Save> both(const std::string& message, bool direct) {
        auto before = stack->backend->fastSaves();
        auto fast = post(message, true);
        EXPECT_EQ(stack->backend->fastSaves() - before, direct ? 1u : 0u) << message;
        before = stack->backend->fastSaves();
        auto ordinary = post(message, false);
        EXPECT_EQ(stack->backend->fastSaves(), before) << message;
        EXPECT_EQ(fast.size(), ordinary.size()) << message;
        for (std::size_t i = 0; i < std::min(fast.size(), ordinary.size()); ++i) {
            EXPECT_EQ(fast[i].value, ordinary[i].value) << message;
            EXPECT_EQ(fast[i].sync, ordinary[i].sync) << message;
            EXPECT_EQ(fast[i].file, ordinary[i].file) << message;
        }
        return fast;
    }

    static constexpr const char* kBefore = R"({"before":true})";
    TestEnv env;
    LogCapture logs;
    int posted = 0;
    SaveRecorder* recorder = nullptr;
    std::unique_ptr<WebStack> stack;
};

TEST_F(SavePath, DocumentsLandAsTheOrdinaryPathLandsThem) {
    struct Case {
        std::string message;
        json value;
        bool sync;
        bool direct = true;
    };
    const std::vector<Case> cases = {
        {"{type: 'save', sync: true, data: {b: 1, a: [true, null, 'caf\\u00e9 \\ud83d\\ude00'], "
         "q: 'say \"hi\"\\n\\u0001'}}",
         {{"a", {true, nullptr, "café 😀"}}, {"b", 1}, {"q", "say \"hi\"\n\x01"}},
         true},
        {"{type: 'save', data: [1, 2.5, -0, 1e21, 1e-7, 2e-308, NaN, -Infinity]}",
         {1, 2.5, 0, 1e21, 1e-7, 2e-308, nullptr, nullptr},
         false},
        // The engine writes this one without an exponent, beyond 64-bit integers.
        {"{type: 'save', data: [123456789012345680000]}", {1.2345678901234568e20}, false, false},
        {"{type: 'save', sync: 'yes', data: {when: new Date(0), gone: undefined}}",
         {{"when", "1970-01-01T00:00:00.000Z"}},
         false},
        {"{type: 'save', sync: true, data: {}, extra: nest(200)}", json::object(), true},
        {"{type: 'save', data: nest(255)}",
         json::parse(std::string(255, '[') + "1" + std::string(255, ']')), false},
        // A surrogate without its partner (a text cut through an emoji) becomes U+FFFD.
        {"{type: 'save', data: {note: 'half \\ud800'}}", {{"note", "half \uFFFD"}}, false},
        {"{type: 'save', data: ['\\udc00 low first']}", {"\uFFFD low first"}, false},
    };
    for (const auto& c : cases) {
        auto saves = both(c.message, c.direct);
        ASSERT_EQ(saves.size(), 1u) << c.message;
        EXPECT_EQ(saves[0].value, c.value) << c.message;
        EXPECT_EQ(saves[0].sync, c.sync) << c.message;
        EXPECT_EQ(saves[0].file, c.value.dump()) << c.message;
    }
    // The engine lists keys in no fixed order; the file has them sorted, so the same state
    // saved again is the same text and the cloud copy is not written again.
    for (int round = 0; round < 3; ++round) {
        auto saves =
            post("{type: 'save', data: {z: 1, k3: 0, k1: 0, k2: 0, a: {y: 2, b: 3}}}", true);
        ASSERT_EQ(saves.size(), 1u);
        EXPECT_EQ(saves[0].file, R"({"a":{"b":3,"y":2},"k1":0,"k2":0,"k3":0,"z":1})");
    }
}

TEST_F(SavePath, RefusedMessagesAreRefusedOnBothPaths) {
    // Too deep with the message's own level, and a malformed field beside a good state:
    // each message is dropped whole.
    for (const std::string message :
         {"{type: 'save', data: nest(256)}", "{type: 'save', data: {fine: 1}, sync: nest(300)}"}) {
        EXPECT_TRUE(both(message, false).empty()) << message;
    }
    // Data that is not an object or array reaches the host as a value; nothing is stored.
    for (const std::string message :
         {"{type: 'save', data: new Date(0)}", "{type: 'save', data: 'text'}",
          "{type: 'save', data: 5}", "{type: 'save', data: null}"}) {
        auto saves = both(message, false);
        ASSERT_EQ(saves.size(), 1u) << message;
        EXPECT_FALSE(saves[0].value.is_object() || saves[0].value.is_array()) << message;
        EXPECT_EQ(saves[0].file, kBefore) << message;
    }
}

}  // namespace
}  // namespace lumora::test
