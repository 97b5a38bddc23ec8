#include "audio/pulse_output.hpp"

#include <pulse/rtclock.h>

#include <algorithm>
#include <cmath>

namespace lumora {

namespace {
// The played-buffer check wakes when the next buffer should have played, at most this
// often, and otherwise now and then.
constexpr pa_usec_t kPollInterval = 20 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kIdlePollInterval = 250 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kReconnectDelay = 500 * PA_USEC_PER_MSEC;
// A device change shows up as a server event and as a moved stream: one restart.
constexpr std::int64_t kChangeWindowUs = 300 * 1000;
constexpr std::size_t kFrameBytes = 2 * sizeof(float);
// A buffer counts as played a little after the clock passes its end: the clock is
// interpolated, and ending a stream early would cut the tail still in the sink.
constexpr double kPlayedGuard = 0.02;
// After the stream ran dry, a clock that never gets there does not hold the session.
constexpr pa_usec_t kDrainFallback = 500 * PA_USEC_PER_MSEC;
}  // namespace

class PulseOutput::Lock {
  public:
    explicit Lock(pa_threaded_mainloop* m) : m_(m) { pa_threaded_mainloop_lock(m_); }
    ~Lock() { pa_threaded_mainloop_unlock(m_); }

  private:
    pa_threaded_mainloop* m_;
};

PulseOutput::PulseOutput(std::string applicationName) : name_(std::move(applicationName)) {
    mainloop_ = pa_threaded_mainloop_new();
    pa_threaded_mainloop_set_name(mainloop_, "lumora-audio");
    pa_threaded_mainloop_start(mainloop_);
}

PulseOutput::~PulseOutput() {
    {
        Lock lock(mainloop_);
        changeHandler_ = nullptr;
        // Completions are not run: their owner may have gone already.
        queue_.clear();
        pending_.clear();
        destroyStream();
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
        if (poll_) api->time_free(poll_);
        if (reconnect_) api->time_free(reconnect_);
        poll_ = reconnect_ = nullptr;
        if (context_) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
    }
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
}

void PulseOutput::configure(double sampleRate) {
    Lock lock(mainloop_);
    rate_ = sampleRate;
}

bool PulseOutput::start() {
    Lock lock(mainloop_);
    running_ = true;
    if (!context_) connectContext();
    // Connecting finishes on the audio thread; until then the node is silent.
    return true;
}

bool PulseOutput::isRunning() const {
    Lock lock(mainloop_);
    return running_;
}

void PulseOutput::stopEngine() {
    Lock lock(mainloop_);
    running_ = false;
    destroyStream();
}

void PulseOutput::connectContext() {
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, name_.c_str());
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "org.lumora.Lumora");
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
    context_ =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_), name_.c_str(), props);
    pa_proplist_free(props);
    contextReady_ = false;
    if (!context_) return;
    pa_context_set_state_callback(context_, onContextState, this);
    pa_context_set_subscribe_callback(context_, onSubscription, this);
    // NOFAIL waits for a server that is not there yet, or is restarting.
    auto flags = static_cast<pa_context_flags_t>(PA_CONTEXT_NOFAIL | PA_CONTEXT_NOAUTOSPAWN);
    pa_context_connect(context_, nullptr, flags, nullptr);
}

void PulseOutput::onContextState(pa_context* context, void* data) {
    auto* self = static_cast<PulseOutput*>(data);
    if (context != self->context_) return;
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY: {
            self->contextReady_ = true;
            auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                            PA_SUBSCRIPTION_MASK_SINK);
            if (auto* op = pa_context_subscribe(context, mask, nullptr, nullptr))
                pa_operation_unref(op);
            if (auto* op = pa_context_get_server_info(context, onServerInfo, self))
                pa_operation_unref(op);
            if (self->lostServer_) {
                // The server came back: the session restarts where it was.
                self->lostServer_ = false;
                self->notifyChange();
            } else if (self->node_ == Node::Playing && !self->stream_) {
                self->createStream();
            }
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            self->contextReady_ = false;
            self->lostServer_ = true;
            self->destroyStream();
            self->scheduleReconnect();
            break;
        default:
            break;
    }
}

void PulseOutput::scheduleReconnect() {
    if (reconnect_) return;
    // The dead context is replaced outside its own callback.
    reconnect_ =
        pa_context_rttime_new(context_, pa_rtclock_now() + kReconnectDelay, onReconnect, this);
}

