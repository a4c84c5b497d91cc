// The reader of kelvaro's log and its summaries: rows split by their format where fields ran
// together, rows that do not read counted and never guessed, the blocks of the D3DKMT test,
// a file that is no log, a real log of the suite (one the tool wrote on the desktop profile)
// cut at 50 places, the true-versus-measured figures against its profile line, the charts'
// decimation, CSV and JSON.
#include "report/logreader.h"
#include "report/outputs.h"
#include "report/pool.h"
#include "report/summary.h"

#include "support/log_row.h"
#include "support/text_file.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string realLog()
{
    static const std::string text = readFile(std::string(KELVARO_TEST_DATA) + "/desktop-suite.log");
    return text;
}


TEST(LogRows, FieldsAreSplitByTheFormatAndTheTabStops)
{
    const std::vector<FieldFormat> d3dkmt = findTestFormat("D3DKMTWaitForVerticalBlankEvent")->fields;
    std::vector<double> values;
    ASSERT_TRUE(splitLogRow(logRow("%d\t%lld\t%.3f\t%.1f", 7, 123456789LL, 16.667, 48.5), d3dkmt, &values));
    EXPECT_EQ((std::vector<double>{7, 123456789, 16.667, 48.5}), values);

    // A tick of exactly 12 digits swallows the tab after it: "123456789012" and "16.667" run
    // together, and only the tab stop tells them apart.
    const std::string together = logRow("%d\t%lld\t%.3f\t%.1f", 3, 123456789012LL, 16.667, -2.5);
    ASSERT_NE(std::string::npos, together.find("12345678901216.667"));
    ASSERT_TRUE(splitLogRow(together, d3dkmt, &values)) << together;
    EXPECT_EQ((std::vector<double>{3, 123456789012.0, 16.667, -2.5}), values);
    // A 13-digit tick pushes the next field to the next stop but one.
    ASSERT_TRUE(splitLogRow(logRow("%d\t%lld\t%.3f\t%.1f", 3, 1234567890123LL, 1.5, 0.0), d3dkmt, &values));
    EXPECT_EQ(1234567890123.0, values[1]);

    // The estimator's row: ten fields, several of them 12 characters wide.
    const std::vector<FieldFormat> quorvel = findTestFormat("testQuorvelLumetra")->fields;
    const std::string wide = logRow("%d\t%.4f\t%.3f\t%.4f\t%.6f\t%.4f\t%.4f\t%.6f\t%.3f\t%d", 12, 1234567.8901,
                                 16.681, 1234567.8900, 16.680289, 1234567.1234, 1234567.1233, 16.680290, 3.5, -1083);
    ASSERT_TRUE(splitLogRow(wide, quorvel, &values)) << wide;
    EXPECT_DOUBLE_EQ(1234567.8901, values[1]);
    EXPECT_DOUBLE_EQ(16.680290, values[7]);
    EXPECT_EQ(-1083.0, values[9]);

    // A whole number of 13 digits may end at its own end or on the tab stop inside it: the row
    // reads when the count of fields leaves one split, and not when it leaves two.
    const std::vector<FieldFormat> two(2, FieldFormat{true, 0}), three(3, FieldFormat{true, 0});
    ASSERT_TRUE(splitLogRow(logRow("%lld\t%d", 123456789012LL, 3), two, &values));
    EXPECT_EQ((std::vector<double>{123456789012.0, 3}), values);
    EXPECT_FALSE(splitLogRow(logRow("%lld\t%lld", 1234567890123LL, 1234567890123LL), three, &values));

    // Not a row of the format: too few or too many fields, other decimals, text, blanks where
    // no tab stop is.
    for (const std::string& bad : {logRow("%d\t%lld\t%.3f", 1, 2LL, 3.0), logRow("%d\t%lld\t%.3f\t%.1f\t%d", 1, 2LL, 3.0, 4.0, 5),
                                   logRow("%d\t%lld\t%.2f\t%.1f", 1, 2LL, 3.0, 4.0), std::string("err -1073741822"),
                                   std::string("1 2 3.000 4.0"), std::string("")}) {
        EXPECT_FALSE(splitLogRow(bad, d3dkmt, &values)) << "'" << bad << "'";
    }
}

