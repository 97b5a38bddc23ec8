#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "notify/reminder.hpp"
#include "tests/support/fakes.hpp"

namespace lumora {
namespace {

TEST(ReminderTime, ParsesTheTimeTexts) {
    struct Case {
        const char* text;
        std::int64_t hour;
        std::int64_t minute;
    };
    const Case cases[] = {
        {"07:30", 7, 30},  {"21:05", 21, 5},
        {"6:5", 6, 5},     {"9", 9, 30},
        {"", 7, 30},       {":45", 45, 30},
        {"x:15", 15, 30},  {"7:30:59", 7, 30},
        {"+8:-0", 8, 0},   {"::", 7, 30},
        {" 8:15", 15, 30}, {"8 :15", 15, 30},
        {"0x10:5", 5, 30}, {"99999999999999999999:12", 12, 30},
        {"-3:5", -3, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Reminder::parseTime(c.text), (ReminderTime{c.hour, c.minute}));
    }
    // The 64-bit bounds themselves convert.
    EXPECT_EQ(Reminder::parseTime("-9223372036854775808:9223372036854775807"),
              (ReminderTime{INT64_MIN, INT64_MAX}));
    EXPECT_EQ(Reminder::parseTime("9223372036854775808:1"), (ReminderTime{1, 30}));
}

// Records what the reminder asks of the platform; authorisation answers wait until
// the test gives them.
class FakePlatform final : public ReminderPlatform {
  public:
    void removePending() override {
        events.push_back("remove");
        pending.reset();
    }
    void requestAuthorisation(std::function<void(bool)> done) override {
        events.push_back("authorise");
        answers.push_back(std::move(done));
    }
    void addDaily(int hour, int minute) override {
        events.push_back("add " + std::to_string(hour) + ":" + std::to_string(minute));
        pending = std::pair{hour, minute};
    }
    void answer(std::size_t index, bool granted) { answers.at(index)(granted); }

    std::vector<std::string> events;
    std::vector<std::function<void(bool)>> answers;
    std::optional<std::pair<int, int>> pending;
};

TEST(Reminder, OnRemovesFirstThenAddsOnceAuthorised) {
    FakePlatform platform;
    Reminder reminder(platform);
    reminder.update(true, "21:05");
    EXPECT_EQ(platform.events, (std::vector<std::string>{"remove", "authorise"}));
    EXPECT_FALSE(platform.pending);
    platform.answer(0, true);
    EXPECT_EQ(platform.pending, (std::pair{21, 5}));

    // Off removes it and asks for nothing.
    reminder.update(false, "21:05");
    EXPECT_EQ(platform.events.back(), "remove");
    EXPECT_EQ(platform.answers.size(), 1u);
    EXPECT_FALSE(platform.pending);
}

TEST(Reminder, DeniedAuthorisationLeavesNothingPending) {
    FakePlatform platform;
    Reminder reminder(platform);
    reminder.update(true, "07:30");
    platform.answer(0, true);
    reminder.update(true, "08:00");
    platform.answer(1, false);
    EXPECT_FALSE(platform.pending);
}

TEST(Reminder, TheLatestSwitchWinsOverEarlierAnswers) {
    FakePlatform platform;
    Reminder reminder(platform);
    // Off while an on waits for its answer: the late answer must not add a request.
    reminder.update(true, "21:05");
    reminder.update(false, "");
    platform.answer(0, true);
    EXPECT_FALSE(platform.pending);

    // Two ons answered in the wrong order: the later time stays.
    reminder.update(true, "21:05");
    reminder.update(true, "6:5");
    platform.answer(2, true);
    platform.answer(1, true);
    EXPECT_EQ(platform.pending, (std::pair{6, 5}));
    EXPECT_EQ(std::count(platform.events.begin(), platform.events.end(), "add 6:5"), 1);
    EXPECT_EQ(std::count(platform.events.begin(), platform.events.end(), "add 21:5"), 0);
}

TEST(Reminder, OutOfRangeTimesAreRefusedWithALogLine) {
    test::LogCapture logs;
    FakePlatform platform;
    Reminder reminder(platform);
    const char* refused[] = {":45", "24:00", "-1:10", "7:60", "12:-5"};
    for (const char* time : refused) {
        reminder.update(true, time);
        platform.answer(platform.answers.size() - 1, true);
        EXPECT_FALSE(platform.pending) << time;
    }
    EXPECT_TRUE(logs.contains("[Lumora] reminder time refused: 45:30"));
    EXPECT_TRUE(logs.contains("[Lumora] reminder time refused: 7:60"));
    reminder.update(true, "23:59");
    platform.answer(platform.answers.size() - 1, true);
    EXPECT_EQ(platform.pending, (std::pair{23, 59}));
    reminder.update(true, "0:0");
    platform.answer(platform.answers.size() - 1, true);
    EXPECT_EQ(platform.pending, (std::pair{0, 0}));
}

TEST(Reminder, AnAnswerAfterTheReminderIsGoneIsIgnored) {
    FakePlatform platform;
    {
        Reminder reminder(platform);
        reminder.update(true, "07:30");
    }
    platform.answer(0, true);
    EXPECT_FALSE(platform.pending);
}

}  // namespace
}  // namespace lumora
