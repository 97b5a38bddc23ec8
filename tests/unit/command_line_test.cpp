#include <gtest/gtest.h>

#include "app/command_line.hpp"

namespace lumora {
namespace {

TEST(CommandLineTest, OptionsAndUris) {
    auto cl =
        parseCommandLine({"lumora", "--web-root", "/w", "--inspector", "lumora-gift://x?g=a"});
    EXPECT_TRUE(cl.error.empty());
    EXPECT_EQ(cl.webRoot, "/w");
    EXPECT_TRUE(cl.inspector);
    EXPECT_EQ(cl.uris, std::vector<std::string>{"lumora-gift://x?g=a"});
    EXPECT_EQ(parseCommandLine({"lumora", "--web-root=/x"}).webRoot, "/x");
    EXPECT_TRUE(parseCommandLine({"lumora", "--remind"}).remind);
    EXPECT_TRUE(parseCommandLine({"lumora", "--version"}).version);
    EXPECT_TRUE(parseCommandLine({"lumora", "-h"}).help);
    EXPECT_EQ(parseCommandLine({"lumora", "--", "--odd"}).uris, std::vector<std::string>{"--odd"});
}

TEST(CommandLineTest, ErrorsAreOneLine) {
    auto unknown = parseCommandLine({"lumora", "--frobnicate"});
    EXPECT_EQ(unknown.error, "unknown option --frobnicate (see --help)");
    EXPECT_FALSE(parseCommandLine({"lumora", "--web-root"}).error.empty());
    for (const char* option : {"--web-root", "--inspector", "--remind", "--version", "--help"})
        EXPECT_NE(helpText().find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace lumora
