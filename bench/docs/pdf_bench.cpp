// A 200-page document of mixed blocks through the real PDF writer, in pages per second,
// beside headless Chromium printing the same document written as HTML.
#include <glib.h>

#include <sys/resource.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/app_state.hpp"
#include "docs/pdf_layout.hpp"
#include "docs/pdf_writer.hpp"

using namespace lumora::pdf;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWantedPages = 200;

std::string words(std::mt19937& random, int count) {
    static const char* pool[] = {"breath", "quiet",  "morning", "évening", "focus", "calm",
                                 "steady", "ocean",  "light",   "Übung",   "rest",  "slow",
                                 "notes",  "walk",   "garden",  "résumé",  "sleep", "tea",
                                 "rhythm", "window", "weekly",  "naïve",   "gentle"};
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i) text += ' ';
        text += pool[random() % std::size(pool)];
    }
    return text;
}

// One section: a heading, paragraphs of varied length, a list and a gap.
void appendSection(std::vector<Block>& blocks, std::mt19937& random, int index) {
    blocks.push_back({BlockKind::Heading, "Section " + std::to_string(index), ""});
    for (int p = 0; p < 2; ++p)
        blocks.push_back(
            {BlockKind::Paragraph, words(random, 20 + static_cast<int>(random() % 90)) + ".", ""});
    for (int i = 0; i < 4; ++i)
        blocks.push_back({BlockKind::Item, words(random, 5 + static_cast<int>(random() % 15)),
                          std::to_string(i + 1) + "."});
    blocks.push_back({BlockKind::Gap, "", ""});
}

std::vector<Block> documentOf(int sections) {
    std::mt19937 random(7);
    std::vector<Block> blocks{{BlockKind::Title, "Weekly practice journal", ""},
                              {BlockKind::Sub, "Every session, with notes", ""}};
    for (int s = 0; s < sections; ++s) appendSection(blocks, random, s + 1);
    return blocks;
}

std::string escapedHtml(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else
            out += c;
    }
    return out;
}

// The same blocks with the same fonts, sizes, colours, margins and spacing.
std::string htmlOf(const std::vector<Block>& blocks) {
    std::string html =
        "<!doctype html><html><head><meta charset='utf-8'><style>"
        "@page{size:595.2pt 841.8pt;margin:56pt 56pt 56pt 56pt}"
        "body{margin:0;font-family:'HelveticaNeue',sans-serif;font-weight:300;"
        "color:rgb(33,41,56)}"
        "div{break-inside:avoid;font-size:11pt;line-height:1.32;margin:0 0 6pt 0}"
        ".title{font-size:24pt;color:rgb(18,41,77);margin:0}"
        ".rule{width:48pt;border-top:1pt solid rgb(199,158,66);margin:4pt 0 14pt 0}"
        ".sub{color:rgb(107,120,140);margin-bottom:10pt}"
        ".h{font-size:9.5pt;font-weight:500;letter-spacing:1.6pt;text-transform:uppercase;"
        "color:rgb(18,41,77);margin:10pt 0 6pt 0}"
        ".item{margin-left:10pt;margin-bottom:5pt}.item b{font-weight:500}"
        ".gap{height:8pt;margin:0}"
        "</style></head><body>";
    for (const auto& block : blocks) {
        switch (block.kind) {
            case BlockKind::Title:
                html +=
                    "<div class=title>" + escapedHtml(block.text) + "</div><div class=rule></div>";
                break;
            case BlockKind::Sub:
                html += "<div class=sub>" + escapedHtml(block.text) + "</div>";
                break;
            case BlockKind::Heading:
                html += "<div class=h>" + escapedHtml(block.text) + "</div>";
                break;
            case BlockKind::Item:
                html += "<div class=item><b>" + escapedHtml(block.label) + "</b>&nbsp; " +
                        escapedHtml(block.text) + "</div>";
                break;
            case BlockKind::Gap:
                html += "<div class=gap></div>";
                break;
            case BlockKind::Paragraph:
                html += "<div>" + escapedHtml(block.text) + "</div>";
                break;
        }
    }
    return html + "</body></html>";
}

// Wall time, and the processor time of this process, which moves less when others share
// the machine.
struct Timing {
    double wall = 0, cpu = 0;
};

