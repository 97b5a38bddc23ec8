#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "notify/gift_inbox.hpp"
#include "tests/support/fakes.hpp"

namespace lumora {
namespace {

std::string giftCall(const std::string& code) {
    return "window.__lmGift && window.__lmGift('" + code + "')";
}

struct Inbox {
    bool loaded = true;
    std::shared_ptr<test::FakePageView> page = std::make_shared<test::FakePageView>();
    GiftInbox inbox{[this] { return loaded; }};
    void attach() { inbox.setWebView(page); }
};

TEST(GiftInbox, AcceptedLinksAreLoggedAndDeliveredAtOnce) {
    test::LogCapture logs;
    Inbox t;
    t.attach();
    t.inbox.receive("lumora-gift://x?g=abc_DEF-123");
    EXPECT_EQ(logs.lines, (std::vector<std::string>{"[Lumora] gift received (11 chars)"}));
    EXPECT_EQ(t.page->scripts, (std::vector<std::string>{giftCall("abc_DEF-123")}));
    EXPECT_FALSE(t.inbox.pending());

    struct Case {
        const char* url;
        const char* code;
    };
    const Case accepted[] = {
        {"lumora-gift://x?a=1&g=one&g=two", "one"},  // the first "g"
        {"lumora-gift://x?g=", ""},                  // empty, yet a value
        {"lumora-gift:?g=Ab3_x-9", "Ab3_x-9"},
        {"lumora-gift://open?g=%41b", "Ab"},      // decoded before the check
        {"lumora-gift://x?g=caf%C3%A9", "café"},  // letters beyond ASCII
        {"lumora-gift://x?g=\u0663\u0664#frag", "\u0663\u0664"},
        {"lumora-gift://x?%67=named", "named"},  // the name is decoded too
    };
    for (const auto& c : accepted) {
        t.page->scripts.clear();
        t.inbox.receive(c.url);
        EXPECT_EQ(t.page->scripts, (std::vector<std::string>{giftCall(c.code)})) << c.url;
    }
    // A base with its combining mark counts as one character.
    logs.lines.clear();
    t.inbox.receive("lumora-gift://x?g=e%CC%81t%C3%A9");
    EXPECT_EQ(logs.lines, (std::vector<std::string>{"[Lumora] gift received (3 chars)"}));
}

TEST(GiftInbox, RefusedLinksChangeNothing) {
    test::LogCapture logs;
    Inbox t;
    t.inbox.receive("lumora-gift://x?g=kept");
    ASSERT_EQ(t.inbox.pending(), "kept");
    logs.lines.clear();
    const std::string refused[] = {
        "lumora-gift://x?g=a%20b",
        "lumora-gift://x?g=a b",
        "lumora-gift://x?g=a+b",
        "lumora-gift://x?g=a.b",
        "lumora-gift://x?g=a%25b",
        "lumora-gift://x?g=a%27b",
        "lumora-gift://x?g=a%zzb",
        "lumora-gift://x?g",
        "lumora-gift://x?G=abc",
        "lumora-gift://x?gg=abc",
        "lumora-gift://x",
        "lumora-gift://x?",
        "LUMORA-GIFT://x?g=abc",
        "Lumora-gift://x?g=abc",
        "https://x?g=abc",
        "lumora-gifts://x?g=abc",
        "g=abc",
        "",
        "lumora-gift://x?g=%CC%81a",  // a mark with no base
        "lumora-gift://x?g=%FF",      // not UTF-8
        "lumora-gift://x?g=a%00b",
        "lumora-gift://x?g=" + std::string(20'000, 'a'),
    };
    for (const auto& url : refused) t.inbox.receive(url);
    EXPECT_EQ(t.inbox.pending(), "kept");
    EXPECT_TRUE(logs.lines.empty());

    // 19,999 characters pass.
    t.inbox.receive("lumora-gift://x?g=" + std::string(19'999, 'b'));
    EXPECT_EQ(t.inbox.pending(), std::string(19'999, 'b'));
    EXPECT_EQ(logs.lines, (std::vector<std::string>{"[Lumora] gift received (19999 chars)"}));
    t.inbox.receive("lumora-gift://x?g=" + std::string(19'998, 'b') + "%C3%A9");
    EXPECT_EQ(logs.lines.back(), "[Lumora] gift received (19999 chars)");
}

TEST(GiftInbox, SchemesComeFromTheHost) {
    Inbox t;
    t.attach();
    t.inbox.setSchemes({"lumora-test"});
    t.inbox.receive("lumora-gift://x?g=old");
    t.inbox.receive("lumora-test://x?g=new");
    EXPECT_EQ(t.page->scripts, (std::vector<std::string>{giftCall("new")}));
}

TEST(GiftInbox, HoldsOnlyTheNewestCodeUntilThePageIsThere) {
    Inbox t;
    t.inbox.receive("lumora-gift://x?g=first");
    t.inbox.receive("lumora-gift://x?g=second");
    t.inbox.deliver();  // no web view yet
    EXPECT_EQ(t.inbox.pending(), "second");

    t.attach();
    t.inbox.deliver();
    t.inbox.deliver();
    EXPECT_EQ(t.page->scripts, (std::vector<std::string>{giftCall("second")}));
    EXPECT_FALSE(t.inbox.pending());
}

TEST(GiftInbox, ACodeArrivingDuringAReloadWaitsForTheLoad) {
    Inbox t;
    t.attach();
    t.loaded = false;  // the web process died and the page is loading again
    t.inbox.receive("lumora-gift://x?g=during");
    EXPECT_TRUE(t.page->scripts.empty());
    EXPECT_EQ(t.inbox.pending(), "during");
    t.loaded = true;
    t.inbox.deliver();
    EXPECT_EQ(t.page->scripts, (std::vector<std::string>{giftCall("during")}));
}

TEST(GiftInbox, AGoneWebViewKeepsTheCode) {
    Inbox t;
    t.attach();
    t.page.reset();
    t.inbox.receive("lumora-gift://x?g=later");
    EXPECT_EQ(t.inbox.pending(), "later");
}

}  // namespace
}  // namespace lumora
