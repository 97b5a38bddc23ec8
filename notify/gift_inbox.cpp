#include "notify/gift_inbox.hpp"

#include <glib.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "container/base/glib_ptr.hpp"
#include "container/base/log.hpp"
#include "container/base/page_call.hpp"
#include "container/base/uri.hpp"

namespace lumora {

namespace {

bool isLetterOrNumber(GUnicodeType type) {
    switch (type) {
        case G_UNICODE_LOWERCASE_LETTER:
        case G_UNICODE_UPPERCASE_LETTER:
        case G_UNICODE_TITLECASE_LETTER:
        case G_UNICODE_MODIFIER_LETTER:
        case G_UNICODE_OTHER_LETTER:
        case G_UNICODE_DECIMAL_NUMBER:
        case G_UNICODE_LETTER_NUMBER:
        case G_UNICODE_OTHER_NUMBER:
            return true;
        default:
            return false;
    }
}

bool isMark(GUnicodeType type) {
    return type == G_UNICODE_NON_SPACING_MARK || type == G_UNICODE_SPACING_MARK ||
           type == G_UNICODE_ENCLOSING_MARK;
}

std::optional<std::string> unescape(std::string_view text) {
    std::unique_ptr<char, GFreeDeleter> plain(
        g_uri_unescape_segment(text.data(), text.data() + text.size(), nullptr));
    if (!plain) return std::nullopt;
    return std::string(plain.get());
}

// The first "g=" item of an encoded query, decoded. Nothing when there is none, when
// it has no "=", or when the query is not well encoded up to it.
std::optional<std::string> firstGiftItem(std::string_view query) {
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t amp = query.find('&', start);
        std::size_t end = amp == std::string_view::npos ? query.size() : amp;
        std::string_view item = query.substr(start, end - start);
        std::size_t equals = item.find('=');
        auto name = unescape(item.substr(0, equals));
        if (!name) return std::nullopt;
        if (*name == "g") {
            if (equals == std::string_view::npos) return std::nullopt;
            return unescape(item.substr(equals + 1));
        }
        if (amp == std::string_view::npos) break;
        start = amp + 1;
    }
    return std::nullopt;
}

// Counts user-perceived characters (a base with its combining marks) while checking
// that each is a letter, a number, "-" or "_". Nothing when one is not.
std::optional<std::size_t> countCodeCharacters(const std::string& value) {
    if (!g_utf8_validate(value.data(), static_cast<gssize>(value.size()), nullptr))
        return std::nullopt;
    std::size_t characters = 0;
    for (const char* p = value.data(); p < value.data() + value.size(); p = g_utf8_next_char(p)) {
        gunichar c = g_utf8_get_char(p);
        GUnicodeType type = g_unichar_type(c);
        if (isMark(type)) {
            if (characters == 0) return std::nullopt;
            continue;
        }
        if (c != '-' && c != '_' && !isLetterOrNumber(type)) return std::nullopt;
        ++characters;
        // Checking every character of a huge value would be wasted work.
        if (characters > GiftInbox::kMaxCodeLength) return std::nullopt;
    }
    return characters;
}

}  // namespace

GiftInbox::GiftInbox(std::function<bool()> pageLoaded) : pageLoaded_(std::move(pageLoaded)) {}

void GiftInbox::setWebView(WeakPageView view) {
    webView_ = std::move(view);
}

void GiftInbox::setSchemes(std::vector<std::string> schemes) {
    schemes_ = std::move(schemes);
}

std::optional<GiftInbox::Code> GiftInbox::giftCode(const std::string& url,
                                                   const std::vector<std::string>& schemes) {
    // The scheme as written: "LUMORA-GIFT" is not a gift link.
    auto scheme = uriScheme(url);
    if (!scheme || scheme->empty()) return std::nullopt;
    if (std::find(schemes.begin(), schemes.end(), *scheme) == schemes.end()) return std::nullopt;

    GPtr<GUri> parsed =
        GPtr<GUri>::adopt(g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED_QUERY, nullptr));
    if (!parsed) return std::nullopt;
    const char* query = g_uri_get_query(parsed.get());
    if (!query) return std::nullopt;

    auto value = firstGiftItem(query);
    if (!value) return std::nullopt;
    auto characters = countCodeCharacters(*value);
    if (!characters) return std::nullopt;
    return Code{std::move(*value), *characters};
}

void GiftInbox::receive(const std::string& url) {
    auto code = giftCode(url, schemes_);
    if (!code) return;
    pending_ = std::move(code->value);
    log("gift received (" + std::to_string(code->characters) + " chars)");
    deliver();
}

void GiftInbox::deliver() {
    if (!pending_) return;
    auto page = webView_.lock();
    if (!page) return;
    // While the page reloads (after its web process died) it has no __lmGift yet and
    // would drop the call; the delivery after the next load hands the code over.
    if (pageLoaded_ && !pageLoaded_()) return;
    std::string code = std::move(*pending_);
    pending_.reset();
    // The character checks keep the code a valid single-quoted script string.
    page->evaluate(pageCall("__lmGift", "'" + code + "'"));
}

}  // namespace lumora
