// The "sharePdf" path through the bridge: log lines, the temporary file, the dialog and
// the notes to the page; then the copy to the chosen place.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <thread>

#include "container/bridge.hpp"
#include "container/controller.hpp"
#include "container/lumora_host.hpp"
#include "docs/pdf_exporter.hpp"
#include "tests/docs/pdf_probe.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

namespace lumora::test {
namespace {

// Records what the dialog was asked, and answers when the test says so.
class ScriptedDialog final : public SaveDialog {
  public:
    explicit ScriptedDialog(std::vector<std::string>& outcomes) : outcomes_(outcomes) {}
    void run(const std::string& suggestedName, const WeakPageView& view, Done done) override {
        outcomes_.push_back("dialog " + suggestedName);
        names.push_back(suggestedName);
        views.push_back(view);
        pending = std::move(done);
    }
    std::vector<std::string> names;
    std::vector<WeakPageView> views;
    Done pending;

  private:
    std::vector<std::string>& outcomes_;
};

struct QuietHost final : LumoraHost {
    std::string hostName() const override { return "standalone"; }
    std::string extraScript() const override { return ""; }
    double topInset() const override { return 0; }
    std::vector<std::string> giftSchemes() const override { return {}; }
    std::array<double, 3> backgroundRGB() const override { return {0, 0, 0}; }
    std::optional<std::string> loadState() override { return std::nullopt; }
    void saveState(const nlohmann::json&, bool) override {}
    void setReminder(bool, const std::string&) override {}
    void handleEvent(const std::string&, const nlohmann::json&) override {}
    void close(const std::string&) override {}
    bool handleMessage(const std::string&, const nlohmann::json&) override { return false; }
    void attach(WeakPageView) override {}
    void pageDidLoad() override {}
};

struct FakeWeb final : WebViewBackend {
    explicit FakeWeb(std::vector<std::string>& outcomes) : outcomes(outcomes) {}
    void evaluate(const std::string& script) override {
        outcomes.push_back("page " + script);
        scripts.push_back(script);
    }
    void setStartupScript(const std::string&) override {}
    void load(const std::string&) override {}
    void reload() override {}
    std::vector<std::string>& outcomes;
    std::vector<std::string> scripts;
};

// The real exporter behind the real bridge, on whichever main loop the test runs. What
// the user and the page see, the dialog and the page's scripts, lands in one list.
struct ExportRig {
    ExportRig(MainLoop& loop, std::string temporary) : temporaryDirectory(std::move(temporary)) {
        auto owned = std::make_unique<ScriptedDialog>(outcomes);
        dialog = owned.get();
        exporter = std::make_unique<LumoraPdfExporter>(
            loop, [this] { return temporaryDirectory; }, std::move(owned));
        controller = std::make_unique<LumoraController>(
            host, BridgeServices{nullptr, exporter.get()}, ControllerServices{}, loop,
            [this](Bridge&) { return page; });
        controller->webView();
    }
    void send(const std::string& json) {
        controller->bridge().dispatch(nlohmann::json::parse(json), page);
    }

    std::string temporaryDirectory;
    std::vector<std::string> outcomes;
    ScriptedDialog* dialog = nullptr;
    std::unique_ptr<LumoraPdfExporter> exporter;
    QuietHost host;
    std::shared_ptr<FakeWeb> page = std::make_shared<FakeWeb>(outcomes);
    std::unique_ptr<LumoraController> controller;
};

std::string note(const std::string& text) {
    return "window.__lmNote && window.__lmNote([\"" + text + "\"][0])";
}

class PdfExport : public ::testing::Test {
  protected:
    PdfExport() { logs.lines.clear(); }
    void send(const std::string& json) { rig.send(json); }
    // The worker's files are written and their outcomes have run.
    void settle() {
        rig.exporter->drain();
        loop.runPosted();
    }

