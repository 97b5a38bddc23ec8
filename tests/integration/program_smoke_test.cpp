#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "store/record_codec.hpp"
#include "tests/support/program.hpp"
#include "tests/support/test_env.hpp"

namespace lumora {
namespace {

using namespace std::chrono_literals;

using test::Program;

const char* binary() {
    return test::programBinary();
}

int runToEnd(const std::vector<std::string>& args, std::string* output, double seconds = 20) {
    std::string command =
        std::string("timeout ") + std::to_string(static_cast<int>(seconds)) + " '" + binary() + "'";
    for (const auto& a : args) command += " '" + a + "'";
    command += " 2>&1";
    int status = 0;
    *output = test::runCommand(command, &status);
    return status;
}

// An X server of the test's own, so that no other test's window can take the focus.
class PrivateDisplay {
  public:
    PrivateDisplay() {
        for (int number = 70 + getpid() % 200; number < 400 && display_.empty(); ++number) {
            std::string name = ":" + std::to_string(number);
            if (test::fileExists("/tmp/.X" + std::to_string(number) + "-lock")) continue;
            pid_ = fork();
            if (pid_ == 0) {
                execlp("Xvfb", "Xvfb", name.c_str(), "-screen", "0", "1280x900x24", "-nolisten",
                       "tcp", static_cast<char*>(nullptr));
                _exit(127);
            }
            std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
            for (int i = 0; i < 200; ++i) {
                if (waitpid(pid_, nullptr, WNOHANG) == pid_) {  // taken meanwhile: next one
                    pid_ = -1;
                    break;
                }
                if (test::fileExists(socket)) {
                    display_ = name;
                    break;
                }
                std::this_thread::sleep_for(50ms);
            }
        }
        if (!display_.empty()) setenv("DISPLAY", display_.c_str(), 1);
    }
    ~PrivateDisplay() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return !display_.empty(); }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(binary(), nullptr);
        webRoot = env.root() + "/web";
        test::makeDirectories(webRoot);
        // Reports the state it was given, then saves a counter one higher.
        test::writeFile(webRoot + "/index.html", R"(<!doctype html><html><body><script>
var s = window.__LUMORA_STATE__;
var post = function (m) { window.webkit.messageHandlers.lumora.postMessage(m); };
post({type: 'log', message: 'state ' + JSON.stringify(s)});
post({type: 'save', data: {count: (s && s.count || 0) + 1}});
</script></body></html>)");
    }
    test::TestEnv env{test::TestEnv::Options{.privateBus = true}};
    std::string webRoot;
};

