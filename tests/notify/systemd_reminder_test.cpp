#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>

#include "notify/systemd_reminder.hpp"
#include "tests/notify/notify_rig.hpp"
#include "tests/support/fakes.hpp"

namespace lumora {
namespace {

using test::countOf;

bool spinUntil(const std::function<bool()>& done, double timeoutSeconds = 60.0) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeoutSeconds * 1e6);
    while (!done()) {
        if (g_get_monotonic_time() > deadline) return false;
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(2000);
    }
    return true;
}

// Waits until every update made so far has reached systemd: first the answer to an
// authorisation asked after them (answers come back in order), then the queue.
void settle(SystemdReminderPlatform& platform) {
    bool answered = false, idle = false;
    platform.requestAuthorisation([&](bool) { answered = true; });
    ASSERT_TRUE(spinUntil([&] { return answered; }));
    platform.whenIdle([&] { idle = true; });
    ASSERT_TRUE(spinUntil([&] { return idle; }));
}

std::string property(const test::UserManager& manager, const std::string& unit,
                     const std::string& name) {
    std::string out = manager.systemctl("show " + unit + " -p " + name + " --value");
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string analyzeNextElapse(const std::string& calendar, int iteration) {
    std::string out =
        test::runCommand("systemd-analyze calendar --iterations=2 '" + calendar + "'");
    std::string key = iteration == 1 ? "Next elapse: " : "Iter. #2: ";
    auto at = out.find(key);
    if (at == std::string::npos) return "(none in: " + out + ")";
    auto end = out.find('\n', at);
    return out.substr(at + key.size(), end - at - key.size());
}

class SystemdReminder : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string whyNot;
        manager_ = test::UserManager::start(env_, &whyNot);
        if (!manager_) GTEST_SKIP() << whyNot;
        // Before anything in this process opens the session bus.
        g_setenv("DBUS_SESSION_BUS_ADDRESS", manager_->busAddress().c_str(), TRUE);
        daemon_ = test::NotificationDaemon::start(env_, &whyNot);
        if (!daemon_) GTEST_SKIP() << whyNot;
        loop_ = makeGLibMainLoop();
        reminder_ = std::make_unique<DailyReminder>(*loop_, test::lumoraBinary());
    }
    void TearDown() override {
        reminder_.reset();
        daemon_.reset();
        manager_.reset();
    }
    std::string unitFile(const char* name) const {
        return env_.configHome() + "/systemd/user/" + name;
    }
    int lumoraTimers() const {
        return static_cast<int>(
            countOf(manager_->systemctl("list-timers --all --no-legend"), kReminderTimerUnit));
    }
    void expectDailyAt(const std::string& hhmm) {
        std::string calendar = "*-*-* " + hhmm + ":00";
        EXPECT_NE(test::readFile(unitFile(kReminderTimerUnit)).find("OnCalendar=" + calendar),
                  std::string::npos);
        EXPECT_EQ(property(*manager_, kReminderTimerUnit, "LoadState"), "loaded");
        EXPECT_EQ(property(*manager_, kReminderTimerUnit, "ActiveState"), "active");
        EXPECT_EQ(property(*manager_, kReminderTimerUnit, "UnitFileState"), "enabled");
        EXPECT_EQ(lumoraTimers(), 1);
        // The manager's next elapse is the calendar's, and the one after is a day later.
        std::string next = property(*manager_, kReminderTimerUnit, "NextElapseUSecRealtime");
        EXPECT_NE(next.find(" " + hhmm + ":00"), std::string::npos) << next;
        EXPECT_EQ(next, analyzeNextElapse(calendar, 1));
        std::string second = analyzeNextElapse(calendar, 2);
        EXPECT_NE(second.find(" " + hhmm + ":00"), std::string::npos) << second;
        EXPECT_NE(second, next);
    }

    test::TestEnv env_;
    std::unique_ptr<test::UserManager> manager_;
    std::unique_ptr<test::NotificationDaemon> daemon_;
    std::unique_ptr<MainLoop> loop_;
    std::unique_ptr<DailyReminder> reminder_;
};

TEST_F(SystemdReminder, OnReplacesAndOffRemovesTheTimer) {
    reminder_->update(true, "21:05");
    settle(reminder_->platform());
    expectDailyAt("21:05");
    std::string service = test::readFile(unitFile(kReminderServiceUnit));
    EXPECT_NE(service.find("ExecStart=\"" + test::lumoraBinary() + "\" --remind\n"),
              std::string::npos)
        << service;
    EXPECT_EQ(property(*manager_, kReminderServiceUnit, "LoadState"), "loaded");

    reminder_->update(true, "6:5");
    settle(reminder_->platform());
    expectDailyAt("06:05");

    reminder_->update(false, "6:5");
    settle(reminder_->platform());
    EXPECT_FALSE(test::fileExists(unitFile(kReminderTimerUnit)));
    EXPECT_FALSE(test::fileExists(unitFile(kReminderServiceUnit)));
    EXPECT_FALSE(test::fileExists(env_.configHome() + "/systemd/user/timers.target.wants/" +
                                  kReminderTimerUnit));
    EXPECT_EQ(property(*manager_, kReminderTimerUnit, "LoadState"), "not-found");
    EXPECT_EQ(lumoraTimers(), 0);
    EXPECT_FALSE(reminder_->platform().usingFallback());
}

