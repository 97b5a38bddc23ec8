#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Nothing is taken from a file that does not read whole, and it is not written over; once
// it reads again (mended, or the editor saving it is done) it is written as usual.
TEST_F(SettingsFileTest, FileThatDoesNotReadIsNotUsedNorRewrittenUntilItReads) {
    const std::string broken =
        "[Lumora]\ncloudSync=true\nthis line has no equals sign\nsyncFolder=/mnt/share\n";
    writeFile(path, broken);
    LogCapture logs;
    Settings settings(directory, "/default");
    EXPECT_FALSE(settings.cloudSync());
    EXPECT_FALSE(settings.syncFolder().has_value());
    // The switch holds for this run, in memory only.
    EXPECT_FALSE(settings.setCloudSync(true));
    EXPECT_TRUE(settings.cloudSync());
    EXPECT_FALSE(settings.setSyncFolder("/elsewhere"));
    EXPECT_EQ(readFile(path), broken);

    // Mended by hand while running: read at once, and the next write takes the switch too.
    writeFile(path, "[Lumora]\nsyncFolder=/mnt/mended\n");
    EXPECT_EQ(settings.syncFolder(), "/mnt/mended");
    ASSERT_TRUE(settings.setSyncFolder("/mnt/chosen"));
    EXPECT_EQ(readFile(path), "[Lumora]\ncloudSync=true\nsyncFolder=/mnt/chosen\n");

    // A FIFO in its place is not waited on.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    alarm(10);
    EXPECT_FALSE(settings.cloudSync());
    EXPECT_FALSE(settings.setCloudSync(false));
    alarm(0);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_TRUE(settings.setCloudSync(false));
    EXPECT_FALSE(cloudSyncOnFile());

    // Once per spell, with the reason.
    ASSERT_EQ(logs.lines.size(), 2u);
    EXPECT_TRUE(logs.lines[0].starts_with("[Lumora] settings.ini not read: ")) << logs.lines[0];
    EXPECT_NE(logs.lines[0].find("this line has no equals sign"), std::string::npos);
    EXPECT_EQ(logs.lines[1],
              "[Lumora] settings.ini not read: not a regular file; not used or rewritten until "
              "it reads");
}

// Dotfiles kept in a repository: the link stays, its target is replaced atomically and
// keeps its mode.
TEST_F(SettingsFileTest, LinkedFileIsWrittenThroughToItsTarget) {
    std::string dotfiles = env.root() + "/dotfiles";
    test::makeDirectories(dotfiles);
    writeFile(dotfiles + "/lumora.ini", "[Lumora]\ncloudSync=false\n");
    ASSERT_EQ(chmod((dotfiles + "/lumora.ini").c_str(), 0640), 0);
    // Relative, and through a second link.
    ASSERT_EQ(symlink("lumora.ini", (dotfiles + "/current.ini").c_str()), 0);
    ASSERT_EQ(symlink("../../dotfiles/current.ini", path.c_str()), 0);
    Settings settings(directory, "/default");
    ASSERT_TRUE(settings.setCloudSync(true));
    EXPECT_EQ(readFile(dotfiles + "/lumora.ini"), "[Lumora]\ncloudSync=true\n");
    struct stat info;
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(lstat((dotfiles + "/current.ini").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(test::runCommand("ls -A '" + dotfiles + "'"), "current.ini\nlumora.ini\n");
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
