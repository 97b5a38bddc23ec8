// The real PDF, read back with poppler's tools: sizes, boxes, the rule, page breaks,
// footers, fonts, colours and shaping.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "docs/pdf_layout.hpp"
#include "docs/pdf_writer.hpp"
#include "tests/docs/pdf_probe.hpp"
#include "tests/support/test_env.hpp"

namespace lumora::test {
namespace {

using pdf::Block;
using pdf::BlockKind;

constexpr double kTolerance = 0.3;
// The top of the text area seen from the top of the page, where a box drawn at the
// cursor 785.8 begins (2 points above it).
constexpr double kFirstTop = 841.8 - 785.8 - 2;  // 54

Block para(std::string text) {
    return {BlockKind::Paragraph, std::move(text), ""};
}
Block heading(std::string text) {
    return {BlockKind::Heading, std::move(text), ""};
}
Block gap() {
    return {BlockKind::Gap, "", ""};
}

class PdfGeometry : public ::testing::Test {
  protected:
    std::string write(const std::vector<Block>& blocks, const std::string& name = "doc.pdf") {
        std::string path = env.root() + "/" + name;
        EXPECT_GT(pdf::writePdf(path, blocks), 0);
        return path;
    }
    TestEnv env;
};

TEST_F(PdfGeometry, EveryPageIsA4WithItsFooterAndNumber) {
    std::vector<Block> blocks;
    for (int i = 0; i < 100; ++i) blocks.push_back(para("Paragraph " + std::to_string(i)));
    auto file = write(blocks);
    int pages = pdfPages(file);
    ASSERT_GE(pages, 3);
    auto sizes = pdfPageSizes(file);
    ASSERT_EQ(sizes.size(), static_cast<std::size_t>(pages));
    for (const auto& size : sizes) EXPECT_EQ(size, "595.2 x 841.8");

    auto words = pdfWords(file);
    for (int page = 1; page <= pages; ++page) {
        SCOPED_TRACE("page " + std::to_string(page));
        const Word* lumora = findWord(words, "Lumora", page);
        const Word* corvane = findWord(words, "Corvane", page);
        ASSERT_TRUE(lumora && corvane && findWord(words, "·", page));
        EXPECT_NEAR(lumora->xMin, 56, kTolerance);
        const Word* number = nullptr;
        for (const auto& w : words)
            if (w.page == page && w.text == std::to_string(page) && w.yMin > 700) number = &w;
        ASSERT_TRUE(number);
        EXPECT_GE(number->xMin, 519.2 - 0.01);
        EXPECT_LE(number->xMax, 539.2 + kTolerance);
        EXPECT_NEAR(number->yMin, lumora->yMin, 0.01);
        // Both boxes stand on y = 36: the text starts H + 2 above it.
        double height = std::ceil(number->yMax - number->yMin - 0.05);
        EXPECT_NEAR(841.8 - 36 - (height + 2), number->yMin, kTolerance);
    }
    // Paragraph 0 opens the first page at the top of the text area.
    const Word* first = findWord(words, "Paragraph");
    ASSERT_TRUE(first);
    EXPECT_NEAR(first->yMin, kFirstTop, kTolerance);
}

TEST_F(PdfGeometry, TitleAtTheTopAndItsAccentRuleBelow) {
    auto file = write(
        {{BlockKind::Title, "Weekly Notes", ""}, {BlockKind::Sub, "Subtitle", ""}, para("Body")});
    auto words = pdfWords(file);
    const Word* title = findWord(words, "Weekly");
    const Word* sub = findWord(words, "Subtitle");
    ASSERT_TRUE(title && sub);
    EXPECT_NEAR(title->xMin, 56, kTolerance);
    EXPECT_NEAR(title->yMin, kFirstTop, kTolerance);

    // The one stroked line of the page, in the page's flipped coordinates.
    std::string page;
    for (const auto& s : pdfStreams(file))
        if (s.find(" l S") != std::string::npos) page = s;
    ASSERT_NE(page.find("1 0 0 -1 0 841.8 cm"), std::string::npos);
    ASSERT_NE(page.find("0.78 0.62 0.26 RG 1 w"), std::string::npos) << "accent, 1 point";
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(page, m, std::regex(R"(([0-9.]+) ([0-9.]+) m ([0-9.]+) ([0-9.]+) l S)")));
    EXPECT_DOUBLE_EQ(std::stod(m[1]), 56);
    EXPECT_DOUBLE_EQ(std::stod(m[3]), 104);
    ASSERT_EQ(m[2], m[4]);
    double rule = std::stod(m[2]);
    // 4 below the title's box, whose height is a whole H (not smaller than the line) + 2.
    double boxHeight = rule - 4 - kFirstTop;
    EXPECT_NEAR(boxHeight, std::round(boxHeight), 1e-6);
    EXPECT_GE(boxHeight - 2, title->yMax - title->yMin - 0.05);
    EXPECT_LT(boxHeight - 2, title->yMax - title->yMin + 1);
    // Then 14 more before the subtitle's box, which starts 2 above its cursor.
    EXPECT_NEAR(sub->yMin, rule + 14 - 2, kTolerance);
}

TEST_F(PdfGeometry, HeadingSpaceBeforeDoesNotCarryOverToANewPage) {
    std::vector<Block> blocks;
    for (int i = 0; i < 60; ++i) blocks.push_back(heading("heading" + std::to_string(i)));
    auto file = write(blocks);
    auto words = pdfWords(file);
    ASSERT_GE(pdfPages(file), 2);
    auto first = wordsOnPage(words, 1);
    auto second = wordsOnPage(words, 2);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(first[0].text, "HEADING0");  // in upper case
    EXPECT_NEAR(first[0].yMin, kFirstTop + 10, kTolerance);
    EXPECT_NEAR(second[0].yMin, kFirstTop, kTolerance) << second[0].text;
    // Consecutive headings: 10 before, H, 6 after.
    auto next = findWord(words, "HEADING1");
    ASSERT_TRUE(next);
    double h = next->yMin - first[0].yMin - 16;
    EXPECT_NEAR(h, std::round(h), kTolerance);
}

TEST_F(PdfGeometry, GapMovesEightPointsUntilTheBlockAfterItNoLongerFits) {
    // How many one-line paragraphs the first page takes.
    std::vector<Block> fill;
    for (int i = 0; i < 60; ++i) fill.push_back(para("filler" + std::to_string(i)));
    auto filled = pdfWords(write(fill, "fill.pdf"));
    int perPage = 0;
    double pitch = 0;
    for (const auto& w : filled) perPage += w.page == 1 && w.text.starts_with("filler");
    pitch = findWord(filled, "filler1")->yMin - findWord(filled, "filler0")->yMin;
    ASSERT_GT(perPage, 10);
    double height = pitch - 6;  // the measured height H of one line

    // perPage - 1 fillers, then g gaps, then "last".
    auto lastWith = [&](int gaps) {
        std::vector<Block> blocks(fill.begin(), fill.begin() + perPage - 1);
        blocks.insert(blocks.end(), gaps, gap());
        blocks.push_back(para("last"));
        auto words = pdfWords(write(blocks, "gaps" + std::to_string(gaps) + ".pdf"));
        const Word* last = findWord(words, "last");
        return last ? *last : Word{0, 0, 0, 0, 0, ""};
    };
    Word without = lastWith(0);
    ASSERT_EQ(without.page, 1);
    int gaps = 0;
    Word last = without;
    for (; gaps < 20; ++gaps) {
        Word next = lastWith(gaps + 1);
        if (next.page != 1) {
            last = next;
            break;
        }
        EXPECT_NEAR(next.yMin - without.yMin, 8.0 * (gaps + 1), 0.01);
        // Still on the page: its box ends above the lowest bottom.
        EXPECT_LE(next.yMin + height + 2, 841.8 - 56 + kTolerance);
    }
    ASSERT_LT(gaps, 20) << "gaps never pushed the block off the page";
    EXPECT_EQ(last.page, 2);
    // One more gap would have taken it below y = 56; on the new page the gaps are gone.
    EXPECT_GT(without.yMin + 8.0 * (gaps + 1) + height + 2, 841.8 - 56 - kTolerance);
    EXPECT_NEAR(last.yMin, kFirstTop, kTolerance);
}

TEST_F(PdfGeometry, BlockTallerThanTheTextAreaIsCutAtThePageEdge) {
    std::string tall = "w0";
    for (int i = 1; i < 100; ++i) tall += "\nw" + std::to_string(i);
    auto file = write({{BlockKind::Title, "Tall", ""}, para(tall), para("after")}, "tall.pdf");
    ASSERT_EQ(pdfPages(file), 3);
    auto words = pdfWords(file);
    const Word* start = findWord(words, "w0");
    ASSERT_TRUE(start);
    EXPECT_EQ(start->page, 2) << "moved whole to the next page";
    EXPECT_NEAR(start->yMin, kFirstTop, kTolerance);
    int visible = 0;
    for (const auto& w : wordsOnPage(words, 2))
        if (w.text.starts_with("w") && w.yMax <= 841.8) ++visible;
    EXPECT_GT(visible, 30);
    EXPECT_LT(visible, 100);
    const Word* after = findWord(words, "after");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->page, 3);
    EXPECT_NEAR(after->yMin, kFirstTop, kTolerance);

