// What the user wrote survives reloads, odd text and crashes, in the real web view.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "tests/support/fakes.hpp"
#include "tests/support/private_mounts.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

namespace lumora {
namespace {

using nlohmann::json;
using test::spinUntil;

class JournalWebTest : public ::testing::Test {
  protected:
    void SetUp() override {
        webRoot = env.root() + "/web";
        dataDir = env.dataHome() + "/Lumora";
        test::makeDirectories(webRoot);
        test::writeFile(webRoot + "/index.html", R"(<!doctype html><html><body>
<p>Journal</p><script>window.loadCount = (window.loadCount || 0) + 1;</script></body></html>)");
    }
    // A page that keeps every note it is told in window.notes.
    void notingPage(const std::string& script = "") {
        test::writeFile(webRoot + "/index.html", R"(<!doctype html><html><body><script>
window.notes = []; window.__lmNote = (text) => window.notes.push(String(text));
)" + script + "</script></body></html>");
    }
    std::unique_ptr<test::WebStack> makeStack() {
        test::WebStack::Options options;
        options.webRoot = webRoot;
        options.dataDirectory = dataDir;
        auto stack = std::make_unique<test::WebStack>(options);
        EXPECT_TRUE(stack->waitForLoads(1));
        return stack;
    }

    test::TestEnv env{test::TestEnv::Options{.privateBus = true}};
    test::LogCapture logs;
    std::string webRoot;
    std::string dataDir;
};

// The page's own reload must not hand it the state and screen of the first load: it
// would show them and save them over what was written since.
TEST_F(JournalWebTest, ReloadGetsTheCurrentStateAndScreenWithOneScript) {
    auto stack = makeStack();
    EXPECT_EQ(stack->evalValue("window.__LUMORA_STATE__"), json());
    stack->post("{type:'save', data:{entries:['first words']}}");
    stack->post("{type:'event', name:'screen', detail:{screen:'journal'}}");
    ASSERT_TRUE(spinUntil([&] { return stack->controller->screen == "journal"; }));
    stack->eval("location.reload(); true");
    ASSERT_TRUE(stack->waitForLoads(2));
    json seen = stack->evalValue(
        "({s: window.__LUMORA_STATE__, r: window.__LUMORA_RESUME__, "
        "n: window.loadCount})");
    EXPECT_EQ(seen["s"], json({{"entries", {"first words"}}}));
    EXPECT_EQ(seen["r"], "journal");
    EXPECT_EQ(seen["n"], 1);
    // One start-up script: its error hook reports a page error once, not once per load.
    stack->eval("setTimeout(() => { throw new Error('one hook'); }); true");
    ASSERT_TRUE(spinUntil([&] { return logs.contains("one hook"); }));
    test::spinFor(0.3);
    int reports = 0;
    for (const auto& line : logs.lines) reports += line.find("one hook") != std::string::npos;
    EXPECT_EQ(reports, 1);
}

// A page that saves as it leaves (pagehide) does so after the next document's start-up
// script was built. What it saved there is what the reloaded page starts from, and the
// document that started from the older state saves nothing over it.
TEST_F(JournalWebTest, ReloadStartsFromTheSaveSentAsThePageLeft) {
    notingPage(R"(addEventListener('pagehide', () => webkit.messageHandlers.lumora.postMessage(
    {type: 'save', data: {typed: window.typed || String(window.__LUMORA_STATE__?.typed)}}));)");
    auto stack = makeStack();
    stack->post("{type:'save', data:{typed:'first'}}");
    stack->eval("window.typed = 'last words'; location.reload(); true");
    ASSERT_TRUE(spinUntil([&] {
        return stack->evalValue("window.__LUMORA_STATE__ && window.__LUMORA_STATE__.typed") ==
               "last words";
    })) << "the reloaded page started from the state before its predecessor's last save";
    test::spinFor(0.5);  // any stale document would have saved by now
    EXPECT_EQ(json::parse(test::readFile(dataDir + "/lumora.json")),
              json({{"typed", "last words"}}));
    EXPECT_EQ(stack->evalValue("window.__LUMORA_STATE__"), json({{"typed", "last words"}}));
    EXPECT_EQ(logs.count("[Lumora] the page saved while it was being replaced; loading it "
                         "again with that save"),
              1u);
    EXPECT_EQ(logs.count("[Lumora] a save from a page that started from an older state was "
                         "not kept"),
              1u);
    for (const auto& line : logs.lines) EXPECT_EQ(line.find("failed"), std::string::npos) << line;
}

