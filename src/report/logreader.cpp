#include "report/logreader.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

namespace {

constexpr int kTabStop = 12;
constexpr const char* kBannerTitle = "========== Startup ==========";

FieldFormat whole() { return {true, 0}; }
FieldFormat fixed(int decimals) { return {false, decimals}; }

// Lines of other causes than the test under way: the server's, the binder's, the virtual
// display's and the window's; they may stand anywhere.
bool isSystemLine(std::string_view line)
{
    // Rows, the bulk of a log, begin with a digit: none of these does.
    if (!line.empty() && line[0] >= '0' && line[0] <= '9')
        return false;
    for (const char* prefix : {"...fnBind(", "vsync.", "+vsync", "-vsync", "VSYNC INFO:", "virtual.display ",
                               "WM_DESTROY", "Exiting...", "+runAllTests()", "-runAllTests()",
                               "+mouseslide", "-mouseslide", "IDM_SETTINGS_REPAINTONMOUSEMOVE"}) {
        if (startsWith(line, prefix))
            return true;
    }
    return false;
}

// A title frame starting at line i: "", a rule, "=== title ===", the rule, "".
bool titleAt(const std::vector<std::string_view>& lines, size_t i, std::string* title)
{
    if (i + 4 >= lines.size() || !lines[i].empty() || !lines[i + 4].empty())
        return false;
    const std::string_view framed = lines[i + 2];
    if (framed.size() < 8 || !startsWith(framed, "=== ") ||
        framed.compare(framed.size() - 4, 4, " ===") != 0)
        return false;
    const std::string_view rule = lines[i + 1];
    if (rule.empty() || rule != lines[i + 3] || rule.find_first_not_of('=') != std::string_view::npos)
        return false;
    *title = framed.substr(4, framed.size() - 8);
    const size_t expected = title->size() + 8 > 100 ? 100 : title->size() + 8;
    return rule.size() == expected;
}

std::vector<LogColumn> columnsOf(const TestSchema& schema)
{
    std::vector<LogColumn> columns;
    for (int c = 0; c < schema.columnCount; ++c) {
        const SchemaColumn& column = schema.columns[c];
        LogColumn read;
        read.key = column.key;
        read.name = column.name;
        read.unit = column.unit;
        read.text = read.unit.empty() ? read.name : read.name + "/" + read.unit;
        columns.push_back(read);
    }
    return columns;
}

bool isDigit(char c)
{
    return static_cast<unsigned char>(c - '0') < 10;
}

// The value of a field's text from `begin` to `end`, read as `count` digits over 10^decimals. Up
// to 15 digits, as the tool's fields are, the digits as a whole number over a power of ten, both
// exact in a double, so their quotient is the double nearest the text, as strtod gives it, and
// much faster. Longer ones go through std::from_chars; NaN for hundreds of digits, out of a
// double's range: no row of the tool's, and no figure could use it.
double fieldValue(const char* begin, const char* end, bool negative, uint64_t digits, ptrdiff_t count, int decimals)
{
    if (count <= 15) {
        const double whole = static_cast<double>(static_cast<int64_t>(digits)) / kPowersOfTen[decimals];
        return negative ? -whole : whole;
    }
    double value = 0.0;
    const std::from_chars_result read = std::from_chars(begin, end, value);
    if (read.ec != std::errc() || read.ptr != end || !std::isfinite(value))
        return std::numeric_limits<double>::quiet_NaN();
    return value;
}

// A field of the format from `begin` on, no further than `end`: an optional '-', digits, and for
// a fixed format '.' and its decimals, each read as far as it goes. Gives where the field's
// text stops, or nullptr when no field of the format starts there; its value in *value.
const char* readField(const char* begin, const char* end, const FieldFormat& format, double* value)
{
    const char* at = begin;
    const bool negative = at < end && *at == '-';
    at += negative ? 1 : 0;
    // Wraps past 19 digits, unused then.
    uint64_t digits = 0;
    const char* const first = at;
    for (; at < end && isDigit(*at); ++at)
        digits = digits * 10 + static_cast<unsigned char>(*at - '0');
    if (at == first)
        return nullptr;
    ptrdiff_t count = at - first;
    int decimals = 0;
    if (!format.integer && format.decimals != 0) {
        if (at == end || *at != '.')
            return nullptr;
        const char* const fraction = ++at;
        for (; at < end && isDigit(*at); ++at)
            digits = digits * 10 + static_cast<unsigned char>(*at - '0');
        if (at - fraction != format.decimals)
            return nullptr;
        count += at - fraction;
        decimals = format.decimals;
    }
    *value = fieldValue(begin, at, negative, digits, count, decimals);
    return at;
}

// Where the field after one ending at the end of a run of characters starts: the line's end
// when only blanks follow, npos when the blanks do not reach the next tab stop exactly (none
// when the field ended on one: its tab went).
size_t nextField(std::string_view line, size_t end)
{
    const size_t text = line.find_first_not_of(' ', end);
    if (text == std::string_view::npos)
        return line.size();
    const size_t stop = end % kTabStop == 0 ? end : (end / kTabStop + 1) * kTabStop;
    return text == stop ? text : std::string_view::npos;
}

// The readings of a row whose fields may have run together, counted up to two: fields start on
// tab stops; a field runs to the next blank, or to a tab stop inside a run of characters (the
// field before it was exactly 12 wide and its tab went); blanks after a field reach the next
// tab stop, or the line's end. What follows a field on a tab stop depends only on which field
// it is and where, so each such pair is counted once, with the end of the first reading found
// from it: the work grows with fields times tab stops, however many ways a row might split.
class RowReadings {
public:
    RowReadings(std::string_view line, const std::vector<FieldFormat>& format)
        : line_(line), format_(format), stops_(line.size() / kTabStop + 1)
    {
        const size_t states = format.size() * stops_;
        if (states <= kInline) {
            memo_ = inline_;
        } else {
            heap_.resize(states);
            memo_ = heap_.data();
        }
        for (size_t i = 0; i < states; ++i)
            memo_[i].count = -1;
    }

