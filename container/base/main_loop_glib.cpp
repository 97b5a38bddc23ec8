#include <glib-unix.h>
#include <glib.h>

#include <functional>
#include <memory>
#include <unordered_set>

#include "container/base/main_loop.hpp"

namespace lumora {
namespace {

class GLibMainLoop;

struct Task {
    std::function<void()> fn;
    GLibMainLoop* timers = nullptr;  // set for timers, which the loop tracks
    bool repeat = false;
    guint id = 0;
};

class GLibMainLoop final : public MainLoop {
  public:
    // Pending timers would otherwise fire into a loop (and owners) that are gone.
    ~GLibMainLoop() override {
        for (guint id : live_) g_source_remove(id);
    }
    // g_idle_add_full is thread-safe and always defers, even on the main thread,
    // so a posted call runs after the current message has been handled.
    void post(std::function<void()> fn) override {
        g_idle_add_full(G_PRIORITY_DEFAULT, runTask, new Task{std::move(fn)}, freeTask);
    }
    TimerId after(double seconds, std::function<void()> fn) override {
        return addTimeout(seconds, std::move(fn), false);
    }
    TimerId every(double seconds, std::function<void()> fn) override {
        return addTimeout(seconds, std::move(fn), true);
    }
    TimerId onSignal(int signal, std::function<void()> fn) override {
        auto* task = new Task{std::move(fn), nullptr, true};
        task->id = g_unix_signal_add_full(G_PRIORITY_DEFAULT, signal, runTask, task, freeTask);
        live_.insert(task->id);
        return task->id;
    }
    void cancel(TimerId id) override {
        // Only live sources: removing a fired one-shot source would be a GLib critical.
        if (live_.erase(static_cast<guint>(id)) > 0) g_source_remove(static_cast<guint>(id));
    }

    double now() const override { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

  private:
    TimerId addTimeout(double seconds, std::function<void()> fn, bool repeat) {
        const auto ms = static_cast<guint>(seconds > 0 ? seconds * 1000.0 + 0.5 : 0);
        auto* task = new Task{std::move(fn), this, repeat};
        task->id = g_timeout_add_full(G_PRIORITY_DEFAULT, ms, runTask, task, freeTask);
        live_.insert(task->id);
        return task->id;
    }

    static gboolean runTask(gpointer data) {
        auto* task = static_cast<Task*>(data);
        // A one-shot timer is no longer cancellable once it runs.
        if (task->timers && !task->repeat) task->timers->live_.erase(task->id);
        task->fn();
        return task->repeat ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
    }

    // The closure is owned by the source and freed by GLib even if it never runs.
    static void freeTask(gpointer data) { delete static_cast<Task*>(data); }

    std::unordered_set<guint> live_;
};

}  // namespace

std::unique_ptr<MainLoop> makeGLibMainLoop() {
    return std::make_unique<GLibMainLoop>();
}

}  // namespace lumora
