// Main-loop latency while the heavy work of a session runs at once: a chunk stream at four
// chunks a second into a playing session, 3 MB saves with cloud sync on, and 200-page PDF
// exports. Two probes record how late the loop answers, first on an idle loop, then under
// that load: a 1 ms timer inside the program, and a desktop client outside it asking the
// MPRIS player for its Position every 5 ms over D-Bus (run under dbus-run-session). Each
// operation's own time on the main thread says which one blocks.
#include <glib.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/standalone_host.hpp"
#include "audio/base64.hpp"
#include "audio/mpris_service.hpp"
#include "audio/session_audio.hpp"
#include "audio/virtual_audio_output.hpp"
#include "bench/app_state.hpp"
#include "container/base/main_loop.hpp"
#include "container/canonical_json.hpp"
#include "docs/pdf_exporter.hpp"
#include "docs/pdf_writer.hpp"
#include "store/cloud_sync.hpp"
#include "store/folder_store.hpp"
#include "store/lumora_store.hpp"
#include "store/settings.hpp"

using namespace lumora;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A 1 ms probe. A late turn also counts every 1 ms slot it swallowed, each with its own
// delay, so a long block weighs in the percentiles as long as it lasted.
class LatencyProbe {
  public:
    void start() {
        begin_ = Clock::now();
        served_ = 0;
        delays_.clear();
        source_ = g_timeout_add(1, &LatencyProbe::onTick, this);
    }
    void stop() {
        if (source_) g_source_remove(source_);
        source_ = 0;
    }
    std::vector<double> delaysMs() const { return delays_; }

  private:
    static gboolean onTick(gpointer self) {
        static_cast<LatencyProbe*>(self)->tick();
        return G_SOURCE_CONTINUE;
    }
    void tick() {
        double nowMs = secondsSince(begin_) * 1000;
        auto due = static_cast<long>(nowMs);
        for (long slot = served_ + 1; slot <= due; ++slot) delays_.push_back(nowMs - slot);
        served_ = std::max(served_, due);
    }
    Clock::time_point begin_;
    long served_ = 0;
    std::vector<double> delays_;
    guint source_ = 0;
};

// A client outside the main loop: its own thread, context and bus connection. Every 5 ms
// it asks for the player's Position without waiting for the last answer, as a desktop
// widget polling it would, and records each round trip. Calls sent during a long block
// all wait for it, so the block weighs in as long as it lasted, like the 1 ms probe.
class BusProbe {
  public:
    static constexpr double kIntervalMs = 5;

    // False when there is no session bus to probe through.
    bool start() {
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (!address) return false;
        context_ = g_main_context_new();
        connection_ = g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        g_free(address);
        if (!connection_) return false;
        loop_ = g_main_loop_new(context_, FALSE);
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    ~BusProbe() {
        if (thread_.joinable()) {
            GSource* quit = g_idle_source_new();
            g_source_set_callback(
                quit,
                [](gpointer loop) -> gboolean {
                    g_main_loop_quit(static_cast<GMainLoop*>(loop));
                    return G_SOURCE_REMOVE;
                },
                loop_, nullptr);
            g_source_attach(quit, context_);
            g_source_unref(quit);
            thread_.join();
        }
        if (connection_) g_object_unref(connection_);
        if (loop_) g_main_loop_unref(loop_);
        if (context_) g_main_context_unref(context_);
    }
    bool running() const { return thread_.joinable(); }

    void begin() {
        std::lock_guard lock(mutex_);
        delays_.clear();
        recording_ = true;
    }
    // Stops asking, waits (spinning the program's loop) for the answers still out, and
    // returns the round trips in ms.
    std::vector<double> end() {
        {
            std::lock_guard lock(mutex_);
            recording_ = false;
        }
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (outstanding_ > 0 && Clock::now() < deadline)
            g_main_context_iteration(nullptr, FALSE);
        std::lock_guard lock(mutex_);
        return delays_;
    }

  private:
    struct Call {
        BusProbe* probe;
        Clock::time_point sent;
    };

    void serve() {
        g_main_context_push_thread_default(context_);
        GSource* timer = g_timeout_source_new(static_cast<guint>(kIntervalMs));
        g_source_set_callback(
            timer,
            [](gpointer self) -> gboolean {
                static_cast<BusProbe*>(self)->ask();
                return G_SOURCE_CONTINUE;
            },
            this, nullptr);
        g_source_attach(timer, context_);
        g_main_loop_run(loop_);
        g_source_destroy(timer);
        g_source_unref(timer);
        // Answers still out are dropped with the connection.
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
    }

    void ask() {
        {
            std::lock_guard lock(mutex_);
            if (!recording_) return;
        }
        ++outstanding_;
        g_dbus_connection_call(connection_, MprisService::kBusName, "/org/mpris/MediaPlayer2",
                               "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", "org.mpris.MediaPlayer2.Player", "Position"),
                               G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 10'000,
                               nullptr, answered, new Call{this, Clock::now()});
    }

