#pragma once
// Reads back a PDF the way a person checking it would: words and their boxes from
// pdftotext, page sizes from pdfinfo, drawing operators from the content streams,
// pixels from pdftoppm.
#include <zlib.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/test_env.hpp"

namespace lumora::test {

struct Word {
    int page;                       // from 1
    double xMin, yMin, xMax, yMax;  // points, origin at the top left
    std::string text;
};

inline std::vector<Word> pdfWords(const std::string& pdf) {
    std::string html = runCommand("pdftotext -bbox-layout '" + pdf + "' - 2>/dev/null");
    std::vector<Word> words;
    static const std::regex token(
        R"re(<page |<word xMin="([-0-9.]+)" yMin="([-0-9.]+)" xMax="([-0-9.]+)" yMax="([-0-9.]+)">([^<]*)</word>)re");
    int page = 0;
    for (std::sregex_iterator it(html.begin(), html.end(), token), end; it != end; ++it) {
        const auto& m = *it;
        if (!m[1].matched) {
            ++page;
            continue;
        }
        words.push_back(
            {page, std::stod(m[1]), std::stod(m[2]), std::stod(m[3]), std::stod(m[4]), m[5]});
    }
    return words;
}

inline std::vector<Word> wordsOnPage(const std::vector<Word>& words, int page) {
    std::vector<Word> result;
    for (const auto& w : words)
        if (w.page == page) result.push_back(w);
    return result;
}

inline const Word* findWord(const std::vector<Word>& words, const std::string& text, int page = 0) {
    for (const auto& w : words)
        if (w.text == text && (page == 0 || w.page == page)) return &w;
    return nullptr;
}

inline int pdfPages(const std::string& pdf) {
    std::string info = runCommand("pdfinfo '" + pdf + "' 2>/dev/null");
    std::smatch m;
    return std::regex_search(info, m, std::regex(R"(Pages:\s+(\d+))")) ? std::stoi(m[1]) : -1;
}

// "595.2 x 841.8" for each page.
inline std::vector<std::string> pdfPageSizes(const std::string& pdf) {
    std::string info = runCommand("pdfinfo -f 1 -l 100000 '" + pdf + "' 2>/dev/null");
    std::vector<std::string> sizes;
    static const std::regex size(R"(Page\s+\d+ size:\s+([0-9.]+ x [0-9.]+) pts)");
    for (std::sregex_iterator it(info.begin(), info.end(), size), end; it != end; ++it)
        sizes.push_back((*it)[1]);
    return sizes;
}

// Every Flate stream of the file, inflated; the pages' drawing operators are among them.
inline std::vector<std::string> pdfStreams(const std::string& pdf) {
    std::string data = readFile(pdf);
    std::vector<std::string> streams;
    std::size_t at = 0;
    while ((at = data.find("stream\n", at)) != std::string::npos) {
        std::size_t start = at + 7;
        std::size_t stop = data.find("endstream", start);
        if (stop == std::string::npos) break;
        z_stream z{};
        inflateInit(&z);
        z.next_in = reinterpret_cast<Bytef*>(data.data() + start);
        z.avail_in = static_cast<uInt>(stop - start);
        std::string out;
        char buffer[65536];
        int rc = Z_OK;
        while (rc == Z_OK) {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            rc = inflate(&z, Z_NO_FLUSH);
            out.append(buffer, sizeof buffer - z.avail_out);
        }
        inflateEnd(&z);
        if (rc == Z_STREAM_END) streams.push_back(out);
        at = stop;
    }
    return streams;
}

// A page rendered by pdftoppm as RGB pixels.
struct Raster {
    int width = 0, height = 0;
    std::string rgb;
    const unsigned char* at(int x, int y) const {
        return reinterpret_cast<const unsigned char*>(rgb.data()) + 3 * (y * width + x);
    }
};

inline Raster renderPage(const std::string& pdf, int page, int dpi, const std::string& prefix) {
    std::string p = std::to_string(page);
    runCommand("pdftoppm -r " + std::to_string(dpi) + " -f " + p + " -l " + p + " -singlefile '" +
               pdf + "' '" + prefix + "'");
    std::string ppm = readFile(prefix + ".ppm");
    Raster raster;
    std::smatch m;
    if (!std::regex_search(ppm, m, std::regex(R"(^P6\s+(\d+)\s+(\d+)\s+255\s)"))) return raster;
    raster.width = std::stoi(m[1]);
    raster.height = std::stoi(m[2]);
    raster.rgb = ppm.substr(static_cast<std::size_t>(m.length(0)));
    if (raster.rgb.size() < static_cast<std::size_t>(raster.width * raster.height * 3))
        raster = Raster{};
    return raster;
}

}  // namespace lumora::test
