#include "report/outputs.h"

#include "report/compare.h"
#include "report/findings_json.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace {

constexpr int kChartWidth = 640;
constexpr int kChartHeight = 200;
constexpr int kHistogramWidth = 300;
constexpr int kMargin = 56;   // room for the y axis's tick labels and its name on the left
constexpr int kPlotTop = 10;
constexpr int kPlotBottom = kChartHeight - 40;   // below: the x tick labels, the caption, the x axis's name
constexpr int kBins = 40;
constexpr size_t kEventRows = 50;   // the page's events table; the JSON has them all

std::string escaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
    }
    return out;
}

constexpr char kDigitPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                               "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                               "8081828384858687888990919293949596979899";

// `value` with `decimals` digits after the point as printf's "%.*f" writes it, backwards from
// `end` (at most 40 characters before it); gives where it begins, or nullptr for what it leaves
// to printf: not finite, more than 15 decimals, 10^15 units of the last digit or more, or a
// scaled value exactly on a rounding tie. The scaled value is rounded, but rounding keeps order
// and the tie (a whole number and a half, below 2^52) is a double itself: off the tie, it lies
// on the same side of it as the exact product, and rounds to the same whole number.
char* fixedDigits(double value, int decimals, char* end)
{
    if (decimals < 0 || decimals > 15)
        return nullptr;
    const double scaled = std::abs(value) * kPowersOfTen[decimals];
    if (!(scaled < 1e15))
        return nullptr;
    const long long whole = static_cast<long long>(scaled);   // its floor: it is not negative
    const double fraction = scaled - static_cast<double>(whole);   // exact
    if (fraction == 0.5)
        return nullptr;
    unsigned long long units = static_cast<unsigned long long>(whole) + (fraction > 0.5 ? 1 : 0);
    // The digits from the last, two at a time: `decimals` of them, the point, at least one more.
    char* at = end;
    const auto pair = [&] {
        at -= 2;
        std::memcpy(at, kDigitPairs + 2 * (units % 100), 2);
        units /= 100;
    };
    if (decimals > 0) {
        for (int left = decimals; left > 0; left -= 2) {
            if (left == 1) {
                *--at = static_cast<char>('0' + units % 10);
                units /= 10;
            } else {
                pair();
            }
        }
        *--at = '.';
    }
    while (units >= 100)
        pair();
    if (units >= 10)
        pair();
    else
        *--at = static_cast<char>('0' + units);
    // A negative value keeps its sign even when it rounds to zero, as printf writes it.
    if (std::signbit(value))
        *--at = '-';
    return at;
}

