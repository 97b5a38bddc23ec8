#include "store/settings.hpp"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "container/base/file_io.hpp"
#include "container/base/log.hpp"

namespace lumora {

namespace {
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool isSpace(char c) {
    return g_ascii_isspace(c);
}

// The text of a key file that GKeyFile parses, with key in group set to value and every
// other byte kept. GKeyFile's own writer would merge repeated groups and move comments.
// The key's last line in any of the group's sections is the one GKeyFile reads, so that
// is the one replaced; a new key goes right under the group's first header.
std::string withValue(const std::string& text, std::string_view group, std::string_view key,
                      const std::string& value) {
    const std::string line = std::string(key) + "=" + value;
    std::optional<std::pair<std::size_t, std::size_t>> found;  // the line, without its end
    std::optional<std::size_t> underHeader;
    bool inGroup = false;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) end = text.size();
        if (end > start && text[end - 1] == '\r') --end;
        std::string_view content(text.data() + start, end - start);
        while (!content.empty() && isSpace(content.front())) content.remove_prefix(1);
        if (content.empty() || content.front() == '#') {
        } else if (content.front() == '[') {
            inGroup = content.substr(1, content.find(']') - 1) == group;
            if (inGroup && !underHeader) underHeader = next;
        } else if (inGroup) {
            std::string_view name = content.substr(0, content.find('='));
            while (!name.empty() && isSpace(name.back())) name.remove_suffix(1);
            if (name == key) found = {start, end};
        }
        start = next;
    }
    if (found) return text.substr(0, found->first) + line + text.substr(found->second);
    if (underHeader) {
        std::string head = text.substr(0, *underHeader);
        if (head.back() != '\n') head += '\n';
        return head + line + "\n" + text.substr(*underHeader);
    }
    std::string result = text;
    if (!result.empty()) result += result.back() == '\n' ? "\n" : "\n\n";
    return result + "[" + std::string(group) + "]\n" + line + "\n";
}
}  // namespace

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

Settings::Contents Settings::load() const {
    Contents contents{GPtr<GKeyFile>::adopt(g_key_file_new()), "", false, true};
    std::string fault;
    // Without blocking: a FIFO in its place would hold the main thread for ever.
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        // No file yet: every setting takes its default.
        if (errno != ENOENT) fault = std::strerror(errno);
    } else {
        struct stat info;
        if (fstat(fd, &info) != 0)
            fault = std::strerror(errno);
        else if (!S_ISREG(info.st_mode))
            fault = "not a regular file";
        else if (int error = readAll(fd, contents.text, kMaxFileSize); error != 0)
            fault = std::strerror(error);
        ::close(fd);
    }
    if (fault.empty()) {
        // Some editors start UTF-8 files with a byte-order mark, which GKeyFile rejects.
        if (contents.text.starts_with(kByteOrderMark)) {
            contents.text.erase(0, kByteOrderMark.size());
            contents.byteOrderMark = true;
        }
        GError* error = nullptr;
        if (!g_key_file_load_from_data(contents.keys.get(), contents.text.data(),
                                       contents.text.size(), G_KEY_FILE_NONE, &error)) {
            fault = error ? error->message : "not a key file";
            g_clear_error(&error);
        }
    }
    if (fault.empty()) {
        unreadable_ = false;
        return contents;
    }
    // Half a file is not taken: the keys after the fault could change what the ones
    // before it mean (the switch above, the folder below).
    if (!unreadable_)
        log("settings.ini not read: " + fault + "; not used or rewritten until it reads");
    unreadable_ = true;
    return Contents{GPtr<GKeyFile>::adopt(g_key_file_new()), "", false, false};
}

const Settings::Contents& Settings::contents() const {
    if (!cached_ || !monitor_) cached_ = load();
    return *cached_;
}

bool Settings::writeValue(const char* key, const std::string& value) {
    // Read afresh: an edit the watch has not reported yet must not be written over.
    cached_.reset();
    auto contents = load();
    if (!contents.usable) return false;
    std::string text = withValue(contents.text, kGroup, key, value);
    // A switch the file could not take earlier goes in with this write.
    bool pending = unsavedCloudSync_ && std::string_view(key) != kCloudSyncKey;
    if (pending)
        text = withValue(text, kGroup, kCloudSyncKey, *unsavedCloudSync_ ? "true" : "false");
    if (contents.byteOrderMark) text.insert(0, kByteOrderMark);
    g_mkdir_with_parents(directory_.c_str(), 0700);
    int error = writeFileAtomically(path_, text, 0600);
    if (error != 0) log("settings not saved: " + std::string(std::strerror(error)));
    if (error == 0 && pending) unsavedCloudSync_.reset();
    return error == 0;
}

bool Settings::cloudSync() const {
    if (unsavedCloudSync_) return *unsavedCloudSync_;
    const auto& contents = this->contents();
    GError* error = nullptr;
    gboolean on = g_key_file_get_boolean(contents.keys.get(), kGroup, kCloudSyncKey, &error);
    if (error) {
        g_error_free(error);
        return false;
    }
    return on;
}

bool Settings::setCloudSync(bool on) {
    if (writeValue(kCloudSyncKey, on ? "true" : "false")) {
        unsavedCloudSync_.reset();
        return true;
    }
    unsavedCloudSync_ = on;
    return false;
}

std::expected<std::string, std::string> Settings::syncFolder() const {
    const auto& contents = this->contents();
    if (!contents.usable) return std::unexpected("settings.ini not read");
    GError* error = nullptr;
    gchar* raw = g_key_file_get_string(contents.keys.get(), kGroup, kSyncFolderKey, &error);
    if (!raw) {
        bool named = !g_error_matches(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_GROUP_NOT_FOUND) &&
                     !g_error_matches(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_KEY_NOT_FOUND);
        std::string why = error ? error->message : "";
        g_clear_error(&error);
        if (named) return std::unexpected(std::string(kSyncFolderKey) + ": " + why);
        return defaultSyncFolder_;
    }
    std::string folder = raw;
    g_free(raw);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.empty()) return defaultSyncFolder_;
    std::string home = g_get_home_dir();
    if (folder == "~") return home;
    if (folder.starts_with("~/")) return home + folder.substr(1);
    // "~name" would be another user's home.
    if (folder.front() == '~')
        return std::unexpected(std::string(kSyncFolderKey) + "=" + folder + ": not a folder");
    if (!g_path_is_absolute(folder.c_str())) return home + "/" + folder;
    return folder;
}

bool Settings::setSyncFolder(const std::string& folder) {
    // GKeyFile's escaping, so the value reads back as given.
    auto scratch = GPtr<GKeyFile>::adopt(g_key_file_new());
    g_key_file_set_string(scratch.get(), kGroup, kSyncFolderKey, folder.c_str());
    gchar* escaped = g_key_file_get_value(scratch.get(), kGroup, kSyncFolderKey, nullptr);
    std::string value = escaped ? escaped : "";
    g_free(escaped);
    return writeValue(kSyncFolderKey, value);
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
            settings->cached_.reset();
            if (settings->changed_) settings->changed_();
            break;
        }
        default:
            break;
    }
}

}  // namespace lumora
