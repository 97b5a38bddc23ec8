#include <gtest/gtest.h>

#include <cmath>

#include "container/base/message.hpp"

namespace lumora {
namespace {

using nlohmann::json;

TEST(MessageFields, KindsAreStrict) {
    json body = json::parse(R"({"s":"x","b":true,"n":2.5,"i":3,"f":4.0,"big":1e300,
        "neg":-7,"u":18446744073709551615,"d":{"k":1},"arr":[{"a":1},{"b":2}],
        "mixed":[{"a":1},2],"z":null})");
    EXPECT_EQ(field::string(body, "s", "d"), "x");
    EXPECT_EQ(field::string(body, "b", "d"), "d");
    EXPECT_TRUE(field::boolean(body, "b", false));
    EXPECT_FALSE(field::boolean(body, "i", false));  // 1 is not true
    EXPECT_EQ(field::number(body, "i", 0), 3);
    EXPECT_EQ(field::number(body, "s", 9), 9);
    EXPECT_EQ(field::integer(body, "i"), 3);
    EXPECT_EQ(field::integer(body, "f"), 4);
    EXPECT_EQ(field::integer(body, "neg"), -7);
    EXPECT_FALSE(field::integer(body, "n"));
    EXPECT_FALSE(field::integer(body, "big"));
    EXPECT_FALSE(field::integer(body, "u"));
    EXPECT_FALSE(field::integer(body, "s"));
    EXPECT_EQ(field::dictionary(body, "d"), json({{"k", 1}}));
    EXPECT_EQ(field::dictionary(body, "arr"), json::object());
    EXPECT_TRUE(field::arrayOfDictionaries(body, "arr"));
    EXPECT_FALSE(field::arrayOfDictionaries(body, "mixed"));
    EXPECT_FALSE(field::arrayOfDictionaries(body, "d"));
    EXPECT_TRUE(field::find(body, "z"));
    EXPECT_FALSE(field::find(json::array(), "z"));
}

TEST(MessageJson, DocumentsAndSerialisation) {
    EXPECT_TRUE(isJsonDocument(json::object()));
    EXPECT_TRUE(isJsonDocument(json::array({1, "a", nullptr})));
    EXPECT_FALSE(isJsonDocument(json("text")));
    EXPECT_FALSE(isJsonDocument(json(nullptr)));
    EXPECT_FALSE(isJsonDocument(json(3)));
    EXPECT_FALSE(isJsonDocument(json::array({std::nan("")})));
    EXPECT_FALSE(isJsonDocument(json{{"x", {{"y", INFINITY}}}}));
    EXPECT_EQ(compactJson(json{{"a", {1, 2}}}), "{\"a\":[1,2]}");
    EXPECT_FALSE(compactJson(json("\xC3")));  // invalid UTF-8 cannot be serialised
    EXPECT_EQ(textualForm(json("plain")), "plain");
    EXPECT_EQ(textualForm(json(1.5)), "1.5");
}

TEST(MessageJson, NestingLimitCountsOnlyStructure) {
    EXPECT_TRUE(nestingWithin(R"({"a":[{"b":[]}]})", 4));
    EXPECT_FALSE(nestingWithin(R"({"a":[{"b":[]}]})", 3));
    EXPECT_TRUE(nestingWithin(R"({"s":"[[[[[[\"[[[["})", 1));  // brackets inside strings
    EXPECT_FALSE(nestingWithin(std::string(100000, '[') + std::string(100000, ']'), 256));
    EXPECT_TRUE(nestingWithin("", 0));
}

}  // namespace
}  // namespace lumora