// While the disk refuses saves, the newest state lives on in memory, as the page was
// told: a crashed page comes back with it and hears again that it is not on disk, and it
// is written once the disk takes it.
TEST_F(JournalWebTest, FailedSavesSurviveACrashAndAreWrittenOnceTheDiskWorks) {
    RUN_WITH_PRIVATE_MOUNTS(env.root());
    test::Mounts mounts;
    mounts.add(dataDir, 64);
    notingPage();
    auto stack = makeStack();
    stack->post("{type:'save', data:{n:1}}");
    ASSERT_TRUE(spinUntil([&] { return test::fileExists(dataDir + "/lumora.json"); }));
    ASSERT_EQ(mount(nullptr, dataDir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
    stack->post("{type:'save', data:{n:2}}");
    ASSERT_TRUE(spinUntil([&] { return logs.contains("save failed: Read-only file system"); }));
    int pid = stack->webProcessPid();
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    ASSERT_TRUE(stack->waitForLoads(2, 30));
    EXPECT_EQ(stack->evalValue("window.__LUMORA_STATE__"), json({{"n", 2}}));
    ASSERT_TRUE(spinUntil([&] { return stack->evalValue("window.notes.length") == 1; }));
    EXPECT_NE(
        stack->evalValue("window.notes[0]")
            .get<std::string>()
            .find("could not be saved on this computer: its folder cannot be written. What you "
                  "wrote stays here while Lumora is open"),
        std::string::npos);
    EXPECT_EQ(json::parse(test::readFile(dataDir + "/lumora.json")), json({{"n", 1}}));
    ASSERT_EQ(mount(nullptr, dataDir.c_str(), nullptr, MS_REMOUNT, nullptr), 0);
    EXPECT_TRUE(stack->host->writeUnsaved());  // what quitting does
    EXPECT_EQ(json::parse(test::readFile(dataDir + "/lumora.json")), json({{"n", 2}}));
    EXPECT_TRUE(logs.contains("saving works again"));
}

// A saved file cut short starts the page with no state; the first save keeps the old file
// beside it and tells the page where, rather than replacing the whole journal unseen.
TEST_F(JournalWebTest, UnreadableStateFileIsKeptAsideAndThePageIsTold) {
    notingPage();
    const std::string cut = R"({"entries":[{"text":"three years of evenings)";
    test::makeDirectories(dataDir);
    test::writeFile(dataDir + "/lumora.json", cut);
    auto stack = makeStack();
    EXPECT_EQ(stack->evalValue("window.__LUMORA_STATE__"), json());
    EXPECT_EQ(test::readFile(dataDir + "/lumora.json"), cut) << "touched before any save";
    stack->post("{type:'save', data:{entries:[]}}");
    ASSERT_TRUE(spinUntil([&] { return stack->evalValue("window.notes.length") == 1; }));
    std::string note = stack->evalValue("window.notes[0]").get<std::string>();
    auto open = note.find("\u201c"), close = note.find("\u201d");
    ASSERT_NE(open, std::string::npos) << note;
    std::string aside = note.substr(open + 3, close - open - 3);
    EXPECT_TRUE(aside.starts_with(dataDir + "/lumora.json.unreadable-")) << aside;
    EXPECT_EQ(test::readFile(aside), cut);
    EXPECT_EQ(test::readFile(dataDir + "/lumora.json"), R"({"entries":[]})");
    EXPECT_EQ(logs.count("[Lumora] lumora.json could not be read; kept as " + aside +
                         " before saving a new one"),
              1u);
}

// Right click offers editing, never browsing: Back, Forward, Stop and Reload would throw
// away what is on screen.
TEST_F(JournalWebTest, ContextMenuKeepsEditingAndDropsBrowsing) {
    test::initGtk();
    auto stockMenu = [](std::initializer_list<WebKitContextMenuAction> actions) {
        WebKitContextMenu* menu = webkit_context_menu_new();
        for (auto action : actions)
            webkit_context_menu_append(
                menu, action == WEBKIT_CONTEXT_MENU_ACTION_NO_ACTION
                          ? webkit_context_menu_item_new_separator()
                          : webkit_context_menu_item_new_from_stock_action(action));
        return menu;
    };
    auto actionsOf = [](WebKitContextMenu* menu) {
        std::vector<int> actions;
        for (GList* item = webkit_context_menu_get_items(menu); item; item = item->next)
            actions.push_back(webkit_context_menu_item_get_stock_action(
                static_cast<WebKitContextMenuItem*>(item->data)));
        return actions;
    };
    constexpr auto kSeparator = WEBKIT_CONTEXT_MENU_ACTION_NO_ACTION;
    WebKitContextMenu* page =
        stockMenu({WEBKIT_CONTEXT_MENU_ACTION_GO_BACK, WEBKIT_CONTEXT_MENU_ACTION_GO_FORWARD,
                   WEBKIT_CONTEXT_MENU_ACTION_STOP, WEBKIT_CONTEXT_MENU_ACTION_RELOAD, kSeparator,
                   WEBKIT_CONTEXT_MENU_ACTION_INSPECT_ELEMENT});
    EXPECT_FALSE(WebKitBackend::onContextMenu(nullptr, page, nullptr, nullptr));
    EXPECT_EQ(actionsOf(page), std::vector<int>{WEBKIT_CONTEXT_MENU_ACTION_INSPECT_ELEMENT});
    WebKitContextMenu* text = stockMenu(
        {WEBKIT_CONTEXT_MENU_ACTION_SPELLING_GUESS, kSeparator, WEBKIT_CONTEXT_MENU_ACTION_CUT,
         WEBKIT_CONTEXT_MENU_ACTION_COPY, WEBKIT_CONTEXT_MENU_ACTION_PASTE, kSeparator,
         WEBKIT_CONTEXT_MENU_ACTION_OPEN_LINK_IN_NEW_WINDOW, WEBKIT_CONTEXT_MENU_ACTION_RELOAD});
    EXPECT_FALSE(WebKitBackend::onContextMenu(nullptr, text, nullptr, nullptr));
    EXPECT_EQ(actionsOf(text),
              (std::vector<int>{WEBKIT_CONTEXT_MENU_ACTION_SPELLING_GUESS, kSeparator,
                                WEBKIT_CONTEXT_MENU_ACTION_CUT, WEBKIT_CONTEXT_MENU_ACTION_COPY,
                                WEBKIT_CONTEXT_MENU_ACTION_PASTE}));
    // Nothing left: no menu at all rather than an empty one.
    WebKitContextMenu* browsing = stockMenu(
        {WEBKIT_CONTEXT_MENU_ACTION_GO_BACK, kSeparator, WEBKIT_CONTEXT_MENU_ACTION_RELOAD});
    EXPECT_TRUE(WebKitBackend::onContextMenu(nullptr, browsing, nullptr, nullptr));
    // Open Link on a link of the page's own would take the window away from the page.
    WebKitContextMenu* link = stockMenu({WEBKIT_CONTEXT_MENU_ACTION_OPEN_LINK,
                                         WEBKIT_CONTEXT_MENU_ACTION_OPEN_LINK_IN_NEW_WINDOW,
                                         WEBKIT_CONTEXT_MENU_ACTION_COPY_LINK_TO_CLIPBOARD});
    EXPECT_FALSE(WebKitBackend::onContextMenu(nullptr, link, nullptr, nullptr));
    EXPECT_EQ(actionsOf(link), std::vector<int>{WEBKIT_CONTEXT_MENU_ACTION_COPY_LINK_TO_CLIPBOARD});
    for (auto* menu : {page, text, browsing, link}) g_object_unref(menu);
}

// A text cut through an emoji holds a lone surrogate. The message still arrives, saves
// included, with U+FFFD in its place and everything else intact.
TEST_F(JournalWebTest, LoneSurrogatesArriveAsReplacementCharacters) {
    auto stack = makeStack();
    stack->post(R"({type:'save', data:{'key\uD800': 'a\uDC00b', whole: 'ok 😀', cut: 'x\uD83D',
                     list: ['\uDE00y']}})");
    std::string file = dataDir + "/lumora.json";
    ASSERT_TRUE(spinUntil([&] { return test::fileExists(file); }));
    EXPECT_EQ(json::parse(test::readFile(file)),
              json::parse(R"({"key\ufffd":"a\ufffdb","whole":"ok 😀","cut":"x\ufffd",
                              "list":["\ufffdy"]})"));
    // The ordinary path too, keys included.
    stack->post(R"({type:'log', message:'end\uD83D'})");
    stack->post(R"({type:'event', name:'screen', detail:{screen:'journal', ['k\uDBFF']: 1}})");
    ASSERT_TRUE(spinUntil([&] { return stack->controller->screen == "journal"; }));
    EXPECT_EQ(logs.count("[Lumora]  page: end\xEF\xBF\xBD"), 1u);
    int repaired = 0;
    for (const auto& line : logs.lines) repaired += line.find("unpaired surrogate") != line.npos;
    EXPECT_EQ(repaired, 3) << "one line per message that needed it";
}

