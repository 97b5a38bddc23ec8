#include <glib.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "store/cloud_sync.hpp"
#include "store/record_codec.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/private_mounts.hpp"
#include "tests/support/test_env.hpp"

namespace lumora {
namespace {

using nlohmann::json;
using test::fileExists;
using test::readFile;
using test::runCommand;
using test::writeFile;

using Calls = std::vector<std::string>;
const std::string kRead = R"({"error":"read"})";
const std::string kUnavailable = R"({"error":"unavailable"})";
const std::string kEmpty = R"({"empty":true})";

// The program's cloud sync as it is put together, over a folder named in settings.ini.
class SyncFolderTest : public ::testing::Test {
  protected:
    SyncFolderTest() { test::makeDirectories(configDir); }

    // An empty folder means the default one. Renamed into place, as editors save.
    void configure(const std::string& folder) {
        std::string text = "[Lumora]\ncloudSync=true\n";
        if (!folder.empty()) text += "syncFolder=" + folder + "\n";
        writeFile(configDir + "/.edit", text);
        ASSERT_EQ(
            std::rename((configDir + "/.edit").c_str(), (configDir + "/settings.ini").c_str()), 0);
    }
    void start() {
        cloud = makeFolderCloudSync(loop, dataDir, configDir);
        cloud->setWebView(page);
    }
    // The arguments of the __lmCloud calls since the last look, once posted work has run.
    Calls calls() {
        settle();
        Calls arguments;
        const std::string prefix = "window.__lmCloud && window.__lmCloud(";
        for (const auto& script : page->scripts)
            arguments.push_back(script.substr(prefix.size(), script.size() - prefix.size() - 1));
        page->scripts.clear();
        return arguments;
    }
    // Lets file watches report too, until some call arrives.
    Calls waitForCalls() {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (page->scripts.empty() && std::chrono::steady_clock::now() < end) {
            if (!g_main_context_iteration(nullptr, FALSE))
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            settle();
        }
        return calls();
    }
    // Runs what the sync worker and the loop have to do until neither has more.
    void settle() {
        loop.runPostedAfter([this] {
            if (cloud) {
                ASSERT_TRUE(cloud->flush(60));
            }
        });
    }
    std::string recordIn(const std::string& folder) {
        settle();
        return inflateRecord(readFile(folder + "/db.v1")).value_or("(unreadable)");
    }

