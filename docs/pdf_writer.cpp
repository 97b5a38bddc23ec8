#include "docs/pdf_writer.hpp"

#include <cairo-pdf.h>
#include <fcntl.h>
#include <pango/pangocairo.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>

#include "container/base/file_io.hpp"

namespace lumora::pdf {

namespace {

// "HelveticaNeue-Light" and "HelveticaNeue-Medium" where the family is installed. The
// default sans face usually has no Light beside its Medium, so fontconfig's nearest
// match would draw both weights alike; Roboto has both and a similar grotesque shape.
// Glyphs missing from both (emoji, scripts) fall back through fontconfig as usual.
constexpr const char* kFamilies = "Helvetica Neue,Roboto";

PangoFontDescription* fontFor(PangoWeight weight) {
    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family(font, kFamilies);
    pango_font_description_set_weight(font, weight);
    pango_font_description_set_style(font, PANGO_STYLE_NORMAL);
    return font;
}

int units(double points) {
    return static_cast<int>(std::lround(points * PANGO_SCALE));
}

class CairoTypesetter final : public Typesetter {
  public:
    CairoTypesetter(cairo_t* cr, PangoFontMap* fonts) : cr_(cr) {
        if (fonts) {
            context_ = pango_font_map_create_context(fonts);
            pango_cairo_update_context(cr_, context_);
        } else {
            context_ = pango_cairo_create_context(cr_);
        }
        // PDF text is placed at exact positions: no hinting, no rounding to device pixels.
        cairo_font_options_t* options = cairo_font_options_create();
        cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
        cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
        pango_cairo_context_set_font_options(context_, options);
        cairo_font_options_destroy(options);
        pango_context_set_round_glyph_positions(context_, FALSE);
        for (auto& slot : slots_) {
            slot.layout = pango_layout_new(context_);
            pango_layout_set_wrap(slot.layout, PANGO_WRAP_WORD_CHAR);
        }
        light_ = fontFor(PANGO_WEIGHT_LIGHT);
        medium_ = fontFor(PANGO_WEIGHT_MEDIUM);
    }
    ~CairoTypesetter() override {
        for (auto& slot : slots_) g_object_unref(slot.layout);
        g_object_unref(context_);
        pango_font_description_free(light_);
        pango_font_description_free(medium_);
    }
    CairoTypesetter(const CairoTypesetter&) = delete;
    CairoTypesetter& operator=(const CairoTypesetter&) = delete;

    double measure(Slot which, const StyledText& text, double width) override {
        auto& slot = slots_[static_cast<std::size_t>(which)];
        slot.colour = text.colour;
        text_.clear();
        PangoAttrList* attributes = pango_attr_list_new();
        for (const auto& run : text.runs) {
            auto start = static_cast<guint>(text_.size());
            text_ += run.text;
            PangoFontDescription* font = run.weight == Weight::Medium ? medium_ : light_;
            pango_font_description_set_absolute_size(font, text.size * PANGO_SCALE);
            PangoAttribute* attribute = pango_attr_font_desc_new(font);
            attribute->start_index = start;
            attribute->end_index = static_cast<guint>(text_.size());
            pango_attr_list_insert(attributes, attribute);
        }
        if (text.kern != 0)
            pango_attr_list_insert(attributes, pango_attr_letter_spacing_new(units(text.kern)));
        pango_layout_set_width(slot.layout, units(width));
        pango_layout_set_spacing(slot.layout, units(text.lineSpacing));
        pango_layout_set_text(slot.layout, text_.data(), static_cast<int>(text_.size()));
        pango_layout_set_attributes(slot.layout, attributes);
        pango_attr_list_unref(attributes);
        PangoRectangle logical;
        pango_layout_get_extents(slot.layout, nullptr, &logical);
        return std::min(static_cast<double>(logical.height) / PANGO_SCALE, kMeasureLimit);
    }

    void drawMeasured(Slot which, const Rect& box) override {
        auto& slot = slots_[static_cast<std::size_t>(which)];
        cairo_save(cr_);
        // Cairo's origin is the top left; the text starts at the top of its box.
        cairo_move_to(cr_, box.x, kPageHeight - (box.y + box.height));
        cairo_set_source_rgb(cr_, slot.colour.red, slot.colour.green, slot.colour.blue);
        pango_cairo_show_layout(cr_, slot.layout);
        cairo_restore(cr_);
    }

    void beginPage() override {}
    void endPage() override { cairo_show_page(cr_); }

    void strokeLine(double y, double fromX, double toX, Colour colour, double width) override {
        cairo_save(cr_);
        cairo_set_source_rgb(cr_, colour.red, colour.green, colour.blue);
        cairo_set_line_width(cr_, width);
        cairo_move_to(cr_, fromX, kPageHeight - y);
        cairo_line_to(cr_, toX, kPageHeight - y);
        cairo_stroke(cr_);
        cairo_restore(cr_);
    }

  private:
    struct Layout {
        PangoLayout* layout = nullptr;
        Colour colour = kBody;
    };
    cairo_t* cr_;
    PangoContext* context_ = nullptr;
    std::array<Layout, 2> slots_;
    PangoFontDescription* light_ = nullptr;
    PangoFontDescription* medium_ = nullptr;
    std::string text_;
};

}  // namespace

namespace {
// Cairo's own file output drops the error of its last flush, so on a full disk a cut-off
// file came back as finished; through our own descriptor every failed write counts.
struct FileSink {
    int fd = -1;
    bool failed = false;
};

cairo_status_t writeToSink(void* closure, const unsigned char* data, unsigned int length) {
    auto* sink = static_cast<FileSink*>(closure);
    if (writeAll(sink->fd, data, length) == 0) return CAIRO_STATUS_SUCCESS;
    sink->failed = true;
    return CAIRO_STATUS_WRITE_ERROR;
}
}  // namespace

int writePdf(const std::string& path, const std::vector<Block>& blocks, PangoFontMap* fonts) {
    FileSink sink;
    sink.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (sink.fd < 0) return 0;
    cairo_surface_t* surface =
        cairo_pdf_surface_create_for_stream(writeToSink, &sink, kPageWidth, kPageHeight);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        ::close(sink.fd);
        return 0;
    }
    cairo_t* cr = cairo_create(surface);
    int pages = 0;
    {
        CairoTypesetter typesetter(cr, fonts);
        pages = layOut(blocks, typesetter);
    }
    cairo_destroy(cr);
    // Write errors surface only once the file is finished.
    cairo_surface_finish(surface);
    bool written = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS && !sink.failed;
    cairo_surface_destroy(surface);
    if (::close(sink.fd) != 0) written = false;
    // A cut-off file is of no use and would keep a full disk full.
    if (!written) ::unlink(path.c_str());
    return written ? pages : 0;
}

}  // namespace lumora::pdf
