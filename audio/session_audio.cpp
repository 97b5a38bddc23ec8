#include "audio/session_audio.hpp"

#include <fcntl.h>
#include <ftw.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "audio/base64.hpp"
#include "container/base/file_io.hpp"
#include "container/base/message.hpp"

namespace lumora {

namespace {

std::string randomUuid() {
    std::unique_ptr<char, decltype(&g_free)> text(g_uuid_string_random(), g_free);
    std::string id(text.get());
    for (auto& c : id) c = static_cast<char>(g_ascii_toupper(c));
    return id;
}

// Not atomic: the file is only ever read after the write returned.
bool writeChunkFile(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    int error = writeAll(fd, bytes.data(), bytes.size());
    // A cut-off chunk (full disk) would play as a shorter one: it is removed, and sending
    // it again plays it whole.
    if (close(fd) != 0 || error != 0) {
        unlink(path.c_str());
        return false;
    }
    return true;
}

bool readWholeFile(const std::string& path, std::string& out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    out.clear();
    if (fstat(fd, &info) == 0 && info.st_size > 0)
        out.reserve(static_cast<std::size_t>(info.st_size));
    int error = readAll(fd, out);
    close(fd);
    return error == 0;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

bool looksLikeImage(const std::string& path) {
    std::string head;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char b[12] = {};
    ssize_t n = read(fd, b, sizeof b);
    close(fd);
    if (n < 4) return false;
    static const unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (n >= 8 && std::equal(png, png + 8, b)) return true;
    if (b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return true;              // JPEG
    if (b[0] == 'G' && b[1] == 'I' && b[2] == 'F' && b[3] == '8') return true;  // GIF
    return n >= 12 && std::equal(b, b + 4, "RIFF") && std::equal(b + 8, b + 12, "WEBP");
}

}  // namespace

void convertPcm16(const unsigned char* bytes, std::size_t frames, float* out) {
    constexpr float scale = 1.0f / 32768.0f;
    for (std::size_t i = 0; i < 2 * frames; ++i) {
        auto v = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        out[i] = static_cast<float>(v) * scale;
    }
}

std::shared_ptr<PcmBuffer> PcmBuffer::allocate(std::uint32_t frames) {
    auto buffer = std::make_shared<PcmBuffer>();
    buffer->frames = frames;
    // Left uninitialised: the conversion writes every sample.
    buffer->samples.reset(new (std::nothrow) float[2 * std::size_t(frames)]);
    if (!buffer->samples) return nullptr;
    return buffer;
}

SessionAudio::SessionAudio(MainLoop& loop, AudioOutput& output, NowPlayingCenter* nowPlaying,
                           SessionAudioEnvironment environment)
    : loop_(loop), output_(output), nowPlaying_(nowPlaying), environment_(std::move(environment)) {
    if (!environment_.newId) environment_.newId = randomUuid;
    // Any thread may report it; it only posts.
    output_.setConfigurationChangeHandler(owner_.poster([this] { configChanged(); }));
}

SessionAudio::~SessionAudio() {
    output_.setConfigurationChangeHandler(nullptr);
}

bool SessionAudio::isSafeId(std::string_view id) {
    if (id.empty() || id.size() > kMaxIdLength) return false;
    return std::all_of(id.begin(), id.end(),
                       [](char c) { return g_ascii_isalnum(c) || c == '-' || c == '_'; });
}

bool SessionAudio::isCurrent(const nlohmann::json& body) const {
    auto id = field::find(body, "id");
    return id && id->is_string() && id->get_ref<const std::string&>() == id_;
}

void SessionAudio::handle(const std::string& type, nlohmann::json body) {
    // A chunk may join the writes in progress, as their results come back in order; any
    // other message waits for them, and nothing overtakes a message that waits.
    if (!waiting_.empty() || (writesPending_ > 0 && type != "audioChunk")) {
        waiting_.emplace_back(type, std::move(body));
        return;
    }
    apply(type, std::move(body));
}

void SessionAudio::applyWaiting() {
    while (!waiting_.empty() && (writesPending_ == 0 || waiting_.front().first == "audioChunk")) {
        auto [type, body] = std::move(waiting_.front());
        waiting_.pop_front();
        apply(type, std::move(body));
    }
}

void SessionAudio::apply(const std::string& type, nlohmann::json body) {
    if (type == "audioOpen") {
        openSession(body);
        return;
    }
    if (!isCurrent(body)) return;
    if (type == "audioChunk") {
        storeChunk(std::move(body));
    } else if (type == "audioPlay") {
        startEngine();
        playing_ = true;
        seek(field::number(body, "at", 0));
        startTick();
        updateNowPlaying();
    } else if (type == "audioSeek") {
        seekHolding(field::number(body, "at", 0));
        updateNowPlaying();
    } else if (type == "audioPause") {
        pause(false);
    } else if (type == "audioResume") {
        if (playing_) return;
        startEngine();
        playing_ = true;
        seek(base_);
        updateNowPlaying();
    } else if (type == "audioClose") {
        closeSession();
    }
}

void SessionAudio::openSession(const nlohmann::json& body) {
    // Checked before the open session is closed: a refused open leaves it playing.
    std::optional<std::string> requested = field::string(body, "id");
    if (requested && !isSafeId(*requested)) return;
    double duration = field::number(body, "duration", 0);
    double chunkSec = field::number(body, "chunkSec", 30);
    double sampleRate = field::number(body, "sampleRate", 44100);
    if (!std::isfinite(duration) || !std::isfinite(chunkSec) || chunkSec <= 0 ||
        !std::isfinite(sampleRate) || sampleRate <= 0)
        return;
    double count = std::ceil((duration * sampleRate) / (sampleRate * chunkSec));
    // Indices and frame counts stay well inside 64 bits.
    if (!std::isfinite(count) || count > 9.0e15) return;

    closeSession();
    id_ = requested ? *requested : environment_.newId();
    title_ = field::string(body, "title", "Lumora");
    duration_ = duration;
    chunkSec_ = chunkSec;
    sampleRate_ = sampleRate;
    output_.configure(sampleRate_);
    formatSet_ = true;
    std::string root = environment_.temporaryDirectory ? environment_.temporaryDirectory()
                                                       : std::string(g_get_tmp_dir());
    dir_ = root + "/session-" + id_;
    // After the removal of an earlier directory of the same name, which the worker also does.
    files_.run([dir = *dir_] { g_mkdir_with_parents(dir.c_str(), 0700); });
    have_.clear();
    missing_.reset();
    total_ = std::max<std::int64_t>(static_cast<std::int64_t>(count), 1);
    registerRemoteCommands();
}

std::string SessionAudio::chunkPath(std::int64_t index) const {
    return dir_.value_or("") + "/" + std::to_string(index) + ".pcm";
}

void SessionAudio::storeChunk(nlohmann::json body) {
    if (!isCurrent(body)) return;
    auto index = field::integer(body, "index");
    if (!index) return;
    auto pcm = body.find("pcm");
    if (pcm == body.end() || !pcm->is_string()) return;
    if (!dir_) return;
    writesPending_ += 1;
    // Filled in by the job before it posts; read back on the main thread.
    auto outcome = std::make_shared<StoreOutcome>();
    auto done = owner_.poster([this, index = *index, total = field::integer(body, "total"),
                               outcome] { chunkStored(index, total, *outcome); });
    files_.run([text = std::move(pcm->get_ref<std::string&>()), path = chunkPath(*index), outcome,
                done = std::move(done)] {
        std::string bytes;
        outcome->decoded = decodeBase64Strict(text, bytes);
        outcome->written = outcome->decoded && writeChunkFile(path, bytes);
        done();
    });
}

// Messages that came after the chunk have waited, and no write of another session can be
// pending, so the result belongs to the session that is open.
void SessionAudio::chunkStored(std::int64_t index, std::optional<std::int64_t> total,
                               StoreOutcome outcome) {
    writesPending_ -= 1;
    if (outcome.decoded && total) total_ = *total;
    // A chunk the disk could not take is not had: its old file is gone too.
    if (outcome.decoded && !outcome.written) have_.erase(index);
    if (outcome.written) {
        have_.insert(index);
        if (missing_ == index) {
            missing_.reset();
            if (waitingAt_) {
                double t = *waitingAt_;
                waitingAt_.reset();
                if (playing_) seek(t);
            } else if (playing_) {
                scheduleChunk(index, 0, generation_);
            }
        }
    }
    applyWaiting();
}

void SessionAudio::closeSession() {
    generation_ += 1;
    if (tick_) owner_.cancel(*tick_);
    tick_.reset();
    output_.stop();
    playing_ = false;
    waitingAt_.reset();
    if (output_.isRunning()) output_.stopEngine();
    if (dir_) {
        // An hour of chunks is 120 files of 5 MB: removed on the worker, after their writes.
        files_.run([dir = *dir_] { nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); });
        dir_.reset();
    }
    have_.clear();
    total_ = 0;
    missing_.reset();
    id_.clear();
    if (nowPlaying_) nowPlaying_->setNowPlaying(std::nullopt);
}

std::string SessionAudio::timeText(double t) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, t);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
    return text;
}

