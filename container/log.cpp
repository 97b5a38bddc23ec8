#include "container/log.hpp"

#include <glib.h>

#include <cstdio>
#include <string>

namespace lumora {
namespace {

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

}  // namespace

void log(std::string_view message) {
    std::string line = "[Lumora] ";
    line.append(message);
    if (sink())
        sink()(line);
    else
        defaultSink(line);
}

void setLogSink(LogSink newSink) { sink() = std::move(newSink); }

}  // namespace lumora
