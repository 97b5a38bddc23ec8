// GTK's real save dialog, driven the way a user would: a name typed, Return pressed.
#include <gtest/gtest.h>
#include <unistd.h>

#include "container/base/main_loop.hpp"
#include "docs/gtk_docs.hpp"
#include "tests/docs/pdf_probe.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

namespace lumora::test {
namespace {

std::string dialogWindow() {
    std::string found = runCommand("xdotool search --onlyvisible --name '^Save PDF$' 2>/dev/null");
    return found.substr(0, found.find('\n'));
}

TEST(SaveDialog, TypedNameAndReturnSaveThePdfThere) {
    TestEnv env;
    g_set_prgname("lumora-test");
    initGtk();
    LogCapture logs;
    auto loop = makeGLibMainLoop();
    GtkWindow* window = GTK_WINDOW(gtk_window_new());
    GtkWidget* content = gtk_label_new("page");
    gtk_window_set_child(window, content);
    gtk_window_set_default_size(window, 800, 600);
    gtk_window_present(window);
    auto page = std::make_shared<FakePageView>();
    LumoraPdfExporter exporter(
        *loop, [&] { return env.cacheHome(); },
        std::make_unique<GtkSaveDialog>([&](PageView&) { return content; },
                                        [] { return static_cast<GtkWindow*>(nullptr); }));

    std::string folder = env.root() + "/Documents";
    makeDirectories(folder);
    auto file =
        exporter.makePdf("Report", nlohmann::json::array({{{"k", "title"}, {"t", "Report"}}}));
    ASSERT_TRUE(file);
    exporter.presentSavePanel(*file, page);
    std::string id;
    ASSERT_TRUE(spinUntil([&] { return !(id = dialogWindow()).empty(); }, 30)) << "no dialog";
    EXPECT_TRUE(logs.contains("pdf: save panel shown for Report.pdf"));
    // The dialog takes a moment after mapping before it accepts typing.
    spinFor(2.0);
    std::string chosen = folder + "/Typed name.pdf";
    std::string keys = "xdotool windowfocus --sync " + id +
                       " key ctrl+a && xdotool type --delay 30 '" + chosen +
                       "' && sleep 0.3 && xdotool key Return";
    GError* error = nullptr;
    const char* argv[] = {"sh", "-c", keys.c_str(), nullptr};
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH,
                              nullptr, nullptr, nullptr, &error));
    EXPECT_TRUE(spinUntil([&] { return pdfPages(chosen) == 1; }, 30))
        << runCommand("ls -la '" + folder + "'");
    EXPECT_EQ(readFile(chosen), readFile(*file));
    EXPECT_TRUE(spinUntil([] { return dialogWindow().empty(); }, 10)) << "dialog still open";
    gtk_window_destroy(window);
    spinFor(0.1);
}

}  // namespace
}  // namespace lumora::test
