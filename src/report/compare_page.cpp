// The page of two logs compared: the findings whose mark changed, every figure side by side,
// and each chart of a run both logs hold with both series overlaid.
#include "report/page_parts.h"

#include "report/compare.h"
#include "report/outputs.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

using namespace pageparts;

// ---------------------------------------------------------------------------------------------
// The comparison's page.

constexpr const char* kColourA = "#3355aa";
constexpr const char* kColourB = "#c2185b";

// Which log a chart's colours stand for, top right inside the plot.
std::string legend(const std::string& nameA, const std::string& nameB, int right)
{
    const auto entry = [&](double y, const char* colour, const std::string& text) {
        return "<rect x=\"" + number(right - 150, 1) + "\" y=\"" + number(y - 7, 1) +
               "\" width=\"10\" height=\"8\" fill=\"" + colour + "\"/>" +
               chartText(right - 136, y, text, std::string("class=\"legend\" fill=\"") + colour + "\"");
    };
    const auto shortName = [](const std::string& path) {
        const std::string name = path.substr(path.find_last_of("/\\") + 1);
        return name.size() > 22 ? name.substr(0, 21) + "~" : name;
    };
    return entry(kPlotTop + 10, kColourA, "A " + shortName(nameA)) + entry(kPlotTop + 22, kColourB, "B " + shortName(nameB));
}

// A series's buckets as one polyline over rows 1 to `rows` of a shared axis.
std::string seriesLine(const Series& series, const Scale& y, double rows, int plotWidth, const char* colour)
{
    const double width = plotWidth * std::max(1.0, static_cast<double>(series.values.size()) - 1.0) / std::max(1.0, rows - 1.0);
    const std::vector<Bucket> buckets = decimate(series.values, static_cast<size_t>(std::max(1.0, width)));
    std::string svg;
    svg.reserve(24 * buckets.size() + 128);
    appendAll(svg, "<polyline fill=\"none\" stroke=\"", colour, "\" stroke-width=\"1\" points=\"");
    for (size_t i = 0; i < buckets.size(); ++i) {
        const Fixed x{kMargin + (buckets.size() > 1 ? i * width / static_cast<double>(buckets.size() - 1) : 0.0)};
        appendAll(svg, x, ',', Fixed{y(buckets[i].low)}, ' ');
        if (buckets[i].high != buckets[i].low)
            appendAll(svg, x, ',', Fixed{y(buckets[i].high)}, ' ');
    }
    svg += "\"/>";
    return svg;
}

// A run's series of both logs by row, on one value axis that holds both.
std::string overlaidSeries(const Series& a, const Series& b, const std::string& id, const Comparison& c)
{
    double lowA = 0, highA = 0, lowB = 0, highB = 0;
    rangeOf(a, &lowA, &highA);
    rangeOf(b, &lowB, &highB);
    const Scale y{std::min(lowA, lowB), std::max(highA, highB), kPlotBottom, kPlotTop};
    const int plotWidth = kChartWidth - kMargin - 8;
    const double rows = static_cast<double>(std::max(a.values.size(), b.values.size()));
    std::string svg = chartFrame(id, kChartWidth);
    svg += yAxis(y, kMargin, kChartWidth - 8, valueAxisName(a));
    svg += xAxis(Scale{1.0, rows, static_cast<double>(kMargin), static_cast<double>(kMargin + plotWidth)}, kChartWidth - 8,
                 "row", 6, 1.0);
    svg += seriesLine(a, y, rows, plotWidth, kColourA) + seriesLine(b, y, rows, plotWidth, kColourB);
    svg += legend(c.nameA, c.nameB, kChartWidth - 8);
    svg += chartText(kMargin, kChartHeight - 8,
                     a.name + " by row, " + std::to_string(a.values.size()) + " and " + std::to_string(b.values.size()) +
                         " rows",
                     "");
    return svg + "</svg>";
}

// Both logs' values of a series binned alike, A's bar and B's side by side in each bin.
std::string overlaidHistogram(const Series& a, const Series& b, const std::string& id, const Comparison& c)
{
    double low = std::min(percentileOf(a.values, 1.0), percentileOf(b.values, 1.0));
    double high = std::max(percentileOf(a.values, 99.0), percentileOf(b.values, 99.0));
    if (!(high > low)) {
        low -= 1.0;
        high += 1.0;
    }
    const auto binned = [&](const Series& series) {
        std::vector<int> bins(kBins, 0);
        for (const double v : series.values) {
            const double at = std::min(kBins - 1.0, std::max(0.0, std::floor((v - low) / (high - low) * kBins)));
            bins[at >= 0.0 ? static_cast<size_t>(at) : 0] += 1;
        }
        return bins;
    };
    const std::vector<int> binsA = binned(a), binsB = binned(b);
    const int most = std::max(*std::max_element(binsA.begin(), binsA.end()), *std::max_element(binsB.begin(), binsB.end()));
    const int width = kChartWidth / 2 + 40;
    const int right = width - 8;
    const Scale y{0.0, static_cast<double>(most), kPlotBottom, kPlotTop};
    std::string svg = chartFrame(id, width);
    svg += yAxis(y, kMargin, right, "count", 4, 1.0);
    const double bin = (right - kMargin) / static_cast<double>(kBins);
    for (int k = 0; k < kBins; ++k) {
        for (int side = 0; side < 2; ++side) {
            const int count = (side == 0 ? binsA : binsB)[static_cast<size_t>(k)];
            if (count == 0)
                continue;
            const double top = y(count);
            appendAll(svg, "<rect x=\"", Fixed{kMargin + k * bin + side * bin / 2}, "\" y=\"", Fixed{top}, "\" width=\"",
                      Fixed{std::max(1.0, bin / 2 - 0.5)}, "\" height=\"", Fixed{kPlotBottom - top}, "\" fill=\"",
                      side == 0 ? kColourA : kColourB, "\"/>");
        }
    }
    svg += xAxis(Scale{low, high, static_cast<double>(kMargin), static_cast<double>(right)}, right, valueAxisName(a), 4);
    svg += legend(c.nameA, c.nameB, right);
    svg += chartText(kMargin, kChartHeight - 8, a.name, "");
    return svg + "</svg>";
}

