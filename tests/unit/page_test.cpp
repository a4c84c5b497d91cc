// The main window's page text, the ping delay across a wrap of the low tick bits, and
// the test line that the paint reads while a test thread rewrites it; and the top of
// kelvaro-report's page: its headline and the chart of the ways of finding the vblank.
#include "app/page.h"
#include "measure/harness.h"
#include "report/logreader.h"
#include "report/outputs.h"
#include "report/summary.h"

#include "support/svg_text.h"
#include "support/text_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(Page, HasFourLinesInItsFixedFormat)
{
    char page[kPageTextSize];
    formatPage(page, sizeof page, "vsync.server: \\\\.\\DISPLAY1 16.667ms", "QPC Speed -- on 1 of 2 (50%)",
               1, 0, 0, 0.0);
    EXPECT_STREQ("vsync.server: \\\\.\\DISPLAY1 16.667ms\n\nQPC Speed -- on 1 of 2 (50%)\n"
                 "nNumPaints=1    MOUSE x=0 y=0 ms=0.000",
                 page);
    formatPage(page, sizeof page, "", "", 42, -3, 700, 16.6666);
    EXPECT_STREQ("\n\n\nnNumPaints=42    MOUSE x=-3 y=700 ms=16.667", page);
}

TEST(Page, CounterPastTheSignedRangeShowsWrappedAndLongTextIsCut)
{
    char page[kPageTextSize];
    formatPage(page, sizeof page, "", "", 0x80000000u, 0, 0, 0.0);
    EXPECT_NE(nullptr, std::strstr(page, "nNumPaints=-2147483648 "));

    const std::string huge(3000, 'x');
    std::memset(page, '#', sizeof page);
    formatPage(page, 300, huge.c_str(), huge.c_str(), 1, 0, 0, 0.0);
    EXPECT_EQ(299u, std::strlen(page));
    EXPECT_EQ('#', page[300]);    // nothing written past the given size
}

TEST(PingDelay, IsTheUnsignedDifferenceOfTheLowBits)
{
    EXPECT_EQ(250, pingDelayTicks(1250u, 1000u));
    EXPECT_EQ(0, pingDelayTicks(77u, 77u));
    // Posted 100 ticks before the low 32 bits wrapped, handled 50 ticks after.
    EXPECT_EQ(150, pingDelayTicks(50u, 0xFFFFFF9Cu));
    // A handler that ran "before" the post (clock read the other way round) does not
    // go negative: it is a delay of almost 2^32 ticks.
    EXPECT_EQ(4294967295LL, pingDelayTicks(0u, 1u));
}

TEST(TestLine, TitleThenProgressAndTitleEmptiesProgress)
{
    char line[kProgressTextSize + kTitleTextSize];
    setCurrentTitle("QPC Speed");
    setProgressText(" -- on 5 of 60 (8%)");
    formatTestLine(line, sizeof line);
    EXPECT_STREQ("QPC Speed -- on 5 of 60 (8%)", line);
    setCurrentTitle("ScanLine");
    formatTestLine(line, sizeof line);
    EXPECT_STREQ("ScanLine", line);

    char small[200];
    setCurrentTitle(std::string(600, 't').c_str());    // longer than the title buffer
    setProgressText(std::string(300, 'p').c_str());
    formatTestLine(small, sizeof small);
    EXPECT_EQ(199u, std::strlen(small));
}

// The paint reads the test line while the test thread switches between titles; it must
// only ever see a whole title followed by a whole progress text of that title.
TEST(TestLine, ReaderNeverSeesATornText)
{
    const std::string longTitle(90, 'L');
    setCurrentTitle("short");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            setCurrentTitle(i % 2 ? "short" : longTitle.c_str());
            setProgressText(i % 2 ? " -- on 1 of 9 (11%)" : " -- on 77777 of 99999 (77.8%)");
        }
    });
    const std::string allowed[] = {"short", "short -- on 1 of 9 (11%)", longTitle,
                                   longTitle + " -- on 77777 of 99999 (77.8%)"};
    char line[200];
    std::string torn;
    for (int i = 0; i < 20000 && torn.empty(); ++i) {
        formatTestLine(line, sizeof line);
        bool known = false;
        for (const std::string& text : allowed)
            known = known || text == line;
        if (!known)
            torn = line;
    }
    stop = true;
    writer.join();
    EXPECT_EQ("", torn) << "the paint saw a torn test line";
}

