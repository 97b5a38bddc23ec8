// The cloud record reader: a record from the sync folder (written by any program) is
// inflated under its size limit, checked as JSON, and only then handed to the page.
// The first byte chooses whether the rest is the record itself or text to compress, so
// the JSON check is reached as well as the inflater.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>

#include "container/base/log.hpp"
#include "fuzz/fuzz_check.hpp"
#include "store/cloud_sync.hpp"
#include "store/record_codec.hpp"
#include "store/settings.hpp"
#include "tests/support/fakes.hpp"

namespace {

using namespace lumora;

struct Store final : KeyValueStore {
    std::expected<std::optional<std::string>, ReadError> read(const std::string& key) override {
        auto it = values.find(key);
        if (it == values.end()) return std::optional<std::string>{};
        return std::optional<std::string>(it->second);
    }
    std::expected<void, StoreError> store(const std::string& key,
                                          const std::string& bytes) override {
        values[key] = bytes;
        return {};
    }
    void remove(const std::string& key) override { values.erase(key); }
    bool synchronize() override { return true; }
    void setChangeHandler(ChangeHandler) override {}
    std::map<std::string, std::string> values;
};

const std::string kDataPrefix = "window.__lmCloud && window.__lmCloud({ data: ";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string record = rest;
    if (data[0] & 1) {
        auto compressed = compressRecord(rest, data[0] & 2 ? kZlibDefault : kRecordCompression);
        FUZZ_CHECK(compressed.has_value());
        // Both engines write raw DEFLATE that the reader inflates back.
        FUZZ_CHECK(inflateRecord(*compressed) == rest);
        record = *compressed;
    }

    // The limit holds: nothing longer comes out, and a tight limit refuses rather than
    // cutting the text short.
    auto full = inflateRecord(record);
    if (full) {
        FUZZ_CHECK(full->size() <= kInflateLimit);
        if (!full->empty()) FUZZ_CHECK(!inflateRecord(record, full->size() - 1));
        FUZZ_CHECK(inflateRecord(record, full->size()) == full);
    }

    test::FakeMainLoop loop;
    Store kvs;
    Settings settings("/nonexistent-lumora-settings", "/nonexistent-lumora-cloud");
    CloudSync sync(kvs, settings, loop);
    auto page = std::make_shared<test::FakePageView>();
    sync.setWebView(page);
    kvs.values[sync.key] = record;
    sync.pull();
    // The read and its checks run on the sync worker; their answer is posted back.
    loop.runPostedAfter([&] { FUZZ_CHECK(sync.flush(60)); });

    FUZZ_CHECK(page->scripts.size() == 1);
    const std::string& script = page->scripts[0];
    if (script.starts_with(kDataPrefix)) {
        // Only a whole, limited, UTF-8 JSON object or array reaches the page, verbatim.
        FUZZ_CHECK(full.has_value());
        FUZZ_CHECK(script == kDataPrefix + *full + " })");
        auto value = nlohmann::json::parse(*full, nullptr, false);
        FUZZ_CHECK(!value.is_discarded() && (value.is_object() || value.is_array()));
        FUZZ_CHECK(sync.lastPut() == record);
    } else {
        FUZZ_CHECK(script == R"(window.__lmCloud && window.__lmCloud({"error":"read"}))");
    }
    return 0;
}
