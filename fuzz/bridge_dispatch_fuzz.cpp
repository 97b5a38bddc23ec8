// Message dispatch: a JSON body (or an array of bodies, sent in order) through the real
// Bridge and LumoraController, with the host, the web view and the services faked.
// Besides "no crash", each message must do what its row says and no more.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "container/base/log.hpp"
#include "container/base/message.hpp"
#include "container/base/uri.hpp"
#include "container/bridge.hpp"
#include "container/controller.hpp"
#include "container/lumora_host.hpp"
#include "fuzz/fuzz_check.hpp"
#include "tests/support/fakes.hpp"

namespace {

using nlohmann::json;
using namespace lumora;

struct Host final : LumoraHost {
    std::string hostName() const override { return "standalone"; }
    std::string extraScript() const override { return ""; }
    double topInset() const override { return 30; }
    std::vector<std::string> giftSchemes() const override { return {"lumora-gift"}; }
    std::array<double, 3> backgroundRGB() const override { return {3, 25, 43}; }
    std::optional<std::string> loadState() override { return std::nullopt; }
    void saveState(const json& data, bool sync) override {
        ++calls;
        lastSave = data;
        lastSync = sync;
        // What the real host does with the value: check it, then serialise it.
        if (isJsonDocument(data)) (void)compactJson(data);
    }
    void setReminder(bool, const std::string&) override { ++calls; }
    void handleEvent(const std::string&, const json&) override { ++calls; }
    void close(const std::string&) override { ++calls; }
    bool handleMessage(const std::string& type, const json&) override {
        ++calls;
        return type == "cloudPull" || type == "cloudForget";
    }
    void attach(WeakPageView) override {}
    void pageDidLoad() override {}

