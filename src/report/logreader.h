// Reading a kelvaro log (the report file or the standard-output copy: CR LF line ends, tabs
// already expanded to stops of 12 columns) into its banner, the server's and binder's lines,
// the virtual display's profile when it names one, and one section per test: its title, the
// blocks of header and rows it wrote (the D3DKMT and DXGI tests write one per output) and the other
// lines between them. Rows are read by each test's row format: fields that ran together (a
// field of exactly 12 characters swallows the tab after it) are split where the format and the
// tab stops leave one reading only; a row that does not read is counted with its line number,
// never guessed. Plain text processing, no system call.
#pragma once

#include "measure/logschema.h"
#include "virtual/profile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A column of a header row: "period/ms" is period in ms.
struct LogColumn {
    std::string key;    // the schema's: how code finds the column
    std::string name;
    std::string unit;
    std::string text;   // as the header wrote it
};

struct LogRow {
    size_t line;                  // 1-based line number in the log
    std::vector<double> values;   // one per column
};

// A line of the log that is neither a row nor the header: "oa=0", "err -1073741822",
// "******** ON", "XXXXX ...", a measurement line such as "vsyncGetScanLine() runs in 0.2 us".
struct LogLine {
    size_t line;
    std::string text;
};

// One header and the rows under it.
struct LogBlock {
    std::string label;                // the D3DKMT and DXGI tests' "--> ..." line; empty otherwise
    size_t headerLine = 0;            // 0: a test without a header
    std::vector<LogColumn> columns;
    std::vector<LogRow> rows;
    std::vector<size_t> unreadable;   // lines where a row stood that did not read
    std::vector<LogLine> lines;       // the other lines of the block, in order
};

struct LogSection {
    std::string title;
    size_t titleLine = 0;
    std::vector<LogBlock> blocks;     // one at least; the lines before any header are in the first
    bool known = false;               // a test of this tool's
    const TestSchema* schema = nullptr; // its test, when known
    bool cut = false;                 // the log ends inside it
};

struct KelvaroLog {
    std::string build;                // "kelvaro.exe build: ..." without the prefix
    std::string startedAt;            // the banner's local time
    std::string windows;              // "Windows Version ..."
    int64_t frequency = 0;            // QueryPerformanceFrequency
    int64_t counterAtStart = 0;       // QueryPerformanceCounter, tick 0
    std::vector<LogLine> systemLines; // the server's, the binder's, the virtual display's, the shell's
    bool hasProfile = false;          // a "virtual.display profile" line was read
    VirtualProfile profile;
    int64_t profileFrequency = 0;
    int64_t vblank0 = 0;              // tick of the true start of vblank 0
    std::string refusedProfile;       // a "virtual.display refused" line, if any
    std::vector<LogSection> sections;
    bool ended = false;               // "Exiting..." was logged
    size_t lines = 0;                 // lines read (a last line without its CR LF is not one)
};

// Reads a log file whole, in large pieces straight into the text. False, with what went
// wrong, for a file that cannot be read or a folder.
bool readLogFile(const std::string& path, std::string* text, std::string* problem);

// Reads the text. False, with what was expected, when it is not a kelvaro log (the first line
// must be the banner's). A log cut anywhere reads: its last section is marked cut.
bool readKelvaroLog(std::string_view text, KelvaroLog* log, std::string* problem);

// A log file's text as Windows may have saved it, and the logs in it. UTF-16 (either order)
// and UTF-8 with a byte-order mark become plain UTF-8; lines before the banner within the
// first 4 KB (a prompt copied with the log) are skipped; a file that holds several logs, each
// from its banner, gives each. Text without a banner near its top is one piece, as it is, for
// the reader to refuse.
struct LogInFile {
    size_t from, to;          // bytes of the text
    size_t line;              // its banner's line in the (decoded) file, from 1
    size_t skippedLines;      // lines before the banner (the first log only)
};
struct LogFileText {
    std::string text;
    std::string encoding;     // empty: plain; else what was read ("UTF-16LE", ...)
    std::vector<LogInFile> logs;
    std::string_view log(size_t i) const { return std::string_view(text).substr(logs[i].from, logs[i].to - logs[i].from); }
};
LogFileText logFileText(std::string raw);
// What the summary says of how log i was read from its file ("read as UTF-16LE; 2 lines
// before the banner skipped; log 1 of 2 in the file, ..."); empty for a plain file of one log.
std::string logFileNote(const LogFileText& file, size_t i);

// One field kind of a row format: a whole number, or a number with that many decimals.
struct FieldFormat {
    bool integer;
    int decimals;
};

// Splits a row, as the log holds it, into the fields of the format. True and *values filled
// when exactly one reading fits the format and the tab stops; false for none or several.
bool splitLogRow(std::string_view line, const std::vector<FieldFormat>& format,
                 std::vector<double>* values);

// The row format of the test with this title, and its header row as the log holds it (tabs
// expanded); null for a title this tool does not write. Some tests have two formats (the
// scan-line test's one line before its rows is not a row).
struct TestFormat {
    const char* title;
    const char* header;                // with tabs, as the test logs it; null: no header
    std::vector<FieldFormat> fields;
    const TestSchema* schema;          // where the title, header and fields come from
};
const TestFormat* findTestFormat(const std::string& title);
const std::vector<TestFormat>& testFormats();

// The index of the column of a key in a block, -1 when it has none (no header, say).
int columnIndex(const LogBlock& block, const char* key);
// A row's value in a column; 0 for a column it lacks (-1 included).
inline double rowValue(const LogRow& row, int column)
{
    return column >= 0 && static_cast<size_t>(column) < row.values.size() ? row.values[static_cast<size_t>(column)] : 0.0;
}
// Whether a line begins with a text.
bool startsWith(std::string_view text, const char* prefix);
// The values of the column of a key, row by row; empty when the block has no such column.
std::vector<double> columnValues(const LogBlock& block, const char* key);

// 10^0 to 10^15, each exact in a double: a field's decimals scale by them, both ways.
constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// The text as the log holds a line logged with tabs: each tab to the next stop of 12.
std::string expandedLine(const std::string& withTabs);
