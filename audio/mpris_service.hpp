#pragma once
#include <gio/gio.h>

#include <functional>
#include <optional>
#include <string>

#include "audio/now_playing.hpp"

namespace lumora {

// Now Playing and the remote commands as an MPRIS 2 player on the session bus. The bus
// name is taken when the commands are registered (the first session), so media keys reach
// nothing before there is something to control. Main thread only.
class MprisService final : public NowPlayingCenter {
  public:
    static constexpr const char* kBusName = "org.mpris.MediaPlayer2.lumora";
    static constexpr const char* kNoTrack = "/org/mpris/MediaPlayer2/TrackList/NoTrack";

    struct Actions {
        std::function<void()> raise;
        std::function<void()> quit;
        // Monotonic seconds, for telling jumps from playback.
        std::function<double()> now;
    };

    explicit MprisService(Actions actions);
    ~MprisService() override;
    MprisService(const MprisService&) = delete;
    MprisService& operator=(const MprisService&) = delete;

    void setNowPlaying(const std::optional<NowPlayingInfo>& info) override;
    void setPlaybackState(bool playing) override;
    void registerCommands(RemoteCommands commands) override;

    bool nameAcquired() const { return acquired_; }
    // The object path of the current track ("mpris:trackid").
    std::string trackId() const;

    // GDBus callbacks.
    static void onBusAcquired(GDBusConnection* connection, const gchar*, gpointer self);
    static void onNameAcquired(GDBusConnection*, const gchar*, gpointer self);
    static void onNameLost(GDBusConnection*, const gchar*, gpointer self);
    static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                             const gchar* method, GVariant* parameters,
                             GDBusMethodInvocation* invocation, gpointer self);
    static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*,
                                   const gchar* interface, const gchar* property, GError**,
                                   gpointer self);
    static gboolean onSetProperty(GDBusConnection*, const gchar*, const gchar*,
                                  const gchar* interface, const gchar* property, GVariant* value,
                                  GError**, gpointer self);

  private:
    GVariant* metadata() const;
    GVariant* playerProperty(const char* name);
    GVariant* rootProperty(const char* name);
    void emitChanged(const char* interface, const char* name, GVariant* value);
    void emitSeeked(double position);
    void callPlayer(const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation);
    double position() const;

    Actions actions_;
    RemoteCommands commands_;
    bool registered_ = false;
    guint ownerId_ = 0;
    GDBusConnection* connection_ = nullptr;
    GDBusNodeInfo* nodeInfo_ = nullptr;
    guint rootObject_ = 0;
    guint playerObject_ = 0;
    bool acquired_ = false;

    std::optional<NowPlayingInfo> info_;
    std::string session_;
    std::string status_ = "Stopped";
    // The last published position, to tell a jump from playback.
    double lastElapsed_ = 0;
    double lastStamp_ = 0;
};

}  // namespace lumora
