#pragma once
#include <pango/pango.h>

#include <string>
#include <vector>

#include "docs/pdf_layout.hpp"

namespace lumora::pdf {

// Lays the blocks out with Pango and writes them as an A4 PDF with Cairo, replacing any
// file at path. Returns the number of pages, or 0 when the file could not be written.
// fonts: a font map made on the calling thread (Pango's maps and contexts stay on their
// thread); without one, the calling thread's default map.
int writePdf(const std::string& path, const std::vector<Block>& blocks,
             PangoFontMap* fonts = nullptr);

}  // namespace lumora::pdf
