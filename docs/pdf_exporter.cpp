#include "docs/pdf_exporter.hpp"

#include <glib.h>
#include <sys/stat.h>

#include <cerrno>

#include "container/base/file_io.hpp"
#include "container/base/log.hpp"
#include "container/base/page_call.hpp"
#include "docs/pdf_layout.hpp"
#include "docs/pdf_writer.hpp"

namespace lumora {

LumoraPdfExporter::LumoraPdfExporter(MainLoop& loop,
                                     std::function<std::string()> temporaryDirectory,
                                     std::unique_ptr<SaveDialog> dialog)
    : loop_(loop), temporaryDirectory_(std::move(temporaryDirectory)), dialog_(std::move(dialog)) {}

std::optional<std::string> LumoraPdfExporter::makePdf(const std::string& name,
                                                      const nlohmann::json& blocks) {
    log("pdf: " + std::to_string(blocks.is_array() ? blocks.size() : 0) + " blocks for " + name);
    std::string file = temporaryDirectory_() + "/" + pdf::sanitisedFileName(name);
    if (pdf::writePdf(file, pdf::readBlocks(blocks)) == 0) return std::nullopt;
    return file;
}

void LumoraPdfExporter::presentSavePanel(const std::string& file, WeakPageView view) {
    owner_.post([this, file, view = std::move(view)] {
        std::string name = file.substr(file.rfind('/') + 1);
        dialog_->run(name, view,
                     [file](std::optional<std::string> chosen) { finishSave(chosen, file); });
        log("pdf: save panel shown for " + name);
    });
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
    loop_.post([view = std::move(view), script = pageCall("__lmNote", *argument)] {
        evaluateIfAlive(view, script);
    });
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