    // Ink runs into the band below the footer on page 2, and not on page 3.
    auto inkBelowFooter = [&](int page) {
        Raster r = renderPage(file, page, 72, env.root() + "/tall-" + std::to_string(page));
        int ink = 0;
        for (int y = 812; y < r.height; ++y)
            for (int x = 56; x < 300; ++x) ink += r.at(x, y)[0] < 128;
        return ink;
    };
    EXPECT_GT(inkBelowFooter(2), 20);
    EXPECT_EQ(inkBelowFooter(3), 0);
}

TEST_F(PdfGeometry, EmptyDocumentIsOnePageWithOnlyTheFooter) {
    auto file = write({});
    EXPECT_EQ(pdfPages(file), 1);
    std::string text = runCommand("pdftotext '" + file + "' -");
    EXPECT_EQ(std::regex_replace(text, std::regex(R"(\s+)"), " "), "Lumora · Corvane 1 ");
}

TEST_F(PdfGeometry, LineSpacingIsAThirdOfTheSize) {
    std::string words;
    for (int i = 0; i < 60; ++i) words += "word" + std::to_string(i) + " ";
    auto file = write({para(words), heading(words)});
    auto all = pdfWords(file);
    // The first two lines of each block: the step between them is the line plus spacing.
    auto step = [&](const std::string& first, const std::string& second, double spacing) {
        std::vector<const Word*> lineStarts;
        for (const auto& w : all)
            if (w.text == first || w.text == second) lineStarts.push_back(&w);
        ASSERT_GE(lineStarts.size(), 2u);
        double line = lineStarts[0]->yMax - lineStarts[0]->yMin;
        double next = 0;
        for (const auto& w : all)
            if (w.xMin < lineStarts[0]->xMin + 0.5 && w.yMin > lineStarts[0]->yMin + 1 &&
                w.text.size() > 2 && w.text.substr(0, 4) == first.substr(0, 4)) {
                next = w.yMin;
                break;
            }
        ASSERT_GT(next, 0);
        EXPECT_NEAR(next - lineStarts[0]->yMin - line, spacing, 0.1) << first;
    };
    step("word0", "word1", 0.32 * 11);
    step("WORD0", "WORD1", 0.32 * 9.5);
}

