#include "notify/systemd_reminder.hpp"

#include <glib/gstdio.h>

#include <cstdio>
#include <memory>

#include "container/base/file_io.hpp"
#include "container/base/log.hpp"

namespace lumora {

namespace {

constexpr const char* kManagerName = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr int kManagerTimeoutMs = 30'000;
// A notification service may have to be started by the bus first.
constexpr int kAuthorisationTimeoutMs = 10'000;
// The in-process timer looks at the wall clock, so suspend and clock changes do not
// shift it the way a monotonic countdown would.
constexpr double kFallbackTickSeconds = 15.0;

struct CallData {
    SystemdReminderPlatform* self;
    std::function<void(GVariant*, GError*)> then;
};

std::string twoDigits(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

std::string timerPath() {
    return SystemdReminderPlatform::unitDirectory() + "/" + kReminderTimerUnit;
}
std::string servicePath() {
    return SystemdReminderPlatform::unitDirectory() + "/" + kReminderServiceUnit;
}

GVariant* unitList() {
    const char* units[] = {kReminderTimerUnit, nullptr};
    return g_variant_new_strv(units, -1);
}

int dayNumber(GDateTime* time) {
    return g_date_time_get_year(time) * 1000 + g_date_time_get_day_of_year(time);
}

}  // namespace

SystemdReminderPlatform::SystemdReminderPlatform(MainLoop& loop, std::string program)
    : loop_(loop),
      program_(std::move(program)),
      cancellable_(GPtr<GCancellable>::adopt(g_cancellable_new())) {}

SystemdReminderPlatform::~SystemdReminderPlatform() {
    // Calls still in flight finish as cancelled and no longer touch this object.
    g_cancellable_cancel(cancellable_.get());
    stopFallback();
}

std::string SystemdReminderPlatform::unitDirectory() {
    return std::string(g_get_user_config_dir()) + "/systemd/user";
}

std::string SystemdReminderPlatform::timerUnitText(const std::string& calendar) {
    // AccuracySec: systemd's default of one minute would let the reminder come late.
    return "[Unit]\n"
           "Description=Lumora daily reminder (" +
           std::string(Reminder::identifier) +
           ")\n"
           "\n"
           "[Timer]\n"
           "OnCalendar=" +
           calendar +
           "\n"
           "AccuracySec=1s\n"
           "\n"
           "[Install]\n"
           "WantedBy=timers.target\n";
}

std::string SystemdReminderPlatform::serviceUnitText(const std::string& program) {
    // KillMode=process: a click on the notification may start Lumora from this service,
    // and that window must outlive the short-lived notifier.
    return "[Unit]\n"
           "Description=Lumora daily reminder notification\n"
           "\n"
           "[Service]\n"
           "Type=simple\n"
           "ExecStart=" +
           execWord(program) +
           " --remind\n"
           "KillMode=process\n";
}

std::string SystemdReminderPlatform::execWord(std::string_view word) {
    // Quoted for the spaces, and "%" doubled, or systemd would read a specifier. "$" is
    // not expanded in the program's own path.
    std::string out = "\"";
    for (char c : word) {
        if (c == '%') out += '%';
        out += c;
    }
    return out + "\"";
}

bool SystemdReminderPlatform::execPathUsable(std::string_view path) {
    // systemd refuses quotes, backslashes and control characters in a program's path.
    if (path.empty() || path.front() != '/') return false;
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') return false;
    return true;
}

void SystemdReminderPlatform::withBus(std::function<void(GDBusConnection*)> then) {
    if (busState_ == BusState::Ready || busState_ == BusState::Missing) {
        then(bus_.get());
        return;
    }
    waitingForBus_.push_back(std::move(then));
    if (busState_ == BusState::Asking) return;
    busState_ = BusState::Asking;
    g_bus_get(G_BUS_TYPE_SESSION, cancellable_.get(), onBus, this);
}

void SystemdReminderPlatform::onBus(GObject*, GAsyncResult* result, gpointer data) {
    GPtr<GError> error;
    GPtr<GDBusConnection> bus = GPtr<GDBusConnection>::adopt(g_bus_get_finish(result, error.out()));
    if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
    auto* self = static_cast<SystemdReminderPlatform*>(data);
    if (!bus) log(std::string("reminder: no session bus: ") + error->message);
    self->bus_ = std::move(bus);
    self->busState_ = self->bus_ ? BusState::Ready : BusState::Missing;
    auto waiting = std::move(self->waitingForBus_);
    self->waitingForBus_.clear();
    for (auto& then : waiting) then(self->bus_.get());
}

void SystemdReminderPlatform::call(const char* destination, const char* path, const char* interface,
                                   const char* method, GVariant* parameters, const char* replyType,
                                   int timeoutMs, Reply then, GDBusCallFlags flags) {
    // Held here, as the bus may come later (or never).
    std::shared_ptr<GVariant> arguments(parameters ? g_variant_ref_sink(parameters) : nullptr,
                                        [](GVariant* v) {
                                            if (v) g_variant_unref(v);
                                        });
    withBus([this, destination, path, interface, method, arguments, replyType, timeoutMs,
             then = std::move(then), flags](GDBusConnection* connection) mutable {
        if (!connection) {
            GPtr<GError> error = GPtr<GError>::adopt(
                g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED, "no session bus"));
            then(nullptr, error.get());
            return;
        }
        g_dbus_connection_call(connection, destination, path, interface, method, arguments.get(),
                               replyType ? G_VARIANT_TYPE(replyType) : nullptr, flags, timeoutMs,
                               cancellable_.get(), callDone, new CallData{this, std::move(then)});
    });
}

void SystemdReminderPlatform::callDone(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<CallData> call(static_cast<CallData*>(data));
    GPtr<GError> error;
    GPtr<GVariant> reply = GPtr<GVariant>::adopt(
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error.out()));
    if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
    call->then(reply.get(), error.get());
}

