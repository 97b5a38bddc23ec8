#pragma once
#include <gio/gio.h>

#include <expected>
#include <functional>
#include <optional>
#include <string>

#include "container/base/glib_ptr.hpp"

namespace lumora {

// The program's few persisted settings, in settings.ini (a GKeyFile):
//
//   [Lumora]
//   cloudSync=true
//   syncFolder=/home/me/Sync/Lumora
//
// The file is read on every query, so edits made while the program runs count at once;
// once watched, it is read again only when it changes, and queries cost no file access.
// A write replaces the file atomically and changes only its own key's line: comments,
// repeated groups and keys we do not know stay exactly as the user wrote them. A file
// that is a symbolic link stays one: its target is written. Nothing is taken from a file
// that cannot be read or parsed, and it is not rewritten while it stays so; a switch set
// meanwhile holds in memory and is written once the file reads again.
class Settings {
  public:
    static constexpr const char* kGroup = "Lumora";
    static constexpr const char* kCloudSyncKey = "cloudSync";
    static constexpr const char* kSyncFolderKey = "syncFolder";

    // directory: where settings.ini lives; defaultSyncFolder: used when the file names
    // no folder.
    Settings(std::string directory, std::string defaultSyncFolder);
    ~Settings();
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    const std::string& path() const { return path_; }

    // "cloudSync"; absent or not a Boolean reads as false.
    bool cloudSync() const;
    // Returns whether the file was written. When it cannot be, the value still holds
    // for the rest of this run.
    bool setCloudSync(bool on);

    // "syncFolder": an absolute path, or one in the home directory ("~", "~/x" or a
    // relative "x"); the default folder when the file names none. Why not, when the file
    // cannot be read or the value cannot be used as a folder (never the default then: a
    // record there would not reach the other machines).
    std::expected<std::string, std::string> syncFolder() const;
    bool setSyncFolder(const std::string& folder);
    // The folder used when the file names none: the only one the program may create.
    const std::string& defaultSyncFolder() const { return defaultSyncFolder_; }

    // Calls changed (on the main loop) whenever settings.ini is replaced or edited.
    void watch(std::function<void()> changed);

  private:
    struct Contents {
        GPtr<GKeyFile> keys;  // empty unless the whole file parsed
        std::string text;     // without a byte-order mark
        bool byteOrderMark = false;
        bool usable = true;  // parsed, or no file yet
    };
    // Logs the first fault of each spell of unreadable file.
    Contents load() const;
    // What the file holds, from memory while the watch keeps it current.
    const Contents& contents() const;
    // Sets the key to a value already escaped as GKeyFile stores it.
    bool writeValue(const char* key, const std::string& value);
    static void onFileEvent(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent event, gpointer self);
    // Settings files are a few lines; anything past this is not one.
    static constexpr std::size_t kMaxFileSize = 1024 * 1024;

    std::string directory_;
    std::string path_;
    std::string defaultSyncFolder_;
    std::optional<bool> unsavedCloudSync_;
    // Whether the last read failed, so a fault is logged once until the file reads again.
    mutable bool unreadable_ = false;
    GPtr<GFileMonitor> monitor_;
    mutable std::optional<Contents> cached_;
    std::function<void()> changed_;
};

}  // namespace lumora
