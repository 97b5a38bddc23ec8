#pragma once
#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

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

// Writes the whole file through a temporary file, fsync, then rename, so a crash
// leaves the old content or the new one. Returns the errno of a failure, or 0.
// The temporary, ".<name>.tmp-XXXXXX" beside path, is locked (flock) until it has
// been renamed, so removeStaleTemporaries can tell a live write from a dead one.
int writeFileAtomically(const std::string& path, const std::string& contents, int mode = 0600);

struct TemporarySweep {
    int found = 0;    // temporaries of ours in the directory
    int removed = 0;  // of those, the ones no writer held
};
// Removes the temporaries that writeFileAtomically leaves behind when its process dies
// mid-write. Only names of its pattern (for the file called name, or for any name when
// name is empty), only regular files of this user, only when no writer holds them and
// they are at least minimumAgeSeconds old.
TemporarySweep removeStaleTemporaries(const std::string& directory, const std::string& name,
                                      double minimumAgeSeconds = 0);
// Whether a file name is one of writeFileAtomically's temporaries (for name, or any).
bool isAtomicTemporaryName(std::string_view fileName, std::string_view name = {});

}  // namespace lumora
