#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "audio/mpris_service.hpp"
#include "audio/session_audio.hpp"
#include "audio/virtual_audio_output.hpp"
#include "tests/audio/audio_test_util.hpp"
#include "tests/audio/mpris_rig.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"

// A client on the session bus that calls the MPRIS player with everything a careless or
// hostile program could send. The service must answer each invalid call with an error and
// keep serving correct answers.
namespace lumora::test {
namespace {

constexpr double kRate = 100;
constexpr double kDuration = 90;
constexpr const char* kPath = "/org/mpris/MediaPlayer2";
constexpr const char* kPlayer = "org.mpris.MediaPlayer2.Player";
constexpr const char* kRoot = "org.mpris.MediaPlayer2";
constexpr const char* kProps = "org.freedesktop.DBus.Properties";

bool spin(const std::function<bool()>& done, double seconds) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    while (!done()) {
        if (g_get_monotonic_time() > deadline) return false;
        g_main_context_iteration(nullptr, FALSE);
        if (!g_main_context_pending(nullptr)) g_usleep(500);
    }
    return true;
}

struct Reply {
    bool done = false;
    GVariant* value = nullptr;  // owned
    std::string error;          // the D-Bus error name, empty on success
};

void onReply(GObject* source, GAsyncResult* result, gpointer data) {
    auto* reply = static_cast<Reply*>(data);
    GError* error = nullptr;
    reply->value = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (error) {
        char* name = g_dbus_error_get_remote_error(error);
        reply->error = name ? name : std::string("local: ") + error->message;
        g_free(name);
        g_error_free(error);
    }
    reply->done = true;
}

struct Rig : MprisSessionRig {
    GDBusConnection* client = nullptr;