// --- kelvaro-report's page, its top ---------------------------------------------------------

ReportSummary summaryOf(const std::string& name)
{
    KelvaroLog log;
    std::string problem;
    EXPECT_TRUE(readKelvaroLog(readFile(std::string(KELVARO_TEST_DATA) + "/" + name), &log, &problem)) << problem;
    return summarizeLog(log);
}

// The page's text from `from` on, its tags dropped, up to `length` characters.
std::string textFrom(const std::string& html, size_t from, size_t length)
{
    std::string text;
    bool inTag = false;
    for (size_t i = from; i < html.size() && text.size() < length; ++i) {
        if (html[i] == '<' || html[i] == '>')
            inTag = html[i] == '<';
        else if (!inTag)
            text += html[i];
    }
    return text;
}

std::string headlineOf(const std::string& html)
{
    const size_t at = html.find("<p class=\"headline\"");
    return at == std::string::npos ? "" : textFrom(html.substr(0, html.find("</p>", at)), at, std::string::npos);
}

// The methods chart's svg; empty when the page has none.
std::string methodsChartOf(const std::string& html)
{
    const size_t at = html.find("<svg class=\"chart\" id=\"methods-chart\"");
    return at == std::string::npos ? "" : html.substr(at, html.find("</svg>", at) - at);
}

// An attribute of the first element that starts with `element`, as a number.
double attributeOf(const std::string& svg, const std::string& element, const std::string& name)
{
    const size_t at = svg.find(element);
    EXPECT_NE(std::string::npos, at) << element;
    const size_t value = svg.find(" " + name + "=\"", at) + name.size() + 3;
    return std::atof(svg.c_str() + value);
}

// The methods table of the committed text summary, "rank method output" a row, in its order.
std::vector<std::string> goldMethods(const std::string& gold)
{
    std::vector<std::string> rows;
    std::istringstream lines(gold.substr(gold.find("  rank method")));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line) && line.rfind("  ", 0) == 0) {
        std::istringstream words(line);
        std::string rank, method, output;
        if (words >> rank >> method >> output && (rank == "-" || std::isdigit(static_cast<unsigned char>(rank[0])) != 0))
            rows.push_back((rank == "-" ? "–" : rank) + " " + method + " " + output);
    }
    return rows;
}

// A key's value on the log's profile line ("true" of "rate=60 true=59.951 ...").
std::string profileValue(const ReportSummary& summary, const std::string& key)
{
    const std::string line = " " + summary.profile + " ";
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return "";
    const size_t from = at + key.size() + 2;
    return line.substr(from, line.find(' ', from) - from);
}

// The desktop profile's suite: the page opens with one sentence of the true rate against the
// mode's, the wait the findings recommend and what went wrong, then a row per method in the committed
// text's rank order, whatever order the findings hand them in.
TEST(ReportPageTop, HeadlineFirstThenEveryMethodInRankOrder)
{
    ReportSummary summary = summaryOf("desktop-suite.log");
    const std::string gold = readFile(std::string(KELVARO_TEST_DATA) + "/gold/desktop-suite/summary.txt");
    const std::vector<std::string> order = goldMethods(gold);
    ASSERT_EQ(8u, order.size());
    const std::string html = reportHtml(summary);

    const std::string headline = headlineOf(html);
    ASSERT_GT(headline.size(), 40u);
    std::string first = textFrom(html, html.find("<body>"), headline.size() + 8);
    first.erase(0, first.find_first_not_of(" \n"));
    EXPECT_EQ(headline, first.substr(0, headline.size())) << "the page's first text is the headline";
    EXPECT_LT(html.find("methods-chart"), html.find("<h1>")) << "the chart follows the headline, before the rest";
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.3f", std::atof(profileValue(summary, "true").c_str()));
    EXPECT_NE(std::string::npos,
              headline.find(std::string(" at ") + rate + " Hz, though its mode says " + profileValue(summary, "rate") + ";"))
        << headline;
    // The wait the committed text recommends.
    const size_t use = gold.find("] Use ");
    ASSERT_NE(std::string::npos, use);
    const std::string best = gold.substr(use + 6, gold.find(' ', use + 6) - use - 6);
    EXPECT_NE(std::string::npos, headline.find("; use " + best + " here (")) << headline;
    // A good display's suite: nothing went wrong. One bad finding added: the headline names it up
    // to its first pause.
    ASSERT_EQ(std::string::npos, gold.find("[bad] ")) << "no bad finding in the committed text";
    EXPECT_NE(std::string::npos, headline.find("; nothing went wrong.")) << headline;
    ReportSummary failing = summary;
    failing.findings.sentences.push_back({"unusual", "unusual_wait_failed", Finding::Mark::Bad,
                                          "3 failed waits (the driver's status 0xC0000001).", ""});
    EXPECT_NE(std::string::npos, headlineOf(reportHtml(failing)).find("; one thing went wrong: 3 failed waits, see below."))
        << headlineOf(reportHtml(failing));

    EXPECT_EQ(order, textsOf(methodsChartOf(html), "method"));
    // Handed in backwards: the ranked ones still by rank, the unranked after them in the order handed in.
    std::reverse(summary.findings.methods.begin(), summary.findings.methods.end());
    std::vector<std::string> backwards = order;
    std::reverse(std::find_if(backwards.begin(), backwards.end(), [](const std::string& row) { return row.rfind("–", 0) == 0; }),
                 backwards.end());
    EXPECT_EQ(backwards, textsOf(methodsChartOf(reportHtml(summary)), "method")) << "drawn by rank, not as handed in";
}

