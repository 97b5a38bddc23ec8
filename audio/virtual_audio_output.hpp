#pragma once
#include <deque>
#include <mutex>
#include <vector>

#include "audio/audio_output.hpp"
#include "container/base/main_loop.hpp"

namespace lumora {

// An ideal output that renders on a timer of the given main loop: with a fake loop's
// manual clock it plays an hour in moments. Its node time advances while it plays, with
// or without buffers, like a real player node.
class VirtualAudioOutput final : public AudioOutput {
  public:
    explicit VirtualAudioOutput(MainLoop& loop, double step = 0.01);
    ~VirtualAudioOutput() override;

    void configure(double sampleRate) override;
    bool start() override;
    bool isRunning() const override { return running_; }
    void stopEngine() override;
    void schedule(std::shared_ptr<const PcmBuffer> buffer,
                  std::function<void()> completion) override;
    void play() override;
    void pause() override;
    void stop() override;
    std::optional<double> playerTime() const override;
    void setConfigurationChangeHandler(std::function<void()> handler) override;

    // Renders this many frames now, as the timer would.
    void renderFrames(std::uint64_t frames);
    // Calls the configuration-change handler, as a device change would.
    void simulateConfigurationChange();

    // Test controls and observations.
    bool failStart = false;
    bool capture = false;
    std::vector<float> captured;  // interleaved, silence included while playing idle
    std::size_t scheduledCount() const { return queue_.size(); }
    std::size_t maxScheduled = 0;
    int starts = 0;
    bool nodePlaying() const { return state_ == State::Playing; }

  private:
    enum class State { Stopped, Playing, Paused };
    struct Item {
        std::shared_ptr<const PcmBuffer> buffer;
        std::uint32_t position = 0;
        std::function<void()> completion;
    };
    void onTimer();

    MainLoop& loop_;
    double step_;
    double rate_ = 44100;
    bool running_ = false;
    State state_ = State::Stopped;
    std::uint64_t sampleTime_ = 0;
    double lastRender_ = 0;
    double carry_ = 0;
    std::optional<MainLoop::TimerId> timer_;
    std::deque<Item> queue_;
    std::function<void()> changeHandler_;
};

}  // namespace lumora
