#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "container/base/main_loop.hpp"
#include "container/base/page_view.hpp"
#include "container/services.hpp"
#include "store/key_value_store.hpp"
#include "store/record_codec.hpp"

namespace lumora {

class Settings;

// Carries the page's saved state between the user's machines as one record, "db.v1":
// the compact JSON compressed as raw DEFLATE. It only ever hands what it reads to the
// page through __lmCloud; merging with the local state is the page's business.
//
// Decisions and answers are made on the main thread; compressing, inflating and every
// call on the store run on one worker thread, in the order they were asked for. A store
// that has not answered within kAnswerSeconds is unavailable for that operation.
class CloudSync final : public CloudService {
  public:
    static constexpr double kAnswerSeconds = 2.0;

    CloudSync(KeyValueStore& kvs, Settings& settings, MainLoop& loop,
              RecordCompression compression = kRecordCompression);
    ~CloudSync() override;
    CloudSync(const CloudSync&) = delete;
    CloudSync& operator=(const CloudSync&) = delete;

    void setWebView(WeakPageView view) override { webView_ = std::move(view); }
    bool isEnabled() override;
    void push(const nlohmann::json& value, bool sync) override;
    void pushDocument(const std::string& document, bool sync) override;
    void pushDocument(std::shared_ptr<const std::string> document, bool sync) override;
    void pull() override;
    void forget() override;
    bool flush(double seconds) override;

    void handleExternalChange(std::optional<int> reason);
    void sendStatus(const nlohmann::json& status);

    const std::string key = "db.v1";
    const std::size_t limit = 900000;
    // As far as the answers that came back tell.
    const std::optional<std::string>& lastPut() const { return lastPut_; }

  private:
    struct Worker;
    struct PushOutcome;
    struct PullOutcome;
    // Follows the page's switch; the settings file is written only when it changes.
    void applySwitch(bool sync);
    void pushed(const PushOutcome& outcome);
    void pulled(const PullOutcome& outcome);
    // Starts the wait for an answer; the operation is unavailable when it runs out.
    MainLoop::TimerId deadline(std::map<std::uint64_t, MainLoop::TimerId>& waiting,
                               std::uint64_t number);
    // Ends the waits of the operations an answer covers; returns how many were still
    // waiting (the others were told the store is unavailable).
    int answered(std::map<std::uint64_t, MainLoop::TimerId>& waiting, std::uint64_t number);

    KeyValueStore& kvs_;
    Settings& settings_;
    MainLoop& loop_;
    // The record last written or read, and the text it holds. Comparing texts first
    // keeps an unchanged save from compressing at all.
    std::optional<std::string> lastPut_;
    std::shared_ptr<const std::string> lastText_;
    // The newest text given to the worker to write and not answered yet.
    std::shared_ptr<const std::string> writingText_;
    // The last state refused as too big: saving it again is refused without compressing.
    std::optional<std::string> refusedText_;
    // Whether an answer was late, so the first of a spell is logged.
    bool slow_ = false;
    std::uint64_t pushes_ = 0, pulls_ = 0;
    std::map<std::uint64_t, MainLoop::TimerId> pushWaits_, pullWaits_;
    WeakPageView webView_;
    std::shared_ptr<Worker> worker_;
    LoopOwner owner_{loop_};
    // Last: it goes first, running what it was given.
    SerialWorker thread_{"lumora-cloud"};
};

// Cloud sync over a folder store, with its switch and folder in settings.ini under
// configDirectory; the folder defaults to dataDirectory/cloud, the only one ever created.
// Editing the folder in settings.ini while the program runs moves the store there.
std::unique_ptr<CloudService> makeFolderCloudSync(MainLoop& loop, const std::string& dataDirectory,
                                                  const std::string& configDirectory);

}  // namespace lumora
