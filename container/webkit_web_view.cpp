#include "container/webkit_web_view.hpp"

#include <nlohmann/json.hpp>

#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "container/base/glib_ptr.hpp"
#include "container/base/log.hpp"
#include "container/base/message.hpp"
#include "container/canonical_json.hpp"
#include "container/scheme_handler.hpp"

namespace lumora {

namespace {

// Far deeper than any real message; keeps hostile nesting away from recursive code.
constexpr int kMaxMessageDepth = 256;

// One finish per request, on every path.
void answerSchemeRequest(WebKitURISchemeRequest* request, gpointer data) {
    auto* handler = static_cast<BundleSchemeHandler*>(data);
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    auto response = uri ? handler->respond(uri) : std::nullopt;
    if (!response) {
        GPtr<GError> error = GPtr<GError>::adopt(
            g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "The file does not exist."));
        webkit_uri_scheme_request_finish_error(request, error.get());
        return;
    }
    const auto size = response->size;
    // The buffer came from g_file_get_contents, so g_free is the free that pairs with it.
    GPtr<GBytes> bytes = GPtr<GBytes>::adopt(g_bytes_new_take(response->data.release(), size));
    GPtr<GInputStream> stream =
        GPtr<GInputStream>::adopt(g_memory_input_stream_new_from_bytes(bytes.get()));
    GPtr<WebKitURISchemeResponse> answer = GPtr<WebKitURISchemeResponse>::adopt(
        webkit_uri_scheme_response_new(stream.get(), static_cast<gint64>(size)));
    webkit_uri_scheme_response_set_status(answer.get(), 200, "OK");
    webkit_uri_scheme_response_set_content_type(answer.get(), response->mimeType.c_str());
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    for (const auto& [name, value] : response->headers)
        soup_message_headers_append(headers, name.c_str(), value.c_str());
    webkit_uri_scheme_response_set_http_headers(answer.get(), headers);  // takes ownership
    webkit_uri_scheme_request_finish_with_response(request, answer.get());
}

void deleteHandler(gpointer data) {
    delete static_cast<BundleSchemeHandler*>(data);
}

}  // namespace

void registerLumoraScheme(const std::string& webRoot) {
    static bool registered = false;
    if (registered) return;
    registered = true;
    WebKitWebContext* context = webkit_web_context_get_default();
    webkit_web_context_register_uri_scheme(context, "lumora", answerSchemeRequest,
                                           new BundleSchemeHandler(webRoot), deleteHandler);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_secure(security, "lumora");
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "lumora");
}

std::shared_ptr<WebKitBackend> WebKitBackend::create(Bridge& bridge, const WebKitOptions& options) {
    registerLumoraScheme(options.webRoot);
    std::shared_ptr<WebKitBackend> backend(new WebKitBackend(bridge));
    backend->content_ = webkit_user_content_manager_new();
    webkit_user_content_manager_register_script_message_handler(backend->content_, "lumora",
                                                                nullptr);
    backend->view_ = WEBKIT_WEB_VIEW(g_object_ref_sink(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", backend->content_, "web-context",
                     webkit_web_context_get_default(), nullptr)));
    WebKitSettings* settings = webkit_web_view_get_settings(backend->view_);
    webkit_settings_set_enable_developer_extras(settings, options.developerExtras);
    // A script's window.open outside the user's gesture is dropped by WebKit's pop-up
    // blocker; one within it reaches the navigation policy ("create" makes no window).
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
    const GdkRGBA transparent{0, 0, 0, 0};
    webkit_web_view_set_background_color(backend->view_, &transparent);
    backend->connectSignals();
    // The user's own keys and buttons, before the page sees them. The engine counts page
    // code run by the program's page calls as the user's too, so the bridge keeps their time.
    backend->input_ = gtk_event_controller_legacy_new();
    gtk_event_controller_set_propagation_phase(backend->input_, GTK_PHASE_CAPTURE);
    g_signal_connect(backend->input_, "event", G_CALLBACK(onInput), backend.get());
    gtk_widget_add_controller(GTK_WIDGET(backend->view_), backend->input_);
    return backend;
}

gboolean WebKitBackend::onInput(GtkEventControllerLegacy*, GdkEvent* event, gpointer self) {
    switch (gdk_event_get_event_type(event)) {
        // Releases too: a click and a Space on a button act only when released.
        case GDK_BUTTON_PRESS:
        case GDK_BUTTON_RELEASE:
        case GDK_KEY_PRESS:
        case GDK_KEY_RELEASE:
        case GDK_TOUCH_BEGIN:
        case GDK_TOUCH_END:
            static_cast<WebKitBackend*>(self)->bridge_.userActed();
            break;
        default:
            break;
    }
    return GDK_EVENT_PROPAGATE;
}

