#include "audio/mpris_service.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include "container/base/glib_ptr.hpp"

namespace lumora {

namespace {
constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
constexpr const char* kRootInterface = "org.mpris.MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
// A position further than this from where playback would have taken it is a jump.
constexpr double kJumpThreshold = 0.5;

constexpr const char* kIntrospection = R"XML(
<node>
  <interface name="org.mpris.MediaPlayer2">
    <method name="Raise"/>
    <method name="Quit"/>
    <property name="CanQuit" type="b" access="read"/>
    <property name="CanRaise" type="b" access="read"/>
    <property name="HasTrackList" type="b" access="read"/>
    <property name="Identity" type="s" access="read"/>
    <property name="DesktopEntry" type="s" access="read"/>
    <property name="SupportedUriSchemes" type="as" access="read"/>
    <property name="SupportedMimeTypes" type="as" access="read"/>
  </interface>
  <interface name="org.mpris.MediaPlayer2.Player">
    <method name="Next"/>
    <method name="Previous"/>
    <method name="Pause"/>
    <method name="PlayPause"/>
    <method name="Stop"/>
    <method name="Play"/>
    <method name="Seek"><arg direction="in" name="Offset" type="x"/></method>
    <method name="SetPosition">
      <arg direction="in" name="TrackId" type="o"/>
      <arg direction="in" name="Position" type="x"/>
    </method>
    <method name="OpenUri"><arg direction="in" name="Uri" type="s"/></method>
    <signal name="Seeked"><arg name="Position" type="x"/></signal>
    <property name="PlaybackStatus" type="s" access="read"/>
    <property name="Rate" type="d" access="readwrite"/>
    <property name="Metadata" type="a{sv}" access="read"/>
    <property name="Volume" type="d" access="readwrite"/>
    <property name="Position" type="x" access="read"/>
    <property name="MinimumRate" type="d" access="read"/>
    <property name="MaximumRate" type="d" access="read"/>
    <property name="CanGoNext" type="b" access="read"/>
    <property name="CanGoPrevious" type="b" access="read"/>
    <property name="CanPlay" type="b" access="read"/>
    <property name="CanPause" type="b" access="read"/>
    <property name="CanSeek" type="b" access="read"/>
    <property name="CanControl" type="b" access="read"/>
  </interface>
</node>)XML";

gint64 toMicroseconds(double seconds) {
    if (!std::isfinite(seconds)) return 0;
    return static_cast<gint64>(std::llround(seconds * 1e6));
}

const GDBusInterfaceVTable kVTable = {
    MprisService::onMethodCall, MprisService::onGetProperty, MprisService::onSetProperty, {}};
}  // namespace

MprisService::MprisService(Actions actions) : actions_(std::move(actions)) {
    nodeInfo_ = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
}

MprisService::~MprisService() {
    if (ownerId_) g_bus_unown_name(ownerId_);
    if (connection_) {
        if (rootObject_) g_dbus_connection_unregister_object(connection_, rootObject_);
        if (playerObject_) g_dbus_connection_unregister_object(connection_, playerObject_);
        g_object_unref(connection_);
    }
    if (nodeInfo_) g_dbus_node_info_unref(nodeInfo_);
}

void MprisService::registerCommands(RemoteCommands commands) {
    if (registered_) return;
    registered_ = true;
    commands_ = std::move(commands);
    ownerId_ = g_bus_own_name(G_BUS_TYPE_SESSION, kBusName, G_BUS_NAME_OWNER_FLAGS_NONE,
                              onBusAcquired, onNameAcquired, onNameLost, this, nullptr);
}

void MprisService::onBusAcquired(GDBusConnection* connection, const gchar*, gpointer data) {
    auto* self = static_cast<MprisService*>(data);
    self->connection_ = G_DBUS_CONNECTION(g_object_ref(connection));
    self->rootObject_ = g_dbus_connection_register_object(
        connection, kObjectPath, self->nodeInfo_->interfaces[0], &kVTable, self, nullptr, nullptr);
    self->playerObject_ = g_dbus_connection_register_object(
        connection, kObjectPath, self->nodeInfo_->interfaces[1], &kVTable, self, nullptr, nullptr);
}

void MprisService::onNameAcquired(GDBusConnection*, const gchar*, gpointer data) {
    static_cast<MprisService*>(data)->acquired_ = true;
}

