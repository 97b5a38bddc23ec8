#pragma once
#include <webkit/webkit.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "container/controller.hpp"

namespace lumora {

struct WebKitOptions {
    std::string webRoot;
    bool developerExtras = false;
};

// The real web view: a WebKitWebView with the "lumora" scheme and message channel.
class WebKitBackend final : public WebViewBackend,
                            public std::enable_shared_from_this<WebKitBackend> {
  public:
    static std::shared_ptr<WebKitBackend> create(Bridge& bridge, const WebKitOptions& options);
    ~WebKitBackend() override;

    void evaluate(const std::string& script) override;
    void setStartupScript(const std::string& source) override;
    void load(const std::string& uri) override;
    void reload() override;

    WebKitWebView* view() const { return view_; }
    GtkWidget* widget() const { return GTK_WIDGET(view_); }

    // The script-message handler's body: one message from the page.
    void receiveMessage(JSCValue* value);
    // Chunks skip the JSON round trip of their samples unless this is off; the ordinary
    // path stays for comparison.
    void setChunkFastPath(bool on) { chunkFastPath_ = on; }
    // Messages that took the chunk path.
    std::uint64_t fastChunks() const { return fastChunks_; }
    // Saves take their state as the engine's JSON text unless this is off.
    void setSaveFastPath(bool on) { saveFastPath_ = on; }
    std::uint64_t fastSaves() const { return fastSaves_; }

  private:
    WebKitBackend(Bridge& bridge) : bridge_(bridge) {}
    void connectSignals();

    std::optional<nlohmann::json> parseChunk(JSCValue* value, std::size_t& repaired);
    static void onScriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer self);
    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer self);
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self);
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent event, gchar* uri, GError* error,
                                 gpointer self);
    static void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason,
                                       gpointer self);
    static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction*, gpointer);
    static gboolean onInput(GtkEventControllerLegacy*, GdkEvent* event, gpointer self);

  public:
    // The web view's context menu, trimmed to what an application's page wants: editing,
    // spelling and (with developer extras) Inspect Element stay. True when nothing is left.
    static gboolean onContextMenu(WebKitWebView*, WebKitContextMenu* menu, WebKitHitTestResult*,
                                  gpointer);
    static bool isBrowsingAction(WebKitContextMenuAction action);

  private:
    Bridge& bridge_;
    WebKitWebView* view_ = nullptr;  // one strong reference, dropped in the destructor
    WebKitUserContentManager* content_ = nullptr;
    GtkEventController* input_ = nullptr;  // owned by view_
    bool loadFailed_ = false;
    bool chunkFastPath_ = true;
    std::uint64_t fastChunks_ = 0;
    bool saveFastPath_ = true;
    std::uint64_t fastSaves_ = 0;
};

// A "save" whose data is an object or array, with the data's compact JSON made straight
// from the engine's text: a tree of a state of megabytes costs several times more.
struct SaveMessage {
    bool dropped = false;  // the rest is malformed, so the message is dropped as a whole
    nlohmann::json rest;   // the other fields, parsed the ordinary way
    std::string document;
    std::size_t repaired = 0;  // unpaired surrogates made U+FFFD
};
// Nothing when the message is not such a save, or its data is text the ordinary path
// would refuse; it then takes the ordinary path whole. Takes "data" out of the message.
std::optional<SaveMessage> takeSaveMessage(JSCValue* message);

// Registers the "lumora" scheme on the default web context (once per process).
void registerLumoraScheme(const std::string& webRoot);

WebViewFactory makeWebKitFactory(WebKitOptions options);

}  // namespace lumora
