#pragma once
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/standalone_host.hpp"
#include "container/controller.hpp"
#include "container/webkit_web_view.hpp"
#include "store/lumora_store.hpp"

namespace lumora::test {

// Initialises GTK once (needs DISPLAY, which the test command's Xvfb provides).
void initGtk();

// Spins the default main context until the predicate holds or the timeout passes.
bool spinUntil(const std::function<bool()>& done, double timeoutSeconds = 10.0);
void spinFor(double seconds);

// Evaluates a script and returns its result as JSON text (nothing on a script error).
std::optional<std::string> evaluateJson(WebKitWebView* view, const std::string& script,
                                        double timeoutSeconds = 10.0);

// The real web container in a real window: controller, bridge, WebKit view, the
// standalone host over a store in dataDirectory. Services are optional.
struct WebStack {
    struct Options {
        std::string webRoot;
        std::string dataDirectory;
        BridgeServices bridge;
        ControllerServices controller;
        CloudService* cloud = nullptr;
        ReminderService* reminder = nullptr;
        int width = 1180;
        int height = 820;
        // Drives the stack instead of its own GLib loop (a test may wrap that one's clock).
        MainLoop* loop = nullptr;
        // Puts a host in front of the standalone one (a test may record what reaches it).
        std::function<std::unique_ptr<LumoraHost>(LumoraHost& standalone)> wrapHost;
    };
    explicit WebStack(Options options);
    ~WebStack();

    WebKitWebView* view() const;
    // Waits for the n-th "page loaded" (counted from construction).
    bool waitForLoads(int count, double timeoutSeconds = 20.0);
    std::optional<std::string> eval(const std::string& script) {
        return evaluateJson(view(), script);
    }
    // The script's result as a value; null on a script error.
    nlohmann::json evalValue(const std::string& script);
    // Posts a message (a script expression) on the "lumora" channel, as the page does.
    void post(const std::string& message);
    // The WebKitWebProcess pid of the current page, or -1.
    int webProcessPid();

    std::unique_ptr<MainLoop> loop;
    std::unique_ptr<LumoraStore> store;
    std::unique_ptr<StandaloneHost> host;
    std::unique_ptr<LumoraHost> wrappedHost;
    std::unique_ptr<LumoraController> controller;
    std::shared_ptr<WebKitBackend> backend;
    GtkWindow* window = nullptr;
    int loads = 0;
};

// Takes a screenshot of this process's own window (its X window alone, not the screen)
// and returns whether the page painted it: at least minShare of the pixels differ from
// the window background rgb(3,25,43), and the image is not one flat fill (16 colours or
// more: text and its anti-aliasing).
bool screenshotNotUniform(const std::string& path, double minShare = 0.02);

}  // namespace lumora::test
