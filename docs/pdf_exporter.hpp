#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "container/base/glib_ptr.hpp"
#include "container/base/main_loop.hpp"
#include "container/services.hpp"
#include "docs/pdf_writer.hpp"

namespace lumora {

// Where the user wants the PDF. The desktop's file chooser, or a fixed path in tests.
class SaveDialog {
  public:
    virtual ~SaveDialog() = default;
    // Called once with the chosen path, or with nothing when the user cancelled.
    using Done = std::function<void(std::optional<std::string> chosen)>;
    // Offers to save a file named suggestedName, over the window of view when it has one.
    virtual void run(const std::string& suggestedName, const WeakPageView& view, Done done) = 0;
};

// Answers every dialog at once with one path (LUMORA_TEST_SAVE_PATH).
class FixedPathSaveDialog final : public SaveDialog {
  public:
    explicit FixedPathSaveDialog(std::string path) : path_(std::move(path)) {}
    void run(const std::string&, const WeakPageView&, Done done) override { done(path_); }

  private:
    std::string path_;
};

// PDF export: the layout into the user's temporary directory, then the save dialog.
// Layout, writing and the copy to the chosen place run in order on a worker of their own;
// the dialog and the notes run on the main thread, after the message handler has returned
// and in the order of the messages.
class LumoraPdfExporter final : public PdfExporter {
  public:
    LumoraPdfExporter(MainLoop& loop, std::function<std::string()> temporaryDirectory,
                      std::unique_ptr<SaveDialog> dialog);
    ~LumoraPdfExporter() override;
    LumoraPdfExporter(const LumoraPdfExporter&) = delete;
    LumoraPdfExporter& operator=(const LumoraPdfExporter&) = delete;

    // On the caller's thread, for a caller that wants the file at once.
    std::optional<std::string> makePdf(const std::string& name,
                                       const nlohmann::json& blocks) override;
    void exportPdf(const std::string& name, const nlohmann::json& blocks,
                   WeakPageView view) override;
    void presentSavePanel(const std::string& file, WeakPageView view) override;
    void sendPdfNote(WeakPageView view, const std::string& text) override;

    // Blocks until the files of every export and save asked for so far are written;
    // their results are then waiting on the main loop.
    void drain() { worker_.drain(); }

    // Puts a copy of file at chosen, when there is a choice.
    static void finishSave(const std::optional<std::string>& chosen, const std::string& file);

  private:
    std::string temporaryFile(const std::string& name);
    void finishExport(const std::string& file, bool written, const WeakPageView& view);
    void showSavePanel(const std::string& file, const WeakPageView& view);
    // Runs fn on the main loop after the outcome of every export still on the worker.
    void deliverInOrder(std::function<void()> fn);

    MainLoop& loop_;
    std::function<std::string()> temporaryDirectory_;
    std::unique_ptr<SaveDialog> dialog_;
    // Exports given to the worker whose outcome has not reached the main thread yet.
    int exporting_ = 0;
    // The worker's own fonts: made by its first export, released by its last job.
    GPtr<PangoFontMap> fonts_;
    SerialWorker worker_{"lumora-pdf"};
    LoopOwner owner_{loop_};
};

// Copies source over destination through a temporary file beside the destination and a
// rename, so a failed copy leaves an existing destination as it was. The copy keeps the
// source's permission bits. Returns 0 or an errno value.
int replaceWithCopy(const std::string& source, const std::string& destination);

}  // namespace lumora
