// The real page in the real web view: the user's flows, driven by DOM events.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/page/page_driver.hpp"

namespace lumora {
namespace {

using nlohmann::json;
using test::PageDriver;
using test::spinFor;
using test::spinUntil;

class PageFlowTest : public ::testing::Test {
  protected:
    test::TestEnv env;
    test::LogCapture logs;
    test::PageRecorder rec;

    std::unique_ptr<PageDriver> start(const std::string& seed = "") {
        return std::make_unique<PageDriver>(env, rec, PageDriver::Size{1180, 820}, seed);
    }
    void TearDown() override {
        // Script errors in the page reach the log through the start-up script's hooks.
        for (const auto& line : logs.lines)
            EXPECT_EQ(line.find(" page: "), std::string::npos) << line;
    }
};

TEST_F(PageFlowTest, FirstStartShowsIntroOnceThenHome) {
    auto page = start();
    ASSERT_TRUE(page->waitScreen("intro"));
    EXPECT_EQ(page->stack().controller->screen, "intro");
    // The intro keeps the window-control strip clear.
    EXPECT_GE(page->number("document.getElementById('intro-title').getBoundingClientRect().top"),
              30);
    page->click("#intro-start");
    ASSERT_TRUE(page->waitScreen("home"));
    EXPECT_EQ(page->stack().controller->screen, "home");
    EXPECT_TRUE(page->waitSaved([](json s) { return s.value("introDone", false); }));
    // Today's facet and the gem are there; the locked facets say how they open.
    EXPECT_FALSE(page->text("#today-name").empty());
    EXPECT_EQ(page->number("document.querySelectorAll('#home-gem polygon.facet').length"), 6);
    EXPECT_EQ(page->number("document.querySelectorAll('#home-facets .chip.locked').length"), 2);
    page.reset();

    auto again = start();
    ASSERT_TRUE(again->waitScreen("home"));
}

TEST_F(PageFlowTest, JournalEntrySurvivesARestart) {
    const std::string text = "Tea on the balcony, \"quiet\" & slow \\ no rush";
    {
        auto page = start();
        ASSERT_TRUE(page->waitScreen("intro"));
        page->click("#intro-start");
        ASSERT_TRUE(page->waitScreen("home"));
        page->click("#nav-journal");
        ASSERT_TRUE(page->waitScreen("journal"));
        page->type("#composer-text", text);
        page->click("#composer-save");
        EXPECT_NE(page->text("#journal-entries").find(text), std::string::npos);
        ASSERT_TRUE(page->waitSaved([&](json s) {
            if (!s.contains("entries") || !s["entries"].is_object()) return false;
            for (const auto& e : s["entries"])
                if (e.value("text", "") == text) return true;
            return false;
        }));
    }
    auto page = start();
    ASSERT_TRUE(page->waitScreen("home"));
    // Writing the reflection polished today.
    EXPECT_NE(page->text("#home-stats").find("1 day polished"), std::string::npos);
    page->click("#nav-journal");
    ASSERT_TRUE(page->waitScreen("journal"));
    EXPECT_NE(page->text("#journal-entries").find(text), std::string::npos);
    page->type("#journal-search", "balcony");
    EXPECT_EQ(page->number("document.querySelectorAll('#journal-entries .entry').length"), 1);
    page->type("#journal-search", "mountains");
    EXPECT_EQ(page->number("document.querySelectorAll('#journal-entries .entry').length"), 0);
}

TEST_F(PageFlowTest, JournalExportsAndSharesThroughTheBridge) {
    auto page = start(R"({"introDone":true,"entries":{"e1":{"id":"e1","day":"2026-12-01",
        "facet":"calm","text":"First light","createdAt":1,"updatedAt":1}}})");
    ASSERT_TRUE(page->waitScreen("home"));
    page->click("#nav-journal");
    ASSERT_TRUE(page->waitScreen("journal"));
    page->click("#journal-export");
    ASSERT_TRUE(spinUntil([&] { return rec.pdfBlocks.is_array(); }));
    EXPECT_EQ(rec.pdfName, "Lumora Journal");
    bool item = false;
    for (const auto& b : rec.pdfBlocks)
        item |= b.value("k", "") == "item" && b.value("t", "") == "First light";
    EXPECT_TRUE(item) << rec.pdfBlocks.dump();
    page->click("#journal-entries .entry-actions button");
    ASSERT_TRUE(spinUntil([&] { return !rec.shares.empty(); }));
    EXPECT_EQ(rec.shares[0].first, "My Lumora reflection · Calm · Tue 1 Dec 2026");
    EXPECT_EQ(rec.shares[0].second.rfind("First light", 0), 0u);
    // A note from native code shows as a notice.
    page->eval("window.__lmNote(\"The PDF could not be made.\"); true");
    EXPECT_NE(page->text("#notices").find("The PDF could not be made."), std::string::npos);
}