WebKitBackend::~WebKitBackend() {
    if (content_) {
        g_signal_handlers_disconnect_by_data(content_, this);
        g_object_unref(content_);
    }
    if (view_) {
        g_signal_handlers_disconnect_by_data(view_, this);
        // The window may keep the view after this backend has gone.
        if (input_) gtk_widget_remove_controller(GTK_WIDGET(view_), input_);
        g_object_unref(view_);
    }
}

void WebKitBackend::connectSignals() {
    g_signal_connect(content_, "script-message-received::lumora", G_CALLBACK(onScriptMessage),
                     this);
    g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(view_, "load-failed", G_CALLBACK(onLoadFailed), this);
    g_signal_connect(view_, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
    g_signal_connect(view_, "create", G_CALLBACK(onCreate), this);
    g_signal_connect(view_, "context-menu", G_CALLBACK(onContextMenu), this);
}

gboolean WebKitBackend::onContextMenu(WebKitWebView*, WebKitContextMenu* menu, WebKitHitTestResult*,
                                      gpointer) {
    // The page is an application, not a document to browse: going back, forward or
    // reloading would only lose what is on screen, and a new window never opens.
    GList* items = g_list_copy(webkit_context_menu_get_items(menu));
    for (GList* item = items; item; item = item->next) {
        auto* entry = static_cast<WebKitContextMenuItem*>(item->data);
        if (isBrowsingAction(webkit_context_menu_item_get_stock_action(entry)))
            webkit_context_menu_remove(menu, entry);
    }
    g_list_free(items);
    // Drop separators left at either end or next to each other.
    bool previousWasSeparator = true;
    items = g_list_copy(webkit_context_menu_get_items(menu));
    for (GList* item = items; item; item = item->next) {
        auto* entry = static_cast<WebKitContextMenuItem*>(item->data);
        bool separator = webkit_context_menu_item_is_separator(entry);
        if (separator && (previousWasSeparator || !item->next))
            webkit_context_menu_remove(menu, entry);
        else
            previousWasSeparator = separator;
    }
    g_list_free(items);
    return webkit_context_menu_get_n_items(menu) == 0;  // nothing left: no menu at all
}

bool WebKitBackend::isBrowsingAction(WebKitContextMenuAction action) {
    switch (action) {
        case WEBKIT_CONTEXT_MENU_ACTION_GO_BACK:
        case WEBKIT_CONTEXT_MENU_ACTION_GO_FORWARD:
        case WEBKIT_CONTEXT_MENU_ACTION_STOP:
        case WEBKIT_CONTEXT_MENU_ACTION_RELOAD:
        // A link of the page's own would take the window away from the page; the engine
        // counts the menu's own Open Link as no gesture, so a web link would not open.
        case WEBKIT_CONTEXT_MENU_ACTION_OPEN_LINK:
        case WEBKIT_CONTEXT_MENU_ACTION_OPEN_LINK_IN_NEW_WINDOW:
        case WEBKIT_CONTEXT_MENU_ACTION_OPEN_IMAGE_IN_NEW_WINDOW:
        case WEBKIT_CONTEXT_MENU_ACTION_OPEN_FRAME_IN_NEW_WINDOW:
        case WEBKIT_CONTEXT_MENU_ACTION_OPEN_VIDEO_IN_NEW_WINDOW:
        case WEBKIT_CONTEXT_MENU_ACTION_OPEN_AUDIO_IN_NEW_WINDOW:
        case WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_LINK_TO_DISK:
        case WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_IMAGE_TO_DISK:
        case WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_VIDEO_TO_DISK:
        case WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_AUDIO_TO_DISK:
            return true;
        default:
            return false;
    }
}

void WebKitBackend::evaluate(const std::string& script) {
    webkit_web_view_evaluate_javascript(view_, script.data(), static_cast<gssize>(script.size()),
                                        nullptr, nullptr, nullptr, nullptr, nullptr);
}

void WebKitBackend::setStartupScript(const std::string& source) {
    webkit_user_content_manager_remove_all_scripts(content_);
    WebKitUserScript* script =
        webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content_, script);
    webkit_user_script_unref(script);
}