std::string number(double value, int decimals = 3)
{
    char text[64];
    if (const char* begin = fixedDigits(value, decimals, text + sizeof text))
        return std::string(begin, static_cast<size_t>(text + sizeof text - begin));
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// number(value, decimals) appended to `out`.
void appendNumber(std::string& out, double value, int decimals)
{
    char text[64];
    if (const char* begin = fixedDigits(value, decimals, text + sizeof text)) {
        out.append(begin, static_cast<size_t>(text + sizeof text - begin));
        return;
    }
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    out += text;
}

// A number of a chart's, as number() writes it: a piece for appendAll.
struct Fixed {
    double value;
    int decimals = 1;
};

void appendPiece(std::string& out, std::string_view piece)
{
    out += piece;
}

void appendPiece(std::string& out, char piece)
{
    out += piece;
}

void appendPiece(std::string& out, Fixed piece)
{
    appendNumber(out, piece.value, piece.decimals);
}

// The pieces one after the other at the end of `out`, without a string made for each join.
template <typename... Pieces>
void appendAll(std::string& out, const Pieces&... pieces)
{
    (appendPiece(out, pieces), ...);
}

// A linear map of values onto pixels.
struct Scale {
    double low, high;   // values
    double from, to;    // their pixels
    double operator()(double v) const { return high > low ? from + (to - from) * (v - low) / (high - low) : from; }
};

// Round values to mark an axis with: a step of 1, 2 or 5 times a power of ten, the one that
// gives the number of marks closest to `wanted`, never finer than `finest` (1 for rows and counts).
struct Ticks {
    double step = 1.0;
    std::vector<double> values;
};

Ticks niceTicks(double low, double high, int wanted = 5, double finest = 0.0)
{
    Ticks ticks;
    if (!(high > low) || !std::isfinite(high - low)) {
        if (std::isfinite(low))
            ticks.values.push_back(low);
        return ticks;
    }
    const double power = std::pow(10.0, std::floor(std::log10((high - low) / wanted)));
    double bestCount = 0.0;
    ticks.step = 0.0;
    for (const double scale : {0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0}) {
        const double step = scale * power;
        if (step < finest)
            continue;
        const double count = std::floor(high / step) - std::ceil(low / step) + 1.0;
        if (ticks.step == 0.0 || std::abs(count - wanted) < std::abs(bestCount - wanted)) {
            ticks.step = step;
            bestCount = count;
        }
    }
    if (ticks.step == 0.0)
        ticks.step = finest;
    const double first = std::ceil(low / ticks.step), last = std::floor(high / ticks.step);
    for (double k = first; k <= last && ticks.values.size() < 20; k += 1.0)
        ticks.values.push_back(k * ticks.step + 0.0);   // + 0.0: no "-0"
    return ticks;
}

// A tick's value with as many decimals as its step needs.
std::string tickLabel(double value, double step)
{
    if (std::abs(value) >= 1e7) {
        char text[64];
        std::snprintf(text, sizeof text, "%.3g", value);
        return text;
    }
    return number(value, step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
}

// The unit of a series as an axis names it: its own, else the one after the '/' of its column's
// name; microseconds as "µs".
std::string unitOf(const Series& series)
{
    std::string unit = series.unit;
    const size_t slash = series.name.rfind('/');
    if (unit.empty() && slash != std::string::npos)
        unit = series.name.substr(slash + 1);
    return unit == "us" ? "µs" : unit;
}

// What the value axis of a series says: its unit, or the column's name when it has none.
std::string valueAxisName(const Series& series)
{
    const std::string unit = unitOf(series);
    return unit.empty() ? series.name.substr(0, series.name.rfind('/')) : unit;
}

// A text of a chart, with a halo of the chart's background so that it reads over the data.
std::string chartText(double x, double y, const std::string& text, const std::string& attributes)
{
    std::string svg;
    svg.reserve(128 + attributes.size() + text.size());
    appendAll(svg, "<text x=\"", Fixed{x}, "\" y=\"", Fixed{y}, "\" font-size=\"10\" ", attributes,
              " paint-order=\"stroke\" stroke=\"#fbfbfd\" stroke-width=\"3\">", escaped(text), "</text>");
    return svg;
}

// A y axis: its line at `left`, at each round value a tick, a faint grid line to `right` and
// the value, and the axis's name along it.
std::string yAxis(const Scale& y, int left, int right, const std::string& name, int wanted = 5, double finest = 0.0)
{
    const Ticks ticks = niceTicks(y.low, y.high, wanted, finest);
    const std::string from = std::to_string(left), to = std::to_string(right), tick = std::to_string(left - 4);
    std::string svg;
    svg.reserve(400 * ticks.values.size() + 300 + name.size());
    for (const double v : ticks.values) {
        const std::string at = number(y(v), 1);
        appendAll(svg, "<line x1=\"", from, "\" x2=\"", to, "\" y1=\"", at, "\" y2=\"", at, "\" stroke=\"#ebebee\"/><line x1=\"",
                  tick, "\" x2=\"", from, "\" y1=\"", at, "\" y2=\"", at, "\" stroke=\"#888\"/>",
                  chartText(left - 6, y(v) + 3.5, tickLabel(v, ticks.step), "class=\"tick\" text-anchor=\"end\""));
    }
    appendAll(svg, "<line x1=\"", from, "\" x2=\"", from, "\" y1=\"", Fixed{y.to}, "\" y2=\"", Fixed{y.from},
              "\" stroke=\"#888\"/>");
    const std::string middle = number((y.from + y.to) / 2, 1);
    appendAll(svg, "<text class=\"axis\" x=\"12\" y=\"", middle,
              "\" font-size=\"10\" text-anchor=\"middle\" transform=\"rotate(-90 12 ", middle, ")\">", escaped(name),
              "</text>");
    return svg;
}

// An x axis along the plot's bottom: its line, at each round value a tick and the value below
// it, and the axis's name at its right end, under the tick labels. Fewer ticks when their
// labels would touch; a label at an end is kept inside the chart (`right` + 8 wide).
std::string xAxis(const Scale& x, int right, const std::string& name, int wanted = 5, double finest = 0.0)
{
    constexpr double kDigit = 6.0;   // about a character's width at the charts' 10 px
    Ticks ticks = niceTicks(x.low, x.high, wanted, finest);
    for (; wanted > 2; ticks = niceTicks(x.low, x.high, --wanted, finest)) {
        size_t longest = 0;
        for (const double v : ticks.values)
            longest = std::max(longest, tickLabel(v, ticks.step).size());
        if (std::abs(x(ticks.step) - x(0.0)) > kDigit * static_cast<double>(longest) + 12.0)
            break;
    }
    const std::string bottom = std::to_string(kPlotBottom), tickEnd = std::to_string(kPlotBottom + 4);
    std::string svg;
    svg.reserve(350 * ticks.values.size() + 300 + name.size());
    appendAll(svg, "<line x1=\"", Fixed{x.from}, "\" x2=\"", std::to_string(right), "\" y1=\"", bottom, "\" y2=\"", bottom,
              "\" stroke=\"#888\"/>");
    for (const double v : ticks.values) {
        const std::string at = number(x(v), 1), label = tickLabel(v, ticks.step);
        appendAll(svg, "<line x1=\"", at, "\" x2=\"", at, "\" y1=\"", bottom, "\" y2=\"", tickEnd, "\" stroke=\"#888\"/>");
        const double middle = std::min(x(v), right + 6.0 - kDigit * static_cast<double>(label.size()) / 2);
        svg += chartText(middle, kPlotBottom + 14, label, "class=\"tick\" text-anchor=\"middle\"");
    }
    svg += chartText(right, kChartHeight - 8, name, "class=\"axis\" text-anchor=\"end\"");
    return svg;
}

// A value line across a time series: the truth or the reference, named at its right end; the
// name goes above the line or below it, whichever stays inside the plot.
std::string valueLine(const Scale& y, double value, const std::string& colour, const std::string& label, bool above)
{
    const double at = y(value);
    if (above ? at - 3 < kPlotTop + 8 : at + 11 > kPlotBottom)
        above = !above;
    std::string svg;
    appendAll(svg, "<line x1=\"", std::to_string(kMargin), "\" x2=\"", std::to_string(kChartWidth - 8), "\" y1=\"", Fixed{at},
              "\" y2=\"", Fixed{at}, "\" stroke=\"", colour, "\" stroke-dasharray=\"4 3\"/>",
              chartText(kChartWidth - 10, above ? at - 3 : at + 11, label, "text-anchor=\"end\" fill=\"" + colour + "\""));
    return svg;
}

// The chart's vertical range: the values' own, widened a little, never empty; with a truth or
// a reference, those inside it.
void rangeOf(const Series& series, double* low, double* high)
{
    *low = *std::min_element(series.values.begin(), series.values.end());
    *high = *std::max_element(series.values.begin(), series.values.end());
    if (series.hasTruth) {
        *low = std::min(*low, series.truth);
        *high = std::max(*high, series.truth);
    }
    if (series.hasReference) {
        *low = std::min(*low, series.reference);
        *high = std::max(*high, series.reference);
    }
    if (!(*high > *low)) {
        *low -= 1.0;
        *high += 1.0;
    }
    const double pad = (*high - *low) * 0.05;
    *low -= pad;
    *high += pad;
}

// A chart's svg element, opened, with its framed background.
std::string chartFrame(const std::string& id, int width)
{
    const std::string w = std::to_string(width), h = std::to_string(kChartHeight);
    return "<svg class=\"chart\" id=\"" + id + "\" width=\"" + w + "\" height=\"" + h + "\" viewBox=\"0 0 " + w +
           " " + h + "\" xmlns=\"http://www.w3.org/2000/svg\"><rect x=\"0\" y=\"0\" width=\"" + w +
           "\" height=\"" + h + "\" fill=\"#fbfbfd\" stroke=\"#ccd\"/>";
}

std::string timeSeries(const Series& series, const std::string& id)
{
    double low = 0, high = 0;
    rangeOf(series, &low, &high);
    const int plotWidth = kChartWidth - kMargin - 8;
    const std::vector<Bucket> buckets = decimate(series.values, static_cast<size_t>(plotWidth));
    const Scale y{low, high, kPlotBottom, kPlotTop};
    const auto x = [&](double i) {
        return kMargin + (buckets.size() > 1 ? i * plotWidth / static_cast<double>(buckets.size() - 1) : 0.0);
    };
    // Row r (from 1) lies in bucket (r - 1) * scale.
    const double rows = static_cast<double>(series.values.size());
    const double scale = static_cast<double>(buckets.size()) / rows;
    std::string svg = chartFrame(id, kChartWidth);
    if (series.windowTo > series.windowFrom) {
        const double from = x((series.windowFrom - 1) * scale), to = x((series.windowTo - 1) * scale);
        svg += "<rect x=\"" + number(from, 1) + "\" y=\"" + std::to_string(kPlotTop) + "\" width=\"" +
               number(std::max(1.0, to - from), 1) + "\" height=\"" + std::to_string(kPlotBottom - kPlotTop) +
               "\" fill=\"#ffe9b3\"/>";
        svg += "<text x=\"" + number(from + 3, 1) + "\" y=\"22\" font-size=\"10\" fill=\"#996600\">vsync mode</text>";
    }
    svg += yAxis(y, kMargin, kChartWidth - 8, valueAxisName(series));
    svg += xAxis(Scale{1.0, rows, x(0.0), x((rows - 1.0) * scale)}, kChartWidth - 8, "row", 6, 1.0);
    // Each bucket as a stroke from its minimum to its maximum, joined in order.
    svg.reserve(svg.size() + 24 * buckets.size() + 2048);
    svg += "<polyline fill=\"none\" stroke=\"#3355aa\" stroke-width=\"1\" points=\"";
    for (size_t i = 0; i < buckets.size(); ++i) {
        const Fixed at{x(static_cast<double>(i))};
        appendAll(svg, at, ',', Fixed{y(buckets[i].low)}, ' ');
        if (buckets[i].high != buckets[i].low)
            appendAll(svg, at, ',', Fixed{y(buckets[i].high)}, ' ');
    }
    svg += "\"/>";
    // Over the data: where the values should lie.
    if (series.hasReference)
        svg += valueLine(y, series.reference, "#d2691e", "reference " + number(series.reference, 6), false);
    if (series.hasTruth)
        svg += valueLine(y, series.truth, "#2a9d4a", "true " + number(series.truth, 6), true);
    svg += chartText(kMargin, kChartHeight - 8,
                     series.name + " by row, " + std::to_string(series.values.size()) + " rows", "");
    svg += "</svg>";
    return svg;
}

std::string histogram(const Series& series, const std::string& id)
{
    // Bins from the 1st to the 99th percentile; the rest falls in the end bins.
    double low = percentileOf(series.values, 1.0), high = percentileOf(series.values, 99.0);
    if (!(high > low)) {
        low -= 1.0;
        high += 1.0;
    }
    std::vector<int> bins(kBins, 0);
    for (const double v : series.values) {
        // Clamped before the cast: a value far outside the range would overflow an int.
        const double at = std::min(kBins - 1.0, std::max(0.0, std::floor((v - low) / (high - low) * kBins)));
        bins[at >= 0.0 ? static_cast<size_t>(at) : 0] += 1;
    }
    const int most = *std::max_element(bins.begin(), bins.end());
    std::string svg = chartFrame(id, kHistogramWidth);
    const int right = kHistogramWidth - 8;
    const Scale y{0.0, static_cast<double>(most), kPlotBottom, kPlotTop};
    const Scale x{low, high, kMargin, right};
    svg += yAxis(y, kMargin, right, "count", 4, 1.0);
    const double width = (right - kMargin) / static_cast<double>(kBins);
    for (int b = 0; b < kBins; ++b) {
        if (bins[static_cast<size_t>(b)] == 0)
            continue;
        const double top = y(bins[static_cast<size_t>(b)]);
        appendAll(svg, "<rect x=\"", Fixed{kMargin + b * width}, "\" y=\"", Fixed{top}, "\" width=\"",
                  Fixed{std::max(1.0, width - 1.0)}, "\" height=\"", Fixed{kPlotBottom - top}, "\" fill=\"#7a8fd1\"/>");
    }
    svg += xAxis(x, right, valueAxisName(series), 4);
    svg += chartText(kMargin, kChartHeight - 8, series.name, "") + "</svg>";
    return svg;
}

// A run's periods counted by how many frames each spans, a bar per bin on a linear axis, with
// its count over every bar that has any: a lone stall among hundreds of rows is a 1 px bar, and
// its "1" says it is there.
std::string frameHistogram(const std::vector<size_t>& bins, const std::string& id)
{
    const size_t n = bins.size();
    const int width = std::clamp(kMargin + 8 + 26 * static_cast<int>(n), kHistogramWidth, kChartWidth);
    const int right = width - 8;
    const size_t most = std::max<size_t>(1, *std::max_element(bins.begin(), bins.end()));
    const Scale y{0.0, static_cast<double>(most), kPlotBottom, kPlotTop + 12.0};   // room for the top count
    std::string svg = chartFrame(id, width) + yAxis(y, kMargin, right, "count", 4, 1.0);
    const double slot = (right - kMargin) / static_cast<double>(n);
    // Every bin's name when they fit, else every few; the first and the last always.
    const size_t every = std::max<size_t>(1, static_cast<size_t>(std::ceil(22.0 * static_cast<double>(n) / (right - kMargin))));
    for (size_t b = 0; b < n; ++b) {
        const double middle = kMargin + (static_cast<double>(b) + 0.5) * slot;
        if (bins[b] > 0) {
            const double top = std::min(y(static_cast<double>(bins[b])), kPlotBottom - 1.0);
            appendAll(svg, "<rect x=\"", Fixed{middle - slot / 2 + 1}, "\" y=\"", Fixed{top}, "\" width=\"",
                      Fixed{std::max(1.0, slot - 2)}, "\" height=\"", Fixed{kPlotBottom - top}, "\" fill=\"#7a8fd1\"/>");
            svg += chartText(middle, top - 3, std::to_string(bins[b]), "class=\"count\" text-anchor=\"middle\" fill=\"#222\"");
        }
        const bool last = b + 1 == n && n > 1;
        const bool rest = b == kFrameBinsRest;
        if ((b % every == 0 && (b == 0 || b + every < n)) || last) {
            const std::string name = b == 0 ? "<½" : rest ? "≥" + std::to_string(b) : std::to_string(b);
            svg += chartText(middle, kPlotBottom + 14, name, "class=\"tick\" text-anchor=\"middle\"");
        }
    }
    svg += "<line x1=\"" + std::to_string(kMargin) + "\" x2=\"" + std::to_string(right) + "\" y1=\"" +
           std::to_string(kPlotBottom) + "\" y2=\"" + std::to_string(kPlotBottom) + "\" stroke=\"#888\"/>";
    svg += chartText(right, kChartHeight - 8, "frames", "class=\"axis\" text-anchor=\"end\"");
    svg += chartText(kMargin, kChartHeight - 8, "periods in frames of the reference", "") + "</svg>";
    return svg;
}

// A run's section's id: its key with letters, digits, '-' and '_' only. The keys are lower
// case letters, digits and '_', with "#2" for a later run: '#' becomes '-', so no two meet.
std::string sectionId(const std::string& key)
{
    std::string id = "run-";
    for (const char c : key)
        id += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' ? c : '-';
    return id;
}

bool hasRun(const ReportSummary& summary, const std::string& key)
{
    return std::any_of(summary.tests.begin(), summary.tests.end(), [&](const TestSummary& t) { return t.key == key; });
}

// "→ section", a link to a run's section; nothing when no run has that key.
std::string sectionLink(const ReportSummary& summary, const std::string& key)
{
    return hasRun(summary, key) ? "<a href=\"#" + sectionId(key) + "\">→ section</a>" : "";
}

// The class that colours a mark's badge; the badge's text is the mark's name.
const char* markClass(Finding::Mark mark)
{
    return mark == Finding::Mark::Bad ? "bad" : mark == Finding::Mark::WorthKnowing ? "worth" : "fine";
}

// A figure the log may lack (0: not in it): a dash then.
std::string known(double value, int decimals)
{
    return value != 0.0 ? number(value, decimals) : "–";
}

std::string distributionCells(const Distribution& d)
{
    if (d.count == 0)
        return "<td class=\"n\">–</td><td class=\"n\">–</td><td class=\"n\">–</td><td class=\"n\">–</td><td class=\"n\">–</td>";
    std::string html;
    for (const double v : {d.p50, d.p95, d.p99, d.p999, d.max})
        html += "<td class=\"n\">" + number(v, 1) + "</td>";
    return html;
}

// The answers at the top of the page: the sentences with their marks, the methods side by
// side, the reference timelines, the refresh rates and what went wrong.
std::string findingsBlock(const ReportSummary& summary)
{
    const Findings& f = summary.findings;
    std::string html = "<div id=\"findings\"><h2>Findings</h2>\n";
    if (f.sentences.empty() && f.methods.empty() && f.references.empty() && f.refresh.empty() && f.events.empty())
        html += "<p class=\"note\">Nothing found in this log to weigh.</p>\n";
    if (!f.sentences.empty()) {
        html += "<ul>";
        for (const Finding& s : f.sentences)
            html += "<li><span class=\"mark " + std::string(markClass(s.mark)) + "\">" + markName(s.mark) + "</span> " +
                    escaped(s.text) + " " + sectionLink(summary, s.link) + "</li>";
        html += "</ul>\n";
    }
    if (!f.methods.empty()) {
        const bool truths = std::any_of(f.methods.begin(), f.methods.end(), [](const MethodScore& m) { return m.hasTruth; });
        html += "<table class=\"compact\"><caption>Each way of finding the vblank: how late after the reference "
                "vblank, µs</caption><tr><th>method</th><th>output</th><th>p50</th><th>p95</th><th>p99</th>"
                "<th>p99.9</th><th>max</th><th>missed</th>" +
                std::string(truths ? "<th>true p50</th>" : "") + "<th>cost</th><th>verdict</th></tr>";
        for (const MethodScore& m : f.methods) {
            // The method's name links to the run it was read from.
            const std::string name = hasRun(summary, m.test)
                                         ? "<a href=\"#" + sectionId(m.test) + "\">" + escaped(m.method) + "</a>"
                                         : escaped(m.method);
            html += std::string(m.rank == 1 ? "<tr class=\"best\">" : "<tr>") + "<td>" + name +
                    (m.rank == 1 ? " <small>(best)</small>" : "") + "</td><td>" +
                    escaped(m.output) + "</td>" + distributionCells(m.lateUs) + "<td class=\"n\">" +
                    number(m.missed, m.missed == std::floor(m.missed) ? 0 : 2) + "</td>";
            if (truths)
                html += "<td class=\"n\">" + (m.hasTruth && m.lateTrueUs.count > 0 ? number(m.lateTrueUs.p50, 1) : "–") + "</td>";
            html += "<td>" + escaped(m.cost) + "</td><td>" + escaped(m.verdict) + "</td></tr>";
        }
        html += "</table>\n";
    }
    for (const ReferenceTimeline& r : f.references) {
        html += "<p class=\"ref\">Reference of <b>" + escaped(r.name) + "</b>: ";
        if (!r.known()) {
            html += "not rebuilt (" + escaped(r.basis) + ")</p>\n";
            continue;
        }
        double shortest = r.segments.front().periodTicks, longest = shortest;
        for (const ReferenceSegment& s : r.segments) {
            shortest = std::min(shortest, s.periodTicks);
            longest = std::max(longest, s.periodTicks);
        }
        const auto ms = [&](double ticks) {
            return summary.frequency > 0 ? number(ticks * 1000.0 / static_cast<double>(summary.frequency), 4) + " ms"
                                         : number(ticks, 1) + " ticks";
        };
        html += "from " + escaped(r.basis) + (r.precise ? " (precise)" : " (coarse)") + ", " +
                std::to_string(r.segments.size()) + (r.segments.size() == 1 ? " segment" : " segments") + ", period " +
                ms(shortest) + (longest > shortest ? " to " + ms(longest) : "");
        if (r.hasTruth && r.errorUs.count > 0)
            html += "; off the true vblanks by p50 " + number(r.errorUs.p50, 1) + " µs, p99 " + number(r.errorUs.p99, 1) +
                    " µs, max " + number(r.errorUs.max, 1) + " µs";
        html += "</p>\n";
    }
    if (!f.refresh.empty()) {
        const bool truths = std::any_of(f.refresh.begin(), f.refresh.end(), [](const RefreshFinding& r) { return r.hasTruth; });
        html += "<table class=\"compact\"><caption>Refresh rates</caption><tr><th>output</th><th>mode Hz</th>"
                "<th>rateRefresh Hz</th><th>qpcRefreshPeriod ms</th><th>measured Hz</th><th>ppm vs mode</th>"
                "<th>one frame gained every</th>" + std::string(truths ? "<th>true Hz</th>" : "") + "</tr>";
        for (const RefreshFinding& r : f.refresh) {
            html += "<tr><td>" + escaped(r.name) + "</td><td class=\"n\">" + known(r.nominalHz, 3) + "</td><td class=\"n\">" +
                    known(r.rateRefreshHz, 4) + "</td><td class=\"n\">" + known(r.qpcRefreshPeriodMs, 4) +
                    "</td><td class=\"n\">" + known(r.measuredHz, 4) + "</td><td class=\"n\">" +
                    (r.nominalHz != 0.0 ? number(r.ppmVsNominal, 1) : "–") + "</td><td class=\"n\">" +
                    (r.frameSlipS > 0.0 ? number(r.frameSlipS, 1) + " s" : "never") + "</td>";
            if (truths)
                html += "<td class=\"n\">" + (r.hasTruth ? number(r.trueHz, 4) : "–") + "</td>";
            html += "</tr>";
        }
        html += "</table>\n";
    }
    if (!f.events.empty()) {
        html += "<table class=\"compact\"><caption>Events</caption><tr><th>kind</th><th>at s</th><th>frames</th>"
                "<th>detail</th><th>where</th></tr>";
        for (size_t i = 0; i < f.events.size() && i < kEventRows; ++i) {
            const FoundEvent& e = f.events[i];
            html += "<tr><td>" + escaped(e.kind) + "</td><td class=\"n\">" + (e.atS >= 0.0 ? number(e.atS, 3) : "–") +
                    "</td><td class=\"n\">" + (e.frames != 0.0 ? number(e.frames, 1) : "") + "</td><td>" +
                    escaped(e.detail) + "</td><td>" + (e.line > 0 ? "line " + std::to_string(e.line) + " " : "") +
                    sectionLink(summary, e.test) + "</td></tr>";
        }
        html += "</table>\n";
        if (f.events.size() > kEventRows)
            html += "<p class=\"note\">" + std::to_string(f.events.size() - kEventRows) +
                    " more events, all of them in the JSON.</p>\n";
    }
    return html + "</div>\n";
}

std::string figuresTable(const std::vector<Figure>& figures)
{
    // The true value and the error, where the log names the virtual display's profile.
    const bool truths = std::any_of(figures.begin(), figures.end(), [](const Figure& f) { return f.hasTruth; });
    std::string html = "<table><tr><th>figure</th><th>measured</th><th>unit</th>";
    html += truths ? "<th>true</th><th>error</th></tr>" : "</tr>";
    for (const Figure& figure : figures) {
        html += "<tr><td>" + escaped(figure.label) + "</td><td class=\"n\">" + number(figure.value, isCount(figure) ? 0 : 4) +
                "</td><td>" + escaped(figure.unit) + "</td>";
        if (figure.hasTruth)
            html += "<td class=\"n\">" + number(figure.truth, 4) + "</td><td class=\"n\">" +
                    number(figure.value - figure.truth, 4) + "</td>";
        else if (truths)
            html += "<td></td><td></td>";
        html += "</tr>";
    }
    return html + "</table>";
}

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

// The page's head and style, shared by the report and the comparison.
std::string pageHead(const std::string& title)
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + escaped(title) + "</title>"
        "<style>body{font:14px/1.4 sans-serif;margin:24px;color:#222;max-width:1000px}"
        "h1{font-size:22px}h2{font-size:17px;margin:28px 0 6px;border-bottom:1px solid #ccd}"
        "table{border-collapse:collapse;margin:6px 0}td,th{border:1px solid #dde;padding:2px 8px;text-align:left}"
        "td.n{text-align:right;font-family:monospace}.charts{display:flex;gap:12px;flex-wrap:wrap}"
        ".cut{color:#b00}.note{color:#555}caption{text-align:left;font-weight:bold;padding:4px 0}"
        "table.compact td,table.compact th{padding:1px 6px;font-size:13px}tr.best td{background:#eaf6e6}"
        "#findings ul{list-style:none;padding:0;margin:6px 0}#findings li{margin:4px 0}"
        ".mark{display:inline-block;padding:0 6px;border-radius:3px;font-size:12px;font-weight:bold}"
        ".mark.fine{background:#d5efd9;color:#1c6b2e}.mark.worth{background:#fde7ad;color:#7a5000}"
        ".mark.bad{background:#f8d0cc;color:#a3231a}.chart .tick,.chart .axis{fill:#555}"
        ".only{color:#7a5000;font-style:italic}.a{color:#3355aa}.b{color:#c2185b}</style></head><body>\n";
}


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

std::vector<Bucket> decimate(const std::vector<double>& values, size_t width)
{
    std::vector<Bucket> buckets;
    if (values.empty() || width == 0)
        return buckets;
    const size_t count = std::min(width, values.size());
    buckets.reserve(count);
    for (size_t b = 0; b < count; ++b) {
        const size_t from = b * values.size() / count;
        const size_t to = (b + 1) * values.size() / count;
        Bucket bucket = {values[from], values[from]};
        for (size_t i = from + 1; i < to; ++i) {
            bucket.low = std::min(bucket.low, values[i]);
            bucket.high = std::max(bucket.high, values[i]);
        }
        buckets.push_back(bucket);
    }
    return buckets;
}

std::string reportHtml(const ReportSummary& summary)
{
    std::string html = pageHead("kelvaro report");
    html += "<h1>kelvaro report</h1>\n" + findingsBlock(summary) + "<table>";
    html += "<tr><th>build</th><td>" + escaped(summary.build) + "</td></tr>";
    html += "<tr><th>Windows</th><td>" + escaped(summary.windows) + "</td></tr>";
    html += "<tr><th>counter</th><td>" + std::to_string(summary.frequency) + " Hz</td></tr>";
    if (summary.hasProfile)
        html += "<tr><th>virtual display</th><td>" + escaped(summary.profile) + "</td></tr>";
    html += "</table>\n";
    if (!summary.ended)
        html += "<p class=\"cut\">The log ends before the tool said it exits: it was cut.</p>\n";
    int chart = 0;
    for (const TestSummary& test : summary.tests) {
        html += "<section id=\"" + sectionId(test.key) + "\"><h2>" + escaped(test.title) + (test.label.empty() ? "" : " " + escaped(test.label)) + "</h2>\n";
        if (test.cut)
            html += "<p class=\"cut\">Cut: the log ends inside this test.</p>";
        if (test.rows > 0)
            html += "<p>" + std::to_string(test.rows) + " rows" +
                    (test.unreadable.empty() ? "" : ", " + std::to_string(test.unreadable.size()) + " unreadable") + "</p>";
        const std::vector<Figure> figures = shownFigures(summary, test);
        if (!figures.empty())
            html += figuresTable(figures);
        for (const std::string& note : test.notes)
            html += "<p class=\"note\">" + escaped(note) + "</p>";
        if (!test.table.columns.empty()) {
            // The periods in frames take the place of the histogram of the period series (the
            // one the reference gives a period for); beside the charts when there is none.
            const std::vector<Series> series = shownCharts(summary, test);
            const std::vector<size_t>& bins = shownFrameBins(summary, test);
            size_t periods = series.size();
            for (size_t i = 0; i < series.size() && !bins.empty(); ++i) {
                if (series[i].hasReference && series[i].reference > 0.0) {
                    periods = i;
                    break;
                }
            }
            html += "<div class=\"charts\">";
            for (size_t i = 0; i < series.size(); ++i) {
                html += timeSeries(series[i], "chart" + std::to_string(chart++));
                html += i == periods ? frameHistogram(bins, "chart" + std::to_string(chart++))
                                     : histogram(series[i], "chart" + std::to_string(chart++));
            }
            if (!bins.empty() && periods == series.size())
                html += frameHistogram(bins, "chart" + std::to_string(chart++));
            html += "</div>";
        }
        html += "</section>\n";
    }
    html += "</body></html>\n";
    return html;
}

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

// A value with that many decimals, as printf writes it; beyond what fixedDigits takes, through
// std::to_chars into `buffer`.
static void appendFixed(std::string* out, double value, int decimals, char* buffer, size_t size)
{
    char digits[40];
    if (const char* begin = fixedDigits(value, decimals, digits + sizeof digits)) {
        out->append(begin, static_cast<size_t>(digits + sizeof digits - begin));
        return;
    }
    const std::to_chars_result made = std::to_chars(buffer, buffer + size, value, std::chars_format::fixed, decimals);
    if (made.ec == std::errc())
        out->append(buffer, made.ptr);
}

bool writeReportCsv(const ReportSummary& summary, const std::string& folder,
                    std::vector<std::string>* written, std::string* why)
{
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        *why = "cannot make the folder " + folder + ": " + error.message();
        return false;
    }
    int place = 0;
    for (const TestSummary& test : summary.tests) {
        ++place;
        const RunTable& table = test.table;
        if (table.columns.empty())
            continue;
        char name[16];
        std::snprintf(name, sizeof name, "%02d-", place);
        const std::string path = (std::filesystem::path(folder) / (name + test.key + ".csv")).string();
        std::ofstream out(path, std::ios::binary);
        if (!out) {
            *why = "cannot write " + path;
            return false;
        }
        std::string csv = "line";
        for (const std::string& n : table.columns)
            csv += "," + csvField(n);
        csv += "\n";
        char value[400];
        // Written a piece at a time: a whole 10 MiB table in one string would be grown and
        // copied over and over.
        constexpr size_t kPiece = 1 << 20;
        csv.reserve(kPiece + 4096);
        for (const LogRow& row : table.rows) {
            appendFixed(&csv, static_cast<double>(row.line), 0, value, sizeof value);
            for (size_t i = 0; i < row.values.size(); ++i) {
                csv += ',';
                appendFixed(&csv, row.values[i], i < table.decimals.size() ? table.decimals[i] : 6, value, sizeof value);
            }
            csv += '\n';
            if (csv.size() >= kPiece) {
                out.write(csv.data(), static_cast<std::streamsize>(csv.size()));
                csv.clear();
            }
        }
        out.write(csv.data(), static_cast<std::streamsize>(csv.size()));
        if (!out) {
            *why = "cannot write " + path;
            return false;
        }
        written->push_back(path);
    }
    return true;
}