// No findings: a sentence of what is missing and no chart. One method early of the vblank: its
// row on an axis that reaches below zero, its p50 left of the vblank, its bar across it.
TEST(ReportPageTop, NoFindingsSayWhatIsMissingAndOneEarlyMethodReachesBelowZero)
{
    ReportSummary summary;
    std::string html = reportHtml(summary);
    EXPECT_EQ("No refresh rate was measured; no way of finding the vblank was scored; there are no findings to "
              "tell whether anything went wrong.",
              headlineOf(html));
    EXPECT_EQ("", methodsChartOf(html));
    EXPECT_NE(std::string::npos, html.find("nothing to chart"));

    MethodScore early;
    early.method = "d3dkmt";
    early.output = "\\\\.\\DISPLAY1";
    early.rank = 1;
    early.lateUs = {500, -40.0, -10.0, 10.0, 25.0, 30.0};
    early.missed = 2;
    summary.findings.methods.push_back(early);
    summary.findings.sentences.push_back({"unusual", "unusual_wait_failed", Finding::Mark::Bad, "3 failed waits: at 1.2 s.", ""});
    summary.findings.sentences.push_back({"timers", "timers", Finding::Mark::Bad, "Sleep(1) lasts 15.6 ms (median).", ""});
    html = reportHtml(summary);
    EXPECT_NE(std::string::npos, headlineOf(html).find("use d3dkmt here (p50 -40.0")) << headlineOf(html);
    EXPECT_NE(std::string::npos, headlineOf(html).find("; 2 things went wrong: see below.")) << headlineOf(html);
    const std::string svg = methodsChartOf(html);
    EXPECT_EQ(std::vector<std::string>{"1 d3dkmt \\\\.\\DISPLAY1"}, textsOf(svg, "method"));
    EXPECT_EQ(std::vector<std::string>{"2 missed"}, textsOf(svg, "missed"));
    const std::vector<std::string> ticks = textsOf(svg, "tick");
    EXPECT_TRUE(std::any_of(ticks.begin(), ticks.end(), [](const std::string& t) { return t[0] == '-'; }))
        << "the axis reaches below zero";
    const double vblank = attributeOf(svg, "<line x1=", "x1");
    const double p50 = attributeOf(svg, "<rect class=\"p50\"", "x") + 1.5;
    const double from = attributeOf(svg, "<rect class=\"spread\"", "x");
    const double to = from + attributeOf(svg, "<rect class=\"spread\"", "width");
    EXPECT_LT(p50, from);
    EXPECT_LT(from, vblank);
    EXPECT_LT(vblank, to);
    EXPECT_GT(p50, 0.0);
    EXPECT_LT(to, attributeOf(svg, "<svg", "width"));
    // The lengths along the axis keep their ratios: p50 to p95 is 30 us, p95 to p99.9 35 us.
    EXPECT_NEAR(35.0 / 30.0, (to - from) / (from - p50), 0.02);
}

}  // namespace