    // Readings of the fields from `field` on, the first starting at `at`: 0, 1 or 2 (several).
    int count(size_t field, size_t at)
    {
        const size_t length = line_.size();
        if (field == format_.size())
            return line_.find_first_not_of(' ', at) == std::string_view::npos ? 1 : 0;
        if (at >= length || line_[at] == ' ' || at % kTabStop != 0)
            return 0;
        State& state = memo_[field * stops_ + at / kTabStop];
        if (state.count >= 0)
            return state.count;
        size_t token = line_.find(' ', at);
        if (token == std::string_view::npos)
            token = length;
        const char* const data = line_.data();
        int total = 0;
        // Ends inside the run lie on tab stops only; then the run's own end.
        for (size_t end = at + kTabStop; total < 2; end += kTabStop) {
            const bool inside = end < token;
            if (!inside)
                end = token;
            double value = 0.0;
            if (readField(data + at, data + end, format_[field], &value) == data + end) {
                const size_t next = inside ? end : nextField(line_, end);
                if (next != std::string_view::npos) {
                    const int more = count(field + 1, next);
                    if (more > 0 && total == 0)
                        state.end = end;
                    total += more;
                }
            }
            if (!inside)
                break;
        }
        state.count = static_cast<signed char>(total > 2 ? 2 : total);
        return state.count;
    }

    // The end of the field starting at `at` in the first reading counted from there.
    size_t endOf(size_t field, size_t at) const { return memo_[field * stops_ + at / kTabStop].end; }

private:
    struct State {
        size_t end;
        signed char count;   // -1: not counted yet
    };
    static constexpr size_t kInline = 256;   // a row of the tool's: up to 21 stops of 12 fields

