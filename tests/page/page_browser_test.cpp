// kelvaro-report's pages in a real browser: the page of a suite log on the desktop profile, and
// the page of that log compared with the busy profile's, rendered by headless Chromium to PNGs
// (left in the build tree for a person to look at). The report opens with its headline and the
// chart of the ways of finding the vblank, every chart drew its data inside its own box, and the
// browser logged no error for either page.
#include "support/svg_text.h"
#include "support/png.h"
#include "support/text_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kOut = KELVARO_PAGE_DIR;
constexpr int kWidth = 1100;

bool exists(const std::string& path)
{
    return std::ifstream(path).good();
}

std::string shellQuoted(const std::string& path)
{
    return "'" + path + "'";
}

// Headless Chromium with nothing of its own that reaches out or keeps state, killed if it
// hangs; its standard error (where the page's console messages go) into errFile.
int chromium(const std::string& arguments, const std::string& errFile, const std::string& outFile = "/dev/null")
{
    const std::string command =
        "timeout 120 " + shellQuoted(KELVARO_CHROMIUM) +
        " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --no-default-browser-check"
        " --disable-background-networking --disable-component-update --disable-sync"
        " --disable-extensions --hide-scrollbars --force-device-scale-factor=1"
        " --enable-logging=stderr --v=0 --user-data-dir=" + shellQuoted(kOut + "/chromium-profile") + " " +
        arguments + " >" + shellQuoted(outFile) + " 2>" + shellQuoted(errFile);
    return std::system(command.c_str());
}

struct Box {
    std::string id;
    int x, y, width, height;
};

// The lines of the browser's log that are the page's console messages or its load errors.
std::vector<std::string> pageComplaints(const std::string& log)
{
    std::vector<std::string> out;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("CONSOLE") != std::string::npos || line.find("Failed to load") != std::string::npos ||
            line.find("Uncaught") != std::string::npos)
            out.push_back(line);
    }
    return out;
}

// A page as the browser laid it out: where each chart, the headline and the findings lie, and
// the whole page as a screenshot.
struct Rendered {
    std::string name, html, measureErr, shotErr;
    std::vector<Box> boxes;
    Box headline{"headline", 0, -1, 0, 0};
    int pageHeight = 0, findingsTop = -1;
    RgbImage shot;
};

// Writes the page kelvaro-report makes with these arguments, measures it with a copy that
// carries a script (the page itself has none) and screenshots it whole.
void render(const std::string& name, const std::string& arguments, Rendered* out)
{
    out->name = name;
    const std::string page = kOut + "/" + name + ".html";
    const std::string report = shellQuoted(KELVARO_REPORT) + " " + arguments + " --html " + shellQuoted(page) + " >" +
                               shellQuoted(kOut + "/" + name + ".txt") + " 2>&1";
    ASSERT_EQ(0, std::system(report.c_str())) << readFile(kOut + "/" + name + ".txt");
    out->html = readFile(page);
    ASSERT_FALSE(out->html.empty());

    const std::string measuring = kOut + "/" + name + "-measure.html";
    const std::string script =
        "<script>(function(){var s='';document.querySelectorAll('svg.chart').forEach(function(c){"
        "var r=c.getBoundingClientRect();s+=c.id+' '+Math.round(r.left+scrollX)+' '+"
        "Math.round(r.top+scrollY)+' '+Math.round(r.width)+' '+Math.round(r.height)+';';});"
        "var f=document.getElementById('findings');if(f)s+='findings '+Math.round(f.getBoundingClientRect().top+scrollY)+';';"
        "var h=document.getElementById('headline');if(h){var b=h.getBoundingClientRect();s+='headline '+"
        "Math.round(b.left+scrollX)+' '+Math.round(b.top+scrollY)+' '+Math.round(b.width)+' '+Math.round(b.height)+';';}"
        "var p=document.createElement('pre');p.id='kelvaro-boxes';p.textContent=s+'height '+"
        "document.documentElement.scrollHeight;document.body.appendChild(p);})();</script>";
    std::string copy = out->html;
    const size_t end = copy.rfind("</body>");
    ASSERT_NE(std::string::npos, end) << "the page has no </body>";
    copy.insert(end, script);
    std::ofstream(measuring, std::ios::binary) << copy;
    const std::string dom = kOut + "/" + name + "-measure-dom.txt";
    chromium("--window-size=" + std::to_string(kWidth) + ",900 --dump-dom " + shellQuoted("file://" + measuring),
             kOut + "/" + name + "-measure.err", dom);
    out->measureErr = readFile(kOut + "/" + name + "-measure.err");
    const std::string text = readFile(dom);
    const size_t from = text.find("<pre id=\"kelvaro-boxes\">");
    ASSERT_NE(std::string::npos, from) << "the measuring page did not run: " << out->measureErr;
    std::istringstream fields(text.substr(from + 24, text.find("</pre>", from) - from - 24));
    for (std::string item; std::getline(fields, item, ';');) {
        std::istringstream parts(item);
        Box box;
        if (item.compare(0, 7, "height ") == 0)
            out->pageHeight = std::atoi(item.c_str() + 7);
        else if (item.compare(0, 9, "findings ") == 0)
            out->findingsTop = std::atoi(item.c_str() + 9);
        else if (item.compare(0, 9, "headline ") == 0)
            parts >> out->headline.id >> out->headline.x >> out->headline.y >> out->headline.width >> out->headline.height;
        else if (parts >> box.id >> box.x >> box.y >> box.width >> box.height)
            out->boxes.push_back(box);
    }
    ASSERT_GT(out->pageHeight, 0);

    const std::string png = kOut + "/" + name + ".png";
    std::remove(png.c_str());
    chromium("--window-size=" + std::to_string(kWidth) + "," + std::to_string(out->pageHeight) +
                 " --screenshot=" + shellQuoted(png) + " " + shellQuoted("file://" + page),
             kOut + "/" + name + "-screenshot.err");
    out->shotErr = readFile(kOut + "/" + name + "-screenshot.err");
    std::string problem;
    ASSERT_TRUE(decodePng(readFile(png), &out->shot, &problem)) << png << ": " << problem << "\n" << out->shotErr;
    std::printf("[ PAGE     ] %s: %dx%d pixels, %zu charts, %zu bytes of page\n", png.c_str(), out->shot.width,
                out->shot.height, out->boxes.size(), out->html.size());
}

