#include "tests/support/webkit_harness.hpp"

#include <dirent.h>
#include <gdk/x11/gdkx.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "container/base/glib_ptr.hpp"
#include "container/base/log.hpp"
#include "tests/support/test_env.hpp"

namespace lumora::test {

void initGtk() {
    static bool done = false;
    if (!done) {
        gtk_init();
        done = true;
    }
}

bool spinUntil(const std::function<bool()>& done, double timeoutSeconds) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeoutSeconds * 1e6);
    while (!done()) {
        if (g_get_monotonic_time() > deadline) return false;
        g_main_context_iteration(nullptr, FALSE);
        if (!g_main_context_pending(nullptr)) g_usleep(1000);
    }
    return true;
}

void spinFor(double seconds) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    spinUntil([&] { return g_get_monotonic_time() > deadline; }, seconds + 1);
}

namespace {
struct EvalResult {
    bool done = false;
    std::optional<std::string> json;
};

void onEvaluated(GObject* source, GAsyncResult* result, gpointer data) {
    auto* out = static_cast<EvalResult*>(data);
    GPtr<GError> error;
    GPtr<JSCValue> value = GPtr<JSCValue>::adopt(
        webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, error.out()));
    if (value) {
        if (jsc_value_is_undefined(value.get())) {
            out->json = "undefined";
        } else {
            char* text = jsc_value_to_json(value.get(), 0);
            out->json = text ? text : "null";
            g_free(text);
        }
    }
    out->done = true;
}
}  // namespace

std::optional<std::string> evaluateJson(WebKitWebView* view, const std::string& script,
                                        double timeoutSeconds) {
    // The result struct must outlive a late callback, so it is leaked on timeout.
    auto* raw = new EvalResult();
    webkit_web_view_evaluate_javascript(view, script.c_str(), -1, nullptr, nullptr, nullptr,
                                        onEvaluated, raw);
    bool finished = spinUntil([&] { return raw->done; }, timeoutSeconds);
    if (!finished) return std::nullopt;
    auto json = raw->json;
    delete raw;
    return json;
}

WebStack::WebStack(Options options) {
    initGtk();
    loop = makeGLibMainLoop();
    MainLoop& driver = options.loop ? *options.loop : *loop;
    store = std::make_unique<LumoraStore>(options.dataDirectory);
    host = std::make_unique<StandaloneHost>(*store, options.cloud, options.reminder, driver);
    if (options.wrapHost) wrappedHost = options.wrapHost(*host);
    WebViewFactory real = makeWebKitFactory({options.webRoot, false});
    controller = std::make_unique<LumoraController>(
        wrappedHost ? *wrappedHost : *host, options.bridge, options.controller, driver,
        [this, real](Bridge& bridge) {
            auto made = real(bridge);
            backend = std::static_pointer_cast<WebKitBackend>(made);
            g_signal_connect(backend->view(), "load-changed",
                             G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                                 if (event == WEBKIT_LOAD_FINISHED)
                                     static_cast<WebStack*>(self)->loads++;
                             }),
                             this);
            return made;
        });
    window = GTK_WINDOW(gtk_window_new());
    gtk_window_set_default_size(window, options.width, options.height);
    controller->webView();
    gtk_window_set_child(window, backend->widget());
    gtk_window_present(window);
}

WebStack::~WebStack() {
    if (backend) g_signal_handlers_disconnect_by_data(backend->view(), this);
    if (window) gtk_window_destroy(window);
    controller.reset();
    backend.reset();
    spinFor(0.05);
}

WebKitWebView* WebStack::view() const {
    return backend->view();
}

bool WebStack::waitForLoads(int count, double timeoutSeconds) {
    return spinUntil([&] { return loads >= count; }, timeoutSeconds);
}

namespace {
struct ProcInfo {
    int ppid = 0;
    std::string comm;
};
ProcInfo procInfo(int pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    auto open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return {};
    // "<pid> (<comm>) <state> <ppid> ..."
    return {std::atoi(stat.c_str() + close + 4), stat.substr(open + 1, close - open - 1)};
}
}  // namespace

int WebStack::webProcessPid() {
    // The web process runs below this process, inside the bubblewrap sandbox.
    const int self = getpid();
    DIR* proc = opendir("/proc");
    if (!proc) return -1;
    int found = -1;
    while (dirent* entry = readdir(proc)) {
        int pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        if (procInfo(pid).comm.find("WebKitWebProces") == std::string::npos) continue;
        for (int p = procInfo(pid).ppid, depth = 0; p > 1 && depth < 8;
             p = procInfo(p).ppid, ++depth)
            if (p == self) found = pid;
    }
    closedir(proc);
    return found;
}

namespace {
// The X window of this process's mapped toplevel, or 0.
unsigned long ownWindowXid() {
    GList* toplevels = gtk_window_list_toplevels();
    unsigned long xid = 0;
    for (GList* item = toplevels; item && xid == 0; item = item->next) {
        GtkWidget* widget = GTK_WIDGET(item->data);
        if (!gtk_widget_get_mapped(widget)) continue;
        GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(widget));
        if (surface && GDK_IS_X11_SURFACE(surface)) xid = gdk_x11_surface_get_xid(surface);
    }
    g_list_free(toplevels);
    return xid;
}
}  // namespace

bool screenshotNotUniform(const std::string& path, double minShare) {
    const std::string file = "'" + path + "'";
    for (int attempt = 0; attempt < 30; ++attempt) {
        spinFor(0.2);
        unsigned long xid = ownWindowXid();
        if (xid == 0) continue;
        int status = 0;
        runCommand("import -window " + std::to_string(xid) + " " + file + " 2>/dev/null", &status);
        if (status != 0) continue;
        // The share of pixels that are not the window's own background (what the page
        // painted), and the number of colours: one flat fill has a single colour.
        std::string measures =
            runCommand("/usr/bin/convert " + file +
                       " -alpha off \\( +clone -fuzz 2% -transparent 'rgb(3,25,43)' -alpha extract"
                       " -format '%[fx:mean] ' -write info: +delete \\) -format '%k' info:");
        double painted = 0;
        unsigned colours = 0;
        if (std::sscanf(measures.c_str(), "%lf %u", &painted, &colours) == 2 &&
            painted >= minShare && colours >= 16)
            return true;
    }
    return false;
}

nlohmann::json WebStack::evalValue(const std::string& script) {
    auto text = eval(script);
    return text ? nlohmann::json::parse(*text, nullptr, false) : nlohmann::json();
}

void WebStack::post(const std::string& message) {
    eval("window.webkit.messageHandlers.lumora.postMessage(" + message + "); true");
}

}  // namespace lumora::test