TEST_F(SystemdReminder, AnOffDuringAPendingOnLeavesNoTimer) {
    reminder_->update(true, "21:05");
    reminder_->update(false, "21:05");
    settle(reminder_->platform());
    EXPECT_FALSE(test::fileExists(unitFile(kReminderTimerUnit)));
    EXPECT_EQ(lumoraTimers(), 0);

    // And an on that overtakes an earlier on keeps only its own time.
    reminder_->update(true, "21:05");
    reminder_->update(true, "6:5");
    settle(reminder_->platform());
    expectDailyAt("06:05");
}

TEST_F(SystemdReminder, ARefusedTimeLeavesNoTimer) {
    test::LogCapture logs;
    reminder_->update(true, "21:05");
    reminder_->update(true, "24:30");
    settle(reminder_->platform());
    EXPECT_EQ(lumoraTimers(), 0);
    EXPECT_FALSE(test::fileExists(unitFile(kReminderTimerUnit)));
    EXPECT_TRUE(logs.contains("reminder time refused: 24:30"));
}

TEST_F(SystemdReminder, TheTimerRunsTheNotifierWhichReachesTheDaemon) {
    // What a click opens: the desktop entry, here a stand-in that records its launch.
    std::string launched = env_.root() + "/launched";
    std::string opener = env_.root() + "/open-lumora.sh";
    test::writeFile(opener, "#!/bin/sh\necho launched >> '" + launched + "'\n");
    g_chmod(opener.c_str(), 0755);
    test::makeDirectories(env_.dataHome() + "/applications");
    test::writeFile(env_.dataHome() + "/applications/org.lumora.Lumora.desktop",
                    "[Desktop Entry]\nType=Application\nName=Lumora\nExec=" + opener + "\n");

    // A calendar a few seconds ahead, through the same installation as a daily time.
    std::time_t at = std::time(nullptr) + 6;
    char calendar[64];
    std::strftime(calendar, sizeof calendar, "*-*-* %H:%M:%S", std::localtime(&at));
    reminder_->platform().addCalendarTimer(calendar);
    settle(reminder_->platform());
    ASSERT_EQ(property(*manager_, kReminderTimerUnit, "ActiveState"), "active");

    ASSERT_TRUE(test::waitFor([&] { return daemon_->displayed() >= 1; }, 60.0))
        << "nothing reached dunst; manager log:\n"
        << manager_->log();
    EXPECT_NE(property(*manager_, kReminderServiceUnit, "ExecMainStartTimestamp"), "");

    // A click runs the default action: Lumora opens, and the notifier is done.
    test::runCommand("dunstctl action 0");
    EXPECT_TRUE(test::waitFor([&] { return test::fileExists(launched); })) << manager_->log();
    test::runCommand("dunstctl close-all");
    ASSERT_TRUE(test::waitFor([&] { return daemon_->history() >= 1; }));
    std::string history = daemon_->historyJson();
    EXPECT_NE(history.find("Time to polish my lumora 💎"), std::string::npos) << history;
    EXPECT_NE(history.find("Daily lumora · 5 minutes with my facets."), std::string::npos)
        << history;
    EXPECT_NE(history.find("\"Lumora\""), std::string::npos) << history;
    EXPECT_TRUE(test::waitFor(
        [&] { return property(*manager_, kReminderServiceUnit, "ActiveState") == "inactive"; }));
    EXPECT_EQ(property(*manager_, kReminderServiceUnit, "ExecMainStatus"), "0");
}

// Without a user manager on the bus the reminder keeps a timer of its own.
TEST(SystemdReminderFallback, WithoutAUserManagerTheProgramKeepsTheTimer) {
    test::TestEnv env({.privateBus = true});
    std::string whyNot;
    auto daemon = test::NotificationDaemon::start(env, &whyNot);
    if (!daemon) GTEST_SKIP() << whyNot;
    test::LogCapture logs;
    auto loop = makeGLibMainLoop();
    DailyReminder reminder(*loop, test::lumoraBinary());
    reminder.update(true, "21:05");
    settle(reminder.platform());
    EXPECT_TRUE(reminder.platform().usingFallback());
    EXPECT_TRUE(logs.contains(
        "reminder: no systemd user manager; the reminder only fires while Lumora is open"));
    EXPECT_FALSE(test::fileExists(env.configHome() + "/systemd/user/" + kReminderTimerUnit));

    reminder.update(false, "21:05");
    settle(reminder.platform());
    EXPECT_FALSE(reminder.platform().usingFallback());
}

TEST(SystemdReminderUnits, ExecStartKeepsOddPathsIntact) {
    test::TestEnv env;
    // systemd reads the word back as the same path: spaces, "%" and "$" included.
    std::string path = env.root() + "/odd dir 100%n $HOME/lumora";
    std::string unit = env.root() + "/check.service";
    test::writeFile(unit, SystemdReminderPlatform::serviceUnitText(path));
    std::string out = test::runCommand("systemd-analyze verify --man=no '" + unit + "' 2>&1");
    EXPECT_NE(out.find("Command " + path + " is not executable"), std::string::npos) << out;
    EXPECT_TRUE(SystemdReminderPlatform::execPathUsable(path));
    EXPECT_FALSE(SystemdReminderPlatform::execPathUsable("/a\"b/lumora"));
    EXPECT_FALSE(SystemdReminderPlatform::execPathUsable("/a\nb/lumora"));
    EXPECT_FALSE(SystemdReminderPlatform::execPathUsable("lumora"));
}

}  // namespace
}  // namespace lumora
