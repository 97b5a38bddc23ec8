// Screenshots of every screen at the smallest and the default window size, kept as
// artifacts for people to look at. Runs alone: it captures the X screen.
#include <gtest/gtest.h>

#include <ctime>

#include "tests/page/page_driver.hpp"

namespace lumora {
namespace {

using nlohmann::json;
using test::PageDriver;

std::string daysAgo(int n) {
    std::time_t t = std::time(nullptr) - static_cast<std::time_t>(n) * 86400;
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

// A few weeks of use, so that every screen has something to show.
std::string livedInState() {
    json s = {{"introDone", false}, {"entries", json::object()}, {"days", json::object()}};
    const char* facets[] = {"calm", "focus", "gratitude", "rest", "calm", "gratitude", "focus"};
    const char* texts[] = {"Slow breakfast, no phone. The light on the kitchen wall was lovely.",
                           "Finished the report before lunch by closing every other window.",
                           "Grateful for Mia's call, the warm bus, and the last pear.",
                           "Went to bed early without guilt.",
                           "Noticed my shoulders dropping during the bells.",
                           "A stranger held the door and smiled. Small things count.",
                           "One list, three items, all done."};
    for (int i = 0; i < 7; ++i) {
        std::string day = daysAgo(i + 1);
        s["days"][day] = {{"facets", {facets[i]}}, {"updatedAt", 1000 + i}};
        std::string id = "e" + std::to_string(i);
        s["entries"][id] = {{"id", id},
                            {"day", day},
                            {"facet", facets[i]},
                            {"text", texts[i]},
                            {"createdAt", 1000 + i},
                            {"updatedAt", 1000 + i}};
    }
    return s.dump();
}

class PageScreens : public ::testing::TestWithParam<PageDriver::Size> {
  protected:
    test::TestEnv env;
    test::PageRecorder rec;

    void shoot(PageDriver& page, const std::string& name) {
        auto size = GetParam();
        // Let the entrance animation settle.
        test::spinFor(0.8);
        std::string dir = test::artifactDirectory();
        std::string base =
            "page-" + name + "-" + std::to_string(size.width) + "x" + std::to_string(size.height);
        std::string root = dir + "/" + base + "-screen.png";
        ASSERT_TRUE(test::screenshotNotUniform(root)) << name;
        // The window sits at the origin of the bare X screen; keep just the window.
        int status = 0;
        test::runCommand("/usr/bin/convert '" + root + "' -crop " + std::to_string(size.width) +
                             "x" + std::to_string(size.height) + "+0+0 +repage '" + dir + "/" +
                             base + ".png' && rm -f '" + root + "'",
                         &status);
        EXPECT_EQ(status, 0);
        // Nothing of the page's own sits in the window-control strip.
        EXPECT_EQ(page.number("{ let low = 1e9; for (const e of document.querySelectorAll("
                              "'.topbar, .screen:not([hidden]) *')) { const r = "
                              "e.getBoundingClientRect(); if (r.width && r.height && "
                              "getComputedStyle(e).visibility !== 'hidden') low = Math.min(low, "
                              "r.top); } return low >= 30 ? 1 : low; }"),
                  1)
            << name;
        // Every control a user can reach has a name that assistive technology can read.
        auto unnamed = page.value(
            "{ const out = []; for (const e of document.querySelectorAll('.screen:not([hidden]) "
            "button, .screen:not([hidden]) input, .screen:not([hidden]) select, "
            ".screen:not([hidden]) textarea, .topbar button')) { const byId = (e.getAttribute("
            "'aria-labelledby') || '').split(' ').map((i) => document.getElementById(i)?."
            "textContent || '').join(''); const label = e.id && document.querySelector(`label"
            "[for=\"${e.id}\"]`); const name = (e.getAttribute('aria-label') || byId || "
            "(label && label.textContent) || (e.closest('label') || {}).textContent || "
            "(e.tagName === 'BUTTON' ? e.textContent : '')).trim(); if (!name) out.push(e.id || "
            "e.outerHTML.slice(0, 60)); } return out; }");
        EXPECT_EQ(unnamed, json::array()) << name;
        // Nothing sticks out sideways.
        EXPECT_EQ(page.number("document.documentElement.scrollWidth <= innerWidth ? 1 : 0"), 1)
            << name;
    }
};

TEST_P(PageScreens, EveryScreen) {
    auto size = GetParam();
    PageDriver page(env, rec, size, livedInState());
    ASSERT_TRUE(page.waitScreen("intro"));
    shoot(page, "intro");
    page.click("#intro-start");
    ASSERT_TRUE(page.waitScreen("home"));
    shoot(page, "home");
    page.click("#home-begin");
    ASSERT_TRUE(page.waitScreen("session"));
    shoot(page, "session");
    page.click("#session-back");
    page.click("#nav-journal");
    ASSERT_TRUE(page.waitScreen("journal"));
    shoot(page, "journal");
    page.click("#nav-settings");
    ASSERT_TRUE(page.waitScreen("settings"));
    shoot(page, "settings");
}

INSTANTIATE_TEST_SUITE_P(Sizes, PageScreens,
                         ::testing::Values(PageDriver::Size{760, 540}, PageDriver::Size{1180, 820}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

}  // namespace
}  // namespace lumora
