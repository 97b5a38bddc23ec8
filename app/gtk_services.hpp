#pragma once
#include <gtk/gtk.h>

#include <memory>
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
    class Hold;
    static void onOwnerReply(GObject* source, GAsyncResult* result, gpointer self);

    GtkApplication* app_;
    GtkWindow* (*window_)(gpointer);
    gpointer windowData_;
    bool active_ = false;
    std::string reason_;
    std::unique_ptr<Hold> session_;      // the GNOME session manager
    std::unique_ptr<Hold> screenSaver_;  // org.freedesktop.ScreenSaver
    // The screen saver's NameHasOwner check is on its way.
    bool checkingOwner_ = false;
    GPtr<GCancellable> cancellable_;
};

// Opens URIs in the user's default handler, as xdg-open would.
class GioUrlOpener final : public UrlOpener {
  public:
    void open(const std::string& uri) override;
};

}  // namespace lumora
