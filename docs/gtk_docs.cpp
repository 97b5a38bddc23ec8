#include "docs/gtk_docs.hpp"

namespace lumora {

namespace {

GtkWindow* windowOfWidget(GtkWidget* widget) {
    if (!widget) return nullptr;
    GtkRoot* root = gtk_widget_get_root(widget);
    return root && GTK_IS_WINDOW(root) ? GTK_WINDOW(root) : nullptr;
}

struct DialogRun {
    SaveDialog::Done done;
};

void onSaveResponse(GtkNativeDialog* dialog, int response, gpointer data) {
    auto* run = static_cast<DialogRun*>(data);
    std::optional<std::string> chosen;
    if (response == GTK_RESPONSE_ACCEPT) {
        GFile* file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog));
        if (file) {
            // Only local files: the copy is a plain file write.
            char* path = g_file_get_path(file);
            if (path) chosen = path;
            g_free(path);
            g_object_unref(file);
        }
    }
    auto done = std::move(run->done);
    gtk_native_dialog_destroy(dialog);
    g_object_unref(dialog);
    if (done) done(chosen);
}

}  // namespace

GtkSaveDialog::GtkSaveDialog(PageWidget widgetOf, AppWindow window)
    : widgetOf_(std::move(widgetOf)), window_(std::move(window)) {}

void GtkSaveDialog::run(const std::string& suggestedName, const WeakPageView& view, Done done) {
    GtkWindow* parent = nullptr;
    if (auto page = view.lock(); page && widgetOf_) parent = windowOfWidget(widgetOf_(*page));
    if (!parent && window_) parent = window_();
    // Bring the application forward so the dialog is not hidden behind other windows.
    if (parent) gtk_window_present(parent);

    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        "Save PDF", parent, GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    GtkFileChooser* fileChooser = GTK_FILE_CHOOSER(chooser);
    gtk_file_chooser_set_current_name(fileChooser, suggestedName.c_str());
    gtk_file_chooser_set_create_folders(fileChooser, TRUE);
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, "PDF document");
    gtk_file_filter_add_mime_type(filter, "application/pdf");
    gtk_file_filter_add_suffix(filter, "pdf");
    gtk_file_chooser_add_filter(fileChooser, filter);
    gtk_file_chooser_set_filter(fileChooser, filter);
    g_object_unref(filter);

    g_signal_connect_data(
        chooser, "response", G_CALLBACK(onSaveResponse), new DialogRun{std::move(done)},
        +[](gpointer data, GClosure*) { delete static_cast<DialogRun*>(data); }, GConnectFlags(0));
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

std::unique_ptr<LumoraPdfExporter> makeGtkPdfExporter(
    MainLoop& loop, std::function<std::string()> temporaryDirectory, PageWidget widgetOf,
    AppWindow window) {
    std::unique_ptr<SaveDialog> dialog;
    const char* fixed = g_getenv("LUMORA_TEST_SAVE_PATH");
    if (fixed && *fixed)
        dialog = std::make_unique<FixedPathSaveDialog>(fixed);
    else
        dialog = std::make_unique<GtkSaveDialog>(std::move(widgetOf), std::move(window));
    return std::make_unique<LumoraPdfExporter>(loop, std::move(temporaryDirectory),
                                               std::move(dialog));
}

