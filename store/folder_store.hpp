#pragma once
#include <gio/gio.h>

#include <sys/stat.h>
#include <sys/types.h>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "container/base/glib_ptr.hpp"
#include "container/base/main_loop.hpp"
#include "store/key_value_store.hpp"

namespace lumora {

// A key-value store kept as one file per key in a folder that a sync engine (Syncthing,
// a Nextcloud client, ...) carries between machines. Values are written through a
// hidden temporary file, fsync and rename, so the engine and other readers only ever
// see whole files. The folder is watched; a completed change by any other process is
// reported as kServerChange, the store's own writes are not reported at all.
//
// Only a folder the store may create (createIfMissing) is made when it is missing. Any
// other one that is missing, not a directory or not writable is unavailable (a share not
// mounted, a disk not plugged in): reads and writes are refused as kUnavailable, and the
// folder is watched again once it works. An empty folder name is never usable.
//
// A value is only replaced once this store has read what is there now: a write over a
// file is refused as kChanged when the file differs from the one last read or written
// under its key, or the folder is another directory than then (a mount came or went).
//
// read, store, remove and synchronize may run on a worker thread (one call at a time),
// so a folder that hangs holds up that thread only. Setting up the watch and looking at
// changed files run on a worker of the store's own; the watch's events, setFolder and
// change reports are on the main thread.
class FolderStore final : public KeyValueStore {
  public:
    FolderStore(MainLoop& loop, std::string folder, bool createIfMissing);
    ~FolderStore() override;
    FolderStore(const FolderStore&) = delete;
    FolderStore& operator=(const FolderStore&) = delete;

    // Main thread.
    const std::string& folder() const { return folder_; }
    // Waits up to the given time for the folder work given so far; its results are posted,
    // not applied. False when the folder is still being looked at.
    bool flushWatch(double seconds);
    // Points the store at another folder and, when it differs, reports kAccountChange once
    // the new one is watched.
    void setFolder(std::string folder, bool createIfMissing);

    std::expected<std::optional<std::string>, ReadError> read(const std::string& key) override;
    std::expected<void, StoreError> store(const std::string& key,
                                          const std::string& bytes) override;
    void remove(const std::string& key) override;
    bool synchronize() override;
    // The first handler also receives kInitialSync, once per store.
    void setChangeHandler(ChangeHandler handler) override;

    // Names that are never values: hidden files (our own temporaries and most sync
    // engines' partial downloads) and the conflict copies sync engines leave behind.
    static bool isIgnoredName(std::string_view name);
    // Values larger than this are refused on reading (EFBIG).
    static constexpr off_t kMaxValueSize = 16 * 1024 * 1024;
    // Temporaries left by killed writes are removed at open once this old, in seconds.
    static constexpr double kStaleTemporaryAge = 600;

  private:
    // What a file was when we last wrote or reported it; a change is anything else.
    struct Identity {
        dev_t device;
        ino_t inode;
        off_t size;
        long long modified;
        long long changed;
        bool operator==(const Identity&) const = default;
    };
    // What this store last read or wrote under a key, and in which directory.
    struct Seen {
        std::optional<std::pair<dev_t, ino_t>> folder;
        std::optional<Identity> file;  // nothing = no plain file
    };
    // The folder as one call on the worker uses it, taken once at its start.
    struct Place {
        std::string folder;
        bool createIfMissing;
        std::string pathOf(const std::string& name) const { return folder + "/" + name; }
    };
    Place place() const;
    static bool isKey(std::string_view key);
    static std::optional<Identity> identityOf(const std::string& path);
    static std::optional<std::pair<dev_t, ino_t>> folderIdentity(const std::string& folder);
    void markSeen(const Place& place, const std::string& key, std::optional<Identity> file);
    bool changedSinceSeen(const Place& place, const std::string& key) const;
    // The first look, another folder set, or the same folder back after an absence.
    enum class Why { kFirst, kNewFolder, kBack };
    // What a look at the folder found, on the watch worker.
    struct Opened {
        std::optional<std::pair<dev_t, ino_t>> watched;
        GPtr<GFile> folderFile;
        GPtr<GFileMonitor> monitor;
        std::map<std::string, std::optional<Identity>> known;
        Why why = Why::kFirst;
    };
    void open(Why why = Why::kFirst);
    Opened openFolder(const Place& place);
    void finishOpen(std::uint64_t number, Opened opened);
    void close();
    void reportInitial();
    // Zero when the folder can hold values now, else why not; info is the folder's.
    static int folderError(const std::string& folder, struct stat& info);
    // For a folder that is not created: zero when it is usable, else why not. Logs the
    // start of each spell of unavailability, and has the main thread watch the folder
    // anew when it is back.
    int checkAvailable(const Place& place);
    void markUnavailable(const Place& place);
    // Main thread: a new watch when the folder is back or another directory is there.
    void reopenIfMoved();
    void check(const std::string& name);
    void checkLater(const std::string& name);
    void report(std::optional<int> reason, std::vector<std::string> keys);
    static void onEvent(GFileMonitor*, GFile* file, GFile* other, GFileMonitorEvent event,
                        gpointer self);
    std::optional<std::string> childName(GFile* file) const;

    MainLoop& loop_;
    // Guards what both threads use: the folder and the maps below. No file is touched
    // while it is held, so the main thread never waits on a hung folder through it.
    mutable std::mutex mutex_;
    std::string folder_;
    bool createIfMissing_;
    bool unavailable_ = false;
    // The directory the watch was set up on; another one there needs a new watch.
    std::optional<std::pair<dev_t, ino_t>> watched_;
    GPtr<GFile> folderFile_;
    GPtr<GFileMonitor> monitor_;
    // Last known state of each name; nothing = absent.
    std::map<std::string, std::optional<Identity>> known_;
    // Only what this store itself read or wrote: a change reported but not read yet is not
    // seen. Keys never read or written are missing.
    std::map<std::string, Seen> seen_;
    // The key being written now, and whether a change to it was seen meanwhile: checked
    // once the write is known, so our own write is not reported.
    std::optional<std::string> writing_;
    bool recheck_ = false;
    ChangeHandler handler_;
    bool initialReported_ = false;
    bool firstOpenDone_ = false;
    std::uint64_t opens_ = 0;  // main thread: the open whose result is wanted
    // Opening the folder and looking at changed files, in order. Its jobs use only the
    // guarded members and post what the main thread needs.
    SerialWorker watcher_{"lumora-folder"};
    LoopOwner owner_{loop_};
};

}  // namespace lumora
