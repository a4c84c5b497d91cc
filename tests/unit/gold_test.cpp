// Committed logs beside what kelvaro-report makes of them: the text summary, the JSON and every
// CSV file. A change to any figure, label, key or column shows as a diff of these files;
// KELVARO_UPDATE_GOLD=1 rewrites them on purpose (README, "Gold files"). And in the log that
// holds a suite and then an extended run of each kind, every run is summarised from its own
// rows.
#include "report/compare.h"
#include "report/logreader.h"
#include "report/outputs.h"
#include "report/summary.h"

#include "support/stats.h"
#include "support/text_file.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kData = KELVARO_TEST_DATA;

bool updating()
{
    const char* update = std::getenv("KELVARO_UPDATE_GOLD");
    return update != nullptr && std::string(update) == "1";
}

// JSON numbers agree to their last few bits (figures are sums and quotients that another
// compiler may round differently); everything else exactly. Says where they first differ.
bool sameJson(const nlohmann::json& a, const nlohmann::json& b, const std::string& at, std::string* where)
{
    if (a.is_number() && b.is_number()) {
        const double x = a.get<double>(), y = b.get<double>();
        if (std::abs(x - y) <= 1e-9 * std::max({1.0, std::abs(x), std::abs(y)}))
            return true;
    } else if (a.is_object() && b.is_object() && a.size() == b.size()) {
        for (auto item = a.begin(); item != a.end(); ++item) {
            if (!b.contains(item.key())) {
                *where = at + "/" + item.key() + " (only in one)";
                return false;
            }
            if (!sameJson(item.value(), b[item.key()], at + "/" + item.key(), where))
                return false;
        }
        return true;
    } else if (a.is_array() && b.is_array() && a.size() == b.size()) {
        for (size_t i = 0; i < a.size(); ++i)
            if (!sameJson(a[i], b[i], at + "/" + std::to_string(i), where))
                return false;
        return true;
    } else if (a.type() == b.type() && a == b) {
        return true;
    }
    *where = at + ": " + a.dump() + " against " + b.dump();
    return false;
}

