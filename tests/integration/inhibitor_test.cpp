#include <gtest/gtest.h>

#include <string>
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

GtkWindow* noWindow(gpointer) { return nullptr; }

TEST(ActivityInhibitorTest, ScreenSaverIsInhibitedOnceAndReleased) {
    test::TestEnv env{test::TestEnv::Options{.privateBus = true}};
    test::initGtk();
    GtkApplication* app = gtk_application_new("org.lumora.InhibitTest", G_APPLICATION_DEFAULT_FLAGS);
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
        GtkActivityInhibitor inhibitor(app, noWindow, nullptr);
        inhibitor.begin("Lumora session");
        inhibitor.begin("Lumora session");
        ASSERT_TRUE(test::spinUntil([&] { return screenSaver.calls.size() == 1; }));
        EXPECT_EQ(screenSaver.calls[0], "Inhibit('org.lumora.Lumora', 'Lumora session')");
        inhibitor.end();
        ASSERT_TRUE(test::spinUntil([&] { return screenSaver.calls.size() == 2; }));
        EXPECT_EQ(screenSaver.calls[1], "UnInhibit(42,)");
        // Ending before the reply has come still releases the cookie once it arrives.
        inhibitor.begin("Lumora session");
        inhibitor.end();
        ASSERT_TRUE(test::spinUntil([&] { return screenSaver.calls.size() == 4; }));
        EXPECT_EQ(screenSaver.calls[3], "UnInhibit(42,)");
        test::spinFor(0.2);
        EXPECT_EQ(screenSaver.calls.size(), 4u);
        g_object_unref(other);
    }
    g_object_unref(app);
}

}  // namespace
}  // namespace lumora
