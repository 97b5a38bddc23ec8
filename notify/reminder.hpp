#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "container/base/main_loop.hpp"
#include "container/services.hpp"

namespace lumora {

// Hour and minute as the time text gives them, before any range check.
struct ReminderTime {
    std::int64_t hour = 7;
    std::int64_t minute = 30;
    bool operator==(const ReminderTime&) const = default;
};

// Where the one pending daily request lives (a systemd user timer on the desktop).
// Every call is made on the main thread.
class ReminderPlatform {
  public:
    virtual ~ReminderPlatform() = default;
    // Removes the pending request, if any. A notification already shown stays.
    virtual void removePending() = 0;
    // Asks whether notifications can be shown; done runs later, on the main thread.
    virtual void requestAuthorisation(std::function<void(bool granted)> done) = 0;
    // Adds the request that repeats every day at hour:minute (both in range).
    virtual void addDaily(int hour, int minute) = 0;
};

// The daily reminder: at most one pending request, replaced on every switch.
class Reminder final : public ReminderService {
  public:
    static constexpr const char* identifier = "daily-lumora";
    static constexpr const char* title = "Time to polish my lumora 💎";
    static constexpr const char* body = "Daily lumora · 5 minutes with my facets.";
    static constexpr int defaultHour = 7;
    static constexpr int defaultMinute = 30;

    explicit Reminder(ReminderPlatform& platform);
    ~Reminder() override;
    Reminder(const Reminder&) = delete;
    Reminder& operator=(const Reminder&) = delete;

    // Removes the pending request, then (when enabled) asks for authorisation; the
    // answer schedules the request unless a later update has been made meanwhile.
    void update(bool enabled, const std::string& time) override;
    // The authorisation answer for the update numbered generation.
    void schedule(bool granted, const std::string& time, std::uint64_t generation);

    // "21:05" → 21, 5; pieces that are not plain decimal integers are dropped, and
    // missing ones take the defaults.
    static ReminderTime parseTime(std::string_view time);

  private:
    ReminderPlatform& platform_;
    // Counts updates, so that only the answer to the latest one adds a request.
    std::uint64_t generation_ = 0;
    // The platform may answer after the reminder has gone.
    Lifetime lifetime_;
};

}  // namespace lumora