// The outputs of one log against the files in its gold folder, or written there.
void expectGold(const std::string& name)
{
    const std::string folder = kData + "/gold/" + name;
    KelvaroLog log;
    std::string problem;
    ASSERT_TRUE(readKelvaroLog(readFile(kData + "/" + name + ".log"), &log, &problem)) << problem;
    const ReportSummary summary = summarizeLog(log);
    const std::string text = summaryText(summary), json = reportJson(summary);
    const fs::path made = fs::temp_directory_path() / ("kelvaro-gold-" + name);
    fs::remove_all(made);
    std::vector<std::string> csv;
    ASSERT_TRUE(writeReportCsv(summary, (made / "csv").string(), &csv, &problem)) << problem;

    if (updating()) {
        fs::remove_all(folder);
        fs::create_directories(folder);
        ASSERT_TRUE(writeFile(folder + "/summary.txt", text));
        ASSERT_TRUE(writeFile(folder + "/summary.json", json));
        fs::copy(made / "csv", folder + "/csv", fs::copy_options::recursive);
        std::printf("[ GOLD     ] rewrote %s\n", folder.c_str());
        fs::remove_all(made);
        return;
    }
    EXPECT_EQ(readFile(folder + "/summary.txt"), text) << name << ": the text summary changed";
    std::string where;
    EXPECT_TRUE(sameJson(nlohmann::json::parse(readFile(folder + "/summary.json")), nlohmann::json::parse(json),
                         "", &where))
        << name << ": the JSON changed at " << where;
    std::vector<std::string> expected;
    for (const fs::directory_entry& file : fs::directory_iterator(folder + "/csv"))
        expected.push_back(file.path().filename().string());
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> written;
    for (const std::string& path : csv)
        written.push_back(fs::path(path).filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(expected, written) << name << ": other CSV files";
    for (const std::string& path : csv)
        EXPECT_EQ(readFile(folder + "/csv/" + fs::path(path).filename().string()), readFile(path))
            << name << ": " << path << " changed";
    fs::remove_all(made);
}

TEST(Gold, DesktopSuite)
{
    expectGold("desktop-suite");
}

TEST(Gold, SuiteThenAnExtendedRunOfEachKind)
{
    expectGold("suite-extended");
}

TEST(Gold, SuiteCutInsideATest)
{
    expectGold("suite-cut");
}

// Windows 11 with a 60 Hz and a 144 Hz output, DXGI's and the compositor clock's waits after the
// suite's other tests.
TEST(Gold, SuiteWithTheEnginesWaits)
{
    expectGold("win11-engines");
}

// The compositor clock's extended run alone, on a display that sleeps for 300 frames: its
// output's reference from the clock's frame starts, both its ways scored, the sleep told.
TEST(Gold, TheCompositorClockAloneAcrossASleep)
{
    expectGold("clock-asleep");
}

ReportSummary committed(const std::string& name)
{
    KelvaroLog log;
    std::string problem;
    EXPECT_TRUE(readKelvaroLog(readFile(kData + "/" + name + ".log"), &log, &problem)) << problem;
    return summarizeLog(log);
}

// The desktop suite beside the 240 Hz suite that goes on with an extended run of each kind:
// the text of the comparison against its gold file, and each side's own runs, figures and
// events marked as that side's only, whichever log stands first.
TEST(Gold, ComparisonOfTwoLogs)
{
    const ReportSummary desktop = committed("desktop-suite"), extended = committed("suite-extended");
    const std::string text = comparisonText(compareSummaries(desktop, extended, "desktop-suite.log", "suite-extended.log"));
    const std::string gold = kData + "/gold/compare-desktop-extended.txt";
    if (updating()) {
        ASSERT_TRUE(writeFile(gold, text));
        std::printf("[ GOLD     ] rewrote %s\n", gold.c_str());
    } else {
        EXPECT_EQ(readFile(gold), text) << "the comparison's text changed";
    }

    for (const bool swapped : {false, true}) {
        const ReportSummary& a = swapped ? extended : desktop;
        const ReportSummary& b = swapped ? desktop : extended;
        const Comparison c = compareSummaries(a, b, "A", "B");
        const std::string onlyExtended = swapped ? "only in A" : "only in B";
        const auto has = [](const ReportSummary& s, const std::string& key) {
            return std::any_of(s.tests.begin(), s.tests.end(), [&](const TestSummary& t) { return t.key == key; });
        };
        size_t onlyRuns = 0;
        for (const ComparedRun& run : c.runs) {
            const std::string expected = has(a, run.key) && has(b, run.key) ? ""
                                         : has(a, run.key)                  ? "only in A"
                                                                            : "only in B";
            EXPECT_EQ(expected, run.only()) << run.key;
            onlyRuns += expected.empty() ? 0 : 1;
            for (const ComparedValue& v : run.figures) {
                if (!expected.empty()) {
                    EXPECT_EQ(expected, v.only()) << run.key << " " << v.key;
                }
                if (!v.both()) {
                    EXPECT_FALSE(v.hasPercent()) << run.key << " " << v.key;
                }
            }
        }
        // directdraw#2, d3dkmt#2, dwm_timing#2, estimator#2, ... of the extended log alone.
        EXPECT_GE(onlyRuns, 4u);
        const auto run = std::find_if(c.runs.begin(), c.runs.end(), [](const ComparedRun& r) { return r.key == "estimator#2"; });
        ASSERT_NE(c.runs.end(), run);
        EXPECT_EQ(onlyExtended, run->only());
        // The findings whose mark changed first.
        bool sawSame = false;
        for (const ComparedFinding& f : c.findings) {
            EXPECT_FALSE(sawSame && f.markChanged()) << f.key << ": a changed mark after an unchanged one";
            sawSame = sawSame || !f.markChanged();
        }
    }
}

// Every run of the suite-and-extended log stands in the summary under its own key, and its
// figures come from its own rows: the rows it counts, and the median period, taken here
// from the run's block in the log.
TEST(Gold, EveryRunFromItsOwnRows)
{
    KelvaroLog log;
    std::string problem;
    ASSERT_TRUE(readKelvaroLog(readFile(kData + "/suite-extended.log"), &log, &problem)) << problem;
    const ReportSummary summary = summarizeLog(log);
    std::vector<std::string> keys;
    size_t withPeriod = 0;
    for (const TestSummary& test : summary.tests) {
        EXPECT_EQ(0, std::count(keys.begin(), keys.end(), test.key)) << "key twice: " << test.key;
        keys.push_back(test.key);
        const LogSection* run = nullptr;
        for (const LogSection& section : log.sections)
            run = section.titleLine == test.titleLine ? &section : run;
        ASSERT_NE(nullptr, run) << test.key;
        ASSERT_LT(test.block, run->blocks.size());
        const LogBlock& block = run->blocks[test.block];
        EXPECT_EQ(block.rows.size(), test.rows) << test.key;
        for (const Figure& figure : test.figures) {
            if (figure.key != "period_median")
                continue;
            ++withPeriod;
            EXPECT_EQ(percentile(columnValues(block, "period"), 50), figure.value) << test.key;
        }
    }
    // The suite's and the extended runs' DirectDraw and D3DKMT blocks.
    EXPECT_EQ(4u, withPeriod);
    // Each run's CSV holds its own rows: as many, the first at or after its own title.
    const fs::path folder = fs::temp_directory_path() / "kelvaro-gold-runs";
    fs::remove_all(folder);
    std::vector<std::string> written;
    ASSERT_TRUE(writeReportCsv(summary, folder.string(), &written, &problem)) << problem;
    size_t checked = 0;
    for (size_t i = 0; i < summary.tests.size(); ++i) {
        const TestSummary& test = summary.tests[i];
        char place[24];
        std::snprintf(place, sizeof place, "%02zu-", i + 1);
        const std::string csv = readFile((folder / (place + test.key + ".csv")).string());
        if (csv.empty())
            continue;
        ++checked;
        EXPECT_EQ(test.rows + 1, static_cast<size_t>(std::count(csv.begin(), csv.end(), '\n'))) << test.key;
        const size_t firstLine = std::strtoul(csv.c_str() + csv.find('\n') + 1, nullptr, 10);
        EXPECT_GT(firstLine, test.titleLine) << test.key << ": rows of another run";
    }
    EXPECT_EQ(16u, checked);
    fs::remove_all(folder);
    for (const char* key : {"directdraw", "directdraw#2", "d3dkmt", "d3dkmt#2", "dwm_timing", "dwm_timing#2",
                            "estimator", "estimator#2"})
        EXPECT_EQ(1, std::count(keys.begin(), keys.end(), key)) << key;
}

}   // namespace
