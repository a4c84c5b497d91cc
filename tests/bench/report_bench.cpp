// How long kelvaro-report takes on a log, beside reading the same file line by line with the
// standard library, in one run, alternating the two so both see the same machine.
//
//   report_bench LOG [RUNS] [OUT]
//
// Each run of kelvaro-report's work reads the file, reads the log, summarises it, and writes
// the page and the CSV files into OUT (default: a folder report-bench in the current one).
// Prints the median and the fastest time of each, their ratio, and the median of each stage.
// Not a test.
#include "report/logreader.h"
#include "report/outputs.h"
#include "report/summary.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double medianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}   // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: report_bench LOG [RUNS] [OUT]\n");
        return 2;
    }
    const std::string path = argv[1];
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    const std::string out = argc > 3 ? argv[3] : "report-bench";

    std::vector<double> plain, report;
    std::vector<double> stages[4];   // read, summary and findings, text and page, CSV
    size_t lines = 0, pageBytes = 0, csvFiles = 0;
    for (int run = 0; run < runs; ++run) {
        // The standard library's read: every line of the file into a string of its own.
        Clock::time_point start = Clock::now();
        {
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "report_bench: cannot read %s\n", path.c_str());
                return 2;
            }
            std::vector<std::string> all;
            for (std::string line; std::getline(in, line);)
                all.push_back(line);
            lines = all.size();
        }
        plain.push_back(msSince(start));

        // kelvaro-report's whole work with --html and --csv, each stage's time kept.
        start = Clock::now();
        Clock::time_point stage = start;
        const auto lap = [&](int which) {
            const Clock::time_point now = Clock::now();
            stages[which].push_back(std::chrono::duration<double, std::milli>(now - stage).count());
            stage = now;
        };
        std::string text, problem;
        if (!readLogFile(path, &text, &problem)) {
            std::fprintf(stderr, "report_bench: %s\n", problem.c_str());
            return 2;
        }
        KelvaroLog log;
        if (!readKelvaroLog(text, &log, &problem)) {
            std::fprintf(stderr, "report_bench: %s: %s\n", path.c_str(), problem.c_str());
            return 2;
        }
        lap(0);
        const ReportSummary summary = summarizeLog(std::move(log));
        lap(1);
        const std::string summaryOut = summaryText(summary);
        const std::string page = reportHtml(summary);
        if (!writeTextFile(out + ".html", page))
            return 2;
        lap(2);
        std::vector<std::string> written;
        if (!writeReportCsv(summary, out, &written, &problem)) {
            std::fprintf(stderr, "report_bench: %s\n", problem.c_str());
            return 2;
        }
        lap(3);
        report.push_back(msSince(start));
        pageBytes = page.size();
        csvFiles = written.size();
        if (summaryOut.empty())
            return 1;
    }
    std::printf("%s: %zu lines, page %zu bytes, %zu CSV files; %d runs\n", path.c_str(), lines, pageBytes,
                csvFiles, runs);
    std::printf("read line by line (std::getline):      median %8.3f ms, fastest %8.3f ms\n", medianOf(plain),
                *std::min_element(plain.begin(), plain.end()));
    std::printf("kelvaro-report --html --csv, in-process: median %8.3f ms, fastest %8.3f ms\n", medianOf(report),
                *std::min_element(report.begin(), report.end()));
    std::printf("ratio of the medians: %.1f\n", medianOf(report) / medianOf(plain));
    std::printf("stages (medians): read %.3f ms, summary and findings %.3f ms, text and page %.3f ms, CSV %.3f ms\n",
                medianOf(stages[0]), medianOf(stages[1]), medianOf(stages[2]), medianOf(stages[3]));
    return 0;
}
