// Drives the real Lumora page in the real web view, as a user would, through DOM events.
#pragma once
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "container/base/page_call.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"
#include "tests/support/webkit_harness.hpp"

namespace lumora::test {

using nlohmann::json;

// Stands in for the native services and records what the page asked of them.
struct PageRecorder final : AudioMessages,
                            PdfExporter,
                            SharePicker,
                            ActivityInhibitor,
                            UrlOpener,
                            CloudService,
                            ReminderService {
    // Audio
    void setWebView(WeakPageView v) override { view = v; }
    void handle(const std::string& type, json body) override {
        received.push_back(type);
        if (type == "audioOpen") audioId = body.value("id", "");
        if (type == "audioChunk") {
            chunks.push_back(body.value("index", -1));
            const auto& pcm = body["pcm"].get_ref<const std::string&>();
            std::size_t pad = pcm.ends_with("==") ? 2 : pcm.ends_with("=") ? 1 : 0;
            chunkBytes = pcm.size() / 4 * 3 - pad;
        }
    }
    // PDF: no file is made, so the bridge sends the failure note back to the page.
    std::optional<std::string> makePdf(const std::string& name, const json& blocks) override {
        pdfName = name;
        pdfBlocks = blocks;
        return std::nullopt;
    }
    void presentSavePanel(const std::string&, WeakPageView) override {}
    void sendPdfNote(WeakPageView v, const std::string& text) override {
        if (auto arg = textArgument(text)) evaluateIfAlive(v, pageCall("__lmNote", *arg));
    }
    void share(const std::string& subject, const std::string& text, WeakPageView) override {
        shares.emplace_back(subject, text);
    }
    void begin(const std::string&) override { received.push_back("begin"); }
    void end() override { received.push_back("end"); }
    void open(const std::string& uri) override { opened.push_back(uri); }
    // Cloud
    bool isEnabled() override { return syncOn; }
    void push(const json&, bool sync) override {
        syncOn = sync;
        received.push_back("push");
    }
    void pull() override { received.push_back("cloudPull"); }
    void forget() override { received.push_back("cloudForget"); }
    // Reminder
    void update(bool on, const std::string& time) override {
        reminders.push_back((on ? "on " : "off ") + time);
    }

    std::size_t count(const std::string& what) const {
        return static_cast<std::size_t>(std::count(received.begin(), received.end(), what));
    }

    WeakPageView view;
    std::vector<std::string> received;
    std::string audioId;
    std::vector<int> chunks;
    std::size_t chunkBytes = 0;
    std::string pdfName;
    json pdfBlocks;
    std::vector<std::pair<std::string, std::string>> shares;
    std::vector<std::string> opened;
    std::vector<std::string> reminders;
    bool syncOn = false;
};

class PageDriver {
  public:
    struct Size {
        int width;
        int height;
    };
    struct Services {
        BridgeServices bridge;
        ControllerServices controller;
        CloudService* cloud = nullptr;
        ReminderService* reminder = nullptr;
    };

    static Services recorded(PageRecorder& rec) {
        return {{&rec, &rec, &rec, &rec, &rec}, {&rec, nullptr}, &rec, &rec};
    }

    // seed: a saved state to start from, written as the file the store reads.
    PageDriver(TestEnv& env, Services services, Size size, const std::string& seed = "") {
        dataDirectory_ = env.dataHome() + "/Lumora";
        if (!seed.empty()) {
            makeDirectories(dataDirectory_);
            writeFile(dataDirectory_ + "/lumora.json", json::parse(seed).dump());
        }
        WebStack::Options options;
        const char* source = std::getenv("LUMORA_SOURCE_DIR");
        options.webRoot = std::string(source ? source : ".") + "/web";
        options.dataDirectory = dataDirectory_;
        options.bridge = services.bridge;
        options.controller = services.controller;
        options.cloud = services.cloud;
        options.reminder = services.reminder;
        options.width = size.width;
        options.height = size.height;
        stack_ = std::make_unique<WebStack>(options);
        EXPECT_TRUE(stack_->waitForLoads(1));
    }
    PageDriver(TestEnv& env, PageRecorder& rec, Size size, const std::string& seed = "")
        : PageDriver(env, recorded(rec), size, seed) {}

    WebStack& stack() { return *stack_; }

    std::optional<std::string> eval(const std::string& script) { return stack_->eval(script); }

    json value(const std::string& expression) {
        auto text = eval("JSON.stringify((() => " + expression + ")())");
        if (!text) return json();
        auto outer = json::parse(*text, nullptr, false);
        if (!outer.is_string()) return json();
        return json::parse(outer.get<std::string>(), nullptr, false);
    }
    double number(const std::string& expression) {
        auto v = value(expression);
        return v.is_number() ? v.get<double>() : -1;
    }
    std::string string(const std::string& expression) {
        auto v = value(expression);
        return v.is_string() ? v.get<std::string>() : "";
    }
    std::string text(const std::string& selector) {
        return string("(document.querySelector(" + json(selector).dump() +
                      ") || {}).textContent || ''");
    }

    // A click dispatched on the element, as the pointer would.
    void click(const std::string& selector) {
        auto done = value("{ const e = document.querySelector(" + json(selector).dump() +
                          "); if (!e) return false; e.click(); return true; }");
        EXPECT_EQ(done, json(true)) << "no element " << selector;
        spinFor(0.05);
    }
    // Sets a field's value and dispatches the event that typing (or committing) fires.
    void type(const std::string& selector, const std::string& text,
              const std::string& event = "input") {
        auto done = value("{ const e = document.querySelector(" + json(selector).dump() +
                          "); if (!e) return false; e.focus(); e.value = " + json(text).dump() +
                          "; e.dispatchEvent(new Event(" + json(event).dump() +
                          ", { bubbles: true })); return true; }");
        EXPECT_EQ(done, json(true)) << "no field " << selector;
    }
    // Keys go to the focused element, as typed.
    void key(const std::string& name) {
        value(
            "{ const t = document.activeElement || document.body; t.dispatchEvent(new "
            "KeyboardEvent('keydown', { key: " +
            json(name).dump() + ", bubbles: true, cancelable: true })); return true; }");
    }

    std::string screen() {
        return string("window.__lumoraPage ? window.__lumoraPage.screen() : ''");
    }
    bool waitScreen(const std::string& name, double timeout = 20) {
        bool ok = spinUntil([&] { return screen() == name; }, timeout);
        EXPECT_TRUE(ok) << "screen is '" << screen() << "', not '" << name << "'";
        return ok;
    }

    // Polls the saved file until the predicate holds for its JSON.
    template <typename Predicate>
    bool waitSaved(Predicate predicate, double timeout = 15) {
        return spinUntil(
            [&] {
                auto text = readFile(dataDirectory_ + "/lumora.json");
                auto state = json::parse(text, nullptr, false);
                try {
                    return state.is_object() && predicate(state);
                } catch (const json::exception&) {
                    return false;  // not written yet in the shape asked about
                }
            },
            timeout);
    }

    // A valid gift code, made by the page's own module.
    std::string giftCode(const std::string& item) {
        eval("import('./js/gifts.js').then((m) => { window.__testGift = m.makeGiftCode(" +
             json(item).dump() + "); }); true");
        std::string code;
        spinUntil([&] { return !(code = string("window.__testGift || ''")).empty(); });
        return code;
    }

  private:
    std::string dataDirectory_;
    std::unique_ptr<WebStack> stack_;
};

}  // namespace lumora::test
