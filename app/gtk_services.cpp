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

void uninhibitSession(GDBusConnection* bus, guint32 cookie) {
    g_dbus_connection_call(bus, kSessionManager, kSessionManagerPath, kSessionManager, "Uninhibit",
                           g_variant_new("(u)", cookie), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                           5000, nullptr, nullptr, nullptr);
}
}  // namespace

GtkActivityInhibitor::GtkActivityInhibitor(GtkApplication* app, GtkWindow* (*window)(gpointer),
                                           gpointer data)
    : app_(app),
      window_(window),
      windowData_(data),
      cancellable_(GPtr<GCancellable>::adopt(g_cancellable_new())) {}

// An Inhibit call on its way. It outlives an inhibitor destroyed meanwhile, so the cookie
// that comes back can still be handed back.
struct GtkActivityInhibitor::InhibitCall {
    GtkActivityInhibitor* owner;
};

// GTK's own inhibit waits for the session manager's answer without a time limit; this
// asks the same and is answered on the loop.
void GtkActivityInhibitor::inhibitSession(GDBusConnection* bus) {
    if (sessionCall_ || sessionCookie_ != 0) return;
    const char* appId = g_application_get_application_id(G_APPLICATION(app_));
    sessionCall_ = new InhibitCall{this};
    g_dbus_connection_call(
        bus, kSessionManager, kSessionManagerPath, kSessionManager, "Inhibit",
        g_variant_new("(susu)", appId ? appId : "", toplevelXid(window_(windowData_)),
                      reason_.c_str(), kInhibitSuspend | kInhibitIdle),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, onSessionReply,
        sessionCall_);
}

void GtkActivityInhibitor::onSessionReply(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<InhibitCall> call(static_cast<InhibitCall*>(data));
    GDBusConnection* bus = G_DBUS_CONNECTION(source);
    // No session manager (most desktops but GNOME's) is no fault.
    GPtr<GVariant> reply =
        GPtr<GVariant>::adopt(g_dbus_connection_call_finish(bus, result, nullptr));
    guint32 cookie = 0;
    if (reply) g_variant_get(reply.get(), "(u)", &cookie);
    GtkActivityInhibitor* inhibitor = call->owner;
    if (!inhibitor) {
        if (cookie != 0) uninhibitSession(bus, cookie);
        return;
    }
    inhibitor->sessionCall_ = nullptr;
    inhibitor->sessionCookie_ = cookie;
    // The session may have ended while the call was on its way.
    if (!inhibitor->active_) inhibitor->releaseSession();
}

void GtkActivityInhibitor::releaseSession() {
    if (sessionCookie_ == 0) return;
    GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(app_));
    if (bus) uninhibitSession(bus, sessionCookie_);
    sessionCookie_ = 0;
}

GtkActivityInhibitor::~GtkActivityInhibitor() {
    end();
    if (inhibitCall_) inhibitCall_->owner = nullptr;
    if (sessionCall_) sessionCall_->owner = nullptr;
    // A name check still on its way finishes as cancelled and leaves this object alone.
    g_cancellable_cancel(cancellable_.get());
}

void GtkActivityInhibitor::begin(const std::string& reason) {
    if (active_) return;
    active_ = true;
    reason_ = reason;
    GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(app_));
    if (!bus) return;
    inhibitSession(bus);
    if (awaitingReply_ || screenSaverCookie_ != 0) return;
    // Ask only when the name has an owner, so no service gets activated for this.
    awaitingReply_ = true;
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
    gboolean hasOwner = FALSE;
    if (reply) g_variant_get(reply.get(), "(b)", &hasOwner);
    // The session may have ended before the answer came: then there is nothing to hold.
    if (!hasOwner || !inhibitor->active_) {
        inhibitor->awaitingReply_ = false;
        return;
    }
    inhibitor->inhibitCall_ = new InhibitCall{inhibitor};
    g_dbus_connection_call(G_DBUS_CONNECTION(source), kScreenSaver, "/org/freedesktop/ScreenSaver",
                           kScreenSaver, "Inhibit",
                           g_variant_new("(ss)", "org.lumora.Lumora", inhibitor->reason_.c_str()),
                           G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                           onInhibitReply, inhibitor->inhibitCall_);
}

void GtkActivityInhibitor::onInhibitReply(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<InhibitCall> call(static_cast<InhibitCall*>(data));
    GDBusConnection* bus = G_DBUS_CONNECTION(source);
    GPtr<GVariant> reply =
        GPtr<GVariant>::adopt(g_dbus_connection_call_finish(bus, result, nullptr));
    guint32 cookie = 0;
    if (reply) g_variant_get(reply.get(), "(u)", &cookie);
    GtkActivityInhibitor* inhibitor = call->owner;
    if (!inhibitor) {
        if (cookie != 0) uninhibitScreenSaver(bus, cookie);
        return;
    }
    inhibitor->inhibitCall_ = nullptr;
    inhibitor->awaitingReply_ = false;
    inhibitor->screenSaverCookie_ = cookie;
    // The session may have ended while the call was on its way.
    if (!inhibitor->active_) inhibitor->releaseScreenSaver();
}

void GtkActivityInhibitor::releaseScreenSaver() {
    if (screenSaverCookie_ == 0) return;
    GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(app_));
    if (bus) uninhibitScreenSaver(bus, screenSaverCookie_);
    screenSaverCookie_ = 0;
}

void GtkActivityInhibitor::uninhibitScreenSaver(GDBusConnection* bus, guint32 cookie) {
    g_dbus_connection_call(bus, kScreenSaver, "/org/freedesktop/ScreenSaver", kScreenSaver,
                           "UnInhibit", g_variant_new("(u)", cookie), nullptr,
                           G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr, nullptr);
}

void GtkActivityInhibitor::end() {
    if (!active_) return;
    active_ = false;
    releaseSession();
    releaseScreenSaver();
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