    static void answered(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Call> call(static_cast<Call*>(data));
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - call->sent).count();
        BusProbe* probe = call->probe;
        if (reply) {
            g_variant_unref(reply);
            std::lock_guard lock(probe->mutex_);
            probe->delays_.push_back(ms);
        } else {
            ++probe->failures_;
            g_error_free(error);
        }
        --probe->outstanding_;
    }

  public:
    int failures() const { return failures_; }

  private:
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* connection_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    bool recording_ = false;
    std::vector<double> delays_;
    std::atomic<int> outstanding_{0};
    std::atomic<int> failures_{0};
};

struct Summary {
    double p50, p99, max;
    std::size_t samples;
};

Summary summarise(std::vector<double> v) {
    if (v.empty()) return {0, 0, 0, 0};
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, std::size_t(q * v.size()))]; };
    return {at(0.50), at(0.99), v.back(), v.size()};
}

// Each operation's time on the main thread.
class OperationTimes {
  public:
    template <typename F>
    void time(const std::string& name, F&& work) {
        auto start = Clock::now();
        work();
        times_[name].push_back(secondsSince(start) * 1000);
    }
    void print() const {
        std::printf("\n%-22s %6s %10s %10s\n", "operation (main thread)", "count", "median ms",
                    "max ms");
        for (const auto& [name, v] : times_) {
            auto s = summarise(v);
            std::printf("%-22s %6zu %10.1f %10.1f\n", name.c_str(), v.size(), s.p50, s.max);
        }
    }
    double max(const std::string& name) const {
        auto it = times_.find(name);
        return it == times_.end() ? 0 : summarise(it->second).max;
    }

  private:
    std::map<std::string, std::vector<double>> times_;
};

void runFor(double seconds) {
    bool done = false;
    // The loop may have nothing else to wake it.
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(seconds * 1000),
        [](gpointer flag) {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &done, nullptr);
    while (!done) g_main_context_iteration(nullptr, TRUE);
}

// Mixed blocks, about 22 to a page.
nlohmann::json mixedBlocks(int pages) {
    const std::string sentence =
        "Breath by breath the facet turns, and what was dull takes the light again. ";
    nlohmann::json blocks = nlohmann::json::array();
    blocks.push_back({{"k", "title"}, {"t", "Journal"}});
    blocks.push_back({{"k", "sub"}, {"t", "Every entry, with the facets polished"}});
    for (int section = 0; section < pages * 22; section += 6) {
        blocks.push_back({{"k", "h"}, {"t", "Day " + std::to_string(section / 6 + 1)}});
        std::string paragraph;
        for (int i = 0; i < 4 + section % 5; ++i) paragraph += sentence;
        blocks.push_back({{"k", "p"}, {"t", paragraph}});
        blocks.push_back({{"k", "item"}, {"l", "Facet"}, {"t", "calm · focus"}});
        blocks.push_back({{"k", "item"}, {"l", "Minutes"}, {"t", "5"}});
        blocks.push_back({{"k", "gap"}});
        blocks.push_back({{"k", "p"}, {"t", sentence + sentence}});
    }
    return blocks;
}

// 30 s of a stereo 16-bit tone, as the page sends it.
std::string chunkBase64(double rate) {
    std::string pcm(static_cast<std::size_t>(30 * rate) * 4, '\0');
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2) pcm[i] = static_cast<char>(i * 7);
    return encodeBase64(pcm);
}

}  // namespace