TEST_F(PageFlowTest, SettingsSendReminderSyncLinksAndReview) {
    auto page = start(R"({"introDone":true})");
    ASSERT_TRUE(page->waitScreen("home"));
    page->click("#nav-settings");
    ASSERT_TRUE(page->waitScreen("settings"));
    page->type("#reminder-time", "21:05", "change");
    page->click("#reminder-on");
    ASSERT_TRUE(spinUntil([&] { return !rec.reminders.empty(); }));
    EXPECT_EQ(rec.reminders.back(), "on 21:05");
    page->click("[data-open^='https']");
    page->click("#review");
    ASSERT_TRUE(spinUntil([&] { return rec.opened.size() >= 2; }));
    EXPECT_EQ(rec.opened[0].rfind("https://", 0), 0u);
    EXPECT_EQ(rec.opened[1], "https://lumora.app/review");

    // Sync on asks the cloud first; the save that records the switch follows the answer.
    page->click("#sync-on");
    ASSERT_TRUE(spinUntil([&] { return rec.count("cloudPull") == 1; }));
    page->eval(R"(window.__lmCloud({ data: {"introDone":true,"entries":{"r1":{"id":"r1",
        "day":"2026-11-02","facet":"rest","text":"From the laptop","createdAt":5,"updatedAt":5}}} }); true)");
    EXPECT_TRUE(page->waitSaved(
        [](json s) { return s["device"].value("sync", false) && s["entries"].contains("r1"); }));
    EXPECT_NE(page->text("#notices").find("arrived from your other computer"), std::string::npos);
    // A copy that lacks what this computer has gets the merged journal back, though nothing
    // changed here; one that differs only in the other computer's own settings does not.
    auto pushes = rec.count("push");
    page->eval(R"(window.__lmCloud({ data: {"introDone":true} }); true)");
    EXPECT_TRUE(spinUntil([&] { return rec.count("push") == pushes + 1; }));
    page->eval(R"(window.__lmCloud({ data: {...window.__lumoraPage.state(),
        device: {sync: false, reminder: {on: true, time: '06:00'}}} }); true)");
    test::spinFor(1);
    EXPECT_EQ(rec.count("push"), pushes + 1);
    for (const char* status : {R"({"empty":true})", R"({"error":"read"})", R"({"error":"big"})",
                               R"({"error":"quota"})", R"({"error":"write"})"})
        page->eval(std::string("window.__lmCloud(") + status + "); true");
    auto notices = page->text("#notices");
    EXPECT_NE(notices.find("full"), std::string::npos) << notices;
    EXPECT_NE(notices.find("too large"), std::string::npos) << notices;
    EXPECT_NE(notices.find("could not be written to the sync folder"), std::string::npos)
        << notices;
    page->click("#sync-now");
    ASSERT_TRUE(spinUntil([&] { return rec.count("cloudPull") == 2; }));
    page->click("#sync-forget");
    page->click("#sync-forget");
    ASSERT_TRUE(spinUntil([&] { return rec.count("cloudForget") == 1; }));
    EXPECT_TRUE(page->waitSaved([](json s) { return !s["device"].value("sync", true); }));
}

