// The page with the real native services: sound on a PulseAudio null sink, the PDF,
// the reminder's systemd timer and gift links through the inbox.
#include <gtest/gtest.h>

#include <cmath>

#include "audio/pulse_output.hpp"
#include "audio/session_audio.hpp"
#include "docs/pdf_exporter.hpp"
#include "notify/gift_inbox.hpp"
#include "notify/systemd_reminder.hpp"
#include "tests/audio/pulse_rig.hpp"
#include "tests/notify/notify_rig.hpp"
#include "tests/page/page_driver.hpp"

namespace lumora {
namespace {

using nlohmann::json;
using test::PageDriver;
using test::spinFor;
using test::spinUntil;

constexpr PageDriver::Size kSize{1180, 820};
const char* kReturning = R"({"introDone":true})";

std::string webRoot() {
    const char* source = std::getenv("LUMORA_SOURCE_DIR");
    return std::string(source ? source : ".") + "/web";
}

double rms(const std::vector<float>& samples) {
    double sum = 0;
    for (float s : samples) sum += static_cast<double>(s) * s;
    return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

TEST(PageWithServices, SessionSoundsOnTheSinkAndPauseSilencesIt) {
    test::TestEnv env;
    test::PulseRig pulse{env.runtimeDir()};
    ASSERT_TRUE(pulse.ready());
    auto loop = makeGLibMainLoop();
    PulseOutput output("Lumora page test");
    SessionAudio audio(*loop, output, nullptr,
                       {[&] { return env.cacheHome(); }, [] { return webRoot(); }, {}});
    test::PageRecorder rec;
    auto services = PageDriver::recorded(rec);
    services.bridge.audio = &audio;
    services.controller.audio = &audio;
    PageDriver page(env, services, kSize, kReturning);
    ASSERT_TRUE(page.waitScreen("home"));
    page.click("#home-begin");
    ASSERT_TRUE(page.waitScreen("session"));
    page.click("#session-play");
    // Playing once the worker's first chunk has arrived and native reports say so.
    ASSERT_TRUE(spinUntil(
        [&] {
            return page.string("__lumoraPage.player.status()") == "playing" && audio.playing() &&
                   audio.id() != "";
        },
        60));
    ASSERT_TRUE(spinUntil(
        [&] { return page.number("__lumoraPage.player.nativePlaying ? 1 : 0") == 1; }, 10));
    pulse.startCapture();
    spinFor(2.0);
    double playing = rms(pulse.stopCapture());
    EXPECT_GT(playing, 0.01) << "the pad and bells reach the sink";
    EXPECT_NE(page.text("#session-pos"), "0:00");
    EXPECT_EQ(rec.count("begin"), 1u);

    page.click("#session-play");
    ASSERT_TRUE(spinUntil([&] { return !audio.playing(); }));
    spinFor(0.5);
    pulse.startCapture();
    spinFor(1.0);
    double paused = rms(pulse.stopCapture());
    EXPECT_LT(paused, 0.0005) << "nothing plays after pause (" << playing << " before)";
    EXPECT_EQ(rec.count("end"), 1u);
    EXPECT_EQ(page.string("__lumoraPage.player.status()"), "paused");

    page.click("#session-back");
    ASSERT_TRUE(spinUntil([&] { return audio.id().empty(); }));
}

TEST(PageWithServices, JournalExportsAPdfHoldingTheEntries) {
    test::TestEnv env;
    auto loop = makeGLibMainLoop();
    std::string saved = env.root() + "/My journal.pdf";
    LumoraPdfExporter pdf(
        *loop, [&] { return env.cacheHome(); }, std::make_unique<FixedPathSaveDialog>(saved));
    test::PageRecorder rec;
    auto services = PageDriver::recorded(rec);
    services.bridge.pdf = &pdf;
    PageDriver page(env, services, kSize,
                    R"({"introDone":true,"entries":{"e1":{"id":"e1","day":"2026-12-01",
                        "facet":"gratitude","text":"Thankful for the long walk by the river.",
                        "createdAt":1,"updatedAt":1}}})");
    ASSERT_TRUE(page.waitScreen("home"));
    page.click("#nav-journal");
    ASSERT_TRUE(page.waitScreen("journal"));
    page.click("#journal-export");
    std::string text;
    ASSERT_TRUE(spinUntil(
        [&] {
            if (!test::fileExists(saved)) return false;
            text = test::runCommand("pdftotext -layout '" + saved + "' - 2>/dev/null");
            return text.find("river") != std::string::npos;
        },
        20))
        << text;
    EXPECT_NE(text.find("My Lumora journal"), std::string::npos) << text;
    EXPECT_NE(text.find("Thankful for the long walk by the river."), std::string::npos) << text;
    EXPECT_NE(text.find("DECEMBER 2026"), std::string::npos) << text;
    EXPECT_NE(text.find("Tue 1 Dec 2026 · Gratitude"), std::string::npos) << text;
}

