// The cursor rules with a typesetter of known heights, and the file names.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "docs/pdf_layout.hpp"

namespace lumora::pdf {
namespace {

// Every line is `lineHeight` tall (plus a fraction, to show the rounding up); a text
// asks for one line per "\n"-separated part.
class RecordingTypesetter final : public Typesetter {
  public:
    struct Drawn {
        int page;
        Slot slot;
        std::string text;
        Rect box;
    };
    struct Line {
        int page;
        double y, fromX, toX;
    };

    double lineHeight = 12.3;
    std::vector<Drawn> drawn;
    std::vector<Line> lines;
    std::vector<double> widths;
    int pagesBegun = 0;
    int pagesEnded = 0;

    double measure(Slot slot, const StyledText& text, double width) override {
        std::string all;
        for (const auto& run : text.runs) all += run.text;
        last_[static_cast<int>(slot)] = all;
        widths.push_back(width);
        double count = 1;
        for (char c : all) count += c == '\n';
        return count * lineHeight;
    }
    void drawMeasured(Slot slot, const Rect& box) override {
        drawn.push_back({pagesBegun, slot, last_[static_cast<int>(slot)], box});
    }
    void beginPage() override { ++pagesBegun; }
    void endPage() override { ++pagesEnded; }
    void strokeLine(double y, double fromX, double toX, Colour, double) override {
        lines.push_back({pagesBegun, y, fromX, toX});
    }

    std::vector<Drawn> blocks() const {
        std::vector<Drawn> result;
        for (const auto& d : drawn)
            if (d.slot == Slot::Block) result.push_back(d);
        return result;
    }
    std::vector<Drawn> footers(int page) const {
        std::vector<Drawn> result;
        for (const auto& d : drawn)
            if (d.slot == Slot::Footer && d.page == page) result.push_back(d);
        return result;
    }

