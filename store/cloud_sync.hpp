#pragma once
#include <nlohmann/json.hpp>

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
// Everything on the main thread.
class CloudSync final : public CloudService {
  public:
    CloudSync(KeyValueStore& kvs, Settings& settings, MainLoop& loop,
              RecordCompression compression = kRecordCompression);
    ~CloudSync() override;
    CloudSync(const CloudSync&) = delete;
    CloudSync& operator=(const CloudSync&) = delete;

    void setWebView(WeakPageView view) override { webView_ = std::move(view); }
    bool isEnabled() override;
    void push(const nlohmann::json& value, bool sync) override;
    void pushDocument(const std::string& document, bool sync) override;
    void pull() override;
    void forget() override;

    void handleExternalChange(std::optional<int> reason);
    void sendStatus(const nlohmann::json& status);

    const std::string key = "db.v1";
    const std::size_t limit = 900000;
    const std::optional<std::string>& lastPut() const { return lastPut_; }

  private:
    // Follows the page's switch; the settings file is written only when it changes.
    void applySwitch(bool sync);

    KeyValueStore& kvs_;
    Settings& settings_;
    MainLoop& loop_;
    RecordCompression compression_;
    // The record last written or read, and the text it holds. Comparing texts first
    // keeps an unchanged save from compressing at all.
    std::optional<std::string> lastPut_;
    std::optional<std::string> lastText_;
    // The last state refused as too big: saving it again is refused without compressing.
    std::optional<std::string> refusedText_;
    WeakPageView webView_;
};

// Cloud sync over a folder store, with its switch and folder in settings.ini under
// configDirectory; the folder defaults to dataDirectory/cloud, the only one ever created.
// Editing the folder in settings.ini while the program runs moves the store there.
std::unique_ptr<CloudService> makeFolderCloudSync(MainLoop& loop, const std::string& dataDirectory,
                                                  const std::string& configDirectory);

}  // namespace lumora