std::string comparedNumber(const ComparedValue& v, bool side)
{
    if (!(side ? v.inB : v.inA) && !v.comparable())
        return "–";
    return number(side ? v.b : v.a, v.count ? 0 : 4);
}

// Figures side by side: A, B, B − A, the per cent, and which log alone has it.
std::string comparedTable(const std::vector<ComparedValue>& values, const std::string& caption)
{
    if (values.empty())
        return "";
    std::string html = "<table class=\"compact\"><caption>" + escaped(caption) +
                       "</caption><tr><th></th><th class=\"a\">A</th><th class=\"b\">B</th><th>B − A</th><th>%</th><th></th></tr>";
    for (const ComparedValue& v : values) {
        const bool countable = v.comparable();
        html += "<tr><td>" + escaped(v.label + (v.unit.empty() ? "" : ", " + v.unit)) + "</td><td class=\"n\">" +
                comparedNumber(v, false) + "</td><td class=\"n\">" + comparedNumber(v, true) + "</td><td class=\"n\">" +
                (countable ? (v.difference() >= 0 ? "+" : "") + number(v.difference(), v.count ? 0 : 4) : "") +
                "</td><td class=\"n\">" + (v.hasPercent() ? number(v.percent(), 1) : "") + "</td><td class=\"only\">" +
                v.only() + "</td></tr>";
    }
    return html + "</table>\n";
}

}   // namespace

std::string comparisonHtml(const Comparison& c, const ReportSummary& a, const ReportSummary& b)
{
    std::string html = pageHead("kelvaro comparison");
    html += "<h1>kelvaro comparison</h1>\n<p><span class=\"a\">A: " + escaped(c.nameA) + "</span><br><span class=\"b\">B: " +
            escaped(c.nameB) + "</span></p>\n";
    html += "<section id=\"findings\"><h2>Findings</h2><table class=\"compact\"><tr><th>key</th><th class=\"a\">A</th>"
            "<th class=\"b\">B</th></tr>";
    for (const ComparedFinding& f : c.findings) {
        const auto cell = [&](bool in, Finding::Mark mark, const std::string& text, bool same) {
            if (!in)
                return std::string("<td class=\"only\">not in this log</td>");
            return std::string("<td><span class=\"mark ") + markClass(mark) + "\">" + markName(mark) + "</span> " +
                   (same ? "the same" : escaped(text)) + "</td>";
        };
        html += std::string("<tr") + (f.markChanged() ? " class=\"changed\"" : "") + "><td>" + escaped(f.key) +
                (f.markChanged() ? "<br><b>mark changed</b>" : "") + "</td>" + cell(f.inA, f.markA, f.textA, false) +
                cell(f.inB, f.markB, f.textB, f.inA && f.textA == f.textB) + "</tr>";
    }
    html += "</table></section>\n<table class=\"compact\"><tr><th></th><th class=\"a\">A</th><th class=\"b\">B</th></tr>";
    for (const ComparedText& t : c.machine)
        html += "<tr><th>" + escaped(t.label) + "</th><td>" + escaped(t.a) + "</td><td>" + escaped(t.b) + "</td></tr>";
    html += "</table>\n";
    html += comparedTable(c.refresh, "Refresh") + comparedTable(c.methods, "Ways of finding the vblank, after the reference vblank") +
            comparedTable(c.events, "Events");
    int chart = 0;
    for (const ComparedRun& run : c.runs) {
        html += "<section id=\"" + sectionId(run.key) + "\"><h2>" + escaped(run.title) + "</h2>\n";
        if (*run.only() != '\0')
            html += "<p class=\"only\">This run is " + std::string(run.only()) + ".</p>";
        html += comparedTable(run.figures, "");
        const TestSummary* ta = runByKey(a, run.key);
        const TestSummary* tb = runByKey(b, run.key);
        if (ta != nullptr && tb != nullptr) {
            std::string charts;
            const std::vector<Series> chartsA = shownCharts(a, *ta), chartsB = shownCharts(b, *tb);
            for (const Series& sa : chartsA) {
                for (const Series& sb : chartsB) {
                    if (sa.name != sb.name || sa.values.empty() || sb.values.empty())
                        continue;
                    charts += overlaidSeries(sa, sb, "chart" + std::to_string(chart++), c);
                    charts += overlaidHistogram(sa, sb, "chart" + std::to_string(chart++), c);
                }
            }
            html += charts.empty() ? "" : "<div class=\"charts\">" + charts + "</div>";
        }
        html += "</section>\n";
    }
    return html + "</body></html>\n";
}

