#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "container/base/page_call.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/forwarding_host.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

namespace lumora {
namespace {

using nlohmann::json;
using test::spinUntil;

// Services that record what the bridge hands them.
struct Recorder final : AudioMessages,
                        PdfExporter,
                        SharePicker,
                        ActivityInhibitor,
                        UrlOpener,
                        CloudService,
                        ReminderService {
    void setWebView(WeakPageView v) override { view = v; }
    void handle(const std::string& type, json body) override {
        received.push_back(type + " " + body.value("id", ""));
    }
    std::optional<std::string> makePdf(const std::string&, const json&) override {
        received.push_back("makePdf");
        return std::nullopt;
    }
    void presentSavePanel(const std::string&, WeakPageView) override {}
    void sendPdfNote(WeakPageView v, const std::string& text) override {
        received.push_back("note");
        if (auto arg = textArgument(text)) evaluateIfAlive(v, pageCall("__lmNote", *arg));
    }
    void share(const std::string& s, const std::string&, WeakPageView) override {
        received.push_back("share " + s);
    }
    void begin(const std::string&) override { received.push_back("begin"); }
    void end() override { received.push_back("end"); }
    void open(const std::string& uri) override {
        received.push_back("open " + uri);
        if (real) real->open(uri);
    }
    // Cloud sync is off, so nothing pulls on its own after a load.
    bool isEnabled() override { return false; }
    void push(const json& value, bool sync) override {
        received.push_back("push " + value.dump() + (sync ? " sync" : ""));
    }
    void pull() override { received.push_back("pull"); }
    void forget() override { received.push_back("forget"); }
    void update(bool on, const std::string& time) override {
        received.push_back(std::string("reminder ") + (on ? "on " : "off ") + time);
    }
    WeakPageView view;
    std::vector<std::string> received;
    UrlOpener* real = nullptr;
};

// The standalone host with the calls that only reach the host recorded in front of it.
struct RecordingHost final : test::ForwardingHost {
    RecordingHost(LumoraHost& inner, std::vector<std::string>& received)
        : ForwardingHost(inner), received(received) {}
    void handleEvent(const std::string& name, const json& detail) override {
        received.push_back("event " + name + " " + detail.dump());
        inner.handleEvent(name, detail);
    }
    void close(const std::string& reason) override {
        received.push_back("close " + reason);
        inner.close(reason);
    }
    std::vector<std::string>& received;
};

class WebContainerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        webRoot = env.root() + "/web";
        test::makeDirectories(webRoot);
        test::writeFile(webRoot + "/index.html",
                        R"(<!doctype html><html><body style="background:#123456">
<h1 id="title">Test page</h1>
<a id="out" href="https://example.org/page" style="display:block;height:80px">out</a>
<a id="popup" target="_blank" href="https://example.org/popup"
   style="display:block;height:80px">popup</a>
<a id="file" href="file:///etc/hostname">file</a>
<script>
window.notes = [];
window.__lmNote = function (t) { window.notes.push(t); };
window.loadCount = (window.loadCount || 0) + 1;
</script></body></html>)");
    }
    std::unique_ptr<test::WebStack> makeStack() {
        test::WebStack::Options options;
        options.webRoot = webRoot;
        options.dataDirectory = env.dataHome() + "/Lumora";
        options.bridge = {&rec, &rec, &rec, &rec, &rec};
        options.controller = {&rec, nullptr};
        options.cloud = &rec;
        options.reminder = &rec;
        options.wrapHost = [this](LumoraHost& standalone) -> std::unique_ptr<LumoraHost> {
            return std::make_unique<RecordingHost>(standalone, rec.received);
        };
        auto stack = std::make_unique<test::WebStack>(options);
        EXPECT_TRUE(stack->waitForLoads(1));
        return stack;
    }
    // A real click, through the X server, on the middle of the element with this id.
    void click(test::WebStack& stack, const std::string& id) {
        json at = stack.evalValue("(() => { const r = document.getElementById('" + id +
                                  "').getBoundingClientRect();"
                                  " return [Math.round(r.x + r.width / 2),"
                                  " Math.round(r.y + r.height / 2)]; })()");
        ASSERT_TRUE(at.is_array()) << id;
        std::string window =
            test::runCommand("xdotool search --onlyvisible --pid " + std::to_string(getpid()) +
                             " 2>/dev/null | head -n 1");
        ASSERT_FALSE(window.empty());
        window.pop_back();
        test::runCommand("xdotool mousemove --window " + window + " " + at[0].dump() + " " +
                         at[1].dump() + " click 1");
    }

    test::TestEnv env{test::TestEnv::Options{.privateBus = true}};
    test::LogCapture logs;
    Recorder rec;
    std::string webRoot;
};

