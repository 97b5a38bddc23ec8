#pragma once
#include <nlohmann/json.hpp>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "container/base/page_view.hpp"

namespace lumora {

// What the web container asks of whoever hosts it. Callers never test for a
// concrete host.
class LumoraHost {
  public:
    virtual ~LumoraHost() = default;
    virtual std::string hostName() const = 0;
    virtual std::string extraScript() const = 0;
    virtual double topInset() const = 0;
    virtual std::vector<std::string> giftSchemes() const = 0;
    virtual std::array<double, 3> backgroundRGB() const = 0;
    virtual std::optional<std::string> loadState() = 0;
    virtual void saveState(const nlohmann::json& data, bool sync) = 0;
    // The same for a state the caller already holds as compact JSON text of an object or
    // array: a state can be megabytes, and this spares parsing and printing it again.
    // Taken by value, so a caller done with its text hands it over uncopied.
    virtual void saveDocument(std::string document, bool sync) {
        saveState(nlohmann::json::parse(document), sync);
    }
    virtual void setReminder(bool on, const std::string& time) = 0;
    virtual void handleEvent(const std::string& name, const nlohmann::json& detail) = 0;
    virtual void close(const std::string& reason) = 0;
    virtual bool handleMessage(const std::string& type, const nlohmann::json& body) = 0;
    virtual void attach(WeakPageView webView) = 0;
    virtual void pageDidLoad() = 0;
};

}  // namespace lumora
