#include "docs/pdf_layout.hpp"

#include <glib.h>

#include <cmath>
#include <regex>

#include "container/base/message.hpp"

namespace lumora::pdf {

namespace {

BlockKind kindOf(const std::string& k) {
    if (k == "title") return BlockKind::Title;
    if (k == "sub") return BlockKind::Sub;
    if (k == "h") return BlockKind::Heading;
    if (k == "item") return BlockKind::Item;
    if (k == "gap") return BlockKind::Gap;
    return BlockKind::Paragraph;
}

std::string upperCase(const std::string& text) {
    gchar* upper = g_utf8_strup(text.c_str(), static_cast<gssize>(text.size()));
    std::string result = upper ? upper : text;
    g_free(upper);
    return result;
}

StyledText single(std::string text, Weight weight, double size, Colour colour, double kern = 0) {
    return StyledText{{{std::move(text), weight}}, size, colour, 0.32 * size, kern};
}

}  // namespace

std::vector<Block> readBlocks(const nlohmann::json& blocks) {
    std::vector<Block> result;
    if (!blocks.is_array()) return result;
    result.reserve(blocks.size());
    for (const auto& element : blocks) {
        if (!element.is_object()) continue;
        result.push_back(Block{kindOf(field::string(element, "k", "p")),
                               field::string(element, "t", ""), field::string(element, "l", "")});
    }
    return result;
}

bool StyledText::empty() const {
    for (const auto& run : runs)
        if (!run.text.empty()) return false;
    return true;
}

StyledText styledText(const Block& block) {
    switch (block.kind) {
        case BlockKind::Title:
            return single(block.text, Weight::Light, 24, kInk);
        case BlockKind::Sub:
            return single(block.text, Weight::Light, 11, kMuted);
        case BlockKind::Heading:
            return single(upperCase(block.text), Weight::Medium, 9.5, kInk, 1.6);
        case BlockKind::Item: {
            StyledText item = single(block.label + "  ", Weight::Medium, 11, kBody);
            item.runs.push_back({block.text, Weight::Light});
            return item;
        }
        case BlockKind::Gap:
            return StyledText{{}, 11, kBody, 0.32 * 11, 0};
        case BlockKind::Paragraph:
            break;
    }
    return single(block.text, Weight::Light, 11, kBody);
}

StyledText footerText(const std::string& text) {
    return single(text, Weight::Light, 8.5, kMuted);
}

BlockBox blockBox(BlockKind kind) {
    switch (kind) {
        case BlockKind::Title:
            return {kMargin, kTextWidth, 0, 4};
        case BlockKind::Sub:
            return {kMargin, kTextWidth, 0, 10};
        case BlockKind::Heading:
            return {kMargin, kTextWidth, 10, 6};
        case BlockKind::Item:
            return {66, 473.2, 0, 5};
        case BlockKind::Gap:
            return {kMargin, kTextWidth, 0, 8};
        case BlockKind::Paragraph:
            break;
    }
    return {kMargin, kTextWidth, 0, 6};
}

namespace {

// The measuring rule: the suggested height rounded up. An empty text needs no room, as
// with a framesetter given an empty string.
double measuredHeight(Typesetter& typesetter, Slot slot, const StyledText& text, double width) {
    if (text.empty()) return 0;
    return std::ceil(typesetter.measure(slot, text, width));
}

void drawFooterPart(Typesetter& typesetter, const std::string& text, double x, double width) {
    StyledText styled = footerText(text);
    double height = measuredHeight(typesetter, Slot::Footer, styled, width);
    typesetter.drawMeasured(Slot::Footer, {x, kFooterBottom, width, height + 2});
}

}  // namespace

void drawFooter(Typesetter& typesetter, int pageNumber) {
    drawFooterPart(typesetter, kFooterText, kMargin, kTextWidth);
    drawFooterPart(typesetter, std::to_string(pageNumber), kNumberX, kNumberWidth);
}

int layOut(const std::vector<Block>& blocks, Typesetter& typesetter) {
    int page = 1;
    typesetter.beginPage();
    drawFooter(typesetter, page);
    double y = kTop;
    for (const auto& block : blocks) {
        BlockBox box = blockBox(block.kind);
        if (block.kind == BlockKind::Gap) {
            // Never a page break here, even at the bottom of a page.
            y -= box.spaceAfter;
            continue;
        }
        StyledText text = styledText(block);
        double height = measuredHeight(typesetter, Slot::Block, text, box.width);
        y -= box.spaceBefore;
        if (y - height < kLowestBottom) {
            // The block moves whole to a new page; the space before it stays behind.
            typesetter.endPage();
            typesetter.beginPage();
            ++page;
            y = kTop;
            drawFooter(typesetter, page);
        }
        if (!text.empty())
            typesetter.drawMeasured(Slot::Block, {box.x, y - height, box.width, height + 2});
        y -= height + box.spaceAfter;
        if (block.kind == BlockKind::Title) {
            typesetter.strokeLine(y, kMargin, kMargin + kRuleLength, kAccent, 1);
            y -= 14;
        }
    }
    typesetter.endPage();
    return page;
}

std::string sanitisedFileName(const std::string& name) {
    static const std::regex disallowed("[^A-Za-z0-9 ._-]");
    std::string kept = std::regex_replace(name, disallowed, "");
    auto first = kept.find_first_not_of(" \t");
    auto last = kept.find_last_not_of(" \t");
    kept = first == std::string::npos ? std::string() : kept.substr(first, last - first + 1);
    if (kept.empty()) kept = "Lumora";
    return kept + ".pdf";
}

}  // namespace lumora::pdf
