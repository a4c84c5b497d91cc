// kelvaro-report's page in a real browser: the page of a suite log on the desktop profile,
// rendered by headless Chromium to a PNG (left in the build tree for a person to look at).
// Every chart drew its data inside its own box, and the browser logged no error for the page.
#include "support/png.h"
#include "support/text_file.h"

#include <gtest/gtest.h>

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

class ReportPage : public ::testing::Test {
protected:
    static std::string html, measureErr, shotErr, problem;
    static std::vector<Box> boxes;
    static int pageHeight, findingsTop;
    static RgbImage shot;

    static void SetUpTestSuite()
    {
        ASSERT_TRUE(exists(KELVARO_CHROMIUM)) << "no browser at " << KELVARO_CHROMIUM
                                             << " (scripts/setup installs Debian's chromium)";
        // The log of the e2e run on the desktop profile (scripts/test names the build that ran
        // it); the committed one of such a run when the e2e tests have not run in this tree.
        const char* named = std::getenv("KELVARO_E2E_LOG");
        std::string log = named != nullptr && *named != '\0' ? named : KELVARO_E2E_LOG;
        if (!exists(log))
            log = KELVARO_TEST_DATA "/desktop-suite.log";
        std::printf("[ PAGE     ] the page of %s\n", log.c_str());
        std::system(("mkdir -p " + shellQuoted(kOut)).c_str());
        const std::string page = kOut + "/kelvaro-report.html";
        const std::string report = shellQuoted(KELVARO_REPORT) + " " + shellQuoted(log) + " --html " + shellQuoted(page) +
                                   " >" + shellQuoted(kOut + "/summary.txt") + " 2>&1";
        ASSERT_EQ(0, std::system(report.c_str())) << readFile(kOut + "/summary.txt");
        html = readFile(page);
        ASSERT_FALSE(html.empty());

        // Where each chart and the findings lie, measured by a copy of the page with a script
        // that writes the boxes into the document; the page itself has no script.
        const std::string measuring = kOut + "/measure.html";
        const std::string script =
            "<script>(function(){var s='';document.querySelectorAll('svg.chart').forEach(function(c){"
            "var r=c.getBoundingClientRect();s+=c.id+' '+Math.round(r.left+scrollX)+' '+"
            "Math.round(r.top+scrollY)+' '+Math.round(r.width)+' '+Math.round(r.height)+';';});"
            "var f=document.getElementById('findings');if(f)s+='findings '+Math.round(f.getBoundingClientRect().top+scrollY)+';';"
            "var p=document.createElement('pre');p.id='kelvaro-boxes';p.textContent=s+'height '+"
            "document.documentElement.scrollHeight;document.body.appendChild(p);})();</script>";
        std::string copy = html;
        const size_t end = copy.rfind("</body>");
        ASSERT_NE(std::string::npos, end) << "the page has no </body>";
        copy.insert(end, script);
        std::ofstream(measuring, std::ios::binary) << copy;
        const std::string dom = kOut + "/measure-dom.txt";
        chromium("--window-size=" + std::to_string(kWidth) + ",900 --dump-dom " + shellQuoted("file://" + measuring),
                 kOut + "/measure.err", dom);
        measureErr = readFile(kOut + "/measure.err");
        const std::string text = readFile(dom);
        const size_t from = text.find("<pre id=\"kelvaro-boxes\">");
        ASSERT_NE(std::string::npos, from) << "the measuring page did not run: " << measureErr;
        std::istringstream fields(text.substr(from + 24, text.find("</pre>", from) - from - 24));
        for (std::string item; std::getline(fields, item, ';');) {
            std::istringstream parts(item);
            Box box;
            if (item.compare(0, 7, "height ") == 0)
                pageHeight = std::atoi(item.c_str() + 7);
            else if (item.compare(0, 9, "findings ") == 0)
                findingsTop = std::atoi(item.c_str() + 9);
            else if (parts >> box.id >> box.x >> box.y >> box.width >> box.height)
                boxes.push_back(box);
        }
        ASSERT_GT(pageHeight, 0);

        // The page itself, whole, at the same width.
        const std::string png = kOut + "/kelvaro-report.png";
        std::remove(png.c_str());
        chromium("--window-size=" + std::to_string(kWidth) + "," + std::to_string(pageHeight) +
                     " --screenshot=" + shellQuoted(png) + " " + shellQuoted("file://" + page),
                 kOut + "/screenshot.err");
        shotErr = readFile(kOut + "/screenshot.err");
        ASSERT_TRUE(decodePng(readFile(png), &shot, &problem)) << png << ": " << problem << "\n" << shotErr;
        std::printf("[ PAGE     ] %s: %dx%d pixels, %zu charts, %zu bytes of page\n", png.c_str(),
                    shot.width, shot.height, boxes.size(), html.size());
    }
};
std::string ReportPage::html, ReportPage::measureErr, ReportPage::shotErr, ReportPage::problem;
std::vector<Box> ReportPage::boxes;
int ReportPage::pageHeight = 0, ReportPage::findingsTop = -1;
RgbImage ReportPage::shot;

