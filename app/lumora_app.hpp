#pragma once
#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "container/base/glib_ptr.hpp"
#include "container/base/main_loop.hpp"
#include "container/services.hpp"

namespace lumora {

class LumoraController;
class LumoraStore;
class StandaloneHost;
class WebKitBackend;
class GtkActivityInhibitor;
class GioUrlOpener;

// The application: one GtkApplication, one window, one web view for the process.
class LumoraApplication {
  public:
    static constexpr int kDefaultWidth = 1180;
    static constexpr int kDefaultHeight = 820;
    static constexpr int kMinimumWidth = 760;
    static constexpr int kMinimumHeight = 540;

    LumoraApplication(CommandLine commandLine, std::string webRoot);
    ~LumoraApplication();

    // Runs the application; a second launch hands its URIs to the first and returns.
    int run(const std::string& program);

    GtkApplication* gtkApplication() const { return app_; }
    GtkWindow* window() const { return window_; }
    MainLoop& loop() { return *loop_; }
    LumoraController& controller() { return *controller_; }
    void present();
    // Asks the page for any save it still holds, then quits: when the page answers, or
    // after kQuitWaitSeconds if it does not. Quits at once when no page is loaded.
    void quit();

    static constexpr double kQuitWaitSeconds = 1.5;

  private:
    void startup();
    void buildWindow();
    void openUris(const std::vector<std::string>& uris);
    bool closeRequested();
    void windowActivated();
    void makeServices();
    void finishQuit();
    void flushAnswered(std::string answer);

    static void onStartup(GApplication*, gpointer self);
    static void onActivate(GApplication*, gpointer self);
    static void onOpen(GApplication*, GFile** files, gint count, const gchar*, gpointer self);
    static gboolean onCloseRequest(GtkWindow*, gpointer self);
    static void onActiveChanged(GObject*, GParamSpec*, gpointer self);
    static void onQuitAction(GSimpleAction*, GVariant*, gpointer self);
    static void onPageFlushed(GObject* view, GAsyncResult* result, gpointer self);
    static gboolean onKeyCaptured(GtkEventControllerKey*, guint keyval, guint keycode,
                                  GdkModifierType state, gpointer self);

    CommandLine commandLine_;
    std::string webRoot_;
    GtkApplication* app_ = nullptr;
    GtkWindow* window_ = nullptr;
    std::unique_ptr<MainLoop> loop_;
    // Timers and signal handlers of this object; made with the loop at start-up.
    std::unique_ptr<LoopOwner> owner_;
    std::unique_ptr<LumoraStore> store_;
    std::unique_ptr<GtkActivityInhibitor> inhibitor_;
    std::unique_ptr<GioUrlOpener> opener_;

    // Services behind the bridge and the host; null until their subsystem is built.
    std::unique_ptr<AudioMessages> audio_;
    std::unique_ptr<PdfExporter> pdf_;
    std::unique_ptr<SharePicker> share_;
    std::unique_ptr<CloudService> cloud_;
    std::unique_ptr<ReminderService> reminder_;
    std::unique_ptr<GiftService> gifts_;
    // Whether closing the window only hides it (a session is playing).
    std::function<bool()> keepRunningWhenClosed_;
    // Called each time the window becomes active.
    std::vector<std::function<void()>> onWindowActivated_;

    // Set while the page is asked for its last save; a second quit waits for the same answer.
    bool quitting_ = false;
    MainLoop::TimerId quitWait_ = 0;
    // Armed by Ctrl+Q on its way into the web view, in case a hung page never hands it back.
    MainLoop::TimerId quitKeyHeld_ = 0;
    GPtr<GCancellable> flushCancel_;

    std::unique_ptr<StandaloneHost> host_;
    std::unique_ptr<LumoraController> controller_;
};

}  // namespace lumora