// A small log as the tool writes it, built here line by line.
std::string smallLog(bool ended)
{
    std::vector<std::string> lines = {
        "========== Startup ==========", "kelvaro.exe build: Dec  9 2026 10:00:00", "Wed Dec  9 10:00:01 2026",
        "Windows Version 6.1 build 7601", "QueryPerformanceFrequency=10000000", "QueryPerformanceCounter=5000", "",
        "+vsyncThread()",
        "virtual.display profile rate=60 true=60 wake=0 stall=0 dwmlag=0 flush=0 dwmskip=0 dwmperiod=true "
        "change=none second=144 seed=1 frequency=10000000 vblank0=1000 lines=1125",
        "", std::string(39, '='), "=== D3DKMTWaitForVerticalBlankEvent ===", std::string(39, '='), "",
        "--> \\\\.\\DISPLAY1 (kelvaro virtual display) hDC=5", "oa=0",
        logRow("%s", testSchema(LogTest::D3dkmt).header), logRow("1\t%d\t16.667\t50.0", 200000),
        "...fnBind(dwmapi,DwmGetCompositionTimingInfo)=123", logRow("2\t%d\t16.667\t51.0", 366667),
        "err -1073741822", "2 366667 16.667",   // a row that does not read
        "--> \\\\.\\DISPLAY2 (kelvaro virtual display) hDC=6", "oa=0",
        logRow("%s", testSchema(LogTest::D3dkmt).header), logRow("1\t%d\t6.944\t10.0", 100000),
        "", std::string(27, '='), "=== testWaitForBlanking ===", std::string(27, '='), "",
        logRow("%s", testSchema(LogTest::WaitForBlanking).header), logRow("%d\t16.667\t%d\t16.667", 400000, 399000)};
    if (ended) {
        lines.push_back("WM_DESTROY");
        lines.push_back("Exiting...");
        lines.push_back("");
    }
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

TEST(LogReader, BannerSectionsBlocksRowsAndTheLinesBetween)
{
    KelvaroLog log;
    std::string problem;
    ASSERT_TRUE(readKelvaroLog(smallLog(true), &log, &problem)) << problem;
    EXPECT_EQ("Dec  9 2026 10:00:00", log.build);
    EXPECT_EQ(10000000, log.frequency);
    EXPECT_EQ(5000, log.counterAtStart);
    EXPECT_TRUE(log.ended);
    ASSERT_TRUE(log.hasProfile);
    EXPECT_TRUE(log.profile.second);
    EXPECT_EQ(1000, log.vblank0);
    ASSERT_EQ(2u, log.sections.size());

    const LogSection& kmt = log.sections[0];
    EXPECT_EQ("D3DKMTWaitForVerticalBlankEvent", kmt.title);
    EXPECT_TRUE(kmt.known);
    EXPECT_FALSE(kmt.cut);
    ASSERT_EQ(2u, kmt.blocks.size()) << "one block per output";
    EXPECT_NE(std::string::npos, kmt.blocks[0].label.find("DISPLAY1"));
    EXPECT_NE(std::string::npos, kmt.blocks[1].label.find("DISPLAY2"));
    ASSERT_EQ(2u, kmt.blocks[0].rows.size()) << "the binder's line between the rows is no row";
    EXPECT_EQ(366667.0, kmt.blocks[0].rows[1].values[1]);
    EXPECT_EQ(20u, kmt.blocks[0].rows[1].line);
    EXPECT_EQ((std::vector<size_t>{22}), kmt.blocks[0].unreadable) << "counted with its line, not guessed";
    ASSERT_EQ(2u, kmt.blocks[0].lines.size());
    EXPECT_EQ("oa=0", kmt.blocks[0].lines[0].text);
    EXPECT_EQ("err -1073741822", kmt.blocks[0].lines[1].text);
    ASSERT_EQ(4u, kmt.blocks[0].columns.size());
    EXPECT_EQ("period", kmt.blocks[0].columns[2].name);
    EXPECT_EQ("ms", kmt.blocks[0].columns[2].unit);
    EXPECT_EQ(1u, kmt.blocks[1].rows.size());

    EXPECT_EQ(1u, log.sections[1].blocks[0].rows.size());
    // The server's and binder's lines are kept apart, with their line numbers.
    bool binder = false;
    for (const LogLine& line : log.systemLines)
        binder = binder || line.text.compare(0, 10, "...fnBind(") == 0;
    EXPECT_TRUE(binder);

    // Cut before "Exiting...": the last section is the cut one.
    ASSERT_TRUE(readKelvaroLog(smallLog(false), &log, &problem));
    EXPECT_FALSE(log.sections[0].cut);
    EXPECT_TRUE(log.sections[1].cut);
}

TEST(LogReader, AFileThatIsNoLogIsRefusedWithWhatWasExpected)
{
    KelvaroLog log;
    std::string problem;
    for (const std::string& text : {std::string(""), std::string("hello\r\n"), std::string("\x89PNG\r\n\x1a\n"),
                                    std::string("========== Startup =========")}) {
        EXPECT_FALSE(readKelvaroLog(text, &log, &problem)) << text;
        EXPECT_NE(std::string::npos, problem.find("expected its first line to be '========== Startup =========='"));
    }
    // Line ends changed to LF still read.
    std::string lf = smallLog(true);
    for (size_t at; (at = lf.find("\r\n")) != std::string::npos;)
        lf.erase(at, 1);
    ASSERT_TRUE(readKelvaroLog(lf, &log, &problem));
    EXPECT_EQ(2u, log.sections.size());
}

// The committed desktop log as Windows may save it: PowerShell's UTF-16LE, UTF-16BE, an
// editor's UTF-8 with a byte-order mark, LF ends, a prompt copied above the banner. Each gives
// the original's summary word for word, the file line apart. Two logs in one file are two logs:
// the first read, the second found where it begins, and JSON Lines writes one object each. A
// banner further down than the first 4 KB is no log.
TEST(LogReader, LogsAsWindowsSavesThemReadAsTheOriginal)
{
    const std::string original = realLog();
    KelvaroLog log;
    std::string problem;
    ASSERT_TRUE(readKelvaroLog(original, &log, &problem));
    const std::string expected = summaryText(summarizeLog(std::move(log)));
    const auto utf16 = [&](bool big) {
        std::string out = big ? "\xFE\xFF" : "\xFF\xFE";
        for (const char c : original)
            out += big ? std::string{'\0', c} : std::string{c, '\0'};
        return out;
    };
    std::string lf = original;
    lf.erase(std::remove(lf.begin(), lf.end(), '\r'), lf.end());
    const struct {
        std::string bytes;
        const char* note;
    } cases[] = {
        {utf16(false), "read as UTF-16LE"},
        {utf16(true), "read as UTF-16BE"},
        {"\xEF\xBB\xBF" + original, "read as UTF-8 with a byte-order mark"},
        {lf, ""},
        {"PS C:\\Users\\me> .\\kelvaro.exe > log.txt\r\n\r\n" + original, "2 lines before the banner skipped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        const LogFileText file = logFileText(c.bytes);
        ASSERT_EQ(1u, file.logs.size());
        ASSERT_TRUE(readKelvaroLog(file.log(0), &log, &problem)) << problem;
        ReportSummary summary = summarizeLog(std::move(log));
        summary.fileNote = logFileNote(file, 0);
        EXPECT_EQ(c.note, summary.fileNote);
        std::string text = summaryText(summary);
        if (!summary.fileNote.empty())
            text.erase(text.find("  file:"), text.find('\n', text.find("  file:")) - text.find("  file:") + 1);
        EXPECT_EQ(expected, text);
    }

    const LogFileText two = logFileText(original + original);
    ASSERT_EQ(2u, two.logs.size());
    EXPECT_EQ(std::string_view(original), two.log(1));
    EXPECT_EQ(static_cast<size_t>(std::count(original.begin(), original.end(), '\n')) + 1, two.logs[1].line);
    EXPECT_NE(std::string::npos, logFileNote(two, 0).find("log 1 of 2 in the file"));
    const std::string both = (std::filesystem::temp_directory_path() / "kelvaro-two-logs.txt").string();
    ASSERT_TRUE(writeFile(both, original + original));
    std::ostringstream lines;
    const PoolResult pooled = writeJsonLines({both}, 1, lines, [](const PoolFailure&) {});
    std::filesystem::remove(both);
    EXPECT_TRUE(pooled.failures.empty());
    std::istringstream read(lines.str());
    std::vector<std::string> files;
    for (std::string line; std::getline(read, line);)
        files.push_back(nlohmann::json::parse(line)["file"]);
    EXPECT_EQ((std::vector<std::string>{both, both + "#2"}), files);

    const LogFileText deep = logFileText(std::string(5000, '#') + "\r\n" + original);
    EXPECT_FALSE(readKelvaroLog(deep.log(0), &log, &problem));
    EXPECT_NE(std::string::npos, problem.find("expected its first line to be"));
}

TEST(LogReader, ARealLogReadsWholeEveryRowOfItsFormat)
{
    const std::string text = realLog();
    ASSERT_FALSE(text.empty()) << "the log of the suite is missing";
    KelvaroLog log;
    std::string problem;
    ASSERT_TRUE(readKelvaroLog(text, &log, &problem)) << problem;
    EXPECT_TRUE(log.ended);
    EXPECT_TRUE(log.hasProfile);
    ASSERT_EQ(16u, log.sections.size()) << "every title of the suite";
    // The counts each test writes in the suite.
    const struct {
        const char* title;
        size_t rows;
    } counts[] = {{"Windows Time Quantum", 10}, {"OS Sleep Accuracy, at various quantum offsets", 60},
                  {"Windows Message Loop Processing Speed", 10}, {"ScanLine", 1200},
                  {"DirectDraw WaitForVerticalBlank", 59}, {"D3DKMTWaitForVerticalBlankEvent", 59},
                  {"DwmGetCompositionTimingInfo", 600}, {"DwmFlush", 59},
                  {"Mimic animation (waiting for vsync intervals)", 59}, {"testWaitForBlanking", 599},
                  {"testQuorvelLumetra", 1000}};
    for (const auto& c : counts) {
        bool found = false;
        for (const LogSection& section : log.sections) {
            if (section.title != c.title)
                continue;
            found = true;
            size_t rows = 0;
            for (const LogBlock& block : section.blocks) {
                rows += block.rows.size();
                EXPECT_TRUE(block.unreadable.empty()) << c.title << " line " << block.unreadable.front();
            }
            EXPECT_EQ(c.rows, rows) << c.title;
            EXPECT_FALSE(section.cut) << c.title;
        }
        EXPECT_TRUE(found) << c.title;
    }
}

TEST(LogReader, ALogCutAnywhereKeepsItsCompleteSectionsAndMarksTheCutOne)
{
    const std::string text = realLog();
    KelvaroLog whole;
    std::string problem;
    ASSERT_TRUE(readKelvaroLog(text, &whole, &problem));
    uint64_t state = 0x243F6A8885A308D3ull;
    for (int cut = 0; cut < 50; ++cut) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const size_t at = 1 + (state >> 33) % (text.size() - 1);
        KelvaroLog part;
        if (!readKelvaroLog(text.substr(0, at), &part, &problem)) {
            EXPECT_LT(at, 31u) << "only a cut inside the banner's first line reads as no log";
            continue;
        }
        ASSERT_LE(part.sections.size(), whole.sections.size());
        EXPECT_FALSE(part.ended);
        if (part.sections.empty())
            continue;
        // Every section before the last is as in the whole log; the last is marked cut.
        for (size_t s = 0; s + 1 < part.sections.size(); ++s) {
            const LogSection& a = part.sections[s];
            const LogSection& b = whole.sections[s];
            EXPECT_EQ(b.title, a.title);
            EXPECT_FALSE(a.cut) << a.title;
            ASSERT_EQ(b.blocks.size(), a.blocks.size()) << a.title << ", cut at " << at;
            for (size_t k = 0; k < a.blocks.size(); ++k) {
                ASSERT_EQ(b.blocks[k].rows.size(), a.blocks[k].rows.size()) << a.title << ", cut at " << at;
                for (size_t r = 0; r < a.blocks[k].rows.size(); ++r)
                    ASSERT_EQ(b.blocks[k].rows[r].values, a.blocks[k].rows[r].values);
            }
        }
        EXPECT_TRUE(part.sections.back().cut) << "cut at " << at;
        // The summary, the page and the JSON of a cut log come out too.
        const ReportSummary summary = summarizeLog(part);
        EXPECT_FALSE(summaryText(summary).empty());
        EXPECT_FALSE(reportHtml(summary).empty());
        EXPECT_NO_THROW(nlohmann::json::parse(reportJson(summary)));
    }
}

const Figure* figure(const ReportSummary& summary, const std::string& test, const std::string& key)
{
    for (const TestSummary& t : summary.tests) {
        if (t.key != test)
            continue;
        for (const Figure& f : t.figures)
            if (f.key == key)
                return &f;
    }
    return nullptr;
}

// The log of the suite on the desktop profile: what it measured against what its profile line
// implies.
TEST(ReportSummary, TrueAgainstMeasuredOnTheDesktopProfile)
{
    KelvaroLog log;
    std::string problem;
    ASSERT_TRUE(readKelvaroLog(realLog(), &log, &problem));
    const ReportSummary summary = summarizeLog(log);
    ASSERT_TRUE(summary.hasProfile);
    const double truePeriod = 1000.0 / 59.951;

    const Figure* settled = figure(summary, "estimator", "server_settled_period");
    ASSERT_NE(nullptr, settled);
    ASSERT_TRUE(settled->hasTruth);
    EXPECT_NEAR(truePeriod, settled->truth, 0.0001) << "the truth is the profile's";
    EXPECT_NEAR(settled->truth, settled->value, 0.0005);

    // The "wrong Hz": the ratio's 1000/60 against the true 1000/59.951 is -817 ppm.
    const Figure* wrong = figure(summary, "wrong_hz", "wrong_hz");
    ASSERT_NE(nullptr, wrong);
    EXPECT_NEAR((1000.0 / 60 - truePeriod) / truePeriod * 1e6, wrong->truth, 0.01);
    EXPECT_NEAR(wrong->truth, wrong->value, 10.0);

    const Figure* publish = figure(summary, "dwm_timing", "publish_delay_median");
    ASSERT_NE(nullptr, publish);
    EXPECT_EQ(600.0, publish->truth);
    EXPECT_NEAR(publish->truth, publish->value, 250.0);

    const Figure* flush = figure(summary, "dwm_flush", "flush_offset_median");
    ASSERT_NE(nullptr, flush);
    EXPECT_EQ(900.0, flush->truth);
    EXPECT_NEAR(flush->truth, flush->value, 300.0);

    const Figure* mean = figure(summary, "d3dkmt", "period_mean");
    ASSERT_NE(nullptr, mean);
    EXPECT_NEAR(truePeriod, mean->value, 0.002);

    // The text shows each true value beside its measured one.
    const std::string text = summaryText(summary);
    EXPECT_NE(std::string::npos, text.find("virtual display: rate=60 true=59.951"));
    EXPECT_NE(std::string::npos, text.find("(true 16.6803, error"));
    // Counts as whole numbers.
    const size_t locked = text.find("server estimator locked at iteration");
    ASSERT_NE(std::string::npos, locked);
    const std::string lockedLine = text.substr(locked, text.find('\n', locked) - locked);
    EXPECT_EQ(std::string::npos, lockedLine.find('.')) << lockedLine;

    // The page marks the truth, the animation's vsync window and the estimator's error.
    const std::string page = reportHtml(summary);
    EXPECT_NE(std::string::npos, page.find(">true 16.680300</text>"));
    EXPECT_NE(std::string::npos, page.find(">vsync mode</text>"));
    EXPECT_NE(std::string::npos, page.find(">server interval error/us by row, 1000 rows</text>"));
    EXPECT_NE(std::string::npos, page.find(">compositor interval error/us by row, 1000 rows</text>"));
}

TEST(ReportSummary, AbsurdValuesCountHighAndOverflowNothing)
{
    // A period of 10^300 ms is a (damaged) row the reader takes; 400 digits read as infinity
    // and are no row at all.
    const std::string before = logRow("2\t%d\t16.667\t51.0", 366667);
    std::string text = smallLog(true);
    const size_t at = text.find(before);
    ASSERT_NE(std::string::npos, at);
    text.insert(at + before.size() + 2, logRow("3\t%d\t%.3f\t52.0", 533334, 1e300) + "\r\n" +
                                            logRow("4\t%d\t%.3f\t53.0", 700000, 1e300) + "\r\n" +
                                            logRow("5\t%d\t%s.000\t54.0", 866667, std::string(400, '9').c_str()) + "\r\n");
    KelvaroLog log;
    std::string problem;
    ASSERT_TRUE(readKelvaroLog(text, &log, &problem)) << problem;
    const LogBlock& block = log.sections[0].blocks[0];
    EXPECT_EQ(4u, block.rows.size());
    EXPECT_EQ(2u, block.unreadable.size()) << "the infinite row and the short one";
    const ReportSummary summary = summarizeLog(log);
    const Figure* missed = figure(summary, "d3dkmt", "vblanks_missed");
    ASSERT_NE(nullptr, missed);
    EXPECT_GT(missed->value, 1e299) << "counted high, not wrapped round";
    // The page's histogram puts them in its end bin.
    const std::string page = reportHtml(summary);
    EXPECT_NE(std::string::npos, page.find("</html>"));
}

TEST(ReportCharts, DecimationKeepsEveryBucketsMinimumAndMaximum)
{
    std::vector<double> values(100000, 16.667);
    values[31337] = 50.0;   // one spike
    values[77777] = -3.0;   // one dip
    const std::vector<Bucket> buckets = decimate(values, 600);
    ASSERT_EQ(600u, buckets.size());
    double high = 0.0, low = 100.0;
    for (const Bucket& b : buckets) {
        high = std::max(high, b.high);
        low = std::min(low, b.low);
    }
    EXPECT_EQ(50.0, high);
    EXPECT_EQ(-3.0, low);
    EXPECT_EQ(3u, decimate({1, 2, 3}, 600).size()) << "never more buckets than values";
    EXPECT_TRUE(decimate({}, 600).empty());
}

// The fast reading of a field and the fast writing of a CSV value against the C library's:
// every field of every number of decimals reads as strtod reads it, bit for bit, and every
// CSV row of a real log holds exactly the digits of its log row.
TEST(ReportFiles, FieldsReadAsStrtodAndCsvKeepsTheLogsDigits)
{
    uint64_t state = 12345;
    const auto next = [&] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 11;
    };
    for (int decimals = 0; decimals <= 6; ++decimals) {
        for (int i = 0; i < 2000; ++i) {
            // Magnitudes from 0 to about 10^12, both signs, and the values at a rounding tie.
            const double magnitude = std::pow(10.0, static_cast<double>(next() % 13));
            const double v = (static_cast<double>(next() % 1000000) / 1000000.0) * magnitude *
                             (next() % 2 == 0 ? 1.0 : -1.0);
            char text[64];
            std::snprintf(text, sizeof text, "%.*f", decimals, i % 50 == 0 ? -0.0 : v);
            std::vector<double> values;
            const FieldFormat format{decimals == 0, decimals};
            ASSERT_TRUE(splitLogRow(text, {format}, &values)) << text;
            const double expected = std::strtod(text, nullptr);
            EXPECT_EQ(0, std::memcmp(&expected, &values[0], sizeof expected)) << text;
        }
    }

    KelvaroLog log;
    std::string problem;
    const std::string text = realLog();
    ASSERT_TRUE(readKelvaroLog(text, &log, &problem));
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(0, line.find('\r')));
    const std::string folder = (std::filesystem::temp_directory_path() / "kelvaro-report-digits").string();
    std::filesystem::remove_all(folder);
    std::vector<std::string> written;
    ASSERT_TRUE(writeReportCsv(summarizeLog(log), folder, &written, &problem)) << problem;
    ASSERT_GE(written.size(), 10u);
    size_t rows = 0;
    for (const std::string& path : written) {
        std::istringstream csv(readFile(path));
        std::string line;
        std::getline(csv, line);   // the header
        while (std::getline(csv, line)) {
            // "line,f1,f2,...": the fields without their commas are the log row without its blanks.
            const size_t comma = line.find(',');
            const size_t at = std::stoul(line.substr(0, comma));
            ASSERT_LE(at, lines.size());
            std::string fields = line.substr(comma + 1), logged = lines[at - 1];
            fields.erase(std::remove(fields.begin(), fields.end(), ','), fields.end());
            logged.erase(std::remove(logged.begin(), logged.end(), ' '), logged.end());
            EXPECT_EQ(logged, fields) << path << " line " << at;
            ++rows;
        }
    }
    EXPECT_GT(rows, 3000u);
    std::filesystem::remove_all(folder);
}

