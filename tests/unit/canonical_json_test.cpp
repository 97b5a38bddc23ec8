#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>
#include <string>
#include <vector>

#include "container/canonical_json.hpp"

namespace lumora {
namespace {

using nlohmann::json;

// What the ordinary path stores for a text: a parse and a print.
std::string printedByTree(const std::string& text) {
    return json::parse(text).dump();
}

TEST(CanonicalJson, MatchesAParseAndPrintByTheTree) {
    const std::vector<std::string> texts = {
        R"({"b":1,"a":2,"B":3,"":4,"é":5,"e":6})",
        R"({"k":{"z":[3,{"y":1,"x":2}],"a":null},"list":[true,false,null]})",
        R"(["plain","say \"hi\"","back\\slash","\b\f\n\r\t","\u0001\u001f\u007f","/ \/"])",
        R"(["caf\u00e9","\ud83d\ude00","😀","€"])",
        R"([0,-0,-0.0,-0e0,-1,9223372036854775807,9223372036854775808,18446744073709551615,-9223372036854775808])",
        R"([1.5,-2.25,1e21,1e-7,1E5,0.1,123456789.125,5e-324,1.7976931348623157e308,2.0])",
        R"({"dup":1,"other":2,"dup":3})",
        R"({"a\u0000b":1,"a":2})",
        R"({})",
        R"([])",
        " \n[ 1 , { \"a\" : [ ] } ]\t",
    };
    for (const auto& text : texts) {
        auto canonical = canonicalJson(text);
        ASSERT_TRUE(canonical) << text;
        EXPECT_EQ(*canonical, printedByTree(text)) << text;
    }
}

TEST(CanonicalJson, RefusesWhatIsNotADocumentOrPrintsDifferently) {
    for (const std::string text :
         {"", "5", "\"text\"", "null", "true", "[1,]", "{\"a\":1", "[1] [2]", "{'a':1}",
          "[\"\\ud800\"]", "[\"\\udc00 alone\"]", "[\"\\ud800\\u0041\"]", "[\"bad \xff byte\"]",
          "[1e400]", "[NaN]", "[18446744073709551616]", "[01]"}) {
        EXPECT_FALSE(canonicalJson(text)) << text;
    }
}

// Random documents of every kind of value, keys in random order, printed as an engine
// would: both ways must agree byte for byte.
TEST(CanonicalJson, RandomDocumentsAgree) {
    std::mt19937 random(7);
    auto pick = [&](int n) { return static_cast<int>(random() % n); };
    const std::vector<std::string> pieces = {"a",    "b", "é", "\"", "\\", "\n",
                                             "\x01", "😀", " ", "Z",  "0",  "_"};
    auto text = [&] {
        std::string s;
        for (int i = pick(4); i >= 0; --i) s += pieces[pick(static_cast<int>(pieces.size()))];
        return s;
    };
    std::function<json(int)> value = [&](int depth) -> json {
        switch (depth > 4 ? pick(5) : pick(7)) {
            case 0:
                return nullptr;
            case 1:
                return pick(2) == 0;
            case 2:
                return static_cast<std::int64_t>(random()) - (1LL << 31);
            case 3:
                return std::ldexp(static_cast<double>(random()), pick(80) - 40);
            case 4:
                return text();
            case 5: {
                json list = json::array();
                for (int i = pick(5); i > 0; --i) list.push_back(value(depth + 1));
                return list;
            }
            default: {
                json object = json::object();
                for (int i = pick(6); i > 0; --i) object[text()] = value(depth + 1);
                return object;
            }
        }
    };
    for (int round = 0; round < 300; ++round) {
        json document = json::array({value(0), value(0)});
        // Reorder keys the way a hash table would, by printing through an ordered copy.
        nlohmann::ordered_json shuffled = nlohmann::ordered_json::parse(document.dump());
        std::function<void(nlohmann::ordered_json&)> shuffle = [&](nlohmann::ordered_json& v) {
            if (v.is_object()) {
                std::vector<std::pair<std::string, nlohmann::ordered_json>> items;
                for (auto& item : v.items()) items.emplace_back(item.key(), item.value());
                for (auto& [key, item] : items) shuffle(item);
                std::shuffle(items.begin(), items.end(), random);
                v = nlohmann::ordered_json::object();
                for (auto& [key, item] : items) v[key] = item;
            } else if (v.is_array()) {
                for (auto& item : v) shuffle(item);
            }
        };
        shuffle(shuffled);
        std::string engineText = shuffled.dump();
        auto canonical = canonicalJson(engineText);
        ASSERT_TRUE(canonical) << engineText;
        EXPECT_EQ(*canonical, document.dump()) << engineText;
    }
}

}  // namespace
}  // namespace lumora
