#include "store/cloud_sync.hpp"

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>

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

// What the worker thread keeps and does. Only calls on the store, compression and the
// record last written or read live here; the main thread decides what is asked.
struct CloudSync::Worker {
    // Spelled out: clang 14 (the fuzz build) does not make aggregates from parentheses.
    Worker(KeyValueStore& kvs, std::string key, std::size_t limit, RecordCompression compression)
        : kvs(kvs), key(std::move(key)), limit(limit), compression(compression) {}
    KeyValueStore& kvs;
    std::string key;
    std::size_t limit;
    RecordCompression compression;
    // Worker thread only: the record last written or read, so an unchanged one is not
    // written again.
    std::optional<std::string> put;

    std::mutex mutex;
    // The newest text to write that no job has taken yet: writes queued behind a slow one
    // collapse into one of the newest state.
    std::shared_ptr<const std::string> text;
    std::uint64_t textNumber = 0;
    // The newest pull asked for: an older one still queued leaves the reading to it.
    std::uint64_t newestPull = 0;

    // False when there was nothing left to do.
    bool push(PushOutcome& out);
    bool pull(std::uint64_t number, PullOutcome& out);
};

struct CloudSync::PushOutcome {
    enum class Kind { kWritten, kSame, kBig, kNotCompressed, kNotStored };
    Kind kind = Kind::kNotCompressed;
    std::uint64_t number = 0;
    std::shared_ptr<const std::string> text;
    std::string record;
    KeyValueStore::StoreError error = KeyValueStore::StoreError::kFailed;
};

struct CloudSync::PullOutcome {
    enum class Kind { kData, kEmpty, kUnreadable, kUnavailable };
    Kind kind = Kind::kUnreadable;
    std::uint64_t number = 0;
    std::string record;
    std::shared_ptr<const std::string> text;
    std::string script;
};

bool CloudSync::Worker::push(PushOutcome& out) {
    {
        std::lock_guard lock(mutex);
        out.text = std::move(text);
        out.number = textNumber;
    }
    if (!out.text) return false;
    auto record = compressRecord(*out.text, compression);
    if (!record) {
        out.kind = PushOutcome::Kind::kNotCompressed;
        return true;
    }
    if (put && *put == *record) {
        out.kind = PushOutcome::Kind::kSame;
        out.record = std::move(*record);
        return true;
    }
    if (record->size() > limit) {
        out.kind = PushOutcome::Kind::kBig;
        return true;
    }
    // A failed write leaves the record last put alone, so saving the same state again
    // retries it.
    auto stored = kvs.store(key, *record);
    if (!stored) {
        out.kind = PushOutcome::Kind::kNotStored;
        out.error = stored.error();
        return true;
    }
    kvs.synchronize();
    put = *record;
    out.kind = PushOutcome::Kind::kWritten;
    out.record = std::move(*record);
    return true;
}

bool CloudSync::Worker::pull(std::uint64_t number, PullOutcome& out) {
    {
        std::lock_guard lock(mutex);
        if (number < newestPull) return false;
    }
    out.number = number;
    kvs.synchronize();
    auto stored = kvs.read(key);
    if (!stored) {
        bool unavailable = stored.error() == KeyValueStore::ReadError::kUnavailable;
        out.kind = unavailable ? PullOutcome::Kind::kUnavailable : PullOutcome::Kind::kUnreadable;
        return true;
    }
    if (!*stored) {
        put.reset();
        out.kind = PullOutcome::Kind::kEmpty;
        return true;
    }
    auto text = inflateRecord(**stored);
    if (!text || !isStateText(*text)) {
        out.kind = PullOutcome::Kind::kUnreadable;
        return true;
    }
    put = **stored;
    out.kind = PullOutcome::Kind::kData;
    out.record = std::move(**stored);
    out.script = dataCall(*text);
    out.text = std::make_shared<const std::string>(std::move(*text));
    return true;
}

CloudSync::CloudSync(KeyValueStore& kvs, Settings& settings, MainLoop& loop,
                     RecordCompression compression)
    : kvs_(kvs),
      settings_(settings),
      loop_(loop),
      worker_(std::make_shared<Worker>(kvs, key, limit, compression)) {
    kvs_.setChangeHandler([this](std::optional<int> reason, const std::vector<std::string>&) {
        handleExternalChange(reason);
    });
    thread_.run([worker = worker_] { worker->kvs.synchronize(); });
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
        pushDocument(std::make_shared<const std::string>(std::move(*document)), sync);
    else
        applySwitch(sync);
}

void CloudSync::applySwitch(bool sync) {
    if (sync == isEnabled()) return;
    settings_.setCloudSync(sync);
    log(sync ? "iCloud sync on" : "iCloud sync off");
}

void CloudSync::pushDocument(const std::string& text, bool sync) {
    pushDocument(std::make_shared<const std::string>(text), sync);
}

void CloudSync::pushDocument(std::shared_ptr<const std::string> document, bool sync) {
    applySwitch(sync);
    if (!sync) return;
    const std::string& text = *document;
    // Same text, same bytes: compression is deterministic. With a write under way, the
    // record is not known yet: the worker compares, and this save still hears how it went.
    if (!writingText_ && lastText_ && *lastText_ == text) return;
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
    writingText_ = std::move(document);
    std::uint64_t number = ++pushes_;
    {
        std::lock_guard lock(worker_->mutex);
        worker_->text = writingText_;
        worker_->textNumber = number;
    }
    deadline(pushWaits_, number);
    auto outcome = std::make_shared<PushOutcome>();
    auto done = owner_.poster([this, outcome] { pushed(*outcome); });
    thread_.run([worker = worker_, outcome, done] {
        if (worker->push(*outcome)) done();
    });
}