namespace {

// One open picker: its own text, and the shared subject read when a service is chosen.
struct Picker {
    std::string text;
    std::shared_ptr<MailSubjectDelegate> subject;
    UrlOpener* opener;
    GtkWidget* popover;
};

constexpr const char* kShareClass = "lumora-share";

// A choice made in one picker settles every picker open on the same view: the older ones
// would only share with the newest subject anyway.
void closeAllPickers(GtkWidget* popover) {
    GtkWidget* parent = gtk_widget_get_parent(popover);
    if (!parent) {
        gtk_popover_popdown(GTK_POPOVER(popover));
        return;
    }
    for (GtkWidget* child = gtk_widget_get_first_child(parent); child;
         child = gtk_widget_get_next_sibling(child))
        if (GTK_IS_POPOVER(child) && gtk_widget_has_css_class(child, kShareClass))
            gtk_popover_popdown(GTK_POPOVER(child));
}

void onEmail(GtkButton*, gpointer data) {
    auto* picker = static_cast<Picker*>(data);
    picker->opener->open(mailtoUri(picker->subject->subject, picker->text));
    closeAllPickers(picker->popover);
}

void onCopy(GtkButton*, gpointer data) {
    auto* picker = static_cast<Picker*>(data);
    gdk_clipboard_set_text(gtk_widget_get_clipboard(picker->popover), picker->text.c_str());
    closeAllPickers(picker->popover);
}

// The view is going away with a picker still attached: a widget must not be finalized
// with children left, so let the picker go first.
void onViewDestroyed(GtkWidget* view, gpointer data) {
    auto* popover = static_cast<GtkWidget*>(data);
    if (gtk_widget_get_parent(popover) == view) gtk_widget_unparent(popover);
}

void onPopoverClosed(GtkPopover* popover, gpointer) {
    // Unparenting inside the "closed" emission would finalize the popover under GTK's
    // feet; the next idle is safe. Unparenting drops the last reference.
    g_idle_add_full(
        G_PRIORITY_DEFAULT_IDLE,
        +[](gpointer data) -> gboolean {
            auto* widget = static_cast<GtkWidget*>(data);
            if (gtk_widget_get_parent(widget)) gtk_widget_unparent(widget);
            return G_SOURCE_REMOVE;
        },
        g_object_ref(popover), g_object_unref);
}

GtkWidget* serviceButton(const char* label, GCallback callback, Picker* picker) {
    GtkWidget* button = gtk_button_new_with_label(label);
    gtk_button_set_has_frame(GTK_BUTTON(button), FALSE);
    g_signal_connect(button, "clicked", callback, picker);
    return button;
}

}  // namespace

GtkSharePicker::GtkSharePicker(PageWidget widgetOf, UrlOpener& opener)
    : widgetOf_(std::move(widgetOf)), opener_(opener) {}

void GtkSharePicker::share(const std::string& subject, const std::string& text, WeakPageView view) {
    auto page = view.lock();
    if (!page || !widgetOf_) return;
    GtkWidget* widget = widgetOf_(*page);
    if (!widget) return;
    shareDelegate_->subject = subject;

    GtkWidget* popover = gtk_popover_new();
    gtk_widget_add_css_class(popover, kShareClass);
    auto* picker = new Picker{text, shareDelegate_, &opener_, popover};
    g_object_set_data_full(
        G_OBJECT(popover), "lumora-picker", picker,
        +[](gpointer data) { delete static_cast<Picker*>(data); });
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_box_append(GTK_BOX(box), serviceButton("Email", G_CALLBACK(onEmail), picker));
    gtk_box_append(GTK_BOX(box), serviceButton("Copy", G_CALLBACK(onCopy), picker));
    gtk_popover_set_child(GTK_POPOVER(popover), box);

    gtk_widget_set_parent(popover, widget);
    GdkRectangle centre{gtk_widget_get_width(widget) / 2, gtk_widget_get_height(widget) / 2, 1, 1};
    gtk_popover_set_pointing_to(GTK_POPOVER(popover), &centre);
    // The preferred edge is the point's upper side (the web view's coordinates are flipped).
    gtk_popover_set_position(GTK_POPOVER(popover), GTK_POS_TOP);
    g_signal_connect(popover, "closed", G_CALLBACK(onPopoverClosed), nullptr);
    // Disconnected by itself when the popover is finalized first.
    g_signal_connect_object(widget, "destroy", G_CALLBACK(onViewDestroyed), popover,
                            GConnectFlags(0));
    gtk_popover_popup(GTK_POPOVER(popover));
}

}  // namespace lumora
