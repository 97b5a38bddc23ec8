// The page at rest: what it is told about being seen and about motion, in a real window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/page/page_driver.hpp"

namespace lumora {
namespace {

using test::PageDriver;

class PageRest : public ::testing::Test {
  protected:
    test::TestEnv env;
    test::PageRecorder rec;

    static bool waitFor(PageDriver& page, const std::string& expression, const std::string& want) {
        return test::spinUntil([&] { return page.string(expression) == want; }, 10);
    }
    // Animations still moving on the page.
    static double running(PageDriver& page) {
        return page.number(
            "document.getAnimations().filter((a) => a.playState === 'running').length");
    }
};

// Minimised (an X window unmapped by someone else is iconic to GTK) or hidden by the
// program: the page is told it is hidden and its entrance stops moving; seen again, it
// goes on.
TEST_F(PageRest, AMinimisedOrHiddenWindowsPageIsHiddenAndStill) {
    PageDriver page(env, rec, {1180, 820});
    ASSERT_TRUE(page.waitScreen("intro"));
    ASSERT_EQ(page.string("document.visibilityState"), "visible");
    EXPECT_GT(running(page), 0) << "the gem's entrance";

    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(page.stack().window));
    std::string xid = test::runCommand("xdotool search --onlyvisible --pid " +
                                       std::to_string(getpid()) + " | head -1");
    ASSERT_FALSE(xid.empty());
    xid.pop_back();
    test::runCommand("xdotool windowunmap --sync " + xid);
    ASSERT_TRUE(test::spinUntil([&] {
        return (gdk_toplevel_get_state(GDK_TOPLEVEL(surface)) & GDK_TOPLEVEL_STATE_MINIMIZED) != 0;
    }));
    EXPECT_TRUE(waitFor(page, "document.visibilityState", "hidden"));
    EXPECT_EQ(running(page), 0);

    test::runCommand("xdotool windowmap --sync " + xid);
    EXPECT_TRUE(waitFor(page, "document.visibilityState", "visible"));
    EXPECT_GT(running(page), 0);

    gtk_widget_set_visible(GTK_WIDGET(page.stack().window), FALSE);
    EXPECT_TRUE(waitFor(page, "document.visibilityState", "hidden"));
    EXPECT_EQ(running(page), 0);
    gtk_widget_set_visible(GTK_WIDGET(page.stack().window), TRUE);
    EXPECT_TRUE(waitFor(page, "document.visibilityState", "visible"));
}

// The desktop's "no animations" reaches the page as reduced motion, and follows it.
TEST_F(PageRest, TheDesktopsAnimationSettingIsThePagesReducedMotion) {
    PageDriver page(env, rec, {1180, 820});
    ASSERT_TRUE(page.waitScreen("intro"));
    const std::string reduced = "String(matchMedia('(prefers-reduced-motion: reduce)').matches)";
    EXPECT_EQ(page.string(reduced), "false");
    g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
    EXPECT_TRUE(waitFor(page, reduced, "true"));
    EXPECT_TRUE(test::spinUntil([&] { return running(page) == 0; }, 5))
        << running(page) << " animations still run under reduced motion";
    g_object_set(gtk_settings_get_default(), "gtk-enable-animations", TRUE, nullptr);
    EXPECT_TRUE(waitFor(page, reduced, "false"));
}

}  // namespace
}  // namespace lumora