// The e2e run's log of a profile (scripts/test names them), or a committed log when the e2e
// tests have not run in this tree.
std::string logOf(const char* variable, const std::string& built, const std::string& committed)
{
    const char* named = std::getenv(variable);
    const std::string log = named != nullptr && *named != '\0' ? named : built;
    return exists(log) ? log : KELVARO_TEST_DATA "/" + committed;
}

class ReportPage : public ::testing::Test {
protected:
    // The report of the desktop profile's log, and that log compared with the busy profile's.
    static Rendered report, comparison;

    static void SetUpTestSuite()
    {
        ASSERT_TRUE(exists(KELVARO_CHROMIUM)) << "no browser at " << KELVARO_CHROMIUM
                                             << " (scripts/setup installs Debian's chromium)";
        const std::string desktop = logOf("KELVARO_E2E_LOG", KELVARO_E2E_LOG, "desktop-suite.log");
        const std::string busy = logOf("KELVARO_E2E_BUSY_LOG", "", "suite-extended.log");
        std::printf("[ PAGE     ] the page of %s, and of it compared with %s\n", desktop.c_str(), busy.c_str());
        std::system(("mkdir -p " + shellQuoted(kOut)).c_str());
        render("kelvaro-report", shellQuoted(desktop), &report);
        render("kelvaro-compare", shellQuoted(desktop) + " --compare " + shellQuoted(busy), &comparison);
    }
};
Rendered ReportPage::report, ReportPage::comparison;

// The data ink: the series' line and the histogram's bars are blue; the frames, texts, the
// truth line and the vsync-mode window are not.
bool isDataInk(const uint8_t* p)
{
    return p[2] > p[0] + 40 && p[2] > p[1] + 20;
}

// A comparison's second colour: B's series and bars are a deep pink; the reference line's
// orange and the truth's green are not.
bool isSecondInk(const uint8_t* p)
{
    return p[0] > p[1] + 60 && p[2] > p[1] + 30;
}

TEST_F(ReportPage, EveryChartDrewItsDataInsideItsBox)
{
    for (const Rendered* page : {&report, &comparison}) {
        ASSERT_FALSE(page->shot.rgb.empty()) << page->name;
        size_t charts = 0;
        for (size_t at = page->html.find("<svg class=\"chart\""); at != std::string::npos;
             at = page->html.find("<svg class=\"chart\"", at + 1))
            ++charts;
        EXPECT_EQ(charts, page->boxes.size()) << page->name << ": every chart of the page was measured";
        EXPECT_GE(page->boxes.size(), 20u) << page->name << ": a time series and a histogram for each test with rows";
        for (const Box& box : page->boxes) {
            const std::string id = page->name + " " + box.id;
            ASSERT_GT(box.width, 20) << id;
            ASSERT_GT(box.height, 20) << id;
            ASSERT_LE(box.x + box.width, page->shot.width) << id << " lies outside the screenshot";
            ASSERT_LE(box.y + box.height, page->shot.height) << id << " lies outside the screenshot";
            // The chart's frame where it was measured: the screenshot is of the measured layout.
            const uint8_t* corner = page->shot.at(box.x + box.width / 2, box.y);
            EXPECT_TRUE(corner[0] < 0xf0 && corner[2] > corner[0]) << id << ": no frame at its top edge";
            size_t ink = 0, second = 0;
            for (int y = box.y + 2; y < box.y + box.height - 2; ++y) {
                for (int x = box.x + 2; x < box.x + box.width - 2; ++x) {
                    ink += isDataInk(page->shot.at(x, y)) ? 1 : 0;
                    second += isSecondInk(page->shot.at(x, y)) ? 1 : 0;
                }
            }
            // Overlaid: both logs' data in every chart of the comparison, beyond the 80 pixels
            // of each colour's swatch in the legend.
            EXPECT_GE(ink, page == &comparison ? 120u : 40u) << id << ": no data drawn inside the chart";
            if (page == &comparison) {
                EXPECT_GE(second, 120u) << id << ": B's data is not drawn inside the chart";
            }
        }
    }
}

