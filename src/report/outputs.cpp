#include "report/outputs.h"

#include "report/findings_json.h"
#include "report/page_parts.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string_view>
#include <utility>

namespace {

// A file written from its start without being truncated first, then cut to the length written:
// a file written again (the page or a CSV file of the same log) keeps its blocks, where
// truncating frees them and writing allocates them anew, which costs the file system some ten
// times the writing of a CSV file itself.
class RewrittenFile {
public:
    explicit RewrittenFile(const std::string& path)
        : m_path(path), m_out(path, std::ios::in | std::ios::out | std::ios::binary)
    {
        if (!m_out.is_open())
            m_out.open(path, std::ios::out | std::ios::binary);
    }
    bool good() const { return static_cast<bool>(m_out); }
    void write(const std::string& text) { write(text.data(), text.size()); }
    void write(const char* text, size_t length)
    {
        m_out.write(text, static_cast<std::streamsize>(length));
        m_length += length;
    }
    // Closes the file and cuts off what an earlier, longer file left beyond the new end.
    bool finish()
    {
        m_out.close();
        if (m_out.fail())
            return false;
        std::error_code error;
        std::filesystem::resize_file(m_path, m_length, error);
        return !error;
    }

private:
    std::string m_path;
    std::fstream m_out;
    std::uintmax_t m_length = 0;
};

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

using pageparts::fixedDigits;

// The longest field a value makes: fixedDigits' 40 characters, or std::to_chars' digits of
// the largest double with 15 decimals.
constexpr size_t kFieldRoom = 400;

// A value with that many decimals, as printf writes it, at `to` (with kFieldRoom before the
// end of the buffer); beyond what fixedDigits takes, through std::to_chars. Gives the end.
static char* putFixed(char* to, double value, int decimals)
{
    char digits[40];
    if (const char* begin = fixedDigits(value, decimals, digits + sizeof digits)) {
        const size_t length = static_cast<size_t>(digits + sizeof digits - begin);
        std::memcpy(to, begin, length);
        return to + length;
    }
    const std::to_chars_result made = std::to_chars(to, to + kFieldRoom, value, std::chars_format::fixed, decimals);
    return made.ec == std::errc() ? made.ptr : to;
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
        RewrittenFile out(path);
        if (!out.good()) {
            *why = "cannot write " + path;
            return false;
        }
        std::string csv = "line";
        for (const std::string& n : table.columns)
            csv += "," + csvField(n);
        csv += "\n";
        out.write(csv);
        // The rows go into a buffer written a megabyte at a time, each value put in place: a
        // whole 10 MiB table in one string would be grown and copied over and over.
        constexpr size_t kPiece = 1 << 20;
        std::unique_ptr<char[]> piece;   // not cleared: every byte written is put first
        size_t capacity = 0, used = 0;
        for (const LogRow& row : table.rows) {
            const size_t room = (row.values.size() + 1) * (kFieldRoom + 1) + 1;
            if (used + room > capacity) {
                out.write(piece.get(), used);
                used = 0;
                if (capacity < std::max(room, kPiece)) {
                    capacity = std::max(room, kPiece);
                    piece.reset(new char[capacity]);
                }
            }
            char* at = putFixed(piece.get() + used, static_cast<double>(row.line), 0);
            for (size_t i = 0; i < row.values.size(); ++i) {
                *at++ = ',';
                at = putFixed(at, row.values[i], i < table.decimals.size() ? table.decimals[i] : 6);
            }
            *at++ = '\n';
            used = static_cast<size_t>(at - piece.get());
        }
        out.write(piece.get(), used);
        if (!out.finish()) {
            *why = "cannot write " + path;
            return false;
        }
        written->push_back(path);
    }
    return true;
}

bool writeTextFile(const std::string& path, const std::string& text)
{
    RewrittenFile out(path);
    if (!out.good())
        return false;
    out.write(text);
    return out.finish();
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
        const std::vector<Figure> shown = shownFigures(summary, test);
        // Room for them all at once: an ordered object is a vector that would grow step by step.
        figures.get_ref<nlohmann::ordered_json::object_t&>().reserve(shown.size());
        for (const Figure& figure : shown) {
            nlohmann::ordered_json f = {{"value", figure.value}, {"unit", figure.unit}, {"label", figure.label}};
            if (figure.hasTruth) {
                f["true"] = figure.truth;
                f["error"] = figure.value - figure.truth;
            }
            figures[figure.key] = std::move(f);
        }
        entry["figures"] = std::move(figures);
        const std::vector<size_t>& bins = shownFrameBins(summary, test);
        if (!bins.empty())
            entry["frame_bins"] = bins;
        entry["notes"] = test.notes;
        tests.push_back(std::move(entry));
    }
    json["tests"] = std::move(tests);
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
