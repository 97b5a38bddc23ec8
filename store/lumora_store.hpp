#pragma once
#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <optional>
#include <string>

namespace lumora {

// The page's saved state in one file, "lumora.json" in the user's data directory.
// The value is never interpreted, only checked to be well-formed JSON.
class LumoraStore {
  public:
    // Creates the directory (errors ignored: the next save then fails quietly) and
    // removes the temporaries of saves that were killed before they finished.
    explicit LumoraStore(const std::string& directory);

    const std::string& path() const { return path_; }

    // The file's text when it parses as a JSON object or array and is UTF-8.
    std::optional<std::string> load() const;
    // Replaces the file with the compact JSON of an object or array, atomically and
    // durably. Returns whether it was written; callers may ignore it.
    bool save(const nlohmann::json& value) const;
    // The same for text that is already the compact JSON of an object or array. Returns 0,
    // or the errno of a failure; the previous file then stays as it was.
    //
    // A file there that cannot be read as a state (cut short, a stray byte) may still be
    // the user's whole journal: it is first renamed to "lumora.json.unreadable-<date and
    // time>" beside itself, never over an earlier one, and the write goes ahead only once
    // it is out of the way.
    int saveCompact(const std::string& document) const;

    // The file an earlier save moved aside, once; nothing when none did since last asked.
    std::optional<std::string> takeSetAside() const;

  private:
    struct Identity {
        dev_t device;
        ino_t inode;
        off_t size;
        long long modified;
        bool operator==(const Identity&) const = default;
    };
    std::optional<Identity> identity() const;
    std::optional<std::string> readState(std::optional<Identity>& read) const;
    // Zero when nothing unreadable is in the way (anymore), else the errno of the rename.
    int setAsideUnreadable() const;

    std::string path_;
    // The file as last read whole or written by us: a save over it needs no check.
    mutable std::optional<Identity> known_;
    mutable std::optional<std::string> setAside_;
};

}  // namespace lumora
