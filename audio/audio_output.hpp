#pragma once
#include <functional>
#include <memory>
#include <optional>

#include "audio/pcm_buffer.hpp"

namespace lumora {

// The player node and its engine. Called on the main thread only. Completions and the
// configuration-change handler may be called on the output's own thread; they must only
// post work to the main loop.
class AudioOutput {
  public:
    virtual ~AudioOutput() = default;

    // The format of what follows: two float channels at this rate.
    virtual void configure(double sampleRate) = 0;
    // Starts the engine; false when it could not be started.
    virtual bool start() = 0;
    virtual bool isRunning() const = 0;
    virtual void stopEngine() = 0;

    // Queues a buffer behind those already scheduled. The completion runs once the
    // buffer has been played back, or once it has been dropped by stop().
    virtual void schedule(std::shared_ptr<const PcmBuffer> buffer,
                          std::function<void()> completion) = 0;
    virtual void play() = 0;
    virtual void pause() = 0;
    // Drops everything scheduled and resets the node's time.
    virtual void stop() = 0;

    // Seconds of the node's sample time since it started playing after a stop; nothing
    // while the node is stopped or the engine is not running.
    virtual std::optional<double> playerTime() const = 0;

    // The output device or server changed; the handler runs on any thread.
    virtual void setConfigurationChangeHandler(std::function<void()> handler) = 0;
};

}  // namespace lumora
