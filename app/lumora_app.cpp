#include "app/lumora_app.hpp"

#include <glib-unix.h>
#include <webkit/webkit.h>

#include <csignal>

#include "app/gtk_services.hpp"
#include "app/lumora_resources.hpp"
#include "app/standalone_host.hpp"
#include "audio/desktop_audio.hpp"
#include "container/base/log.hpp"
#include "container/base/message.hpp"
#include "container/controller.hpp"
#include "container/webkit_web_view.hpp"
#include "docs/gtk_docs.hpp"
#include "notify/gift_inbox.hpp"
#include "notify/reminder_notification.hpp"
#include "notify/systemd_reminder.hpp"
#include "store/cloud_sync.hpp"
#include "store/lumora_store.hpp"

namespace lumora {

namespace {
constexpr const char* kAppId = "org.lumora.Lumora";

GtkWindow* windowOf(gpointer self) {
    return static_cast<LumoraApplication*>(self)->window();
}
}  // namespace

LumoraApplication::LumoraApplication(CommandLine commandLine, std::string webRoot)
    : commandLine_(std::move(commandLine)), webRoot_(std::move(webRoot)) {
    app_ = gtk_application_new(kAppId, G_APPLICATION_HANDLES_OPEN);
    g_signal_connect(app_, "startup", G_CALLBACK(onStartup), this);
    g_signal_connect(app_, "activate", G_CALLBACK(onActivate), this);
    g_signal_connect(app_, "open", G_CALLBACK(onOpen), this);
}

LumoraApplication::~LumoraApplication() {
    owner_.reset();  // its timers and signal handlers point into this object
    if (flushCancel_) g_cancellable_cancel(flushCancel_.get());
    controller_.reset();
    g_object_unref(app_);
}

int LumoraApplication::run(const std::string& program) {
    // Our own options are parsed already; GApplication only sees the URIs to open.
    std::vector<std::string> args{program};
    args.insert(args.end(), commandLine_.uris.begin(), commandLine_.uris.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return g_application_run(G_APPLICATION(app_), static_cast<int>(args.size()), argv.data());
}

void LumoraApplication::onStartup(GApplication*, gpointer self) {
    static_cast<LumoraApplication*>(self)->startup();
}

void LumoraApplication::startup() {
    // Logging out or `kill` ends the program through SIGTERM: quit as Ctrl+Q does, so the
    // page hands over the save it still holds.
    loop_ = makeGLibMainLoop();
    owner_ = std::make_unique<LoopOwner>(*loop_);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        owner_->onSignal(signal, [this] {
            if (!quitting_) log(" asked to end; quitting");
            quit();
        });
    LumoraResources::setWebRoot(webRoot_);
    store_ = std::make_unique<LumoraStore>(LumoraResources::dataDirectory());
    inhibitor_ = std::make_unique<GtkActivityInhibitor>(app_, windowOf, this);
    opener_ = std::make_unique<GioUrlOpener>();
    makeServices();

    host_ = std::make_unique<StandaloneHost>(*store_, cloud_.get(), reminder_.get(), *loop_);
    BridgeServices bridgeServices{audio_.get(), pdf_.get(), share_.get(), inhibitor_.get(),
                                  opener_.get()};
    ControllerServices controllerServices{audio_.get(), gifts_.get()};
    controller_ =
        std::make_unique<LumoraController>(*host_, bridgeServices, controllerServices, *loop_,
                                           makeWebKitFactory({webRoot_, commandLine_.inspector}));

    GSimpleAction* quit = g_simple_action_new("quit", nullptr);
    g_signal_connect(quit, "activate", G_CALLBACK(onQuitAction), this);
    g_action_map_add_action(G_ACTION_MAP(app_), G_ACTION(quit));
    g_object_unref(quit);
}

// Each subsystem's services are created here, in the order the host needs them.
void LumoraApplication::makeServices() {
    cloud_ = makeFolderCloudSync(*loop_, LumoraResources::dataDirectory(),
                                 LumoraResources::configDirectory());
    onWindowActivated_.push_back([this] {
        if (cloud_ && cloud_->isEnabled()) cloud_->pull();
    });
    reminder_ = std::make_unique<DailyReminder>(*loop_, currentProgram());
    gifts_ = std::make_unique<GiftInbox>([this] { return controller_ && controller_->loaded; });
    auto audio = std::make_unique<DesktopSessionAudio>(
        *loop_,
        MprisService::Actions{[this] { present(); }, [this] { quit(); },
                              [this] { return loop_->now(); }},
        SessionAudioEnvironment{
            LumoraResources::temporaryDirectory, LumoraResources::currentWebRoot, {}});
    SessionAudio* session = &audio->session();
    audio_ = std::move(audio);
    keepRunningWhenClosed_ = [session] { return session->playing(); };

    PageWidget widgetOf = [](PageView& view) -> GtkWidget* {
        auto* web = dynamic_cast<WebKitBackend*>(&view);
        return web ? web->widget() : nullptr;
    };
    pdf_ = makeGtkPdfExporter(
        *loop_, [] { return LumoraResources::temporaryDirectory(); }, widgetOf,
        [this] { return window(); });
    share_ = std::make_unique<GtkSharePicker>(widgetOf, *opener_);
}

void LumoraApplication::onActivate(GApplication*, gpointer self) {
    static_cast<LumoraApplication*>(self)->present();
}

void LumoraApplication::present() {
    if (!window_) buildWindow();
    gtk_window_present(window_);
}

void LumoraApplication::buildWindow() {
    auto rgb = host_->backgroundRGB();
    GtkCssProvider* css = gtk_css_provider_new();
    std::string rules =
        "window.lumora { background-color: rgb(" + std::to_string(static_cast<int>(rgb[0])) + "," +
        std::to_string(static_cast<int>(rgb[1])) + "," + std::to_string(static_cast<int>(rgb[2])) +
        "); }\n"
        "windowhandle.lumora-titlebar { background: none; }\n"
        "windowcontrols.lumora-controls { margin: 4px 8px; }\n"
        "windowcontrols.lumora-controls button { color: #cfe3f2; }\n"
        "windowcontrols.lumora-controls button:hover { background: alpha(#cfe3f2, 0.15); }\n"
        // Without a compositor GTK paints the shadow area solid.
        "window.lumora.csd { border-radius: 0; }\n"
        "window.lumora decoration { box-shadow: none; border: none; margin: 0; }\n";
    gtk_css_provider_load_from_data(css, rules.c_str(), -1);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(css),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    window_ = GTK_WINDOW(gtk_application_window_new(app_));
    gtk_widget_add_css_class(GTK_WIDGET(window_), "lumora");
    gtk_window_set_title(window_, "Lumora");
    gtk_window_set_default_size(window_, kDefaultWidth, kDefaultHeight);
    // The page draws everything: no system title bar.
    GtkWidget* emptyTitlebar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_widget_set_visible(emptyTitlebar, FALSE);
    gtk_window_set_titlebar(window_, emptyTitlebar);

    auto web = std::static_pointer_cast<WebKitBackend>(controller_->webView());
    GtkWidget* overlay = gtk_overlay_new();
    gtk_widget_set_size_request(overlay, kMinimumWidth, kMinimumHeight);
    gtk_overlay_set_child(GTK_OVERLAY(overlay), web->widget());

    GtkWidget* handle = gtk_window_handle_new();
    gtk_widget_add_css_class(handle, "lumora-titlebar");
    gtk_widget_set_valign(handle, GTK_ALIGN_START);
    gtk_widget_set_size_request(handle, -1, static_cast<int>(host_->topInset()));
    GtkWidget* controls = gtk_window_controls_new(GTK_PACK_END);
    gtk_widget_add_css_class(controls, "lumora-controls");
    gtk_widget_set_halign(controls, GTK_ALIGN_END);
    gtk_widget_set_valign(controls, GTK_ALIGN_CENTER);
    gtk_window_handle_set_child(GTK_WINDOW_HANDLE(handle), controls);
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay), handle);

