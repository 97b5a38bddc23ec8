#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "audio/mpris_service.hpp"
#include "audio/session_audio.hpp"
#include "audio/virtual_audio_output.hpp"
#include "tests/audio/audio_test_util.hpp"
#include "tests/audio/mpris_rig.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"

namespace lumora::test {
namespace {

constexpr double kRate = 100;

bool spinUntil(const std::function<bool()>& done, double seconds) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    while (!done()) {
        if (g_get_monotonic_time() > deadline) return false;
        g_main_context_iteration(nullptr, FALSE);
        if (!g_main_context_pending(nullptr)) g_usleep(1000);
    }
    return true;
}

// Runs a command while the main loop keeps serving the bus; returns its standard output.
std::string run(const std::vector<std::string>& argv, int* status = nullptr) {
    std::vector<const char*> args;
    for (const auto& a : argv) args.push_back(a.c_str());
    args.push_back(nullptr);
    GError* error = nullptr;
    GSubprocess* process =
        g_subprocess_newv(args.data(),
                          static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                        G_SUBPROCESS_FLAGS_STDERR_SILENCE),
                          &error);
    if (!process) {
        g_clear_error(&error);
        return "";
    }
    struct Result {
        bool done = false;
        std::string out;
    } result;
    g_subprocess_communicate_utf8_async(
        process, nullptr, nullptr,
        +[](GObject* source, GAsyncResult* res, gpointer data) {
            auto* r = static_cast<Result*>(data);
            char* out = nullptr;
            g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), res, &out, nullptr, nullptr);
            r->out = out ? out : "";
            g_free(out);
            r->done = true;
        },
        &result);
    spinUntil([&] { return result.done; }, 20);
    if (status)
        *status = g_subprocess_get_if_exited(process) ? g_subprocess_get_exit_status(process) : -1;
    g_object_unref(process);
    while (!result.out.empty() && result.out.back() == '\n') result.out.pop_back();
    return result.out;
}

std::string playerctl(const std::string& a, const std::string& b = "") {
    std::vector<std::string> argv{"playerctl", "-p", "lumora", a};
    if (!b.empty()) argv.push_back(b);
    return run(argv);
}

struct Rig : MprisSessionRig {
    Rig() {
        makeDirectories(webRoot + "/assets/img");
        writeFile(webRoot + "/assets/img/artwork.png", "\x89PNG\r\n\x1a\n-");
        audio.setWebView(page);
        send(openMessage("m1", 90, 30, kRate));
        for (int k = 0; k < 3; ++k) send(patternChunk("m1", k, 90, 30, kRate));
    }
    bool ready() {
        return spinUntil([&] { return mpris.nameAcquired() && settled(); }, 10) &&
               spinUntil([&] { return playerctl("status") != ""; }, 10);
    }
    // Runs the command and returns the one report it caused, or "" when it caused none.
    std::string reportOf(const std::string& a, const std::string& b = "") {
        std::size_t before = page->scripts.size();
        playerctl(a, b);
        spinUntil([&] { return page->scripts.size() > before; }, 2);
        if (page->scripts.size() != before + 1) return "";
        return page->scripts.back();
    }
};

double timeOf(const std::string& report) {
    auto at = report.find("t: ");
    return at == std::string::npos ? -1 : std::atof(report.c_str() + at + 3);
}
bool playingIn(const std::string& report) {
    return report.find("playing: true") != std::string::npos;
}

TEST(Mpris, PublishesMetadataUnderItsBusName) {
    Rig rig;
    ASSERT_TRUE(rig.ready());
    EXPECT_EQ(playerctl("metadata", "mpris:trackid"),
              std::string("'") + MprisService::kNoTrack + "'")
        << "nothing is published before playback";
    rig.send({{"type", "audioPlay"}, {"id", "m1"}, {"at", 0}});
    EXPECT_EQ(
        playerctl("metadata",
                  "--format={{title}}|{{artist}}|{{mpris:artUrl}}|{{duration(mpris:length)}}"),
        "Evening|Orvin \u00b7 Lumora|file://" + rig.webRoot + "/assets/img/artwork.png|1:30");
    EXPECT_EQ(playerctl("metadata", "mpris:trackid"), "'/org/lumora/Lumora/session/m1'");
    EXPECT_EQ(playerctl("status"), "Playing");
}

