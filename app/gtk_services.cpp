#include "app/gtk_services.hpp"

#ifdef GDK_WINDOWING_X11
#include <gdk/x11/gdkx.h>
#endif

#include <memory>

#include "container/base/glib_ptr.hpp"
#include "container/base/log.hpp"
#include "container/base/uri.hpp"

namespace lumora {

namespace {
constexpr const char* kScreenSaver = "org.freedesktop.ScreenSaver";
constexpr const char* kSessionManager = "org.gnome.SessionManager";
constexpr const char* kSessionManagerPath = "/org/gnome/SessionManager";
// The session manager's flags, as GTK's own inhibit sends them.
constexpr guint32 kInhibitSuspend = 4, kInhibitIdle = 8;

// The X window the session manager may name to the user; none elsewhere.
guint32 toplevelXid(GtkWindow* window) {
#ifdef GDK_WINDOWING_X11
    if (!window) return 0;
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (surface && GDK_IS_X11_SURFACE(surface))
        return static_cast<guint32>(gdk_x11_surface_get_xid(surface));
    G_GNUC_END_IGNORE_DEPRECATIONS
#else
    (void)window;
#endif
    return 0;
}

// A service that holds the session awake for as long as it keeps a cookie.
struct InhibitService {
    const char* name;
    const char* path;
    const char* release;  // the method that takes the cookie back
    GDBusCallFlags flags;
};
constexpr InhibitService kSessionManagerService{kSessionManager, kSessionManagerPath, "Uninhibit",
                                                G_DBUS_CALL_FLAGS_NO_AUTO_START};
constexpr InhibitService kScreenSaverService{kScreenSaver, "/org/freedesktop/ScreenSaver",
                                             "UnInhibit", G_DBUS_CALL_FLAGS_NONE};

void releaseCookie(GDBusConnection* bus, const InhibitService& service, guint32 cookie) {
    g_dbus_connection_call(bus, service.name, service.path, service.name, service.release,
                           g_variant_new("(u)", cookie), nullptr, service.flags, 5000, nullptr,
                           nullptr, nullptr);
}
}  // namespace

// One service's hold: an Inhibit call answered on the loop with a cookie, handed back when
// the session ends. A call on its way outlives the hold, so a cookie that comes back after
// the session ended, or after the inhibitor went, is still handed back.
class GtkActivityInhibitor::Hold {
  public:
    Hold(const GtkActivityInhibitor& owner, const InhibitService& service)
        : owner_(owner), service_(service) {}
    ~Hold() {
        if (call_) call_->hold = nullptr;
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    bool busy() const { return call_ != nullptr || cookie_ != 0; }
    void request(GDBusConnection* bus, GVariant* arguments) {
        call_ = new Call{this, &service_};
        g_dbus_connection_call(bus, service_.name, service_.path, service_.name, "Inhibit",
                               arguments, G_VARIANT_TYPE("(u)"), service_.flags, 5000, nullptr,
                               onReply, call_);
    }
    void release(GDBusConnection* bus) {
        if (cookie_ == 0) return;
        if (bus) releaseCookie(bus, service_, cookie_);
        cookie_ = 0;
    }

  private:
    struct Call {
        Hold* hold;
        const InhibitService* service;
    };
    static void onReply(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Call> call(static_cast<Call*>(data));
        GDBusConnection* bus = G_DBUS_CONNECTION(source);
        // No such service (the session manager is GNOME's alone) is no fault.
        GPtr<GVariant> reply =
            GPtr<GVariant>::adopt(g_dbus_connection_call_finish(bus, result, nullptr));
        guint32 cookie = 0;
        if (reply) g_variant_get(reply.get(), "(u)", &cookie);
        Hold* hold = call->hold;
        if (!hold) {
            if (cookie != 0) releaseCookie(bus, *call->service, cookie);
            return;
        }
        hold->call_ = nullptr;
        hold->cookie_ = cookie;
        // The session may have ended while the call was on its way.
        if (!hold->owner_.active_) hold->release(bus);
    }

    const GtkActivityInhibitor& owner_;
    const InhibitService& service_;
    guint32 cookie_ = 0;
    Call* call_ = nullptr;
};

GtkActivityInhibitor::GtkActivityInhibitor(GtkApplication* app, GtkWindow* (*window)(gpointer),
                                           gpointer data)
    : app_(app),
      window_(window),
      windowData_(data),
      session_(std::make_unique<Hold>(*this, kSessionManagerService)),
      screenSaver_(std::make_unique<Hold>(*this, kScreenSaverService)),
      cancellable_(GPtr<GCancellable>::adopt(g_cancellable_new())) {}

GtkActivityInhibitor::~GtkActivityInhibitor() {
    end();
    // A name check still on its way finishes as cancelled and leaves this object alone.
    g_cancellable_cancel(cancellable_.get());
}

void GtkActivityInhibitor::begin(const std::string& reason) {
    if (active_) return;
    active_ = true;
    reason_ = reason;
    GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(app_));
    if (!bus) return;
    // GTK's own inhibit asks the same, but waits for the answer without a time limit.
    if (!session_->busy()) {
        const char* appId = g_application_get_application_id(G_APPLICATION(app_));
        session_->request(
            bus, g_variant_new("(susu)", appId ? appId : "", toplevelXid(window_(windowData_)),
                               reason_.c_str(), kInhibitSuspend | kInhibitIdle));
    }
    if (checkingOwner_ || screenSaver_->busy()) return;
    // Ask only when the name has an owner, so no service gets activated for this.
    checkingOwner_ = true;
    g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner",
                           g_variant_new("(s)", kScreenSaver), G_VARIANT_TYPE("(b)"),
                           G_DBUS_CALL_FLAGS_NONE, 1000, cancellable_.get(), onOwnerReply, this);
}

