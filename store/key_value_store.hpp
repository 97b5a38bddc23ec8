#pragma once
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lumora {

// A small key-value store of byte buffers that some other party carries between the
// user's machines. All calls on the main thread; change reports arrive there too.
class KeyValueStore {
  public:
    // Why the store reports an external change.
    enum Reason : int {
        kServerChange = 0,    // another machine (or process) changed a value
        kInitialSync = 1,     // the store's first look at its contents
        kQuotaViolation = 2,  // a write did not fit
        kAccountChange = 3,   // the store now points at other contents
    };
    // The reason, when the store knows one, and the keys concerned (may be empty).
    using ChangeHandler =
        std::function<void(std::optional<int> reason, const std::vector<std::string>& keys)>;

    virtual ~KeyValueStore() = default;

    // The value under key; nothing when there is none; an errno when it cannot be read.
    virtual std::expected<std::optional<std::string>, int> read(const std::string& key) = 0;
    // Why a value was not stored; the old value stays either way.
    enum class StoreError {
        kFailed,       // the write failed; a full store also reports kQuotaViolation
        kUnavailable,  // the store's place is missing or not writable: nothing was written
    };
    virtual std::expected<void, StoreError> store(const std::string& key,
                                                  const std::string& bytes) = 0;
    virtual void remove(const std::string& key) = 0;
    // Asks the store to exchange its contents with the other machines; the result is
    // advisory only.
    virtual bool synchronize() = 0;
    // Replaces the change handler; an empty one stops reports. Reports are always
    // delivered in a later turn of the main loop, never from inside a call above.
    virtual void setChangeHandler(ChangeHandler handler) = 0;
};

}  // namespace lumora
