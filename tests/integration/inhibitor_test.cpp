#include <gtest/gtest.h>

#include <gdk/x11/gdkx.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/gtk_services.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

namespace lumora {
namespace {

// A stand-in session service on the private bus that records what it is asked.
class StubService {
  public:
    StubService(GDBusConnection* bus, const char* name, const char* path, const char* xml)
        : bus_(bus) {
        GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(xml, nullptr);
        static const GDBusInterfaceVTable vtable{onCall, nullptr, nullptr, {}};
        id_ = g_dbus_connection_register_object(bus, path, info->interfaces[0], &vtable, this,
                                                nullptr, nullptr);
        g_dbus_node_info_unref(info);
        owner_ = g_bus_own_name_on_connection(bus, name, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                                              nullptr, nullptr, nullptr);
    }
    ~StubService() {
        g_bus_unown_name(owner_);
        g_dbus_connection_unregister_object(bus_, id_);
    }
    std::vector<std::string> calls;

  private:
    static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                       const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                       gpointer self) {
        auto* stub = static_cast<StubService*>(self);
        gchar* args = g_variant_print(parameters, FALSE);
        stub->calls.push_back(std::string(method) + args);
        g_free(args);
        if (g_str_equal(method, "Inhibit"))
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", 42u));
        else
            g_dbus_method_invocation_return_value(invocation, nullptr);
    }
    GDBusConnection* bus_;
    guint id_ = 0, owner_ = 0;
};

const char* kScreenSaverXml = R"(<node><interface name="org.freedesktop.ScreenSaver">
  <method name="Inhibit"><arg type="s" direction="in"/><arg type="s" direction="in"/>
    <arg type="u" direction="out"/></method>
  <method name="UnInhibit"><arg type="u" direction="in"/></method></interface></node>)";

GtkWindow* noWindow(gpointer) {
    return nullptr;
}

TEST(ActivityInhibitorTest, ScreenSaverIsInhibitedOnceAndReleased) {
    test::TestEnv env{test::TestEnv::Options{.privateBus = true}};
    test::initGtk();
    GtkApplication* app =
        gtk_application_new("org.lumora.InhibitTest", G_APPLICATION_DEFAULT_FLAGS);
    ASSERT_TRUE(g_application_register(G_APPLICATION(app), nullptr, nullptr));
    GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(app));
    ASSERT_NE(bus, nullptr);
    {
        StubService screenSaver(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                kScreenSaverXml);
        GDBusConnection* other = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        ASSERT_TRUE(test::spinUntil([&] {
            GVariant* r = g_dbus_connection_call_sync(
                other, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "NameHasOwner", g_variant_new("(s)", "org.freedesktop.ScreenSaver"),
                G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
            gboolean owned = FALSE;
            if (r) g_variant_get(r, "(b)", &owned), g_variant_unref(r);
            return owned == TRUE;
        }));
        auto inhibitor = std::make_unique<GtkActivityInhibitor>(app, noWindow, nullptr);
        inhibitor->begin("Lumora session");
        inhibitor->begin("Lumora session");
        ASSERT_TRUE(test::spinUntil([&] { return screenSaver.calls.size() == 1; }));
        EXPECT_EQ(screenSaver.calls[0], "Inhibit('org.lumora.Lumora', 'Lumora session')");
        inhibitor->end();
        ASSERT_TRUE(test::spinUntil([&] { return screenSaver.calls.size() == 2; }));
        EXPECT_EQ(screenSaver.calls[1], "UnInhibit(42,)");
        // Ending while the Inhibit call is on its way releases the cookie once it arrives.
        inhibitor->begin("Lumora session");
        ASSERT_TRUE(test::spinUntil([&] { return screenSaver.calls.size() == 3; }));
        inhibitor->end();
        ASSERT_TRUE(test::spinUntil([&] { return screenSaver.calls.size() == 4; }));
        EXPECT_EQ(screenSaver.calls[3], "UnInhibit(42,)");
        // Ending, or going, before the owner check has answered asks for nothing.
        inhibitor->begin("Lumora session");
        inhibitor->end();
        inhibitor->begin("Lumora session");
        inhibitor.reset();
        test::spinFor(0.2);
        EXPECT_EQ(screenSaver.calls.size(), 4u);
        // Going while the Inhibit call is on its way still hands the cookie back.
        inhibitor = std::make_unique<GtkActivityInhibitor>(app, noWindow, nullptr);
        inhibitor->begin("Lumora session");
        ASSERT_TRUE(test::spinUntil([&] { return screenSaver.calls.size() == 5; }));
        inhibitor.reset();
        ASSERT_TRUE(test::spinUntil([&] { return screenSaver.calls.size() == 6; }));
        EXPECT_EQ(screenSaver.calls[5], "UnInhibit(42,)");
        test::spinFor(0.2);
        EXPECT_EQ(screenSaver.calls.size(), 6u);
        g_object_unref(other);
    }
    g_object_unref(app);
}

const char* kSessionManagerXml = R"(<node><interface name="org.gnome.SessionManager">
  <method name="Inhibit"><arg type="s" direction="in"/><arg type="u" direction="in"/>
    <arg type="s" direction="in"/><arg type="u" direction="in"/>
    <arg type="u" direction="out"/></method>
  <method name="Uninhibit"><arg type="u" direction="in"/></method>
  <method name="IsInhibited"><arg type="u" direction="in"/><arg type="b" direction="out"/></method>
</interface></node>)";

// A stand-in GNOME session manager, answering from a thread of its own with its own
// context and connection, as the real one is another process.
class SessionManagerStub {
  public:
    static constexpr guint32 kCookie = 5151;

