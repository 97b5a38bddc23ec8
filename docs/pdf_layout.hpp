#pragma once
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// The page's document as A4 pages: blocks, their styles and the cursor that places them.
// Coordinates are PDF points with the origin at the bottom left of the page.
namespace lumora::pdf {

inline constexpr double kPageWidth = 595.2;
inline constexpr double kPageHeight = 841.8;
inline constexpr double kMargin = 56;
inline constexpr double kTextWidth = kPageWidth - 2 * kMargin;  // 483.2
inline constexpr double kTop = kPageHeight - kMargin;           // 785.8
inline constexpr double kLowestBottom = 56;
inline constexpr double kMeasureLimit = 10000;
inline constexpr double kFooterBottom = 36;
inline constexpr double kNumberWidth = 20;
inline constexpr double kNumberX = kPageWidth - kMargin - kNumberWidth;  // 519.2
inline constexpr double kRuleLength = 48;
inline constexpr const char* kFooterText = "Lumora · Corvane";

struct Colour {
    double red, green, blue;
};
inline constexpr Colour kInk{0.07, 0.16, 0.30};
inline constexpr Colour kBody{0.13, 0.16, 0.22};
inline constexpr Colour kMuted{0.42, 0.47, 0.55};
inline constexpr Colour kAccent{0.78, 0.62, 0.26};

enum class BlockKind { Title, Sub, Heading, Item, Gap, Paragraph };

struct Block {
    BlockKind kind = BlockKind::Paragraph;
    std::string text;
    std::string label;
};

// The blocks of a "sharePdf" message: every element an object; a key of the wrong type
// counts as absent, and an unknown kind is a paragraph.
std::vector<Block> readBlocks(const nlohmann::json& blocks);

enum class Weight { Light, Medium };

struct TextRun {
    std::string text;
    Weight weight;
};

// Attributed text: runs sharing one size, colour, line spacing and letter spacing.
struct StyledText {
    std::vector<TextRun> runs;
    double size = 11;
    Colour colour = kBody;
    double lineSpacing = 0;
    double kern = 0;
    bool empty() const;
};

StyledText styledText(const Block& block);
StyledText footerText(const std::string& text);

// Where a kind's box sits and how far the cursor moves around it.
struct BlockBox {
    double x;
    double width;
    double spaceBefore;
    double spaceAfter;
};
BlockBox blockBox(BlockKind kind);

struct Rect {
    double x, y, width, height;
};

// A block is measured, a page break may draw the next footer, then the block is drawn
// from its measured layout; so the footer has a slot of its own.
enum class Slot { Block, Footer };

// What the cursor needs from a text engine and a PDF page.
class Typesetter {
  public:
    virtual ~Typesetter() = default;
    // The height the text needs at this width (within kMeasureLimit), not rounded.
    virtual double measure(Slot slot, const StyledText& text, double width) = 0;
    // Draws the text last measured in that slot in the box, top-aligned.
    virtual void drawMeasured(Slot slot, const Rect& box) = 0;
    virtual void beginPage() = 0;
    virtual void endPage() = 0;
    virtual void strokeLine(double y, double fromX, double toX, Colour colour, double width) = 0;
};

// The footer text and the page number, at the bottom of every page.
void drawFooter(Typesetter& typesetter, int pageNumber);

// Lays the blocks out page by page, footers included, and ends the last page.
// Returns the number of pages.
int layOut(const std::vector<Block>& blocks, Typesetter& typesetter);

// The temporary file's name: only ASCII letters, digits, space, ".", "_" and "-" are
// kept, spaces and tabs trimmed, "Lumora" when nothing is left, then ".pdf".
std::string sanitisedFileName(const std::string& name);

}  // namespace lumora::pdf
