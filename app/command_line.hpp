#pragma once
#include <optional>
#include <string>
#include <vector>

namespace lumora {

struct CommandLine {
    std::optional<std::string> webRoot;
    bool inspector = false;
    bool remind = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> uris;  // gift links and other URIs to open
    std::string error;              // one line when the arguments are not understood
};

CommandLine parseCommandLine(const std::vector<std::string>& args);

std::string helpText();

}  // namespace lumora
