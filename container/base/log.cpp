#include "container/base/log.hpp"

#include <glib.h>

#include <cstdio>
#include <string>

namespace lumora {
namespace {

// Long enough for any line of ours; a page cannot flood the journal with one message.
constexpr std::size_t kMaxLineBytes = 4096;

LogSink& sink() {
    static LogSink current;
    return current;
}

void defaultSink(std::string_view line) {
    static const bool toJournal = g_log_writer_is_journald(fileno(stderr));
    if (toJournal) {
        std::string text(line);
        const GLogField fields[] = {
            {"MESSAGE", text.c_str(), -1},
            {"PRIORITY", "6", -1},
            {"SYSLOG_IDENTIFIER", "lumora", -1},
            {"GLIB_DOMAIN", "Lumora", -1},
        };
        if (g_log_writer_journald(G_LOG_LEVEL_INFO, fields, G_N_ELEMENTS(fields), nullptr) ==
            G_LOG_WRITER_HANDLED)
            return;
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void appendEscape(std::string& out, const char* format, unsigned value) {
    char code[8];
    std::snprintf(code, sizeof code, format, value);
    out += code;
}

}  // namespace

std::string logSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        auto byte = static_cast<unsigned char>(*p);
        if (byte < 0x80) {
            if (byte == '\n')
                out += "\\n";
            else if (byte == '\r')
                out += "\\r";
            else if (byte == '\t')
                out += "\\t";
            else if (byte < 0x20 || byte == 0x7f)
                appendEscape(out, "\\x%02x", byte);
            else
                out += static_cast<char>(byte);
            ++p;
            continue;
        }
        gunichar c = g_utf8_get_char_validated(p, end - p);
        if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
            appendEscape(out, "\\x%02x", byte);  // not UTF-8: shown, never passed on raw
            ++p;
            continue;
        }
        const char* next = g_utf8_next_char(p);
        if (c >= 0x80 && c <= 0x9f)
            appendEscape(out, "\\u%04x", c);  // C1 controls reach terminals as escapes
        else
            out.append(p, next);
        p = next;
    }
    return out;
}

void log(std::string_view message) {
    std::string line = "[Lumora] ";
    line += logSafe(message);
    if (line.size() > kMaxLineBytes) {
        std::size_t cut = kMaxLineBytes - 3;
        // Escapes are ASCII, so only a multi-byte character can straddle the cut.
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xc0) == 0x80) --cut;
        line.resize(cut);
        line += "…";
    }
    if (sink())
        sink()(line);
    else
        defaultSink(line);
}

void setLogSink(LogSink newSink) {
    sink() = std::move(newSink);
}

}  // namespace lumora