TEST_F(PdfGeometry, LabelsUseTheMediumFaceAndTextTheLightFace) {
    auto faces = [&](const std::vector<Block>& blocks, const std::string& name) {
        std::string out = runCommand("pdffonts '" + write(blocks, name) + "'");
        std::vector<std::string> names;
        std::regex line(R"(\n[A-Z]{6}\+(\S+))");
        for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
            names.push_back((*it)[1]);
        return names;
    };
    auto light = faces({para("plain text")}, "light.pdf");
    ASSERT_EQ(light.size(), 1u) << "footer and paragraph share the light face";
    auto both = faces({{BlockKind::Item, "item text", "1."}}, "item.pdf");
    ASSERT_EQ(both.size(), 2u);
    EXPECT_NE(both[0], both[1]);
    std::string all = both[0] + " " + both[1];
    EXPECT_NE(all.find("Light"), std::string::npos) << all;
    EXPECT_NE(all.find("Medium"), std::string::npos) << all;
}

TEST_F(PdfGeometry, ColoursOfTheKinds) {
    auto file = write({{BlockKind::Title, "MMMM", ""},
                       {BlockKind::Sub, "MMMM", ""},
                       heading("MMMM"),
                       para("MMMM"),
                       {BlockKind::Item, "MMMM", "MM"}},
                      "colours.pdf");
    auto words = pdfWords(file);
    constexpr int kDpi = 288;
    Raster r = renderPage(file, 1, kDpi, env.root() + "/colours");
    ASSERT_GT(r.width, 0);
    double scale = kDpi / 72.0;
    // The darkest pixel inside a word's box is the text colour at full coverage.
    auto darkest = [&](const Word& w) {
        const unsigned char* best = nullptr;
        for (int y = static_cast<int>(w.yMin * scale); y < static_cast<int>(w.yMax * scale); ++y)
            for (int x = static_cast<int>(w.xMin * scale); x < static_cast<int>(w.xMax * scale);
                 ++x) {
                const unsigned char* p = r.at(x, y);
                if (!best || p[0] + p[1] + p[2] < best[0] + best[1] + best[2]) best = p;
            }
        return best;
    };
    auto expectColour = [&](const Word& w, pdf::Colour c) {
        const unsigned char* p = darkest(w);
        ASSERT_TRUE(p);
        EXPECT_NEAR(p[0], c.red * 255, 10) << w.text << " at " << w.yMin;
        EXPECT_NEAR(p[1], c.green * 255, 10) << w.text << " at " << w.yMin;
        EXPECT_NEAR(p[2], c.blue * 255, 10) << w.text << " at " << w.yMin;
    };
    std::vector<Word> ms;
    for (const auto& w : words)
        if (w.text == "MMMM" || w.text == "MM") ms.push_back(w);
    ASSERT_EQ(ms.size(), 6u);
    expectColour(ms[0], pdf::kInk);
    expectColour(ms[1], pdf::kMuted);
    expectColour(ms[2], pdf::kInk);
    expectColour(ms[3], pdf::kBody);
    expectColour(ms[4], pdf::kBody);  // the label
    expectColour(ms[5], pdf::kBody);
    expectColour(*findWord(words, "Corvane"), pdf::kMuted);
}