void MprisService::onNameLost(GDBusConnection*, const gchar*, gpointer data) {
    static_cast<MprisService*>(data)->acquired_ = false;
}

std::string MprisService::trackId() const {
    if (!info_ || info_->session.empty()) return kNoTrack;
    std::unique_ptr<char, GFreeDeleter> escaped(g_dbus_escape_object_path(info_->session.c_str()));
    return std::string("/org/lumora/Lumora/session/") + escaped.get();
}

double MprisService::position() const {
    if (commands_.position) return commands_.position();
    return info_ ? info_->elapsed : 0;
}

GVariant* MprisService::metadata() const {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&builder, "{sv}", "mpris:trackid",
                          g_variant_new_object_path(trackId().c_str()));
    if (info_) {
        g_variant_builder_add(&builder, "{sv}", "xesam:title",
                              g_variant_new_string(info_->title.c_str()));
        const char* artists[] = {info_->artist.c_str(), nullptr};
        g_variant_builder_add(&builder, "{sv}", "xesam:artist", g_variant_new_strv(artists, -1));
        g_variant_builder_add(&builder, "{sv}", "mpris:length",
                              g_variant_new_int64(toMicroseconds(info_->duration)));
        if (info_->artworkFile) {
            std::unique_ptr<char, GFreeDeleter> uri(
                g_filename_to_uri(info_->artworkFile->c_str(), nullptr, nullptr));
            if (uri)
                g_variant_builder_add(&builder, "{sv}", "mpris:artUrl",
                                      g_variant_new_string(uri.get()));
        }
    }
    return g_variant_builder_end(&builder);
}

void MprisService::setNowPlaying(const std::optional<NowPlayingInfo>& info) {
    bool metadataChanged =
        info.has_value() != info_.has_value() ||
        (info && (info->session != info_->session || info->title != info_->title ||
                  info->artist != info_->artist || info->duration != info_->duration ||
                  info->artworkFile != info_->artworkFile));
    bool sameTrack = info && info_ && info->session == info_->session;
    double now = actions_.now ? actions_.now() : 0;
    if (sameTrack) {
        // Clients extrapolate Position at Rate while "Playing", so any other course is a
        // jump: seeks, and also a wait for a chunk, during which the position stands still.
        double expected = lastElapsed_ + (status_ == "Playing" ? now - lastStamp_ : 0.0);
        if (std::fabs(info->elapsed - expected) > kJumpThreshold) emitSeeked(info->elapsed);
    }
    info_ = info;
    if (info) {
        lastElapsed_ = info->elapsed;
        lastStamp_ = now;
    }
    if (metadataChanged) emitChanged(kPlayerInterface, "Metadata", metadata());
}

void MprisService::setPlaybackState(bool playing) {
    std::string status = playing ? "Playing" : "Paused";
    if (status == status_) return;
    status_ = status;
    emitChanged(kPlayerInterface, "PlaybackStatus", g_variant_new_string(status_.c_str()));
}

void MprisService::emitChanged(const char* interface, const char* name, GVariant* value) {
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&changed, "{sv}", name, value);
    GVariant* parameters =
        g_variant_new("(sa{sv}as)", interface, &changed, static_cast<GVariantBuilder*>(nullptr));
    if (!connection_) {
        g_variant_unref(g_variant_ref_sink(parameters));
        return;
    }
    g_dbus_connection_emit_signal(connection_, nullptr, kObjectPath,
                                  "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                  parameters, nullptr);
}

void MprisService::emitSeeked(double position) {
    if (!connection_) return;
    g_dbus_connection_emit_signal(connection_, nullptr, kObjectPath, kPlayerInterface, "Seeked",
                                  g_variant_new("(x)", toMicroseconds(position)), nullptr);
}

void MprisService::onMethodCall(GDBusConnection*, const gchar*, const gchar*,
                                const gchar* interface, const gchar* method, GVariant* parameters,
                                GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<MprisService*>(data);
    if (g_strcmp0(interface, kRootInterface) == 0) {
        // Answer first: Quit may end the process before a late reply could go out.
        g_dbus_method_invocation_return_value(invocation, nullptr);
        if (g_strcmp0(method, "Raise") == 0 && self->actions_.raise) self->actions_.raise();
        if (g_strcmp0(method, "Quit") == 0 && self->actions_.quit) self->actions_.quit();
        return;
    }
    self->callPlayer(method, parameters, invocation);
}