    explicit SessionManagerStub(const std::string& address) : address_(address) {
        thread_ = std::thread([this] { serve(); });
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return state_ != State::Starting; });
    }
    ~SessionManagerStub() {
        if (loop_) {
            GSource* quit = g_idle_source_new();
            g_source_set_callback(
                quit,
                [](gpointer loop) {
                    return g_main_loop_quit(static_cast<GMainLoop*>(loop)), G_SOURCE_REMOVE;
                },
                loop_, nullptr);
            g_source_attach(quit, context_);
            g_source_unref(quit);
        }
        thread_.join();
    }
    bool owned() {
        std::lock_guard lock(mutex_);
        return state_ == State::Owned;
    }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    enum class State { Starting, Owned, Failed };

    void serve() {
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        guint object = 0;
        bool owned = false;
        if (bus) {
            GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kSessionManagerXml, nullptr);
            static const GDBusInterfaceVTable vtable{onCall, nullptr, nullptr, {}};
            object = g_dbus_connection_register_object(bus, "/org/gnome/SessionManager",
                                                       info->interfaces[0], &vtable, this, nullptr,
                                                       nullptr);
            g_dbus_node_info_unref(info);
            GVariant* reply = g_dbus_connection_call_sync(
                bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "RequestName",
                g_variant_new("(su)", "org.gnome.SessionManager", 4u /* DO_NOT_QUEUE */),
                G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
            guint32 result = 0;
            if (reply) g_variant_get(reply, "(u)", &result), g_variant_unref(reply);
            owned = result == 1; /* PRIMARY_OWNER */
        }
        if (owned) loop_ = g_main_loop_new(context_, FALSE);
        {
            std::lock_guard lock(mutex_);
            state_ = owned ? State::Owned : State::Failed;
        }
        ready_.notify_all();
        if (owned) g_main_loop_run(loop_);
        if (loop_) g_main_loop_unref(loop_);
        if (bus) {
            if (object) g_dbus_connection_unregister_object(bus, object);
            g_dbus_connection_close_sync(bus, nullptr, nullptr);
            g_object_unref(bus);
        }
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }

    static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                       const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                       gpointer self) {
        auto* stub = static_cast<SessionManagerStub*>(self);
        std::string call = method;
        if (g_str_equal(method, "Inhibit")) {
            const gchar *appId = nullptr, *reason = nullptr;
            guint32 xid = 0, flags = 0;
            g_variant_get(parameters, "(&su&su)", &appId, &xid, &reason, &flags);
            call += std::string(" ") + appId + " " + std::to_string(xid) + " " + reason + " " +
                    std::to_string(flags);
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", kCookie));
        } else if (g_str_equal(method, "Uninhibit")) {
            guint32 cookie = 0;
            g_variant_get(parameters, "(u)", &cookie);
            call += " " + std::to_string(cookie);
            g_dbus_method_invocation_return_value(invocation, nullptr);
        } else {
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
        }
        std::lock_guard lock(stub->mutex_);
        stub->calls_.push_back(call);
    }

    std::string address_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable ready_;
    State state_ = State::Starting;
    std::vector<std::string> calls_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
};

GtkWindow* theWindow(gpointer window) {
    return GTK_WINDOW(window);
}

TEST(ActivityInhibitorTest, SessionManagerIsInhibitedForTheWindowAndReleased) {
    test::TestEnv env{test::TestEnv::Options{.privateBus = true}};
    ASSERT_FALSE(env.busAddress().empty());
    test::initGtk();
    SessionManagerStub sessionManager(env.busAddress());
    ASSERT_TRUE(sessionManager.owned());
    GtkApplication* app =
        gtk_application_new("org.lumora.InhibitTest", G_APPLICATION_DEFAULT_FLAGS);
    ASSERT_TRUE(g_application_register(G_APPLICATION(app), nullptr, nullptr));
    GtkWindow* window = GTK_WINDOW(gtk_application_window_new(app));
    gtk_window_present(window);
    ASSERT_TRUE(test::spinUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
    ASSERT_TRUE(GDK_IS_X11_SURFACE(surface));
    const std::string xid = std::to_string(gdk_x11_surface_get_xid(surface));
    ASSERT_NE(xid, "0");
    {
        GtkActivityInhibitor inhibitor(app, theWindow, window);
        inhibitor.begin("Lumora session");
        inhibitor.begin("Lumora session");
        // Idle (8) and suspend (4).
        ASSERT_TRUE(test::spinUntil([&] { return sessionManager.calls().size() >= 1; }));
        EXPECT_EQ(sessionManager.calls()[0],
                  "Inhibit org.lumora.InhibitTest " + xid + " Lumora session 12");
        inhibitor.end();
        ASSERT_TRUE(test::spinUntil([&] { return sessionManager.calls().size() >= 2; }));
        EXPECT_EQ(sessionManager.calls()[1],
                  "Uninhibit " + std::to_string(SessionManagerStub::kCookie));
        inhibitor.end();
        // A second session asks again; destroying the inhibitor mid-session releases it.
        inhibitor.begin("Lumora session");
    }
    ASSERT_TRUE(test::spinUntil([&] { return sessionManager.calls().size() >= 4; }));
    test::spinFor(0.2);
    EXPECT_EQ(
        sessionManager.calls(),
        (std::vector<std::string>{"Inhibit org.lumora.InhibitTest " + xid + " Lumora session 12",
                                  "Uninhibit " + std::to_string(SessionManagerStub::kCookie),
                                  "Inhibit org.lumora.InhibitTest " + xid + " Lumora session 12",
                                  "Uninhibit " + std::to_string(SessionManagerStub::kCookie)}));
    gtk_window_destroy(window);
    g_object_unref(app);
}

}  // namespace
}  // namespace lumora
