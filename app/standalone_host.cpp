#include "app/standalone_host.hpp"

#include "container/message.hpp"
#include "store/lumora_store.hpp"

namespace lumora {

StandaloneHost::StandaloneHost(LumoraStore& store, CloudService* cloud, ReminderService* reminder,
                               MainLoop& loop)
    : store_(store), cloud_(cloud), reminder_(reminder), loop_(loop) {}

std::optional<std::string> StandaloneHost::loadState() {
    return store_.load();
}

void StandaloneHost::saveState(const nlohmann::json& data, bool sync) {
    // Serialised once for both files.
    std::optional<std::string> document;
    if (isJsonDocument(data)) document = compactJson(data);
    if (document)
        saveDocument(*document, sync);
    else if (cloud_)
        cloud_->push(data, sync);  // nothing to store, but the switch still counts
}

void StandaloneHost::saveDocument(const std::string& document, bool sync) {
    store_.saveCompact(document);
    if (cloud_) cloud_->pushDocument(document, sync);
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
    if (cloud_) cloud_->setWebView(std::move(webView));
}

void StandaloneHost::pageDidLoad() {
    CloudService* cloud = cloud_;
    if (!cloud) return;
    loop_.after(kPullDelay, [cloud] {
        if (cloud->isEnabled()) cloud->pull();
    });
}

}  // namespace lumora
