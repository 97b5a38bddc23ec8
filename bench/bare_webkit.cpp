// The reference for the start-up benchmark: the least a WebKitGTK 6 program can do to show
// a page through a custom scheme. Prints "loaded" when the page has finished loading.
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <cstdio>
#include <string>

static std::string root;

static void serve(WebKitURISchemeRequest* request, gpointer) {
    std::string path = root + webkit_uri_scheme_request_get_path(request);
    if (path.back() == '/') path += "index.html";
    gchar* data = nullptr;
    gsize size = 0;
    if (!g_file_get_contents(path.c_str(), &data, &size, nullptr)) {
        GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "missing");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        return;
    }
    GInputStream* stream = g_memory_input_stream_new_from_data(data, size, g_free);
    const char* type = g_str_has_suffix(path.c_str(), ".html")  ? "text/html"
                       : g_str_has_suffix(path.c_str(), ".js")  ? "text/javascript"
                       : g_str_has_suffix(path.c_str(), ".css") ? "text/css"
                                                                : "application/octet-stream";
    webkit_uri_scheme_request_finish(request, stream, size, type);
    g_object_unref(stream);
}

static void onLoad(WebKitWebView*, WebKitLoadEvent event, gpointer) {
    if (event == WEBKIT_LOAD_FINISHED) {
        std::puts("loaded");
        std::fflush(stdout);
    }
}

static void activate(GtkApplication* app, gpointer) {
    WebKitWebContext* context = webkit_web_context_get_default();
    webkit_web_context_register_uri_scheme(context, "bare", serve, nullptr, nullptr);
    webkit_security_manager_register_uri_scheme_as_secure(
        webkit_web_context_get_security_manager(context), "bare");
    GtkWidget* window = gtk_application_window_new(app);
    gtk_window_set_default_size(GTK_WINDOW(window), 1180, 820);
    GtkWidget* view = webkit_web_view_new();
    g_signal_connect(view, "load-changed", G_CALLBACK(onLoad), nullptr);
    gtk_window_set_child(GTK_WINDOW(window), view);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), "bare://app/index.html");
    gtk_window_present(GTK_WINDOW(window));
}

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    root = argv[1];
    GtkApplication* app = gtk_application_new("org.lumora.BareProbe", G_APPLICATION_NON_UNIQUE);
    g_signal_connect(app, "activate", G_CALLBACK(activate), nullptr);
    char* args[] = {argv[0], nullptr};
    int status = g_application_run(G_APPLICATION(app), 1, args);
    g_object_unref(app);
    return status;
}
