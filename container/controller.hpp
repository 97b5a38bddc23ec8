#pragma once
#include <functional>
#include <memory>
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
    // one installed last has not been used by a load yet.
    void prepareLoad();
    void pageDidFinish();
    // Evaluates now when the page has loaded; otherwise queues until it has.
    void runScript(const std::string& script);

    LumoraHost& host() { return host_; }
    Bridge& bridge() { return bridge_; }
    std::string startupScript() const;

    bool loaded = false;
    std::string screen = "intro";

  private:
    std::shared_ptr<WebViewBackend> makeWebView();

    LumoraHost& host_;
    Bridge bridge_;
    ControllerServices services_;
    MainLoop& loop_;
    WebViewFactory factory_;
    std::shared_ptr<WebViewBackend> web_;
    std::vector<std::string> queued_;
    bool scriptUnused_ = false;
};

}  // namespace lumora
