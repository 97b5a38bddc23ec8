#pragma once
#include <nlohmann/json.hpp>

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
    int saveCompact(const std::string& document) const;

  private:
    std::string path_;
};

}  // namespace lumora
