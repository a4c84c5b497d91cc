// The SVG charts of the pages, and numbers written as printf writes them.
#include "report/page_parts.h"

#include "report/outputs.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace pageparts {

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

std::string number(double value, int decimals)
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




Ticks niceTicks(double low, double high, int wanted, double finest)
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
std::string yAxis(const Scale& y, int left, int right, const std::string& name, int wanted, double finest)
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
std::string xAxis(const Scale& x, int right, const std::string& name, int wanted, double finest, int bottomAt)
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
    const std::string bottom = std::to_string(bottomAt), tickEnd = std::to_string(bottomAt + 4);
    std::string svg;
    svg.reserve(350 * ticks.values.size() + 300 + name.size());
    appendAll(svg, "<line x1=\"", Fixed{x.from}, "\" x2=\"", std::to_string(right), "\" y1=\"", bottom, "\" y2=\"", bottom,
              "\" stroke=\"#888\"/>");
    for (const double v : ticks.values) {
        const std::string at = number(x(v), 1), label = tickLabel(v, ticks.step);
        appendAll(svg, "<line x1=\"", at, "\" x2=\"", at, "\" y1=\"", bottom, "\" y2=\"", tickEnd, "\" stroke=\"#888\"/>");
        const double middle = std::min(x(v), right + 6.0 - kDigit * static_cast<double>(label.size()) / 2);
        svg += chartText(middle, bottomAt + 14, label, "class=\"tick\" text-anchor=\"middle\"");
    }
    svg += chartText(right, bottomAt + kChartHeight - kPlotBottom - 8, name, "class=\"axis\" text-anchor=\"end\"");
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
std::string chartFrame(const std::string& id, int width, int height)
{
    const std::string w = std::to_string(width), h = std::to_string(height);
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

}   // namespace pageparts

using namespace pageparts;

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