// After a crash, a page that moved with history.pushState comes back from the start
// page, with the current state, rather than blank.
TEST_F(JournalWebTest, CrashAfterPushStateComesBackFromTheStartPage) {
    auto stack = makeStack();
    stack->post("{type:'save', data:{n:3}}");
    stack->eval("history.pushState({}, '', '/journal/today'); true");
    ASSERT_EQ(stack->evalValue("location.href"), "lumora://app/journal/today");
    int pid = stack->webProcessPid();
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    // The failed reload of the pushed address also ends a load; the page's own is next.
    ASSERT_TRUE(spinUntil([&] { return logs.count("[Lumora] page loaded") == 2; }, 30));
    EXPECT_TRUE(logs.contains("reloading from the start page"));
    json seen = stack->evalValue("({href: location.href, s: window.__LUMORA_STATE__})");
    EXPECT_EQ(seen["href"], "lumora://app/index.html");
    EXPECT_EQ(seen["s"], json({{"n", 3}}));
}

// Three crashes within a minute stop the reloads for a while, not for good: the page
// comes back by itself, with the state, while the window just sits there.
TEST_F(JournalWebTest, CrashLoopComesBackAfterAWait) {
    auto stack = makeStack();
    stack->post("{type:'save', data:{n:5}}");
    for (int crash = 1; crash <= Bridge::kCrashLimit; ++crash) {
        int pid = stack->webProcessPid();
        ASSERT_GT(pid, 0);
        kill(pid, SIGKILL);
        if (crash < Bridge::kCrashLimit) {
            ASSERT_TRUE(stack->waitForLoads(crash + 1, 30));
        }
    }
    ASSERT_TRUE(spinUntil([&] { return stack->controller->bridge().reloadSuspended(); }));
    EXPECT_TRUE(logs.contains("trying again in 5 seconds"));
    int loads = stack->loads;
    test::spinFor(Bridge::kRetryDelays[0] - 1.5);
    EXPECT_EQ(stack->loads, loads) << "reloaded before the wait was over";
    ASSERT_TRUE(stack->waitForLoads(loads + 1, 10));
    EXPECT_TRUE(logs.contains("reloading the page after waiting"));
    EXPECT_EQ(stack->evalValue("window.__LUMORA_STATE__"), json({{"n", 5}}));
}

}  // namespace
}  // namespace lumora