    std::string_view line_;
    const std::vector<FieldFormat>& format_;
    size_t stops_;
    State* memo_;
    State inline_[kInline];
    std::vector<State> heap_;
};

enum class Walk { Read, None, Several };

// Follows a row's reading while each field has one end only, as nearly every row's fields do:
// a field with decimals ends where its decimals do, a whole number at the end of its run of
// digits unless a tab stop lies inside that run. Read: the row's only reading, in *values;
// None: the row has no reading; Several: a field that may end in more than one place, or does
// not fit a double, left to the full count.
Walk forcedReading(std::string_view line, const std::vector<FieldFormat>& format, std::vector<double>* values)
{
    const char* const data = line.data();
    const char* const lineEnd = data + line.size();
    size_t at = 0;
    for (const FieldFormat& field : format) {
        // Read as readField reads it, in the same pass that finds where the field ends.
        const char* p = data + at;
        const bool negative = p < lineEnd && *p == '-';
        p += negative ? 1 : 0;
        const char* const first = p;
        uint64_t digits = 0;
        for (; p < lineEnd && isDigit(*p); ++p)
            digits = digits * 10 + static_cast<unsigned char>(*p - '0');
        if (p == first)
            return Walk::None;
        const ptrdiff_t wholeDigits = p - first;
        const size_t run = static_cast<size_t>(p - data);
        size_t end = 0, next = 0;
        double value = 0.0;
        if (field.integer || field.decimals == 0) {
            // It may stop on a tab stop within the run (before the run's end, when a blank or the
            // line's end follows it) or at the run's end.
            const bool runEnds = p == lineEnd || *p == ' ';
            const size_t stopsInside = ((runEnds ? run - 1 : run) - at) / kTabStop;
            const size_t after = runEnds ? nextField(line, run) : std::string_view::npos;
            const size_t ends = stopsInside + (after != std::string_view::npos ? 1 : 0);
            if (ends != 1)
                return ends == 0 ? Walk::None : Walk::Several;
            if (stopsInside == 1) {
                end = next = at + kTabStop;
                readField(data + at, data + end, field, &value);
            } else {
                end = run;
                next = after;
                value = fieldValue(data + at, p, negative, digits, wholeDigits, 0);
            }
        } else {
            if (field.decimals < 0)
                return Walk::Several;
            if (p == lineEnd || *p != '.' || lineEnd - p - 1 < field.decimals)
                return Walk::None;
            const char* const stop = ++p + field.decimals;
            for (; p < stop; ++p) {
                if (!isDigit(*p))
                    return Walk::None;
                digits = digits * 10 + static_cast<unsigned char>(*p - '0');
            }
            end = static_cast<size_t>(stop - data);
            if (stop < lineEnd && *stop != ' ') {
                // Run together with the next field: only on a tab stop.
                if (end % kTabStop != 0)
                    return Walk::None;
                next = end;
            } else {
                next = nextField(line, end);
                if (next == std::string_view::npos)
                    return Walk::None;
            }
            value = fieldValue(data + at, stop, negative, digits, wholeDigits + field.decimals, field.decimals);
        }
        if (std::isnan(value))
            return Walk::Several;
        values->push_back(value);
        at = next;
    }
    return at == line.size() ? Walk::Read : Walk::None;
}

// The row formats, from the tests' own schema of the log.
const std::vector<TestFormat>& formats()
{
    static const std::vector<TestFormat> all = [] {
        std::vector<TestFormat> built;
        for (int t = 0; t < kLogTestCount; ++t) {
            const TestSchema& schema = testSchema(static_cast<LogTest>(t));
            TestFormat format{schema.title, schema.header, {}, &schema};
            for (int c = 0; c < schema.columnCount; ++c) {
                const SchemaColumn& column = schema.columns[c];
                format.fields.push_back(column.kind == FieldKind::Fixed ? fixed(column.decimals) : whole());
            }
            built.push_back(format);
        }
        return built;
    }();
    return all;
}

int64_t numberAfter(const std::string& line, const char* prefix)
{
    return std::strtoll(line.c_str() + std::strlen(prefix), nullptr, 10);
}

}   // namespace

