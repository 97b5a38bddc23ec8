// The share popover on the real web view: opened by the page's "share" message, "Email"
// reaching the default mail program, "Copy" reaching the clipboard.
#include <gtest/gtest.h>

#include "app/gtk_services.hpp"
#include "docs/gtk_docs.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

namespace lumora::test {
namespace {

GtkWidget* webViewWidget(PageView& view) {
    auto* web = dynamic_cast<WebKitBackend*>(&view);
    return web ? web->widget() : nullptr;
}

std::vector<GtkPopover*> popoversOf(GtkWidget* widget) {
    std::vector<GtkPopover*> found;
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child;
         child = gtk_widget_get_next_sibling(child))
        if (GTK_IS_POPOVER(child)) found.push_back(GTK_POPOVER(child));
    return found;
}

GtkButton* buttonIn(GtkWidget* root, const std::string& label) {
    for (GtkWidget* child = gtk_widget_get_first_child(root); child;
         child = gtk_widget_get_next_sibling(child)) {
        if (GTK_IS_BUTTON(child)) {
            const char* text = gtk_button_get_label(GTK_BUTTON(child));
            if (text && label == text) return GTK_BUTTON(child);
        }
        if (GtkButton* inner = buttonIn(child, label)) return inner;
    }
    return nullptr;
}

class SharePicker : public ::testing::Test {
  protected:
    void SetUp() override {
        g_set_prgname("lumora-test");
        mailLog = env.fakeDefaultHandler({"mailto"});
        WebStack::Options options;
        options.webRoot = std::string(g_getenv("LUMORA_SOURCE_DIR")) + "/web";
        options.dataDirectory = env.dataHome() + "/Lumora";
        options.bridge.share = &picker;
        options.width = 900;
        options.height = 700;
        stack = std::make_unique<WebStack>(options);
        ASSERT_TRUE(stack->waitForLoads(1));
    }
    void TearDown() override { stack.reset(); }

    void post(const std::string& message) {
        ASSERT_TRUE(
            stack->eval("window.webkit.messageHandlers.lumora.postMessage(" + message + "), true"));
    }
    GtkWidget* web() { return stack->backend->widget(); }
    GtkPopover* waitForPopover() {
        GtkPopover* shown = nullptr;
        spinUntil([&] {
            auto all = popoversOf(web());
            shown = all.empty() ? nullptr : all.back();
            return shown && gtk_widget_get_mapped(GTK_WIDGET(shown));
        });
        return shown;
    }
    std::string mailed() {
        spinUntil([&] { return !readFile(mailLog).empty(); }, 15);
        return readFile(mailLog);
    }

    TestEnv env;
    std::string mailLog;
    GioUrlOpener opener;
    GtkSharePicker picker{webViewWidget, opener};
    std::unique_ptr<WebStack> stack;
};

TEST_F(SharePicker, EmailOpensTheMailProgramWithSubjectAndBody) {
    post("{type: 'share', subject: 'Weekly: notes', text: 'Line one\\nLine two & more é'}");
    GtkPopover* popover = waitForPopover();
    ASSERT_TRUE(popover) << "no popover shown";
    // Anchored at a 1x1 rectangle in the middle of the web view.
    GdkRectangle at{};
    ASSERT_TRUE(gtk_popover_get_pointing_to(popover, &at));
    EXPECT_EQ(at.x, gtk_widget_get_width(web()) / 2);
    EXPECT_EQ(at.y, gtk_widget_get_height(web()) / 2);
    EXPECT_EQ(at.width, 1);
    EXPECT_EQ(at.height, 1);
    EXPECT_GT(at.x, 100);

    GtkButton* email = buttonIn(GTK_WIDGET(popover), "Email");
    ASSERT_TRUE(email);
    ASSERT_TRUE(buttonIn(GTK_WIDGET(popover), "Copy"));
    gtk_widget_activate(GTK_WIDGET(email));
    EXPECT_EQ(mailed(),
              "mailto:?subject=Weekly%3A%20notes&body=Line%20one%0D%0ALine%20two%20%26%20more%20"
              "%C3%A9\n");
    // Picking a service closes the picker and lets it go.
    EXPECT_TRUE(spinUntil([&] { return popoversOf(web()).empty(); }));
}

TEST_F(SharePicker, CopyPutsTheTextOnTheClipboard) {
    post("{type: 'share', subject: 'S', text: 'Copied text ✓'}");
    GtkPopover* popover = waitForPopover();
    ASSERT_TRUE(popover);
    GtkButton* copy = buttonIn(GTK_WIDGET(popover), "Copy");
    ASSERT_TRUE(copy);
    // An activated button clicks only after its pressed look has shown; the picker closes
    // on the click, so once it has gone the clipboard is ours.
    gtk_widget_activate(GTK_WIDGET(copy));
    ASSERT_TRUE(spinUntil([&] { return popoversOf(web()).empty(); }));
    // xclip asks this process for the selection, so the main loop must keep running.
    GError* error = nullptr;
    GSubprocess* xclip = g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error, "xclip",
                                          "-selection", "clipboard", "-o", nullptr);
    ASSERT_TRUE(xclip) << (error ? error->message : "");
    struct Out {
        bool done = false;
        std::string text;
    } out;
    g_subprocess_communicate_utf8_async(
        xclip, nullptr, nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            auto* o = static_cast<Out*>(data);
            char* text = nullptr;
            g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), result, &text, nullptr,
                                                 nullptr);
            o->text = text ? text : "";
            g_free(text);
            o->done = true;
        },
        &out);
    ASSERT_TRUE(spinUntil([&] { return out.done; }, 15));
    g_object_unref(xclip);
    EXPECT_EQ(out.text, "Copied text ✓");
    EXPECT_TRUE(readFile(mailLog).empty());
}

