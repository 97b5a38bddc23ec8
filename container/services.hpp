#pragma once
#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "container/base/page_view.hpp"

// The seams between the web container and the native services behind the bridge.
// Each service has its logic in its own subsystem; the application wires them up.
namespace lumora {

// Session audio: the seven "audio*" messages.
class AudioMessages {
  public:
    virtual ~AudioMessages() = default;
    virtual void setWebView(WeakPageView view) = 0;
    // Takes the body: a chunk's samples are megabytes, and are not copied again.
    virtual void handle(const std::string& type, nlohmann::json body) = 0;
};

// PDF export: layout to a temporary file, then the save dialog.
class PdfExporter {
  public:
    virtual ~PdfExporter() = default;
    // The path of the finished temporary file, or nothing.
    virtual std::optional<std::string> makePdf(const std::string& name,
                                               const nlohmann::json& blocks) = 0;
    virtual void presentSavePanel(const std::string& file, WeakPageView view) = 0;
    virtual void sendPdfNote(WeakPageView view, const std::string& text) = 0;
    // A document whose blocks passed the checks: makePdf, then the save panel, or the note
    // when no file came. Here all at once; an exporter may lay out on another thread and
    // finish later, in the same order.
    virtual void exportPdf(const std::string& name, const nlohmann::json& blocks,
                           WeakPageView view) {
        auto file = makePdf(name, blocks);
        if (!file) {
            sendPdfNote(std::move(view), "The PDF could not be made.");
            return;
        }
        presentSavePanel(*file, std::move(view));
    }
};

// The share picker.
class SharePicker {
  public:
    virtual ~SharePicker() = default;
    virtual void share(const std::string& subject, const std::string& text, WeakPageView view) = 0;
};

// Keeps the display awake while a session runs.
class ActivityInhibitor {
  public:
    virtual ~ActivityInhibitor() = default;
    virtual void begin(const std::string& reason) = 0;
    virtual void end() = 0;
};

// Opens a URI in the user's default handler.
class UrlOpener {
  public:
    virtual ~UrlOpener() = default;
    virtual void open(const std::string& uri) = 0;
};

// Cloud sync of the saved state.
class CloudService {
  public:
    virtual ~CloudService() = default;
    virtual void setWebView(WeakPageView view) = 0;
    virtual bool isEnabled() = 0;
    virtual void push(const nlohmann::json& value, bool sync) = 0;
    // The same, for a caller that already has the value as compact JSON text of an object
    // or array, so a large state is not serialised twice per save.
    virtual void pushDocument(const std::string& document, bool sync) {
        push(nlohmann::json::parse(document), sync);
    }
    // The same for text shared with other readers (the local save).
    virtual void pushDocument(std::shared_ptr<const std::string> document, bool sync) {
        pushDocument(*document, sync);
    }
    virtual void pull() = 0;
    virtual void forget() = 0;
    // Waits, at most seconds, for the work already given to be done (its answers to the
    // page are posted, not run). Returns whether it was.
    virtual bool flush(double seconds) {
        (void)seconds;
        return true;
    }
};

// The daily reminder.
class ReminderService {
  public:
    virtual ~ReminderService() = default;
    virtual void update(bool on, const std::string& time) = 0;
};

// Gift links handed to the page.
class GiftService {
  public:
    virtual ~GiftService() = default;
    virtual void setWebView(WeakPageView view) = 0;
    virtual void setSchemes(std::vector<std::string> schemes) = 0;
    virtual void receive(const std::string& url) = 0;
    virtual void deliver() = 0;
};

}  // namespace lumora
