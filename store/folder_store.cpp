#include "store/folder_store.hpp"

#include <chrono>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "container/base/file_io.hpp"
#include "container/base/log.hpp"

namespace lumora {

namespace {
long long nanoseconds(const timespec& t) {
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}
}  // namespace

FolderStore::FolderStore(MainLoop& loop, std::string folder, bool createIfMissing)
    : loop_(loop), folder_(std::move(folder)), createIfMissing_(createIfMissing) {
    open();
}

FolderStore::~FolderStore() {
    close();
}

bool FolderStore::isIgnoredName(std::string_view name) {
    if (name.empty() || name.front() == '.') return true;
    // Syncthing, Nextcloud/ownCloud and Dropbox conflict copies; Syncthing's temporary
    // files on file systems without hidden names.
    for (std::string_view mark :
         {".sync-conflict-", "(conflicted copy", "_conflict-", "~syncthing~"})
        if (name.find(mark) != std::string_view::npos) return true;
    return false;
}

bool FolderStore::isKey(std::string_view key) {
    return !isIgnoredName(key) && key.find('/') == std::string_view::npos &&
           key.find('\0') == std::string_view::npos;
}

FolderStore::Place FolderStore::place() const {
    std::lock_guard lock(mutex_);
    return Place{folder_, createIfMissing_};
}

std::optional<FolderStore::Identity> FolderStore::identityOf(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return Identity{info.st_dev, info.st_ino, info.st_size, nanoseconds(info.st_mtim),
                    nanoseconds(info.st_ctim)};
}

std::optional<std::pair<dev_t, ino_t>> FolderStore::folderIdentity(const std::string& folder) {
    struct stat info;
    if (stat(folder.c_str(), &info) != 0) return std::nullopt;
    return std::pair{info.st_dev, info.st_ino};
}

void FolderStore::markSeen(const Place& place, const std::string& key,
                           std::optional<Identity> file) {
    auto folder = folderIdentity(place.folder);
    std::lock_guard lock(mutex_);
    // Moved elsewhere meanwhile: what was seen there says nothing about the new folder.
    if (place.folder == folder_) seen_[key] = Seen{folder, file};
}

bool FolderStore::changedSinceSeen(const Place& place, const std::string& key) const {
    // Writing where there is nothing overwrites nothing.
    auto current = identityOf(place.pathOf(key));
    if (!current) return false;
    auto folder = folderIdentity(place.folder);
    std::lock_guard lock(mutex_);
    auto it = seen_.find(key);
    return place.folder != folder_ || it == seen_.end() || it->second.folder != folder ||
           it->second.file != current;
}

// The folder may be a share that hangs: everything that touches it is done on the watch
// worker, and the main thread takes the watch and the names found once they are there.
void FolderStore::open(Why why) {
    const Place place = this->place();
    std::uint64_t number = ++opens_;
    auto opened = std::make_shared<Opened>();
    auto done = owner_.poster([this, number, opened] { finishOpen(number, std::move(*opened)); });
    watcher_.run([this, place, why, opened, done = std::move(done)] {
        *opened = openFolder(place);
        opened->why = why;
        done();
    });
}

FolderStore::Opened FolderStore::openFolder(const Place& place) {
    Opened opened;
    struct stat info;
    if (place.createIfMissing) {
        if (g_mkdir_with_parents(place.folder.c_str(), 0700) != 0)
            log("sync folder unusable: " + place.folder + ": " + std::strerror(errno));
    } else if (folderError(place.folder, info) != 0) {
        // Nothing to watch yet: checkAvailable() opens the folder once it works.
        markUnavailable(place);
        return opened;
    }
    if (stat(place.folder.c_str(), &info) == 0) opened.watched = {info.st_dev, info.st_ino};
    // Temporaries of writes killed midway. The folder is shared with a sync engine, so
    // only old ones go: a fresh one may be on its way in from another machine.
    removeStaleTemporaries(place.folder, "", kStaleTemporaryAge);
    opened.folderFile = GPtr<GFile>::adopt(g_file_new_for_path(place.folder.c_str()));
    GError* error = nullptr;
    // Moves are reported as such, so a rename into place counts as one finished change.
    // Made here with no context of this thread's own: its events reach the main loop.
    opened.monitor = GPtr<GFileMonitor>::adopt(g_file_monitor_directory(
        opened.folderFile.get(), G_FILE_MONITOR_WATCH_MOVES, nullptr, &error));
    if (!opened.monitor) {
        log("sync folder not watched: " + place.folder + ": " + (error ? error->message : ""));
        if (error) g_error_free(error);
    }
    // After the watch is set up, so no change falls between the two.
    if (DIR* dir = opendir(place.folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (!isKey(name)) continue;
            if (auto identity = identityOf(place.pathOf(name))) opened.known[name] = identity;
        }
        closedir(dir);
    }
    return opened;
}

void FolderStore::finishOpen(std::uint64_t number, Opened opened) {
    // Another open or a close came after this one: its watch is not wanted.
    if (number != opens_) {
        if (opened.monitor) g_file_monitor_cancel(opened.monitor.get());
        return;
    }
    std::vector<std::string> changed;
    {
        std::lock_guard lock(mutex_);
        watched_ = opened.watched;
        // The same folder back after an absence: what changed meanwhile was not seen.
        if (opened.why == Why::kBack)
            for (const auto& [name, identity] : opened.known)
                if (auto it = known_.find(name); it == known_.end() || it->second != identity)
                    changed.push_back(name);
        known_ = std::move(opened.known);
    }
    for (auto& name : changed) report(kServerChange, {std::move(name)});
    // Told once the new folder is watched, so what is written there from then on is seen.
    if (opened.why == Why::kNewFolder) report(kAccountChange, {});
    folderFile_ = std::move(opened.folderFile);
    monitor_ = std::move(opened.monitor);
    if (monitor_) g_signal_connect(monitor_.get(), "changed", G_CALLBACK(onEvent), this);
    if (!firstOpenDone_) {
        firstOpenDone_ = true;
        if (handler_) reportInitial();
    }
}

int FolderStore::folderError(const std::string& folder, struct stat& info) {
    if (stat(folder.c_str(), &info) != 0) return errno;
    if (!S_ISDIR(info.st_mode)) return ENOTDIR;
    if (access(folder.c_str(), R_OK | W_OK | X_OK) != 0) return errno;
    return 0;
}

int FolderStore::checkAvailable(const Place& place) {
    struct stat info;
    if (int error = folderError(place.folder, info); error != 0) {
        markUnavailable(place);
        return error;
    }
    std::lock_guard lock(mutex_);
    if (place.folder != folder_) return 0;
    unavailable_ = false;
    // Back after an absence, or another directory in its place: the old watch sees nothing.
    if (watched_ != std::pair{info.st_dev, info.st_ino}) owner_.post([this] { reopenIfMoved(); });
    return 0;
}

void FolderStore::reopenIfMoved() {
    watcher_.run([this] {
        struct stat info;
        if (folderError(place().folder, info) != 0) return;
        {
            std::lock_guard lock(mutex_);
            if (watched_ == std::pair{info.st_dev, info.st_ino}) return;
        }
        owner_.post([this] {
            close();
            open(Why::kBack);
        });
    });
}

void FolderStore::markUnavailable(const Place& place) {
    {
        std::lock_guard lock(mutex_);
        if (place.folder != folder_ || unavailable_) return;
        unavailable_ = true;
    }
    // No name at all: whoever named none has said why.
    if (!place.folder.empty()) log("sync folder unavailable: " + place.folder);
}

void FolderStore::close() {
    ++opens_;  // an open still on the worker is not wanted any more
    {
        std::lock_guard lock(mutex_);
        watched_.reset();
    }
    if (!monitor_) return;
    g_signal_handlers_disconnect_by_data(monitor_.get(), this);
    g_file_monitor_cancel(monitor_.get());
    monitor_.reset();
}

bool FolderStore::flushWatch(double seconds) {
    auto reached = std::make_shared<std::promise<void>>();
    auto future = reached->get_future();
    watcher_.run([reached] { reached->set_value(); });
    return future.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
}

void FolderStore::setFolder(std::string folder, bool createIfMissing) {
    if (folder == folder_ && createIfMissing == createIfMissing_) return;
    close();
    {
        std::lock_guard lock(mutex_);
        folder_ = std::move(folder);
        createIfMissing_ = createIfMissing;
        unavailable_ = false;
        seen_.clear();
    }
    open(Why::kNewFolder);
}

std::expected<std::optional<std::string>, KeyValueStore::ReadError> FolderStore::read(
    const std::string& key) {
    if (!isKey(key)) return std::unexpected(ReadError::kFailed);
    const Place place = this->place();
    // A missing value in a missing folder is not "no value": the folder may be a share
    // that is not mounted, holding the record after all.
    if (!place.createIfMissing && checkAvailable(place) != 0)
        return std::unexpected(ReadError::kUnavailable);
    const std::string path = place.pathOf(key);
    struct stat named;
    if (lstat(path.c_str(), &named) != 0) {
        if (errno != ENOENT) return std::unexpected(ReadError::kFailed);
        markSeen(place, key, std::nullopt);
        return std::optional<std::string>{};
    }
    // Anything but a plain file (a FIFO would block the open or the read for ever, a device
    // may act on being opened) is refused unopened.
    if (!S_ISREG(named.st_mode)) {
        markSeen(place, key, std::nullopt);
        return std::unexpected(ReadError::kFailed);
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::unexpected(ReadError::kFailed);
    struct stat info;
    // Replaced between the look and the open: read again later.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_dev != named.st_dev ||
        info.st_ino != named.st_ino) {
        ::close(fd);
        return std::unexpected(ReadError::kFailed);
    }
    Identity identity{info.st_dev, info.st_ino, info.st_size, nanoseconds(info.st_mtim),
                      nanoseconds(info.st_ctim)};
    std::string bytes;
    int error = info.st_size > kMaxValueSize
                    ? EFBIG
                    : readAll(fd, bytes, static_cast<std::size_t>(kMaxValueSize));
    ::close(fd);
    // A value too large is as good as read: it can never be taken, so it may be replaced.
    if (error == 0 || error == EFBIG) markSeen(place, key, identity);
    if (error != 0) return std::unexpected(ReadError::kFailed);
    return std::optional<std::string>(std::move(bytes));
}

std::expected<void, KeyValueStore::StoreError> FolderStore::store(const std::string& key,
                                                                  const std::string& bytes) {
    if (!isKey(key)) return std::unexpected(StoreError::kFailed);
    const Place place = this->place();
    if (place.createIfMissing) {
        // The folder may have been removed since start-up.
        g_mkdir_with_parents(place.folder.c_str(), 0700);
    } else if (checkAvailable(place) != 0) {
        return std::unexpected(StoreError::kUnavailable);
    }
    if (changedSinceSeen(place, key)) return std::unexpected(StoreError::kChanged);
    {
        std::lock_guard lock(mutex_);
        writing_ = key;
    }
    // A link in the folder came from the sync engine: never write where it points.
    int error = writeFileAtomically(place.pathOf(key), bytes, 0600, AtLink::kReplace);
    auto written = error == 0 ? identityOf(place.pathOf(key)) : std::nullopt;
    bool recheck;
    {
        std::lock_guard lock(mutex_);
        if (error == 0 && place.folder == folder_) known_[key] = written;
        writing_.reset();
        recheck = std::exchange(recheck_, false);
    }
    // A change seen during the write may have been another writer's after ours.
    if (recheck) watcher_.run([this, key] { check(key); });
    if (error != 0) {
        // Gone or made read-only since the check.
        if (!place.createIfMissing && (error == ENOENT || error == ENOTDIR || error == EACCES ||
                                       error == EPERM || error == EROFS)) {
            markUnavailable(place);
            return std::unexpected(StoreError::kUnavailable);
        }
        log("sync folder write failed: " + place.pathOf(key) + ": " + std::strerror(error));
        if (error == ENOSPC || error == EDQUOT) {
            report(kQuotaViolation, {key});
            return std::unexpected(StoreError::kFull);
        }
        return std::unexpected(StoreError::kFailed);
    }
    markSeen(place, key, written);
    return {};
}

void FolderStore::remove(const std::string& key) {
    if (!isKey(key)) return;
    const Place place = this->place();
    if (unlink(place.pathOf(key).c_str()) == 0 || errno == ENOENT) {
        {
            std::lock_guard lock(mutex_);
            if (place.folder == folder_) known_[key] = std::nullopt;
        }
        markSeen(place, key, std::nullopt);
    }
}

bool FolderStore::synchronize() {
    // The sync engine runs on its own; there is nothing to ask it.
    return true;
}

void FolderStore::setChangeHandler(ChangeHandler handler) {
    handler_ = std::move(handler);
    // Before the first look at the folder is back, the names are not known yet.
    if (handler_ && firstOpenDone_) reportInitial();
}

void FolderStore::reportInitial() {
    if (initialReported_) return;
    initialReported_ = true;
    std::vector<std::string> keys;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [name, identity] : known_)
            if (identity) keys.push_back(name);
    }
    report(kInitialSync, std::move(keys));
}

