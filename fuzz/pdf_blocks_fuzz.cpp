// The PDF block reader and the page layout, with a typesetter that measures text by its
// length: every box stays on the page, every page has its footer, and the number of
// pages is the number of pages begun. Small inputs also go through the real Pango and
// Cairo writer.
#include <glib.h>
#include <glib/gstdio.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "docs/pdf_layout.hpp"
#include "docs/pdf_writer.hpp"
#include "fuzz/fuzz_check.hpp"

namespace {

using namespace lumora::pdf;

struct LengthTypesetter final : lumora::pdf::Typesetter {
    double measure(Slot slot, const StyledText& text, double width) override {
        FUZZ_CHECK(width > 0 && width <= kTextWidth);
        std::size_t length = 0;
        for (const auto& run : text.runs) length += run.text.size();
        double perLine = std::max(1.0, width / (text.size * 0.5));
        double height = std::ceil(length / perLine) * (text.size * 1.2 + text.lineSpacing);
        measured[static_cast<int>(slot)] = true;
        return std::min(height, kMeasureLimit);
    }
    void drawMeasured(Slot slot, const Rect& box) override {
        FUZZ_CHECK(open);
        FUZZ_CHECK(measured[static_cast<int>(slot)]);
        measured[static_cast<int>(slot)] = false;
        FUZZ_CHECK(box.x >= 0 && box.width > 0 && box.x + box.width <= kPageWidth + 1e-6);
        FUZZ_CHECK(box.y + box.height <= kPageHeight + 1e-6);
        if (slot == Slot::Footer) {
            ++footers;
            FUZZ_CHECK(box.y >= 0);
        } else if (box.height - 2 <= kTop - kLowestBottom) {
            // A block that fits on a page is never cut by the page's bottom.
            FUZZ_CHECK(box.y >= kLowestBottom - 1e-6);
        }
    }
    void beginPage() override {
        FUZZ_CHECK(!open);
        open = true;
        ++pages;
    }
    void endPage() override {
        FUZZ_CHECK(open);
        open = false;
    }
    void strokeLine(double y, double fromX, double toX, Colour, double width) override {
        FUZZ_CHECK(open);
        FUZZ_CHECK(fromX >= 0 && toX <= kPageWidth && fromX < toX && width > 0);
        (void)y;
    }
    bool measured[2] = {false, false};
    bool open = false;
    int pages = 0, footers = 0;
};

struct Directory {
    Directory() {
        std::string base = g_file_test("/dev/shm", G_FILE_TEST_IS_DIR) ? "/dev/shm" : "/tmp";
        std::string templ = base + "/lumora-fuzz-pdf-XXXXXX";
        path = g_mkdtemp(templ.data());
    }
    ~Directory() { g_rmdir(path.c_str()); }
    std::string path;
};

std::string temporaryFile() {
    static const Directory dir;
    return dir.path + "/out.pdf";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = nlohmann::json::parse(data, data + size, nullptr, false);
    if (input.is_discarded()) return 0;
    if (input.is_object()) input = nlohmann::json::array({input});
    if (!input.is_array()) return 0;
    for (const auto& element : input)
        if (!element.is_object()) return 0;

    auto blocks = readBlocks(input);
    FUZZ_CHECK(blocks.size() == input.size());
    LengthTypesetter typesetter;
    int pages = layOut(blocks, typesetter);
    FUZZ_CHECK(!typesetter.open);
    FUZZ_CHECK(pages == typesetter.pages && pages >= 1);
    FUZZ_CHECK(typesetter.footers == 2 * pages);
    FUZZ_CHECK(pages <= static_cast<int>(blocks.size()) + 1);

    if (size <= 2048) {
        const std::string file = temporaryFile();
        int written = writePdf(file, blocks);
        FUZZ_CHECK(written >= 1);
        gchar* contents = nullptr;
        gsize length = 0;
        FUZZ_CHECK(g_file_get_contents(file.c_str(), &contents, &length, nullptr));
        FUZZ_CHECK(length > 5 && std::string(contents, 5) == "%PDF-");
        g_free(contents);
        g_unlink(file.c_str());
    }
    return 0;
}
