#include "notify/reminder.hpp"

#include <charconv>
#include <optional>
#include <vector>

#include "container/base/log.hpp"

namespace lumora {

namespace {

// An optional sign and one or more ASCII digits, nothing else, within 64 bits.
std::optional<std::int64_t> decimalInteger(std::string_view piece) {
    std::string_view digits = piece;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    // Parsed with the sign, so that the most negative value is in range.
    std::string text = (negative ? "-" : "") + std::string(digits);
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

Reminder::Reminder(ReminderPlatform& platform) : platform_(platform) {}

Reminder::~Reminder() = default;

ReminderTime Reminder::parseTime(std::string_view time) {
    std::vector<std::int64_t> parts;
    std::size_t start = 0;
    while (start <= time.size()) {
        std::size_t colon = time.find(':', start);
        std::size_t end = colon == std::string_view::npos ? time.size() : colon;
        std::string_view piece = time.substr(start, end - start);
        if (!piece.empty())
            if (auto value = decimalInteger(piece)) parts.push_back(*value);
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    ReminderTime result;
    if (!parts.empty()) result.hour = parts[0];
    if (parts.size() >= 2) result.minute = parts[1];
    return result;
}

void Reminder::update(bool enabled, const std::string& time) {
    std::uint64_t generation = ++generation_;
    platform_.removePending();
    if (!enabled) return;
    platform_.requestAuthorisation(
        [this, alive = lifetime_.token(), time, generation](bool granted) {
            if (!alive.expired()) schedule(granted, time, generation);
        });
}

void Reminder::schedule(bool granted, const std::string& time, std::uint64_t generation) {
    // A later switch (off, or on at another time) has already decided.
    if (generation != generation_) return;
    if (!granted) return;
    ReminderTime at = parseTime(time);
    // A daily calendar cannot hold these; refusing beats firing at a surprising time.
    if (at.hour < 0 || at.hour > 23 || at.minute < 0 || at.minute > 59) {
        log("reminder time refused: " + std::to_string(at.hour) + ":" + std::to_string(at.minute) +
            " is not a time of day");
        return;
    }
    platform_.addDaily(static_cast<int>(at.hour), static_cast<int>(at.minute));
}

}  // namespace lumora
