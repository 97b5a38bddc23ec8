#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumora {

// Typed access to the fields of a page message. The web process is not trusted: a field
// counts only when its key exists and its value has the expected kind; otherwise the
// caller's default applies.
namespace field {

const nlohmann::json* find(const nlohmann::json& body, const char* key);
std::optional<std::string> string(const nlohmann::json& body, const char* key);
std::string string(const nlohmann::json& body, const char* key, const std::string& fallback);
bool boolean(const nlohmann::json& body, const char* key, bool fallback);
std::optional<double> number(const nlohmann::json& body, const char* key);
double number(const nlohmann::json& body, const char* key, double fallback);
// A JSON number with an integral value within the 64-bit range (3.0 counts, 3.5 does not).
std::optional<std::int64_t> integer(const nlohmann::json& body, const char* key);
// An object, or an empty object.
nlohmann::json dictionary(const nlohmann::json& body, const char* key);
// An array whose every element is an object.
const nlohmann::json* arrayOfDictionaries(const nlohmann::json& body, const char* key);

}  // namespace field

// The textual form of any value, as the "log" message writes it: strings unchanged,
// everything else as compact JSON.
std::string textualForm(const nlohmann::json& value);

// Compact JSON text; nothing when the value cannot be serialised (invalid UTF-8).
std::optional<std::string> compactJson(const nlohmann::json& value);

// Whether JSON text nests arrays and objects at most maxDepth deep. Messages deeper than
// that are dropped before parsing: copying and printing a value recurse over its depth.
bool nestingWithin(std::string_view jsonText, int maxDepth);

// Replaces each unpaired UTF-16 surrogate escape ("\\ud83d" without its partner) in the
// strings and keys of JSON text by "\\ufffd", in place, and returns how many it replaced.
// Page strings may hold them (a text cut through an emoji); JSON parsers refuse them.
std::size_t replaceLoneSurrogates(std::string& jsonText);
// The same, with the one log line a message that needed it gets.
void replaceLoneSurrogatesLogged(std::string& jsonText);
void logReplacedSurrogates(std::size_t replaced);

// True for a top-level object or array with only finite numbers inside.
bool isJsonDocument(const nlohmann::json& value);

}  // namespace lumora