  private:
    std::string last_[2];
};

Block para(std::string text = "p") {
    return {BlockKind::Paragraph, std::move(text), ""};
}
Block heading(std::string text) {
    return {BlockKind::Heading, std::move(text), ""};
}
Block gap() {
    return {BlockKind::Gap, "", ""};
}
std::string lines(int count) {
    std::string text = "x";
    for (int i = 1; i < count; ++i) text += "\nx";
    return text;
}

// With 12.3-point lines a one-line block is 13 tall; a paragraph moves the cursor 19.
constexpr double kH = 13;

TEST(PdfLayout, BlocksStackDownFromTheTopWithTheirSpacing) {
    RecordingTypesetter t;
    std::vector<Block> blocks{{BlockKind::Title, "T", ""},
                              {BlockKind::Sub, "S", ""},
                              heading("h"),
                              {BlockKind::Item, "i", "1."},
                              para(),
                              gap(),
                              para()};
    EXPECT_EQ(layOut(blocks, t), 1);
    auto b = t.blocks();
    ASSERT_EQ(b.size(), 6u);
    // Title: box from the cursor down by H, 2 points taller; the rule 4 below the box,
    // then 14 more before the next block.
    EXPECT_DOUBLE_EQ(b[0].box.y, kTop - kH);
    EXPECT_DOUBLE_EQ(b[0].box.height, kH + 2);
    EXPECT_DOUBLE_EQ(b[0].box.x, 56);
    EXPECT_DOUBLE_EQ(b[0].box.width, 483.2);
    ASSERT_EQ(t.lines.size(), 1u);
    EXPECT_DOUBLE_EQ(t.lines[0].y, kTop - kH - 4);
    EXPECT_DOUBLE_EQ(t.lines[0].fromX, 56);
    EXPECT_DOUBLE_EQ(t.lines[0].toX, 104);
    double y = kTop - kH - 4 - 14;
    EXPECT_DOUBLE_EQ(b[1].box.y, y - kH);
    y -= kH + 10;
    EXPECT_DOUBLE_EQ(b[2].box.y, y - 10 - kH);  // 10 before a heading
    EXPECT_EQ(b[2].text, "H");
    y -= 10 + kH + 6;
    EXPECT_DOUBLE_EQ(b[3].box.y, y - kH);  // item: indented box
    EXPECT_DOUBLE_EQ(b[3].box.x, 66);
    EXPECT_DOUBLE_EQ(b[3].box.width, 473.2);
    EXPECT_EQ(b[3].text, "1.  i");
    y -= kH + 5;
    EXPECT_DOUBLE_EQ(b[4].box.y, y - kH);
    y -= kH + 6 + 8;  // paragraph, then the gap
    EXPECT_DOUBLE_EQ(b[5].box.y, y - kH);
}

TEST(PdfLayout, HeightIsRoundedUpAndMeasuredAtTheBoxWidth) {
    RecordingTypesetter t;
    t.lineHeight = 12.0;  // already whole: not rounded further
    layOut({para(lines(3)), {BlockKind::Item, "i", ""}}, t);
    auto b = t.blocks();
    EXPECT_DOUBLE_EQ(b[0].box.height, 36 + 2);
    EXPECT_EQ(b[1].text, "  i");  // an item without a label starts with two spaces
    // Footer text, number, paragraph, item.
    ASSERT_EQ(t.widths.size(), 4u);
    EXPECT_DOUBLE_EQ(t.widths[0], 483.2);
    EXPECT_DOUBLE_EQ(t.widths[1], 20);
    EXPECT_DOUBLE_EQ(t.widths[2], 483.2);
    EXPECT_DOUBLE_EQ(t.widths[3], 473.2);
}

TEST(PdfLayout, BlockThatDoesNotFitMovesWholeToTheNextPage) {
    RecordingTypesetter t;
    // The k-th paragraph (from 0) would have its bottom at 785.8 - 19k - 13: k = 37 ends
    // at 69.8, k = 38 at 50.8, below the lowest bottom of 56, so it moves.
    std::vector<Block> blocks(40, para());
    EXPECT_EQ(layOut(blocks, t), 2);
    auto b = t.blocks();
    int onFirst = 0;
    for (const auto& d : b) onFirst += d.page == 1;
    EXPECT_EQ(onFirst, 38);
    for (const auto& d : b) EXPECT_GE(d.box.y, 56) << "never below the lowest bottom";
    EXPECT_NEAR(b[37].box.y, 69.8, 1e-9);
    EXPECT_DOUBLE_EQ(b[38].box.y, kTop - kH);
    EXPECT_EQ(b[38].page, 2);
    EXPECT_EQ(t.pagesBegun, 2);
    EXPECT_EQ(t.pagesEnded, 2);
}

TEST(PdfLayout, HeadingOnANewPageStartsAtTheTopWithoutItsSpaceBefore) {
    RecordingTypesetter t;
    std::vector<Block> blocks{heading("first")};
    blocks.insert(blocks.end(), 36, para());
    blocks.push_back(heading("second"));
    layOut(blocks, t);
    auto b = t.blocks();
    // On the first page the space before is kept.
    EXPECT_DOUBLE_EQ(b.front().box.y + b.front().box.height, kTop - 10 + 2);
    EXPECT_EQ(b.back().page, 2);
    EXPECT_DOUBLE_EQ(b.back().box.y + b.back().box.height, kTop + 2);
}

TEST(PdfLayout, GapMovesEightPointsEvenAtThePageBottom) {
    // After 37 paragraphs the cursor is at 785.8 - 703 = 82.8: a 13-point block fits
    // (bottom 69.8), but not after two gaps (66.8 - 13 = 53.8).
    auto layOutWith = [](int gaps) {
        RecordingTypesetter t;
        std::vector<Block> blocks(37, para());
        blocks.insert(blocks.end(), gaps, gap());
        blocks.push_back(para("last"));
        layOut(blocks, t);
        return t;
    };
    auto one = layOutWith(1);
    EXPECT_EQ(one.blocks().back().page, 1);
    EXPECT_DOUBLE_EQ(one.blocks().back().box.y, kTop - 37 * 19 - 8 - kH);
    auto two = layOutWith(2);
    EXPECT_EQ(two.blocks().back().page, 2);
    // The gaps do not carry over to the new page.
    EXPECT_DOUBLE_EQ(two.blocks().back().box.y, kTop - kH);
    // Gaps alone far past the bottom never break the page.
    RecordingTypesetter t;
    layOut(std::vector<Block>(200, gap()), t);
    EXPECT_EQ(t.pagesBegun, 1);
    EXPECT_TRUE(t.blocks().empty());
}

TEST(PdfLayout, BlockTallerThanTheTextAreaRunsPastTheBottomOfItsOwnPage) {
    RecordingTypesetter t;
    t.lineHeight = 10;
    layOut({para(), para(lines(80)), para("after")}, t);
    auto b = t.blocks();
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[1].page, 2);
    EXPECT_DOUBLE_EQ(b[1].box.y, kTop - 800);  // not shortened: cut by the page edge
    EXPECT_DOUBLE_EQ(b[1].box.height, 802);
    EXPECT_EQ(b[2].page, 3);
}

TEST(PdfLayout, EveryPageHasItsFooterAndNumber) {
    RecordingTypesetter t;
    int pages = layOut(std::vector<Block>(120, para()), t);
    ASSERT_EQ(pages, 4);
    for (int page = 1; page <= pages; ++page) {
        auto f = t.footers(page);
        ASSERT_EQ(f.size(), 2u) << page;
        EXPECT_EQ(f[0].text, "Lumora · Corvane");
        EXPECT_DOUBLE_EQ(f[0].box.x, 56);
        EXPECT_DOUBLE_EQ(f[0].box.width, 483.2);
        EXPECT_EQ(f[1].text, std::to_string(page));
        EXPECT_DOUBLE_EQ(f[1].box.x, 519.2);
        EXPECT_DOUBLE_EQ(f[1].box.width, 20);
        for (const auto& d : f) {
            EXPECT_DOUBLE_EQ(d.box.y, 36);
            EXPECT_DOUBLE_EQ(d.box.height, kH + 2);
        }
    }
}

TEST(PdfLayout, EmptyDocumentIsOnePageWithItsFooter) {
    RecordingTypesetter t;
    EXPECT_EQ(layOut({}, t), 1);
    EXPECT_EQ(t.pagesBegun, 1);
    EXPECT_EQ(t.pagesEnded, 1);
    EXPECT_TRUE(t.blocks().empty());
    EXPECT_EQ(t.footers(1).size(), 2u);
}

TEST(PdfLayout, EmptyTextTakesNoRoomButKeepsItsSpacing) {
    RecordingTypesetter t;
    layOut({para(""), para("next")}, t);
    auto b = t.blocks();
    ASSERT_EQ(b.size(), 1u);
    EXPECT_DOUBLE_EQ(b[0].box.y, kTop - 6 - kH);
}

TEST(PdfBlocks, KindsTextsAndLabelsWithWrongTypesAsAbsent) {
    auto blocks = readBlocks(nlohmann::json::parse(R"([
        {"k":"title","t":"T"}, {"k":"sub","t":"S"}, {"k":"h","t":"Größe"},
        {"k":"item","t":"I","l":"1."}, {"k":"gap","t":"ignored"},
        {"t":"no kind"}, {"k":"p","t":"P"}, {"k":"quote","t":"Q"},
        {"k":7,"t":["x"],"l":true}, {"k":"item","l":3}
    ])"));
    ASSERT_EQ(blocks.size(), 10u);
    EXPECT_EQ(blocks[0].kind, BlockKind::Title);
    EXPECT_EQ(blocks[1].kind, BlockKind::Sub);
    EXPECT_EQ(blocks[2].kind, BlockKind::Heading);
    EXPECT_EQ(styledText(blocks[2]).runs[0].text, "GRÖSSE");
    EXPECT_EQ(blocks[3].kind, BlockKind::Item);
    EXPECT_EQ(blocks[3].label, "1.");
    EXPECT_EQ(blocks[4].kind, BlockKind::Gap);
    for (int i : {5, 6, 7, 8}) EXPECT_EQ(blocks[i].kind, BlockKind::Paragraph) << i;
    EXPECT_EQ(blocks[8].text, "");
    EXPECT_EQ(blocks[8].label, "");
    EXPECT_EQ(blocks[9].label, "");
}

TEST(PdfBlocks, StylesFollowTheTable) {
    auto item = styledText({BlockKind::Item, "text", "a)"});
    ASSERT_EQ(item.runs.size(), 2u);
    EXPECT_EQ(item.runs[0].text, "a)  ");
    EXPECT_EQ(item.runs[0].weight, Weight::Medium);
    EXPECT_EQ(item.runs[1].weight, Weight::Light);
    struct Expected {
        BlockKind kind;
        double size;
        Colour colour;
        Weight weight;
        double kern;
    };
    for (auto e : {Expected{BlockKind::Title, 24, kInk, Weight::Light, 0},
                   Expected{BlockKind::Sub, 11, kMuted, Weight::Light, 0},
                   Expected{BlockKind::Heading, 9.5, kInk, Weight::Medium, 1.6},
                   Expected{BlockKind::Item, 11, kBody, Weight::Medium, 0},
                   Expected{BlockKind::Paragraph, 11, kBody, Weight::Light, 0}}) {
        auto s = styledText({e.kind, "t", ""});
        EXPECT_DOUBLE_EQ(s.size, e.size);
        EXPECT_DOUBLE_EQ(s.lineSpacing, 0.32 * e.size);
        EXPECT_DOUBLE_EQ(s.colour.red, e.colour.red);
        EXPECT_DOUBLE_EQ(s.colour.blue, e.colour.blue);
        EXPECT_EQ(s.runs[0].weight, e.weight);
        EXPECT_DOUBLE_EQ(s.kern, e.kern);
    }
    auto footer = footerText("1");
    EXPECT_DOUBLE_EQ(footer.size, 8.5);
    EXPECT_DOUBLE_EQ(footer.lineSpacing, 2.72);
    EXPECT_DOUBLE_EQ(footer.colour.green, kMuted.green);
}

TEST(PdfNames, OnlyTheAllowedCharactersSurvive) {
    EXPECT_EQ(sanitisedFileName(" Notes: A/B "), "Notes AB.pdf");
    EXPECT_EQ(sanitisedFileName("x.pdf"), "x.pdf.pdf");
    EXPECT_EQ(sanitisedFileName("éàü"), "Lumora.pdf");
    EXPECT_EQ(sanitisedFileName("///"), "Lumora.pdf");
    EXPECT_EQ(sanitisedFileName(""), "Lumora.pdf");
    EXPECT_EQ(sanitisedFileName(" \t "), "Lumora.pdf");
    EXPECT_EQ(sanitisedFileName("../../etc/passwd"), "....etcpasswd.pdf");
    EXPECT_EQ(sanitisedFileName("Café 2024_v-1"), "Caf 2024_v-1.pdf");
    EXPECT_EQ(sanitisedFileName("a\tb\nc\x7f"
                                "d"),
              "abcd.pdf");
    EXPECT_EQ(sanitisedFileName("日本 語"), "Lumora.pdf");
}

}  // namespace
}  // namespace lumora::pdf