    gtk_window_set_child(window_, overlay);
    gtk_widget_grab_focus(web->widget());
    // Ctrl+Q in the bubble phase, not as an application accelerator (those act before the
    // web view sees the key): the web view hands the key back only after the page has had
    // every key typed before it, so the text and the button press just before are in the
    // page when it is asked for its last save.
    GtkEventController* shortcuts = gtk_shortcut_controller_new();
    gtk_shortcut_controller_add_shortcut(
        GTK_SHORTCUT_CONTROLLER(shortcuts),
        gtk_shortcut_new(gtk_keyval_trigger_new(GDK_KEY_q, GDK_CONTROL_MASK),
                         gtk_named_action_new("app.quit")));
    gtk_widget_add_controller(GTK_WIDGET(window_), shortcuts);
    GtkEventController* early = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(early, GTK_PHASE_CAPTURE);
    g_signal_connect(early, "key-pressed", G_CALLBACK(onKeyCaptured), this);
    gtk_widget_add_controller(GTK_WIDGET(window_), early);
    g_signal_connect(window_, "close-request", G_CALLBACK(onCloseRequest), this);
    g_signal_connect(window_, "notify::is-active", G_CALLBACK(onActiveChanged), this);
}

gboolean LumoraApplication::onCloseRequest(GtkWindow*, gpointer self) {
    return static_cast<LumoraApplication*>(self)->closeRequested();
}

bool LumoraApplication::closeRequested() {
    // A playing session goes on under media-key control; the window comes back as it was.
    if (keepRunningWhenClosed_ && keepRunningWhenClosed_()) {
        gtk_widget_set_visible(GTK_WIDGET(window_), FALSE);
        return true;
    }
    quit();
    return true;
}

void LumoraApplication::onQuitAction(GSimpleAction*, GVariant*, gpointer self) {
    static_cast<LumoraApplication*>(self)->quit();
}

