#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "container/base/page_view.hpp"
#include "container/services.hpp"

namespace lumora {

// Gift links (lumora-gift://open?g=CODE) handed to the page through __lmGift. A code
// that arrives while the page cannot take it waits here; only the newest one is kept.
class GiftInbox final : public GiftService {
  public:
    static constexpr std::size_t kMaxCodeLength = 19'999;

    // pageLoaded tells whether the page has finished loading (and not started to reload
    // after a crash); without it, an attached web view counts as ready.
    explicit GiftInbox(std::function<bool()> pageLoaded = {});

    void setWebView(WeakPageView view) override;
    void setSchemes(std::vector<std::string> schemes) override;
    // Keeps the code of a valid gift link and delivers it; anything else is ignored.
    void receive(const std::string& url) override;
    // Hands the pending code to the page when it can take it.
    void deliver() override;

    const std::optional<std::string>& pending() const { return pending_; }
    const std::vector<std::string>& schemes() const { return schemes_; }

    // The gift code of url when it passes every check, with the number of characters.
    struct Code {
        std::string value;
        std::size_t characters = 0;
    };
    static std::optional<Code> giftCode(const std::string& url,
                                        const std::vector<std::string>& schemes);

  private:
    WeakPageView webView_;
    std::vector<std::string> schemes_{"lumora-gift"};
    std::optional<std::string> pending_;
    std::function<bool()> pageLoaded_;
};

}  // namespace lumora
