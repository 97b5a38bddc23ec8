#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "container/base/main_loop.hpp"
#include "store/key_value_store.hpp"

namespace lumora::test {

// An in-memory key-value store that counts what is done to it; reports go through the
// loop, as the real store's do.
class FakeKeyValueStore final : public KeyValueStore {
  public:
    explicit FakeKeyValueStore(MainLoop& loop) : loop_(loop) {}

    std::expected<std::optional<std::string>, ReadError> read(const std::string& key) override {
        ++reads;
        if (readError) return std::unexpected(*readError);
        unseenChange = false;
        auto it = values.find(key);
        if (it == values.end()) return std::optional<std::string>{};
        return std::optional<std::string>(it->second);
    }
    std::expected<void, StoreError> store(const std::string& key,
                                          const std::string& bytes) override {
        ++writes;
        if (full) {
            reportChange(kQuotaViolation);
            return std::unexpected(StoreError::kFull);
        }
        if (storeError) return std::unexpected(*storeError);
        if (unseenChange) return std::unexpected(StoreError::kChanged);
        values[key] = bytes;
        return {};
    }
    void remove(const std::string& key) override {
        ++removals;
        values.erase(key);
    }
    bool synchronize() override {
        ++synchronizations;
        return true;
    }
    void setChangeHandler(ChangeHandler handler) override { handler_ = std::move(handler); }

    // What another machine's change would look like.
    void reportChange(std::optional<int> reason) {
        loop_.post([this, reason] {
            if (handler_) handler_(reason, {"db.v1"});
        });
    }
    bool hasHandler() const { return static_cast<bool>(handler_); }

    std::map<std::string, std::string> values;
    int reads = 0, writes = 0, removals = 0, synchronizations = 0;
    std::optional<ReadError> readError;
    std::optional<StoreError> storeError;  // every write fails so (besides full)
    // Another machine wrote since our last read: writes are refused until the next read.
    bool unseenChange = false;
    bool full = false;

  private:
    MainLoop& loop_;
    ChangeHandler handler_;
};

}  // namespace lumora::test
