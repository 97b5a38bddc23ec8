#pragma once
#include <string>
#include <vector>

#include "docs/pdf_layout.hpp"

namespace lumora::pdf {

// Lays the blocks out with Pango and writes them as an A4 PDF with Cairo, replacing any
// file at path. Returns the number of pages, or 0 when the file could not be written.
int writePdf(const std::string& path, const std::vector<Block>& blocks);

}  // namespace lumora::pdf
