#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "container/base/message.hpp"
#include "store/cloud_sync.hpp"
#include "store/record_codec.hpp"
#include "store/settings.hpp"
#include "tests/cloud/fake_key_value_store.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"

namespace lumora {
namespace {

using nlohmann::json;
using test::FakeKeyValueStore;
using test::FakeMainLoop;
using test::FakePageView;
using test::LogCapture;
using test::TestEnv;

const std::string kCallPrefix = "window.__lmCloud && window.__lmCloud(";

// Inflated with plain zlib, independently of the program's own reader.
std::string zlibInflate(const std::string& bytes) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, -15), Z_OK);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    std::string out;
    char buffer[65536];
    int result;
    do {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
    } while (result == Z_OK);
    inflateEnd(&stream);
    EXPECT_EQ(result, Z_STREAM_END);
    return out;
}

std::string zlibDeflate(const std::string& text, int windowBits = -15) {
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// Random letters compress by a quarter at most: 1.3 million of them exceed the limit.
json stateTooBigForTheLimit() {
    std::mt19937 random(7);
    std::string letters(1300000, ' ');
    for (auto& c : letters) c = static_cast<char>('A' + random() % 58);
    for (auto& c : letters)
        if (c == '\\' || c == '"') c = 'x';
    return json::array({letters});
}

class CloudSyncTest : public ::testing::Test {
  protected:
    CloudSyncTest()
        : settings(env.configHome() + "/Lumora", env.dataHome() + "/Lumora/cloud"),
          kvs(loop),
          sync(kvs, settings, loop) {
        sync.setWebView(page);
    }

    // Runs what the worker and the loop have to do until neither has more.
    void settle() {
        loop.runPostedAfter([this] { ASSERT_TRUE(sync.flush(60)); });
    }

    // The arguments of the __lmCloud calls that reached the page since the last look,
    // after the loop has run what was posted.
    std::vector<json> delivered() {
        settle();
        std::vector<json> arguments;
        for (const auto& script : page->scripts) {
            EXPECT_TRUE(script.starts_with(kCallPrefix)) << script;
            EXPECT_TRUE(script.ends_with(")")) << script;
            std::string argument =
                script.substr(kCallPrefix.size(), script.size() - kCallPrefix.size() - 1);
            // A state arrives as a script object literal: { data: <JSON> }.
            if (argument.starts_with("{ data: ")) {
                arguments.push_back(
                    {{"data", json::parse(argument.substr(8, argument.size() - 10))}});
                EXPECT_TRUE(argument.ends_with(" }"));
            } else {
                arguments.push_back(json::parse(argument));
            }
        }
        page->scripts.clear();
        return arguments;
    }

    void putRecord(const json& state) { kvs.values["db.v1"] = *compressRecord(state.dump()); }

    TestEnv env;
    FakeMainLoop loop;
    Settings settings;
    FakeKeyValueStore kvs;
    CloudSync sync;
    std::shared_ptr<FakePageView> page = std::make_shared<FakePageView>();
    LogCapture logs;
};

const json kState = {{"entries", {{{"id", 1}, {"text", "Grüße"}}}}, {"theme", "night"}};

TEST_F(CloudSyncTest, PushWritesRawDeflateOfTheCompactJsonAndRecordsTheSwitch) {
    EXPECT_FALSE(sync.isEnabled());
    sync.push(kState, true);
    settle();
    EXPECT_TRUE(sync.isEnabled());
    EXPECT_EQ(logs.count("[Lumora] iCloud sync on"), 1u);
    ASSERT_EQ(kvs.values.count("db.v1"), 1u);
    EXPECT_EQ(zlibInflate(kvs.values["db.v1"]), *compactJson(kState));
    EXPECT_EQ(sync.lastPut(), kvs.values["db.v1"]);
    // The switch lives in settings.ini, for the next launch.
    Settings reread(env.configHome() + "/Lumora", "/unused");
    EXPECT_TRUE(reread.cloudSync());
    EXPECT_TRUE(delivered().empty());
}

TEST_F(CloudSyncTest, SaveWithoutSyncSwitchesOffAndLeavesTheRecord) {
    sync.push(kState, true);
    settle();
    std::string record = kvs.values["db.v1"];
    sync.push(json{{"other", true}}, false);
    settle();
    EXPECT_FALSE(sync.isEnabled());
    EXPECT_EQ(logs.count("[Lumora] iCloud sync off"), 1u);
    EXPECT_EQ(kvs.values["db.v1"], record);
    EXPECT_EQ(kvs.writes, 1);
    // Staying off logs nothing more.
    sync.push(kState, false);
    settle();
    EXPECT_EQ(logs.count("[Lumora] iCloud sync off"), 1u);
}

TEST_F(CloudSyncTest, ValuesThatAreNotDocumentsAreNotWritten) {
    for (const json& value : {json(42), json("text"), json(nullptr), json(true)}) {
        sync.push(value, true);
        settle();
    }
    EXPECT_EQ(kvs.writes, 0);
    EXPECT_TRUE(delivered().empty());
    EXPECT_TRUE(sync.isEnabled());
}

TEST_F(CloudSyncTest, UnchangedStateIsNotWrittenAgainAfterPushOrPull) {
    sync.push(kState, true);
    settle();
    sync.push(kState, true);
    settle();
    EXPECT_EQ(kvs.writes, 1);

    // Another machine's record, read by a pull; saving exactly that state writes nothing.
    json remote = {{"from", "elsewhere"}, {"n", {1, 2, 3}}};
    putRecord(remote);
    sync.pull();
    settle();
    EXPECT_EQ(delivered(), (std::vector<json>{{{"data", remote}}}));
    EXPECT_EQ(sync.lastPut(), kvs.values["db.v1"]);
    sync.push(remote, true);
    settle();
    EXPECT_EQ(kvs.writes, 1);

    // A real change is written.
    sync.push(kState, true);
    settle();
    EXPECT_EQ(kvs.writes, 2);
    EXPECT_EQ(zlibInflate(kvs.values["db.v1"]), kState.dump());
}

TEST_F(CloudSyncTest, PulledRecordFromAnotherCompressorStillCountsAsUnchanged) {
    // Same state, compressed by another implementation with other settings.
    kvs.values["db.v1"] = zlibDeflate(kState.dump());
    sync.pull();
    settle();
    ASSERT_EQ(delivered().size(), 1u);
    sync.push(kState, true);
    settle();
    EXPECT_EQ(kvs.writes, 0);
}

TEST_F(CloudSyncTest, FailedWriteIsToldAndRetriedByTheNextIdenticalSave) {
    kvs.storeError = KeyValueStore::StoreError::kFailed;
    sync.push(kState, true);
    settle();
    EXPECT_EQ(delivered(), (std::vector<json>{{{"error", "write"}}}));
    // A full store is told once, by its quota report.
    kvs.storeError.reset();
    kvs.full = true;
    sync.push(kState, true);
    settle();
    EXPECT_EQ(delivered(), (std::vector<json>{{{"error", "quota"}}}));
    EXPECT_FALSE(sync.lastPut());
    kvs.full = false;
    sync.push(kState, true);
    settle();
    EXPECT_EQ(kvs.writes, 3);
    EXPECT_EQ(kvs.values.count("db.v1"), 1u);
    EXPECT_TRUE(delivered().empty());
}

// A record another machine wrote that this one has not read yet is never written over:
// it goes to the page, and the page's next save (its merge) is what gets written.
TEST_F(CloudSyncTest, RecordChangedUnseenIsPulledInsteadOfWrittenOver) {
    sync.push(kState, true);
    settle();
    json theirs = {{"from", "elsewhere"}};
    putRecord(theirs);
    kvs.unseenChange = true;
    json mine = {{"mine", 2}};
    sync.push(mine, true);
    settle();
    EXPECT_EQ(kvs.values["db.v1"], *compressRecord(theirs.dump()));
    EXPECT_EQ(delivered(), (std::vector<json>{{{"data", theirs}}}));
    json merged = {{"from", "elsewhere"}, {"mine", 2}};
    sync.push(merged, true);
    settle();
    EXPECT_EQ(zlibInflate(kvs.values["db.v1"]), merged.dump());
    EXPECT_EQ(kvs.writes, 3);
    EXPECT_TRUE(delivered().empty());
}

TEST_F(CloudSyncTest, ForgetThenPullAnswersEmpty) {
    sync.push(kState, true);
    settle();
    sync.forget();
    settle();
    EXPECT_EQ(kvs.values.count("db.v1"), 0u);
    EXPECT_FALSE(sync.lastPut());
    EXPECT_TRUE(sync.isEnabled());  // the switch is not touched
    sync.pull();
    settle();
    EXPECT_EQ(delivered(), (std::vector<json>{{{"empty", true}}}));
    // With lastPut cleared, the same state is written again.
    sync.push(kState, true);
    settle();
    EXPECT_EQ(kvs.writes, 2);
}

// Another machine removed the record: the page is told the folder is empty and saves, and
// that save must write even though this machine wrote the same state before.
TEST_F(CloudSyncTest, RecordRemovedElsewhereIsWrittenAgainByTheSameState) {
    sync.push(kState, true);
    settle();
    kvs.values.erase("db.v1");
    sync.pull();
    settle();
    EXPECT_EQ(delivered(), (std::vector<json>{{{"empty", true}}}));
    sync.push(kState, true);
    settle();
    EXPECT_EQ(kvs.writes, 2);
    EXPECT_EQ(zlibInflate(kvs.values["db.v1"]), kState.dump());
}

TEST_F(CloudSyncTest, PullWorksWithTheSwitchOffAndAnswersOnlyInALaterTurn) {
    putRecord(kState);
    sync.pull();
    EXPECT_TRUE(page->scripts.empty());
    settle();
    ASSERT_EQ(page->scripts.size(), 1u);
    // The JSON text goes in unchanged, so the page gets the state itself.
    EXPECT_EQ(page->scripts[0], kCallPrefix + "{ data: " + kState.dump() + " })");
}

TEST_F(CloudSyncTest, CallbacksAreDroppedWithoutAPage) {
    putRecord(kState);
    sync.pull();
    ASSERT_TRUE(sync.flush(60));
    page.reset();
    settle();  // the page went before the call ran: dropped, no crash
    sync.setWebView(WeakPageView{});
    sync.pull();
    sync.push(stateTooBigForTheLimit(), true);
    settle();
    // Attaching later does not replay what was dropped.
    auto later = std::make_shared<FakePageView>();
    sync.setWebView(later);
    settle();
    EXPECT_TRUE(later->scripts.empty());
    sync.pull();
    settle();
    EXPECT_EQ(later->scripts.size(), 1u);
}

TEST_F(CloudSyncTest, BadRecordsAnswerReadAndStayInPlace) {
    sync.push(kState, true);
    settle();
    std::string good = *sync.lastPut();
    std::string notUtf8 = "[\"\xff\xfe\"]";
    const std::vector<std::pair<std::string, std::string>> records = {
        {"not deflate", "this is plain text, not a deflate stream"},
        {"cut short", good.substr(0, good.size() / 2)},
        {"trailing bytes", good + "junk"},
        {"zlib header", zlibDeflate(kState.dump(), 15)},
        {"not JSON", zlibDeflate("{\"a\":")},
        {"scalar JSON", zlibDeflate("42")},
        {"string JSON", zlibDeflate("\"text\"")},
        {"not UTF-8", zlibDeflate(notUtf8)},
        {"empty", ""},
        {"nested deeper than a save can be",
         zlibDeflate(std::string(256, '[') + std::string(256, ']'))},
        {"nested a million deep",
         zlibDeflate(std::string(1000000, '[') + std::string(1000000, ']'))},
    };
    for (const auto& [name, record] : records) {
        kvs.values["db.v1"] = record;
        sync.pull();
        settle();
        EXPECT_EQ(delivered(), (std::vector<json>{{{"error", "read"}}})) << name;
        EXPECT_EQ(kvs.values["db.v1"], record) << name;
        EXPECT_EQ(sync.lastPut(), good) << name;
    }
    kvs.readError = KeyValueStore::ReadError::kFailed;
    sync.pull();
    settle();
    EXPECT_EQ(delivered(), (std::vector<json>{{{"error", "read"}}}));

    // As deep as the page can save is delivered.
    kvs.readError.reset();
    std::string deepest = std::string(255, '[') + std::string(255, ']');
    kvs.values["db.v1"] = zlibDeflate(deepest);
    sync.pull();
    settle();
    ASSERT_EQ(page->scripts.size(), 1u);
    EXPECT_EQ(page->scripts[0], kCallPrefix + "{ data: " + deepest + " })");
}

// 100 MiB of one letter inside a JSON string, about 100 KB compressed; made in pieces
// so the test itself never holds it.
std::string deflateBomb() {
    z_stream stream{};
    deflateInit2(&stream, 1, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    std::string out, piece(1 << 20, 'a');
    char buffer[65536];
    auto feed = [&](const std::string& in, int flush) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        stream.avail_in = static_cast<uInt>(in.size());
        do {
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, flush);
            out.append(buffer, sizeof buffer - stream.avail_out);
        } while (stream.avail_out == 0);
    };
    feed("[\"", Z_NO_FLUSH);
    for (int i = 0; i < 100; ++i) feed(piece, Z_NO_FLUSH);
    feed("\"]", Z_FINISH);
    deflateEnd(&stream);
    return out;
}