std::string SessionAudio::reportScript(std::string_view id, double t, bool playing) {
    std::string script = "window.__lmNative && window.__lmNative({ id: '";
    script.append(id).append("', t: ").append(timeText(t)).append(", playing: ");
    script.append(playing ? "true" : "false").append(" })");
    return script;
}

void SessionAudio::reportState(double t) {
    std::string script = reportScript(id_, t, playing_ && !waitingAt_);
    owner_.post([view = webView_, script = std::move(script)] { evaluateIfAlive(view, script); });
}

// Playback.

void SessionAudio::startEngine() {
    if (!output_.isRunning()) output_.start();  // a failure leaves the session silent
}

void SessionAudio::seek(double t) {
    generation_ += 1;
    output_.stop();
    double s = std::isnan(t) ? 0 : t;
    s = std::max(std::min(s, duration_), 0.0);
    base_ = s;
    auto c = static_cast<std::int64_t>(std::trunc(s / chunkSec_));
    missing_.reset();
    waitingAt_.reset();
    if (have_.count(c)) {
        double offset = std::max((s - chunkSec_ * static_cast<double>(c)) * sampleRate_, 0.0);
        nextChunk_ = c;
        if (offset >= 4294967296.0) {
            // An offset beyond 32 bits: the chunk counts as unreadable.
            if (c < total_) missing_ = c;
        } else {
            scheduleChunk(c, static_cast<std::uint32_t>(offset), generation_);
            scheduleChunk(c + 1, 0, generation_);
        }
        if (playing_) output_.play();
    } else {
        waitingAt_ = s;
        missing_ = c;
        updateNowPlaying();
    }
}

