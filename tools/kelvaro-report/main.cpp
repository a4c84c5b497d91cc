// kelvaro-report: the answers in a kelvaro log. Prints a summary, one block per test; with
// --html writes a page with the summary's tables and a time series and a histogram per test,
// with --csv one CSV file per test, with --json the summary as JSON.
//
//   kelvaro-report LOG [--html FILE] [--csv DIR] [--json FILE]
//   kelvaro-report --version
//
// Exit code 0; 2 for a bad command line, a file that cannot be read or written, or a file
// that is not a kelvaro log.
#include "report/logreader.h"
#include "report/outputs.h"
#include "report/summary.h"

#include "kelvaro_version.h"

#include <cstdint>
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
              << "       kelvaro-report --version\n"
              << "  LOG is kelvaro's report file or the standard output it printed\n";
    return 2;
}

bool writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

}   // namespace

int main(int argc, char** argv)
{
    std::string logPath, htmlPath, csvFolder, jsonPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if ((arg == "--html" || arg == "--csv" || arg == "--json") && !hasValue)
            return usage(arg + " needs a value");
        if (arg == "--html")
            htmlPath = argv[++i];
        else if (arg == "--csv")
            csvFolder = argv[++i];
        else if (arg == "--json")
            jsonPath = argv[++i];
        else if (arg == "--version") {
            std::cout << "kelvaro-report " << KELVARO_VERSION << "\n";
            return 0;
        } else if (arg == "--help" || arg == "-h") {
            usage("the answers in a kelvaro log");
            return 0;
        } else if (!arg.empty() && arg[0] == '-')
            return usage("unknown option " + arg);
        else if (logPath.empty())
            logPath = arg;
        else
            return usage("one log at a time: " + logPath + " and " + arg);
    }
    if (logPath.empty())
        return usage("which log? Give the path of kelvaro's report or of its standard output");

    std::string text, problem;
    if (!readLogFile(logPath, &text, &problem))
        return usage(problem);

    KelvaroLog log;
    if (!readKelvaroLog(text, &log, &problem)) {
        std::cerr << "kelvaro-report: " << logPath << ": " << problem << "\n";
        return 2;
    }
    const ReportSummary summary = summarizeLog(std::move(log));
    std::cout << summaryText(summary);

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
