#pragma once
#include <nlohmann/json.hpp>

#include <deque>
#include <optional>
#include <string>

#include "container/main_loop.hpp"
#include "container/page_view.hpp"
#include "container/services.hpp"

namespace lumora {

class LumoraController;

// Services behind the bridge's own rows. A null service means its row does nothing.
struct BridgeServices {
    AudioMessages* audio = nullptr;
    PdfExporter* pdf = nullptr;
    SharePicker* share = nullptr;
    ActivityInhibitor* inhibitor = nullptr;
    UrlOpener* opener = nullptr;
};

enum class NavigationDecision { Allow, Cancel };

// Receives the page's messages and the web view's navigation events.
class Bridge {
  public:
    // Reloads after this many terminations within kCrashWindowSeconds stop.
    static constexpr int kCrashLimit = 3;
    static constexpr double kCrashWindowSeconds = 60.0;

    Bridge(BridgeServices services, MainLoop& loop);

    void setController(LumoraController* controller) { controller_ = controller; }

    // A script message; sender is the web view that posted it.
    void dispatch(const nlohmann::json& body, WeakPageView sender);
    // A "save" whose data arrived as compact JSON text of an object or array; rest is the
    // message without its data.
    void dispatchSave(const nlohmann::json& rest, const std::string& document);

    // Every navigation action, in any frame, including new-window requests.
    NavigationDecision decidePolicy(const std::optional<std::string>& url);

    void didFinishNavigation();
    void didFailNavigation(const std::string& error);
    void didFailProvisionalNavigation(const std::string& error);
    void webContentProcessDidTerminate();
    // The window became active: resumes reloading after a crash loop.
    void windowActivated();

    bool activityActive() const { return activity_; }
    bool reloadSuspended() const { return reloadSuspended_; }

  private:
    void sessionActivity(bool active);
    void exportPdf(const nlohmann::json& body, const WeakPageView& sender);
    void openLink(const nlohmann::json& body);
    void openReview(const nlohmann::json& body);
    void reloadPage();

    BridgeServices services_;
    MainLoop& loop_;
    LumoraController* controller_ = nullptr;
    bool activity_ = false;
    bool reloadSuspended_ = false;
    std::deque<double> terminations_;
};

// The scheme of a URI as GLib parses it, or nothing when it does not parse.
std::optional<std::string> uriScheme(const std::string& uri);

}  // namespace lumora