void PulseOutput::onReconnect(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                              void* data) {
    auto* self = static_cast<PulseOutput*>(data);
    api->time_free(event);
    self->reconnect_ = nullptr;
    if (self->context_) {
        pa_context_set_state_callback(self->context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(self->context_, nullptr, nullptr);
        pa_context_disconnect(self->context_);
        pa_context_unref(self->context_);
        self->context_ = nullptr;
    }
    self->connectContext();
}

void PulseOutput::onSubscription(pa_context* context, pa_subscription_event_type_t type,
                                 uint32_t index, void* data) {
    auto* self = static_cast<PulseOutput*>(data);
    auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        if (auto* op = pa_context_get_server_info(context, onServerInfo, self))
            pa_operation_unref(op);
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        if (self->stream_ && pa_stream_get_state(self->stream_) == PA_STREAM_READY &&
            pa_stream_get_device_index(self->stream_) == index)
            self->notifyChange();
    }
}

void PulseOutput::onServerInfo(pa_context*, const pa_server_info* info, void* data) {
    auto* self = static_cast<PulseOutput*>(data);
    if (!info) return;
    std::string sink = info->default_sink_name ? info->default_sink_name : "";
    bool changed = !self->defaultSink_.empty() && sink != self->defaultSink_;
    self->defaultSink_ = sink;
    if (changed) self->notifyChange();
}

void PulseOutput::notifyChange() {
    std::int64_t now = static_cast<std::int64_t>(pa_rtclock_now());
    if (lastNotify_ && now - lastNotify_ < kChangeWindowUs) return;
    lastNotify_ = now;
    if (changeHandler_) changeHandler_();
}

void PulseOutput::setConfigurationChangeHandler(std::function<void()> handler) {
    Lock lock(mainloop_);
    changeHandler_ = std::move(handler);
}

void PulseOutput::createStream() {
    if (!contextReady_ || stream_ || !running_) return;
    pa_sample_spec sampleFormat;
    sampleFormat.format = PA_SAMPLE_FLOAT32LE;
    sampleFormat.channels = 2;
    double rate = std::round(rate_);
    if (!(rate >= 1 && rate <= PA_RATE_MAX)) return;  // no stream: the session stays silent
    sampleFormat.rate = static_cast<uint32_t>(rate);
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    stream_ = pa_stream_new(context_, "Session", &sampleFormat, &map);
    if (!stream_) return;
    writtenFrames_ = 0;
    drainedAt_ = 0;
    triggered_ = false;
    pa_stream_set_state_callback(stream_, onStreamState, this);
    pa_stream_set_write_callback(stream_, onStreamWrite, this);
    pa_stream_set_underflow_callback(stream_, onStreamUnderflow, this);
    pa_stream_set_moved_callback(stream_, onStreamMoved, this);
    auto bytes = [&](double seconds) {
        return static_cast<uint32_t>(seconds * sampleFormat.rate) *
               static_cast<uint32_t>(kFrameBytes);
    };
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = bytes(kTargetLatency);
    // A short prebuffer: playback starts, and restarts after an underrun, at once.
    attr.prebuf = bytes(kRequestSize);
    attr.minreq = bytes(kRequestSize);
    attr.fragsize = static_cast<uint32_t>(-1);
    auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    if (node_ == Node::Paused)
        flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_START_CORKED);
    pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr);
    armPoll();
}

void PulseOutput::destroyStream() {
    if (!stream_) return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void PulseOutput::onStreamState(pa_stream* stream, void* data) {
    auto* self = static_cast<PulseOutput*>(data);
    if (stream != self->stream_) return;
    switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            self->writeAvailable(pa_stream_writable_size(stream));
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            // Its sink went away or was killed; lastTime_ keeps the time it had reached.
            self->destroyStream();
            if (self->contextReady_) self->notifyChange();
            break;
        default:
            break;
    }
}

void PulseOutput::onStreamWrite(pa_stream*, size_t bytes, void* data) {
    static_cast<PulseOutput*>(data)->writeAvailable(bytes);
}

void PulseOutput::onStreamUnderflow(pa_stream* stream, void* data) {
    auto* self = static_cast<PulseOutput*>(data);
    // Everything written has left the stream, but the sink may still be playing it:
    // a fresh clock reading tells when it has.
    self->drainedAt_ = pa_rtclock_now();
    if (auto* op = pa_stream_update_timing_info(stream, nullptr, nullptr)) pa_operation_unref(op);
    self->armPoll();
}

void PulseOutput::onStreamMoved(pa_stream*, void* data) {
    static_cast<PulseOutput*>(data)->notifyChange();
}

