#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/settings.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"

namespace lumora {
namespace {

using test::LogCapture;
using test::readFile;
using test::TestEnv;
using test::writeFile;

class SettingsFileTest : public ::testing::Test {
  protected:
    SettingsFileTest() { test::makeDirectories(directory); }
    // A fresh reader each time: what the next start of the program would see.
    bool cloudSyncOnFile() { return Settings(directory, "/default").cloudSync(); }

    TestEnv env;
    std::string directory = env.configHome() + "/Lumora";
    std::string path = directory + "/settings.ini";
};

TEST_F(SettingsFileTest, ByteOrderMarkIsSkippedAndKept) {
    writeFile(path, "\xEF\xBB\xBF[Lumora]\ncloudSync=true\nsyncFolder=/mnt/share\n");
    Settings settings(directory, "/default");
    EXPECT_TRUE(settings.cloudSync());
    EXPECT_EQ(settings.syncFolder(), "/mnt/share");
    ASSERT_TRUE(settings.setCloudSync(false));
    EXPECT_EQ(readFile(path), "\xEF\xBB\xBF[Lumora]\ncloudSync=false\nsyncFolder=/mnt/share\n");
    EXPECT_FALSE(cloudSyncOnFile());
}

TEST_F(SettingsFileTest, FileThatDoesNotParseIsNeverRewrittenThisRun) {
    const std::string broken =
        "[Lumora]\ncloudSync=false\nthis line has no equals sign\nsyncFolder=/mnt/share\n";
    writeFile(path, broken);
    LogCapture logs;
    Settings settings(directory, "/default");
    EXPECT_FALSE(settings.cloudSync());  // parsed before the fault
    // The switch holds for this run, in memory only.
    EXPECT_FALSE(settings.setCloudSync(true));
    EXPECT_TRUE(settings.cloudSync());
    EXPECT_FALSE(settings.setSyncFolder("/elsewhere"));
    EXPECT_EQ(readFile(path), broken);

    // Mended by hand while running: read at once, but still not written over.
    writeFile(path, "[Lumora]\nsyncFolder=/mnt/mended\n");
    EXPECT_EQ(settings.syncFolder(), "/mnt/mended");
    EXPECT_FALSE(settings.setCloudSync(false));
    EXPECT_EQ(readFile(path), "[Lumora]\nsyncFolder=/mnt/mended\n");

    // Once, with GLib's reason.
    ASSERT_EQ(logs.lines.size(), 1u);
    EXPECT_TRUE(logs.lines[0].starts_with("[Lumora] settings.ini not read: ")) << logs.lines[0];
    EXPECT_NE(logs.lines[0].find("this line has no equals sign"), std::string::npos);
    EXPECT_TRUE(logs.lines[0].ends_with("; it will not be rewritten this run"));
}

// A write changes its own key's line and nothing else: the key GKeyFile reads (the last one
// in any [Lumora] section), or a new line under the first [Lumora] header, or a new group.
TEST_F(SettingsFileTest, WriteChangesOnlyItsOwnLine) {
    struct Case {
        const char* name;
        std::string before, after;
    };
    const std::vector<Case> cases = {
        {"repeated group and key, comments, unknown key, CRLF",
         "# mine\r\n[Lumora]\r\ncloudSync=false\r\nunknown=1\r\n\r\n# other\r\n[Other]\r\n"
         "a=b\r\n[Lumora]\r\n  cloudSync = false\r\nsyncFolder=/s\r\n",
         "# mine\r\n[Lumora]\r\ncloudSync=false\r\nunknown=1\r\n\r\n# other\r\n[Other]\r\n"
         "a=b\r\n[Lumora]\r\ncloudSync=true\r\nsyncFolder=/s\r\n"},
        {"key missing from the group",
         "[Other]\ncloudSync=false\n[Lumora]  \n# note\nsyncFolder=/s",
         "[Other]\ncloudSync=false\n[Lumora]  \ncloudSync=true\n# note\nsyncFolder=/s"},
        {"group missing, no final line break", "# only a comment",
         "# only a comment\n\n[Lumora]\ncloudSync=true\n"},
    };
    for (const auto& c : cases) {
        writeFile(path, c.before);
        Settings settings(directory, "/default");
        EXPECT_TRUE(settings.setCloudSync(true)) << c.name;
        EXPECT_EQ(readFile(path), c.after) << c.name;
        EXPECT_TRUE(cloudSyncOnFile()) << c.name;
    }

    // A value is written with GKeyFile's escapes, so it reads back as given.
    Settings settings(directory, "/default");
    ASSERT_TRUE(settings.setSyncFolder("/a\\b\tc"));
    EXPECT_EQ(settings.syncFolder(), "/a\\b\tc");
}

}  // namespace
}  // namespace lumora
