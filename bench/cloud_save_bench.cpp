// Save with cloud sync on, from the message text to both files written (the local
// database and the cloud record), with each compressor beside the zlib level-6 baseline.
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "app/standalone_host.hpp"
#include "bench/app_state.hpp"
#include "container/main_loop.hpp"
#include "container/message.hpp"
#include "store/cloud_sync.hpp"
#include "store/folder_store.hpp"
#include "store/lumora_store.hpp"
#include "store/record_codec.hpp"
#include "store/settings.hpp"

using namespace lumora;
using lumora::bench::appLikeState;
using lumora::bench::temporaryRoot;
using Clock = std::chrono::steady_clock;

namespace {

struct Pipeline {
    Pipeline(MainLoop& loop, RecordCompression how, const std::string& root)
        : store(root + "/data"),
          settings(root + "/config", root + "/cloud"),
          folder(loop, root + "/cloud"),
          sync(folder, settings, loop, how),
          host(store, &sync, nullptr, loop) {
        settings.setCloudSync(true);
    }
    // What the bridge does with one "save" message.
    void save(const std::string& message) {
        auto body = nlohmann::json::parse(message);
        host.saveState(*field::find(body, "data"), field::boolean(body, "sync", false));
    }
    LumoraStore store;
    Settings settings;
    FolderStore folder;
    CloudSync sync;
    StandaloneHost host;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <typename F>
double millis(F&& f) {
    auto start = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main() {
    auto loop = makeGLibMainLoop();
    nlohmann::json state = appLikeState(3 * 1000 * 1000);
    std::string text = state.dump();
    std::printf("state: %zu bytes of compact JSON\n\n", text.size());

    std::printf("compression alone (median of 9)\n%-12s %5s %10s %9s %8s\n", "engine", "level",
                "bytes", "ms", "ratio");
    std::vector<RecordCompression> all;
    for (int level : {1, 3, 6, 9}) all.push_back({RecordCompression::Engine::zlib, level});
    for (int level : {1, 3, 4, 5, 6, 7, 9, 12})
        all.push_back({RecordCompression::Engine::libdeflate, level});
    double baselineCompress = 0;
    for (auto how : all) {
        std::vector<double> times;
        std::size_t bytes = 0;
        for (int i = 0; i < 9; ++i)
            times.push_back(millis([&] { bytes = compressRecord(text, how)->size(); }));
        double t = median(times);
        if (how.engine == kZlibDefault.engine && how.level == kZlibDefault.level)
            baselineCompress = t;
        std::printf("%-12s %5d %10zu %9.2f %8.2f\n",
                    how.engine == RecordCompression::Engine::zlib ? "zlib" : "libdeflate",
                    how.level, bytes, t, baselineCompress > 0 ? t / baselineCompress : 0.0);
    }

    // Each round saves a changed state, so every save writes both files.
    std::vector<std::string> messages;
    std::vector<nlohmann::json> states;
    for (int i = 0; i < 16; ++i) {
        state["revision"] = i;
        states.push_back(state);
        messages.push_back(
            nlohmann::json{{"type", "save"}, {"data", state}, {"sync", true}}.dump());
    }
    std::string rootBase = temporaryRoot(), rootChosen = temporaryRoot();
    Pipeline baseline(*loop, kZlibDefault, rootBase);
    Pipeline chosen(*loop, kRecordCompression, rootChosen);
    std::vector<double> baseTimes, chosenTimes, basePush, chosenPush;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        // Alternate, so both see the same disk and cache conditions.
        baseTimes.push_back(millis([&] { baseline.save(messages[i]); }));
        chosenTimes.push_back(millis([&] { chosen.save(messages[i]); }));
    }
    // The cloud step alone (serialise, compress, write the record), on new states.
    for (std::size_t i = 0; i < states.size(); ++i) {
        states[i]["revision"] = 100 + static_cast<int>(i);
        basePush.push_back(millis([&] { baseline.sync.push(states[i], true); }));
        chosenPush.push_back(millis([&] { chosen.sync.push(states[i], true); }));
    }
    std::vector<double> baseRepeat, chosenRepeat;
    for (int i = 0; i < 9; ++i) {
        baseRepeat.push_back(millis([&] { baseline.save(messages.back()); }));
        chosenRepeat.push_back(millis([&] { chosen.save(messages.back()); }));
    }
    auto recordSize = [](const std::string& root) {
        return FolderStore(*makeGLibMainLoop(), root + "/cloud").read("db.v1")->value_or("").size();
    };
    const char* chosenName =
        kRecordCompression.engine == RecordCompression::Engine::zlib ? "zlib" : "libdeflate";
    double b = median(baseTimes), c = median(chosenTimes);
    std::printf("\nsave with sync on, message -> both files written (median of %zu)\n",
                messages.size());
    std::printf("  zlib level 6 (baseline)         %8.2f ms   record %zu bytes\n", b,
                recordSize(rootBase));
    std::printf("  %-10s level %-2d (chosen)     %8.2f ms   record %zu bytes\n", chosenName,
                kRecordCompression.level, c, recordSize(rootChosen));
    std::printf("  ratio chosen / baseline         %8.2f\n", c / b);
    double bp = median(basePush), cp = median(chosenPush);
    std::printf("\ncloud step alone: serialise, compress, write the record (median of %zu)\n",
                states.size());
    std::printf("  baseline %8.2f ms   chosen %8.2f ms   ratio %.2f\n", bp, cp, cp / bp);
    std::printf("\nrepeated identical save, message -> done (median of 9)\n");
    std::printf("  baseline %8.2f ms   chosen %8.2f ms   (%.2f of a changed save)\n",
                median(baseRepeat), median(chosenRepeat), median(chosenRepeat) / c);

    for (const auto& root : {rootBase, rootChosen}) {
        std::string command = "rm -rf '" + root + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", root.c_str());
    }
    return 0;
}