// The CSV's values against printf's "%.*f", at every number of decimals the writer takes
// quickly and beyond: values at a rounding tie (odd multiples of half the last digit's unit that
// a double holds exactly) and next to one, negative zero and negatives that round to it, values
// too large for the quick way, and doubles of every magnitude. The page's numbers are written
// the same way.
TEST(ReportFiles, CsvValuesAreWrittenAsPrintfWritesThem)
{
    std::vector<double> values = {0.0, -0.0, -0.04, -1e-300, 5e-324, 0.35, 2.675, 1.005, 999999.95, 1e15, -1e20, 1e300};
    for (int decimals = 0; decimals <= 6; ++decimals) {
        for (const double odd : {1.0, 3.0, 5.0, 7.0, 12345.0, 987654321.0}) {
            const double tie = std::ldexp(odd, -(decimals + 1));
            values.insert(values.end(), {tie, -tie, std::nextafter(tie, 0.0), std::nextafter(tie, 1e300)});
        }
    }
    uint64_t state = 2024;
    const auto next = [&] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 11;
    };
    for (int i = 0; i < 2000; ++i) {
        const double mantissa = static_cast<double>(next()) / 9007199254740992.0;   // [0, 1), 53 bits
        const int exponent = static_cast<int>(next() % 100) - 40;
        values.push_back(std::ldexp(mantissa, exponent) * (i % 2 == 0 ? 1.0 : -1.0));
    }

    constexpr int kMostDecimals = 17;
    TestSummary test;
    test.key = "digits";
    for (int decimals = 0; decimals <= kMostDecimals; ++decimals) {
        test.table.columns.push_back("d" + std::to_string(decimals));
        test.table.decimals.push_back(decimals);
    }
    for (size_t i = 0; i < values.size(); ++i)
        test.table.rows.push_back({i + 1, std::vector<double>(kMostDecimals + 1, values[i])});
    ReportSummary summary;
    summary.tests.push_back(test);
    const std::string folder = (std::filesystem::temp_directory_path() / "kelvaro-report-printf").string();
    std::filesystem::remove_all(folder);
    std::vector<std::string> written;
    std::string problem;
    ASSERT_TRUE(writeReportCsv(summary, folder, &written, &problem)) << problem;
    ASSERT_EQ(1u, written.size());
    std::istringstream csv(readFile(written[0]));
    std::string line;
    std::getline(csv, line);   // the header
    size_t rows = 0;
    for (; std::getline(csv, line); ++rows) {
        ASSERT_LT(rows, values.size());
        std::istringstream fields(line);
        std::string field;
        std::getline(fields, field, ',');
        EXPECT_EQ(std::to_string(rows + 1), field);
        for (int decimals = 0; decimals <= kMostDecimals; ++decimals) {
            char expected[512];
            std::snprintf(expected, sizeof expected, "%.*f", decimals, values[rows]);
            ASSERT_TRUE(std::getline(fields, field, ','));
            EXPECT_EQ(expected, field) << "%." << decimals << "f of " << values[rows];
        }
    }
    EXPECT_EQ(values.size(), rows);
    std::filesystem::remove_all(folder);
}