// Waits until every reminder change made so far has reached systemd.
void settle(SystemdReminderPlatform& platform) {
    bool answered = false, idle = false;
    platform.requestAuthorisation([&](bool) { answered = true; });
    ASSERT_TRUE(spinUntil([&] { return answered; }, 20));
    platform.whenIdle([&] { idle = true; });
    ASSERT_TRUE(spinUntil([&] { return idle; }, 20));
}

TEST(PageWithServices, ReminderSwitchInstallsAndRemovesTheTimer) {
    test::TestEnv env;
    std::string whyNot;
    auto manager = test::UserManager::start(env, &whyNot);
    if (!manager) GTEST_SKIP() << whyNot;
    // Before anything in this process opens the session bus.
    g_setenv("DBUS_SESSION_BUS_ADDRESS", manager->busAddress().c_str(), TRUE);
    auto daemon = test::NotificationDaemon::start(env, &whyNot);
    if (!daemon) GTEST_SKIP() << whyNot;
    auto loop = makeGLibMainLoop();
    DailyReminder reminder(*loop, test::lumoraBinary());
    test::PageRecorder rec;
    auto services = PageDriver::recorded(rec);
    services.reminder = &reminder;
    {
        PageDriver page(env, services, kSize, kReturning);
        ASSERT_TRUE(page.waitScreen("home"));
        page.click("#nav-settings");
        ASSERT_TRUE(page.waitScreen("settings"));
        page.type("#reminder-time", "21:05", "change");
        page.click("#reminder-on");
        settle(reminder.platform());
        std::string timer = env.configHome() + "/systemd/user/" + kReminderTimerUnit;
        EXPECT_NE(test::readFile(timer).find("OnCalendar=*-*-* 21:05:00"), std::string::npos);
        EXPECT_NE(manager->systemctl("list-timers --all --no-legend").find(kReminderTimerUnit),
                  std::string::npos);
        EXPECT_TRUE(page.waitSaved([](json s) {
            return s["device"]["reminder"] == json{{"on", true}, {"time", "21:05"}};
        }));

        page.click("#reminder-on");
        settle(reminder.platform());
        EXPECT_FALSE(test::fileExists(timer));
        EXPECT_FALSE(reminder.platform().usingFallback());
    }
}

// A gift code as friends' copies of Lumora make them: the item's word, four letters
// and two check letters from FNV-1a over "lumora-gift|WORD|LETTERS".
std::string giftCode(const std::string& word, const std::string& nonce) {
    const std::string letters = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::uint32_t h = 0x811c9dc5;
    for (unsigned char c : "lumora-gift|" + word + "|" + nonce) {
        h ^= c;
        h *= 0x01000193;
    }
    return word + "-" + nonce + letters[h % 32] + letters[(h >> 5) % 32];
}

TEST(PageWithServices, GiftLinksUnlockAtStartAndWhileRunning) {
    test::TestEnv env;
    GiftInbox inbox;
    // Opened while the program starts: held until the page has loaded.
    inbox.receive("lumora-gift://open?g=" + giftCode("COURAGE", "K7QM"));
    test::PageRecorder rec;
    auto services = PageDriver::recorded(rec);
    services.controller.gifts = &inbox;
    PageDriver page(env, services, kSize, kReturning);
    ASSERT_TRUE(page.waitScreen("home"));
    ASSERT_TRUE(spinUntil([&] {
        return page.number("document.querySelectorAll('#home-facets .chip.locked').length") == 1;
    }));
    EXPECT_EQ(page.number("document.querySelector('[data-facet=courage]').classList.contains("
                          "'locked') ? 1 : 0"),
              0);
    EXPECT_NE(page.text("#notices").find("Courage now shines"), std::string::npos);

    inbox.receive("lumora-gift://open?g=" + giftCode("KINDNESS", "ZZ23"));
    ASSERT_TRUE(spinUntil([&] {
        return page.number("document.querySelectorAll('#home-facets .chip.locked').length") == 0;
    }));
    // A well-formed link whose code means nothing gets a friendly word, not an error.
    inbox.receive("lumora-gift://open?g=HELLO-THERE");
    ASSERT_TRUE(spinUntil(
        [&] { return page.text("#notices").find("doesn't open anything") != std::string::npos; }));
    EXPECT_TRUE(page.waitSaved([](json s) {
        return s["unlocked"]["facets"] ==
               json{"calm", "focus", "gratitude", "courage", "kindness", "rest"};
    }));
}

}  // namespace
}  // namespace lumora
