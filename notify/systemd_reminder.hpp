#pragma once
#include <gio/gio.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "container/base/glib_ptr.hpp"
#include "container/base/main_loop.hpp"
#include "notify/reminder.hpp"

namespace lumora {

inline constexpr const char* kReminderTimerUnit = "lumora-reminder.timer";
inline constexpr const char* kReminderServiceUnit = "lumora-reminder.service";

// The pending daily request as a systemd user timer whose service runs
// "<program> --remind". The units live in $XDG_CONFIG_HOME/systemd/user and are handled
// through org.freedesktop.systemd1.Manager. Without a user manager, an in-process
// timer stands in while Lumora runs. Main thread only.
class SystemdReminderPlatform final : public ReminderPlatform {
  public:
    // program: the absolute path of the lumora executable.
    SystemdReminderPlatform(MainLoop& loop, std::string program);
    ~SystemdReminderPlatform() override;
    SystemdReminderPlatform(const SystemdReminderPlatform&) = delete;
    SystemdReminderPlatform& operator=(const SystemdReminderPlatform&) = delete;

    void removePending() override;
    // Granted when a notification service answers on the session bus.
    void requestAuthorisation(std::function<void(bool granted)> done) override;
    void addDaily(int hour, int minute) override;

    // Installs the timer for any systemd calendar expression, without a fallback.
    void addCalendarTimer(std::string calendar);
    // Runs done (on the main thread) once every change asked for so far has been made.
    void whenIdle(std::function<void()> done);
    // Whether the in-process timer is standing in for systemd.
    bool usingFallback() const { return fallbackTimer_ != 0; }

    static std::string unitDirectory();
    static std::string timerUnitText(const std::string& calendar);
    static std::string serviceUnitText(const std::string& program);
    // The program's path as the first word of an ExecStart= line.
    static std::string execWord(std::string_view word);
    static bool execPathUsable(std::string_view path);

  private:
    using Step = std::function<void(std::function<void()> next)>;
    using Reply = std::function<void(GVariant* reply, GError* error)>;
    struct Fallback {
        int hour;
        int minute;
    };

    void enqueue(Step step);
    void runNext();
    // Runs then with the session bus, or with null when there is none, once that is known.
    void withBus(std::function<void(GDBusConnection*)> then);
    static void onBus(GObject* source, GAsyncResult* result, gpointer self);
    void call(const char* destination, const char* path, const char* interface, const char* method,
              GVariant* parameters, const char* replyType, int timeoutMs, Reply then,
              GDBusCallFlags flags = G_DBUS_CALL_FLAGS_NONE);
    void manager(const char* method, GVariant* parameters, const char* replyType, Reply then);
    static void callDone(GObject* source, GAsyncResult* result, gpointer data);

    void install(const std::string& calendar, std::optional<Fallback> fallback,
                 std::function<void()> next);
    void uninstall(std::function<void()> next);
    void fail(const std::string& what, const std::optional<Fallback>& fallback);
    void startFallback(Fallback at);
    void stopFallback();
    void fallbackTick();

    MainLoop& loop_;
    std::string program_;
    enum class BusState { Unknown, Asking, Ready, Missing };
    GPtr<GDBusConnection> bus_;
    BusState busState_ = BusState::Unknown;
    std::vector<std::function<void(GDBusConnection*)>> waitingForBus_;
    GPtr<GCancellable> cancellable_;
    std::deque<Step> steps_;
    bool busy_ = false;

    Fallback fallbackAt_{0, 0};
    MainLoop::TimerId fallbackTimer_ = 0;
    int lastFiredDay_ = -1;
    LoopOwner owner_{loop_};
};

// The application's reminder: the logic over the systemd user timer.
class DailyReminder final : public ReminderService {
  public:
    DailyReminder(MainLoop& loop, std::string program)
        : platform_(loop, std::move(program)), reminder_(platform_) {}
    void update(bool on, const std::string& time) override { reminder_.update(on, time); }
    SystemdReminderPlatform& platform() { return platform_; }

  private:
    SystemdReminderPlatform platform_;
    Reminder reminder_;
};

}  // namespace lumora
