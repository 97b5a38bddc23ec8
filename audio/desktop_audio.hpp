#pragma once
#include "audio/mpris_service.hpp"
#include "audio/pulse_output.hpp"
#include "audio/session_audio.hpp"

namespace lumora {

// The session object with its desktop parts: PulseAudio output and MPRIS.
class DesktopSessionAudio final : public AudioMessages {
  public:
    DesktopSessionAudio(MainLoop& loop, MprisService::Actions actions,
                        SessionAudioEnvironment environment)
        : mpris_(std::move(actions)), session_(loop, output_, &mpris_, std::move(environment)) {}

    void setWebView(WeakPageView view) override { session_.setWebView(std::move(view)); }
    void handle(const std::string& type, nlohmann::json body) override {
        session_.handle(type, std::move(body));
    }

    SessionAudio& session() { return session_; }
    PulseOutput& output() { return output_; }
    MprisService& mpris() { return mpris_; }

  private:
    // Declared before the session, which uses them until it is destroyed.
    PulseOutput output_;
    MprisService mpris_;
    SessionAudio session_;
};

}  // namespace lumora
