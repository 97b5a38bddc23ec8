#pragma once
#include "container/base/main_loop.hpp"
#include "container/lumora_host.hpp"
#include "container/services.hpp"

namespace lumora {

class LumoraStore;

// The host of the application running on its own: the local file, cloud sync and the
// reminder. A null service is one this build does not have.
class StandaloneHost final : public LumoraHost {
  public:
    static constexpr double kPullDelay = 0.8;

    StandaloneHost(LumoraStore& store, CloudService* cloud, ReminderService* reminder,
                   MainLoop& loop);

    std::string hostName() const override { return "standalone"; }
    std::string extraScript() const override { return "window.__LUMORA_DIRECT__ = true;"; }
    double topInset() const override { return 30; }
    std::vector<std::string> giftSchemes() const override { return {"lumora-gift"}; }
    std::array<double, 3> backgroundRGB() const override { return {3, 25, 43}; }
    std::optional<std::string> loadState() override;
    void saveState(const nlohmann::json& data, bool sync) override;
    void saveDocument(const std::string& document, bool sync) override;
    void setReminder(bool on, const std::string& time) override;
    void handleEvent(const std::string&, const nlohmann::json&) override {}
    void close(const std::string&) override {}
    bool handleMessage(const std::string& type, const nlohmann::json& body) override;
    void attach(WeakPageView webView) override;
    void pageDidLoad() override;

    // What the page is told when its journal could not be written to this computer.
    static std::string saveFailedNote(int error);

  private:
    // Logs and tells the page when saving starts failing and when it works again.
    void noteLocalSave(int error);

    LumoraStore& store_;
    CloudService* cloud_;
    ReminderService* reminder_;
    MainLoop& loop_;
    WeakPageView page_;
    bool saveFailing_ = false;
};

}  // namespace lumora