TEST(ReportFiles, CsvPerBlockWithTheLogsColumnsAndJsonWithStableKeys)
{
    KelvaroLog log;
    std::string problem;
    ASSERT_TRUE(readKelvaroLog(smallLog(true), &log, &problem));
    const ReportSummary summary = summarizeLog(log);
    const std::string folder = (std::filesystem::temp_directory_path() / "kelvaro-report-test").string();
    std::filesystem::remove_all(folder);
    // A longer file of a run written before: rewritten, its tail is cut off.
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(writeTextFile((std::filesystem::path(folder) / "01-d3dkmt.csv").string(), std::string(10000, 'x')));
    std::vector<std::string> written;
    ASSERT_TRUE(writeReportCsv(summary, folder, &written, &problem)) << problem;
    ASSERT_EQ(3u, written.size()) << "two outputs and testWaitForBlanking";
    EXPECT_EQ("01-d3dkmt.csv", std::filesystem::path(written[0]).filename().string());
    EXPECT_EQ("02-d3dkmt_2.csv", std::filesystem::path(written[1]).filename().string());
    // The log's line of each row, then its fields as the log printed them.
    std::string kmtHeader = "line," + std::string(testSchema(LogTest::D3dkmt).header);
    std::replace(kmtHeader.begin(), kmtHeader.end(), '\t', ',');
    EXPECT_EQ(kmtHeader + "\n18,1,200000,16.667,50.0\n20,2,366667,16.667,51.0\n", readFile(written[0]));
    EXPECT_EQ("line,now/qpc,period/ms,dwm/qpc,period/ms (4)\n33,400000,16.667,399000,16.667\n",
              readFile(written[2])) << "a repeated name gets its place";
    std::filesystem::remove_all(folder);

    const nlohmann::json json = nlohmann::json::parse(reportJson(summary));
    EXPECT_EQ("kelvaro-report", json["tool"]);
    EXPECT_EQ(1, json["format"]);
    ASSERT_EQ(3u, json["tests"].size());
    EXPECT_EQ("d3dkmt", json["tests"][0]["key"]);
    EXPECT_EQ("d3dkmt_2", json["tests"][1]["key"]);
    EXPECT_EQ(std::vector<size_t>{22}, json["tests"][0]["unreadableLines"].get<std::vector<size_t>>());
    EXPECT_TRUE(json["tests"][0]["figures"].contains("period_median"));
    EXPECT_TRUE(json["tests"][0]["figures"]["period_median"].contains("true"));
}

}   // namespace
