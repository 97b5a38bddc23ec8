// The reminder's time text: whatever the page sends, the daily request is only ever
// added for a real time of day, and well-formed times arrive unchanged.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "container/base/log.hpp"
#include "fuzz/fuzz_check.hpp"
#include "notify/reminder.hpp"

namespace {

struct Platform final : lumora::ReminderPlatform {
    void removePending() override { ++removals; }
    void requestAuthorisation(std::function<void(bool)> done) override { done(true); }
    void addDaily(int h, int m) override {
        ++adds;
        hour = h;
        minute = m;
    }
    int removals = 0, adds = 0, hour = -1, minute = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string time(reinterpret_cast<const char*>(data), size);
    lumora::setLogSink([](std::string_view) {});
    Platform platform;
    {
        lumora::Reminder reminder(platform);
        reminder.update(true, time);
        FUZZ_CHECK(platform.removals == 1);
        FUZZ_CHECK(platform.adds <= 1);
        if (platform.adds) {
            FUZZ_CHECK(platform.hour >= 0 && platform.hour <= 23);
            FUZZ_CHECK(platform.minute >= 0 && platform.minute <= 59);
            auto parsed = lumora::Reminder::parseTime(time);
            FUZZ_CHECK(parsed.hour == platform.hour && parsed.minute == platform.minute);
        }
        reminder.update(false, time);
        FUZZ_CHECK(platform.adds <= 1 && platform.removals == 2);
    }
    // Two bytes of the input as a time of day, written the usual way, read back as is.
    if (size >= 2) {
        int h = data[0] % 24, m = data[1] % 60;
        char text[8];
        std::snprintf(text, sizeof text, "%02d:%02d", h, m);
        auto parsed = lumora::Reminder::parseTime(text);
        FUZZ_CHECK(parsed.hour == h && parsed.minute == m);
    }
    lumora::setLogSink(nullptr);
    return 0;
}