TEST_F(PageFlowTest, GiftCodesUnlockAtStartAndWhileRunning) {
    auto page = start(R"({"introDone":true})");
    ASSERT_TRUE(page->waitScreen("home"));
    EXPECT_EQ(page->number("document.querySelectorAll('#home-facets .chip.locked').length"), 2);
    std::string code = page->giftCode("courage");
    ASSERT_FALSE(code.empty());
    page->eval("window.__lmGift('" + code + "'); true");
    EXPECT_EQ(page->number("document.querySelectorAll('#home-facets .chip.locked').length"), 1);
    EXPECT_NE(page->text("#notices").find("Courage now shines"), std::string::npos);
    page->eval("window.__lmGift('NOT-A-GIFT'); true");
    EXPECT_NE(page->text("#notices").find("doesn't open anything"), std::string::npos);
    EXPECT_TRUE(page->waitSaved([](json s) {
        auto f = s["unlocked"]["facets"];
        return std::find(f.begin(), f.end(), "courage") != f.end();
    }));
}

TEST_F(PageFlowTest, ResumesOnTheLastScreenAfterTheWebProcessDies) {
    auto page = start(R"({"introDone":true})");
    ASSERT_TRUE(page->waitScreen("home"));
    page->click("#nav-settings");
    ASSERT_TRUE(page->waitScreen("settings"));
    int pid = page->stack().webProcessPid();
    ASSERT_GT(pid, 0);
    int loads = page->stack().loads;
    kill(pid, SIGKILL);
    ASSERT_TRUE(page->stack().waitForLoads(loads + 1, 30));
    EXPECT_TRUE(page->waitScreen("settings"));
}

TEST_F(PageFlowTest, SessionDrivesTheAudioProtocol) {
    auto page = start(R"({"introDone":true})");
    ASSERT_TRUE(page->waitScreen("home"));
    page->click("#home-begin");
    ASSERT_TRUE(page->waitScreen("session"));
    ASSERT_TRUE(spinUntil([&] { return rec.count("audioOpen") == 1; }));
    page->click("#session-play");
    // The first chunks are rendered in the worker and sent ahead of the position only.
    ASSERT_TRUE(spinUntil([&] { return rec.chunks.size() >= 2; }, 60));
    EXPECT_EQ(rec.chunks[0], 0);
    EXPECT_EQ(rec.chunks[1], 1);
    EXPECT_EQ(rec.chunkBytes, 30u * 44100 * 4);
    EXPECT_EQ(rec.count("audioPlay"), 1u);
    EXPECT_EQ(rec.count("begin"), 1u);
    spinFor(1.0);
    EXPECT_EQ(rec.chunks.size(), 2u);
    // Without native reports the player says it is waiting for the sound.
    EXPECT_NE(page->text("#session-status").find("Waiting"), std::string::npos);
    std::string id = rec.audioId;
    page->eval("window.__lmNative({ id: '" + id + "', t: 31.0, playing: true }); true");
    ASSERT_TRUE(spinUntil([&] { return rec.chunks.size() >= 3; }, 60));
    EXPECT_EQ(rec.chunks[2], 2);
    // The clock moves on from the report between reports.
    EXPECT_EQ(page->text("#session-pos").rfind("0:3", 0), 0u) << page->text("#session-pos");
    page->click("#session-play");
    ASSERT_TRUE(spinUntil([&] { return rec.count("audioPause") == 1 && rec.count("end") == 1; }));
    page->click("#session-back");
    ASSERT_TRUE(spinUntil([&] { return rec.count("audioClose") == 1; }));
    EXPECT_TRUE(page->waitScreen("home"));
}

}  // namespace
}  // namespace lumora