double cpuSeconds() {
    double total = 0;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    total += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
             (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return total;
}

template <typename F>
Timing timed(F&& f) {
    auto start = Clock::now();
    double cpuStart = cpuSeconds();
    f();
    return {std::chrono::duration<double>(Clock::now() - start).count(), cpuSeconds() - cpuStart};
}

Timing median(std::vector<Timing> v) {
    std::vector<double> wall, cpu;
    for (auto t : v) wall.push_back(t.wall), cpu.push_back(t.cpu);
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

int pdfPages(const std::string& path) {
    std::string command = "pdfinfo '" + path + "' 2>/dev/null | awk '/^Pages:/{print $2}'";
    FILE* pipe = popen(command.c_str(), "r");
    int pages = 0;
    if (pipe) {
        if (std::fscanf(pipe, "%d", &pages) != 1) pages = 0;
        pclose(pipe);
    }
    return pages;
}

bool chromiumPrint(const std::string& root, const std::string& html, const std::string& pdf) {
    std::string command =
        "chromium --headless --no-sandbox --disable-gpu --no-first-run "
        "--user-data-dir='" +
        root +
        "/chromium' --no-pdf-header-footer "
        "--print-to-pdf='" +
        pdf + "' 'file://" + html + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

}  // namespace

int main() {
    std::string root = lumora::bench::temporaryRoot();
    std::string pdf = root + "/lumora.pdf";

    // Scale a probe document to the wanted length, then settle on the fewest sections
    // that fill it; every write is a full one, so keep them few.
    int sections = 40;
    int pages = writePdf(pdf, documentOf(sections));
    for (int round = 0; round < 2 && pages != kWantedPages; ++round) {
        sections = std::max(1, static_cast<int>(std::lround(static_cast<double>(sections) *
                                                            kWantedPages / std::max(pages, 1))));
        pages = writePdf(pdf, documentOf(sections));
    }
    while (pages < kWantedPages) pages = writePdf(pdf, documentOf(++sections));
    while (sections > 1) {
        int fewer = writePdf(pdf, documentOf(sections - 1));
        if (fewer < kWantedPages) break;
        --sections;
        pages = fewer;
    }
    std::vector<Block> blocks = documentOf(sections);
    std::printf("document: %zu blocks, %d pages through the writer\n", blocks.size(), pages);

    std::vector<Timing> ours;
    for (int run = 0; run < 7; ++run) ours.push_back(timed([&] { pages = writePdf(pdf, blocks); }));
    Timing writer = median(ours);

    std::string html = root + "/lumora.html";
    g_file_set_contents(html.c_str(), htmlOf(blocks).c_str(), -1, nullptr);
    std::string chromiumPdf = root + "/chromium.pdf";
    std::string emptyHtml = root + "/empty.html";
    g_file_set_contents(emptyHtml.c_str(), "<!doctype html><p>x</p>", -1, nullptr);
    bool chromiumOk = chromiumPrint(root, html, chromiumPdf);  // warms its caches
    std::vector<Timing> theirs, startup;
    for (int run = 0; run < 3 && chromiumOk; ++run) {
        theirs.push_back(timed([&] { chromiumOk = chromiumPrint(root, html, chromiumPdf); }));
        startup.push_back(timed([&] { chromiumPrint(root, emptyHtml, root + "/empty.pdf"); }));
    }

    double load[1] = {0};
    if (getloadavg(load, 1) != 1) load[0] = -1;
    std::printf("machine:  load average %.1f over the last minute\n", load[0]);
    std::printf(
        "writer:   %d pages in %.1f ms wall, %.1f ms processor (median of %zu) = %.0f pages/s "
        "wall, %.0f pages per processor second (goal >= 200)\n",
        pages, writer.wall * 1e3, writer.cpu * 1e3, ours.size(), pages / writer.wall,
        pages / writer.cpu);
    if (!chromiumOk) {
        std::printf("chromium: could not print (is the chromium package installed?)\n");
        return 1;
    }
    Timing chromium = median(theirs), start = median(startup);
    int theirPages = pdfPages(chromiumPdf);
    // Chromium's processor time is not shown: its renderers are reaped by its zygote, not
    // waited for through us, so most of it never reaches RUSAGE_CHILDREN.
    std::printf(
        "chromium: %d pages in %.1f ms wall (median of %zu); a one-line page takes %.1f ms\n",
        theirPages, chromium.wall * 1e3, theirs.size(), start.wall * 1e3);
    std::printf("ratio:    chromium / writer = %.1f wall; without chromium's start-up %.1f\n",
                chromium.wall / writer.wall, (chromium.wall - start.wall) / writer.wall);
    std::string cleanup = "rm -rf '" + root + "'";
    if (std::system(cleanup.c_str()) != 0) std::printf("could not remove %s\n", root.c_str());
    return 0;
}
