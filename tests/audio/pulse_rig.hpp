#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace lumora::test {

// A private PulseAudio daemon with a float32 null sink "test" at 48 kHz, reached through
// PULSE_SERVER, and captures of what the sink played from its monitor. A silent stream
// keeps the sink running, so a capture has no idle holes and loses no first samples.
class PulseRig {
  public:
    static constexpr int kRate = 48000;

    // runtimeDir: private (0700); the socket and logs go there.
    explicit PulseRig(const std::string& runtimeDir);
    ~PulseRig();
    PulseRig(const PulseRig&) = delete;
    PulseRig& operator=(const PulseRig&) = delete;

    bool ready() const { return ready_; }
    std::string pactl(const std::string& arguments, int* status = nullptr) const;
    // Adds another float32 null sink.
    void addSink(const std::string& name) const;

    void startCapture(const std::string& source = "test.monitor");
    // Stops the capture and returns its samples, interleaved.
    std::vector<float> stopCapture();

  private:
    std::string dir_;
    pid_t daemon_ = -1;
    pid_t keepAlive_ = -1;
    pid_t capture_ = -1;
    std::string captureFile_;
    bool ready_ = false;
};

pid_t spawnProcess(const std::vector<std::string>& argv, const std::string& out,
                   const std::string& err);
void stopProcess(pid_t pid);

}  // namespace lumora::test
