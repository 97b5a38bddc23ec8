#include "docs/pdf_exporter.hpp"

#include <glib.h>
#include <pango/pangocairo.h>
#include <sys/stat.h>

#include <cerrno>

#include "container/base/file_io.hpp"
#include "container/base/log.hpp"
#include "container/base/page_call.hpp"
#include "docs/pdf_layout.hpp"
#include "docs/pdf_writer.hpp"

namespace lumora {

namespace {
void logDocument(const std::string& name, const nlohmann::json& blocks) {
    log("pdf: " + std::to_string(blocks.is_array() ? blocks.size() : 0) + " blocks for " + name);
}
}  // namespace

LumoraPdfExporter::LumoraPdfExporter(MainLoop& loop,
                                     std::function<std::string()> temporaryDirectory,
                                     std::unique_ptr<SaveDialog> dialog)
    : loop_(loop), temporaryDirectory_(std::move(temporaryDirectory)), dialog_(std::move(dialog)) {}

LumoraPdfExporter::~LumoraPdfExporter() {
    // The font map goes on the thread that made it, after every export still queued.
    worker_.run([this] { fonts_.reset(); });
}

std::string LumoraPdfExporter::temporaryFile(const std::string& name) {
    return temporaryDirectory_() + "/" + pdf::sanitisedFileName(name);
}

std::optional<std::string> LumoraPdfExporter::makePdf(const std::string& name,
                                                      const nlohmann::json& blocks) {
    logDocument(name, blocks);
    std::string file = temporaryFile(name);
    if (pdf::writePdf(file, pdf::readBlocks(blocks)) == 0) return std::nullopt;
    return file;
}

void LumoraPdfExporter::exportPdf(const std::string& name, const nlohmann::json& blocks,
                                  WeakPageView view) {
    logDocument(name, blocks);
    std::string file = temporaryFile(name);
    auto written = std::make_shared<bool>(false);
    auto done = owner_.poster(
        [this, file, written, view = std::move(view)] { finishExport(file, *written, view); });
    ++exporting_;
    worker_.run([this, file, blocks = pdf::readBlocks(blocks), written, done] {
        if (!fonts_) fonts_ = GPtr<PangoFontMap>::adopt(pango_cairo_font_map_new());
        *written = pdf::writePdf(file, blocks, fonts_.get()) != 0;
        done();
    });
}

void LumoraPdfExporter::finishExport(const std::string& file, bool written,
                                     const WeakPageView& view) {
    --exporting_;
    // Already a later turn of the loop, and in message order: nothing more to wait for.
    if (!written) {
        std::string text = "The PDF could not be made.";
        log("pdf: " + text);
        if (auto argument = textArgument(text))
            evaluateIfAlive(view, pageCall("__lmNote", *argument));
        return;
    }
    showSavePanel(file, view);
}

void LumoraPdfExporter::presentSavePanel(const std::string& file, WeakPageView view) {
    deliverInOrder([this, file, view = std::move(view)] { showSavePanel(file, view); });
}

void LumoraPdfExporter::showSavePanel(const std::string& file, const WeakPageView& view) {
    std::string name = file.substr(file.rfind('/') + 1);
    // The copy waits behind any export still writing the same temporary file.
    dialog_->run(name, view,
                 [this, alive = owner_.token(), file](std::optional<std::string> chosen) {
                     if (alive.expired()) return;
                     worker_.run([chosen, file] { finishSave(chosen, file); });
                 });
    log("pdf: save panel shown for " + name);
}

void LumoraPdfExporter::finishSave(const std::optional<std::string>& chosen,
                                   const std::string& file) {
    if (!chosen || chosen->empty()) return;
    // Nothing is reported either way; the temporary file stays for another try.
    replaceWithCopy(file, *chosen);
}

void LumoraPdfExporter::sendPdfNote(WeakPageView view, const std::string& text) {
    log("pdf: " + text);
    auto argument = textArgument(text);
    if (!argument) return;
    deliverInOrder([view = std::move(view), script = pageCall("__lmNote", *argument)] {
        evaluateIfAlive(view, script);
    });
}

void LumoraPdfExporter::deliverInOrder(std::function<void()> fn) {
    if (exporting_ == 0) {
        owner_.post(std::move(fn));
        return;
    }
    // Behind the exports on the worker, so it reaches the loop after their outcomes.
    worker_.run(owner_.poster(std::move(fn)));
}

int replaceWithCopy(const std::string& source, const std::string& destination) {
    struct stat info {};
    if (stat(source.c_str(), &info) != 0) return errno;
    gchar* data = nullptr;
    gsize length = 0;
    GError* error = nullptr;
    if (!g_file_get_contents(source.c_str(), &data, &length, &error)) {
        g_error_free(error);
        return EIO;
    }
    std::string contents(data, length);
    g_free(data);
    return writeFileAtomically(destination, contents, static_cast<int>(info.st_mode & 0777));
}

}  // namespace lumora