std::string expandedLine(const std::string& withTabs)
{
    std::string out;
    for (const char c : withTabs) {
        if (c == '\t') {
            while (out.size() % kTabStop != 0)
                out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

const std::vector<TestFormat>& testFormats()
{
    return formats();
}

const TestFormat* findTestFormat(const std::string& title)
{
    // The formats stand in the schema's order of tests.
    const TestSchema* schema = findTestSchema(title.c_str());
    return schema != nullptr ? &formats()[static_cast<size_t>(schema->test)] : nullptr;
}

bool splitLogRow(std::string_view line, const std::vector<FieldFormat>& format,
                 std::vector<double>* values)
{
    if (format.empty())
        return false;
    values->clear();
    values->reserve(format.size());
    // Nearly every row, plain or run together, has one end per field; whole numbers with a tab
    // stop inside them are left to the reading below, the rest to the full count.
    const Walk walk = forcedReading(line, format, values);
    if (walk == Walk::Read)
        return true;
    values->clear();
    if (walk == Walk::None)
        return false;
    // Most rows: one blank-separated field per column, each on its tab stop, each followed by
    // blanks to the next stop. Then no other reading exists (a field never spans blanks, so
    // each piece holds one field at least, and there are as many pieces as fields).
    {
        const char* const data = line.data();
        const size_t length = line.size();
        size_t at = 0, field = 0;
        bool plain = true;
        while (plain && at < length && field < format.size()) {
            // The field, read as far as it goes: blanks to the next tab stop, or to the line's
            // end, must follow it.
            double value = 0.0;
            const char* const stop = at % kTabStop == 0 ? readField(data + at, data + length, format[field], &value) : nullptr;
            const size_t end = stop != nullptr ? static_cast<size_t>(stop - data) : at;
            size_t next = end;
            while (next < length && data[next] == ' ')
                ++next;
            const bool last = next == length;
            plain = stop != nullptr && !std::isnan(value) &&
                    (last || (end % kTabStop != 0 && next == (end / kTabStop + 1) * kTabStop));
            values->push_back(value);
            ++field;
            at = next;
        }
        if (plain && field == format.size() && at == length)
            return true;
        values->clear();
    }
    RowReadings readings(line, format);
    if (readings.count(0, 0) != 1)
        return false;
    size_t at = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        const size_t end = readings.endOf(i, at);
        double value = 0.0;
        readField(line.data() + at, line.data() + end, format[i], &value);
        if (std::isnan(value))
            return false;
        values->push_back(value);
        at = line.find_first_not_of(' ', end);
        if (at == std::string_view::npos)
            at = line.size();
    }
    return true;
}

bool readKelvaroLog(std::string_view text, KelvaroLog* log, std::string* problem)
{
    *log = KelvaroLog();
    // Lines end in CR LF; a bare LF (a copy whose line ends were changed) is taken too. The
    // last piece counts only when its line end is there: a cut log may stop inside a line.
    // Views into the text: the log's lines are never copied but where they are kept.
    std::vector<std::string_view> lines;
    lines.reserve(text.size() / 64 + 16);
    bool cutInsideALine = false;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            cutInsideALine = true;
            break;
        }
        size_t stop = end;
        if (stop > at && text[stop - 1] == '\r')
            --stop;
        lines.emplace_back(text.data() + at, stop - at);
        at = end + 1;
    }
    if (lines.empty() || lines[0] != kBannerTitle) {
        *problem = std::string("not a kelvaro log: expected its first line to be '") + kBannerTitle +
                   "' (the banner of kelvaro's log or report file)";
        return false;
    }
    log->lines = lines.size();
    const auto bannerLine = [&](size_t i) { return i < lines.size() ? std::string(lines[i]) : std::string(); };
    if (startsWith(bannerLine(1), "kelvaro.exe build: "))
        log->build = bannerLine(1).substr(std::strlen("kelvaro.exe build: "));
    log->startedAt = bannerLine(2);
    log->windows = bannerLine(3);
    if (startsWith(bannerLine(4), "QueryPerformanceFrequency="))
        log->frequency = numberAfter(bannerLine(4), "QueryPerformanceFrequency=");
    if (startsWith(bannerLine(5), "QueryPerformanceCounter="))
        log->counterAtStart = numberAfter(bannerLine(5), "QueryPerformanceCounter=");

    LogSection* section = nullptr;
    const TestFormat* format = nullptr;
    std::string expandedHeader;
    for (size_t i = 6; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        std::string title;
        if (titleAt(lines, i, &title)) {
            log->sections.emplace_back();
            section = &log->sections.back();
            section->title = title;
            section->titleLine = i + 3;
            section->blocks.emplace_back();
            format = findTestFormat(title);
            section->known = format != nullptr;
            section->schema = format != nullptr ? format->schema : nullptr;
            expandedHeader = format != nullptr && format->header != nullptr ? expandedLine(format->header) : "";
            i += 4;
            continue;
        }
        if (isSystemLine(line)) {
            log->systemLines.push_back({i + 1, std::string(line)});
            if (line == "Exiting...")
                log->ended = true;
            if (startsWith(line, "virtual.display profile ")) {
                std::string why;
                log->hasProfile = virtualProfileReadLine(std::string(line), &log->profile, &log->profileFrequency,
                                                         &log->vblank0, &why);
            } else if (startsWith(line, "virtual.display refused ")) {
                log->refusedProfile = std::string(line);
            }
            continue;
        }
        if (section == nullptr) {
            if (!line.empty())
                log->systemLines.push_back({i + 1, std::string(line)});
            continue;
        }
        LogBlock* block = &section->blocks.back();
        if (format != nullptr && (format->schema->test == LogTest::D3dkmt || format->schema->test == LogTest::Dxgi) &&
            startsWith(line, "--> ")) {
            // Each output's block of the driver's and DXGI's waits begins with its device line.
            if (!block->label.empty() || block->headerLine != 0 || !block->rows.empty())
                section->blocks.emplace_back();
            section->blocks.back().label = std::string(line);
            continue;
        }
        if (!expandedHeader.empty() && line == expandedHeader) {
            if (block->headerLine != 0) {
                section->blocks.emplace_back();
                block = &section->blocks.back();
            }
            block->headerLine = i + 1;
            block->columns = columnsOf(*format->schema);
            continue;
        }
        if (line.empty())
            continue;
        if (block->headerLine != 0) {
            std::vector<double> values;
            if (splitLogRow(line, format->fields, &values)) {
                block->rows.push_back({i + 1, std::move(values)});
                continue;
            }
            const char first = line[0];
            if ((first >= '0' && first <= '9') || (first == '-' && line.size() > 1 && line[1] >= '0' && line[1] <= '9')) {
                block->unreadable.push_back(i + 1);
                continue;
            }
        }
        block->lines.push_back({i + 1, std::string(line)});
    }
    // A log that stops before the tool said it exits was cut inside its last section.
    if ((!log->ended || cutInsideALine) && !log->sections.empty())
        log->sections.back().cut = true;
    return true;
}

bool startsWith(std::string_view text, const char* prefix)
{
    const size_t length = std::strlen(prefix);
    return text.size() >= length && std::memcmp(text.data(), prefix, length) == 0;
}

int columnIndex(const LogBlock& block, const char* key)
{
    for (size_t c = 0; c < block.columns.size(); ++c) {
        if (block.columns[c].key == key)
            return static_cast<int>(c);
    }
    return -1;
}

std::vector<double> columnValues(const LogBlock& block, const char* key)
{
    std::vector<double> values;
    const int c = columnIndex(block, key);
    if (c < 0)
        return values;
    values.reserve(block.rows.size());
    for (const LogRow& row : block.rows) {
        if (static_cast<size_t>(c) < row.values.size())
            values.push_back(row.values[static_cast<size_t>(c)]);
    }
    return values;
}
