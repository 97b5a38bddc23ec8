#include "store/cloud_sync.hpp"

#include <glib.h>

#include "container/base/log.hpp"
#include "container/base/message.hpp"
#include "container/base/page_call.hpp"
#include "store/folder_store.hpp"
#include "store/settings.hpp"

namespace lumora {

namespace {
// As deep as a save from the page can be: the container drops messages past 256 levels,
// and the state sits one level inside its message. Deeper text cannot come from the page
// and may be more than its script parser takes.
constexpr int kMaxStateDepth = 255;

// Whether the inflated bytes are a state the page can take: UTF-8, and JSON whose top
// level is an object or an array. Checked without building the value, so a deeply
// nested or huge record costs no more than a scan.
bool isStateText(const std::string& text) {
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return false;
    auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || (text[first] != '{' && text[first] != '[')) return false;
    return nestingWithin(text, kMaxStateDepth) && nlohmann::json::accept(text);
}

// A JSON text is a script expression, so the page receives the state itself.
std::string dataCall(const std::string& text) {
    return pageCall("__lmCloud", "{ data: " + text + " }");
}
}  // namespace

CloudSync::CloudSync(KeyValueStore& kvs, Settings& settings, MainLoop& loop,
                     RecordCompression compression)
    : kvs_(kvs), settings_(settings), loop_(loop), compression_(compression) {
    kvs_.setChangeHandler([this](std::optional<int> reason, const std::vector<std::string>&) {
        handleExternalChange(reason);
    });
    kvs_.synchronize();
}

CloudSync::~CloudSync() {
    kvs_.setChangeHandler(nullptr);
}

bool CloudSync::isEnabled() {
    return settings_.cloudSync();
}

void CloudSync::push(const nlohmann::json& value, bool sync) {
    std::optional<std::string> document;
    if (isJsonDocument(value)) document = compactJson(value);
    if (document)
        pushDocument(*document, sync);
    else
        applySwitch(sync);
}

void CloudSync::applySwitch(bool sync) {
    if (sync == isEnabled()) return;
    settings_.setCloudSync(sync);
    log(sync ? "iCloud sync on" : "iCloud sync off");
}

void CloudSync::pushDocument(const std::string& text, bool sync) {
    applySwitch(sync);
    if (!sync) return;
    // Same text, same bytes: compression is deterministic.
    if (lastText_ && *lastText_ == text) return;
    if (refusedText_ && *refusedText_ == text) {
        sendStatus({{"error", "big"}});
        return;
    }
    // A record the next pull would refuse is not written either.
    if (text.size() > kInflateLimit) {
        sendStatus({{"error", "big"}});
        refusedText_ = text;
        return;
    }
    auto record = compressRecord(text, compression_);
    if (!record) {
        sendStatus({{"error", "write"}});
        return;
    }
    if (lastPut_ && *lastPut_ == *record) {
        lastText_ = text;
        return;
    }
    if (record->size() > limit) {
        sendStatus({{"error", "big"}});
        refusedText_ = text;
        return;
    }
    // A failed write leaves lastPut alone, so saving the same state again retries it.
    auto stored = kvs_.store(key, *record);
    if (!stored) {
        switch (stored.error()) {
            case KeyValueStore::StoreError::kChanged:
                // Another machine's record not seen yet: the page merges it, and its next
                // save is written.
                log("cloud record changed since last read: pulled before writing");
                pull();
                break;
            case KeyValueStore::StoreError::kUnavailable:
                sendStatus({{"error", "unavailable"}});
                break;
            case KeyValueStore::StoreError::kFull:
                // The store's quota report answers the page.
                break;
            case KeyValueStore::StoreError::kFailed:
                sendStatus({{"error", "write"}});
                break;
        }
        return;
    }
    kvs_.synchronize();
    lastPut_ = std::move(*record);
    lastText_ = text;
}

void CloudSync::pull() {
    kvs_.synchronize();
    auto stored = kvs_.read(key);
    if (!stored) {
        bool unavailable = stored.error() == KeyValueStore::ReadError::kUnavailable;
        sendStatus({{"error", unavailable ? "unavailable" : "read"}});
        return;
    }
    if (!*stored) {
        // Removed elsewhere: what we last wrote is gone, so the next save writes again.
        lastPut_.reset();
        lastText_.reset();
        refusedText_.reset();
        sendStatus({{"empty", true}});
        return;
    }
    const std::string& record = **stored;
    auto text = inflateRecord(record);
    if (!text || !isStateText(*text)) {
        sendStatus({{"error", "read"}});
        return;
    }
    lastPut_ = record;
    lastText_ = *text;
    WeakPageView view = webView_;
    loop_.post([view, script = dataCall(*text)] { evaluateIfAlive(view, script); });
}

void CloudSync::forget() {
    kvs_.remove(key);
    kvs_.synchronize();
    lastPut_.reset();
    lastText_.reset();
    refusedText_.reset();
}

void CloudSync::handleExternalChange(std::optional<int> reason) {
    if (!isEnabled()) return;
    int number = reason.value_or(-1);
    log("iCloud change (reason " + std::to_string(number) + ")");
    if (number == KeyValueStore::kQuotaViolation) {
        sendStatus({{"error", "quota"}});
        return;
    }
    pull();
}

void CloudSync::sendStatus(const nlohmann::json& status) {
    auto text = compactJson(status);
    if (!text) return;
    WeakPageView view = webView_;
    loop_.post([view, script = pageCall("__lmCloud", *text)] { evaluateIfAlive(view, script); });
}

namespace {
class FolderCloudSync final : public CloudService {
  public:
    FolderCloudSync(MainLoop& loop, const std::string& dataDirectory,
                    const std::string& configDirectory)
        : settings_(configDirectory, dataDirectory + "/cloud"),
          store_(loop, namedFolder(), isDefault(namedFolder())),
          sync_(store_, settings_, loop) {
        settings_.watch([this] {
            std::string folder = namedFolder();
            if (folder == store_.folder()) return;
            if (!folder.empty()) log("sync folder: " + folder);
            store_.setFolder(folder, isDefault(folder));
        });
    }
    void setWebView(WeakPageView view) override { sync_.setWebView(std::move(view)); }
    bool isEnabled() override { return sync_.isEnabled(); }
    void push(const nlohmann::json& value, bool sync) override { sync_.push(value, sync); }
    void pushDocument(const std::string& document, bool sync) override {
        sync_.pushDocument(document, sync);
    }
    void pull() override { sync_.pull(); }
    void forget() override { sync_.forget(); }

  private:
    // Only our own default folder is made when missing; a folder the user named may be a
    // share not mounted yet, and a stand-in would keep the record from the other machines.
    bool isDefault(const std::string& folder) const {
        return folder == settings_.defaultSyncFolder();
    }
    // The folder settings.ini names, or none ("", never usable) when it names none that
    // can be used; the record must not go to the default folder instead.
    std::string namedFolder() {
        auto folder = settings_.syncFolder();
        if (folder) {
            unusable_.reset();
            return *folder;
        }
        if (unusable_ != folder.error()) log("sync folder unusable: " + folder.error());
        unusable_ = folder.error();
        return {};
    }

    Settings settings_;
    // Why the named folder cannot be used, once logged.
    std::optional<std::string> unusable_;
    FolderStore store_;
    CloudSync sync_;
};
}  // namespace

std::unique_ptr<CloudService> makeFolderCloudSync(MainLoop& loop, const std::string& dataDirectory,
                                                  const std::string& configDirectory) {
    return std::make_unique<FolderCloudSync>(loop, dataDirectory, configDirectory);
}

}  // namespace lumora
