#pragma once
#include <memory>
#include <string>

namespace lumora {

// The page as native services see it: somewhere to evaluate page calls.
// Services keep it as std::weak_ptr and drop calls once it has gone.
class PageView {
  public:
    virtual ~PageView() = default;
    // Evaluates a script in the top frame; the result and any error are ignored.
    virtual void evaluate(const std::string& script) = 0;
};

using WeakPageView = std::weak_ptr<PageView>;

// Evaluates the script when the page view still exists; drops it otherwise.
inline void evaluateIfAlive(const WeakPageView& view, const std::string& script) {
    if (auto page = view.lock()) page->evaluate(script);
}

}  // namespace lumora
