#include "report/outputs.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

constexpr int kChartWidth = 640;
constexpr int kChartHeight = 180;
constexpr int kHistogramWidth = 300;
constexpr int kMargin = 44;   // room for the axis labels on the left
constexpr int kBins = 40;

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

std::string number(double value, int decimals = 3)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The chart's vertical range: the values' own, widened a little, never empty; with a truth,
// the truth inside it.
void rangeOf(const Series& series, double* low, double* high)
{
    *low = *std::min_element(series.values.begin(), series.values.end());
    *high = *std::max_element(series.values.begin(), series.values.end());
    if (series.hasTruth) {
        *low = std::min(*low, series.truth);
        *high = std::max(*high, series.truth);
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
    const auto y = [&](double v) { return 8.0 + (kChartHeight - 24.0) * (high - v) / (high - low); };
    const auto x = [&](double i) {
        return kMargin + (buckets.size() > 1 ? i * plotWidth / static_cast<double>(buckets.size() - 1) : 0.0);
    };
    std::string svg = chartFrame(id, kChartWidth);
    if (series.windowTo > series.windowFrom) {
        const double scale = static_cast<double>(buckets.size()) / static_cast<double>(series.values.size());
        const double from = x((series.windowFrom - 1) * scale), to = x((series.windowTo - 1) * scale);
        svg += "<rect x=\"" + number(from, 1) + "\" y=\"8\" width=\"" + number(std::max(1.0, to - from), 1) +
               "\" height=\"" + std::to_string(kChartHeight - 24) + "\" fill=\"#ffe9b3\"/>";
        svg += "<text x=\"" + number(from + 3, 1) + "\" y=\"20\" font-size=\"10\" fill=\"#996600\">vsync mode</text>";
    }
    if (series.hasTruth) {
        svg += "<line x1=\"" + std::to_string(kMargin) + "\" x2=\"" + std::to_string(kChartWidth - 8) + "\" y1=\"" +
               number(y(series.truth), 1) + "\" y2=\"" + number(y(series.truth), 1) +
               "\" stroke=\"#2a9d4a\" stroke-dasharray=\"4 3\"/>";
        svg += "<text x=\"" + std::to_string(kChartWidth - 120) + "\" y=\"" + number(y(series.truth) - 3, 1) +
               "\" font-size=\"10\" fill=\"#2a9d4a\">true " + number(series.truth, 6) + "</text>";
    }
    // Each bucket as a stroke from its minimum to its maximum, joined in order.
    std::string points;
    for (size_t i = 0; i < buckets.size(); ++i) {
        points += number(x(static_cast<double>(i)), 1) + "," + number(y(buckets[i].low), 1) + " ";
        if (buckets[i].high != buckets[i].low)
            points += number(x(static_cast<double>(i)), 1) + "," + number(y(buckets[i].high), 1) + " ";
    }
    svg += "<polyline fill=\"none\" stroke=\"#3355aa\" stroke-width=\"1\" points=\"" + points + "\"/>";
    svg += "<text x=\"2\" y=\"14\" font-size=\"10\">" + number(high, 3) + "</text>";
    svg += "<text x=\"2\" y=\"" + std::to_string(kChartHeight - 18) + "\" font-size=\"10\">" + number(low, 3) + "</text>";
    svg += "<text x=\"" + std::to_string(kMargin) + "\" y=\"" + std::to_string(kChartHeight - 4) +
           "\" font-size=\"10\">" + escaped(series.name) + " by row, " + std::to_string(series.values.size()) +
           " rows</text>";
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
    const double width = (kHistogramWidth - 16.0) / kBins;
    for (int b = 0; b < kBins; ++b) {
        if (bins[static_cast<size_t>(b)] == 0)
            continue;
        const double h = (kChartHeight - 30.0) * bins[static_cast<size_t>(b)] / most;
        svg += "<rect x=\"" + number(8 + b * width, 1) + "\" y=\"" + number(kChartHeight - 22.0 - h, 1) +
               "\" width=\"" + number(std::max(1.0, width - 1.0), 1) + "\" height=\"" + number(h, 1) +
               "\" fill=\"#7a8fd1\"/>";
    }
    svg += "<text x=\"8\" y=\"" + std::to_string(kChartHeight - 8) + "\" font-size=\"10\">" + number(low, 3) +
           "</text><text x=\"" + std::to_string(kHistogramWidth - 60) + "\" y=\"" + std::to_string(kChartHeight - 8) +
           "\" font-size=\"10\">" + number(high, 3) + "</text>";
    svg += "<text x=\"8\" y=\"14\" font-size=\"10\">" + escaped(series.name) + "</text></svg>";
    return svg;
}

std::string figuresTable(const TestSummary& test)
{
    // The true value and the error, where the log names the virtual display's profile.
    const bool truths = std::any_of(test.figures.begin(), test.figures.end(),
                                    [](const Figure& f) { return f.hasTruth; });
    std::string html = "<table><tr><th>figure</th><th>measured</th><th>unit</th>";
    html += truths ? "<th>true</th><th>error</th></tr>" : "</tr>";
    for (const Figure& figure : test.figures) {
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

}   // namespace

bool readLogFile(const std::string& path, std::string* text, std::string* problem)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        *problem = path + " is a folder: expected the path of a log file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *problem = "cannot read " + path;
        return false;
    }
    text->clear();
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size < (std::uintmax_t{1} << 31))
        text->reserve(static_cast<size_t>(size));
    std::vector<char> chunk(1 << 16);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0)
        text->append(chunk.data(), static_cast<size_t>(in.gcount()));
    if (in.bad()) {
        *problem = "cannot read " + path;
        return false;
    }
    return true;
}

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
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>kelvaro report</title>"
        "<style>body{font:14px/1.4 sans-serif;margin:24px;color:#222;max-width:1000px}"
        "h1{font-size:22px}h2{font-size:17px;margin:28px 0 6px;border-bottom:1px solid #ccd}"
        "table{border-collapse:collapse;margin:6px 0}td,th{border:1px solid #dde;padding:2px 8px;text-align:left}"
        "td.n{text-align:right;font-family:monospace}.charts{display:flex;gap:12px;flex-wrap:wrap}"
        ".cut{color:#b00}.note{color:#555}</style></head><body>\n";
    html += "<h1>kelvaro report</h1>\n<table>";
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
        html += "<section><h2>" + escaped(test.title) + (test.label.empty() ? "" : " " + escaped(test.label)) + "</h2>\n";
        if (test.cut)
            html += "<p class=\"cut\">Cut: the log ends inside this test.</p>";
        if (test.rows > 0)
            html += "<p>" + std::to_string(test.rows) + " rows" +
                    (test.unreadable.empty() ? "" : ", " + std::to_string(test.unreadable.size()) + " unreadable") + "</p>";
        if (!test.figures.empty())
            html += figuresTable(test);
        for (const std::string& note : test.notes)
            html += "<p class=\"note\">" + escaped(note) + "</p>";
        if (!test.table.columns.empty()) {
            html += "<div class=\"charts\">";
            for (const Series& series : test.series) {
                html += timeSeries(series, "chart" + std::to_string(chart++));
                html += histogram(series, "chart" + std::to_string(chart++));
            }
            html += "</div>";
        }
        html += "</section>\n";
    }
    html += "</body></html>\n";
    return html;
}