    TestEnv env;
    FakeMainLoop loop;
    LogCapture logs;
    ExportRig rig{loop, env.cacheHome()};
    std::string& temporaryDirectory = rig.temporaryDirectory;
    ScriptedDialog* dialog = rig.dialog;
    std::shared_ptr<FakeWeb> page = rig.page;
};

TEST_F(PdfExport, DocumentGoesToTheTemporaryFileThenTheDialogAfterTheHandler) {
    send(R"({"type":"sharePdf","name":" Notes: A/B ","blocks":[{"k":"title","t":"T"},{"t":"p"}]})");
    std::string file = temporaryDirectory + "/Notes AB.pdf";
    ASSERT_EQ(logs.lines.size(), 1u);
    EXPECT_EQ(logs.lines[0], "[Lumora] pdf: 2 blocks for  Notes: A/B ");
    EXPECT_TRUE(dialog->names.empty()) << "the dialog waits for the main loop";

    settle();
    EXPECT_EQ(pdfPages(file), 1);
    ASSERT_EQ(dialog->names.size(), 1u);
    EXPECT_EQ(dialog->names[0], "Notes AB.pdf");
    EXPECT_EQ(dialog->views[0].lock().get(), page.get());
    EXPECT_EQ(logs.lines.back(), "[Lumora] pdf: save panel shown for Notes AB.pdf");
    EXPECT_TRUE(page->scripts.empty()) << "nothing is told to the page on success";

    std::string chosen = env.root() + "/chosen.pdf";
    dialog->pending(chosen);
    settle();
    EXPECT_EQ(readFile(chosen), readFile(file));
    EXPECT_TRUE(fileExists(file)) << "the temporary file stays";
}

// On the program's own loop: the handler returns while the layout is still waiting for a
// slow temporary file (a FIFO nobody reads yet), and what the user and the page see comes
// in the order of the messages, a quick note included.
TEST(PdfExportOnTheLoop, SlowLayoutHoldsUpNeitherTheHandlerNorTheOrder) {
    TestEnv env;
    LogCapture logs;
    auto loop = makeGLibMainLoop();
    ExportRig rig(*loop, env.cacheHome());
    logs.lines.clear();
    std::string slow = env.cacheHome() + "/Slow.pdf";
    ASSERT_EQ(mkfifo(slow.c_str(), 0600), 0);
    makeDirectories(env.cacheHome() + "/Folder.pdf");  // cannot be written as a file

    // Reads the FIFO once the handlers have returned. A handler that waited for the layout
    // would wait for this reader: after a long while it reads anyway, so the test fails
    // instead of hanging.
    std::mutex mutex;
    std::condition_variable returned;
    bool handlersReturned = false, readerGaveUp = false;
    std::string written;
    std::thread reader([&] {
        {
            std::unique_lock lock(mutex);
            readerGaveUp = !returned.wait_for(lock, std::chrono::seconds(60),
                                              [&] { return handlersReturned; });
        }
        written = readFile(slow);
    });
    rig.send(R"({"type":"sharePdf","name":"Slow","blocks":[{"k":"title","t":"Slow"}]})");
    rig.send(R"({"type":"sharePdf","name":"Bad"})");
    rig.send(R"({"type":"sharePdf","name":"Folder","blocks":[{"t":"p"}]})");
    rig.send(R"({"type":"sharePdf","name":"Fast","blocks":[]})");
    {
        std::lock_guard lock(mutex);
        handlersReturned = true;
    }
    returned.notify_all();
    EXPECT_EQ(logs.lines, (std::vector<std::string>{
                              "[Lumora] pdf: 1 blocks for Slow",
                              "[Lumora] pdf: The PDF could not be made (no content).",
                              "[Lumora] pdf: 1 blocks for Folder",
                              "[Lumora] pdf: 0 blocks for Fast",
                          }));
    EXPECT_TRUE(rig.outcomes.empty());

    EXPECT_TRUE(spinUntil([&] { return rig.outcomes.size() >= 4; }, 60));
    reader.join();
    EXPECT_FALSE(readerGaveUp) << "the handler waited for the layout";
    EXPECT_EQ(written.substr(0, 5), "%PDF-");
    EXPECT_EQ(rig.outcomes, (std::vector<std::string>{
                                "dialog Slow.pdf",
                                "page " + note("The PDF could not be made (no content)."),
                                "page " + note("The PDF could not be made."),
                                "dialog Fast.pdf",
                            }));
    EXPECT_EQ(std::vector<std::string>(logs.lines.begin() + 4, logs.lines.end()),
              (std::vector<std::string>{
                  "[Lumora] pdf: save panel shown for Slow.pdf",
                  "[Lumora] pdf: The PDF could not be made.",
                  "[Lumora] pdf: save panel shown for Fast.pdf",
              }));
}

TEST_F(PdfExport, NamesAndBlocksWithDefaults) {
    send(R"({"type":"sharePdf","blocks":[]})");
    send(R"({"type":"sharePdf","name":42,"blocks":[]})");
    send(R"({"type":"sharePdf","name":"éé//","blocks":[]})");
    send(R"({"type":"sharePdf","name":"x.pdf","blocks":[]})");
    EXPECT_EQ(logs.count("[Lumora] pdf: 0 blocks for Lumora"), 2u);
    EXPECT_EQ(logs.count("[Lumora] pdf: 0 blocks for éé//"), 1u);
    settle();
    EXPECT_EQ(dialog->names,
              (std::vector<std::string>{"Lumora.pdf", "Lumora.pdf", "Lumora.pdf", "x.pdf.pdf"}));
    // An empty document is one page with only the footer.
    EXPECT_EQ(pdfPages(temporaryDirectory + "/Lumora.pdf"), 1);
}

TEST_F(PdfExport, MissingOrMalformedBlocksAreReportedAfterTheHandlerWithoutAFile) {
    for (const char* body : {R"({"type":"sharePdf"})", R"({"type":"sharePdf","blocks":{"k":"p"}})",
                             R"({"type":"sharePdf","blocks":[7]})",
                             R"({"type":"sharePdf","blocks":[{"t":"ok"},"text"]})",
                             R"({"type":"sharePdf","blocks":"[]"})"}) {
        SCOPED_TRACE(body);
        page->scripts.clear();
        logs.lines.clear();
        send(body);
        EXPECT_EQ(logs.lines, std::vector<std::string>{
                                  "[Lumora] pdf: The PDF could not be made (no content)."});
        EXPECT_TRUE(page->scripts.empty());
        settle();
        EXPECT_EQ(page->scripts,
                  std::vector<std::string>{note("The PDF could not be made (no content).")});
    }
    EXPECT_TRUE(dialog->names.empty());
    EXPECT_FALSE(fileExists(temporaryDirectory + "/Lumora.pdf"));
}

TEST_F(PdfExport, UnwritableTemporaryFileIsReportedAsNotMade) {
    temporaryDirectory = env.root() + "/missing/dir";
    send(R"({"type":"sharePdf","blocks":[{"t":"p"}]})");
    settle();
    EXPECT_EQ(logs.lines, (std::vector<std::string>{"[Lumora] pdf: 1 blocks for Lumora",
                                                    "[Lumora] pdf: The PDF could not be made."}));
    EXPECT_EQ(page->scripts, std::vector<std::string>{note("The PDF could not be made.")});
    EXPECT_TRUE(dialog->names.empty());
}

TEST_F(PdfExport, NotesAreDroppedWhenThePageHasGoneAndEscapedWhenNot) {
    auto gone = std::make_shared<FakePageView>();
    rig.exporter->sendPdfNote(gone, "The PDF could not be made.");
    std::weak_ptr<FakePageView> weak = gone;
    gone.reset();
    loop.runPosted();  // must not touch the vanished page
    EXPECT_TRUE(weak.expired());

    auto other = std::make_shared<FakePageView>();
    rig.exporter->sendPdfNote(other, "Quote \" and </script>\n");
    loop.runPosted();
    ASSERT_EQ(other->scripts.size(), 1u);
    EXPECT_EQ(other->scripts[0],
              "window.__lmNote && window.__lmNote([\"Quote \\\" and </script>\\n\"][0])");
    // Text that is not UTF-8 cannot become a script: logged, not sent.
    rig.exporter->sendPdfNote(other, "bad \xff");
    loop.runPosted();
    EXPECT_EQ(other->scripts.size(), 1u);
    EXPECT_EQ(logs.lines.back(), "[Lumora] pdf: bad \\xff");
}

TEST_F(PdfExport, CancelledDialogCopiesNothing) {
    send(R"({"type":"sharePdf","blocks":[]})");
    settle();
    std::string chosen = env.root() + "/kept.pdf";
    writeFile(chosen, "old");
    dialog->pending(std::nullopt);
    settle();
    EXPECT_EQ(readFile(chosen), "old");
}

class SafeReplace : public ::testing::Test {
  protected:
    void SetUp() override {
        source = env.root() + "/source.pdf";
        destination = env.root() + "/out/existing.pdf";
        makeDirectories(env.root() + "/out");
        writeFile(source, std::string(200000, 'n'));
        chmod(source.c_str(), 0644);
        writeFile(destination, "the user's old file");
    }
    // Nothing but the destination is left in its folder.
    std::string folderListing() { return runCommand("ls -A '" + env.root() + "/out'"); }

    TestEnv env;
    std::string source, destination;
};

TEST_F(SafeReplace, CopyReplacesTheDestinationWithTheSourcesPermissions) {
    EXPECT_EQ(replaceWithCopy(source, destination), 0);
    EXPECT_EQ(readFile(destination), readFile(source));
    struct stat info {};
    ASSERT_EQ(stat(destination.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(folderListing(), "existing.pdf\n");
}

TEST_F(SafeReplace, FailedWriteLeavesTheOldFileAsItWas) {
    // A file-size limit makes the write fail part-way, as a full disk would.
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = replaceWithCopy(source, destination);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_NE(result, 0);
    EXPECT_EQ(readFile(destination), "the user's old file");
    EXPECT_EQ(folderListing(), "existing.pdf\n") << "no temporary file left behind";
}

TEST_F(SafeReplace, MissingSourceOrFolderDestinationLeavesThingsAlone) {
    EXPECT_NE(replaceWithCopy(env.root() + "/gone.pdf", destination), 0);
    EXPECT_EQ(readFile(destination), "the user's old file");
    std::string folder = env.root() + "/out/folder.pdf";
    makeDirectories(folder + "/inside");
    EXPECT_NE(replaceWithCopy(source, folder), 0);
    EXPECT_TRUE(fileExists(folder + "/inside"));
    EXPECT_EQ(folderListing(), "existing.pdf\nfolder.pdf\n");
}

TEST_F(SafeReplace, TheSaveStepUsesTheSafeCopy) {
    // The source vanished before the user confirmed: the old file must survive.
    LumoraPdfExporter::finishSave(destination, env.root() + "/gone.pdf");
    EXPECT_EQ(readFile(destination), "the user's old file");
    LumoraPdfExporter::finishSave(destination, source);
    EXPECT_EQ(readFile(destination), readFile(source));
}

TEST(FixedPathDialog, AnswersWithItsPath) {
    TestEnv env;
    FakeMainLoop loop;
    LogCapture logs;
    std::string chosen = env.root() + "/fixed.pdf";
    LumoraPdfExporter exporter(
        loop, [&] { return env.cacheHome(); }, std::make_unique<FixedPathSaveDialog>(chosen));
    auto file = exporter.makePdf("Doc", nlohmann::json::array({{{"t", "text"}}}));
    ASSERT_TRUE(file);
    exporter.presentSavePanel(*file, {});
    EXPECT_FALSE(fileExists(chosen));
    loop.runPosted();
    exporter.drain();
    EXPECT_EQ(pdfPages(chosen), 1);
    EXPECT_TRUE(logs.contains("[Lumora] pdf: save panel shown for Doc.pdf"));
}

}  // namespace
}  // namespace lumora::test
