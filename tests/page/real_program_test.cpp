// The built program with the real page, driven from outside through the X server the way a
// person would: keys into the window, then quitting with Ctrl+Q.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/program.hpp"
#include "tests/support/test_env.hpp"

namespace lumora {
namespace {

using namespace std::chrono_literals;

using test::Program;

const char* binary() {
    return test::programBinary();
}

std::string webRoot() {
    return std::string(std::getenv("LUMORA_SOURCE_DIR")) + "/web";
}

std::string windowId() {
    std::string id = test::runCommand(
        "timeout 20 xdotool search --sync --onlyvisible --name '^Lumora$' | head -1");
    if (!id.empty() && id.back() == '\n') id.pop_back();
    return id;
}

// Keys go to whichever window has the focus, as typing does.
void keys(const std::string& window, const std::string& names) {
    test::runCommand("xdotool windowfocus --sync " + window + " key --delay 60 " + names);
}

void type(const std::string& window, const std::string& text) {
    test::runCommand("xdotool windowfocus --sync " + window + " type --delay 15 '" + text + "'");
}

// Lets the page finish what the last key started (a screen change, a focus move).
void settle() {
    std::this_thread::sleep_for(500ms);
}

std::string savedState(const test::TestEnv& env) {
    return test::readFile(env.dataHome() + "/Lumora/lumora.json");
}

bool waitForSaved(const test::TestEnv& env, const std::string& fragment, double seconds = 10) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (savedState(env).find(fragment) != std::string::npos) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// A capture of the window right after it maps can still be blank; tries until it is not.
bool captureWindow(const std::string& window, const std::string& file) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        test::runCommand("import -window " + window + " '" + file + "' 2>/dev/null");
        std::string spread = test::runCommand("/usr/bin/convert '" + file +
                                              "' -format '%[fx:standard_deviation]' info:");
        if (!spread.empty() && std::atof(spread.c_str()) > 0.01) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

class RealProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(binary(), nullptr);
        ASSERT_NE(std::getenv("LUMORA_SOURCE_DIR"), nullptr);
    }
    // The program's window once its page has loaded; empty when it never showed.
    std::string windowOnceLoaded(Program& program) {
        if (!program.waitForLog("[Lumora] page loaded")) {
            ADD_FAILURE() << "the page never loaded\n" << program.log();
            return {};
        }
        std::string window = windowId();
        settle();
        return window;
    }
    // The first start: past the welcome screen to Today, then "Write a reflection". A
    // screenshot of Today goes to screenshot when one is named.
    void openComposerOnFirstStart(const std::string& window, const std::string& screenshot = {}) {
        // The welcome screen: past the skip link to "Begin".
        keys(window, "Tab Tab Return");
        ASSERT_TRUE(waitForSaved(env, "\"introDone\":true")) << savedState(env);
        settle();
        if (!screenshot.empty()) {
            EXPECT_TRUE(captureWindow(window, test::artifactDirectory() + "/" + screenshot));
        }
        // Today: the heading has the focus; "Begin session", then "Write a reflection".
        keys(window, "Tab Tab Return");
        settle();
    }
    // A later start: nothing has the focus yet, so the skip link, the three tabs on top,
    // "Begin session", then "Write a reflection".
    void openComposerOnLaterStart(const std::string& window) {
        keys(window, "Tab Tab Tab Tab Tab Tab Return");
        settle();
    }
    // The keys, ending with Ctrl+Q; the exit status, or -1 when it still runs.
    int quitWith(Program& program, const std::string& window, const std::string& last) {
        keys(window, last);
        return program.waitForExit(10);
    }
    test::TestEnv env{test::TestEnv::Options{.privateBus = true}};
};

TEST_F(RealProgramTest, AReflectionWrittenJustBeforeCtrlQIsKeptAndComesBack) {
    const std::string first = "Morning light on the water";
    const std::string second = "Evening walk by the river";
    {
        Program program(env.root() + "/run1.log", {"--web-root", webRoot()});
        std::string window = windowOnceLoaded(program);
        ASSERT_FALSE(window.empty());
        openComposerOnFirstStart(window, "real-program-home.png");
        type(window, first);
        // To "Save reflection" and press it, then quit while the save is still held back.
        int status = quitWith(program, window, "Tab Return ctrl+q");
        ASSERT_NE(status, -1) << "still running after Ctrl+Q\n" << program.log();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << program.log();
    }
    EXPECT_NE(savedState(env).find(first), std::string::npos) << savedState(env);

    // The second start begins on Today with the first reflection in hand: the page saves
    // its whole journal, so the next save holds both only if the first came back.
    Program program(env.root() + "/run2.log", {"--web-root", webRoot()});
    std::string window = windowOnceLoaded(program);
    ASSERT_FALSE(window.empty());
    openComposerOnLaterStart(window);
    type(window, second);
    int status = quitWith(program, window, "Tab Return ctrl+q");
    ASSERT_NE(status, -1) << "still running after Ctrl+Q\n" << program.log();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << program.log();
    std::string saved = savedState(env);
    EXPECT_NE(saved.find(second), std::string::npos) << saved;
    EXPECT_NE(saved.find(first), std::string::npos) << saved;
}

// Text typed and never saved is still there after Ctrl+Q, and saving it then makes it a
// reflection like any other.
TEST_F(RealProgramTest, AReflectionLeftUnsavedAtCtrlQComesBackToBeSaved) {
    const std::string text = "Half a thought about the sea";
    {
        Program program(env.root() + "/run1.log", {"--web-root", webRoot()});
        std::string window = windowOnceLoaded(program);
        ASSERT_FALSE(window.empty());
        openComposerOnFirstStart(window);
        type(window, text);
        ASSERT_NE(quitWith(program, window, "ctrl+q"), -1) << "still running after Ctrl+Q\n"
                                                           << program.log();
    }
    auto saved = nlohmann::json::parse(savedState(env), nullptr, false);
    ASSERT_TRUE(saved.is_object()) << savedState(env);
    EXPECT_EQ(saved["device"]["draft"]["text"], text) << saved.dump();
    EXPECT_TRUE(saved["entries"].empty()) << saved.dump();

    Program program(env.root() + "/run2.log", {"--web-root", webRoot()});
    std::string window = windowOnceLoaded(program);
    ASSERT_FALSE(window.empty());
    // "Write a reflection" again, then straight to "Save reflection": the text is there.
    openComposerOnLaterStart(window);
    ASSERT_NE(quitWith(program, window, "Tab Return ctrl+q"), -1) << "still running after Ctrl+Q\n"
                                                                  << program.log();
    saved = nlohmann::json::parse(savedState(env), nullptr, false);
    ASSERT_TRUE(saved.is_object()) << savedState(env);
    ASSERT_EQ(saved["entries"].size(), 1u) << saved.dump();
    EXPECT_EQ(saved["entries"].begin().value()["text"], text) << saved.dump();
    EXPECT_FALSE(saved["device"].contains("draft")) << saved.dump();
}

}  // namespace
}  // namespace lumora
