#pragma once
#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>

#include "container/base/main_loop.hpp"
#include "container/services.hpp"
#include "docs/pdf_exporter.hpp"
#include "docs/share_text.hpp"

namespace lumora {

// The widget that shows a page view, or null (the application knows its web views).
using PageWidget = std::function<GtkWidget*(PageView& view)>;
// The application's window, or null while it has none.
using AppWindow = std::function<GtkWindow*()>;

// GTK's save dialog: modal over the sending web view's window (else the application
// window), the suggested name filled in, PDF files only.
class GtkSaveDialog final : public SaveDialog {
  public:
    GtkSaveDialog(PageWidget widgetOf, AppWindow window);
    void run(const std::string& suggestedName, const WeakPageView& view, Done done) override;

  private:
    PageWidget widgetOf_;
    AppWindow window_;
};

// The exporter with GTK's dialog, or with the fixed path in $LUMORA_TEST_SAVE_PATH when
// that is set (tests that do not drive the dialog itself).
std::unique_ptr<LumoraPdfExporter> makeGtkPdfExporter(
    MainLoop& loop, std::function<std::string()> temporaryDirectory, PageWidget widgetOf,
    AppWindow window);

// The share picker: a popover at the centre of the web view offering "Email" (a mailto:
// URI in the default mail program) and "Copy" (the clipboard).
class GtkSharePicker final : public SharePicker {
  public:
    GtkSharePicker(PageWidget widgetOf, UrlOpener& opener);
    void share(const std::string& subject, const std::string& text, WeakPageView view) override;

    const std::string& subject() const { return shareDelegate_->subject; }

  private:
    PageWidget widgetOf_;
    UrlOpener& opener_;
    std::shared_ptr<MailSubjectDelegate> shareDelegate_ = std::make_shared<MailSubjectDelegate>();
};

}  // namespace lumora
