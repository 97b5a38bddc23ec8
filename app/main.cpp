#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "app/lumora_app.hpp"
#include "app/lumora_resources.hpp"
#include "notify/reminder_notification.hpp"

#ifndef LUMORA_VERSION
#define LUMORA_VERSION "0"
#endif

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    auto commandLine = lumora::parseCommandLine(args);
    if (!commandLine.error.empty()) {
        std::fprintf(stderr, "lumora: %s\n", commandLine.error.c_str());
        return 2;
    }
    if (commandLine.help) {
        std::fputs(lumora::helpText().c_str(), stdout);
        return 0;
    }
    if (commandLine.version) {
        std::printf("lumora %s\n", LUMORA_VERSION);
        return 0;
    }
    if (commandLine.remind) return lumora::showReminderNotification(lumora::currentProgram());
    std::string tried;
    auto webRoot = lumora::LumoraResources::webRoot(commandLine.webRoot, &tried);
    if (!webRoot) {
        std::fprintf(stderr, "lumora: the page's directory %s does not exist\n",
                     tried.empty() ? "(none)" : tried.c_str());
        return 1;
    }
    lumora::LumoraApplication app(std::move(commandLine), *webRoot);
    return app.run(args[0]);
}
