#pragma once
#include <gtk/gtk.h>

#include <string>

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
    static void onInhibitReply(GObject* source, GAsyncResult* result, gpointer self);
    void releaseScreenSaver();

    GtkApplication* app_;
    GtkWindow* (*window_)(gpointer);
    gpointer windowData_;
    guint cookie_ = 0;
    guint32 screenSaverCookie_ = 0;
    bool active_ = false;
    bool awaitingReply_ = false;
};

// Opens URIs in the user's default handler, as xdg-open would.
class GioUrlOpener final : public UrlOpener {
  public:
    void open(const std::string& uri) override;
};

}  // namespace lumora
