#include "app/standalone_host.hpp"

#include <cerrno>
#include <cstring>

#include "container/base/log.hpp"
#include "container/base/message.hpp"
#include "container/base/page_call.hpp"
#include "store/lumora_store.hpp"

namespace lumora {

StandaloneHost::StandaloneHost(LumoraStore& store, CloudService* cloud, ReminderService* reminder,
                               MainLoop& loop)
    : store_(store), cloud_(cloud), reminder_(reminder), loop_(loop) {}

StandaloneHost::~StandaloneHost() = default;

std::optional<std::string> StandaloneHost::loadState() {
    if (latest_ && (written_ < received_ || saveError_ != 0)) return *latest_;
    // Every write has come back, so the writer is done with the store.
    return store_.load();
}

void StandaloneHost::saveState(const nlohmann::json& data, bool sync) {
    // Serialised once for both files.
    std::optional<std::string> document;
    if (isJsonDocument(data)) document = compactJson(data);
    if (document)
        saveDocument(std::move(*document), sync);
    else if (cloud_)
        cloud_->push(data, sync);  // nothing to store, but the switch still counts
}

void StandaloneHost::saveDocument(std::string document, bool sync) {
    // One copy of a state that can be megabytes, for both files.
    auto shared = std::make_shared<const std::string>(std::move(document));
    writeLocally(shared);
    if (cloud_) cloud_->pushDocument(std::move(shared), sync);
}

bool StandaloneHost::keepLocally(const std::string& document) {
    writeLocally(std::make_shared<const std::string>(document));
    return writeUnsaved();
}

void StandaloneHost::finishWrites() {
    writer_.drain();
    // What the writer posted back has not run yet: its last outcome is taken here.
    std::optional<Written> last;
    {
        std::lock_guard lock(pending_->mutex);
        last = pending_->last;
    }
    if (last && last->number > written_) written(*last);
}

bool StandaloneHost::writeUnsaved() {
    finishWrites();
    if (!latest_ || saveError_ == 0) return true;
    // The writer is idle, so the store is free for one more try here.
    int error = store_.saveCompact(*latest_);
    if (auto aside = store_.takeSetAside()) tellPage(setAsideNote(*aside));
    noteLocalSave(error);
    return error == 0;
}

void StandaloneHost::writeLocally(std::shared_ptr<const std::string> document) {
    latest_ = document;
    {
        std::lock_guard lock(pending_->mutex);
        pending_->document = std::move(document);
        pending_->number = ++received_;
    }
    auto outcome = std::make_shared<Written>();
    auto done = owner_.poster([this, outcome] { written(*outcome); });
    writer_.run([pending = pending_, &store = store_, outcome, done] {
        std::shared_ptr<const std::string> document;
        {
            std::lock_guard lock(pending->mutex);
            document = std::move(pending->document);
            outcome->number = pending->number;
        }
        // An earlier job already wrote a newer state.
        if (!document) return;
        outcome->error = store.saveCompact(*document);
        outcome->setAside = store.takeSetAside();
        {
            std::lock_guard lock(pending->mutex);
            pending->last = *outcome;
        }
        done();
    });
}

void StandaloneHost::written(const Written& outcome) {
    // Already taken by writeUnsaved().
    if (outcome.number <= written_) return;
    written_ = outcome.number;
    if (outcome.setAside) tellPage(setAsideNote(*outcome.setAside));
    noteLocalSave(outcome.error);
}

std::string StandaloneHost::saveFailedNote(int error) {
    std::string why;
    switch (error) {
        case ENOSPC:
        case EDQUOT:
            why = "the disk is full";
            break;
        case EACCES:
        case EPERM:
        case EROFS:
            why = "its folder cannot be written";
            break;
        case ENOENT:
        case ENOTDIR:
            why = "its folder is missing";
            break;
        default:
            why = std::string("the system said \u201c") + std::strerror(error) + "\u201d";
    }
    return "Your journal could not be saved on this computer: " + why +
           ". What you wrote stays here while Lumora is open, and saving is tried again with "
           "your next change.";
}

std::string StandaloneHost::setAsideNote(const std::string& path) {
    return "Your saved journal could not be read, so Lumora started without it. The file is "
           "kept, unchanged, as \u201c" +
           path + "\u201d.";
}

void StandaloneHost::noteLocalSave(int error) {
    // Once per run of failures: the page saves on every change, and one note says it all.
    // A page loaded during the run hears it again (pageDidLoad).
    if ((error != 0) == (saveError_ != 0)) {
        saveError_ = error;
        return;
    }
    saveError_ = error;
    if (error != 0) {
        log("save failed: " + std::string(std::strerror(error)) + " (" + store_.path() + ")");
        tellPage(saveFailedNote(error));
    } else {
        log("saving works again");
        tellPage("Your journal is saved on this computer again.");
    }
}

void StandaloneHost::tellPage(const std::string& note) {
    if (auto argument = textArgument(note)) evaluateIfAlive(page_, pageCall("__lmNote", *argument));
}

void StandaloneHost::setReminder(bool on, const std::string& time) {
    if (reminder_) reminder_->update(on, time);
}

bool StandaloneHost::handleMessage(const std::string& type, const nlohmann::json&) {
    if (type == "cloudPull") {
        if (cloud_) cloud_->pull();
        return true;
    }
    if (type == "cloudForget") {
        if (cloud_) cloud_->forget();
        return true;
    }
    return false;
}

void StandaloneHost::attach(WeakPageView webView) {
    page_ = webView;
    if (cloud_) cloud_->setWebView(std::move(webView));
}

void StandaloneHost::pageDidLoad() {
    if (saveError_ != 0) tellPage(saveFailedNote(saveError_));
    if (!cloud_) return;
    owner_.after(kPullDelay, [this] {
        if (cloud_->isEnabled()) cloud_->pull();
    });
}

}  // namespace lumora