TEST_F(WebContainerTest, PageSeesItsGlobalsWithStateAsAValue) {
    test::makeDirectories(env.dataHome() + "/Lumora");
    test::writeFile(env.dataHome() + "/Lumora/lumora.json", R"({"days":[1,2],"name":"é"})");
    auto stack = makeStack();
    json globals =
        stack->evalValue(R"(({state: window.__LUMORA_STATE__, type: typeof window.__LUMORA_STATE__,
        native: window.__LUMORA_NATIVE__, platform: window.__LUMORA_PLATFORM__,
        host: window.__LUMORA_HOST__, inset: window.__LUMORA_INSET_TOP__,
        direct: window.__LUMORA_DIRECT__, resume: window.__LUMORA_RESUME__ === undefined}))");
    EXPECT_EQ(globals["state"], json::parse(R"({"days":[1,2],"name":"é"})"));
    EXPECT_EQ(globals["type"], "object");
    EXPECT_EQ(globals["native"], true);
    EXPECT_EQ(globals["platform"], "linux");
    EXPECT_EQ(globals["host"], "standalone");
    EXPECT_EQ(globals["inset"], 30);
    EXPECT_EQ(globals["direct"], true);
    EXPECT_EQ(globals["resume"], true);
    EXPECT_EQ(logs.count("[Lumora] creating web view (standalone)"), 1u);
    EXPECT_EQ(logs.count("[Lumora] page loaded"), 1u);
}

TEST_F(WebContainerTest, MessagesOfEveryTypeReachTheirHandler) {
    auto stack = makeStack();
    // The load itself reaches no service (cloud sync is off).
    test::spinFor(StandaloneHost::kPullDelay + 0.2);
    EXPECT_EQ(rec.received, std::vector<std::string>{});
    stack->post("{type:'save', data:{a:[1,'x']}, sync:false}");
    stack->post("{type:'save', data:{b:2}, sync:true}");
    stack->post("{type:'log', message:'hello from page'}");
    stack->post("{type:'event', name:'screen', detail:{screen:'journal'}}");
    stack->post("{type:'close', reason:'done'}");
    stack->post("{type:'close'}");
    stack->post("{type:'session', active:true}");
    stack->post("{type:'session', active:false}");
    for (const char* audio : {"audioOpen", "audioChunk", "audioPlay", "audioSeek", "audioPause",
                              "audioResume", "audioClose"})
        stack->post(std::string("{type:'") + audio + "', id:'s1'}");
    stack->post("{type:'reminder', on:true, time:'06:45'}");
    stack->post("{type:'reminder', on:false}");
    stack->post("{type:'share', subject:'Hi', text:'t'}");
    stack->post("{type:'sharePdf', blocks:[{kind:'p', text:'x'}]}");
    stack->post("{type:'open', url:'https://example.org/help'}");
    stack->post("{type:'review', url:'https://example.org/review'}");
    stack->post("{type:'review', explicit:true, url:'https://example.org/review'}");
    stack->post("{type:'cloudPull'}");
    stack->post("{type:'cloudForget'}");
    stack->post("{type:'nobodyKnows'}");
    stack->post("'not a dictionary'");
    ASSERT_TRUE(spinUntil([&] { return logs.contains("unhandled message: nobodyKnows"); }));
    stack->host->finishWrites();
    EXPECT_EQ(test::readFile(env.dataHome() + "/Lumora/lumora.json"), R"({"b":2})");
    EXPECT_EQ(logs.count("[Lumora]  page: hello from page"), 1u);
    EXPECT_EQ(stack->controller->screen, "journal");
    EXPECT_EQ(rec.received, (std::vector<std::string>{R"(push {"a":[1,"x"]})",
                                                      R"(push {"b":2} sync)",
                                                      R"(event screen {"screen":"journal"})",
                                                      "close done",
                                                      "close back",
                                                      "begin",
                                                      "end",
                                                      "audioOpen s1",
                                                      "audioChunk s1",
                                                      "audioPlay s1",
                                                      "audioSeek s1",
                                                      "audioPause s1",
                                                      "audioResume s1",
                                                      "audioClose s1",
                                                      "reminder on 06:45",
                                                      "reminder off 07:30",
                                                      "share Hi",
                                                      "makePdf",
                                                      "note",
                                                      "open https://example.org/help",
                                                      "open https://example.org/review",
                                                      "pull",
                                                      "forget"}));
    // Every one of them was someone's; only the unknown type is logged as unhandled.
    for (const auto& line : logs.lines) {
        if (line.find("unhandled message: ") != std::string::npos) {
            EXPECT_EQ(line, "[Lumora]  unhandled message: nobodyKnows");
        }
    }
}

