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

    // Why a value was not read.
    enum class ReadError {
        kFailed,       // it is there but cannot be read (not a plain value, too large, I/O)
        kUnavailable,  // the store's place is missing or not usable: it may hold a value
    };
    // The value under key; nothing when there is none.
    virtual std::expected<std::optional<std::string>, ReadError> read(const std::string& key) = 0;
    // Why a value was not stored; the old value stays either way.
    enum class StoreError {
        kFailed,       // the write failed
        kFull,         // no room for it; the store also reports kQuotaViolation
        kUnavailable,  // the store's place is missing or not writable: nothing was written
        kChanged,      // the value differs from what this store last read or wrote under the
                       // key (written elsewhere, or the place itself was swapped, as when a
                       // mount comes or goes): nothing was written, read it first
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