void PulseOutput::writeAvailable(std::size_t bytes) {
    if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
    std::size_t frames = bytes / kFrameBytes;
    bool wrote = false;
    while (frames > 0 && !queue_.empty()) {
        Item& item = queue_.front();
        std::size_t take = std::min<std::size_t>(frames, item.buffer->frames - item.written);
        const float* from = item.buffer->samples.get() + 2 * std::size_t(item.written);
        if (pa_stream_write(stream_, from, take * kFrameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return;
        wrote = true;
        item.written += static_cast<std::uint32_t>(take);
        writtenFrames_ += take;
        frames -= take;
        if (item.written == item.buffer->frames) {
            bool first = pending_.empty();
            pending_.push_back(Pending{writtenFrames_, std::move(item.completion)});
            if (first) armPoll();  // the check may be sleeping for longer than this buffer lasts
            queue_.pop_front();    // the server holds its own copy now
        }
    }
    if (wrote) {
        triggered_ = false;
        drainedAt_ = 0;
    }
    // The tail of the data may be shorter than the prebuffer: start it anyway.
    if (queue_.empty() && !pending_.empty() && !triggered_) {
        triggered_ = true;
        if (auto* op = pa_stream_trigger(stream_, nullptr, nullptr)) pa_operation_unref(op);
    }
}

std::optional<double> PulseOutput::streamTime() const {
    if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return std::nullopt;
    pa_usec_t usec = 0;
    if (pa_stream_get_time(stream_, &usec) < 0) return std::nullopt;
    return static_cast<double>(usec) / 1e6;
}

void PulseOutput::completePlayed(bool allWritten) {
    std::uint64_t played = writtenFrames_;
    if (!allWritten) {
        auto time = streamTime();
        if (!time) return;
        lastTime_ = time;
        double frames = (*time - kPlayedGuard) * std::round(rate_);
        played = frames > 0 ? static_cast<std::uint64_t>(frames) : 0;
    }
    while (!pending_.empty() && pending_.front().endFrame <= played) {
        auto completion = std::move(pending_.front().completion);
        pending_.pop_front();
        if (completion) completion();
    }
}

pa_usec_t PulseOutput::nextPollDelay() const {
    if (pending_.empty()) return kIdlePollInterval;
    auto time = streamTime();
    if (!time) return kPollInterval;
    double due =
        static_cast<double>(pending_.front().endFrame) / std::round(rate_) + kPlayedGuard - *time;
    auto delay = static_cast<pa_usec_t>(
        std::clamp(due * 1e6, double(kPollInterval), double(kIdlePollInterval)));
    if (drainedAt_) {
        pa_usec_t now = pa_rtclock_now(), fallback = drainedAt_ + kDrainFallback;
        delay = std::min(delay, fallback > now + kPollInterval ? fallback - now : kPollInterval);
    }
    return delay;
}

void PulseOutput::armPoll() {
    if (!context_) return;
    pa_usec_t when = pa_rtclock_now() + nextPollDelay();
    if (poll_)
        pa_context_rttime_restart(context_, poll_, when);
    else
        poll_ = pa_context_rttime_new(context_, when, onPoll, this);
}

void PulseOutput::onPoll(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
    auto* self = static_cast<PulseOutput*>(data);
    if (!self->stream_) return;  // re-armed with the next stream
    bool drained = self->drainedAt_ && self->queue_.empty() &&
                   pa_rtclock_now() - self->drainedAt_ > kDrainFallback;
    self->completePlayed(drained);
    self->armPoll();
}

void PulseOutput::schedule(std::shared_ptr<const PcmBuffer> buffer,
                           std::function<void()> completion) {
    Lock lock(mainloop_);
    queue_.push_back(Item{std::move(buffer), 0, std::move(completion)});
    // The server asks only for what it lacks; a queue that ran dry must be topped up here.
    if (stream_) writeAvailable(pa_stream_writable_size(stream_));
}

void PulseOutput::play() {
    Lock lock(mainloop_);
    if (node_ == Node::Playing) return;
    node_ = Node::Playing;
    if (stream_) {
        if (auto* op = pa_stream_cork(stream_, 0, nullptr, nullptr)) pa_operation_unref(op);
    } else {
        createStream();
    }
}

void PulseOutput::pause() {
    Lock lock(mainloop_);
    if (node_ != Node::Playing) return;
    node_ = Node::Paused;
    if (stream_)
        if (auto* op = pa_stream_cork(stream_, 1, nullptr, nullptr)) pa_operation_unref(op);
}

void PulseOutput::stop() {
    std::deque<Item> dropped;
    std::deque<Pending> droppedPending;
    {
        Lock lock(mainloop_);
        destroyStream();
        node_ = Node::Stopped;
        lastTime_.reset();
        writtenFrames_ = 0;
        dropped.swap(queue_);
        droppedPending.swap(pending_);
    }
    // Dropped buffers complete too; their owner tells them apart by generation.
    for (auto& p : droppedPending)
        if (p.completion) p.completion();
    for (auto& item : dropped)
        if (item.completion) item.completion();
}

std::optional<double> PulseOutput::playerTime() const {
    Lock lock(mainloop_);
    if (!running_ || node_ == Node::Stopped) return std::nullopt;
    if (auto time = streamTime()) {
        lastTime_ = time;
        return time;
    }
    // Not connected yet, or the stream was lost: the time it had reached.
    return lastTime_.value_or(0.0);
}

int PulseOutput::streamIndex() const {
    Lock lock(mainloop_);
    if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return -1;
    return static_cast<int>(pa_stream_get_index(stream_));
}

}  // namespace lumora
