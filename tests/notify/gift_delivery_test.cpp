#include <dirent.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/notify/notify_rig.hpp"

namespace lumora {
namespace {

using test::countOf;

// Reports every __lmGift call as a log line. After a crash (the page reported the
// screen "busy", so the reload resumes there) it stalls its own loading for a while.
constexpr const char* kPage = R"(<!doctype html>
<html><head><meta charset="utf-8"><title>gift test</title>
<script>
function post(m) { window.webkit.messageHandlers.lumora.postMessage(m); }
if (window.__LUMORA_RESUME__ === 'busy') {
  post({ type: 'log', message: 'reloading slowly' });
  var until = Date.now() + 5000;
  while (Date.now() < until) {}
}
</script></head>
<body>
<script>
window.__lmGift = function (code) { post({ type: 'log', message: 'gift [' + code + ']' }); };
post({ type: 'event', name: 'screen', detail: { screen: 'busy' } });
post({ type: 'log', message: 'ready' });
</script>
</body></html>
)";

int parentOf(int pid) {
    std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    return close == std::string::npos ? -1 : std::atoi(stat.c_str() + close + 4);
}

// The WebKitWebProcess somewhere below pid.
int webProcessBelow(int ancestor) {
    int found = -1;
    DIR* proc = opendir("/proc");
    if (!proc) return -1;
    while (dirent* entry = readdir(proc)) {
        int pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        if (test::readFile("/proc/" + std::to_string(pid) + "/comm").find("WebKitWebProces") != 0)
            continue;
        for (int p = parentOf(pid), hops = 0; p > 1 && hops < 8; p = parentOf(p), ++hops)
            if (p == ancestor) found = pid;
    }
    closedir(proc);
    return found;
}

class GiftDelivery : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!g_getenv("DISPLAY")) GTEST_SKIP() << "needs DISPLAY (run through tools/test.sh)";
        webRoot_ = env_.root() + "/page";
        test::makeDirectories(webRoot_);
        test::writeFile(webRoot_ + "/index.html", kPage);
    }

    // The first instance, given links of its own before its page exists.
    void startLumora(const std::vector<std::string>& links = {}) {
        std::vector<std::string> argv{test::lumoraBinary(), "--web-root", webRoot_};
        argv.insert(argv.end(), links.begin(), links.end());
        app_ = std::make_unique<test::Child>(argv, env_.root() + "/lumora.log");
        ASSERT_TRUE(waitForLog("[Lumora]  page: ready")) << log();
    }
    // A second launch, which hands its links to the first instance and exits.
    void open(const std::vector<std::string>& links) {
        std::vector<std::string> argv{test::lumoraBinary()};
        argv.insert(argv.end(), links.begin(), links.end());
        test::Child second(argv, env_.root() + "/second.log");
        EXPECT_EQ(second.wait(), 0) << test::readFile(env_.root() + "/second.log");
    }
    std::string log() const { return app_ ? app_->output() : std::string(); }
    bool waitForLog(const std::string& line, std::size_t count = 1) {
        return test::waitFor([&] { return countOf(log(), line + "\n") >= count; }, 60.0);
    }
    // A last link whose arrival shows that everything opened before it was handled.
    void openMarker() {
        open({"lumora-gift://x?g=marker"});
        ASSERT_TRUE(waitForLog("[Lumora]  page: gift [marker]")) << log();
    }
    std::size_t gifts() const { return countOf(log(), "page: gift ["); }

    test::TestEnv env_{{.privateBus = true}};
    std::string webRoot_;
    std::unique_ptr<test::Child> app_;
};