TEST_F(CloudSyncTest, DeflateBombIsRefusedAsRead) {
    kvs.values["db.v1"] = deflateBomb();
    ASSERT_LT(kvs.values["db.v1"].size(), 900000u);
    ASSERT_EQ(zlibInflate(kvs.values["db.v1"]).size(), 100u * 1024 * 1024 + 4);
    sync.pull();
    settle();
    EXPECT_EQ(delivered(), (std::vector<json>{{{"error", "read"}}}));
    EXPECT_FALSE(sync.lastPut());
}

TEST(RecordCodec, InflateStopsAtTheLimit) {
    std::string text(1000, 'x');
    auto record = compressRecord(text);
    ASSERT_TRUE(record);
    EXPECT_EQ(inflateRecord(*record, 1000), text);
    EXPECT_FALSE(inflateRecord(*record, 999));
    EXPECT_EQ(inflateRecord(*compressRecord(""), 0), "");
    // Every engine and level gives a stream that plain zlib reads back.
    for (auto engine : {RecordCompression::Engine::zlib, RecordCompression::Engine::libdeflate})
        for (int level : {1, 6, 9}) {
            auto bytes = compressRecord(kState.dump(), {engine, level});
            ASSERT_TRUE(bytes);
            EXPECT_EQ(zlibInflate(*bytes), kState.dump());
            EXPECT_EQ(compressRecord(kState.dump(), {engine, level}), bytes);
        }
}