void SessionAudio::seekHolding(double t) {
    bool wasPlaying = playing_;
    seek(t);
    if (!wasPlaying) output_.pause();
}

std::shared_ptr<PcmBuffer> SessionAudio::loadBuffer(std::int64_t index,
                                                    std::uint32_t offsetFrames) const {
    if (!dir_) return nullptr;
    return loadChunkFile(chunkPath(index), offsetFrames);
}

std::shared_ptr<PcmBuffer> SessionAudio::loadChunkFile(const std::string& path,
                                                       std::uint32_t offsetFrames) {
    std::string bytes;
    if (!readWholeFile(path, bytes)) return nullptr;
    std::size_t frames = bytes.size() / 4;
    if (frames > std::numeric_limits<std::uint32_t>::max()) return nullptr;
    if (offsetFrames >= frames) return nullptr;
    auto n = static_cast<std::uint32_t>(frames - offsetFrames);
    auto buffer = PcmBuffer::allocate(n);
    if (!buffer) return nullptr;
    convertPcm16(
        reinterpret_cast<const unsigned char*>(bytes.data()) + 4 * std::size_t(offsetFrames), n,
        buffer->samples.get());
    return buffer;
}

// A 30 s chunk is 5 MB to read and 10 MB of samples: made on the file worker, behind the
// chunk writes, and handed to the player here in the order asked for.
void SessionAudio::scheduleChunk(std::int64_t index, std::uint32_t offsetFrames,
                                 std::uint64_t generation) {
    if (index != nextChunk_ || index >= total_) return;
    if (!have_.count(index) || !dir_) {
        missing_ = index;
        return;
    }
    nextChunk_ = index + 1;
    if (loadGeneration_ != generation) {
        loadGeneration_ = generation;
        nextLoaded_ = index;
    }
    loadsPending_ += 1;
    auto loaded = std::make_shared<std::shared_ptr<PcmBuffer>>();
    auto done = owner_.poster(
        [this, generation, index, loaded] { chunkLoaded(generation, index, std::move(*loaded)); });
    files_.run([path = chunkPath(index), offsetFrames, loaded, done = std::move(done)] {
        *loaded = loadChunkFile(path, offsetFrames);
        done();
    });
}

void SessionAudio::chunkLoaded(std::uint64_t generation, std::int64_t index,
                               std::shared_ptr<PcmBuffer> buffer) {
    loadsPending_ -= 1;
    if (generation != generation_ || index != nextLoaded_) {
        applyWaiting();
        return;
    }
    if (!buffer) {
        // Unreadable: the player plays on without it (silent, as if it were there), and
        // the chunk is handed over once it is stored anew.
        missing_ = index;
        nextChunk_ = index;
    } else {
        nextLoaded_ = index + 1;
        // Runs on the output's thread: it only posts.
        output_.schedule(std::move(buffer), owner_.poster([this, generation, index] {
            chunkPlayed(generation, index);
        }));
    }
    applyWaiting();
}

