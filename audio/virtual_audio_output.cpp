#include "audio/virtual_audio_output.hpp"

#include <algorithm>
#include <cmath>

namespace lumora {

VirtualAudioOutput::VirtualAudioOutput(MainLoop& loop, double step) : loop_(loop), step_(step) {}

VirtualAudioOutput::~VirtualAudioOutput() {
    if (timer_) loop_.cancel(*timer_);
}

void VirtualAudioOutput::configure(double sampleRate) {
    rate_ = sampleRate;
}

bool VirtualAudioOutput::start() {
    if (failStart) return false;
    ++starts;
    running_ = true;
    lastRender_ = loop_.now();
    carry_ = 0;
    if (!timer_) timer_ = loop_.every(step_, [this] { onTimer(); });
    return true;
}

void VirtualAudioOutput::stopEngine() {
    running_ = false;
    if (timer_) loop_.cancel(*timer_);
    timer_.reset();
}

void VirtualAudioOutput::schedule(std::shared_ptr<const PcmBuffer> buffer,
                                  std::function<void()> completion) {
    queue_.push_back(Item{std::move(buffer), 0, std::move(completion)});
    maxScheduled = std::max(maxScheduled, queue_.size());
}

void VirtualAudioOutput::play() {
    if (state_ != State::Playing) lastRender_ = loop_.now();
    state_ = State::Playing;
}

void VirtualAudioOutput::pause() {
    if (state_ == State::Playing) state_ = State::Paused;
}

void VirtualAudioOutput::stop() {
    state_ = State::Stopped;
    sampleTime_ = 0;
    // Dropped buffers complete too; their owner tells them apart by generation.
    auto dropped = std::move(queue_);
    queue_.clear();
    for (auto& item : dropped)
        if (item.completion) item.completion();
}

std::optional<double> VirtualAudioOutput::playerTime() const {
    if (!running_ || state_ == State::Stopped) return std::nullopt;
    return static_cast<double>(sampleTime_) / rate_;
}

void VirtualAudioOutput::setConfigurationChangeHandler(std::function<void()> handler) {
    changeHandler_ = std::move(handler);
}

void VirtualAudioOutput::simulateConfigurationChange() {
    if (changeHandler_) changeHandler_();
}

void VirtualAudioOutput::onTimer() {
    double now = loop_.now();
    double frames = (now - lastRender_) * rate_ + carry_;
    lastRender_ = now;
    auto whole = static_cast<std::uint64_t>(std::max(frames, 0.0));
    carry_ = frames - static_cast<double>(whole);
    renderFrames(whole);
}

void VirtualAudioOutput::renderFrames(std::uint64_t frames) {
    if (!running_ || state_ != State::Playing) return;
    sampleTime_ += frames;
    while (frames > 0) {
        if (queue_.empty()) {
            if (capture) captured.insert(captured.end(), 2 * frames, 0.0f);
            return;
        }
        Item& item = queue_.front();
        std::uint64_t take = std::min<std::uint64_t>(frames, item.buffer->frames - item.position);
        if (capture) {
            const float* from = item.buffer->samples.get() + 2 * std::size_t(item.position);
            captured.insert(captured.end(), from, from + 2 * take);
        }
        item.position += static_cast<std::uint32_t>(take);
        frames -= take;
        if (item.position == item.buffer->frames) {
            auto completion = std::move(item.completion);
            queue_.pop_front();
            if (completion) completion();
        }
    }
}

}  // namespace lumora
