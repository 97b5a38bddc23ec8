#pragma once
#include <nlohmann/json.hpp>

#include <deque>
#include <optional>
#include <string>

#include "container/base/main_loop.hpp"
#include "container/base/page_view.hpp"
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
    // Reloads after this many terminations within kCrashWindowSeconds stop for a while:
    // the next try comes after the first of kRetryDelays, then the next, and so on (the
    // last repeats); a key press or click in the web view, or the window's activation,
    // tries at once.
    static constexpr int kCrashLimit = 3;
    static constexpr double kCrashWindowSeconds = 60.0;
    static constexpr double kRetryDelays[] = {5, 30, 120};
    // A crash loop this long after the last one starts the delays from the first again.
    static constexpr double kRetryResetSeconds = 600;
    // A link opens outside only this soon after the user's last key or click.
    static constexpr double kUserInputSeconds = 1.0;

    Bridge(BridgeServices services, MainLoop& loop);
    ~Bridge();

    void setController(LumoraController* controller) { controller_ = controller; }

    // A script message; sender is the web view that posted it.
    void dispatch(nlohmann::json body, WeakPageView sender);
    // A "save" whose data arrived as compact JSON text of an object or array; rest is the
    // message without its data.
    void dispatchSave(const nlohmann::json& rest, std::string document);

    // Every navigation action, in any frame, including new-window requests. userGesture:
    // the engine says a click or key of the user's started it. The engine says so too of
    // page code run by the program's own page calls, so a web or mail link opens outside
    // only when userActed() also came within kUserInputSeconds.
    NavigationDecision decidePolicy(const std::optional<std::string>& url, bool userGesture);

    // The main frame starts loading a document: it gets a start-up script built now.
    void didStartLoad();
    // The new document replaced the old one (before any of its own scripts ran).
    void didCommitLoad();
    void didFinishNavigation();
    void didFailNavigation(const std::string& error);
    void didFailProvisionalNavigation(const std::string& error);
    void webContentProcessDidTerminate();
    // The window became active: resumes reloading after a crash loop.
    void windowActivated();
    // A key or button of the user's, pressed or released in the web view (as the window
    // system delivered it, never a script's): resumes reloading after a crash loop, and
    // lets a navigation the engine counts as the user's leave the page.
    void userActed();

    bool activityActive() const { return activity_; }
    bool reloadSuspended() const { return reloadSuspended_; }

  private:
    void sessionActivity(bool active);
    void exportPdf(const nlohmann::json& body, const WeakPageView& sender);
    void openLink(const nlohmann::json& body);
    void openReview(const nlohmann::json& body);
    void reloadPage();
    void resumeReloading(const char* why);
    void cancelRetry();

    BridgeServices services_;
    MainLoop& loop_;
    LumoraController* controller_ = nullptr;
    bool activity_ = false;
    bool reloadSuspended_ = false;
    std::deque<double> terminations_;
    // The reload that follows a crash, until its page has loaded.
    bool recovering_ = false;
    std::size_t retryStep_ = 0;
    double lastSuspension_ = -1e9;
    double lastUserInput_ = -1e9;
    MainLoop::TimerId retryTimer_ = 0;
    LoopOwner owner_{loop_};
};

}  // namespace lumora
