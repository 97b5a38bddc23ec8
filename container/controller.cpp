#include "container/controller.hpp"

#include "container/base/log.hpp"
#include "container/base/page_call.hpp"
#include "container/lumora_host.hpp"
#include "container/startup_script.hpp"

namespace lumora {

LumoraController::LumoraController(LumoraHost& host, BridgeServices bridgeServices,
                                   ControllerServices services, MainLoop& loop,
                                   WebViewFactory factory)
    : host_(host),
      bridge_(bridgeServices, loop),
      services_(services),
      loop_(loop),
      factory_(std::move(factory)) {
    bridge_.setController(this);
}

LumoraController::~LumoraController() {
    bridge_.setController(nullptr);
}

std::shared_ptr<WebViewBackend> LumoraController::webView() {
    if (!web_) web_ = makeWebView();
    return web_;
}

std::shared_ptr<WebViewBackend> LumoraController::makeWebView() {
    log("creating web view (" + host_.hostName() + ")");
    auto web = factory_(bridge_);
    web_ = web;
    installStartupScript();
    if (services_.audio) services_.audio->setWebView(web);
    host_.attach(web);
    web->load(kStartPage);
    return web;
}

std::string LumoraController::scriptFor(std::optional<std::string> state) const {
    StartupValues values;
    values.stateText = std::move(state);
    values.hostName = host_.hostName();
    values.topInset = host_.topInset();
    values.screen = screen;
    values.extraScript = host_.extraScript();
    return buildStartupScript(values);
}

void LumoraController::installStartupScript() {
    if (!web_) return;
    scriptState_ = host_.loadState();
    web_->setStartupScript(scriptFor(scriptState_));
    scriptUnused_ = true;
    savedSinceScript_ = false;
}

void LumoraController::prepareLoad() {
    if (!scriptUnused_ || savedSinceScript_) installStartupScript();
    scriptUnused_ = false;
}

void LumoraController::didCommitLoad() {
    replacingStale_ = false;
    // The old page's pagehide runs as the new document commits, after the script was
    // built; its save arrives before this. Equal text needs nothing: a page that saves
    // the same state on every pagehide must not reload for ever.
    if (!savedSinceScript_ || !web_ || host_.loadState() == scriptState_) return;
    log("the page saved while it was being replaced; loading it again with that save");
    replacingStale_ = true;
    installStartupScript();
    web_->reload();
}

bool LumoraController::admitSave() {
    if (replacingStale_) {
        log("a save from a page that started from an older state was not kept");
        return false;
    }
    savedSinceScript_ = true;
    return true;
}

void LumoraController::pageDidFinish() {
    loaded = true;
    if (services_.gifts) {
        services_.gifts->setWebView(web_);
        services_.gifts->setSchemes(host_.giftSchemes());
    }
    host_.pageDidLoad();
    auto scripts = std::move(queued_);
    queued_.clear();
    if (web_) {
        for (const auto& script : scripts) {
            log("running queued script: " + utf8Prefix(script, 80));
            web_->evaluate(script);
        }
    }
    if (services_.gifts) owner_.after(kGiftDeliveryDelay, [this] { services_.gifts->deliver(); });
}

void LumoraController::runScript(const std::string& script) {
    if (loaded && web_)
        web_->evaluate(script);
    else
        queued_.push_back(script);
}

}  // namespace lumora