void FolderStore::report(std::optional<int> reason, std::vector<std::string> keys) {
    owner_.post([this, reason, keys = std::move(keys)] {
        if (!handler_) return;
        // A copy: the handler may replace itself.
        auto handler = handler_;
        handler(reason, keys);
    });
}

std::optional<std::string> FolderStore::childName(GFile* file) const {
    if (!file) return std::nullopt;
    GPtr<GFile> parent = GPtr<GFile>::adopt(g_file_get_parent(file));
    if (!parent || !g_file_equal(parent.get(), folderFile_.get())) return std::nullopt;
    gchar* base = g_file_get_basename(file);
    std::string name = base ? base : "";
    g_free(base);
    if (!isKey(name)) return std::nullopt;
    return name;
}

void FolderStore::check(const std::string& name) {
    auto current = identityOf(place().pathOf(name));
    {
        std::lock_guard lock(mutex_);
        // Our own write in progress: looked at again once it is known.
        if (writing_ == name) {
            recheck_ = true;
            return;
        }
        auto it = known_.find(name);
        std::optional<Identity> previous = it == known_.end() ? std::nullopt : it->second;
        if (current == previous) return;  // our own write, or a change already reported
        known_[name] = current;
    }
    report(kServerChange, {name});
}

void FolderStore::checkLater(const std::string& name) {
    watcher_.run([this, name] { check(name); });
}

void FolderStore::onEvent(GFileMonitor*, GFile* file, GFile* other, GFileMonitorEvent event,
                          gpointer self) {
    auto* store = static_cast<FolderStore*>(self);
    switch (event) {
        // A file is whole once its writer closed it or it was renamed into place;
        // CREATED and CHANGED arrive while it may still be half written.
        case G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT:
        case G_FILE_MONITOR_EVENT_DELETED:
        case G_FILE_MONITOR_EVENT_MOVED_IN:
        case G_FILE_MONITOR_EVENT_MOVED_OUT:
            if (auto name = store->childName(file)) store->checkLater(*name);
            break;
        case G_FILE_MONITOR_EVENT_RENAMED:
            if (auto name = store->childName(file)) store->checkLater(*name);
            if (auto name = store->childName(other)) store->checkLater(*name);
            break;
        default:
            break;
    }
}

}  // namespace lumora