TEST_F(ProgramTest, StartsLoadsAndHandsSavedStateBackAfterRestart) {
    std::string log1 = env.root() + "/run1.log";
    {
        Program first(log1, {"--web-root", webRoot});
        ASSERT_TRUE(first.waitForLog("[Lumora] creating web view (standalone)"));
        ASSERT_TRUE(first.waitForLog("[Lumora] page loaded"));
        ASSERT_TRUE(first.waitForLog("[Lumora]  page: state null"));
        for (int i = 0; i < 100 && !test::fileExists(env.dataHome() + "/Lumora/lumora.json"); ++i)
            std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(test::readFile(env.dataHome() + "/Lumora/lumora.json"), R"({"count":1})");
    std::string log2 = env.root() + "/run2.log";
    Program second(log2, {"--web-root", webRoot});
    EXPECT_TRUE(second.waitForLog("[Lumora]  page: state {\"count\":1}"));
}

TEST_F(ProgramTest, SecondLaunchPresentsTheFirstAndExits) {
    PrivateDisplay display;
    ASSERT_TRUE(display.ready());
    std::string log = env.root() + "/run.log";
    Program first(log, {"--web-root", webRoot});
    ASSERT_TRUE(first.waitForLog("[Lumora] page loaded"));
    std::string window = test::runCommand("xdotool search --sync --onlyvisible --pid " +
                                          std::to_string(first.pid()) + " | head -1");
    ASSERT_FALSE(window.empty());
    window.pop_back();
    // The bare X server has no window manager, so presenting a window shows as taking
    // the input focus. Hand the focus to the root window first.
    std::string root = test::runCommand("xwininfo -root | awk '/Window id/ {print $4}'");
    ASSERT_FALSE(root.empty());
    root.pop_back();
    int status = 0;
    test::runCommand("xdotool windowfocus --sync " + root, &status);
    ASSERT_EQ(status, 0);
    auto focused = [] {
        std::string id = test::runCommand("xdotool getwindowfocus -f");
        if (!id.empty()) id.pop_back();
        return id;
    };
    ASSERT_EQ(std::stoul(focused()), std::stoul(root, nullptr, 16));
    std::this_thread::sleep_for(300ms);
    ASSERT_NE(focused(), window) << "the first instance took the focus back by itself";
    std::string output;
    status = runToEnd({"--web-root", webRoot}, &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("creating web view"), std::string::npos) << output;
    // The first instance presented its window.
    bool presented = false;
    for (int i = 0; i < 60 && !presented; ++i) {
        presented = focused() == window;
        if (!presented) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(presented) << "focus is on " << focused() << ", the window is " << window;
    // Still exactly one web view in the first instance.
    std::this_thread::sleep_for(300ms);
    std::string text = test::readFile(log);
    EXPECT_EQ(text.find("creating web view"), text.rfind("creating web view"));
}

// Saves still being written when the signal comes are all on disk, in both files, before
// the process ends: megabytes each, so they are still queued at quit.
TEST_F(ProgramTest, SigtermQuitsWithTheSaveThePageStillHeld) {
    // Holds its save until the program asks for it, as a debounced page does.
    test::writeFile(webRoot + "/index.html", R"(<!doctype html><html><body><script>
var post = function (m) { window.webkit.messageHandlers.lumora.postMessage(m); };
window.__lmFlush = function () {
  for (var i = 0; i < 8; i++)
    post({type: 'save', sync: true, data: {n: i, pad: (i + ':').repeat(1 << 20)}});
  post({type: 'save', sync: true, data: {held: 'until the end'}});
  return true;
};
post({type: 'log', message: 'holding a save'});
</script></body></html>)");
    std::string log = env.root() + "/run.log";
    Program program(log, {"--web-root", webRoot});
    ASSERT_TRUE(program.waitForLog("[Lumora]  page: holding a save"));
    ASSERT_TRUE(program.waitForLog("[Lumora] page loaded"));
    int status = program.stop();  // SIGTERM, as the session sends at logout
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string held = R"({"held":"until the end"})";
    EXPECT_EQ(test::readFile(env.dataHome() + "/Lumora/lumora.json"), held) << test::readFile(log);
    EXPECT_EQ(inflateRecord(test::readFile(env.dataHome() + "/Lumora/cloud/db.v1")), held);
}

TEST_F(ProgramTest, WindowHasItsSizeMinimumAndNoSystemTitleBar) {
    std::string log = env.root() + "/run.log";
    Program first(log, {"--web-root", webRoot});
    ASSERT_TRUE(first.waitForLog("[Lumora] page loaded"));
    std::string id =
        test::runCommand("xdotool search --sync --onlyvisible --name '^Lumora$' | head -1");
    ASSERT_FALSE(id.empty());
    id.pop_back();
    std::string geometry = test::runCommand("xdotool getwindowgeometry " + id);
    // Client-side decorations add a shadow margin around the content.
    int width = 0, height = 0;
    auto at = geometry.find("Geometry: ");
    ASSERT_NE(at, std::string::npos) << geometry;
    std::sscanf(geometry.c_str() + at + 10, "%dx%d", &width, &height);
    EXPECT_GE(width, 1180);
    EXPECT_LE(width, 1180 + 120);
    EXPECT_GE(height, 820);
    EXPECT_LE(height, 820 + 120);
    std::string hints = test::runCommand("xprop -id " + id + " WM_NORMAL_HINTS");
    int minWidth = 0, minHeight = 0;
    at = hints.find("minimum size: ");
    ASSERT_NE(at, std::string::npos) << hints;
    std::sscanf(hints.c_str() + at + 14, "%d by %d", &minWidth, &minHeight);
    EXPECT_GE(minWidth, 760);
    EXPECT_LE(minWidth, 760 + 120);
    EXPECT_GE(minHeight, 540);
    EXPECT_LE(minHeight, 540 + 120);
    std::string screenshot = test::artifactDirectory() + "/program-window.png";
    test::runCommand("import -window root '" + screenshot + "'");
}

TEST_F(ProgramTest, MissingWebRootAndBadOptionsFailClearly) {
    std::string output;
    EXPECT_EQ(runToEnd({"--web-root", env.root() + "/nowhere"}, &output), 1);
    EXPECT_EQ(output, "lumora: the page's directory " + env.root() + "/nowhere does not exist\n");
    EXPECT_EQ(runToEnd({"--bogus"}, &output), 2);
    EXPECT_EQ(output, "lumora: unknown option --bogus (see --help)\n");
    EXPECT_EQ(runToEnd({"--help"}, &output), 0);
    EXPECT_NE(output.find("--web-root DIR"), std::string::npos);
    EXPECT_EQ(runToEnd({"--version"}, &output), 0);
    EXPECT_EQ(output.rfind("lumora ", 0), 0u);
}

}  // namespace
}  // namespace lumora
