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

    // A state kept on this computer only (the cloud switch and record stay as they are).
    // Returns whether it was written.
    bool keepLocally(const std::string& document);
    // Before quitting: writes the newest state if its save failed. Returns whether nothing
    // is left unwritten.
    bool writeUnsaved();

    // What the page is told when its journal could not be written to this computer.
    static std::string saveFailedNote(int error);
    // What the page is told when the saved file could not be read and was kept aside.
    static std::string setAsideNote(const std::string& path);

  private:
    int writeLocally(const std::string& document);
    // Logs and tells the page when saving starts failing and when it works again.
    void noteLocalSave(int error);
    void tellPage(const std::string& note);

    LumoraStore& store_;
    CloudService* cloud_;
    ReminderService* reminder_;
    MainLoop& loop_;
    WeakPageView page_;
    // The newest state the page saved. While it is not on disk, it is what every new
    // document starts from: the page was promised it stays while the program runs.
    std::optional<std::string> latest_;
    bool latestUnsaved_ = false;
    int saveError_ = 0;
    LoopOwner owner_{loop_};
};

}  // namespace lumora