void WebKitBackend::load(const std::string& uri) {
    webkit_web_view_load_uri(view_, uri.c_str());
}

void WebKitBackend::reload() {
    webkit_web_view_reload(view_);
}

void WebKitBackend::onScriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer self) {
    static_cast<WebKitBackend*>(self)->receiveMessage(value);
}

namespace {

// The engine's JSON text of a value, with unpaired surrogates made U+FFFD (counted in
// repaired): a page string may hold them, and no parser takes them.
std::optional<std::string> engineJson(JSCValue* value, std::size_t& repaired) {
    std::unique_ptr<char, GFreeDeleter> raw(jsc_value_to_json(value, 0));
    if (!raw) return std::nullopt;
    std::string text(raw.get());
    repaired += replaceLoneSurrogates(text);
    return text;
}

// The body is converted to JSON once, here; everything behind the bridge sees JSON.
std::optional<nlohmann::json> parseBody(JSCValue* value, std::size_t& repaired) {
    auto text = engineJson(value, repaired);
    if (!text || !nestingWithin(*text, kMaxMessageDepth)) return std::nullopt;
    auto body = nlohmann::json::parse(*text, nullptr, false);
    if (body.is_discarded()) return std::nullopt;
    return body;
}

GPtr<JSCValue> property(JSCValue* value, const char* key) {
    return GPtr<JSCValue>::adopt(jsc_value_object_get_property(value, key));
}

// A string's UTF-8 bytes with their length, so an embedded NUL still counts.
GPtr<GBytes> stringBytes(JSCValue* value) {
    if (!value || !jsc_value_is_string(value)) return {};
    return GPtr<GBytes>::adopt(jsc_value_to_string_as_bytes(value));
}

// The string's length as the page sees it, in UTF-16 units; -1 when unknown.
double utf16Length(JSCValue* string) {
    JSCContext* context = jsc_value_get_context(string);
    GPtr<JSCValue> length =
        GPtr<JSCValue>::adopt(jsc_context_evaluate(context, "(s) => s.length", -1));
    if (!length || !jsc_value_is_function(length.get())) return -1;
    GPtr<JSCValue> result = GPtr<JSCValue>::adopt(
        jsc_value_function_call(length.get(), JSC_TYPE_VALUE, string, G_TYPE_NONE));
    if (!result || !jsc_value_is_number(result.get())) return -1;
    return jsc_value_to_double(result.get());
}

bool bytesEqual(GBytes* bytes, std::string_view expected) {
    gsize size = 0;
    const void* data = g_bytes_get_data(bytes, &size);
    return size == expected.size() && (size == 0 || std::memcmp(data, expected.data(), size) == 0);
}

}  // namespace

// A chunk is almost all "pcm": a JSON round trip of it costs more than decoding it. The
// string is taken out in one piece and the rest of the message goes the ordinary way, so
// every check (nesting, unparsable text, field kinds) still sees all other fields. A "pcm"
// that is not a plain string takes the ordinary path whole. What differs is only a "pcm"
// JSON could not carry (lone surrogates), and such text fails the strict Base64 check.
std::optional<nlohmann::json> WebKitBackend::parseChunk(JSCValue* value, std::size_t& repaired) {
    GPtr<JSCValue> type = property(value, "type");
    GPtr<GBytes> typeText = stringBytes(type.get());
    if (!typeText || !bytesEqual(typeText.get(), "audioChunk")) return parseBody(value, repaired);
    GPtr<JSCValue> pcm = property(value, "pcm");
    GPtr<GBytes> bytes = stringBytes(pcm.get());
    if (!bytes) return parseBody(value, repaired);
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
    // The UTF-8 conversion silently drops lone surrogates, which JSON would have refused;
    // one byte per UTF-16 unit means plain ASCII, where nothing can have been dropped.
    if (utf16Length(pcm.get()) != static_cast<double>(size)) return parseBody(value, repaired);
    if (!jsc_value_object_delete_property(value, "pcm")) return parseBody(value, repaired);
    ++fastChunks_;
    auto body = parseBody(value, repaired);
    if (!body || !body->is_object()) return std::nullopt;
    (*body)["pcm"] = std::string(data ? data : "", size);
    return body;
}