void MprisService::callPlayer(const gchar* method, GVariant* parameters,
                              GDBusMethodInvocation* invocation) {
    auto run = [](const std::function<CommandStatus()>& command) {
        if (command) command();
    };
    std::string m = method;
    if (m == "Play") {
        run(commands_.play);
    } else if (m == "Pause") {
        run(commands_.pause);
    } else if (m == "PlayPause") {
        run(commands_.toggle);
    } else if (m == "Stop") {
        // There is no stop command; pausing keeps the position, which is what a stopped
        // session that can be resumed needs.
        run(commands_.pause);
    } else if (m == "Next") {
        run(commands_.skipForward);
    } else if (m == "Previous") {
        run(commands_.skipBackward);
    } else if (m == "Seek") {
        gint64 offset = 0;
        g_variant_get(parameters, "(x)", &offset);
        // The skip commands for their own interval; other offsets move relative to the
        // position. MPRIS clamps below 0, and past the end acts like Next, which the
        // session's own limit to its duration already does.
        if (offset == 15 * G_USEC_PER_SEC)
            run(commands_.skipForward);
        else if (offset == -15 * G_USEC_PER_SEC)
            run(commands_.skipBackward);
        else if (commands_.changePosition)
            commands_.changePosition(std::max(position() + static_cast<double>(offset) / 1e6, 0.0));
    } else if (m == "SetPosition") {
        const gchar* track = nullptr;
        gint64 at = 0;
        g_variant_get(parameters, "(&ox)", &track, &at);
        // MPRIS: a stale track id, a negative position or one past the length do nothing
        // (where the Now Playing model would clamp).
        double length = info_ ? info_->duration : 0;
        if (info_ && trackId() == track && at >= 0 && static_cast<double>(at) <= length * 1e6 &&
            commands_.changePosition)
            commands_.changePosition(static_cast<double>(at) / 1e6);
    } else if (m == "OpenUri") {
        g_dbus_method_invocation_return_dbus_error(
            invocation, "org.mpris.MediaPlayer2.Error.NotSupported", "Lumora opens no URIs.");
        return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* MprisService::rootProperty(const char* name) {
    std::string n = name;
    if (n == "CanQuit" || n == "CanRaise") return g_variant_new_boolean(TRUE);
    if (n == "HasTrackList") return g_variant_new_boolean(FALSE);
    if (n == "Identity") return g_variant_new_string("Lumora");
    if (n == "DesktopEntry") return g_variant_new_string("org.lumora.Lumora");
    if (n == "SupportedUriSchemes" || n == "SupportedMimeTypes")
        return g_variant_new_strv(nullptr, 0);
    return nullptr;
}

GVariant* MprisService::playerProperty(const char* name) {
    std::string n = name;
    if (n == "PlaybackStatus") return g_variant_new_string(status_.c_str());
    // MPRIS forbids a Rate of 0, which Now Playing uses while a chunk is awaited: the rate
    // stays 1 and the standing position is published through Seeked instead.
    if (n == "Rate" || n == "MinimumRate" || n == "MaximumRate" || n == "Volume")
        return g_variant_new_double(1.0);
    if (n == "Metadata") return metadata();
    if (n == "Position") return g_variant_new_int64(toMicroseconds(position()));
    if (n == "CanGoNext" || n == "CanGoPrevious" || n == "CanPlay" || n == "CanPause" ||
        n == "CanSeek" || n == "CanControl")
        return g_variant_new_boolean(TRUE);
    return nullptr;
}

GVariant* MprisService::onGetProperty(GDBusConnection*, const gchar*, const gchar*,
                                      const gchar* interface, const gchar* property, GError** error,
                                      gpointer data) {
    auto* self = static_cast<MprisService*>(data);
    GVariant* value = g_strcmp0(interface, kRootInterface) == 0 ? self->rootProperty(property)
                                                                : self->playerProperty(property);
    if (!value)
        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", property);
    return value;
}

gboolean MprisService::onSetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                     const gchar* property, GVariant* value, GError**,
                                     gpointer data) {
    auto* self = static_cast<MprisService*>(data);
    // MPRIS: a client that sets Rate 0 asks for a pause. Other rates and the volume are
    // fixed, so the request changes nothing.
    if (g_strcmp0(property, "Rate") == 0 && g_variant_get_double(value) == 0.0 &&
        self->commands_.pause)
        self->commands_.pause();
    return TRUE;
}

}  // namespace lumora
