// Save with cloud sync on, from the message text to both files written (the local
// database and the cloud record), with each compressor beside the zlib level-6 baseline.
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/standalone_host.hpp"
#include "container/main_loop.hpp"
#include "container/message.hpp"
#include "store/cloud_sync.hpp"
#include "store/folder_store.hpp"
#include "store/lumora_store.hpp"
#include "store/record_codec.hpp"
#include "store/settings.hpp"

using namespace lumora;
using Clock = std::chrono::steady_clock;

namespace {

// Something like what the page keeps: entries with ids, dates, words and numbers.
nlohmann::json appLikeState(std::size_t targetBytes) {
    std::mt19937 random(42);
    std::vector<std::string> words;
    const char* syllables[] = {"lu", "mo", "ra", "ka", "ti", "se", "no", "vi", "da", "qu",
                               "el", "an", "or", "is", "um", "be", "fe", "go", "hy", "ja"};
    for (int i = 0; i < 600; ++i) {
        std::string word;
        int length = 1 + static_cast<int>(random() % 4);
        for (int s = 0; s < length; ++s) word += syllables[random() % 20];
        words.push_back(word);
    }
    auto sentence = [&](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            if (i) text += ' ';
            text += words[std::min<std::size_t>(random() % 600, random() % 600)];
        }
        return text;
    };
    nlohmann::json state = {{"version", 7}, {"settings", {{"theme", "night"}, {"voice", "calm"}}}};
    nlohmann::json& entries = state["entries"] = nlohmann::json::array();
    long long when = 1760000000000LL;
    std::size_t size = 0;
    for (int i = 0; size < targetBytes; ++i) {
        char id[40];
        std::snprintf(id, sizeof id, "%08X-%04X-4%03X-%04X-%012llX",
                      static_cast<unsigned>(random()), static_cast<unsigned>(random() & 0xFFFF),
                      static_cast<unsigned>(random() & 0xFFF),
                      static_cast<unsigned>(random() & 0xFFFF),
                      static_cast<unsigned long long>(random()) << 16 | (random() & 0xFFFF));
        when += 60000 + random() % 86400000;
        nlohmann::json entry = {{"id", id},
                                {"createdAt", when},
                                {"title", sentence(3 + static_cast<int>(random() % 5))},
                                {"note", sentence(10 + static_cast<int>(random() % 60))},
                                {"mood", static_cast<int>(random() % 5)},
                                {"minutes", static_cast<int>(random() % 90)},
                                {"done", random() % 3 == 0},
                                {"tags", {words[random() % 40], words[random() % 40]}}};
        size += entry.dump().size() + 1;
        entries.push_back(std::move(entry));
    }
    return state;
}

std::string temporaryRoot() {
    char templ[] = "/tmp/lumora-bench-XXXXXX";
    return g_mkdtemp(templ) ? templ : "/tmp";
}

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
    for (int i = 0; i < 16; ++i) {
        state["revision"] = i;
        messages.push_back(
            nlohmann::json{{"type", "save"}, {"data", state}, {"sync", true}}.dump());
    }
    std::string rootBase = temporaryRoot(), rootChosen = temporaryRoot();
    Pipeline baseline(*loop, kZlibDefault, rootBase);
    Pipeline chosen(*loop, kRecordCompression, rootChosen);
    std::vector<double> baseTimes, chosenTimes;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        // Alternate, so both see the same disk and cache conditions.
        baseTimes.push_back(millis([&] { baseline.save(messages[i]); }));
        chosenTimes.push_back(millis([&] { chosen.save(messages[i]); }));
    }
    std::vector<double> baseRepeat, chosenRepeat;
    for (int i = 0; i < 9; ++i) {
        baseRepeat.push_back(millis([&] { baseline.save(messages.back()); }));
        chosenRepeat.push_back(millis([&] { chosen.save(messages.back()); }));
    }
    auto recordSize = [](const std::string& root) {
        return FolderStore(*makeGLibMainLoop(), root + "/cloud").read("db.v1")->value_or("").size();
    };
    double b = median(baseTimes), c = median(chosenTimes);
    std::printf("\nsave with sync on, message -> both files written (median of %zu)\n",
                messages.size());
    std::printf("  zlib level 6 (baseline)     %8.2f ms   record %zu bytes\n", b,
                recordSize(rootBase));
    std::printf(
        "  %-10s level %-2d (chosen) %8.2f ms   record %zu bytes\n",
        kRecordCompression.engine == RecordCompression::Engine::zlib ? "zlib" : "libdeflate",
        kRecordCompression.level, c, recordSize(rootChosen));
    std::printf("  ratio chosen / baseline     %8.2f\n", c / b);
    std::printf("\nrepeated identical save (median of 9)\n");
    std::printf("  baseline %8.2f ms   chosen %8.2f ms   (%.2f of a changed save)\n",
                median(baseRepeat), median(chosenRepeat), median(chosenRepeat) / c);

    for (const auto& root : {rootBase, rootChosen}) {
        std::string command = "rm -rf '" + root + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", root.c_str());
    }
    return 0;
}