    int calls = 0;
    json lastSave;
    bool lastSync = false;
};

struct Web final : WebViewBackend {
    void evaluate(const std::string&) override {}
    void setStartupScript(const std::string&) override {}
    void load(const std::string&) override {}
    void reload() override {}
};

struct Services final : AudioMessages, PdfExporter, SharePicker, ActivityInhibitor, UrlOpener {
    void setWebView(WeakPageView) override {}
    void handle(const std::string&, json) override { ++calls; }
    std::optional<std::string> makePdf(const std::string&, const json& blocks) override {
        ++calls;
        FUZZ_CHECK(blocks.is_array());
        return blocks.size() % 2 ? std::optional<std::string>("/nonexistent.pdf") : std::nullopt;
    }
    void presentSavePanel(const std::string&, WeakPageView) override { ++calls; }
    void sendPdfNote(WeakPageView, const std::string&) override { ++calls; }
    void share(const std::string&, const std::string&, WeakPageView) override { ++calls; }
    void begin(const std::string&) override { ++calls; }
    void end() override { ++calls; }
    void open(const std::string& uri) override {
        ++calls;
        opened.push_back(uri);
    }
    int calls = 0;
    std::vector<std::string> opened;
};

bool isAudio(const std::string& t) {
    for (const char* name : {"audioOpen", "audioChunk", "audioPlay", "audioSeek", "audioPause",
                             "audioResume", "audioClose"})
        if (t == name) return true;
    return false;
}

std::string schemeOf(const std::string& url) {
    auto colon = url.find(':');
    return colon == std::string::npos ? std::string() : url.substr(0, colon);
}

struct World {
    World()
        : controller(host, {&services, &services, &services, &services, &services},
                     {&services, nullptr}, loop, [this](Bridge&) { return web; }) {
        controller.webView();
        setLogSink([this](std::string_view line) { lines.emplace_back(line); });
    }
    test::FakeMainLoop loop;
    Host host;
    Services services;
    std::shared_ptr<Web> web = std::make_shared<Web>();
    LumoraController controller;
    std::vector<std::string> lines;
};

void checkOne(World& w, const json& body) {
    const int hostBefore = w.host.calls;
    const int servicesBefore = w.services.calls;
    const std::string screenBefore = w.controller.screen;
    w.lines.clear();
    w.services.opened.clear();

    w.controller.bridge().dispatch(body, w.web);

    const int hostCalls = w.host.calls - hostBefore;
    const int serviceCalls = w.services.calls - servicesBefore;
    // One message never floods the log.
    FUZZ_CHECK(w.lines.size() <= 1);

    auto type = field::string(body, "type");
    if (!body.is_object() || !type) {
        FUZZ_CHECK(hostCalls == 0 && serviceCalls == 0 && w.lines.empty());
        FUZZ_CHECK(w.controller.screen == screenBefore);
        return;
    }
    const std::string& t = *type;
    if (t != "event") FUZZ_CHECK(w.controller.screen == screenBefore);
    for (const auto& uri : w.services.opened) {
        auto scheme = schemeOf(uri);
        if (t == "open") FUZZ_CHECK(scheme == "https" || scheme == "mailto");
        FUZZ_CHECK(t == "open" || t == "review");
    }
    if (t == "save") {
        const json* data = field::find(body, "data");
        FUZZ_CHECK(hostCalls == (data ? 1 : 0));
        if (data) {
            FUZZ_CHECK(w.host.lastSave == *data);
            FUZZ_CHECK(w.host.lastSync == field::boolean(body, "sync", false));
        }
    } else if (t == "log") {
        FUZZ_CHECK(w.lines.size() == 1 && w.lines[0].starts_with("[Lumora]  page: "));
    } else if (t == "event") {
        FUZZ_CHECK(hostCalls == 1);
        auto detail = field::dictionary(body, "detail");
        auto screen = field::string(detail, "screen");
        if (field::string(body, "name", "") == "screen" && screen)
            FUZZ_CHECK(w.controller.screen == *screen);
        else
            FUZZ_CHECK(w.controller.screen == screenBefore);
    } else if (t == "review") {
        FUZZ_CHECK(w.services.opened.empty() || field::boolean(body, "explicit", false));
    } else if (t == "sharePdf") {
        // A note alone, or makePdf followed by the panel or a note.
        FUZZ_CHECK(serviceCalls == (field::arrayOfDictionaries(body, "blocks") ? 2 : 1));
    } else if (t == "session") {
        FUZZ_CHECK(w.controller.bridge().activityActive() == field::boolean(body, "active", false));
    } else if (isAudio(t)) {
        FUZZ_CHECK(serviceCalls == 1 && hostCalls == 0);
    } else if (t != "close" && t != "reminder" && t != "share" && t != "open") {
        // Every other type goes to the host, and is logged once when it is not handled.
        FUZZ_CHECK(hostCalls == 1);
        bool handled = t == "cloudPull" || t == "cloudForget";
        FUZZ_CHECK(w.lines.size() == (handled ? 0u : 1u));
        if (!handled) {
            // One line however the type is made: controls escaped, cut at 4 KiB.
            const std::string& line = w.lines[0];
            std::string expected = "[Lumora]  unhandled message: " + logSafe(t);
            FUZZ_CHECK(line.size() <= 4096 && line.find('\n') == std::string::npos);
            if (expected.size() <= 4096)
                FUZZ_CHECK(line == expected);
            else
                FUZZ_CHECK(line.starts_with(expected.substr(0, 2048)) && line.ends_with("\u2026"));
        }
    }

    // Any string under "url" is also tried as a navigation.
    if (auto url = field::string(body, "url")) {
        w.services.opened.clear();
        bool gesture = body.size() % 2 == 0;
        auto verdict = w.controller.bridge().decidePolicy(*url, gesture);
        auto scheme = uriScheme(*url).value_or("");
        bool inside = url->empty() || scheme == "lumora" || scheme == "about";
        FUZZ_CHECK((verdict == NavigationDecision::Allow) == inside);
        FUZZ_CHECK(gesture || w.services.opened.empty());
        for (const auto& uri : w.services.opened) {
            auto s = schemeOf(uri);
            FUZZ_CHECK(s == "http" || s == "https" || s == "mailto");
        }
    }
    w.loop.advance(1.0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    json input = json::parse(data, data + size, nullptr, false);
    if (input.is_discarded()) return 0;
    World world;
    checkOne(world, input);
    if (input.is_array())
        for (const auto& body : input) checkOne(world, body);
    setLogSink(nullptr);
    return 0;
}
