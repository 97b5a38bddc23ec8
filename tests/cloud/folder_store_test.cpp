#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "container/base/main_loop.hpp"
#include "store/cloud_sync.hpp"
#include "store/folder_store.hpp"
#include "store/record_codec.hpp"
#include "store/settings.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"

namespace lumora {
namespace {

using test::runCommand;
using test::TestEnv;

struct Report {
    std::optional<int> reason;
    std::vector<std::string> keys;
    std::string contents;  // the value of the first key when the report arrived
};

// Runs the GLib main context until done() holds or the time is up.
template <typename F>
bool spinUntil(F done, double seconds = 10) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void spinFor(double seconds) {
    spinUntil([] { return false; }, seconds);
}

class FolderStoreTest : public ::testing::Test {
  protected:
    FolderStoreTest() : folder(env.root() + "/sync"), store(*loop, folder, true) {
        store.setChangeHandler(
            [this](std::optional<int> reason, const std::vector<std::string>& keys) {
                Report report{reason, keys, ""};
                if (!keys.empty())
                    if (auto value = store.read(keys[0]); value && *value)
                        report.contents = **value;
                reports.push_back(report);
            });
    }
    // Runs a shell in the folder: a process other than ours.
    void shell(const std::string& script, const std::string& where = "") {
        int status = -1;
        runCommand("cd '" + (where.empty() ? folder : where) + "' && " + script, &status);
        ASSERT_EQ(status, 0) << script;
    }
    bool waitForReports(std::size_t count) {
        return spinUntil([&] { return reports.size() >= count; });
    }

    TestEnv env;
    std::unique_ptr<MainLoop> loop = makeGLibMainLoop();
    std::string folder;
    FolderStore store;
    std::vector<Report> reports;
};

TEST_F(FolderStoreTest, ReportsInitialSyncOnceThenOtherProcessesChangesOnceEach) {
    ASSERT_TRUE(waitForReports(1));
    EXPECT_EQ(reports[0].reason, KeyValueStore::kInitialSync);
    reports.clear();

    // Written in place, slowly: reported once, when the writer has finished.
    shell("{ printf first-half; sleep 0.4; printf %s -second-half; } > db.v1");
    ASSERT_TRUE(waitForReports(1));
    // Written elsewhere and renamed into place, as sync engines do.
    shell("printf renamed > .incoming && mv .incoming db.v1");
    ASSERT_TRUE(waitForReports(2));
    shell("rm db.v1");
    ASSERT_TRUE(waitForReports(3));
    // A file moved in from outside the folder.
    shell("printf moved > ../outside && mv ../outside db.v1");
    ASSERT_TRUE(waitForReports(4));
    // Long enough for any late or duplicate event (GLib's virtual "done" hint is 2 s).
    spinFor(2.5);

    ASSERT_EQ(reports.size(), 4u);
    const char* contents[] = {"first-half-second-half", "renamed", "", "moved"};
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].reason, KeyValueStore::kServerChange) << i;
        EXPECT_EQ(reports[i].keys, std::vector<std::string>{"db.v1"}) << i;
        EXPECT_EQ(reports[i].contents, contents[i]) << i;
    }
}

TEST_F(FolderStoreTest, OwnWritesTemporariesAndConflictCopiesAreNotReported) {
    ASSERT_TRUE(waitForReports(1));
    reports.clear();
    ASSERT_TRUE(store.store("db.v1", "ours"));
    ASSERT_TRUE(store.store("db.v1", "ours again"));
    store.remove("db.v1");
    ASSERT_TRUE(store.store("db.v1", "ours at last"));
    shell("printf partial > .db.v1.tmp-abc123 && rm .db.v1.tmp-abc123");
    shell("printf theirs > 'db.sync-conflict-20260101-120000-ABCDEFG.v1'");
    shell("printf theirs > 'db (conflicted copy 2026-01-01 120000).v1'");
    // Then one real change, so everything before it has surely been seen.
    shell("printf marker > marker");
    ASSERT_TRUE(waitForReports(1));
    spinFor(0.5);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].keys, std::vector<std::string>{"marker"});
    // Conflict copies are never read as the record.
    EXPECT_EQ(store.read("db.v1")->value_or(""), "ours at last");
    EXPECT_FALSE(store.read("db.sync-conflict-20260101-120000-ABCDEFG.v1").has_value());
}

