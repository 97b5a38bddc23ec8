#pragma once
#include <functional>
#include <optional>
#include <string>

namespace lumora {

// What the desktop's media controls show for the open session.
struct NowPlayingInfo {
    std::string session;  // the session id, which names the track
    std::string title;
    std::string artist;
    double duration = 0;
    double elapsed = 0;
    double rate = 0;
    std::optional<std::string> artworkFile;
};

enum class CommandStatus { Success, Failed };

// The session's answers to media keys and remote controls. Each runs on the main
// thread and does nothing once the session object has gone.
struct RemoteCommands {
    std::function<CommandStatus()> play;
    std::function<CommandStatus()> pause;
    std::function<CommandStatus()> toggle;
    std::function<CommandStatus()> skipForward;
    std::function<CommandStatus()> skipBackward;
    // The session time in seconds to move to.
    std::function<CommandStatus(double)> changePosition;
    // The live position, for clients that poll it.
    std::function<double()> position;
};

// The desktop's Now Playing display and remote command centre.
class NowPlayingCenter {
  public:
    virtual ~NowPlayingCenter() = default;
    // Nothing clears the display.
    virtual void setNowPlaying(const std::optional<NowPlayingInfo>& info) = 0;
    virtual void setPlaybackState(bool playing) = 0;
    // Called once per process.
    virtual void registerCommands(RemoteCommands commands) = 0;
};

}  // namespace lumora