TEST_F(SharePicker, LatestSubjectWinsAndDefaultsApply) {
    // Two pickers open; the older one's service still gets the newer subject.
    picker.share("First", "one", stack->backend);
    picker.share("Second", "two", stack->backend);
    auto both = popoversOf(web());
    ASSERT_EQ(both.size(), 2u);
    gtk_widget_activate(GTK_WIDGET(buttonIn(GTK_WIDGET(both[0]), "Email")));
    EXPECT_EQ(mailed(), "mailto:?subject=Second&body=one\n");
    EXPECT_TRUE(spinUntil([&] { return popoversOf(web()).empty(); }))
        << "every picker closes and goes";

    // Neither field, or a subject that is not a string: "Lumora" and an empty text.
    writeFile(mailLog, "");
    post("{type: 'share', subject: 7}");
    GtkPopover* popover = waitForPopover();
    ASSERT_TRUE(popover);
    EXPECT_EQ(picker.subject(), "Lumora");
    gtk_widget_activate(GTK_WIDGET(buttonIn(GTK_WIDGET(popover), "Email")));
    EXPECT_EQ(mailed(), "mailto:?subject=Lumora&body=\n");

    // No web view: nothing is shown and the subject stays.
    picker.share("Dropped", "x", {});
    EXPECT_EQ(picker.subject(), "Lumora");
}

// Without any mail program the log says so, rather than GLib's "Operation not supported"
// from treating the mail link as a file.
TEST(MailProgram, MissingOneIsNamedInTheLog) {
    TestEnv env;
    // Nothing installed on this machine may answer either.
    makeDirectories(env.root() + "/no-system-data");
    g_setenv("XDG_DATA_DIRS", (env.root() + "/no-system-data").c_str(), TRUE);
    LogCapture log;
    GioUrlOpener opener;
    // The body is the user's reflection: it stays out of the log, and so does the address.
    opener.open("mailto:friend@example.org?subject=x&body=my%20private%20words");
    ASSERT_TRUE(spinUntil([&] { return log.contains("could not open"); }));
    EXPECT_TRUE(
        log.contains("could not open a mailto: link: no program is set to "
                     "open mailto: links"))
        << (log.lines.empty() ? "" : log.lines.back());
    for (const auto& line : log.lines) {
        EXPECT_EQ(line.find("private"), std::string::npos) << line;
        EXPECT_EQ(line.find("friend@"), std::string::npos) << line;
    }
}

// GTK's warnings and criticals, kept for the test to read and still printed.
std::vector<std::string>* gtkComplaints = nullptr;

GLogWriterOutput keepComplaints(GLogLevelFlags level, const GLogField* fields, gsize count,
                                gpointer) {
    if (gtkComplaints && (level & (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL))) {
        for (gsize i = 0; i < count; ++i)
            if (std::string_view(fields[i].key) == "MESSAGE" && fields[i].length < 0)
                gtkComplaints->emplace_back(static_cast<const char*>(fields[i].value));
    }
    return g_log_writer_default(level, fields, count, nullptr);
}

TEST_F(SharePicker, AnOpenPickerLetsGoBeforeTheViewGoes) {
    std::vector<std::string> complaints;
    gtkComplaints = &complaints;
    g_log_set_writer_func(keepComplaints, nullptr, nullptr);
    picker.share("Left open", "text", stack->backend);
    GtkPopover* popover = waitForPopover();
    ASSERT_TRUE(popover);
    // A second one already closed but not yet let go on idle.
    picker.share("Closing", "text", stack->backend);
    gtk_popover_popdown(popoversOf(web()).back());
    stack.reset();
    spinFor(0.3);
    gtkComplaints = nullptr;
    for (const auto& line : complaints) ADD_FAILURE() << line;
}

}  // namespace
}  // namespace lumora::test