// One-string arrays whose records have exactly 900,000 and 900,001 bytes: random text
// from a 64-letter alphabet barely compresses, so each letter adds under a byte and
// every size is hit.
std::pair<json, json> statesAtTheLimit() {
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    for (unsigned seed = 1; seed < 5; ++seed) {
        std::mt19937 random(seed);
        std::string letters(1800000, ' ');
        for (auto& c : letters) c = alphabet[random() % 64];
        auto text = [&](std::size_t n) { return "[\"" + letters.substr(0, n) + "\"]"; };
        auto sizeAt = [&](std::size_t n) { return compressRecord(text(n))->size(); };
        std::size_t low = 900000, high = letters.size();
        while (low < high) {
            std::size_t mid = (low + high) / 2;
            if (sizeAt(mid) < 900000)
                low = mid + 1;
            else
                high = mid;
        }
        std::optional<std::size_t> at, over;
        for (std::size_t n = low; n < low + 64 && !over; ++n) {
            std::size_t size = sizeAt(n);
            if (size == 900000 && !at) at = n;
            if (size == 900001 && at) over = n;
        }
        if (at && over) return {json::parse(text(*at)), json::parse(text(*over))};
    }
    ADD_FAILURE() << "no states compress to the limit";
    return {json::array(), json::array()};
}

