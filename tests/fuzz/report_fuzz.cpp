// The log reader and everything made from what it read: any bytes are a log or refused with
// what was expected; a log gives a summary, a page, JSON and a JSON line, and comparisons with a
// log of nothing (everything on one side only, in both orders) and with itself, never a crash.
// And any line split by any of the tests' row formats.
#include "fuzz/fuzz_input.h"
#include "report/compare.h"
#include "report/logreader.h"
#include "report/outputs.h"
#include "report/summary.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Most inputs begin with the banner, so that the fuzzer spends its time past it.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = size > 0 && data[0] == 'X' ? bytes.substr(1) : "========== Startup ==========\r\n" + bytes;
    KelvaroLog log;
    std::string problem;
    if (!readKelvaroLog(text, &log, &problem)) {
        if (problem.find("expected") == std::string::npos)
            std::abort();
    } else {
        const ReportSummary summary = summarizeLog(log);
        (void)summaryText(summary);
        (void)reportHtml(summary);
        (void)reportJson(summary);
        (void)reportJsonLine(summary, "fuzz");
        const ReportSummary empty;
        const ReportSummary* pairs[][2] = {{&summary, &empty}, {&empty, &summary}, {&summary, &summary}};
        for (const auto& pair : pairs) {
            const Comparison comparison = compareSummaries(*pair[0], *pair[1], "A", "B");
            (void)comparisonText(comparison);
            (void)comparisonHtml(comparison, *pair[0], *pair[1]);
        }
    }
    // The same bytes as a file: any encoding, lines before a banner, several logs.
    const LogFileText file = logFileText(bytes);
    for (size_t i = 0; i < file.logs.size(); ++i) {
        if (file.logs[i].from > file.logs[i].to || file.logs[i].to > file.text.size())
            std::abort();
        KelvaroLog each;
        if (!readKelvaroLog(file.log(i), &each, &problem) && problem.find("expected") == std::string::npos)
            std::abort();
    }
    const std::vector<TestFormat>& formats = testFormats();
    if (size > 0) {
        std::vector<double> values;
        const TestFormat& format = formats[data[size - 1] % formats.size()];
        if (splitLogRow(bytes, format.fields, &values) && values.size() != format.fields.size())
            std::abort();
    }
    return 0;
}