TEST_F(WebContainerTest, NoteTextArrivesExactly) {
    auto stack = makeStack();
    stack->post("{type:'sharePdf'}");
    ASSERT_TRUE(spinUntil([&] { return stack->evalValue("window.notes.length") == json(1); }));
    EXPECT_EQ(stack->evalValue("window.notes[0]"), "The PDF could not be made (no content).");
    const std::string tricky = "It's \"quoted\" \\ back\nslash </script> ☃";
    auto arg = textArgument(tricky);
    ASSERT_TRUE(arg);
    stack->backend->evaluate(pageCall("__lmNote", *arg));
    ASSERT_TRUE(spinUntil([&] { return stack->evalValue("window.notes.length") == json(2); }));
    EXPECT_EQ(stack->evalValue("window.notes[1]"), tricky);
    // A call to a callback the page lacks is harmless.
    stack->backend->evaluate(pageCall("__lmMissing", "1"));
    EXPECT_EQ(stack->evalValue("document.getElementById('title').textContent"), "Test page");
}

TEST_F(WebContainerTest, QueuedScriptsRunOnceInOrderAfterLoad) {
    test::WebStack::Options options;
    options.webRoot = webRoot;
    options.dataDirectory = env.dataHome() + "/Lumora";
    test::WebStack stack(options);
    // Queued before the first load has finished.
    for (int i = 0; i < 3; ++i)
        stack.controller->runScript("window.ran = (window.ran || []).concat([" + std::to_string(i) +
                                    "])");
    ASSERT_TRUE(stack.waitForLoads(1));
    ASSERT_TRUE(spinUntil([&] { return stack.evalValue("window.ran") == json({0, 1, 2}); }));
    stack.controller->runScript("window.ran.push(3)");
    ASSERT_TRUE(spinUntil([&] { return stack.evalValue("window.ran") == json({0, 1, 2, 3}); }));
    EXPECT_EQ(
        logs.count("[Lumora] running queued script: window.ran = (window.ran || []).concat([1])"),
        1u);
}

TEST_F(WebContainerTest, HttpsLinkOpensInDefaultHandlerAndPageStays) {
    std::string opened = env.fakeDefaultHandler({"https", "http", "mailto"});
    struct RealOpener final : UrlOpener {
        void open(const std::string& uri) override {
            g_app_info_launch_default_for_uri(uri.c_str(), nullptr, nullptr);
        }
    } real;
    rec.real = &real;
    auto stack = makeStack();
    click(*stack, "out");
    ASSERT_TRUE(spinUntil([&] { return test::readFile(opened) == "https://example.org/page\n"; }));
    test::spinFor(0.3);
    EXPECT_EQ(stack->evalValue("location.href"), "lumora://app/index.html");
    EXPECT_EQ(stack->evalValue("window.loadCount"), 1);
    // A new-window link follows the same policy and never makes a second view.
    click(*stack, "popup");
    ASSERT_TRUE(spinUntil([&] {
        return test::readFile(opened) == "https://example.org/page\nhttps://example.org/popup\n";
    }));
    // Once only: the new-window decision, not also the window it would have made.
    test::spinFor(0.3);
    EXPECT_EQ(test::readFile(opened), "https://example.org/page\nhttps://example.org/popup\n");
}

TEST_F(WebContainerTest, AboutBlankStaysAndFileAndCustomSchemesAreRefused) {
    auto stack = makeStack();
    // WebKit stops a page from reaching file: URLs itself, before the navigation policy is
    // asked (there is no "navigation refused" line for them): the page stays, nothing opens.
    stack->eval("location.href = 'file:///etc/hostname'; true");
    stack->eval("document.getElementById('file').click(); true");
    stack->eval("location.href = 'ssh://host.example/'; true");
    ASSERT_TRUE(spinUntil([&] { return logs.contains("navigation refused: ssh://host.example"); }));
    test::spinFor(0.3);
    EXPECT_EQ(stack->evalValue("location.href"), "lumora://app/index.html");
    EXPECT_EQ(stack->evalValue("window.loadCount"), 1);
    EXPECT_EQ(stack->loads, 1);
    EXPECT_TRUE(rec.received.empty());
    stack->eval("location.href = 'about:blank'; true");
    ASSERT_TRUE(spinUntil([&] { return stack->evalValue("location.href") == "about:blank"; }));
}