int main() {
    auto loop = makeGLibMainLoop();
    std::string root = bench::temporaryRoot();
    g_mkdir_with_parents((root + "/tmp").c_str(), 0700);

    LumoraStore store(root + "/data");
    Settings settings(root + "/config", root + "/cloud");
    settings.setCloudSync(true);
    FolderStore folder(*loop, root + "/cloud", true);
    CloudSync sync(folder, settings, *loop);
    StandaloneHost host(store, &sync, nullptr, *loop);

    VirtualAudioOutput output(*loop);
    // The desktop's player, so a client outside can poll Position as media widgets do.
    MprisService mpris({[] {}, [] {}, [&] { return loop->now(); }});
    SessionAudio audio(*loop, output, &mpris,
                       {[&] { return root + "/tmp"; }, [] { return std::string(); },
                        [] { return std::string("LATENCY-BENCH"); }});
    LumoraPdfExporter pdf(
        *loop, [&] { return root + "/tmp"; },
        std::make_unique<FixedPathSaveDialog>(root + "/saved.pdf"));
    // What the bridge does with the three kinds of message.
    auto audioMessage = [&](nlohmann::json body) {
        auto type = body["type"].get<std::string>();
        audio.handle(type, std::move(body));
    };
    auto sharePdf = [&](const nlohmann::json& blocks) { pdf.exportPdf("Journal", blocks, {}); };

    nlohmann::json state = bench::appLikeState(3 * 1000 * 1000);
    std::printf(
        "load: chunks of %.2f MB Base64 at 4/s, saves of %.2f MB every 1.5 s with "
        "sync on, ",
        chunkBase64(44100).size() / 1e6, state.dump().size() / 1e6);
    const std::string chunk = chunkBase64(44100);
    const auto blocks = mixedBlocks(200);
    {
        auto pages =
            lumora::pdf::writePdf(root + "/calibrate.pdf", lumora::pdf::readBlocks(blocks));
        std::printf("a %d-page PDF export at 3 s and 8 s\n", pages);
    }

    // The session opens first: that puts the player on the bus for the outside probe.
    audioMessage({{"type", "audioOpen"},
                  {"id", "LATENCY-BENCH"},
                  {"duration", 1800},
                  {"chunkSec", 30},
                  {"sampleRate", 44100}});
    BusProbe bus;
    if (bus.start()) {
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!mpris.nameAcquired() && Clock::now() < deadline)
            g_main_context_iteration(nullptr, FALSE);
    }
    const bool outside = bus.running() && mpris.nameAcquired();
    if (!outside) std::printf("no session bus player: the outside probe is left out\n");

    LatencyProbe probe;
    probe.start();
    if (outside) bus.begin();
    runFor(3);
    probe.stop();
    auto idle = summarise(probe.delaysMs());
    auto idleBus = summarise(outside ? bus.end() : std::vector<double>{});

    OperationTimes times;
    int nextIndex = 0, revision = 0;
    // What the message handler builds for a chunk: the small fields parsed from JSON, the
    // samples' string copied in whole.
    auto sendChunk = [&] {
        std::string text = R"({"type":"audioChunk","id":"LATENCY-BENCH","index":)" +
                           std::to_string(nextIndex++) + "}";
        times.time("chunk (message+store)", [&] {
            auto body = nlohmann::json::parse(text);
            body["pcm"] = chunk;
            audioMessage(std::move(body));
        });
        if (nextIndex == 1)
            audioMessage({{"type", "audioPlay"}, {"id", "LATENCY-BENCH"}, {"at", 0}});
    };
    // The page's saves as the engine hands them over: its own JSON text, keys unordered.
    // Printed before the run: the engine's stringify (on the main thread too) is WebKit's.
    std::vector<std::string> pageTexts;
    for (int n = 1; n <= 12; ++n) {
        state["revision"] = n;
        pageTexts.push_back(state.dump());
    }
    auto save = [&] {
        const std::string& pageText = pageTexts[revision++ % pageTexts.size()];
        times.time("save 3 MB, sync on", [&] {
            if (auto document = canonicalJson(pageText)) host.saveDocument(*document, true);
        });
    };
    auto exportPdf = [&] { times.time("PDF 200 pages", [&] { sharePdf(blocks); }); };
    auto chunks = loop->every(0.25, sendChunk);
    auto saves = loop->every(1.5, save);
    loop->after(3, exportPdf);
    loop->after(8, exportPdf);
    probe.start();
    if (outside) bus.begin();
    runFor(12);
    probe.stop();
    loop->cancel(chunks);
    loop->cancel(saves);
    auto loaded = summarise(probe.delaysMs());
    auto loadedBus = summarise(outside ? bus.end() : std::vector<double>{});

    // "internal": the 1 ms timer inside; "external": Position over D-Bus every 5 ms.
    std::printf("\n%-8s %-9s %8s %8s %8s %8s\n", "loop", "probe", "samples", "p50 ms", "p99 ms",
                "max ms");
    auto row = [](const char* phase, const char* which, const Summary& s) {
        std::printf("%-8s %-9s %8zu %8.2f %8.2f %8.1f\n", phase, which, s.samples, s.p50, s.p99,
                    s.max);
    };
    row("idle", "internal", idle);
    if (outside) row("idle", "external", idleBus);
    row("loaded", "internal", loaded);
    if (outside) row("loaded", "external", loadedBus);
    if (outside && bus.failures() > 0)
        std::printf("external probe: %d calls failed\n", bus.failures());
    times.print();
    auto verdict = [](const Summary& s) { return s.p99 < 16 && s.max < 50 ? "met" : "missed"; };
    std::printf("\ngoal p99 < 16 ms and max < 50 ms: internal %s (p99 %.1f ms, max %.0f ms)",
                verdict(loaded), loaded.p99, loaded.max);
    if (outside)
        std::printf(", external %s (p99 %.1f ms, max %.0f ms)", verdict(loadedBus), loadedBus.p99,
                    loadedBus.max);
    std::printf("; longest single block: PDF %.0f ms, save %.0f ms, chunk %.0f ms\n",
                times.max("PDF 200 pages"), times.max("save 3 MB, sync on"),
                times.max("chunk (message+store)"));

    audioMessage({{"type", "audioClose"}, {"id", "LATENCY-BENCH"}});
    runFor(0.2);
    // The last export's file and copy are finished before the folder goes.
    pdf.drain();
    std::string command = "rm -rf '" + root + "'";
    return std::system(command.c_str()) == 0 ? 0 : 1;
}