TEST(Mpris, CommandsActAndEachReportsToThePage) {
    Rig rig;
    ASSERT_TRUE(rig.ready());

    std::string report = rig.reportOf("play");
    EXPECT_TRUE(playingIn(report)) << report;
    EXPECT_EQ(timeOf(report), 0.0);
    EXPECT_EQ(playerctl("status"), "Playing");
    EXPECT_EQ(rig.reportOf("play"), "") << "play while playing acts not, reports not";

    report = rig.reportOf("pause");
    EXPECT_FALSE(playingIn(report)) << report;
    double paused = timeOf(report);
    EXPECT_EQ(playerctl("status"), "Paused");
    EXPECT_EQ(rig.reportOf("pause"), "");

    report = rig.reportOf("position", "15+");
    EXPECT_NEAR(timeOf(report), paused + 15, 1e-6) << report;
    EXPECT_FALSE(playingIn(report)) << "skipping while paused stays paused";
    report = rig.reportOf("position", "15-");
    EXPECT_NEAR(timeOf(report), paused, 1e-6) << report;
    report = rig.reportOf("next");
    EXPECT_NEAR(timeOf(report), paused + 15, 1e-6) << report;
    report = rig.reportOf("previous");
    EXPECT_NEAR(timeOf(report), paused, 1e-6) << report;
    report = rig.reportOf("position", "5-");
    EXPECT_EQ(timeOf(report), 0.0) << "never before the start";

    report = rig.reportOf("position", "40");
    EXPECT_EQ(timeOf(report), 40.0) << report;
    EXPECT_EQ(rig.audio.base(), 40.0);

    report = rig.reportOf("play-pause");
    EXPECT_TRUE(playingIn(report)) << report;
    EXPECT_EQ(timeOf(report), 40.0);
    ASSERT_TRUE(spinUntil([&] { return rig.audio.currentTime() > 40.3; }, 5));
    double position = std::atof(playerctl("position").c_str());
    EXPECT_GT(position, 40.3) << "Position is read live";
    EXPECT_LT(position, 45);
    report = rig.reportOf("play-pause");
    EXPECT_FALSE(playingIn(report)) << report;
    EXPECT_GT(timeOf(report), 40.3);
}

TEST(Mpris, SetPositionFollowsMprisRulesAndSeekedSignalsJumps) {
    Rig rig;
    ASSERT_TRUE(rig.ready());
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    std::vector<gint64> seeked;
    guint subscription = g_dbus_connection_signal_subscribe(
        bus, nullptr, "org.mpris.MediaPlayer2.Player", "Seeked", "/org/mpris/MediaPlayer2", nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
            GVariant* parameters, gpointer data) {
            gint64 at = 0;
            g_variant_get(parameters, "(x)", &at);
            static_cast<std::vector<gint64>*>(data)->push_back(at);
        },
        &seeked, nullptr);

    auto call = [&](const std::string& method, const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{"gdbus",
                                      "call",
                                      "--session",
                                      "--dest",
                                      "org.mpris.MediaPlayer2.lumora",
                                      "--object-path",
                                      "/org/mpris/MediaPlayer2",
                                      "--method",
                                      "org.mpris.MediaPlayer2.Player." + method,
                                      "--"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        int status = 0;
        run(argv, &status);
        return status;
    };
    const std::string track = "/org/lumora/Lumora/session/m1";
    rig.send({{"type", "audioSeek"}, {"id", "m1"}, {"at", 0}});  // publishes the track
    std::size_t reports = rig.page->scripts.size();
    EXPECT_EQ(call("SetPosition", {"/org/lumora/Lumora/session/old", "20000000"}), 0);
    EXPECT_EQ(call("SetPosition", {track, "-1"}), 0);
    EXPECT_EQ(call("SetPosition", {track, "91000000"}), 0);
    EXPECT_NE(call("SetPosition", {"'not a path'", "1"}), 0) << "a mistyped call is refused";
    EXPECT_NE(call("Seek", {"'fifteen'"}), 0);
    spinUntil([] { return false; }, 0.2);
    EXPECT_EQ(rig.page->scripts.size(), reports) << "stale, negative and too late do nothing";
    EXPECT_EQ(rig.audio.base(), 0.0);
    EXPECT_TRUE(seeked.empty());

    EXPECT_EQ(call("SetPosition", {track, "20000000"}), 0);
    ASSERT_TRUE(spinUntil([&] { return !seeked.empty(); }, 5));
    EXPECT_EQ(seeked.back(), 20000000);
    EXPECT_EQ(rig.page->scripts.size(), reports + 1);
    EXPECT_EQ(call("Seek", {"-3000000"}), 0);
    ASSERT_TRUE(spinUntil([&] { return seeked.size() >= 2; }, 5));
    EXPECT_EQ(seeked.back(), 17000000);

    g_dbus_connection_signal_unsubscribe(bus, subscription);
    g_object_unref(bus);
}

TEST(Mpris, RaiseAndQuitReachTheApplication) {
    Rig rig;
    ASSERT_TRUE(rig.ready());
    auto root = [&](const std::string& method) {
        run({"gdbus", "call", "--session", "--dest", "org.mpris.MediaPlayer2.lumora",
             "--object-path", "/org/mpris/MediaPlayer2", "--method",
             "org.mpris.MediaPlayer2." + method});
    };
    root("Raise");
    EXPECT_TRUE(spinUntil([&] { return rig.raised == 1; }, 5));
    root("Quit");
    EXPECT_TRUE(spinUntil([&] { return rig.quits == 1; }, 5));
    EXPECT_EQ(rig.raised, 1);
}

TEST(Mpris, ClosedSessionLeavesNoTrack) {
    Rig rig;
    ASSERT_TRUE(rig.ready());
    rig.send({{"type", "audioPlay"}, {"id", "m1"}, {"at", 0}});
    rig.send({{"type", "audioClose"}, {"id", "m1"}});
    EXPECT_TRUE(spinUntil(
        [&] {
            return playerctl("metadata", "mpris:trackid") ==
                   std::string("'") + MprisService::kNoTrack + "'";
        },
        5));
    // Commands stay registered and act on the closed session, whose reports carry no id.
    std::string report = rig.reportOf("play");
    EXPECT_NE(report.find("id: ''"), std::string::npos) << report;
    EXPECT_TRUE(rig.audio.waitingAt().has_value()) << "no chunk can arrive: it waits";
}

}  // namespace
}  // namespace lumora::test
