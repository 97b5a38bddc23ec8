#pragma once
#include <utility>

#include "container/lumora_host.hpp"

namespace lumora::test {

// A host that hands every call to another; tests put one in front of the standalone host
// and override only the calls they record.
struct ForwardingHost : LumoraHost {
    explicit ForwardingHost(LumoraHost& inner) : inner(inner) {}
    std::string hostName() const override { return inner.hostName(); }
    std::string extraScript() const override { return inner.extraScript(); }
    double topInset() const override { return inner.topInset(); }
    std::vector<std::string> giftSchemes() const override { return inner.giftSchemes(); }
    std::array<double, 3> backgroundRGB() const override { return inner.backgroundRGB(); }
    std::optional<std::string> loadState() override { return inner.loadState(); }
    void saveState(const nlohmann::json& data, bool sync) override { inner.saveState(data, sync); }
    void saveDocument(std::string document, bool sync) override {
        inner.saveDocument(std::move(document), sync);
    }
    void setReminder(bool on, const std::string& time) override { inner.setReminder(on, time); }
    void handleEvent(const std::string& name, const nlohmann::json& detail) override {
        inner.handleEvent(name, detail);
    }
    void close(const std::string& reason) override { inner.close(reason); }
    bool handleMessage(const std::string& type, const nlohmann::json& body) override {
        return inner.handleMessage(type, body);
    }
    void attach(WeakPageView webView) override { inner.attach(std::move(webView)); }
    void pageDidLoad() override { inner.pageDidLoad(); }
    LumoraHost& inner;
};

}  // namespace lumora::test