gboolean LumoraApplication::onKeyCaptured(GtkEventControllerKey*, guint keyval, guint,
                                          GdkModifierType state, gpointer self) {
    auto* application = static_cast<LumoraApplication*>(self);
    bool quitKey = (keyval == GDK_KEY_q || keyval == GDK_KEY_Q) && (state & GDK_CONTROL_MASK);
    if (quitKey && !application->quitting_ && !application->quitKeyHeld_)
        application->quitKeyHeld_ = application->owner_->after(kQuitWaitSeconds, [application] {
            application->quitKeyHeld_ = 0;
            log(" the page did not hand Ctrl+Q back in time; quitting");
            application->quit();
        });
    return GDK_EVENT_PROPAGATE;
}

void LumoraApplication::quit() {
    if (quitKeyHeld_) {
        owner_->cancel(quitKeyHeld_);
        quitKeyHeld_ = 0;
    }
    if (quitting_) return;
    auto web = controller_
                   ? std::dynamic_pointer_cast<WebKitBackend>(controller_->existingWebView())
                   : nullptr;
    if (!web || !controller_->loaded) {
        finishQuit();
        return;
    }
    quitting_ = true;
    // A save the page posts while flushing arrives before the answer to this script: both
    // come over the same channel from the web process, in order.
    static constexpr char kFlush[] =
        "typeof window.__lmFlush === 'function' ? window.__lmFlush() : false";
    flushCancel_ = GPtr<GCancellable>::adopt(g_cancellable_new());
    webkit_web_view_evaluate_javascript(web->view(), kFlush, -1, nullptr, nullptr,
                                        flushCancel_.get(), onPageFlushed, this);
    quitWait_ = owner_->after(kQuitWaitSeconds, [this] {
        quitWait_ = 0;
        log(" the page did not answer in time; quitting");
        finishQuit();
    });
}

void LumoraApplication::onPageFlushed(GObject* view, GAsyncResult* result, gpointer self) {
    GPtr<GError> error;
    auto value = GPtr<JSCValue>::adopt(
        webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view), result, error.out()));
    bool cancelled = error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED);
    if (error && !cancelled)
        log(std::string(" the page did not flush before quitting: ") + error->message);
    if (value && !cancelled) {
        std::unique_ptr<char, GFreeDeleter> answer(jsc_value_to_json(value.get(), 0));
        if (answer) static_cast<LumoraApplication*>(self)->flushAnswered(answer.get());
    }
    // Cancelled only once the application has stopped waiting, or is going away.
    if (!cancelled) static_cast<LumoraApplication*>(self)->finishQuit();
}

// The page's answer: true when it sent its pending save, or {local: state} when that save
// must not reach the cloud yet (its first cloud copy has not arrived), which is then kept in
// the local file only; the cloud switch and record stay as they are.
void LumoraApplication::flushAnswered(std::string answer) {
    // The last words typed may end in half an emoji.
    replaceLoneSurrogatesLogged(answer);
    auto value = nlohmann::json::parse(answer, nullptr, false);
    if (value == true) {
        log(" the page sent the save it was holding before quitting");
        return;
    }
    if (!value.is_object() || !value.contains("local") || !isJsonDocument(value["local"])) return;
    auto document = compactJson(value["local"]);
    if (document && host_->keepLocally(*document))
        log(" kept the page's last state on this computer before quitting");
    else
        log("save failed: the page's last state could not be kept before quitting");
}

void LumoraApplication::finishQuit() {
    // Every save received goes to disk before the process ends; one that failed gets one
    // more try.
    if (host_ && !host_->writeUnsaved())
        log("save failed: the newest state could not be written before quitting");
    // A sync folder gets as long as any of its operations; a hung one would never let the
    // process end, so its service is left to the exit, not destroyed and joined.
    if (cloud_ && !cloud_->flush(CloudSync::kAnswerSeconds)) {
        log("sync folder did not answer before quitting: its last write may be missing");
        static_cast<void>(cloud_.release());
    }
    if (quitWait_) {
        owner_->cancel(quitWait_);
        quitWait_ = 0;
    }
    if (flushCancel_) {
        g_cancellable_cancel(flushCancel_.get());
        flushCancel_.reset();
    }
    g_application_quit(G_APPLICATION(app_));
}

void LumoraApplication::onActiveChanged(GObject*, GParamSpec*, gpointer self) {
    auto* application = static_cast<LumoraApplication*>(self);
    if (gtk_window_is_active(application->window_)) application->windowActivated();
}

void LumoraApplication::windowActivated() {
    controller_->bridge().windowActivated();
    for (auto& callback : onWindowActivated_) callback();
}

void LumoraApplication::onOpen(GApplication*, GFile** files, gint count, const gchar*,
                               gpointer self) {
    std::vector<std::string> uris;
    for (gint i = 0; i < count; ++i) {
        gchar* uri = g_file_get_uri(files[i]);
        if (uri) uris.emplace_back(uri);
        g_free(uri);
    }
    static_cast<LumoraApplication*>(self)->openUris(uris);
}

void LumoraApplication::openUris(const std::vector<std::string>& uris) {
    for (const auto& uri : uris) {
        if (!gifts_) continue;
        gifts_->setSchemes(host_->giftSchemes());
        gifts_->receive(uri);
    }
    present();
}

}  // namespace lumora
