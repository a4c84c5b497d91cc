#include "e2e/logcheck.h"

#include <regex>

bool splitLogLines(const std::string& text, std::vector<std::string>& lines,
                   std::string* problem)
{
    lines.clear();
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            lines.push_back(text.substr(start, i - start));
            start = i + 2;
            ++i;
        } else if (c == '\r' || c == '\n') {
            if (problem != nullptr)
                *problem = "line " + std::to_string(lines.size() + 1) + " has a bare " +
                           (c == '\r' ? "CR" : "LF") + ": '" + text.substr(start, i - start) + "'";
            return false;
        }
    }
    if (start != text.size()) {
        if (problem != nullptr)
            *problem = "the text ends without CR LF: '" + text.substr(start) + "'";
        return false;
    }
    return true;
}

size_t findLine(const std::vector<std::string>& lines, const std::string& text, size_t from)
{
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i] == text)
            return i;
    }
    return kNoLine;
}

bool lineMatches(const std::string& line, const std::string& pattern)
{
    return std::regex_match(line, std::regex(pattern));
}

size_t findMatch(const std::vector<std::string>& lines, const std::string& pattern, size_t from)
{
    const std::regex expression(pattern);
    for (size_t i = from; i < lines.size(); ++i) {
        if (std::regex_match(lines[i], expression))
            return i;
    }
    return kNoLine;
}

bool checkBanner(const std::vector<std::string>& lines, std::string* problem)
{
    static const char* const patterns[] = {
        "========== Startup ==========",
        "kelvaro\\.exe build: [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]",
        "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}",
        "Windows Version [0-9]+\\.[0-9]+ build [0-9]+",
        "QueryPerformanceFrequency=[1-9][0-9]*",
        "QueryPerformanceCounter=-?[0-9]+",
        "",
    };
    const size_t count = sizeof patterns / sizeof patterns[0];
    for (size_t i = 0; i < count; ++i) {
        if (i >= lines.size() || !lineMatches(lines[i], patterns[i])) {
            if (problem != nullptr)
                *problem = "banner line " + std::to_string(i + 1) + " is '" +
                           (i < lines.size() ? lines[i] : std::string("<missing>")) +
                           "', expected /" + patterns[i] + "/";
            return false;
        }
    }
    return true;
}

bool checkClosing(const std::vector<std::string>& lines, int emptyLines, std::string* problem)
{
    const size_t need = static_cast<size_t>(emptyLines) + 1;
    bool ok = lines.size() >= need && lines[lines.size() - need] == "Exiting...";
    for (size_t i = lines.size() - (ok ? emptyLines : 0); ok && i < lines.size(); ++i)
        ok = lines[i].empty();
    if (!ok && problem != nullptr) {
        *problem = "the log does not end with \"Exiting...\" and " + std::to_string(emptyLines) +
                   " empty line(s); its last lines are:";
        for (size_t i = lines.size() > 4 ? lines.size() - 4 : 0; i < lines.size(); ++i)
            *problem += " '" + lines[i] + "'";
    }
    return ok;
}