void SystemdReminderPlatform::manager(const char* method, GVariant* parameters,
                                      const char* replyType, Reply then) {
    // The bus must not try to start a manager of its own; only a running one counts.
    call(kManagerName, kManagerPath, kManagerInterface, method, parameters, replyType,
         kManagerTimeoutMs, std::move(then), G_DBUS_CALL_FLAGS_NO_AUTO_START);
}

void SystemdReminderPlatform::enqueue(Step step) {
    steps_.push_back(std::move(step));
    if (!busy_) runNext();
}

void SystemdReminderPlatform::runNext() {
    // One change at a time: a removal must not overtake the installation before it.
    if (busy_ || steps_.empty()) return;
    Step step = std::move(steps_.front());
    steps_.pop_front();
    busy_ = true;
    step([this] {
        busy_ = false;
        runNext();
    });
}

void SystemdReminderPlatform::whenIdle(std::function<void()> done) {
    enqueue([this, done = std::move(done)](std::function<void()> next) {
        loop_.post(done);
        next();
    });
}

void SystemdReminderPlatform::removePending() {
    stopFallback();
    enqueue([this](std::function<void()> next) { uninstall(std::move(next)); });
}

void SystemdReminderPlatform::addDaily(int hour, int minute) {
    std::string calendar = "*-*-* " + twoDigits(hour) + ":" + twoDigits(minute) + ":00";
    enqueue([this, calendar, hour, minute](std::function<void()> next) {
        install(calendar, Fallback{hour, minute}, std::move(next));
    });
}

void SystemdReminderPlatform::addCalendarTimer(std::string calendar) {
    enqueue([this, calendar = std::move(calendar)](std::function<void()> next) {
        install(calendar, std::nullopt, std::move(next));
    });
}

void SystemdReminderPlatform::requestAuthorisation(std::function<void(bool)> done) {
    call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
         "org.freedesktop.Notifications", "GetServerInformation", nullptr, "(ssss)",
         kAuthorisationTimeoutMs, [this, done = std::move(done)](GVariant*, GError* error) {
             bool granted = error == nullptr;
             // Always answered later, as the caller expects.
             loop_.post([done, granted] { done(granted); });
         });
}