// The answers come first, on the first screen, and every chart says what its axes measure; a
// comparison's charts say which colour is which log.
TEST_F(ReportPage, FindingsOnTopAndEveryChartsAxesNamedAndTicked)
{
    for (const Rendered* page : {&report, &comparison}) {
        EXPECT_GE(page->findingsTop, 0) << page->name << ": no element with id findings";
        EXPECT_LT(page->findingsTop, 900) << page->name << ": the findings are below the first screen";
        const std::string& html = page->html;
        for (size_t at = html.find("<svg class=\"chart\""); at != std::string::npos;
             at = html.find("<svg class=\"chart\"", at + 1)) {
            const std::string svg = html.substr(at, html.find("</svg>", at) - at);
            const std::string id = page->name + " " + svg.substr(0, svg.find('>'));
            const auto texts = [&](const std::string& cls) { return textsOf(svg, cls); };
            const std::vector<std::string> ticks = texts("tick"), axes = texts("axis");
            EXPECT_GE(ticks.size(), 3u) << id;
            for (const std::string& tick : ticks)
                EXPECT_FALSE(tick.empty()) << id;
            ASSERT_EQ(2u, axes.size()) << id << ": an x and a y axis, each named";
            EXPECT_FALSE(axes[0].empty() || axes[1].empty()) << id;
            if (page == &comparison) {
                const std::vector<std::string> legend = texts("legend");
                ASSERT_EQ(2u, legend.size()) << id << ": a legend entry for each log";
                EXPECT_EQ("A ", legend[0].substr(0, 2)) << id;
                EXPECT_EQ("B ", legend[1].substr(0, 2)) << id;
            }
        }
    }
}

// The report opens with its headline, dark text at the very top, and right under it the chart of
// every way of finding the vblank: a band of data for each of its rows, above the findings.
TEST_F(ReportPage, OpensWithTheHeadlineThenTheMethodsChart)
{
    ASSERT_FALSE(report.shot.rgb.empty());
    const Box& h = report.headline;
    ASSERT_GE(h.y, 0) << "no element with id headline";
    EXPECT_LT(h.y, 60) << "the headline is not at the top";
    ASSERT_GT(h.height, 10);
    size_t dark = 0;
    for (int y = h.y; y < h.y + h.height && y < report.shot.height; ++y) {
        for (int x = h.x; x < h.x + h.width && x < report.shot.width; ++x) {
            const uint8_t* p = report.shot.at(x, y);
            dark += p[0] < 100 && p[1] < 100 && p[2] < 100 ? 1 : 0;
        }
    }
    EXPECT_GE(dark, 500u) << "the headline's text was not drawn";

    const auto chart = std::find_if(report.boxes.begin(), report.boxes.end(), [](const Box& b) { return b.id == "methods-chart"; });
    ASSERT_NE(report.boxes.end(), chart) << "no methods chart";
    EXPECT_GE(chart->y, h.y + h.height) << "the methods chart lies over the headline";
    EXPECT_LT(chart->y + chart->height, report.findingsTop) << "the methods chart is not above the findings";
    // Bands of rows of pixels with data ink, top to bottom: one per method's row.
    size_t bands = 0, rows = 0;
    bool inBand = false;
    for (int y = chart->y + 2; y < chart->y + chart->height - 2; ++y) {
        bool ink = false;
        for (int x = chart->x + 2; x < chart->x + chart->width - 2 && !ink; ++x)
            ink = isDataInk(report.shot.at(x, y));
        bands += ink && !inBand ? 1 : 0;
        inBand = ink;
    }
    for (size_t at = report.html.find("class=\"method\""); at != std::string::npos; at = report.html.find("class=\"method\"", at + 1))
        ++rows;
    EXPECT_GE(rows, 2u);
    EXPECT_EQ(rows, bands) << "a band of data for each method's row";
}

TEST_F(ReportPage, TheBrowserLoggedNoErrorForThePage)
{
    for (const Rendered* page : {&report, &comparison}) {
        // Measured without any complaint, and rendered without any.
        const std::vector<std::string> measured = pageComplaints(page->measureErr);
        EXPECT_TRUE(measured.empty()) << page->name << ": " << measured.front();
        const std::vector<std::string> shown = pageComplaints(page->shotErr);
        EXPECT_TRUE(shown.empty()) << page->name << ": " << shown.front();
        // Self-contained: nothing to fetch.
        for (const char* fetch : {"<script", "<link", "<img", "<iframe", "url("})
            EXPECT_EQ(std::string::npos, page->html.find(fetch)) << page->name << ": " << fetch;
    }
}

}   // namespace
