#include "container/base/main_loop.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace lumora {

LoopOwner::~LoopOwner() {
    for (MainLoop::TimerId id : timers_) loop_.cancel(id);
}

void LoopOwner::post(std::function<void()> fn) {
    loop_.post([alive = token(), fn = std::move(fn)] {
        if (!alive.expired()) fn();
    });
}

MainLoop::TimerId LoopOwner::after(double seconds, std::function<void()> fn) {
    auto id = std::make_shared<MainLoop::TimerId>(0);
    // The destructor cancels it, so it only ever fires into a live owner.
    *id = loop_.after(seconds, [this, id, fn = std::move(fn)] {
        timers_.erase(*id);
        fn();
    });
    timers_.insert(*id);
    return *id;
}

MainLoop::TimerId LoopOwner::every(double seconds, std::function<void()> fn) {
    MainLoop::TimerId id = loop_.every(seconds, std::move(fn));
    timers_.insert(id);
    return id;
}

MainLoop::TimerId LoopOwner::onSignal(int signal, std::function<void()> fn) {
    MainLoop::TimerId id = loop_.onSignal(signal, std::move(fn));
    timers_.insert(id);
    return id;
}

void LoopOwner::cancel(MainLoop::TimerId id) {
    if (timers_.erase(id) > 0) loop_.cancel(id);
}

std::function<void()> LoopOwner::poster(std::function<void()> fn) const {
    return [loop = &loop_, alive = token(), fn = std::move(fn)] {
        loop->post([alive, fn] {
            if (!alive.expired()) fn();
        });
    };
}

SerialWorker::SerialWorker(std::string name)
    : name_(std::move(name)), thread_([this] { loop(); }) {}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void SerialWorker::run(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void SerialWorker::drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return jobs_.empty() && !running_; });
}

std::size_t SerialWorker::pending() const {
    std::lock_guard lock(mutex_);
    return jobs_.size() + (running_ ? 1 : 0);
}

void SerialWorker::loop() {
    // Named, so a profile or a stack dump says which worker it is.
    pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
    // Background work gives way to the main loop (the window, D-Bus answers, the audio
    // reports) when both want the processor; alone it runs at full speed.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kWorkerNice);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        running_ = true;
        lock.unlock();
        job();
        job = nullptr;  // its captures go on this thread, before the worker counts as idle
        lock.lock();
        running_ = false;
        if (jobs_.empty()) idle_.notify_all();
    }
}

}  // namespace lumora
