#pragma once
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "container/base/log.hpp"
#include "container/base/main_loop.hpp"
#include "container/base/page_view.hpp"

namespace lumora::test {

// A main loop with a manual clock: nothing runs until the test says so. Workers may post.
class FakeMainLoop final : public MainLoop {
  public:
    void post(std::function<void()> fn) override {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(fn));
    }
    TimerId after(double seconds, std::function<void()> fn) override {
        return add(seconds, std::move(fn), 0);
    }
    TimerId every(double seconds, std::function<void()> fn) override {
        return add(seconds, std::move(fn), seconds);
    }
    TimerId onSignal(int signal, std::function<void()> fn) override {
        TimerId id = ++lastId_;
        signals_[id] = {signal, std::move(fn)};
        return id;
    }
    void cancel(TimerId id) override {
        timers_.erase(id);
        signals_.erase(id);
    }
    double now() const override { return now_; }
    // The process received signal: runs its handlers as the loop would.
    void deliverSignal(int signal) {
        for (auto& [id, handler] : signals_)
            if (handler.first == signal) handler.second();
    }

    // Runs posted work (including work posted while running) until none is left.
    void runPosted() {
        for (;;) {
            std::vector<std::function<void()>> batch;
            {
                std::lock_guard lock(postedMutex_);
                batch.swap(posted_);
            }
            if (batch.empty()) return;
            for (auto& fn : batch) fn();
        }
    }
    // Runs posted work until wait() (which waits for other threads) lets no more arrive.
    void runPostedAfter(const std::function<void()>& wait) {
        for (;;) {
            wait();
            if (pendingPosts() == 0) return;
            runPosted();
        }
    }
    // Moves the clock forward, firing due timers in time order, and posted work. With
    // waitForWorkers set, each step also waits for the test's workers and runs what they
    // post, so their work takes no time on the manual clock.
    void advance(double seconds) {
        double target = now_ + seconds;
        settle();
        for (;;) {
            auto next = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it)
                if (it->second.due <= target &&
                    (next == timers_.end() || it->second.due < next->second.due))
                    next = it;
            if (next == timers_.end()) break;
            now_ = next->second.due;
            auto fn = next->second.fn;
            if (next->second.interval > 0)
                next->second.due += next->second.interval;
            else
                timers_.erase(next);
            fn();
            settle();
        }
        now_ = target;
    }
    std::function<void()> waitForWorkers;
    std::size_t pendingTimers() const { return timers_.size(); }
    std::size_t pendingPosts() const {
        std::lock_guard lock(postedMutex_);
        return posted_.size();
    }

  private:
    void settle() {
        if (waitForWorkers)
            runPostedAfter(waitForWorkers);
        else
            runPosted();
    }
    struct Timer {
        double due;
        double interval;
        std::function<void()> fn;
    };
    TimerId add(double seconds, std::function<void()> fn, double interval) {
        TimerId id = ++lastId_;
        timers_[id] = Timer{now_ + seconds, interval, std::move(fn)};
        return id;
    }
    double now_ = 0;
    TimerId lastId_ = 0;
    std::map<TimerId, Timer> timers_;
    std::map<TimerId, std::pair<int, std::function<void()>>> signals_;
    mutable std::mutex postedMutex_;
    std::vector<std::function<void()>> posted_;
};

// A page that records the scripts evaluated in it.
class FakePageView final : public PageView {
  public:
    void evaluate(const std::string& script) override { scripts.push_back(script); }
    std::vector<std::string> scripts;
};

// Captures log lines while it lives. Worker threads may log; read once they are done.
class LogCapture {
  public:
    LogCapture() {
        setLogSink([this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines.emplace_back(line);
        });
    }
    ~LogCapture() { setLogSink(nullptr); }
    std::size_t count(const std::string& line) const {
        std::size_t n = 0;
        for (const auto& l : lines) n += l == line;
        return n;
    }
    bool contains(const std::string& fragment) const {
        for (const auto& l : lines)
            if (l.find(fragment) != std::string::npos) return true;
        return false;
    }
    std::vector<std::string> lines;

  private:
    std::mutex mutex_;
};

}  // namespace lumora::test
