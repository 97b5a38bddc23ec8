#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "container/base/file_io.hpp"
#include "store/lumora_store.hpp"
#include "tests/support/test_env.hpp"

namespace lumora {
namespace {

using nlohmann::json;

class StoreTest : public ::testing::Test {
  protected:
    test::TestEnv env;
    std::string dir = env.dataHome() + "/Lumora";
    LumoraStore store{dir};
};

TEST_F(StoreTest, NoFileLoadsNothingAndDirectoryIsCreated) {
    EXPECT_FALSE(store.load());
    EXPECT_TRUE(test::fileExists(dir));
    EXPECT_EQ(store.path(), dir + "/lumora.json");
}

TEST_F(StoreTest, SavesCompactJsonAndOnlyDocuments) {
    EXPECT_TRUE(store.save(json::parse(R"({ "b" : [1, 2.5, "é"], "a": {"x": null} })")));
    EXPECT_EQ(test::readFile(store.path()), R"({"a":{"x":null},"b":[1,2.5,"é"]})");
    for (const json& scalar : {json("s"), json(1), json(true), json(nullptr)})
        EXPECT_FALSE(store.save(scalar));
    EXPECT_FALSE(store.save(json::array({std::numeric_limits<double>::infinity()})));
    EXPECT_EQ(store.load(), R"({"a":{"x":null},"b":[1,2.5,"é"]})");
    EXPECT_TRUE(store.save(json::array({1})));
    EXPECT_TRUE(store.save(json::array({2})));
    EXPECT_EQ(store.load(), "[2]");
    struct stat st {};
    ASSERT_EQ(stat(store.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(StoreTest, LoadReturnsExactTextOrNothingForBadFiles) {
    test::writeFile(store.path(), "{\"a\":1}\n");
    EXPECT_EQ(store.load(), "{\"a\":1}\n");
    for (const char* bad : {"{\"a\":", "\"just a string\"", "42", "", "{\"a\":\"\xFF\"}", "null"}) {
        test::writeFile(store.path(), bad);
        EXPECT_FALSE(store.load()) << bad;
        EXPECT_EQ(test::readFile(store.path()), bad);  // the bad file stays until a save
    }
    // The first save keeps the unreadable file beside it (it may be the whole journal, a
    // byte away from readable); a second one in the same second never replaces the first.
    EXPECT_TRUE(store.save(json{{"ok", true}}));
    EXPECT_EQ(store.load(), "{\"ok\":true}");
    auto first = store.takeSetAside();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->starts_with(store.path() + ".unreadable-20")) << *first;
    EXPECT_EQ(test::readFile(*first), "null");
    EXPECT_FALSE(store.takeSetAside());
    EXPECT_TRUE(store.save(json{{"ok", 2}}));  // our own file: nothing to keep
    EXPECT_FALSE(store.takeSetAside());
    test::writeFile(store.path(), "{\"journal\":[\"cut");
    EXPECT_TRUE(store.save(json{{"ok", 3}}));
    auto second = store.takeSetAside();
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
    EXPECT_EQ(test::readFile(*first), "null");
    EXPECT_EQ(test::readFile(*second), "{\"journal\":[\"cut");
    // A FIFO in its place neither blocks a load nor is kept.
    ASSERT_EQ(unlink(store.path().c_str()), 0);
    ASSERT_EQ(mkfifo(store.path().c_str(), 0600), 0);
    EXPECT_FALSE(store.load());
    EXPECT_TRUE(store.save(json{{"ok", 4}}));
    EXPECT_EQ(store.load(), "{\"ok\":4}");
}

TEST_F(StoreTest, FailedWriteLeavesOldFileAndNoTemporaries) {
    ASSERT_TRUE(store.save(json{{"v", 1}}));
    chmod(dir.c_str(), 0500);
    bool root = geteuid() == 0;  // root ignores directory permissions
    bool wrote = store.save(json{{"v", 2}});
    chmod(dir.c_str(), 0700);
    if (!root) {
        EXPECT_FALSE(wrote);
        EXPECT_EQ(store.load(), "{\"v\":1}");
    }
    std::string listing = test::runCommand("ls -A '" + dir + "'");
    EXPECT_EQ(listing, "lumora.json\n");
}

TEST(AtomicWrite, ReportsErrnoForMissingDirectory) {
    test::TestEnv env;
    EXPECT_EQ(writeFileAtomically(env.root() + "/nope/file", "x"), ENOENT);
    EXPECT_EQ(writeFileAtomically(env.root() + "/file", "x"), 0);
    EXPECT_EQ(test::readFile(env.root() + "/file"), "x");
}

}  // namespace
}  // namespace lumora
