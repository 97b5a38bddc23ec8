#pragma once
// What the benchmarks save: a state shaped like the page's, and a scratch directory.
#include <glib.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace lumora::bench {

// Something like what the page keeps: a journal of sessions with dates, kinds, numbers
// and short notes in a language with a skewed vocabulary, plus settings.
inline nlohmann::json appLikeState(std::size_t targetBytes) {
    std::mt19937 random(42);
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<std::string> words;
    const char* syllables[] = {"lu", "mo", "ra", "ka", "ti", "se", "no", "vi", "da", "qu",
                               "el", "an", "or", "is", "um", "be", "fe", "go", "hy", "ja"};
    for (int i = 0; i < 800; ++i) {
        std::string word;
        int length = 1 + static_cast<int>(random() % 3);
        for (int s = 0; s < length; ++s) word += syllables[random() % 20];
        words.push_back(word);
    }
    // Common words are far more common than rare ones.
    auto word = [&] { return words[static_cast<std::size_t>(800 * std::pow(unit(random), 3))]; };
    auto sentence = [&](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += (i ? " " : "") + word();
        return text;
    };
    const char* kinds[] = {"breath", "body-scan", "sleep", "focus", "walk", "gratitude"};
    const char* tags[] = {"morning", "evening", "work",  "calm",    "tired", "anxious",
                          "rested",  "outside", "music", "silence", "long",  "short"};
    nlohmann::json state = {
        {"version", 7},
        {"settings", {{"theme", "night"}, {"voice", "calm"}, {"reminder", "07:30"}}}};
    nlohmann::json& sessions = state["sessions"] = nlohmann::json::array();
    long long when = 1760000000;
    std::size_t size = 0;
    for (int i = 0; size < targetBytes; ++i) {
        when += 3600 + random() % 50000;
        char date[32];
        time_t t = static_cast<time_t>(when);
        std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
        nlohmann::json entry = {{"id", "s" + std::to_string(100000 + i)},
                                {"date", date},
                                {"kind", kinds[random() % 6]},
                                {"minutes", 5 + static_cast<int>(random() % 8) * 5},
                                {"completed", random() % 5 != 0},
                                {"mood", {{"before", random() % 5}, {"after", random() % 5}}},
                                {"tags", {tags[random() % 12], tags[random() % 12]}}};
        if (random() % 3 == 0) entry["note"] = sentence(4 + static_cast<int>(random() % 20));
        size += entry.dump().size() + 1;
        sessions.push_back(std::move(entry));
    }
    return state;
}

inline std::string temporaryRoot() {
    char templ[] = "/tmp/lumora-bench-XXXXXX";
    return g_mkdtemp(templ) ? templ : "/tmp";
}

}  // namespace lumora::bench
