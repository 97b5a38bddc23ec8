#pragma once
#include <pulse/pulseaudio.h>

#include <deque>
#include <string>
#include <vector>

#include "audio/audio_output.hpp"

namespace lumora {

// The player node on a PulseAudio (or PipeWire pulse) server: a float32 stereo stream
// fed from a queue of scheduled buffers. Every run after a stop gets a fresh stream, so
// the stream's own clock (pa_stream_get_time) is the node's time. Callbacks run on the
// pa_threaded_mainloop thread and only post; all state is guarded by its lock.
class PulseOutput final : public AudioOutput {
  public:
    // Seconds buffered in the server, and per refill: a long session needs no low latency
    // (pause corks and a new position starts a fresh stream), and every refill wakes the
    // program and the server.
    static constexpr double kTargetLatency = 0.5;
    static constexpr double kRequestSize = 0.1;

    explicit PulseOutput(std::string applicationName = "Lumora");
    ~PulseOutput() override;
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    void configure(double sampleRate) override;
    bool start() override;
    bool isRunning() const override;
    void stopEngine() override;
    void schedule(std::shared_ptr<const PcmBuffer> buffer,
                  std::function<void()> completion) override;
    void play() override;
    void pause() override;
    void stop() override;
    std::optional<double> playerTime() const override;
    void setConfigurationChangeHandler(std::function<void()> handler) override;

    // The server's index of the current stream, or -1 (for tests).
    int streamIndex() const;

  private:
    enum class Node { Stopped, Playing, Paused };
    struct Item {
        std::shared_ptr<const PcmBuffer> buffer;
        std::uint32_t written = 0;  // frames handed to the server
        std::function<void()> completion;
    };
    struct Pending {
        std::uint64_t endFrame;
        std::function<void()> completion;
    };
    class Lock;

    // All below run with the mainloop lock held.
    void connectContext();
    void scheduleReconnect();
    void createStream();
    void destroyStream();
    void writeAvailable(std::size_t bytes);
    void completePlayed(bool allWritten);
    std::optional<double> streamTime() const;
    void notifyChange();
    void armPoll();
    pa_usec_t nextPollDelay() const;

    static void onContextState(pa_context* context, void* self);
    static void onSubscription(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                               void* self);
    static void onServerInfo(pa_context*, const pa_server_info* info, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onStreamWrite(pa_stream*, size_t bytes, void* self);
    static void onStreamUnderflow(pa_stream*, void* self);
    static void onStreamMoved(pa_stream*, void* self);
    static void onPoll(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
    static void onReconnect(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);

    std::string name_;
    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    pa_time_event* poll_ = nullptr;
    pa_time_event* reconnect_ = nullptr;
    bool contextReady_ = false;
    bool lostServer_ = false;
    double rate_ = 44100;
    bool running_ = false;
    Node node_ = Node::Stopped;
    std::deque<Item> queue_;
    std::deque<Pending> pending_;
    std::uint64_t writtenFrames_ = 0;
    bool triggered_ = false;
    pa_usec_t drainedAt_ = 0;
    mutable std::optional<double> lastTime_;
    std::string defaultSink_;
    std::int64_t lastNotify_ = 0;
    std::function<void()> changeHandler_;
};

}  // namespace lumora
