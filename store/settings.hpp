#pragma once
#include <gio/gio.h>

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
// The file is read on every query, so edits made while the program runs count at once.
// A write replaces the file atomically and changes only its own key's line: comments,
// repeated groups and keys we do not know stay exactly as the user wrote them. A file
// that cannot be read or parsed is never rewritten during the run, since writing back
// what parsed would drop the rest; the switch then holds in memory only.
class Settings {
  public:
    static constexpr const char* kGroup = "Lumora";
    static constexpr const char* kCloudSyncKey = "cloudSync";
    static constexpr const char* kSyncFolderKey = "syncFolder";

    // directory: where settings.ini lives; defaultSyncFolder: used when the file names
    // no folder, or one that is not an absolute path.
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

    // "syncFolder", with a leading "~/" meaning the home directory.
    std::string syncFolder() const;
    bool setSyncFolder(const std::string& folder);
    // The folder used when the file names none: the only one the program may create.
    const std::string& defaultSyncFolder() const { return defaultSyncFolder_; }

    // Calls changed (on the main loop) whenever settings.ini is replaced or edited.
    void watch(std::function<void()> changed);

  private:
    struct Contents {
        GPtr<GKeyFile> keys;
        std::string text;  // without a byte-order mark
        bool byteOrderMark = false;
    };
    // What parsed; a fault is logged once and stops all writes for the run.
    Contents load() const;
    // Sets the key to a value already escaped as GKeyFile stores it.
    bool writeValue(const char* key, const std::string& value);
    static void onFileEvent(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent event, gpointer self);

    std::string directory_;
    std::string path_;
    std::string defaultSyncFolder_;
    std::optional<bool> unsavedCloudSync_;
    // Set by the first failed read; never cleared, so a broken file is never rewritten.
    mutable bool unreadable_ = false;
    GPtr<GFileMonitor> monitor_;
    std::function<void()> changed_;
};

}  // namespace lumora
