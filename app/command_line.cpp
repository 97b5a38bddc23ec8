#include "app/command_line.hpp"

namespace lumora {

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine cl;
    bool optionsDone = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsDone || arg.empty() || arg[0] != '-' || arg == "-") {
            cl.uris.push_back(arg);
        } else if (arg == "--") {
            optionsDone = true;
        } else if (arg == "--help" || arg == "-h") {
            cl.help = true;
        } else if (arg == "--version") {
            cl.version = true;
        } else if (arg == "--inspector") {
            cl.inspector = true;
        } else if (arg == "--remind") {
            cl.remind = true;
        } else if (arg == "--web-root") {
            if (i + 1 >= args.size()) {
                cl.error = "option --web-root needs a directory";
                return cl;
            }
            cl.webRoot = args[++i];
        } else if (arg.starts_with("--web-root=")) {
            cl.webRoot = arg.substr(11);
        } else {
            cl.error = "unknown option " + arg + " (see --help)";
            return cl;
        }
    }
    return cl;
}

std::string helpText() {
    return "Usage: lumora [OPTION…] [LUMORA-GIFT-LINK]\n"
           "A calm daily ritual: one facet of your gem, five minutes a day.\n"
           "\n"
           "Options:\n"
           "  --web-root DIR   serve the page from DIR instead of the installed one\n"
           "                   (also $LUMORA_WEB_ROOT)\n"
           "  --inspector      enable the web inspector (right click, Inspect Element)\n"
           "  --remind         show the daily reminder notification and exit\n"
           "  --version        print the version and exit\n"
           "  -h, --help       print this help and exit\n";
}

}  // namespace lumora