std::optional<SaveMessage> takeSaveMessage(JSCValue* value) {
    GPtr<JSCValue> type = property(value, "type");
    GPtr<GBytes> typeText = stringBytes(type.get());
    if (!typeText || !bytesEqual(typeText.get(), "save")) return std::nullopt;
    GPtr<JSCValue> data = property(value, "data");
    if (!data || !jsc_value_is_object(data.get())) return std::nullopt;
    SaveMessage save;
    auto text = engineJson(data.get(), save.repaired);
    // The message's own level counts towards the depth. An object with toJSON (a Date)
    // prints as a scalar, which canonicalJson refuses along with all text the parser would.
    if (!text || !nestingWithin(*text, kMaxMessageDepth - 1)) return std::nullopt;
    auto document = canonicalJson(*text);
    if (!document) return std::nullopt;
    if (!jsc_value_object_delete_property(value, "data")) return std::nullopt;
    auto rest = parseBody(value, save.repaired);
    if (!rest || !rest->is_object()) {
        save.dropped = true;
        return save;
    }
    save.rest = std::move(*rest);
    save.document = std::move(*document);
    return save;
}

void WebKitBackend::receiveMessage(JSCValue* value) {
    if (!value || !jsc_value_is_object(value) || jsc_value_is_array(value)) return;
    if (saveFastPath_) {
        if (auto save = takeSaveMessage(value)) {
            logReplacedSurrogates(save->repaired);
            if (save->dropped) return;
            ++fastSaves_;
            bridge_.dispatchSave(save->rest, std::move(save->document));
            return;
        }
    }
    std::size_t repaired = 0;
    auto body = chunkFastPath_ ? parseChunk(value, repaired) : parseBody(value, repaired);
    logReplacedSurrogates(repaired);
    if (!body) return;
    bridge_.dispatch(std::move(*body), weak_from_this());
}

gboolean WebKitBackend::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                       WebKitPolicyDecisionType type, gpointer self) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
        type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
        return FALSE;
    auto* backend = static_cast<WebKitBackend*>(self);
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr;
    const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
    std::optional<std::string> url;
    if (uri) url = uri;
    // A new window never opens: the page's own URLs stay out of it too.
    bool gesture = action && webkit_navigation_action_is_user_gesture(action);
    auto verdict = backend->bridge_.decidePolicy(url, gesture);
    if (verdict == NavigationDecision::Allow &&
        type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
        webkit_policy_decision_use(decision);
    else
        webkit_policy_decision_ignore(decision);
    return TRUE;
}

void WebKitBackend::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
    auto* backend = static_cast<WebKitBackend*>(self);
    if (event == WEBKIT_LOAD_STARTED) {
        backend->loadFailed_ = false;
        // Before the scheme handler answers, so the new document gets the new script.
        backend->bridge_.didStartLoad();
    }
    if (event == WEBKIT_LOAD_COMMITTED) backend->bridge_.didCommitLoad();
    if (event == WEBKIT_LOAD_FINISHED && !backend->loadFailed_)
        backend->bridge_.didFinishNavigation();
}

gboolean WebKitBackend::onLoadFailed(WebKitWebView*, WebKitLoadEvent event, gchar* uri,
                                     GError* error, gpointer self) {
    auto* backend = static_cast<WebKitBackend*>(self);
    backend->loadFailed_ = true;
    std::string text = std::string(error ? error->message : "unknown error") + " (" +
                       (error ? g_quark_to_string(error->domain) : "") + " " +
                       std::to_string(error ? error->code : 0) + ", " + (uri ? uri : "") + ")";
    if (event == WEBKIT_LOAD_STARTED)
        backend->bridge_.didFailProvisionalNavigation(text);
    else
        backend->bridge_.didFailNavigation(text);
    return TRUE;  // no error page: the page stays as it is
}

void WebKitBackend::onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason,
                                           gpointer self) {
    static_cast<WebKitBackend*>(self)->bridge_.webContentProcessDidTerminate();
}

GtkWidget* WebKitBackend::onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer self) {
    // A script's window.open comes here without a policy decision of its own; its URL
    // follows the same policy as a navigation. Never a second web view.
    WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr;
    const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
    std::optional<std::string> url;
    if (uri) url = uri;
    bool gesture = action && webkit_navigation_action_is_user_gesture(action);
    static_cast<WebKitBackend*>(self)->bridge_.decidePolicy(url, gesture);
    return nullptr;
}

WebViewFactory makeWebKitFactory(WebKitOptions options) {
    return [options](Bridge& bridge) -> std::shared_ptr<WebViewBackend> {
        return WebKitBackend::create(bridge, options);
    };
}

}  // namespace lumora
