#include "notify/reminder_notification.hpp"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <memory>

#include "container/base/glib_ptr.hpp"
#include "container/base/log.hpp"
#include "notify/reminder.hpp"

namespace lumora {

namespace {

constexpr const char* kNotifications = "org.freedesktop.Notifications";
constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
constexpr const char* kDesktopId = "org.lumora.Lumora.desktop";
constexpr int kNotifyTimeoutMs = 25'000;
// Some servers keep notifications for hours without ever reporting them closed; the
// notifier does not wait for a click forever.
constexpr guint kWaitForClickSeconds = 30 * 60;

struct Waiting {
    GMainLoop* loop = nullptr;
    guint32 id = 0;
    std::string program;
    guint timeout = 0;
};

void openLumora(const std::string& program) {
    // The installed desktop entry first, so the launch looks like any other; a build
    // tree has none, so the program itself is started then.
    GPtr<GError> error;
    GPtr<GDesktopAppInfo> app = GPtr<GDesktopAppInfo>::adopt(g_desktop_app_info_new(kDesktopId));
    if (app && g_app_info_launch(G_APP_INFO(app.get()), nullptr, nullptr, error.out())) return;
    if (error) log(std::string("reminder: cannot launch ") + kDesktopId + ": " + error->message);
    const char* argv[] = {program.c_str(), nullptr};
    GPtr<GError> spawnError;
    if (!g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                       nullptr, nullptr, spawnError.out()))
        log(std::string("reminder: cannot start Lumora: ") + spawnError->message);
}

void onSignal(GDBusConnection*, const char*, const char*, const char*, const char* signal,
              GVariant* parameters, gpointer data) {
    auto* waiting = static_cast<Waiting*>(data);
    if (g_strcmp0(signal, "ActionInvoked") == 0 &&
        g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
        guint32 id = 0;
        const char* action = nullptr;
        g_variant_get(parameters, "(u&s)", &id, &action);
        if (id != waiting->id || g_strcmp0(action, "default") != 0) return;
        openLumora(waiting->program);
        g_main_loop_quit(waiting->loop);
    } else if (g_strcmp0(signal, "NotificationClosed") == 0 &&
               g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
        guint32 id = 0, reason = 0;
        g_variant_get(parameters, "(uu)", &id, &reason);
        if (id == waiting->id) g_main_loop_quit(waiting->loop);
    }
}

gboolean stopWaiting(gpointer data) {
    auto* waiting = static_cast<Waiting*>(data);
    waiting->timeout = 0;
    g_main_loop_quit(waiting->loop);
    return G_SOURCE_REMOVE;
}

}  // namespace

std::string currentProgram() {
    std::unique_ptr<char, GFreeDeleter> path(g_file_read_link("/proc/self/exe", nullptr));
    return path ? std::string(path.get()) : std::string("lumora");
}

int showReminderNotification(const std::string& program) {
    GPtr<GError> error;
    GPtr<GDBusConnection> bus =
        GPtr<GDBusConnection>::adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
    if (!bus) {
        log(std::string("reminder: no session bus: ") + error->message);
        return 1;
    }

    GPtr<GMainLoop> loop = GPtr<GMainLoop>::adopt(g_main_loop_new(nullptr, FALSE));
    Waiting waiting{loop.get(), 0, program};
    // Subscribed before the notification exists, so no early click is missed.
    guint subscription = g_dbus_connection_signal_subscribe(
        bus.get(), nullptr, kNotifications, nullptr, kNotificationsPath, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onSignal, &waiting, nullptr);

    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&actions, "s", "default");
    g_variant_builder_add(&actions, "s", "Open Lumora");
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry",
                          g_variant_new_string("org.lumora.Lumora"));
    // The sound theme's event for a new message: the desktop's usual notification sound.
    g_variant_builder_add(&hints, "{sv}", "sound-name",
                          g_variant_new_string("message-new-instant"));
    g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));

    GPtr<GVariant> reply = GPtr<GVariant>::adopt(g_dbus_connection_call_sync(
        bus.get(), kNotifications, kNotificationsPath, kNotifications, "Notify",
        g_variant_new("(susssasa{sv}i)", "Lumora", 0u, "org.lumora.Lumora", Reminder::title,
                      Reminder::body, &actions, &hints, -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kNotifyTimeoutMs, nullptr, error.out()));
    if (!reply) {
        g_dbus_connection_signal_unsubscribe(bus.get(), subscription);
        log(std::string("reminder: no notification service: ") + error->message);
        return 1;
    }
    g_variant_get(reply.get(), "(u)", &waiting.id);
    log("reminder shown");

    waiting.timeout = g_timeout_add_seconds(kWaitForClickSeconds, stopWaiting, &waiting);
    g_main_loop_run(loop.get());
    if (waiting.timeout) g_source_remove(waiting.timeout);
    g_dbus_connection_signal_unsubscribe(bus.get(), subscription);
    return 0;
}

}  // namespace lumora