TEST_F(GiftDelivery, ASecondLaunchHandsTheCodeToThePageAndRefusedLinksChangeNothing) {
    startLumora();
    open({"lumora-gift://x?g=abc_DEF-123"});
    ASSERT_TRUE(waitForLog("[Lumora]  page: gift [abc_DEF-123]")) << log();
    EXPECT_EQ(countOf(log(), "[Lumora] gift received (11 chars)\n"), 1u);

    open({"lumora-gift://x?g=a%20b", "lumora-gift://x?g=a b", "lumora-gift://x?g=a+b",
          "lumora-gift://x?g=a.b", "lumora-gift://x?g=a%25b",
          "lumora-gift://x?g=" + std::string(20'000, 'z'), "LUMORA-GIFT://x?g=caps",
          "Lumora-Gift://x?g=caps", "other://x?g=abc"});
    openMarker();
    EXPECT_EQ(gifts(), 2u) << log();
    EXPECT_EQ(countOf(log(), "gift received"), 2u) << log();
}

TEST_F(GiftDelivery, EarlyLinksWaitForTheFirstLoadAndOnlyTheLastIsDeliveredOnce) {
    // Opened before the page exists; the refused link last does not disturb the code.
    startLumora(
        {"lumora-gift://x?g=first", "lumora-gift://x?g=second", "lumora-gift://x?g=no%20way"});
    ASSERT_TRUE(waitForLog("[Lumora]  page: gift [second]")) << log();
    openMarker();
    std::string text = log();
    EXPECT_EQ(countOf(text, "page: gift [second]"), 1u) << text;
    EXPECT_EQ(countOf(text, "page: gift [first]"), 0u) << text;
    EXPECT_EQ(gifts(), 2u) << text;
    EXPECT_EQ(countOf(text, "gift received"), 3u) << text;
    // Received before the page loaded, handed over only after it had.
    EXPECT_LT(text.find("gift received (6 chars)"), text.find("[Lumora] page loaded"));
    EXPECT_LT(text.find("[Lumora]  page: ready"), text.find("page: gift [second]"));
}

TEST_F(GiftDelivery, XdgOpenReachesTheRunningProgram) {
    std::string apps = env_.dataHome() + "/applications";
    test::makeDirectories(apps);
    test::writeFile(apps + "/org.lumora.Lumora.desktop",
                    "[Desktop Entry]\nType=Application\nName=Lumora\nExec=" + test::lumoraBinary() +
                        " %u\nMimeType=x-scheme-handler/lumora-gift;\n");
    std::string defaults =
        "[Default Applications]\nx-scheme-handler/lumora-gift=org.lumora.Lumora.desktop\n";
    test::writeFile(env_.configHome() + "/mimeapps.list", defaults);
    startLumora();
    int status = 0;
    std::string out =
        test::runCommand("timeout 60 xdg-open 'lumora-gift://open?g=Ab3_x-9' 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
    ASSERT_TRUE(waitForLog("[Lumora]  page: gift [Ab3_x-9]")) << log() << out;
    EXPECT_EQ(countOf(log(), "[Lumora] gift received (7 chars)\n"), 1u);
}

TEST_F(GiftDelivery, ACodeArrivingDuringACrashReloadIsDeliveredAfterIt) {
    startLumora();
    int web = webProcessBelow(app_->pid());
    ASSERT_GT(web, 0) << "no web process below " << app_->pid();
    kill(web, SIGKILL);
    // The reload stalls in the page's first script, before __lmGift exists.
    ASSERT_TRUE(waitForLog("[Lumora]  page: reloading slowly")) << log();
    open({"lumora-gift://x?g=during"});
    ASSERT_TRUE(waitForLog("[Lumora] gift received (6 chars)")) << log();
    ASSERT_TRUE(waitForLog("[Lumora]  page: gift [during]")) << log();
    std::string text = log();
    EXPECT_LT(text.find("[Lumora] gift received (6 chars)"), text.rfind("[Lumora]  page: ready"))
        << "the code came after the reload, so the test did not cover it";
    EXPECT_LT(text.rfind("[Lumora]  page: ready"), text.find("page: gift [during]"));
    EXPECT_EQ(gifts(), 1u) << text;
}

}  // namespace
}  // namespace lumora
