#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "container/base/main_loop.hpp"
#include "container/services.hpp"

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
// Everything runs on the main thread; the dialog and the notes are posted, so they come
// after the message handler has returned.
class LumoraPdfExporter final : public PdfExporter {
  public:
    LumoraPdfExporter(MainLoop& loop, std::function<std::string()> temporaryDirectory,
                      std::unique_ptr<SaveDialog> dialog);

    std::optional<std::string> makePdf(const std::string& name,
                                       const nlohmann::json& blocks) override;
    void presentSavePanel(const std::string& file, WeakPageView view) override;
    void sendPdfNote(WeakPageView view, const std::string& text) override;

    // Puts a copy of file at chosen, when there is a choice.
    static void finishSave(const std::optional<std::string>& chosen, const std::string& file);

  private:
    MainLoop& loop_;
    std::function<std::string()> temporaryDirectory_;
    std::unique_ptr<SaveDialog> dialog_;
    LoopOwner owner_{loop_};
};

// Copies source over destination through a temporary file beside the destination and a
// rename, so a failed copy leaves an existing destination as it was. The copy keeps the
// source's permission bits. Returns 0 or an errno value.
int replaceWithCopy(const std::string& source, const std::string& destination);

}  // namespace lumora