void SystemdReminderPlatform::install(const std::string& calendar, std::optional<Fallback> fallback,
                                      std::function<void()> next) {
    call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
         g_variant_new("(s)", kManagerName), "(b)", kManagerTimeoutMs,
         [this, calendar, fallback, next](GVariant* reply, GError*) {
             gboolean present = FALSE;
             if (reply) g_variant_get(reply, "(b)", &present);
             if (!present) {
                 if (fallback) {
                     log("reminder: no systemd user manager; the reminder only fires while "
                         "Lumora is open");
                     startFallback(*fallback);
                 }
                 next();
                 return;
             }
             if (!execPathUsable(program_)) {
                 fail("the program's path " + program_ + " cannot be written in a unit", fallback);
                 next();
                 return;
             }
             g_mkdir_with_parents(unitDirectory().c_str(), 0755);
             if (writeFileAtomically(servicePath(), serviceUnitText(program_), 0644) != 0 ||
                 writeFileAtomically(timerPath(), timerUnitText(calendar), 0644) != 0) {
                 fail("cannot write the unit files in " + unitDirectory(), fallback);
                 next();
                 return;
             }
             manager("Reload", nullptr, nullptr, [this, fallback, next](GVariant*, GError* error) {
                 if (error) {
                     fail(std::string("Reload: ") + error->message, fallback);
                     next();
                     return;
                 }
                 manager("EnableUnitFiles", g_variant_new("(@asbb)", unitList(), FALSE, TRUE),
                         "(ba(sss))", [this, fallback, next](GVariant*, GError* error) {
                             // Not fatal: the started timer still fires today; only
                             // the next login would forget it.
                             if (error)
                                 log(std::string("reminder: EnableUnitFiles: ") + error->message);
                             manager("StartUnit",
                                     g_variant_new("(ss)", kReminderTimerUnit, "replace"), "(o)",
                                     [this, fallback, next](GVariant*, GError* error) {
                                         if (error)
                                             fail(std::string("StartUnit: ") + error->message,
                                                  fallback);
                                         next();
                                     });
                         });
             });
         });
}

void SystemdReminderPlatform::uninstall(std::function<void()> next) {
    bool present = g_file_test(timerPath().c_str(), G_FILE_TEST_EXISTS) ||
                   g_file_test(servicePath().c_str(), G_FILE_TEST_EXISTS);
    if (!present) {
        next();
        return;
    }
    // Errors are expected here (the manager may have gone, or never loaded the unit);
    // the files go in any case.
    manager("StopUnit", g_variant_new("(ss)", kReminderTimerUnit, "replace"), "(o)",
            [this, next](GVariant*, GError*) {
                manager("DisableUnitFiles", g_variant_new("(@asb)", unitList(), FALSE), "(a(sss))",
                        [this, next](GVariant*, GError*) {
                            g_unlink(timerPath().c_str());
                            g_unlink(servicePath().c_str());
                            manager("Reload", nullptr, nullptr,
                                    [next](GVariant*, GError*) { next(); });
                        });
            });
}

void SystemdReminderPlatform::fail(const std::string& what,
                                   const std::optional<Fallback>& fallback) {
    if (!fallback) {
        log("reminder: systemd timer not set (" + what + ")");
        return;
    }
    log("reminder: systemd timer not set (" + what +
        "); the reminder only fires while Lumora is open");
    startFallback(*fallback);
}

void SystemdReminderPlatform::startFallback(Fallback at) {
    stopFallback();
    fallbackAt_ = at;
    // Switching on during the chosen minute waits for tomorrow, like a calendar trigger.
    GDateTime* now = g_date_time_new_now_local();
    lastFiredDay_ = g_date_time_get_hour(now) == at.hour && g_date_time_get_minute(now) == at.minute
                        ? dayNumber(now)
                        : -1;
    g_date_time_unref(now);
    fallbackTimer_ = owner_.every(kFallbackTickSeconds, [this] { fallbackTick(); });
}

void SystemdReminderPlatform::stopFallback() {
    if (fallbackTimer_ == 0) return;
    owner_.cancel(fallbackTimer_);
    fallbackTimer_ = 0;
}

void SystemdReminderPlatform::fallbackTick() {
    GDateTime* now = g_date_time_new_now_local();
    bool due = g_date_time_get_hour(now) == fallbackAt_.hour &&
               g_date_time_get_minute(now) == fallbackAt_.minute && dayNumber(now) != lastFiredDay_;
    if (due) lastFiredDay_ = dayNumber(now);
    g_date_time_unref(now);
    if (!due) return;
    // The same notifier the timer would run, so a click behaves the same way.
    const char* argv[] = {program_.c_str(), "--remind", nullptr};
    GPtr<GError> error;
    if (!g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                       nullptr, nullptr, error.out()))
        log(std::string("reminder: cannot run the notifier: ") + error->message);
}

}  // namespace lumora
