#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "audio/audio_output.hpp"
#include "audio/now_playing.hpp"
#include "audio/pcm_buffer.hpp"
#include "container/base/main_loop.hpp"
#include "container/base/page_view.hpp"
#include "container/services.hpp"

namespace lumora {

// Where the session object finds its files and fresh ids.
struct SessionAudioEnvironment {
    // The user's private temporary directory; session directories go inside it.
    std::function<std::string()> temporaryDirectory;
    // The page's files; the artwork is assets/img/artwork.png below it.
    std::function<std::string()> webRoot;
    // A new session id; a random upper-case UUID when empty.
    std::function<std::string()> newId;
};

// The audio session: the seven "audio*" messages, the chunk files, playback on the
// player node and Now Playing. State lives on the main thread; chunk decoding and the
// session's file work run on a worker, and a session's messages take effect in the order
// received: those behind a pending chunk write wait for its result.
class SessionAudio final : public AudioMessages {
  public:
    static constexpr const char* kArtist = "Orvin \u00b7 Lumora";
    static constexpr double kSkipInterval = 15;
    static constexpr std::size_t kMaxIdLength = 128;

    SessionAudio(MainLoop& loop, AudioOutput& output, NowPlayingCenter* nowPlaying,
                 SessionAudioEnvironment environment);
    ~SessionAudio() override;
    SessionAudio(const SessionAudio&) = delete;
    SessionAudio& operator=(const SessionAudio&) = delete;

    void setWebView(WeakPageView view) override { webView_ = std::move(view); }
    void handle(const std::string& type, nlohmann::json body) override;

    // Messages.
    void openSession(const nlohmann::json& body);
    // Starts the decode and write on the worker; chunkStored applies the result.
    void storeChunk(nlohmann::json body);
    struct StoreOutcome {
        bool decoded = false;
        bool written = false;
    };
    void chunkStored(std::int64_t index, std::optional<std::int64_t> total, StoreOutcome outcome);
    void closeSession();
    void reportState(double t);

    // Playback.
    void startEngine();
    void seek(double t);
    void seekHolding(double t);
    void scheduleChunk(std::int64_t index, std::uint32_t offsetFrames, std::uint64_t generation);
    std::shared_ptr<PcmBuffer> loadBuffer(std::int64_t index, std::uint32_t offsetFrames) const;
    static std::shared_ptr<PcmBuffer> loadChunkFile(const std::string& path,
                                                    std::uint32_t offsetFrames);
    void chunkLoaded(std::uint64_t generation, std::int64_t index,
                     std::shared_ptr<PcmBuffer> buffer);
    void chunkPlayed(std::uint64_t generation, std::int64_t index);
    void pause(bool report);
    double currentTime() const;
    void startTick();
    void tickFired();
    void configChanged();

    // Now Playing and remote commands.
    void updateNowPlaying();
    void registerRemoteCommands();
    CommandStatus remotePlay();
    CommandStatus remotePause();
    CommandStatus remoteToggle();
    CommandStatus remoteSkip(double seconds);
    CommandStatus remoteChangePosition(double t);
    NowPlayingInfo nowPlayingInfo();

    // State, for the window and for tests.
    const std::string& id() const { return id_; }
    const std::string& title() const { return title_; }
    double duration() const { return duration_; }
    double chunkSec() const { return chunkSec_; }
    double sampleRate() const { return sampleRate_; }
    std::int64_t total() const { return total_; }
    const std::set<std::int64_t>& have() const { return have_; }
    const std::optional<std::string>& dir() const { return dir_; }
    bool playing() const { return playing_; }
    std::optional<double> waitingAt() const { return waitingAt_; }
    double base() const { return base_; }
    std::int64_t nextChunk() const { return nextChunk_; }
    std::optional<std::int64_t> missing() const { return missing_; }
    std::uint64_t generation() const { return generation_; }
    bool tickRunning() const { return tick_.has_value(); }
    // Chunk writes and reads whose results have not been applied, and the messages waiting
    // for them.
    std::size_t writesPending() const { return writesPending_ + loadsPending_; }
    std::size_t messagesWaiting() const { return waiting_.size(); }
    // Blocks until the file work given so far is done; its results are posted, not applied.
    void waitForFiles() { files_.drain(); }

    // The chunk file of an index in the session directory.
    std::string chunkPath(std::int64_t index) const;

    // The report script: "window.__lmNative && window.__lmNative({ id: '…', t: …, playing: … })".
    static std::string reportScript(std::string_view id, double t, bool playing);
    // The shortest text that reads back as t, with ".0" on integral values.
    static std::string timeText(double t);
    // Ids that can stand in a path component and between single quotes.
    static bool isSafeId(std::string_view id);

  private:
    void apply(const std::string& type, nlohmann::json body);
    void applyWaiting();
    bool isCurrent(const nlohmann::json& body) const;
    const std::optional<std::string>& artwork();

    MainLoop& loop_;
    AudioOutput& output_;
    NowPlayingCenter* nowPlaying_;
    SessionAudioEnvironment environment_;

    WeakPageView webView_;
    bool formatSet_ = false;
    std::string id_;
    std::string title_ = "Lumora";
    double duration_ = 0;
    double chunkSec_ = 30;
    double sampleRate_ = 44100;
    std::int64_t total_ = 0;
    std::set<std::int64_t> have_;
    std::optional<std::string> dir_;
    bool playing_ = false;
    std::optional<double> waitingAt_;
    double base_ = 0;
    std::int64_t nextChunk_ = 0;
    std::optional<std::int64_t> missing_;
    std::uint64_t generation_ = 0;
    std::optional<MainLoop::TimerId> tick_;
    bool commandsReady_ = false;
    bool artworkLoaded_ = false;
    std::optional<std::string> artwork_;
    std::size_t writesPending_ = 0;
    // Chunk files being read for the player, and the index the player takes next from
    // them in the current generation: a read that failed drops the reads behind it.
    std::size_t loadsPending_ = 0;
    std::int64_t nextLoaded_ = 0;
    std::uint64_t loadGeneration_ = 0;
    std::deque<std::pair<std::string, nlohmann::json>> waiting_;
    // Chunk decoding, writes and reads, session directories made and removed, in order. Its
    // jobs touch no member; they post their results.
    SerialWorker files_{"lumora-audio"};
    // Last, so posted work, timers and command handlers stop before anything else goes.
    LoopOwner owner_{loop_};
};

}  // namespace lumora
