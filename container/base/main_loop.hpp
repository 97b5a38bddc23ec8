#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

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
    // Runs fn on the main thread each time the process receives the Unix signal, instead
    // of the signal's default action, until cancelled.
    virtual TimerId onSignal(int signal, std::function<void()> fn) = 0;
    virtual void cancel(TimerId id) = 0;
    // Monotonic time in seconds.
    virtual double now() const = 0;
};

// The GLib default main context.
std::unique_ptr<MainLoop> makeGLibMainLoop();

// Expires when its owner goes: for callbacks that may be called after that. A member of
// the owner, declared last, so it expires first.
class Lifetime {
  public:
    Lifetime() = default;
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;
    std::weak_ptr<const void> token() const { return alive_; }

  private:
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

// The main loop as one object sees it: what it posts and times runs only while it lives,
// and its timers go with it. A member of the object, declared after what its callbacks
// use, so it goes first. Main thread only, except post() from a thread the owner outlives
// (a worker it joins), and the callables poster() makes, which any thread may call at any
// time.
class LoopOwner {
  public:
    explicit LoopOwner(MainLoop& loop) : loop_(loop) {}
    ~LoopOwner();
    LoopOwner(const LoopOwner&) = delete;
    LoopOwner& operator=(const LoopOwner&) = delete;

    MainLoop& loop() const { return loop_; }
    double now() const { return loop_.now(); }
    void post(std::function<void()> fn);
    MainLoop::TimerId after(double seconds, std::function<void()> fn);
    MainLoop::TimerId every(double seconds, std::function<void()> fn);
    MainLoop::TimerId onSignal(int signal, std::function<void()> fn);
    // Cancels a timer of this owner; zero and spent ids are ignored.
    void cancel(MainLoop::TimerId id);
    // A callable for another thread (an audio callback, a worker): each call posts fn
    // to the main loop, where it runs only if the owner still lives.
    std::function<void()> poster(std::function<void()> fn) const;
    // Expires with the owner, for callbacks the main thread calls directly.
    std::weak_ptr<const void> token() const { return lifetime_.token(); }

  private:
    MainLoop& loop_;
    std::unordered_set<MainLoop::TimerId> timers_;
    Lifetime lifetime_;
};

// One thread that runs jobs one at a time, in the order they were given: file writes,
// compression, layout. A job posts its result back to the main loop itself (through a
// LoopOwner). Destroying the worker runs every job already given, then joins.
class SerialWorker {
  public:
    explicit SerialWorker(std::string name);
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // Any thread.
    void run(std::function<void()> job);
    // Blocks until every job given before this call has run.
    void drain();
    // Jobs given and not yet finished.
    std::size_t pending() const;
    // The niceness of worker threads: below the main loop's, above idle.
    static constexpr int kWorkerNice = 10;

  private:
    void loop();

    std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> jobs_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace lumora
