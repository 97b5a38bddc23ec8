#pragma once
#include <gtk/gtk.h>

#include <string>

#include "container/base/glib_ptr.hpp"
#include "container/services.hpp"

namespace lumora {

// Keeps the session and the display awake: the session manager's inhibitor, plus
// org.freedesktop.ScreenSaver where something owns that name.
class GtkActivityInhibitor final : public ActivityInhibitor {
  public:
    GtkActivityInhibitor(GtkApplication* app, GtkWindow* (*window)(gpointer), gpointer data);
    ~GtkActivityInhibitor() override;
    void begin(const std::string& reason) override;
    void end() override;

  private:
    static void onOwnerReply(GObject* source, GAsyncResult* result, gpointer self);
    struct InhibitCall;
    static void onInhibitReply(GObject* source, GAsyncResult* result, gpointer data);
    static void uninhibitScreenSaver(GDBusConnection* bus, guint32 cookie);
    void releaseScreenSaver();
    void inhibitSession(GDBusConnection* bus);
    static void onSessionReply(GObject* source, GAsyncResult* result, gpointer data);
    void releaseSession();

    GtkApplication* app_;
    GtkWindow* (*window_)(gpointer);
    gpointer windowData_;
    guint32 sessionCookie_ = 0;
    InhibitCall* sessionCall_ = nullptr;  // an Inhibit to the session manager on its way
    guint32 screenSaverCookie_ = 0;
    bool active_ = false;
    // A NameHasOwner or Inhibit call to the screen saver is on its way.
    bool awaitingReply_ = false;
    std::string reason_;
    InhibitCall* inhibitCall_ = nullptr;
    GPtr<GCancellable> cancellable_;
};

// Opens URIs in the user's default handler, as xdg-open would.
class GioUrlOpener final : public UrlOpener {
  public:
    void open(const std::string& uri) override;
};

}  // namespace lumora
