#pragma once
#include <optional>
#include <string>

namespace lumora {

struct StartupValues {
    std::optional<std::string> stateText;  // the saved state's JSON text
    std::string hostName;
    double topInset = 0;
    std::string screen = "intro";
    std::string extraScript;
    std::string platform = "linux";
};

// The one user script installed at document start, pieces joined with nothing between.
std::string buildStartupScript(const StartupValues& values);

}  // namespace lumora