// A value read from a field with that many decimals, as the field held it. Such a value is
// within a rounding of a whole number of its last digit, so that number, rounded, gives the
// field's digits back exactly, much faster than printf; beyond 15 digits std::to_chars.
static void appendFixed(std::string* out, double value, int decimals, char* buffer, size_t size)
{
    const double scaled = decimals >= 0 && decimals <= 15 ? value * kPowersOfTen[decimals] : 1e300;
    if (std::abs(scaled) < 1e15) {
        const long long units = std::llround(scaled);
        unsigned long long magnitude = units < 0 ? 0ULL - static_cast<unsigned long long>(units)
                                                 : static_cast<unsigned long long>(units);
        // The digits from the last, the point after `decimals` of them, at least one before it.
        char digits[40];
        char* at = digits + sizeof digits;
        int written = 0;
        do {
            if (decimals > 0 && written == decimals)
                *--at = '.';
            *--at = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
            ++written;
        } while (magnitude != 0 || written <= decimals);
        // A negative value keeps its sign even when it rounds to zero, as printf writes it.
        if (units < 0 || (units == 0 && std::signbit(value)))
            *--at = '-';
        out->append(at, digits + sizeof digits);
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

std::string reportJson(const ReportSummary& summary)
{
    nlohmann::ordered_json json;
    json["tool"] = "kelvaro-report";
    json["format"] = 1;
    json["machine"] = {{"build", summary.build}, {"windows", summary.windows}, {"counterFrequency", summary.frequency}};
    json["virtualDisplay"] = summary.hasProfile ? nlohmann::ordered_json(summary.profile) : nlohmann::ordered_json();
    json["complete"] = summary.ended;
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
        for (const Figure& figure : test.figures) {
            nlohmann::ordered_json f = {{"value", figure.value}, {"unit", figure.unit}, {"label", figure.label}};
            if (figure.hasTruth) {
                f["true"] = figure.truth;
                f["error"] = figure.value - figure.truth;
            }
            figures[figure.key] = f;
        }
        entry["figures"] = figures;
        entry["notes"] = test.notes;
        tests.push_back(entry);
    }
    json["tests"] = tests;
    // Invalid bytes from the log (it is 8-bit text) are replaced, never refused.
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
