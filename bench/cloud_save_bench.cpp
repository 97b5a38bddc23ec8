// Save with cloud sync on, from the page's message to both files written (the local
// database and the cloud record), with each compressor beside the zlib level-6 baseline.
// The message is a JavaScriptCore value, as the web view hands it over.
#include <glib.h>
#include <jsc/jsc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app/standalone_host.hpp"
#include "bench/app_state.hpp"
#include "container/base/glib_ptr.hpp"
#include "container/base/main_loop.hpp"
#include "container/base/message.hpp"
#include "container/webkit_web_view.hpp"
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
          folder(loop, root + "/cloud", true),
          sync(folder, settings, loop, how),
          host(store, &sync, nullptr, loop) {
        settings.setCloudSync(true);
    }
    // What the web view and the bridge do with one "save" message.
    void save(JSCValue* message) {
        auto save = takeSaveMessage(message);
        if (!save) {
            saveAsTree(message);
            return;
        }
        if (!save->dropped)
            host.saveDocument(save->document, field::boolean(save->rest, "sync", false));
    }
    // Until both files are written and the answers are taken in: the writes run on
    // workers, so a save is done only then.
    void finish() {
        host.finishWrites();
        sync.flush(60);
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
    // The whole message as a tree, then the data printed from it: the ordinary path.
    void saveAsTree(JSCValue* message) {
        std::unique_ptr<char, GFreeDeleter> text(jsc_value_to_json(message, 0));
        auto body = nlohmann::json::parse(text.get());
        host.saveState(*field::find(body, "data"), field::boolean(body, "sync", false));
    }
    LumoraStore store;
    Settings settings;
    FolderStore folder;
    CloudSync sync;
    StandaloneHost host;
};

std::string fileText(const std::string& path) {
    gchar* data = nullptr;
    gsize size = 0;
    if (!g_file_get_contents(path.c_str(), &data, &size, nullptr)) return {};
    std::string text(data, size);
    g_free(data);
    return text;
}

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

// The state's text with the keys of every object in a random order: the engine's values
// list keys in the order of its hash tables, not sorted.
std::string shuffledKeys(const nlohmann::json& state, std::mt19937& random) {
    std::function<nlohmann::ordered_json(const nlohmann::json&)> copy =
        [&](const nlohmann::json& v) -> nlohmann::ordered_json {
        if (v.is_array()) {
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            for (const auto& item : v) list.push_back(copy(item));
            return list;
        }
        if (!v.is_object()) return nlohmann::ordered_json::parse(v.dump());
        std::vector<std::string> keys;
        for (const auto& item : v.items()) keys.push_back(item.key());
        std::shuffle(keys.begin(), keys.end(), random);
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        for (const auto& key : keys) object[key] = copy(v[key]);
        return object;
    };
    return copy(state).dump();
}

// A fresh message value per save: the path takes "data" out of the one it is given.
class Messages {
  public:
    Messages() : context_(GPtr<JSCContext>::adopt(jsc_context_new())) {}
    GPtr<JSCValue> make(const std::string& stateText) {
        GPtr<JSCValue> text =
            GPtr<JSCValue>::adopt(jsc_value_new_string(context_.get(), stateText.c_str()));
        jsc_context_set_value(context_.get(), "stateText", text.get());
        return GPtr<JSCValue>::adopt(jsc_context_evaluate(
            context_.get(), "({type: 'save', sync: true, data: JSON.parse(stateText)})", -1));
    }

  private:
    GPtr<JSCContext> context_;
};

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
    std::mt19937 random(11);
    Messages messages;
    std::vector<std::string> stateTexts;
    std::vector<nlohmann::json> states;
    for (int i = 0; i < 16; ++i) {
        state["revision"] = i;
        states.push_back(state);
        stateTexts.push_back(shuffledKeys(state, random));
    }
    std::string rootBase = temporaryRoot(), rootChosen = temporaryRoot(),
                rootTree = temporaryRoot();
    Pipeline baseline(*loop, kZlibDefault, rootBase);
    Pipeline chosen(*loop, kRecordCompression, rootChosen);
    Pipeline tree(*loop, kRecordCompression, rootTree);
    std::vector<double> baseTimes, chosenTimes, treeTimes, basePush, chosenPush;
    for (const auto& stateText : stateTexts) {
        // Alternate, so all see the same disk and cache conditions.
        auto m1 = messages.make(stateText), m2 = messages.make(stateText),
             m3 = messages.make(stateText);
        baseTimes.push_back(millis([&] {
            baseline.save(m1.get());
            baseline.finish();
        }));
        chosenTimes.push_back(millis([&] {
            chosen.save(m2.get());
            chosen.finish();
        }));
        treeTimes.push_back(millis([&] {
            tree.saveAsTree(m3.get());
            tree.finish();
        }));
    }
    bool sameFiles =
        fileText(rootChosen + "/data/lumora.json") == fileText(rootTree + "/data/lumora.json");
    // The cloud step alone (serialise, compress, write the record), on new states.
    for (std::size_t i = 0; i < states.size(); ++i) {
        states[i]["revision"] = 100 + static_cast<int>(i);
        basePush.push_back(millis([&] {
            baseline.sync.push(states[i], true);
            baseline.finish();
        }));
        chosenPush.push_back(millis([&] {
            chosen.sync.push(states[i], true);
            chosen.finish();
        }));
    }
    std::vector<double> baseRepeat, chosenRepeat;
    for (int i = 0; i < 9; ++i) {
        // The same state, its keys listed in a new order each time.
        std::string again = shuffledKeys(states.back(), random);
        auto m1 = messages.make(again), m2 = messages.make(again);
        baseRepeat.push_back(millis([&] {
            baseline.save(m1.get());
            baseline.finish();
        }));
        chosenRepeat.push_back(millis([&] {
            chosen.save(m2.get());
            chosen.finish();
        }));
    }
    auto recordSize = [](const std::string& root) {
        return FolderStore(*makeGLibMainLoop(), root + "/cloud", false)
            .read("db.v1")
            ->value_or("")
            .size();
    };
    const char* chosenName =
        kRecordCompression.engine == RecordCompression::Engine::zlib ? "zlib" : "libdeflate";
    double b = median(baseTimes), c = median(chosenTimes);
    std::printf("\nsave with sync on, message -> both files written (median of %zu)\n",
                stateTexts.size());
    std::printf("  zlib level 6 (baseline)         %8.2f ms   record %zu bytes\n", b,
                recordSize(rootBase));
    std::printf("  %-10s level %-2d (chosen)     %8.2f ms   record %zu bytes\n", chosenName,
                kRecordCompression.level, c, recordSize(rootChosen));
    std::printf("  ratio chosen / baseline         %8.2f\n", c / b);
    double t = median(treeTimes);
    std::printf(
        "  chosen, message as a tree       %8.2f ms   (direct / tree %.2f; same file: %s)\n", t,
        c / t, sameFiles ? "yes" : "NO");
    double bp = median(basePush), cp = median(chosenPush);
    std::printf("\ncloud step alone: serialise, compress, write the record (median of %zu)\n",
                states.size());
    std::printf("  baseline %8.2f ms   chosen %8.2f ms   ratio %.2f\n", bp, cp, cp / bp);
    std::printf("\nrepeated identical save, message -> done (median of 9)\n");
    std::printf("  baseline %8.2f ms   chosen %8.2f ms   (%.2f of a changed save)\n",
                median(baseRepeat), median(chosenRepeat), median(chosenRepeat) / c);

    for (const auto& root : {rootBase, rootChosen, rootTree}) {
        std::string command = "rm -rf '" + root + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", root.c_str());
    }
    return 0;
}