void CloudSync::pushed(const PushOutcome& out) {
    // An answer after the wait ran out changes what is known, but the page has been told.
    // One write answers every save it took the place of.
    int inTime = answered(pushWaits_, out.number);
    auto tell = [&](const nlohmann::json& status) {
        for (int i = 0; i < inTime; ++i) sendStatus(status);
    };
    if (out.number == pushes_) writingText_.reset();
    using Kind = PushOutcome::Kind;
    switch (out.kind) {
        case Kind::kWritten:
            lastPut_ = out.record;
            lastText_ = out.text;
            return;
        case Kind::kSame:
            lastText_ = out.text;
            return;
        case Kind::kBig:
            refusedText_ = *out.text;
            tell({{"error", "big"}});
            return;
        case Kind::kNotCompressed:
            tell({{"error", "write"}});
            return;
        case Kind::kNotStored:
            break;
    }
    switch (out.error) {
        case KeyValueStore::StoreError::kChanged:
            // Another machine's record not seen yet: the page merges it, and its next save
            // is written.
            log("cloud record changed since last read: pulled before writing");
            pull();
            break;
        case KeyValueStore::StoreError::kUnavailable:
            tell({{"error", "unavailable"}});
            break;
        case KeyValueStore::StoreError::kFull:
            // The store's quota report answers the page.
            break;
        case KeyValueStore::StoreError::kFailed:
            tell({{"error", "write"}});
            break;
    }
}

void CloudSync::pull() {
    std::uint64_t number = ++pulls_;
    {
        std::lock_guard lock(worker_->mutex);
        worker_->newestPull = number;
    }
    deadline(pullWaits_, number);
    auto outcome = std::make_shared<PullOutcome>();
    auto done = owner_.poster([this, outcome] { pulled(*outcome); });
    thread_.run([worker = worker_, number, outcome, done] {
        if (worker->pull(number, *outcome)) done();
    });
}

void CloudSync::pulled(const PullOutcome& out) {
    bool inTime = answered(pullWaits_, out.number) > 0;
    using Kind = PullOutcome::Kind;
    switch (out.kind) {
        case Kind::kUnavailable:
            if (inTime) sendStatus({{"error", "unavailable"}});
            return;
        case Kind::kUnreadable:
            if (inTime) sendStatus({{"error", "read"}});
            return;
        case Kind::kEmpty:
            // Removed elsewhere: what we last wrote is gone, so the next save writes again.
            lastPut_.reset();
            lastText_.reset();
            refusedText_.reset();
            if (inTime) sendStatus({{"empty", true}});
            return;
        case Kind::kData:
            break;
    }
    lastPut_ = out.record;
    lastText_ = out.text;
    // Even late: the store now counts the record as read, so the next write would replace
    // it; the page must have merged it by then.
    WeakPageView view = webView_;
    loop_.post([view, script = out.script] { evaluateIfAlive(view, script); });
}

void CloudSync::forget() {
    // Writes already given go first; one given after this writes again.
    writingText_.reset();
    lastPut_.reset();
    lastText_.reset();
    refusedText_.reset();
    auto done = owner_.poster([this] {
        // Answers of writes given before the removal came in meanwhile.
        lastPut_.reset();
        lastText_.reset();
        refusedText_.reset();
    });
    thread_.run([worker = worker_, done] {
        worker->kvs.remove(worker->key);
        worker->kvs.synchronize();
        worker->put.reset();
        done();
    });
}

bool CloudSync::flush(double seconds) {
    auto reached = std::make_shared<std::promise<void>>();
    auto future = reached->get_future();
    thread_.run([reached] { reached->set_value(); });
    return future.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
}

MainLoop::TimerId CloudSync::deadline(std::map<std::uint64_t, MainLoop::TimerId>& waiting,
                                      std::uint64_t number) {
    MainLoop::TimerId id = owner_.after(kAnswerSeconds, [this, &waiting, number] {
        waiting.erase(number);
        if (!slow_) log("sync folder did not answer in time: unavailable until it does");
        slow_ = true;
        sendStatus({{"error", "unavailable"}});
    });
    waiting[number] = id;
    return id;
}

int CloudSync::answered(std::map<std::uint64_t, MainLoop::TimerId>& waiting, std::uint64_t number) {
    int inTime = 0;
    for (auto it = waiting.begin(); it != waiting.end() && it->first <= number;) {
        owner_.cancel(it->second);
        it = waiting.erase(it);
        ++inTime;
    }
    if (inTime > 0) slow_ = false;
    return inTime;
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
    void pushDocument(std::shared_ptr<const std::string> document, bool sync) override {
        sync_.pushDocument(std::move(document), sync);
    }
    void pull() override { sync_.pull(); }
    void forget() override { sync_.forget(); }
    // The folder's watch first: what it reports may start more work for the sync.
    bool flush(double seconds) override {
        auto start = std::chrono::steady_clock::now();
        if (!store_.flushWatch(seconds)) return false;
        std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        return sync_.flush(std::max(seconds - spent.count(), 0.0));
    }

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