TEST_F(PdfGeometry, TextIsShapedWithAccentsRightToLeftAndEmoji) {
    auto file = write({para("Café crème שלום 😀")}, "shaped.pdf");
    auto words = pdfWords(file);
    EXPECT_TRUE(findWord(words, "Café"));
    EXPECT_TRUE(findWord(words, "crème"));
    // Hebrew runs right to left: the first letter of the word stands rightmost.
    const Word* shin = findWord(words, "ש");
    const Word* lamed = findWord(words, "ל");
    const Word* finalMem = findWord(words, "ם");
    ASSERT_TRUE(shin && lamed && finalMem);
    EXPECT_GT(shin->xMin, lamed->xMin);
    EXPECT_GT(lamed->xMin, finalMem->xMin);
    const Word* emoji = findWord(words, "😀");
    ASSERT_TRUE(emoji);
    EXPECT_GT(emoji->xMax - emoji->xMin, 5);
    EXPECT_GT(emoji->xMin, shin->xMax) << "after the right-to-left run";
}

// A multi-page sample kept for people to look at, checked against its layout.
TEST_F(PdfGeometry, RenderedSampleMatchesItsLayout) {
    std::vector<Block> blocks{{BlockKind::Title, "Weekly Reflection", ""},
                              {BlockKind::Sub, "Seven days of notes — Café, naïve, 😀", ""}};
    for (int section = 1; section <= 6; ++section) {
        blocks.push_back(heading("Section " + std::to_string(section)));
        for (int i = 1; i <= 4; ++i)
            blocks.push_back({BlockKind::Item, "A list item with a few words of text in it.",
                              std::to_string(i) + "."});
        blocks.push_back(gap());
        blocks.push_back(
            para("A paragraph of body text that is long enough to wrap onto a "
                 "second line, so the line spacing shows in the render. It goes "
                 "on a little longer for a third line of light text."));
    }
    std::string file = artifactDirectory() + "/pdf-sample.pdf";
    ASSERT_GE(pdf::writePdf(file, blocks), 2);
    int pages = pdfPages(file);
    ASSERT_GE(pages, 2);
    runCommand("pdftoppm -png -r 72 '" + file + "' '" + artifactDirectory() + "/pdf-sample'");
    EXPECT_TRUE(fileExists(artifactDirectory() + "/pdf-sample-1.png"));

    Raster r = renderPage(file, 1, 144, env.root() + "/sample");
    ASSERT_GT(r.width, 0);
    auto isAccent = [](const unsigned char* p) {
        return std::abs(p[0] - 199) < 12 && std::abs(p[1] - 158) < 12 && std::abs(p[2] - 66) < 12;
    };
    std::vector<int> ruleRows;
    for (int y = 0; y < r.height; ++y) {
        int count = 0;
        for (int x = 0; x < r.width; ++x) count += isAccent(r.at(x, y));
        if (count > 0) {
            ruleRows.push_back(y);
            // 48 points long from x = 56: 96 pixels from 112.
            EXPECT_GE(count, 94);
            EXPECT_LE(count, 97);
            EXPECT_TRUE(isAccent(r.at(113, y)) && isAccent(r.at(206, y)));
            EXPECT_FALSE(isAccent(r.at(110, y)) || isAccent(r.at(210, y)));
        }
    }
    // One rule, 1 point (2 pixels) thick, 4 points under the title's box.
    ASSERT_EQ(ruleRows.size(), 2u);
    auto words = pdfWords(file);
    const Word* title = findWord(words, "Weekly");
    double boxBottom = kFirstTop + std::ceil(title->yMax - title->yMin - 0.05) + 2;
    EXPECT_NEAR((ruleRows[0] + ruleRows[1] + 1) / 2.0, (boxBottom + 4) * 2, 1.0);
    // The second page opens with a block at the top of the text area.
    auto second = wordsOnPage(words, 2);
    ASSERT_FALSE(second.empty());
    EXPECT_NEAR(second[0].yMin, kFirstTop, kTolerance);
}

}  // namespace
}  // namespace lumora::test
