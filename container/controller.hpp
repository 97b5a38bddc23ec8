#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "container/base/main_loop.hpp"
#include "container/base/page_view.hpp"
#include "container/bridge.hpp"
#include "container/services.hpp"

namespace lumora {

class LumoraHost;

inline constexpr const char* kStartPage = "lumora://app/index.html";

// The platform web view as the controller drives it.
class WebViewBackend : public PageView {
  public:
    // Replaces every user script by this one, injected at document start, top frame only.
    virtual void setStartupScript(const std::string& source) = 0;
    virtual void load(const std::string& uri) = 0;
    virtual void reload() = 0;
};

// Creates the platform web view with the "lumora" scheme handler, the "lumora" message
// channel and the navigation callbacks wired to the bridge, and no background.
using WebViewFactory = std::function<std::shared_ptr<WebViewBackend>(Bridge& bridge)>;

struct ControllerServices {
    AudioMessages* audio = nullptr;
    GiftService* gifts = nullptr;
};

// Owns the one web view, builds the start-up script and follows the page's load cycle.
class LumoraController {
  public:
    static constexpr double kGiftDeliveryDelay = 0.8;

    LumoraController(LumoraHost& host, BridgeServices bridgeServices, ControllerServices services,
                     MainLoop& loop, WebViewFactory factory);
    ~LumoraController();
    LumoraController(const LumoraController&) = delete;
    LumoraController& operator=(const LumoraController&) = delete;

    // The web view, created and loaded on the first call only.
    std::shared_ptr<WebViewBackend> webView();
    std::shared_ptr<WebViewBackend> existingWebView() const { return web_; }

    void installStartupScript();
    // The main frame starts loading: installs a freshly built start-up script unless the
    // one installed last is still current and unused by any load.
    void prepareLoad();
    // The new document has replaced the old one. The old page may have saved while it was
    // leaving (pagehide), after the script was built: then the new document started from
    // an older state, and it is loaded once more with a script that holds that save.
    void didCommitLoad();
    // A save from the page is about to be kept. False while a document that started from
    // an older state is being replaced: anything it saves is older still.
    bool admitSave();
    void pageDidFinish();
    // Evaluates now when the page has loaded; otherwise queues until it has.
    void runScript(const std::string& script);

    LumoraHost& host() { return host_; }
    Bridge& bridge() { return bridge_; }

    bool loaded = false;
    std::string screen = "intro";

  private:
    std::shared_ptr<WebViewBackend> makeWebView();
    std::string scriptFor(std::optional<std::string> state) const;

    LumoraHost& host_;
    Bridge bridge_;
    ControllerServices services_;
    MainLoop& loop_;
    WebViewFactory factory_;
    std::shared_ptr<WebViewBackend> web_;
    std::vector<std::string> queued_;
    bool scriptUnused_ = false;
    // The state the installed script holds, and whether a save came in since it was built.
    std::optional<std::string> scriptState_;
    bool savedSinceScript_ = false;
    bool replacingStale_ = false;
    LoopOwner owner_{loop_};
};

}  // namespace lumora
