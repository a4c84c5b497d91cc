// kelvaro-report: the answers in a kelvaro log. Started from Explorer with a log (dropped onto
// it, or opened with it), writes the log's page beside it and opens it. From a command line it
// prints a summary, one block per test; with
// --html writes a page with the summary's tables and a time series and a histogram per test,
// with --csv one CSV file per test, with --json the summary as JSON. With --compare it sets a
// second log beside the first; with --jsonl it writes one JSON object per log, one a line.
//
//   kelvaro-report LOG [--html FILE] [--csv DIR] [--json FILE]
//   kelvaro-report A --compare B [--html FILE]
//   kelvaro-report --jsonl OUT LOG... [--threads N]
//   kelvaro-report --version
//
// Exit code 0; 1 when --jsonl could not read some of its logs (it writes the others); 2 for a
// bad command line, a file that cannot be read or written, or a file that is not a kelvaro log.
#include "report/compare.h"
#include "report/logreader.h"
#include "report/pool.h"
#include "report/outputs.h"
#include "report/summary.h"

#include "kelvaro_version.h"

#include "desktop.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

int usage(const std::string& problem)
{
    std::cerr << "kelvaro-report: " << problem << "\n"
              << "usage: kelvaro-report LOG [--html FILE] [--csv DIR] [--json FILE]\n"
              << "       kelvaro-report A --compare B [--html FILE]\n"
              << "       kelvaro-report --jsonl OUT LOG... [--threads N]\n"
              << "       kelvaro-report --version\n"
              << "  LOG is kelvaro's report file or the standard output it printed; OUT - is the standard output\n";
    return 2;
}

bool writeFile(const std::string& path, const std::string& text)
{
    return writeTextFile(path, text);
}

// Reads and summarises a log (the first, when the file holds several: the page and the files
// are one log's, and two runs side by side are --compare's); false, with the reason, when it
// cannot. What it says of other logs in the file goes to standard error.
bool summaryOf(const std::string& path, ReportSummary* summary, std::string* problem)
{
    std::string raw;
    KelvaroLog log;
    if (!readLogFile(path, &raw, problem))
        return false;
    const LogFileText file = logFileText(std::move(raw));
    if (!readKelvaroLog(file.log(0), &log, problem)) {
        *problem = path + ": " + *problem;
        return false;
    }
    if (file.logs.size() > 1) {
        std::string lines;
        for (const LogInFile& other : file.logs)
            lines += (lines.empty() ? "" : ", ") + std::to_string(other.line);
        std::cerr << "kelvaro-report: " << path << " holds " << file.logs.size() << " logs, from lines " << lines
                  << "; this report is of the first. Split the file where each banner '========== Startup "
                     "==========' begins to read the others, or give it to --jsonl, which writes one object per log\n";
    }
    *summary = summarizeLog(std::move(log));
    summary->fileNote = logFileNote(file, 0);
    return true;
}

bool summaryOf(const std::string& path, ReportSummary* summary)
{
    std::string problem;
    if (summaryOf(path, summary, &problem))
        return true;
    std::cerr << "kelvaro-report: " << problem << "\n";
    return false;
}

// A log handed over by Explorer (dropped onto the program, or opened with it): its page beside
// it, under the log's name (a number added rather than any file overwritten), opened; any
// problem in a message box that names the file.
int pageBesideLog(const std::string& logPath)
{
    ReportSummary summary;
    std::string problem;
    if (!summaryOf(logPath, &summary, &problem)) {
        showProblem("kelvaro-report could not read " + logPath + "\n\n" + problem);
        return 2;
    }
    const std::filesystem::path log(logPath);
    std::string page;
    for (int n = 1; n <= 99 && page.empty(); ++n) {
        const std::filesystem::path candidate =
            log.parent_path() / (log.stem().string() + (n == 1 ? "" : "-" + std::to_string(n)) + ".html");
        std::error_code error;
        if (candidate != log && !std::filesystem::exists(candidate, error) && !error)
            page = candidate.string();
    }
    if (page.empty() || !writeFile(page, reportHtml(summary))) {
        showProblem("kelvaro-report could not write the page of " + logPath + (page.empty() ? "" : " as " + page) +
                    "\n\nThe folder may be read-only: copy the log to Documents and drop it onto kelvaro-report.exe again.");
        return 2;
    }
    openWithShell(page);
    return 0;
}

