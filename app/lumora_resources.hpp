#pragma once
#include <optional>
#include <string>

namespace lumora {

// Where the program's files live.
namespace LumoraResources {

// The page's root: --web-root, then $LUMORA_WEB_ROOT, then <prefix>/share/lumora/web
// beside the executable, then the source tree's web/ for a build tree.
// Nothing when the chosen directory does not exist.
std::optional<std::string> webRoot(const std::optional<std::string>& commandLineRoot,
                                   std::string* tried = nullptr);

// Set once at start-up by the program; read by services (artwork, scheme handler).
void setWebRoot(std::string root);
const std::string& currentWebRoot();

// $XDG_DATA_HOME/Lumora
std::string dataDirectory();
// $XDG_CONFIG_HOME/Lumora
std::string configDirectory();
// A directory private to the user (0700) under $XDG_CACHE_HOME/Lumora/tmp.
std::string temporaryDirectory();

}  // namespace LumoraResources

}  // namespace lumora