// The data ink: the series' line and the histogram's bars are blue; the frames, texts, the
// truth line and the vsync-mode window are not.
bool isDataInk(const uint8_t* p)
{
    return p[2] > p[0] + 40 && p[2] > p[1] + 20;
}

TEST_F(ReportPage, EveryChartDrewItsDataInsideItsBox)
{
    ASSERT_FALSE(shot.rgb.empty());
    size_t charts = 0;
    for (size_t at = html.find("<svg class=\"chart\""); at != std::string::npos;
         at = html.find("<svg class=\"chart\"", at + 1))
        ++charts;
    EXPECT_EQ(charts, boxes.size()) << "every chart of the page was measured";
    EXPECT_GE(boxes.size(), 20u) << "a time series and a histogram for each test with rows";
    for (const Box& box : boxes) {
        ASSERT_GT(box.width, 20) << box.id;
        ASSERT_GT(box.height, 20) << box.id;
        ASSERT_LE(box.x + box.width, shot.width) << box.id << " lies outside the screenshot";
        ASSERT_LE(box.y + box.height, shot.height) << box.id << " lies outside the screenshot";
        // The chart's frame where it was measured: the screenshot is of the measured layout.
        const uint8_t* corner = shot.at(box.x + box.width / 2, box.y);
        EXPECT_TRUE(corner[0] < 0xf0 && corner[2] > corner[0]) << box.id << ": no frame at its top edge";
        size_t ink = 0;
        for (int y = box.y + 2; y < box.y + box.height - 2; ++y)
            for (int x = box.x + 2; x < box.x + box.width - 2; ++x)
                ink += isDataInk(shot.at(x, y)) ? 1 : 0;
        EXPECT_GE(ink, 40u) << box.id << ": no data drawn inside the chart";
    }
}

// The answers come first, on the first screen, and every chart says what its axes measure.
TEST_F(ReportPage, FindingsOnTopAndEveryChartsAxesNamedAndTicked)
{
    EXPECT_GE(findingsTop, 0) << "no element with id findings";
    EXPECT_LT(findingsTop, 900) << "the findings are below the first screen";
    for (size_t at = html.find("<svg class=\"chart\""); at != std::string::npos;
         at = html.find("<svg class=\"chart\"", at + 1)) {
        const std::string svg = html.substr(at, html.find("</svg>", at) - at);
        const std::string id = svg.substr(0, svg.find('>'));
        // The text of each element of a class, in order.
        const auto texts = [&](const std::string& cls) {
            std::vector<std::string> out;
            const std::string mark = "class=\"" + cls + "\"";
            for (size_t t = svg.find(mark); t != std::string::npos; t = svg.find(mark, t + 1)) {
                const size_t from = svg.find('>', t) + 1;
                out.push_back(svg.substr(from, svg.find('<', from) - from));
            }
            return out;
        };
        const std::vector<std::string> ticks = texts("tick"), axes = texts("axis");
        EXPECT_GE(ticks.size(), 3u) << id;
        for (const std::string& tick : ticks)
            EXPECT_FALSE(tick.empty()) << id;
        ASSERT_EQ(2u, axes.size()) << id << ": an x and a y axis, each named";
        EXPECT_FALSE(axes[0].empty() || axes[1].empty()) << id;
    }
}

TEST_F(ReportPage, TheBrowserLoggedNoErrorForThePage)
{
    // Measured without any complaint, and rendered without any.
    const std::vector<std::string> measured = pageComplaints(measureErr);
    EXPECT_TRUE(measured.empty()) << measured.front();
    const std::vector<std::string> shown = pageComplaints(shotErr);
    EXPECT_TRUE(shown.empty()) << shown.front();
    // Self-contained: nothing to fetch.
    for (const char* fetch : {"<script", "<link", "<img", "<iframe", "url("})
        EXPECT_EQ(std::string::npos, html.find(fetch)) << fetch;
}

}   // namespace