int pool(const std::string& outPath, const std::vector<std::string>& logs, unsigned threads)
{
    std::ofstream file;
    if (outPath != "-") {
        file.open(outPath, std::ios::binary);
        if (!file) {
            std::cerr << "kelvaro-report: cannot write " << outPath << "\n";
            return 2;
        }
    }
    std::ostream& out = outPath == "-" ? std::cout : file;
    const auto start = std::chrono::steady_clock::now();
    const PoolResult result = writeJsonLines(logs, threads, out, [](const PoolFailure& f) {
        std::cerr << "kelvaro-report: " << f.path << ": " << f.problem << "\n";
    });
    out.flush();
    if (!out) {
        std::cerr << "kelvaro-report: cannot write " << outPath << "\n";
        return 2;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cerr << "kelvaro-report: " << result.written << " of " << logs.size() << " logs as JSON Lines in "
              << (outPath == "-" ? "the standard output" : outPath) << ", " << seconds << " s";
    if (!result.failures.empty())
        std::cerr << "; " << result.failures.size() << " could not be read";
    std::cerr << "\n";
    return result.failures.empty() ? 0 : 1;
}

}   // namespace

int main(int argc, char** argv)
{
    // Started from Explorer with a file: the page beside it, no console output to read.
    if (argc == 2 && argv[1][0] != '-' && startedFromExplorer())
        return pageBesideLog(argv[1]);

    std::vector<std::string> logs;
    std::string htmlPath, csvFolder, jsonPath, comparePath, jsonlPath;
    unsigned threads = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if ((arg == "--html" || arg == "--csv" || arg == "--json" || arg == "--compare" || arg == "--jsonl" ||
             arg == "--threads") &&
            !hasValue)
            return usage(arg + " needs a value");
        if (arg == "--html")
            htmlPath = argv[++i];
        else if (arg == "--csv")
            csvFolder = argv[++i];
        else if (arg == "--json")
            jsonPath = argv[++i];
        else if (arg == "--compare")
            comparePath = argv[++i];
        else if (arg == "--jsonl")
            jsonlPath = argv[++i];
        else if (arg == "--threads") {
            const std::string value = argv[++i];
            char* end = nullptr;
            const unsigned long n = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || n < 1 || n > 64)
                return usage("--threads takes a number of threads from 1 to 64, not " + value);
            threads = static_cast<unsigned>(n);
        } else if (arg == "--version") {
            std::cout << "kelvaro-report " << KELVARO_VERSION << "\n";
            return 0;
        } else if (arg == "--help" || arg == "-h") {
            usage("the answers in a kelvaro log");
            return 0;
        } else if (!arg.empty() && arg[0] == '-')
            return usage("unknown option " + arg);
        else
            logs.push_back(arg);
    }

    if (!jsonlPath.empty()) {
        if (!htmlPath.empty() || !csvFolder.empty() || !jsonPath.empty() || !comparePath.empty())
            return usage("--jsonl writes one line per log: --html, --csv, --json and --compare take one log");
        if (logs.empty())
            return usage("--jsonl needs the logs to write, after its output file");
        return pool(jsonlPath, logs, threads);
    }
    if (threads != 0)
        return usage("--threads goes with --jsonl");
    if (logs.empty())
        return usage("which log? Give the path of kelvaro's report or of its standard output");
    if (logs.size() > 1)
        return usage("one log at a time: " + logs[0] + " and " + logs[1] + " (--compare B sets a second beside it, "
                     "--jsonl OUT writes many)");
    const std::string& logPath = logs.front();

    if (!comparePath.empty()) {
        if (!csvFolder.empty() || !jsonPath.empty())
            return usage("--compare writes text and a page: --csv and --json take one log");
        ReportSummary a, b;
        if (!summaryOf(logPath, &a) || !summaryOf(comparePath, &b))
            return 2;
        const Comparison comparison = compareSummaries(a, b, logPath, comparePath);
        std::cout << comparisonText(comparison);
        if (!htmlPath.empty()) {
            if (!writeFile(htmlPath, comparisonHtml(comparison, a, b))) {
                std::cerr << "kelvaro-report: cannot write " << htmlPath << "\n";
                return 2;
            }
            std::cerr << "kelvaro-report: the page is " << htmlPath << "\n";
        }
        return 0;
    }

    ReportSummary summary;
    if (!summaryOf(logPath, &summary))
        return 2;
    std::cout << summaryText(summary);
    std::string problem;

    if (!htmlPath.empty()) {
        if (!writeFile(htmlPath, reportHtml(summary))) {
            std::cerr << "kelvaro-report: cannot write " << htmlPath << "\n";
            return 2;
        }
        std::cerr << "kelvaro-report: the page is " << htmlPath << "\n";
    }
    if (!csvFolder.empty()) {
        std::vector<std::string> written;
        if (!writeReportCsv(summary, csvFolder, &written, &problem)) {
            std::cerr << "kelvaro-report: " << problem << "\n";
            return 2;
        }
        std::cerr << "kelvaro-report: " << written.size() << " CSV files in " << csvFolder << "\n";
    }
    if (!jsonPath.empty()) {
        if (!writeFile(jsonPath, reportJson(summary))) {
            std::cerr << "kelvaro-report: cannot write " << jsonPath << "\n";
            return 2;
        }
        std::cerr << "kelvaro-report: the summary as JSON is " << jsonPath << "\n";
    }
    return 0;
}
