#pragma once
// A session on the virtual output with its MPRIS service on the test's private bus, for
// tests that drive the service from outside as other programs do.
#include <nlohmann/json.hpp>

#include <memory>
#include <string>

#include "audio/mpris_service.hpp"
#include "audio/session_audio.hpp"
#include "audio/virtual_audio_output.hpp"
#include "container/base/main_loop.hpp"
#include "tests/support/fakes.hpp"
#include "tests/support/test_env.hpp"

namespace lumora::test {

struct MprisSessionRig {
    TestEnv env{TestEnv::Options{.privateBus = true}};
    std::unique_ptr<MainLoop> loop = makeGLibMainLoop();
    VirtualAudioOutput output{*loop};
    int raised = 0;
    int quits = 0;
    MprisService mpris{MprisService::Actions{[this] { ++raised; }, [this] { ++quits; },
                                             [this] { return loop->now(); }}};
    std::shared_ptr<FakePageView> page = std::make_shared<FakePageView>();
    std::string webRoot = env.root() + "/web";
    SessionAudio audio{*loop, output, &mpris,
                       SessionAudioEnvironment{
                           [this] { return env.cacheHome(); }, [this] { return webRoot; }, {}}};

    void send(const nlohmann::json& body) { audio.handle(body["type"].get<std::string>(), body); }
    // Every message sent so far has taken effect: chunk files written and read back, and
    // the messages that waited behind them applied.
    bool settled() const { return audio.writesPending() == 0 && audio.messagesWaiting() == 0; }
};

}  // namespace lumora::test