TEST_F(FolderStoreTest, ChangingTheFolderReportsAccountChangeAndWatchesTheNewOne) {
    ASSERT_TRUE(waitForReports(1));
    reports.clear();
    std::string other = env.root() + "/elsewhere";
    store.setFolder(other, true);
    store.setFolder(other, true);  // the same folder again: nothing
    ASSERT_TRUE(waitForReports(1));
    EXPECT_EQ(reports[0].reason, KeyValueStore::kAccountChange);
    shell("printf old-folder > db.v1");
    int status = -1;
    runCommand("printf new-folder > '" + other + "/db.v1'", &status);
    ASSERT_TRUE(waitForReports(2));
    spinFor(0.3);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].reason, KeyValueStore::kServerChange);
    EXPECT_EQ(reports[1].contents, "new-folder");
}

TEST_F(FolderStoreTest, UnusableFolderFailsQuietly) {
    ASSERT_TRUE(waitForReports(1));
    reports.clear();
    ASSERT_TRUE(store.store("db.v1", "value"));
    shell("rm -rf sync && printf 'not a folder' > sync", env.root());
    EXPECT_FALSE(store.store("db.v1", "new value"));
    auto read = store.read("db.v1");
    EXPECT_FALSE(read.has_value());  // an error, not "no value"
    store.remove("db.v1");
    // Only a full disk counts as a quota report.
    spinFor(0.3);
    for (const auto& report : reports) EXPECT_NE(report.reason, KeyValueStore::kQuotaViolation);

    // A folder that was removed is made again on the next write.
    shell("rm sync", env.root());
    EXPECT_TRUE(store.store("db.v1", "back"));
    EXPECT_EQ(store.read("db.v1")->value_or(""), "back");
}

TEST_F(FolderStoreTest, FileChangedSinceItWasLastReadOrWrittenIsNotWrittenOver) {
    const auto changed = std::unexpected(KeyValueStore::StoreError::kChanged);
    ASSERT_TRUE(store.store("db.v1", "ours"));
    shell("printf theirs > .incoming && mv .incoming db.v1");
    EXPECT_EQ(store.store("db.v1", "ours again"), changed);
    EXPECT_EQ(test::readFile(folder + "/db.v1"), "theirs");
    EXPECT_EQ(store.read("db.v1")->value_or(""), "theirs");
    ASSERT_TRUE(store.store("db.v1", "merged"));

    // Rewritten in place to the same size: the file stays, its times do not.
    shell("printf MERGED > db.v1");
    EXPECT_EQ(store.store("db.v1", "ours"), changed);
    // A store that never read the folder writes only where there is nothing yet.
    FolderStore fresh(*loop, folder, true);
    EXPECT_EQ(fresh.store("db.v1", "fresh"), changed);
    EXPECT_TRUE(fresh.store("other", "fresh"));
    shell("rm db.v1");
    EXPECT_TRUE(store.store("db.v1", "ours"));
    EXPECT_EQ(test::readFile(folder + "/db.v1"), "ours");
}

TEST_F(FolderStoreTest, KeysThatAreNotPlainFileNamesAreRefused) {
    for (const char* key : {"", ".hidden", "../escape", "a/b", "x.sync-conflict-1"}) {
        EXPECT_FALSE(store.store(key, "v")) << key;
        EXPECT_FALSE(store.read(key).has_value()) << key;
    }
    EXPECT_FALSE(test::fileExists(env.root() + "/escape"));
}

