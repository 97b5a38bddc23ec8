#pragma once
#include <gio/gio.h>

#include <functional>
#include <optional>
#include <string>

#include "container/glib_ptr.hpp"

namespace lumora {

// The program's few persisted settings, in settings.ini (a GKeyFile):
//
//   [Lumora]
//   cloudSync=true
//   syncFolder=/home/me/Sync/Lumora
//
// The file is read on every query, so edits made while the program runs count at once,
// and written atomically, keeping whatever else the user put there.
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

    // Calls changed (on the main loop) whenever settings.ini is replaced or edited.
    void watch(std::function<void()> changed);

  private:
    GPtr<GKeyFile> load() const;
    bool write(GKeyFile* file);
    static void onFileEvent(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent event, gpointer self);

    std::string directory_;
    std::string path_;
    std::string defaultSyncFolder_;
    std::optional<bool> unsavedCloudSync_;
    GPtr<GFileMonitor> monitor_;
    std::function<void()> changed_;
};

}  // namespace lumora
