#pragma once
#include <cstdint>
#include <memory>
#include <mutex>

#include "container/base/main_loop.hpp"
#include "container/lumora_host.hpp"
#include "container/services.hpp"

namespace lumora {

class LumoraStore;

// The host of the application running on its own: the local file, cloud sync and the
// reminder. A null service is one this build does not have. The local file is written on
// a worker thread, in the order the saves came; the store is only used there meanwhile.
class StandaloneHost final : public LumoraHost {
  public:
    static constexpr double kPullDelay = 0.8;

    StandaloneHost(LumoraStore& store, CloudService* cloud, ReminderService* reminder,
                   MainLoop& loop);
    ~StandaloneHost() override;

    std::string hostName() const override { return "standalone"; }
    std::string extraScript() const override { return "window.__LUMORA_DIRECT__ = true;"; }
    double topInset() const override { return 30; }
    std::vector<std::string> giftSchemes() const override { return {"lumora-gift"}; }
    std::array<double, 3> backgroundRGB() const override { return {3, 25, 43}; }
    std::optional<std::string> loadState() override;
    void saveState(const nlohmann::json& data, bool sync) override;
    void saveDocument(std::string document, bool sync) override;
    void setReminder(bool on, const std::string& time) override;
    void handleEvent(const std::string&, const nlohmann::json&) override {}
    void close(const std::string&) override {}
    bool handleMessage(const std::string& type, const nlohmann::json& body) override;
    void attach(WeakPageView webView) override;
    void pageDidLoad() override;

    // A state kept on this computer only (the cloud switch and record stay as they are).
    // Waits for it to be written; returns whether it was.
    bool keepLocally(const std::string& document);
    // Waits until every save received is written, and takes in how that went.
    void finishWrites();
    // Before quitting: waits until every save received is written, and writes the newest
    // state once more if its save failed. Returns whether nothing is left unwritten.
    bool writeUnsaved();

    // What the page is told when its journal could not be written to this computer.
    static std::string saveFailedNote(int error);
    // What the page is told when the saved file could not be read and was kept aside.
    static std::string setAsideNote(const std::string& path);

  private:
    // What one write of the file came to; number is the newest save it holds.
    struct Written {
        std::uint64_t number = 0;
        int error = 0;
        std::optional<std::string> setAside;
    };
    // Between this thread and the writer: the newest save not taken by a write yet, so
    // writes queued behind a slow one collapse into one of the newest state.
    struct Pending {
        std::mutex mutex;
        std::shared_ptr<const std::string> document;
        std::uint64_t number = 0;
        std::optional<Written> last;
    };
    void writeLocally(std::shared_ptr<const std::string> document);
    void written(const Written& outcome);
    // Logs and tells the page when saving starts failing and when it works again.
    void noteLocalSave(int error);
    void tellPage(const std::string& note);

    LumoraStore& store_;
    CloudService* cloud_;
    ReminderService* reminder_;
    MainLoop& loop_;
    WeakPageView page_;
    // The newest state the page saved. While it is not on disk (still being written, or
    // its write failed), it is what every new document starts from: the page was promised
    // it stays while the program runs.
    std::shared_ptr<const std::string> latest_;
    std::uint64_t received_ = 0;  // saves given to the writer
    std::uint64_t written_ = 0;   // the newest of them whose write came back
    int saveError_ = 0;
    std::shared_ptr<Pending> pending_ = std::make_shared<Pending>();
    LoopOwner owner_{loop_};
    // Last: it goes first, finishing every write given to it.
    SerialWorker writer_{"lumora-save"};
};

}  // namespace lumora
