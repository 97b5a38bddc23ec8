#include "store/settings.hpp"

#include <glib/gstdio.h>

#include <cstring>

#include "container/log.hpp"
#include "store/lumora_store.hpp"

namespace lumora {

Settings::Settings(std::string directory, std::string defaultSyncFolder)
    : directory_(std::move(directory)),
      path_(directory_ + "/settings.ini"),
      defaultSyncFolder_(std::move(defaultSyncFolder)) {
    removeStaleTemporaries(directory_, "settings.ini");
}

Settings::~Settings() {
    if (monitor_) {
        g_signal_handlers_disconnect_by_data(monitor_.get(), this);
        g_file_monitor_cancel(monitor_.get());
    }
}

GPtr<GKeyFile> Settings::load() const {
    auto file = GPtr<GKeyFile>::adopt(g_key_file_new());
    // A missing or broken file reads as empty: every setting takes its default.
    g_key_file_load_from_file(file.get(), path_.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
    return file;
}

bool Settings::write(GKeyFile* file) {
    gsize length = 0;
    gchar* data = g_key_file_to_data(file, &length, nullptr);
    std::string text(data ? data : "", data ? length : 0);
    g_free(data);
    g_mkdir_with_parents(directory_.c_str(), 0700);
    int error = writeFileAtomically(path_, text, 0600);
    if (error != 0) log("settings not saved: " + std::string(std::strerror(error)));
    return error == 0;
}

bool Settings::cloudSync() const {
    if (unsavedCloudSync_) return *unsavedCloudSync_;
    auto file = load();
    GError* error = nullptr;
    gboolean on = g_key_file_get_boolean(file.get(), kGroup, kCloudSyncKey, &error);
    if (error) {
        g_error_free(error);
        return false;
    }
    return on;
}

bool Settings::setCloudSync(bool on) {
    auto file = load();
    g_key_file_set_boolean(file.get(), kGroup, kCloudSyncKey, on);
    if (write(file.get())) {
        unsavedCloudSync_.reset();
        return true;
    }
    unsavedCloudSync_ = on;
    return false;
}

std::string Settings::syncFolder() const {
    auto file = load();
    gchar* raw = g_key_file_get_string(file.get(), kGroup, kSyncFolderKey, nullptr);
    std::string folder = raw ? raw : "";
    g_free(raw);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder == "~")
        folder = g_get_home_dir();
    else if (folder.starts_with("~/"))
        folder = std::string(g_get_home_dir()) + folder.substr(1);
    if (folder.empty() || !g_path_is_absolute(folder.c_str())) return defaultSyncFolder_;
    return folder;
}

bool Settings::setSyncFolder(const std::string& folder) {
    auto file = load();
    g_key_file_set_string(file.get(), kGroup, kSyncFolderKey, folder.c_str());
    return write(file.get());
}

void Settings::watch(std::function<void()> changed) {
    changed_ = std::move(changed);
    if (monitor_) return;
    g_mkdir_with_parents(directory_.c_str(), 0700);
    auto file = GPtr<GFile>::adopt(g_file_new_for_path(path_.c_str()));
    monitor_ = GPtr<GFileMonitor>::adopt(
        g_file_monitor_file(file.get(), G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr));
    if (!monitor_) return;
    g_signal_connect(monitor_.get(), "changed", G_CALLBACK(onFileEvent), this);
}

void Settings::onFileEvent(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent event, gpointer self) {
    // Atomic writers rename into place; in-place editors finish with a done hint.
    switch (event) {
        case G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT:
        case G_FILE_MONITOR_EVENT_DELETED:
        case G_FILE_MONITOR_EVENT_RENAMED:
        case G_FILE_MONITOR_EVENT_MOVED_IN:
        case G_FILE_MONITOR_EVENT_MOVED_OUT: {
            auto* settings = static_cast<Settings*>(self);
            if (settings->changed_) settings->changed_();
            break;
        }
        default:
            break;
    }
}

}  // namespace lumora
