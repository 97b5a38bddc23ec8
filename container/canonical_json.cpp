#include "container/canonical_json.hpp"

#include <simdjson.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>
#include <vector>

namespace lumora {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// Far deeper than any state the page keeps; the printing below recurses.
constexpr int kMaxDepth = 1000;

// Escapes as nlohmann::json::dump does: the two-character forms where JSON has them,
// other control characters as \u00xx, everything else (UTF-8 included) as it is.
void appendString(std::string& out, std::string_view text) {
    out += '"';
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text, start, i - start);
        start = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default: {
                char escape[7];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            }
        }
    }
    out.append(text, start, std::string_view::npos);
    out += '"';
}

// Prints one tree. Members of all open objects share one scratch list, so a state of
// many small objects costs no allocation per object.
class Printer {
  public:
    explicit Printer(std::string& out) : out_(out) {}

    bool append(element value, int depth) {
        if (depth > kMaxDepth) return false;
        switch (value.type()) {
            case element_type::ARRAY: {
                out_ += '[';
                bool first = true;
                simdjson::dom::array items = value.get_array().value_unsafe();
                for (element item : items) {
                    if (!first) out_ += ',';
                    first = false;
                    if (!append(item, depth + 1)) return false;
                }
                out_ += ']';
                return true;
            }
            case element_type::OBJECT:
                return appendObject(value.get_object().value_unsafe(), depth);
            case element_type::STRING:
                appendString(out_, value.get_string().value_unsafe());
                return true;
            case element_type::INT64:
                appendNumber(value.get_int64().value_unsafe());
                return true;
            case element_type::UINT64:
                appendNumber(value.get_uint64().value_unsafe());
                return true;
            case element_type::DOUBLE:
                // The tree's own printing of doubles, so both ways store the same digits.
                out_ += nlohmann::json(value.get_double().value_unsafe()).dump();
                return true;
            case element_type::BOOL:
                out_ += value.get_bool().value_unsafe() ? "true" : "false";
                return true;
            case element_type::NULL_VALUE:
                out_ += "null";
                return true;
        }
        return false;
    }

  private:
    struct Member {
        std::string_view key;
        std::size_t order;  // position in the text: of equal keys the last one counts
        element value;
    };

    bool appendObject(simdjson::dom::object fields, int depth) {
        std::size_t begin = scratch_.size();
        for (auto field : fields)
            scratch_.push_back({field.key, scratch_.size() - begin, field.value});
        auto first = scratch_.begin() + static_cast<std::ptrdiff_t>(begin);
        std::sort(first, scratch_.end(), [](const Member& a, const Member& b) {
            return a.key != b.key ? a.key < b.key : a.order < b.order;
        });
        out_ += '{';
        bool written = false;
        // Indices, not iterators: nested objects grow the scratch list.
        for (std::size_t i = begin; i < scratch_.size(); ++i) {
            if (i + 1 < scratch_.size() && scratch_[i + 1].key == scratch_[i].key) continue;
            if (written) out_ += ',';
            written = true;
            appendString(out_, scratch_[i].key);
            out_ += ':';
            std::size_t end = scratch_.size();
            bool ok = append(scratch_[i].value, depth + 1);
            scratch_.resize(end);
            if (!ok) return false;
        }
        out_ += '}';
        scratch_.resize(begin);
        return true;
    }

    template <typename Integer>
    void appendNumber(Integer number) {
        char digits[24];
        auto result = std::to_chars(digits, digits + sizeof digits, number);
        out_.append(digits, result.ptr);
    }

    std::string& out_;
    std::vector<Member> scratch_;
};

}  // namespace

std::optional<std::string> canonicalJson(std::string_view text) {
    // Kept between calls: a parser sized for a large state costs more to fault in afresh
    // than the parse itself.
    thread_local simdjson::dom::parser parser;
    simdjson::padded_string padded(text);
    element root;
    if (parser.parse(padded).get(root) != simdjson::SUCCESS) return std::nullopt;
    if (root.type() != element_type::OBJECT && root.type() != element_type::ARRAY)
        return std::nullopt;
    std::string out;
    out.reserve(text.size());
    if (!Printer(out).append(root, 0)) return std::nullopt;
    return out;
}

}  // namespace lumora