TEST(Settings, SwitchAndFolderLiveInTheIniFile) {
    TestEnv env;
    std::string dir = env.configHome() + "/Lumora";
    Settings settings(dir, "/default/cloud");
    EXPECT_FALSE(settings.cloudSync());
    EXPECT_EQ(settings.syncFolder(), "/default/cloud");

    test::makeDirectories(dir);
    test::writeFile(settings.path(),
                    "# my notes\n[Lumora]\nsyncFolder=~/Sync/Lumora/\n[Other]\nkept=yes\n");
    EXPECT_EQ(settings.syncFolder(), env.root() + "/Sync/Lumora");
    ASSERT_TRUE(settings.setCloudSync(true));
    EXPECT_TRUE(settings.cloudSync());
    std::string text = test::readFile(settings.path());
    EXPECT_NE(text.find("cloudSync=true"), std::string::npos);
    EXPECT_NE(text.find("# my notes"), std::string::npos);
    EXPECT_NE(text.find("kept=yes"), std::string::npos);
    EXPECT_EQ(runCommand("ls -A '" + dir + "'"), "settings.ini\n");  // no temporary left
    struct stat info;
    ASSERT_EQ(stat(settings.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    test::writeFile(settings.path(), "[Lumora]\ncloudSync=maybe\nsyncFolder=relative/path\n");
    EXPECT_FALSE(settings.cloudSync());
    EXPECT_EQ(settings.syncFolder(), env.root() + "/relative/path");
    test::writeFile(settings.path(), "[Lumora]\nsyncFolder=\n");
    EXPECT_EQ(settings.syncFolder(), "/default/cloud");
    // Named but unusable: never the default in its place.
    for (const char* value : {"~other/Sync", "/Latin-1 caf\xE9"}) {
        test::writeFile(settings.path(), std::string("[Lumora]\nsyncFolder=") + value + "\n");
        EXPECT_FALSE(settings.syncFolder().has_value()) << value;
    }
}

TEST(Settings, WatchSeesEditsAndAtomicReplacements) {
    TestEnv env;
    std::string dir = env.configHome() + "/Lumora";
    Settings settings(dir, "/default/cloud");
    int changes = 0;
    settings.watch([&] { ++changes; });
    int status = -1;
    runCommand("printf '[Lumora]\\nsyncFolder=/a\\n' > '" + settings.path() + "'", &status);
    ASSERT_TRUE(spinUntil([&] { return changes >= 1; }));
    EXPECT_EQ(settings.syncFolder(), "/a");
    int before = changes;
    Settings writer(dir, "/default/cloud");
    writer.setSyncFolder("/b");
    ASSERT_TRUE(spinUntil([&] { return changes > before; }));
    EXPECT_EQ(settings.syncFolder(), "/b");
}

}  // namespace
}  // namespace lumora

namespace lumora {
namespace {

// The pieces as the program puts them together: settings.ini names the folder, and
// pointing it elsewhere while running brings that folder's record to the page.
TEST(FolderCloudSync, EditingTheSyncFolderInSettingsPullsFromTheNewFolder) {
    TestEnv env;
    test::LogCapture logs;
    auto loop = makeGLibMainLoop();
    std::string config = env.configHome() + "/Lumora";
    test::makeDirectories(config);
    test::writeFile(config + "/settings.ini", "[Lumora]\ncloudSync=true\n");
    auto cloud = makeFolderCloudSync(*loop, env.dataHome() + "/Lumora", config);
    auto page = std::make_shared<test::FakePageView>();
    cloud->setWebView(page);
    // Start-up looks at the (empty) default folder once.
    ASSERT_TRUE(spinUntil([&] { return !page->scripts.empty(); }));
    EXPECT_EQ(logs.count("[Lumora] iCloud change (reason 1)"), 1u);
    EXPECT_EQ(page->scripts,
              std::vector<std::string>{R"(window.__lmCloud && window.__lmCloud({"empty":true}))"});
    page->scripts.clear();

    // Another folder with a record in it, as another machine would have written it.
    std::string other = env.root() + "/Synced";
    test::makeDirectories(other);
    test::writeFile(other + "/db.v1", *compressRecord(R"({"from":"elsewhere"})"));
    test::writeFile(config + "/.edit", "[Lumora]\ncloudSync=true\nsyncFolder=" + other + "\n");
    std::rename((config + "/.edit").c_str(), (config + "/settings.ini").c_str());
    ASSERT_TRUE(spinUntil([&] { return !page->scripts.empty(); })) << logs.lines.size();
    EXPECT_EQ(logs.count("[Lumora] iCloud change (reason 3)"), 1u);
    EXPECT_EQ(page->scripts.back(),
              R"(window.__lmCloud && window.__lmCloud({ data: {"from":"elsewhere"} }))");

    // Saves now go to the new folder.
    cloud->push(nlohmann::json{{"n", 1}}, true);
    ASSERT_TRUE(cloud->flush(60));
    EXPECT_EQ(inflateRecord(test::readFile(other + "/db.v1")), R"({"n":1})");
    EXPECT_FALSE(test::fileExists(env.dataHome() + "/Lumora/cloud/db.v1"));
}

}  // namespace
}  // namespace lumora