void SessionAudio::chunkPlayed(std::uint64_t generation, std::int64_t index) {
    if (generation != generation_) return;
    std::int64_t next = index + 1;
    if (next >= total_) {
        playing_ = false;
        output_.stop();
        updateNowPlaying();
        reportState(duration_);
    } else if (have_.count(next) || nextChunk_ != next) {
        scheduleChunk(nextChunk_, 0, generation);
    } else {
        waitingAt_ = chunkSec_ * static_cast<double>(next);
        missing_ = next;
        updateNowPlaying();
    }
}

void SessionAudio::pause(bool report) {
    if (!playing_) return;
    double p = currentTime();
    playing_ = false;
    output_.pause();
    base_ = p;
    generation_ += 1;
    output_.stop();
    waitingAt_.reset();
    updateNowPlaying();
    if (report) reportState(p);
}

double SessionAudio::currentTime() const {
    if (waitingAt_) return *waitingAt_;
    if (auto played = output_.playerTime()) {
        double p = base_ + *played;
        return p < duration_ ? p : duration_;
    }
    return base_;
}

void SessionAudio::startTick() {
    if (tick_) owner_.cancel(*tick_);
    tick_ = owner_.every(1.0, [this] { tickFired(); });
}

void SessionAudio::tickFired() {
    if (id_.empty()) return;
    reportState(currentTime());
    updateNowPlaying();
}

void SessionAudio::configChanged() {
    if (!playing_) return;
    startEngine();
    seek(currentTime());
}

// Now Playing and remote commands.

const std::optional<std::string>& SessionAudio::artwork() {
    if (!artworkLoaded_) {
        artworkLoaded_ = true;
        std::string root = environment_.webRoot ? environment_.webRoot() : std::string();
        std::string path = root + "/assets/img/artwork.png";
        if (!root.empty() && looksLikeImage(path)) artwork_ = path;
    }
    return artwork_;
}

NowPlayingInfo SessionAudio::nowPlayingInfo() {
    NowPlayingInfo info;
    info.session = id_;
    info.title = title_;
    info.artist = kArtist;
    info.duration = duration_;
    info.elapsed = currentTime();
    info.rate = playing_ && !waitingAt_ ? 1.0 : 0.0;
    info.artworkFile = artwork();
    return info;
}

void SessionAudio::updateNowPlaying() {
    if (!nowPlaying_) return;
    nowPlaying_->setNowPlaying(nowPlayingInfo());
    nowPlaying_->setPlaybackState(playing_);
}

void SessionAudio::registerRemoteCommands() {
    if (commandsReady_) return;
    commandsReady_ = true;
    if (!nowPlaying_) return;
    // The desktop may call them after the session object has gone.
    auto alive = owner_.token();
    auto with = [this, alive](auto action) {
        return [this, alive, action] {
            return alive.expired() ? CommandStatus::Success : action(*this);
        };
    };
    RemoteCommands commands;
    commands.play = with([](SessionAudio& s) { return s.remotePlay(); });
    commands.pause = with([](SessionAudio& s) { return s.remotePause(); });
    commands.toggle = with([](SessionAudio& s) { return s.remoteToggle(); });
    commands.skipForward = with([](SessionAudio& s) { return s.remoteSkip(kSkipInterval); });
    commands.skipBackward = with([](SessionAudio& s) { return s.remoteSkip(-kSkipInterval); });
    commands.changePosition = [this, alive](double t) {
        return alive.expired() ? CommandStatus::Success : remoteChangePosition(t);
    };
    commands.position = [this, alive] { return alive.expired() ? 0.0 : currentTime(); };
    nowPlaying_->registerCommands(std::move(commands));
}

CommandStatus SessionAudio::remotePlay() {
    if (playing_) return CommandStatus::Success;
    startEngine();
    playing_ = true;
    seek(base_);
    updateNowPlaying();
    reportState(base_);
    return CommandStatus::Success;
}

CommandStatus SessionAudio::remotePause() {
    if (playing_) pause(true);
    return CommandStatus::Success;
}

CommandStatus SessionAudio::remoteToggle() {
    return playing_ ? remotePause() : remotePlay();
}

CommandStatus SessionAudio::remoteSkip(double seconds) {
    double t = std::max(currentTime() + seconds, 0.0);
    seekHolding(t);
    updateNowPlaying();
    reportState(currentTime());
    return CommandStatus::Success;
}

CommandStatus SessionAudio::remoteChangePosition(double t) {
    seekHolding(t);
    updateNowPlaying();
    reportState(currentTime());
    return CommandStatus::Success;
}

}  // namespace lumora
