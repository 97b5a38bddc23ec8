#pragma once
#include <cstdint>
#include <functional>
#include <memory>

namespace lumora {

// Main-loop timers and posting. Everything runs on the main thread; other threads
// may only call post(). Tests use a fake with a manual clock.
class MainLoop {
  public:
    using TimerId = std::uint64_t;
    virtual ~MainLoop() = default;
    // Runs fn on the main thread in a later turn of the loop. Safe from any thread.
    virtual void post(std::function<void()> fn) = 0;
    // Runs fn once, seconds from now.
    virtual TimerId after(double seconds, std::function<void()> fn) = 0;
    // Runs fn every interval seconds until cancelled.
    virtual TimerId every(double seconds, std::function<void()> fn) = 0;
    virtual void cancel(TimerId id) = 0;
    // Monotonic time in seconds.
    virtual double now() const = 0;
};

// The GLib default main context.
std::unique_ptr<MainLoop> makeGLibMainLoop();

}  // namespace lumora
