#include "container/bridge.hpp"

#include <glib.h>

#include <algorithm>
#include <iterator>

#include "container/base/log.hpp"
#include "container/base/message.hpp"
#include "container/base/uri.hpp"
#include "container/controller.hpp"
#include "container/lumora_host.hpp"

namespace lumora {

Bridge::Bridge(BridgeServices services, MainLoop& loop) : services_(services), loop_(loop) {}

Bridge::~Bridge() = default;

void Bridge::dispatch(nlohmann::json body, WeakPageView sender) {
    if (!body.is_object() || body.empty()) return;
    auto type = field::string(body, "type");
    if (!type) return;
    if (!controller_) return;
    LumoraHost& host = controller_->host();
    const std::string& t = *type;

    if (t == "save") {
        const auto* data = field::find(body, "data");
        if (!data || !controller_->admitSave()) return;
        host.saveState(*data, field::boolean(body, "sync", false));
    } else if (t == "log") {
        const auto* message = field::find(body, "message");
        log(" page: " + (message ? textualForm(*message) : std::string()));
    } else if (t == "event") {
        std::string name = field::string(body, "name", "");
        nlohmann::json detail = field::dictionary(body, "detail");
        if (name == "screen")
            if (auto screen = field::string(detail, "screen")) controller_->screen = *screen;
        host.handleEvent(name, detail);
    } else if (t == "close") {
        host.close(field::string(body, "reason", "back"));
    } else if (t == "session") {
        sessionActivity(field::boolean(body, "active", false));
    } else if (t == "audioOpen" || t == "audioChunk" || t == "audioPlay" || t == "audioSeek" ||
               t == "audioPause" || t == "audioResume" || t == "audioClose") {
        if (services_.audio) services_.audio->handle(t, std::move(body));
    } else if (t == "reminder") {
        host.setReminder(field::boolean(body, "on", false), field::string(body, "time", "07:30"));
    } else if (t == "share") {
        if (services_.share && !sender.expired())
            services_.share->share(field::string(body, "subject", "Lumora"),
                                   field::string(body, "text", ""), sender);
    } else if (t == "sharePdf") {
        exportPdf(body, sender);
    } else if (t == "open") {
        openLink(body);
    } else if (t == "review") {
        openReview(body);
    } else if (!host.handleMessage(t, body)) {
        log(" unhandled message: " + t);
    }
}

void Bridge::dispatchSave(const nlohmann::json& rest, std::string document) {
    if (!controller_ || !controller_->admitSave()) return;
    controller_->host().saveDocument(std::move(document), field::boolean(rest, "sync", false));
}

void Bridge::sessionActivity(bool active) {
    if (active) {
        if (activity_) return;
        activity_ = true;
        if (services_.inhibitor) services_.inhibitor->begin("Lumora session");
    } else if (activity_) {
        activity_ = false;
        if (services_.inhibitor) services_.inhibitor->end();
    }
}

void Bridge::exportPdf(const nlohmann::json& body, const WeakPageView& sender) {
    if (!services_.pdf) return;
    const auto* blocks = field::arrayOfDictionaries(body, "blocks");
    if (!blocks) {
        services_.pdf->sendPdfNote(sender, "The PDF could not be made (no content).");
        return;
    }
    services_.pdf->exportPdf(field::string(body, "name", "Lumora"), *blocks, sender);
}

void Bridge::openLink(const nlohmann::json& body) {
    auto url = field::string(body, "url");
    if (!url) return;
    auto scheme = uriScheme(*url);
    if (!scheme || (*scheme != "https" && *scheme != "mailto")) return;
    if (services_.opener) services_.opener->open(*url);
}

void Bridge::openReview(const nlohmann::json& body) {
    if (!field::boolean(body, "explicit", false)) return;
    auto url = field::string(body, "url");
    if (!url) return;
    // A review link goes to a store page; other schemes could start local handlers.
    auto scheme = uriScheme(*url);
    if (!scheme || (*scheme != "https" && *scheme != "http" && *scheme != "appstream")) return;
    if (services_.opener) services_.opener->open(*url);
}

NavigationDecision Bridge::decidePolicy(const std::optional<std::string>& url, bool userGesture) {
    if (!url || url->empty()) return NavigationDecision::Allow;
    auto scheme = uriScheme(*url).value_or("");
    if (scheme == "lumora" || scheme == "about") return NavigationDecision::Allow;
    // Only web and mail links leave the page, and only when the user asked: a timer's
    // window.open or an https iframe must not start the browser. Anything else (file:,
    // smb:, custom schemes) could start arbitrary local handlers.
    bool userAsked = userGesture && loop_.now() - lastUserInput_ <= kUserInputSeconds;
    if ((scheme == "http" || scheme == "https" || scheme == "mailto") && userAsked) {
        if (services_.opener) services_.opener->open(*url);
    } else {
        log(" navigation refused: " + loggableUri(*url));
    }
    return NavigationDecision::Cancel;
}

void Bridge::didStartLoad() {
    // A reload (the page's own, or one after a crash) must not see the state and screen of
    // the first load: the page would take them for current and save them over newer ones.
    if (controller_) controller_->prepareLoad();
}

void Bridge::didCommitLoad() {
    if (controller_) controller_->didCommitLoad();
}

void Bridge::didFinishNavigation() {
    log("page loaded");
    recovering_ = false;
    if (controller_) controller_->pageDidFinish();
}

void Bridge::didFailNavigation(const std::string& error) {
    log(" navigation failed: " + error);
}

void Bridge::didFailProvisionalNavigation(const std::string& error) {
    log(" load failed: " + error);
    // A page that moved with history.pushState has an address no file answers; after a
    // crash it comes back from the start page instead of blank.
    if (!recovering_ || !controller_) return;
    recovering_ = false;
    log("reloading from the start page");
    if (auto web = controller_->existingWebView()) web->load(kStartPage);
}

void Bridge::webContentProcessDidTerminate() {
    log("web content process terminated");
    if (!controller_) return;
    controller_->loaded = false;
    double now = loop_.now();
    terminations_.push_back(now);
    while (!terminations_.empty() && now - terminations_.front() > kCrashWindowSeconds)
        terminations_.pop_front();
    if (static_cast<int>(terminations_.size()) >= kCrashLimit) {
        reloadSuspended_ = true;
        terminations_.clear();
        if (now - lastSuspension_ > kRetryResetSeconds) retryStep_ = 0;
        lastSuspension_ = now;
        constexpr std::size_t kSteps = std::size(kRetryDelays);
        double delay = kRetryDelays[std::min(retryStep_, kSteps - 1)];
        ++retryStep_;
        log("web content process terminated " + std::to_string(kCrashLimit) +
            " times within 60 seconds; trying again in " + std::to_string(static_cast<int>(delay)) +
            " seconds, or at the next key press or click");
        cancelRetry();
        retryTimer_ = owner_.after(delay, [this] {
            retryTimer_ = 0;
            resumeReloading("reloading the page after waiting");
        });
        return;
    }
    reloadPage();
}

void Bridge::windowActivated() {
    resumeReloading("reloading the page after the window was activated");
}

void Bridge::userActed() {
    lastUserInput_ = loop_.now();
    resumeReloading("reloading the page at the user's key press or click");
}

void Bridge::resumeReloading(const char* why) {
    if (!reloadSuspended_ || !controller_) return;
    reloadSuspended_ = false;
    cancelRetry();
    log(why);
    reloadPage();
}

void Bridge::cancelRetry() {
    if (retryTimer_ == 0) return;
    owner_.cancel(retryTimer_);
    retryTimer_ = 0;
}

void Bridge::reloadPage() {
    recovering_ = true;
    controller_->installStartupScript();
    if (auto web = controller_->existingWebView()) web->reload();
}

}  // namespace lumora