void GtkActivityInhibitor::onOwnerReply(GObject* source, GAsyncResult* result, gpointer self) {
    GPtr<GError> error;
    GPtr<GVariant> reply = GPtr<GVariant>::adopt(
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error.out()));
    if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
    auto* inhibitor = static_cast<GtkActivityInhibitor*>(self);
    inhibitor->checkingOwner_ = false;
    gboolean hasOwner = FALSE;
    if (reply) g_variant_get(reply.get(), "(b)", &hasOwner);
    // The session may have ended before the answer came: then there is nothing to hold.
    if (!hasOwner || !inhibitor->active_) return;
    inhibitor->screenSaver_->request(
        G_DBUS_CONNECTION(source),
        g_variant_new("(ss)", "org.lumora.Lumora", inhibitor->reason_.c_str()));
}

void GtkActivityInhibitor::end() {
    if (!active_) return;
    active_ = false;
    GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(app_));
    session_->release(bus);
    screenSaver_->release(bus);
}

namespace {
// GIO's message may quote the link it could not open.
std::string linkFreeReason(std::string reason, std::string_view uri) {
    if (uri.empty()) return reason;
    for (auto at = reason.find(uri); at != std::string::npos; at = reason.find(uri, at))
        reason.replace(at, uri.size(), "the link");
    return reason;
}

void onLaunched(GObject*, GAsyncResult* result, gpointer data) {
    std::unique_ptr<gchar, GFreeDeleter> uri(static_cast<gchar*>(data));
    GPtr<GError> error;
    if (g_app_info_launch_default_for_uri_finish(result, error.out())) return;
    // Only the scheme: a mailto: share carries the reflection in its body.
    std::string what = loggableScheme(uri.get()).value_or("such");
    // With no program registered for the scheme GLib falls back to asking the URI as a
    // file, and a "mailto:" file "is not supported"; say what is really missing.
    if (!error || g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED)) {
        log("could not open a " + what + " link: no program is set to open " + what + " links");
        return;
    }
    log("could not open a " + what + " link: " + linkFreeReason(error->message, uri.get()));
}
}  // namespace

void GioUrlOpener::open(const std::string& uri) {
    g_app_info_launch_default_for_uri_async(uri.c_str(), nullptr, nullptr, onLaunched,
                                            g_strdup(uri.c_str()));
}

}  // namespace lumora