    Rig() {
        makeDirectories(webRoot);
        audio.setWebView(page);
        send(openMessage("m1", kDuration, 30, kRate));
        for (int k = 0; k < 3; ++k) send(patternChunk("m1", k, kDuration, 30, kRate));
        send({{"type", "audioPlay"}, {"id", "m1"}, {"at", 0}});
        send({{"type", "audioPause"}, {"id", "m1"}});
        // A connection of its own, as another program would have.
        client = g_dbus_connection_new_for_address_sync(
            env.busAddress().c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
    }
    ~Rig() {
        if (client) g_object_unref(client);
    }
    bool ready() {
        return client && spin([&] { return mpris.nameAcquired() && settled(); }, 10);
    }

    // Starts a call without waiting; the reply lands in *reply. parameters is sunk.
    void start(const char* interface, const char* method, GVariant* parameters, Reply* reply) {
        g_dbus_connection_call(client, MprisService::kBusName, kPath, interface, method, parameters,
                               nullptr, G_DBUS_CALL_FLAGS_NONE, 20000, nullptr, onReply, reply);
    }
    // One call, waited for; returns the error name ("" on success).
    std::string call(const char* interface, const char* method, GVariant* parameters,
                     GVariant** value = nullptr) {
        Reply reply;
        start(interface, method, parameters, &reply);
        if (!spin([&] { return reply.done; }, 20)) return "timeout";
        if (value)
            *value = reply.value;
        else if (reply.value)
            g_variant_unref(reply.value);
        return reply.error;
    }
    std::string set(const char* interface, const char* property, GVariant* value) {
        return call(kProps, "Set", g_variant_new("(ssv)", interface, property, value));
    }
    // The Position property in microseconds, or INT64_MIN when it cannot be read.
    std::int64_t position() {
        GVariant* out = nullptr;
        if (!call(kProps, "Get", g_variant_new("(ss)", kPlayer, "Position"), &out).empty() || !out)
            return std::numeric_limits<std::int64_t>::min();
        GVariant* inner = nullptr;
        g_variant_get(out, "(v)", &inner);
        std::int64_t at = g_variant_is_of_type(inner, G_VARIANT_TYPE_INT64)
                              ? g_variant_get_int64(inner)
                              : std::numeric_limits<std::int64_t>::min();
        g_variant_unref(inner);
        g_variant_unref(out);
        return at;
    }
    std::string trackId() { return mpris.trackId(); }
};

constexpr std::int64_t kLength = static_cast<std::int64_t>(kDuration * 1e6);
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(HostileBusClient, WrongArgumentsUnknownNamesAndReadOnlySetsAreErrors) {
    Rig rig;
    ASSERT_TRUE(rig.ready());
    struct Case {
        const char* what;
        const char* interface;
        const char* method;
        GVariant* parameters;
    };
    std::string track = rig.trackId();
    std::int64_t before = rig.position();
    std::vector<Case> cases = {
        {"Seek with a string", kPlayer, "Seek", g_variant_new("(s)", "10")},
        {"Seek with a double", kPlayer, "Seek", g_variant_new("(d)", 10.0)},
        {"Seek with int32", kPlayer, "Seek", g_variant_new("(i)", 10)},
        {"Seek without arguments", kPlayer, "Seek", nullptr},
        {"Seek with two arguments", kPlayer, "Seek", g_variant_new("(xx)", gint64{1}, gint64{2})},
        {"SetPosition with a string track", kPlayer, "SetPosition",
         g_variant_new("(sx)", track.c_str(), gint64{0})},
        {"SetPosition swapped", kPlayer, "SetPosition",
         g_variant_new("(xo)", gint64{0}, track.c_str())},
        {"SetPosition without position", kPlayer, "SetPosition",
         g_variant_new("(o)", track.c_str())},
        {"Play with an argument", kPlayer, "Play", g_variant_new("(b)", TRUE)},
        {"OpenUri with a number", kPlayer, "OpenUri", g_variant_new("(i)", 1)},
        {"OpenUri, not supported", kPlayer, "OpenUri", g_variant_new("(s)", "file:///etc/passwd")},
        {"Raise with an argument", kRoot, "Raise", g_variant_new("(s)", "now")},
        {"Quit with an argument", kRoot, "Quit", g_variant_new("(i)", 0)},
        {"unknown player method", kPlayer, "Explode", nullptr},
        {"unknown root method", kRoot, "Shuffle", g_variant_new("(b)", TRUE)},
        {"player method on the root interface", kRoot, "Play", nullptr},
        {"unknown interface", "org.mpris.MediaPlayer2.TrackList", "GetTracksMetadata",
         g_variant_new("(ao)", nullptr)},
        {"Get of an unknown property", kProps, "Get", g_variant_new("(ss)", kPlayer, "Shuffle")},
        {"Get of a root property on the player", kProps, "Get",
         g_variant_new("(ss)", kPlayer, "Identity")},
        {"Get with a wrong signature", kProps, "Get", g_variant_new("(s)", kPlayer)},
        {"GetAll of an unknown interface", kProps, "GetAll", g_variant_new("(s)", "org.example")},
        {"Set of PlaybackStatus", kProps, "Set",
         g_variant_new("(ssv)", kPlayer, "PlaybackStatus", g_variant_new_string("Playing"))},
        {"Set of Position", kProps, "Set",
         g_variant_new("(ssv)", kPlayer, "Position", g_variant_new_int64(5))},
        {"Set of Metadata", kProps, "Set",
         g_variant_new("(ssv)", kPlayer, "Metadata", g_variant_new("a{sv}", nullptr))},
        {"Set of CanSeek", kProps, "Set",
         g_variant_new("(ssv)", kPlayer, "CanSeek", g_variant_new_boolean(FALSE))},
        {"Set of Identity", kProps, "Set",
         g_variant_new("(ssv)", kRoot, "Identity", g_variant_new_string("Evil"))},
        {"Set of Rate as a string", kProps, "Set",
         g_variant_new("(ssv)", kPlayer, "Rate", g_variant_new_string("fast"))},
        {"Set of Volume as int64", kProps, "Set",
         g_variant_new("(ssv)", kPlayer, "Volume", g_variant_new_int64(1))},
        {"Set of an unknown property", kProps, "Set",
         g_variant_new("(ssv)", kPlayer, "Shuffle", g_variant_new_boolean(TRUE))},
    };
    int errors = 0;
    for (auto& c : cases) {
        std::string error = rig.call(c.interface, c.method, c.parameters);
        EXPECT_FALSE(error.empty()) << c.what << " was accepted";
        EXPECT_NE(error, "timeout") << c.what;
        EXPECT_EQ(error.rfind("local:", 0), std::string::npos) << c.what << ": " << error;
        errors += !error.empty() && error != "timeout";
    }
    std::printf("hostile bus client: %zu invalid calls, %d D-Bus errors\n", cases.size(), errors);
    EXPECT_EQ(rig.raised, 0);
    EXPECT_EQ(rig.quits, 0);
    // Still serving, and nothing changed.
    EXPECT_EQ(rig.position(), before);
    EXPECT_EQ(rig.call(kPlayer, "Play", nullptr), "");
    EXPECT_TRUE(rig.audio.playing());
}

TEST(HostileBusClient, ExtremeSeeksAndPositionsStayWithinTheTrack) {
    Rig rig;
    ASSERT_TRUE(rig.ready());
    std::string track = rig.trackId();
    ASSERT_NE(track, MprisService::kNoTrack);

    EXPECT_EQ(rig.call(kPlayer, "Seek", g_variant_new("(x)", kMax)), "");
    EXPECT_EQ(rig.position(), kLength) << "past the end stops at the end";
    EXPECT_EQ(rig.call(kPlayer, "Seek", g_variant_new("(x)", kMin)), "");
    EXPECT_EQ(rig.position(), 0) << "before the start stops at the start";
    EXPECT_EQ(rig.call(kPlayer, "Seek", g_variant_new("(x)", kMax)), "");
    EXPECT_EQ(rig.call(kPlayer, "Seek", g_variant_new("(x)", kMax)), "");
    EXPECT_EQ(rig.position(), kLength);
    EXPECT_EQ(rig.call(kPlayer, "Seek", g_variant_new("(x)", kMin + 1)), "");
    EXPECT_EQ(rig.position(), 0);
    EXPECT_EQ(rig.call(kPlayer, "Seek", g_variant_new("(x)", gint64{20'000'000})), "");
    EXPECT_EQ(rig.position(), 20'000'000) << "an ordinary seek still lands exactly";

    // MPRIS: SetPosition with a track id that is not the current one, or a position outside
    // the track, is ignored, not refused; so these succeed and leave the position alone.
    auto setPosition = [&](const std::string& id, std::int64_t at) {
        return rig.call(kPlayer, "SetPosition", g_variant_new("(ox)", id.c_str(), at));
    };
    for (std::int64_t at : {kMin, std::int64_t{-1}, kLength + 1, kMax}) {
        EXPECT_EQ(setPosition(track, at), "") << at;
        EXPECT_EQ(rig.position(), 20'000'000) << "SetPosition(" << at << ") moved";
    }
    for (const char* stale : {"/org/lumora/Lumora/session/m0", MprisService::kNoTrack, "/"}) {
        EXPECT_EQ(setPosition(stale, 1'000'000), "") << stale;
        EXPECT_EQ(rig.position(), 20'000'000) << "a stale track id " << stale << " moved";
    }
    EXPECT_EQ(setPosition(track, kLength), "");
    EXPECT_EQ(rig.position(), kLength);
    EXPECT_EQ(setPosition(track, 0), "");
    EXPECT_EQ(rig.position(), 0);

    // A closed session leaves the old track id stale.
    rig.send({{"type", "audioClose"}, {"id", "m1"}});
    EXPECT_EQ(setPosition(track, 5'000'000), "");
    EXPECT_EQ(rig.call(kPlayer, "Seek", g_variant_new("(x)", kMax)), "");
    EXPECT_EQ(rig.call(kPlayer, "Seek", g_variant_new("(x)", kMin)), "");
    std::int64_t closed = rig.position();
    EXPECT_GE(closed, 0);
    EXPECT_LE(closed, kLength);

    // Rate and Volume are writable; Rate 0 asks for a pause, the rest changes nothing.
    for (double rate : {0.5, -1.0, 1e308, std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity()})
        EXPECT_EQ(rig.set(kPlayer, "Rate", g_variant_new_double(rate)), "") << rate;
    EXPECT_EQ(rig.set(kPlayer, "Volume", g_variant_new_double(-5)), "");
    GVariant* out = nullptr;
    ASSERT_EQ(rig.call(kProps, "Get", g_variant_new("(ss)", kPlayer, "Rate"), &out), "");
    GVariant* inner = nullptr;
    g_variant_get(out, "(v)", &inner);
    EXPECT_EQ(g_variant_get_double(inner), 1.0);
    g_variant_unref(inner);
    g_variant_unref(out);
}

TEST(HostileBusClient, TenThousandCallsInABurstEachGetTheirAnswer) {
    Rig rig;
    ASSERT_TRUE(rig.ready());
    std::string track = rig.trackId();
    constexpr int kCalls = 10000;
    std::vector<Reply> replies(kCalls);
    std::vector<bool> invalid(kCalls);
    guint32 seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int i = 0; i < kCalls; ++i) {
        switch (next() % 10) {
            case 0:
                rig.start(kPlayer, "Seek", g_variant_new("(x)", next() % 2 ? kMax : kMin),
                          &replies[i]);
                break;
            case 1:
                rig.start(kPlayer, "Seek", g_variant_new("(s)", "x"), &replies[i]);
                invalid[i] = true;
                break;
            case 2:
                rig.start(
                    kPlayer, "SetPosition",
                    g_variant_new("(ox)", i % 3 ? "/org/lumora/Lumora/session/old" : track.c_str(),
                                  static_cast<gint64>(next()) * 1000),
                    &replies[i]);
                break;
            case 3:
                rig.start(kPlayer, "PlayPause", nullptr, &replies[i]);
                break;
            case 4:
                rig.start(kPlayer, "NoSuchMethod", nullptr, &replies[i]);
                invalid[i] = true;
                break;
            case 5:
                rig.start(kProps, "Get", g_variant_new("(ss)", kPlayer, "Position"), &replies[i]);
                break;
            case 6:
                rig.start(kProps, "Set",
                          g_variant_new("(ssv)", kPlayer, "Position", g_variant_new_int64(kMax)),
                          &replies[i]);
                invalid[i] = true;
                break;
            case 7:
                rig.start(kProps, "GetAll", g_variant_new("(s)", kPlayer), &replies[i]);
                break;
            case 8:
                rig.start(kPlayer, "Next", nullptr, &replies[i]);
                break;
            default:
                rig.start(kProps, "Get", g_variant_new("(ss)", kPlayer, "Nope"), &replies[i]);
                invalid[i] = true;
                break;
        }
    }
    int answered = 0;
    ASSERT_TRUE(spin(
        [&] {
            answered = 0;
            for (const auto& r : replies) answered += r.done;
            return answered == kCalls;
        },
        120))
        << answered << " of " << kCalls << " answered";
    int errors = 0, invalidCount = 0, wrong = 0;
    for (int i = 0; i < kCalls; ++i) {
        invalidCount += invalid[i];
        errors += !replies[i].error.empty();
        if (invalid[i] == replies[i].error.empty()) {
            if (++wrong <= 5)
                ADD_FAILURE() << "call " << i << (invalid[i] ? " invalid" : " valid") << ": '"
                              << replies[i].error << "'";
        }
        if (replies[i].value) {
            if (g_variant_is_of_type(replies[i].value, G_VARIANT_TYPE("(v)"))) {
                GVariant* inner = nullptr;
                g_variant_get(replies[i].value, "(v)", &inner);
                if (g_variant_is_of_type(inner, G_VARIANT_TYPE_INT64)) {
                    EXPECT_GE(g_variant_get_int64(inner), 0);
                    EXPECT_LE(g_variant_get_int64(inner), kLength);
                }
                g_variant_unref(inner);
            }
            g_variant_unref(replies[i].value);
        }
    }
    EXPECT_EQ(wrong, 0);
    std::printf("hostile bus burst: %d calls, %d invalid, %d D-Bus errors, %d answered\n", kCalls,
                invalidCount, errors, answered);
    // The service still answers, with the position inside the track.
    std::int64_t at = rig.position();
    EXPECT_GE(at, 0);
    EXPECT_LE(at, kLength);
    EXPECT_EQ(rig.call(kPlayer, "Seek", g_variant_new("(x)", kMin)), "");
    EXPECT_EQ(rig.position(), 0);
}

}  // namespace
}  // namespace lumora::test
