#include "app/gtk_services.hpp"

#include "container/base/glib_ptr.hpp"
#include "container/base/log.hpp"
#include "container/base/uri.hpp"

namespace lumora {

namespace {
constexpr const char* kScreenSaver = "org.freedesktop.ScreenSaver";
}

GtkActivityInhibitor::GtkActivityInhibitor(GtkApplication* app, GtkWindow* (*window)(gpointer),
                                           gpointer data)
    : app_(app), window_(window), windowData_(data) {}

GtkActivityInhibitor::~GtkActivityInhibitor() {
    end();
}

void GtkActivityInhibitor::begin(const std::string& reason) {
    if (active_) return;
    active_ = true;
    cookie_ =
        gtk_application_inhibit(app_, window_(windowData_),
                                static_cast<GtkApplicationInhibitFlags>(
                                    GTK_APPLICATION_INHIBIT_IDLE | GTK_APPLICATION_INHIBIT_SUSPEND),
                                reason.c_str());
    GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(app_));
    if (!bus || awaitingReply_ || screenSaverCookie_ != 0) return;
    // Ask only when the name has an owner, so no service gets activated for this.
    GPtr<GVariant> owner = GPtr<GVariant>::adopt(g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", kScreenSaver), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr));
    gboolean hasOwner = FALSE;
    if (owner) g_variant_get(owner.get(), "(b)", &hasOwner);
    if (!hasOwner) return;
    awaitingReply_ = true;
    g_dbus_connection_call(bus, kScreenSaver, "/org/freedesktop/ScreenSaver", kScreenSaver,
                           "Inhibit", g_variant_new("(ss)", "org.lumora.Lumora", reason.c_str()),
                           G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                           onInhibitReply, this);
}

void GtkActivityInhibitor::onInhibitReply(GObject* source, GAsyncResult* result, gpointer self) {
    auto* inhibitor = static_cast<GtkActivityInhibitor*>(self);
    inhibitor->awaitingReply_ = false;
    GPtr<GVariant> reply = GPtr<GVariant>::adopt(
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr));
    if (!reply) return;
    g_variant_get(reply.get(), "(u)", &inhibitor->screenSaverCookie_);
    // The session may have ended while the call was on its way.
    if (!inhibitor->active_) inhibitor->releaseScreenSaver();
}

void GtkActivityInhibitor::releaseScreenSaver() {
    if (screenSaverCookie_ == 0) return;
    GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(app_));
    if (bus)
        g_dbus_connection_call(bus, kScreenSaver, "/org/freedesktop/ScreenSaver", kScreenSaver,
                               "UnInhibit", g_variant_new("(u)", screenSaverCookie_), nullptr,
                               G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr, nullptr);
    screenSaverCookie_ = 0;
}

void GtkActivityInhibitor::end() {
    if (!active_) return;
    active_ = false;
    if (cookie_ != 0) gtk_application_uninhibit(app_, cookie_);
    cookie_ = 0;
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