// The browser opens only when the user asks: a timer's window.open, an https iframe and
// page code run by the program's own page calls (which the engine counts as the user's)
// open nothing, while a link the user clicks (a click from the window system) does.
TEST_F(WebContainerTest, OnlyTheUsersClickOpensTheBrowser) {
    test::writeFile(webRoot + "/index.html", R"(<!doctype html><html><body style="margin:0">
<a id="big" href="https://example.org/clicked"
   style="display:block;width:400px;height:400px;background:#234">click</a>
<iframe src="https://example.org/frame"></iframe>
<script>window.loadCount = (window.loadCount || 0) + 1;
window.__lmNative = () => { location.href = 'https://native.example/a'; };
window.__lmCloud = () => { window.open('https://cloud.example/b'); };
setTimeout(() => window.open('https://example.org/timer'), 300);</script></body></html>)");
    auto stack = makeStack();
    ASSERT_TRUE(
        spinUntil([&] { return logs.contains("navigation refused: https://example.org"); }));
    stack->controller->runScript(pageCall("__lmNative", "{}"));
    stack->controller->runScript(pageCall("__lmCloud", "{}"));
    ASSERT_TRUE(spinUntil([&] {
        return !rec.received.empty() ||
               (logs.contains("navigation refused: https://native.example") &&
                logs.contains("navigation refused: https://cloud.example"));
    }));
    test::spinFor(1.0);
    EXPECT_TRUE(rec.received.empty()) << rec.received.front();
    click(*stack, "big");
    ASSERT_TRUE(spinUntil([&] { return !rec.received.empty(); }));
    EXPECT_EQ(rec.received, std::vector<std::string>{"open https://example.org/clicked"});
    // No second window or view, and the page stays.
    GList* toplevels = gtk_window_list_toplevels();
    EXPECT_EQ(g_list_length(toplevels), 1u);
    g_list_free(toplevels);
    EXPECT_EQ(stack->evalValue("location.href"), "lumora://app/index.html");
    EXPECT_EQ(stack->evalValue("window.loadCount"), 1);
}

TEST_F(WebContainerTest, KilledWebProcessReloadsOnceWithStateAndScreen) {
    auto stack = makeStack();
    stack->post("{type:'save', data:{n:7}}");
    stack->post("{type:'event', name:'screen', detail:{screen:'journal'}}");
    ASSERT_TRUE(spinUntil([&] { return stack->controller->screen == "journal"; }));
    int pid = stack->webProcessPid();
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    ASSERT_TRUE(stack->waitForLoads(2));
    test::spinFor(0.5);
    EXPECT_EQ(stack->loads, 2);
    EXPECT_EQ(logs.count("[Lumora] web content process terminated"), 1u);
    json globals = stack->evalValue("({s: window.__LUMORA_STATE__, r: window.__LUMORA_RESUME__})");
    EXPECT_EQ(globals["s"], json({{"n", 7}}));
    EXPECT_EQ(globals["r"], "journal");
    EXPECT_TRUE(stack->controller->loaded);
}

TEST_F(WebContainerTest, SchemeServesAssetsAndFailsMissingOnes) {
    test::makeDirectories(webRoot + "/assets");
    test::writeFile(webRoot + "/assets/data.json", R"({"ok":1})");
    auto stack = makeStack();
    stack->eval(R"(window.results = [];
      fetch('lumora://app/assets/data.json').then(r => r.json().then(j =>
        window.results.push([r.status, r.headers.get('content-type'), j.ok])));
      fetch('lumora://app/../secret.txt').catch(() => window.results.push(['failed']));
      true)");
    ASSERT_TRUE(spinUntil([&] { return stack->evalValue("window.results.length") == json(2); }));
    json results = stack->evalValue("window.results");
    EXPECT_NE(std::find(results.begin(), results.end(), json({200, "application/json", 1})),
              results.end());
    EXPECT_NE(std::find(results.begin(), results.end(), json({"failed"})), results.end());
}

// Module scripts and WebAssembly, which the engine refuses under a generic type.
TEST_F(WebContainerTest, ModuleScriptsAndWebAssemblyLoad) {
    test::writeFile(webRoot + "/index.html", R"(<!doctype html><html><body>
<script type="module" src="main.mjs"></script></body></html>)");
    test::writeFile(webRoot + "/main.mjs", R"(import { answer } from './answer.mjs';
window.moduleAnswer = answer;
WebAssembly.instantiateStreaming(fetch('empty.wasm'))
  .then(() => { window.wasm = 'ok'; }, (e) => { window.wasm = String(e); });)");
    test::writeFile(webRoot + "/answer.mjs", "export const answer = 42;\n");
    test::writeFile(webRoot + "/empty.wasm", std::string("\0asm\x01\0\0\0", 8));
    auto stack = makeStack();
    ASSERT_TRUE(spinUntil([&] { return stack->evalValue("window.wasm || null") != json(); }));
    EXPECT_EQ(stack->evalValue("window.moduleAnswer"), 42);
    EXPECT_EQ(stack->evalValue("window.wasm"), "ok");
}

TEST_F(WebContainerTest, WindowScreenshotIsNotBlank) {
    auto stack = makeStack();
    std::string shot = test::artifactDirectory() + "/web-container-window.png";
    // The page's own background (#123456) fills the window once it has painted.
    EXPECT_TRUE(test::screenshotNotUniform(shot, 0.5)) << shot;
}

}  // namespace
}  // namespace lumora