TEST_F(CloudSyncTest, RecordOfExactlyTheLimitIsWrittenOneMoreIsRefused) {
    auto [atLimit, overLimit] = statesAtTheLimit();
    ASSERT_EQ(compressRecord(atLimit.dump())->size(), 900000u);
    ASSERT_EQ(compressRecord(overLimit.dump())->size(), 900001u);

    sync.push(atLimit, true);
    settle();
    ASSERT_EQ(kvs.values.count("db.v1"), 1u);
    EXPECT_EQ(kvs.values["db.v1"].size(), 900000u);
    EXPECT_TRUE(delivered().empty());
    std::string written = kvs.values["db.v1"];

    sync.push(overLimit, true);
    settle();
    EXPECT_EQ(delivered(), (std::vector<json>{{{"error", "big"}}}));
    EXPECT_EQ(kvs.values["db.v1"], written);
    EXPECT_EQ(sync.lastPut(), written);
    EXPECT_EQ(kvs.writes, 1);
    // Every save of a state that is too big hears so, not only the first.
    sync.push(overLimit, true);
    settle();
    EXPECT_EQ(delivered(), (std::vector<json>{{{"error", "big"}}}));
    EXPECT_EQ(kvs.writes, 1);
}

TEST_F(CloudSyncTest, ExternalChangesFollowTheSwitchAndTheReason) {
    putRecord(kState);
    kvs.reportChange(0);
    EXPECT_TRUE(delivered().empty());
    EXPECT_FALSE(logs.contains("iCloud change"));
    EXPECT_EQ(kvs.reads, 0);

    settings.setCloudSync(true);
    kvs.reportChange(0);
    EXPECT_EQ(delivered(), (std::vector<json>{{{"data", kState}}}));
    EXPECT_EQ(logs.count("[Lumora] iCloud change (reason 0)"), 1u);

    kvs.reportChange(2);
    int reads = kvs.reads;
    EXPECT_EQ(delivered(), (std::vector<json>{{{"error", "quota"}}}));
    EXPECT_EQ(kvs.reads, reads);  // no pull after a quota report
    EXPECT_EQ(logs.count("[Lumora] iCloud change (reason 2)"), 1u);

    kvs.reportChange(std::nullopt);
    EXPECT_EQ(delivered(), (std::vector<json>{{{"data", kState}}}));
    EXPECT_EQ(logs.count("[Lumora] iCloud change (reason -1)"), 1u);

    for (int reason : {1, 3, 7}) {
        kvs.reportChange(reason);
        EXPECT_EQ(delivered(), (std::vector<json>{{{"data", kState}}})) << reason;
    }
}

