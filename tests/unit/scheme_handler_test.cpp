#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "container/scheme_handler.hpp"
#include "tests/support/test_env.hpp"

namespace lumora {
namespace {

using test::makeDirectories;
using test::writeFile;

class SchemeHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        base = env.root() + "/app";
        root = base + "/web";
        makeDirectories(root + "/assets/img");
        makeDirectories(base + "/web-secrets");
        makeDirectories(base + "/webx");
        writeFile(root + "/index.html", "<h1>home</h1>");
        writeFile(root + "/assets/app.js", "export {}");
        writeFile(root + "/assets/img/Logo.PNG", "png");
        writeFile(root + "/empty.txt", "");
        writeFile(root + "/a%41.txt", "literal percent");
        writeFile(base + "/secret.txt", "top secret");
        writeFile(base + "/web-secrets/key.txt", "sibling");
        writeFile(base + "/webx/key.txt", "sibling");
    }
    test::TestEnv env;
    std::string base, root;
};

TEST_F(SchemeHandlerTest, ServesFilesWithExactlyFourHeaders) {
    BundleSchemeHandler handler(root);
    auto r = handler.respond("lumora://app/assets/app.js?v=2#frag");
    ASSERT_TRUE(r);
    EXPECT_EQ(std::string(r->data.get(), r->size), "export {}");
    std::vector<std::pair<std::string, std::string>> expected{{"Content-Type", "text/javascript"},
                                                              {"Content-Length", "9"},
                                                              {"Access-Control-Allow-Origin", "*"},
                                                              {"Cache-Control", "no-cache"}};
    EXPECT_EQ(r->headers, expected);
    // Host plays no part.
    ASSERT_TRUE(handler.respond("lumora://other/assets/app.js"));
}

TEST_F(SchemeHandlerTest, RootFallsBackToIndexButDirectoriesFail) {
    BundleSchemeHandler handler(root);
    for (const char* uri : {"lumora://app/", "lumora://app", "lumora://app?x=1"}) {
        auto r = handler.respond(uri);
        ASSERT_TRUE(r) << uri;
        EXPECT_EQ(r->mimeType, "text/html") << uri;
    }
    EXPECT_FALSE(handler.respond("lumora://app/assets/"));
    EXPECT_FALSE(handler.respond("lumora://app/assets"));
    EXPECT_FALSE(handler.respond("lumora://app/missing.js"));
}

TEST_F(SchemeHandlerTest, EmptyFileIsServedWithLengthZero) {
    BundleSchemeHandler handler(root);
    auto r = handler.respond("lumora://app/empty.txt");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size, 0u);
    EXPECT_EQ(r->headers[1].second, "0");
}

TEST_F(SchemeHandlerTest, PercentInFileNameIsUnreachableBecauseDecodedTwice) {
    BundleSchemeHandler handler(root);
    EXPECT_FALSE(handler.respond("lumora://app/a%2541.txt"));  // -> a%41 -> aA
    EXPECT_FALSE(handler.respond("lumora://app/a%41.txt"));
}

TEST(SchemeMime, TableAndFallback) {
    EXPECT_EQ(BundleSchemeHandler::mimeTypeFor("/x/Logo.PNG"), "image/png");
    EXPECT_EQ(BundleSchemeHandler::mimeTypeFor("/x/a.jpeg"), "application/octet-stream");
    EXPECT_EQ(BundleSchemeHandler::mimeTypeFor("/x/a.htm"), "application/octet-stream");
    EXPECT_EQ(BundleSchemeHandler::mimeTypeFor("/x/README"), "application/octet-stream");
    EXPECT_EQ(BundleSchemeHandler::mimeTypeFor("/x/.hidden"), "application/octet-stream");
    EXPECT_EQ(BundleSchemeHandler::mimeTypeFor("/x.js/file"), "application/octet-stream");
    const std::vector<std::pair<const char*, const char*>> table{
        {"a.html", "text/html"},        {"a.js", "text/javascript"}, {"a.css", "text/css"},
        {"a.json", "application/json"}, {"a.woff2", "font/woff2"},   {"a.webp", "image/webp"},
        {"a.png", "image/png"},         {"a.jpg", "image/jpeg"},     {"a.svg", "image/svg+xml"},
        {"a.mp4", "audio/mp4"},         {"a.TXT", "text/plain"},     {"a.mjs", "text/javascript"},
        {"a.wasm", "application/wasm"}};
    for (auto [file, type] : table) EXPECT_EQ(BundleSchemeHandler::mimeTypeFor(file), type) << file;
}

TEST(SchemePath, StandardiseAndDecode) {
    EXPECT_EQ(standardisePath("/a/./b/../c//d/"), "/a/c/d");
    EXPECT_EQ(standardisePath("/../../x"), "/x");
    EXPECT_EQ(standardisePath("/"), "/");
    EXPECT_EQ(percentDecode("%41%2f"), "A/");
    EXPECT_FALSE(percentDecode("%4"));
    EXPECT_FALSE(percentDecode("%zz"));
    EXPECT_FALSE(percentDecode("%00"));
    EXPECT_FALSE(percentDecode("%ff"));  // not UTF-8
}

// Every payload must fail, and nothing resolved may lie outside the root.
TEST_F(SchemeHandlerTest, TraversalCorpusNeverLeavesTheRoot) {
    BundleSchemeHandler handler(root);
    const std::vector<std::string> targets{"secret.txt", "web-secrets/key.txt", "webx/key.txt",
                                           "etc/passwd"};
    const std::vector<std::string> ups{"..",   "%2e%2e",     "%2E%2E",  "%252e%252e", ".%2e",
                                       "%2e.", "%252E%252E", "..%2f..", "..%252f.."};
    const std::vector<std::string> seps{"/", "%2f", "%2F", "%252f", "//", "/./", "/%2e/"};
    std::vector<std::string> payloads;
    for (const auto& up : ups)
        for (const auto& sep : seps)
            for (const auto& target : targets) payloads.push_back(up + sep + target);
    for (const auto& target : targets) {
        payloads.push_back("assets/../../" + target);
        payloads.push_back("assets/%2e%2e/%2e%2e/" + target);
        payloads.push_back("./../" + target);
        payloads.push_back("../web/../" + target);
        payloads.push_back("..%5c" + target);
        payloads.push_back("%2e%2e%2f%2e%2e%2f%2e%2e%2f%2e%2e%2f" + target);
    }
    payloads.push_back("../web-secrets/key.txt");
    payloads.push_back("%2e%2e/webx/key.txt");
    payloads.push_back("..//..//..//etc/passwd");
    payloads.push_back("assets/");
    payloads.push_back("assets/img/");
    payloads.push_back("%00index.html");
    payloads.push_back("index.html%00.png");
    ASSERT_GE(payloads.size(), 100u);

    std::size_t failed = 0;
    for (const auto& payload : payloads) {
        for (const std::string& form :
             {"lumora://app/" + payload, "lumora://app/x/../" + payload}) {
            auto resolved = handler.resolve(form);
            if (resolved) {
                EXPECT_TRUE(*resolved == handler.root() ||
                            resolved->starts_with(handler.root() + "/"))
                    << form << " -> " << *resolved;
            }
            auto response = handler.respond(form);
            if (response) {
                std::string body(response->data.get(), response->size);
                EXPECT_NE(body, "top secret") << form;
                EXPECT_NE(body, "sibling") << form;
            } else {
                ++failed;
            }
        }
    }
    EXPECT_EQ(failed, payloads.size() * 2);
}

}  // namespace
}  // namespace lumora