static nlohmann::ordered_json summaryJson(const ReportSummary& summary, nlohmann::ordered_json json)
{
    json["tool"] = "kelvaro-report";
    json["format"] = 1;
    json["machine"] = {{"build", summary.build}, {"windows", summary.windows}, {"counterFrequency", summary.frequency}};
    json["virtualDisplay"] = summary.hasProfile ? nlohmann::ordered_json(summary.profile) : nlohmann::ordered_json();
    json["complete"] = summary.ended;
    addFindingsJson(summary.findings, &json);
    nlohmann::ordered_json tests = nlohmann::ordered_json::array();
    for (const TestSummary& test : summary.tests) {
        nlohmann::ordered_json entry;
        entry["key"] = test.key;
        entry["title"] = test.title;
        if (!test.label.empty())
            entry["output"] = test.label;
        entry["cut"] = test.cut;
        entry["rows"] = test.rows;
        entry["unreadableLines"] = test.unreadable;
        nlohmann::ordered_json figures = nlohmann::ordered_json::object();
        for (const Figure& figure : shownFigures(summary, test)) {
            nlohmann::ordered_json f = {{"value", figure.value}, {"unit", figure.unit}, {"label", figure.label}};
            if (figure.hasTruth) {
                f["true"] = figure.truth;
                f["error"] = figure.value - figure.truth;
            }
            figures[figure.key] = f;
        }
        entry["figures"] = figures;
        if (!shownFrameBins(summary, test).empty())
            entry["frame_bins"] = shownFrameBins(summary, test);
        entry["notes"] = test.notes;
        tests.push_back(entry);
    }
    json["tests"] = tests;
    return json;
}

// Invalid bytes from the log (it is 8-bit text) are replaced, never refused.
std::string reportJson(const ReportSummary& summary)
{
    return summaryJson(summary, nlohmann::ordered_json::object())
               .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
           "\n";
}

std::string reportJsonLine(const ReportSummary& summary, const std::string& file)
{
    return summaryJson(summary, {{"file", file}}).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
           "\n";
}