    test::TestEnv env;
    test::LogCapture logs;
    test::FakeMainLoop loop;
    std::string dataDir = env.dataHome() + "/Lumora";
    std::string configDir = env.configHome() + "/Lumora";
    std::string share = env.root() + "/share";
    std::shared_ptr<test::FakePageView> page = std::make_shared<test::FakePageView>();
    std::unique_ptr<CloudService> cloud;
};

TEST_F(SyncFolderTest, MissingFolderIsNeverMadeAndSavesWaitUntilItIsThere) {
    configure("");
    start();
    EXPECT_EQ(waitForCalls(), Calls{kEmpty});  // the default folder is made

    // Pointed at a share that is not mounted.
    configure(share);
    EXPECT_EQ(waitForCalls(), Calls{kUnavailable});
    cloud->push(json{{"n", 1}}, true);
    cloud->push(json{{"n", 1}}, true);  // tried again, and told again
    EXPECT_EQ(calls(), (Calls{kUnavailable, kUnavailable}));
    EXPECT_FALSE(fileExists(share));
    EXPECT_FALSE(fileExists(dataDir + "/cloud/db.v1"));
    EXPECT_EQ(logs.count("[Lumora] sync folder unavailable: " + share), 1u);

    // Mounted: the same state is written, and the folder is watched from then on.
    test::makeDirectories(share);
    cloud->push(json{{"n", 1}}, true);
    EXPECT_EQ(calls(), Calls{});
    EXPECT_EQ(recordIn(share), R"({"n":1})");
    writeFile(share + "/.incoming", *compressRecord(R"({"from":"elsewhere"})"));
    std::rename((share + "/.incoming").c_str(), (share + "/db.v1").c_str());
    EXPECT_EQ(waitForCalls(), Calls{R"({ data: {"from":"elsewhere"} })"});

    // Gone again: logged again, since it worked in between.
    runCommand("rm -rf '" + share + "'");
    cloud->push(json{{"n", 2}}, true);
    EXPECT_EQ(calls(), Calls{kUnavailable});
    EXPECT_FALSE(fileExists(share));
    EXPECT_EQ(logs.count("[Lumora] sync folder unavailable: " + share), 2u);
}

TEST_F(SyncFolderTest, FolderThatIsAFileOrADanglingLinkIsUnavailable) {
    std::string file = env.root() + "/file", link = env.root() + "/link";
    std::string target = env.root() + "/target";
    writeFile(file, "not a folder");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    for (const auto& folder : {file, link}) {
        configure(folder);
        start();
        EXPECT_EQ(calls(), Calls{kUnavailable}) << folder;
        cloud->push(json{{"n", 1}}, true);
        EXPECT_EQ(calls(), Calls{kUnavailable}) << folder;
        EXPECT_EQ(logs.count("[Lumora] sync folder unavailable: " + folder), 1u);
    }
    EXPECT_EQ(readFile(file), "not a folder");
    EXPECT_FALSE(fileExists(target));

    // A link to a folder is that folder.
    test::makeDirectories(target);
    configure(link);
    start();
    EXPECT_EQ(calls(), Calls{kEmpty});
    cloud->push(json{{"n", 1}}, true);
    EXPECT_EQ(calls(), Calls{});
    EXPECT_EQ(recordIn(target), R"({"n":1})");
}

TEST_F(SyncFolderTest, ReadOnlyFolderIsUnavailable) {
    RUN_WITH_PRIVATE_MOUNTS(share);
    test::Mounts mounts;
    mounts.add(share, 16, "", true);  // read-only even for root, who may write anywhere else
    configure(share);
    start();
    EXPECT_EQ(calls(), Calls{kUnavailable});
    cloud->push(json{{"n", 1}}, true);
    EXPECT_EQ(calls(), Calls{kUnavailable});
    EXPECT_EQ(logs.count("[Lumora] sync folder unavailable: " + share), 1u);
    cloud.reset();
}

// A folder setting that cannot be used is never replaced by the default folder, where
// the record would reach no other machine: saves are answered "unavailable".
TEST_F(SyncFolderTest, UnusableFolderSettingIsUnavailableNotTheDefault) {
    configure("~nobody-here/Sync");
    start();
    EXPECT_EQ(calls(), Calls{kUnavailable});
    cloud->push(json{{"n", 1}}, true);
    cloud->push(json{{"n", 2}}, true);
    EXPECT_EQ(calls(), (Calls{kUnavailable, kUnavailable}));
    EXPECT_EQ(
        logs.count("[Lumora] sync folder unusable: syncFolder=~nobody-here/Sync: not a folder"),
        1u);

    // A file that does not parse names no folder, whatever it says above the fault.
    writeFile(configDir + "/settings.ini", "[Lumora]\ncloudSync=true\nbroken\nsyncFolder=/x\n");
    start();
    EXPECT_EQ(calls(), Calls{});  // the switch is not taken from it either
    cloud->push(json{{"n", 3}}, true);
    EXPECT_EQ(calls(), Calls{kUnavailable});
    cloud->pull();
    EXPECT_EQ(calls(), Calls{kUnavailable});
    EXPECT_FALSE(fileExists(dataDir + "/cloud"));

    // A relative folder is in the home folder.
    configure("Synced");
    test::makeDirectories(env.root() + "/Synced");
    start();
    EXPECT_EQ(calls(), Calls{kEmpty});
    cloud->push(json{{"n", 4}}, true);
    EXPECT_EQ(recordIn(env.root() + "/Synced"), R"({"n":4})");
}

// A record that is no plain file is never opened as one: a FIFO would block for ever, a
// link could point anywhere. Every pull and push is answered.
TEST_F(SyncFolderTest, RecordThatIsNoPlainFileIsAnsweredAndNeverFollowed) {
    test::makeDirectories(share);
    configure(share);
    std::string record = share + "/db.v1";
    ASSERT_EQ(mkfifo(record.c_str(), 0600), 0);
    alarm(10);  // a blocking open ends the test instead of hanging it
    start();
    EXPECT_EQ(calls(), Calls{kRead});
    alarm(0);

    runCommand("rm '" + record + "' && mkdir '" + record + "'");
    cloud->pull();
    cloud->push(json{{"n", 1}}, true);
    EXPECT_EQ(calls(), (Calls{kRead, R"({"error":"write"})"}));

    std::string outside = env.root() + "/outside";
    writeFile(outside, "keep");
    runCommand("rmdir '" + record + "' && ln -s '" + outside + "' '" + record + "'");
    cloud->pull();
    cloud->push(json{{"n", 2}}, true);
    EXPECT_EQ(calls(), Calls{kRead});
    EXPECT_EQ(readFile(outside), "keep");
    EXPECT_EQ(recordIn(share), R"({"n":2})");
}

}  // namespace
}  // namespace lumora