// A pull takes what inflates to kInflateLimit at most, so no larger state is written,
// however well it compresses.
TEST_F(CloudSyncTest, StateLargerThanAPullTakesIsRefusedAsBig) {
    auto stateOfSize = [](std::size_t size) { return "[\"" + std::string(size - 4, 'a') + "\"]"; };
    sync.pushDocument(stateOfSize(kInflateLimit + 1), true);
    settle();
    EXPECT_EQ(delivered(), (std::vector<json>{{{"error", "big"}}}));
    EXPECT_EQ(kvs.writes, 0);

    std::string largest = stateOfSize(kInflateLimit);
    sync.pushDocument(largest, true);
    settle();
    EXPECT_TRUE(delivered().empty());
    ASSERT_EQ(kvs.writes, 1);
    sync.pull();
    settle();
    ASSERT_EQ(page->scripts.size(), 1u);
    EXPECT_EQ(page->scripts[0], kCallPrefix + "{ data: " + largest + " })");
}

TEST(CloudSyncLifetime, StopsListeningWhenDestroyed) {
    TestEnv env;
    FakeMainLoop loop;
    Settings settings(env.configHome() + "/Lumora", env.dataHome() + "/cloud");
    FakeKeyValueStore kvs(loop);
    {
        CloudSync sync(kvs, settings, loop);
        ASSERT_TRUE(sync.flush(60));
        EXPECT_TRUE(kvs.hasHandler());
        EXPECT_EQ(kvs.synchronizations, 1);
    }
    EXPECT_FALSE(kvs.hasHandler());
}

}  // namespace
}  // namespace lumora
